/*
 * Ostrine_LiDAR.h -- public interface of the Ostrine LiDAR utility library.
 *
 * LAS 1.0 / 1.1 / 1.2 public header and point record layouts, file checks,
 * a LAS header update, default header initialisers, companion-index
 * quicksorts and argument checks.  Usable from C and C++.
 *
 * The record types mirror the bytes of an ASPRS LAS file exactly: packed, no
 * padding, exact-width little-endian fields.  A file's bytes may be copied
 * straight into them on a little-endian host.
 */
#ifndef OSTRINE_LIDAR_H
#define OSTRINE_LIDAR_H

#include <stdint.h>

#if defined(_WIN32)
#define OSTRINE_API __declspec(dllexport)
#else
#define OSTRINE_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
#define OSTRINE_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
extern "C" {
#else
#define OSTRINE_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#endif

#pragma pack(push, 1)

/* ---- Public header blocks (227 bytes; one layout, three namings) ------- */

typedef struct LAS10Header {
    char LASF[4];                       /* "LASF" */
    uint32_t Reserved;
    uint32_t GUIDData1;
    uint16_t GUIDData2;
    uint16_t GUIDData3;
    uint8_t GUIDData4[8];
    uint8_t VersionMajor;
    uint8_t VersionMinor;
    char SystemIdentifier[32];
    char GeneratingSoftware[32];
    uint16_t FlightDateJulian;
    uint16_t Year;
    uint16_t HeaderSize;
    uint32_t OffsetToData;
    uint32_t NumberOfVariableLengthRecords;
    uint8_t PointDataFormatID;
    uint16_t PointDataRecordLength;
    uint32_t NumberOfPointReturns;
    uint32_t NumberOfPointsByReturn[5];
    double XScaleFactor;
    double YScaleFactor;
    double ZScaleFactor;
    double XOffset;
    double YOffset;
    double ZOffset;
    double MaxX;                        /* each maximum precedes its minimum */
    double MinX;
    double MaxY;
    double MinY;
    double MaxZ;
    double MinZ;
} LAS10Header;

typedef struct LAS11Header {
    char LASF[4];
    uint16_t FileSourceID;
    uint16_t Reserved;
    uint32_t GUIDData1;
    uint16_t GUIDData2;
    uint16_t GUIDData3;
    uint8_t GUIDData4[8];
    uint8_t VersionMajor;
    uint8_t VersionMinor;
    char SystemIdentifier[32];
    char GeneratingSoftware[32];
    uint16_t FileCreationDay;
    uint16_t FileCreationYear;
    uint16_t HeaderSize;
    uint32_t OffsetToData;
    uint32_t NumberOfVariableLengthRecords;
    uint8_t PointDataFormatID;
    uint16_t PointDataRecordLength;
    uint32_t NumberOfPointReturns;
    uint32_t NumberOfPointsByReturn[5];
    double XScaleFactor;
    double YScaleFactor;
    double ZScaleFactor;
    double XOffset;
    double YOffset;
    double ZOffset;
    double MaxX;
    double MinX;
    double MaxY;
    double MinY;
    double MaxZ;
    double MinZ;
} LAS11Header;

typedef struct LAS12Header {
    char LASF[4];
    uint16_t FileSourceID;
    uint16_t GlobalEncoding;
    uint32_t GUIDData1;
    uint16_t GUIDData2;
    uint16_t GUIDData3;
    uint8_t GUIDData4[8];
    uint8_t VersionMajor;
    uint8_t VersionMinor;
    char SystemIdentifier[32];
    char GeneratingSoftware[32];
    uint16_t FileCreationDay;
    uint16_t FileCreationYear;
    uint16_t HeaderSize;
    uint32_t OffsetToData;
    uint32_t NumberOfVariableLengthRecords;
    uint8_t PointDataFormatID;
    uint16_t PointDataRecordLength;
    uint32_t NumberOfPointReturns;
    uint32_t NumberOfPointsByReturn[5];
    double XScaleFactor;
    double YScaleFactor;
    double ZScaleFactor;
    double XOffset;
    double YOffset;
    double ZOffset;
    double MaxX;
    double MinX;
    double MaxY;
    double MinY;
    double MaxZ;
    double MinZ;
} LAS12Header;

/* ---- Point data records ------------------------------------------------- */
/*
 * Every record starts with the same 20-byte core.  `bitfield` packs the
 * return information, bits from the least significant:
 *   0-2 return number, 3-5 number of returns, 6 scan direction,
 *   7 edge of flight line.
 */

#define OSTRINE_LAS10_CORE                                                    \
    int32_t X;                                                                \
    int32_t Y;                                                                \
    int32_t Z;                                                                \
    uint16_t Intensity;                                                       \
    int8_t bitfield;                                                          \
    uint8_t Classification;                                                   \
    int8_t ScanAngleRank;                                                     \
    uint8_t FileMarker;                                                       \
    uint16_t UserBitField;

#define OSTRINE_LAS11_CORE                                                    \
    int32_t X;                                                                \
    int32_t Y;                                                                \
    int32_t Z;                                                                \
    uint16_t Intensity;                                                       \
    int8_t bitfield;                                                          \
    uint8_t Classification;                                                   \
    int8_t ScanAngleRank;                                                     \
    uint8_t UserData;                                                         \
    uint16_t PointSourceID;

typedef struct LAS10fm0 { OSTRINE_LAS10_CORE } LAS10fm0;
typedef struct LAS10fm1 { OSTRINE_LAS10_CORE double GPSTime; } LAS10fm1;
typedef struct LAS11fm0 { OSTRINE_LAS11_CORE } LAS11fm0;
typedef struct LAS11fm1 { OSTRINE_LAS11_CORE double GPSTime; } LAS11fm1;
typedef struct LAS12fm0 { OSTRINE_LAS11_CORE } LAS12fm0;
typedef struct LAS12fm1 { OSTRINE_LAS11_CORE double GPSTime; } LAS12fm1;
typedef struct LAS12fm2 {
    OSTRINE_LAS11_CORE
    uint16_t Red;
    uint16_t Green;
    uint16_t Blue;
} LAS12fm2;
typedef struct LAS12fm3 {
    OSTRINE_LAS11_CORE
    double GPSTime;
    uint16_t Red;
    uint16_t Green;
    uint16_t Blue;
} LAS12fm3;

#undef OSTRINE_LAS10_CORE
#undef OSTRINE_LAS11_CORE

#pragma pack(pop)

OSTRINE_STATIC_ASSERT(sizeof(LAS10Header) == 227, "LAS10Header must be 227 bytes");
OSTRINE_STATIC_ASSERT(sizeof(LAS11Header) == 227, "LAS11Header must be 227 bytes");
OSTRINE_STATIC_ASSERT(sizeof(LAS12Header) == 227, "LAS12Header must be 227 bytes");
OSTRINE_STATIC_ASSERT(sizeof(LAS10fm0) == 20, "LAS10fm0 must be 20 bytes");
OSTRINE_STATIC_ASSERT(sizeof(LAS10fm1) == 28, "LAS10fm1 must be 28 bytes");
OSTRINE_STATIC_ASSERT(sizeof(LAS11fm0) == 20, "LAS11fm0 must be 20 bytes");
OSTRINE_STATIC_ASSERT(sizeof(LAS11fm1) == 28, "LAS11fm1 must be 28 bytes");
OSTRINE_STATIC_ASSERT(sizeof(LAS12fm0) == 20, "LAS12fm0 must be 20 bytes");
OSTRINE_STATIC_ASSERT(sizeof(LAS12fm1) == 28, "LAS12fm1 must be 28 bytes");
OSTRINE_STATIC_ASSERT(sizeof(LAS12fm2) == 26, "LAS12fm2 must be 26 bytes");
OSTRINE_STATIC_ASSERT(sizeof(LAS12fm3) == 34, "LAS12fm3 must be 34 bytes");

/* Size of the public header every version starts with. */
#define OSTRINE_LAS_HEADER_SIZE 227

/* ---- File checks and console helpers ----------------------------------- */

/* 0 if `filename` opens for reading; -1 after a message otherwise. */
OSTRINE_API int16_t file_access(const char *filename);

/* 0 if `filename` ends in "." + `extension` (case-sensitive); -1 after a message. */
OSTRINE_API int16_t check_file_extension(const char *filename, const char *extension);

/* Stock file-name messages: 1 does not exist, 2 already exists, 3 named twice. */
OSTRINE_API void error_msg(int i, const char *text);

/*
 * Full LAS check.  Returns the variant code (LASType):
 *   1..8  convertible (1.0 fmt 0/1, 1.1 fmt 0/1, 1.2 fmt 0..3),
 *   0     LAS 1.0/1.1 declaring point format 2 or 3 (no message),
 *  -1     rejected, after a message.
 */
OSTRINE_API int16_t check_las(const char *filename);

/* Prints the "Ostrine LiDAR Utilities" banner. */
OSTRINE_API void credits(void);

/* ---- LAS header update and default headers ----------------------------- */

/* Rewrites point count, per-return counts and bounds of a LAS file from its
 * records.  Ends the process with status -1 on any failure. */
OSTRINE_API void update_header(const char *filename);
OSTRINE_API void initialize_header10(LAS10Header *ph);
OSTRINE_API void initialize_header11(LAS11Header *ph);
OSTRINE_API void initialize_header12(LAS12Header *ph);

/* ---- Quicksorts carrying a companion index array ----------------------- */
/*
 * Each sorts keys p[left..right] (or p[0..count-1]) into ascending order and
 * applies every exchange to p_ind as well.  The sort is not stable.  The
 * _parallel_ variants give exactly the arrangement of the plain ones.
 *
 * NaN keys (d_ routines): keys are compared with the ordinary IEEE "<",
 * under which a NaN is neither below nor above anything.  The routines still
 * end and still move each key together with its companion entry, and the
 * arrangement is deterministic (the same input gives the same output), but
 * it is not a sort: NaNs may end anywhere, and the other keys need not end
 * in ascending order around them.  Callers who need an order with NaNs must
 * remove them (or give them a key) first.
 */

OSTRINE_API void l_qs(int32_t *p, int32_t left, int32_t right, int32_t *p_ind);
OSTRINE_API void l_quicksort(int32_t *p, int32_t count, int32_t *p_ind);
OSTRINE_API void d_qs(double *p, int32_t left, int32_t right, int32_t *p_ind);
OSTRINE_API void d_quicksort(double *p, int32_t count, int32_t *p_ind);
OSTRINE_API void l_parallel_qs(int32_t *p, int32_t left, int32_t right, int32_t *p_ind, int32_t deep);
OSTRINE_API void l_parallel_quicksort(int32_t *p, int32_t count, int32_t *p_ind);
OSTRINE_API void d_parallel_qs(double *p, int32_t left, int32_t right, int32_t *p_ind, int32_t deep);
OSTRINE_API void d_parallel_quicksort(double *p, int32_t count, int32_t *p_ind);

/* ---- Argument checks ---------------------------------------------------- */

/* 0 for "Y", "N", "y", "n"; -1 after a message otherwise. */
OSTRINE_API int16_t check_YN(const char *text);
/* Returns if `str` is a plain decimal number; ends the process with -1 otherwise. */
OSTRINE_API void check_numeric_argument(const char *str);
/* Returns for a ".asc" name or a ".flt" name with a readable ".hdr"; ends the
 * process with -1 otherwise. */
OSTRINE_API void check_DEM(const char *str);

#ifdef __cplusplus
}
#endif

#endif /* OSTRINE_LIDAR_H */

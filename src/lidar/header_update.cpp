// LAS header update and default public headers.
//
// update_header makes a LAS file's summary fields agree with the point
// records it actually holds: the point count, the five per-return counts
// and the six coordinate bounds.  It reads the whole point section first and
// writes the 227-byte public header back only after the scan has succeeded,
// so a failure at any earlier point leaves the file exactly as it was.
// Nothing past the first 227 bytes is ever written.
//
// Every failure prints a message (validation prints its own) and ends the
// process with status -1; the function never hands a failure back to its
// caller.

#include "Ostrine_LiDAR.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// The records are read in blocks of about this many bytes.  The block holds
// whole records only, so a record never straddles two reads, and memory use
// does not depend on the size of the file.
constexpr size_t kScanBlockBytes = 1u << 20;

// Record size by variant code (LASType 1..8).  The validation has already
// required PointDataRecordLength to equal it.
size_t record_stride(int16_t las_type) {
    static const size_t kStride[9] = {0, sizeof(LAS10fm0), sizeof(LAS10fm1), sizeof(LAS11fm0), sizeof(LAS11fm1),
                                      sizeof(LAS12fm0), sizeof(LAS12fm1), sizeof(LAS12fm2), sizeof(LAS12fm3)};
    return kStride[las_type];
}

// Record fields are read byte by byte: records sit at arbitrary offsets in
// the block (strides of 26 and 34 bytes), so no pointer to a multi-byte field
// inside it may be dereferenced.
int32_t load_le_i32(const unsigned char *b) {
    const uint32_t u = static_cast<uint32_t>(b[0]) | (static_cast<uint32_t>(b[1]) << 8) |
                       (static_cast<uint32_t>(b[2]) << 16) | (static_cast<uint32_t>(b[3]) << 24);
    return static_cast<int32_t>(u);
}

// Field offsets shared by every point record layout.
constexpr size_t kOffX = offsetof(LAS12fm0, X);
constexpr size_t kOffY = offsetof(LAS12fm0, Y);
constexpr size_t kOffZ = offsetof(LAS12fm0, Z);
constexpr size_t kOffBits = offsetof(LAS12fm0, bitfield);
static_assert(offsetof(LAS10fm0, bitfield) == kOffBits, "core layouts must agree");

// What the scan of the point records gathers.
//
// The raw extremes start at +/-2,147,483,646 for X and Y (just inside the
// 32-bit range) and at +/-10,000,000 for Z: each bound is the extreme of its
// start value and the records' values.  A file without records (or with Z values all beyond
// +/-10,000,000) therefore gets bounds derived from these start values.
struct ScanTotals {
    uint32_t return_count = 0;                  // every whole record
    uint32_t by_return_number[8] = {};          // all eight 3-bit values; 1..5 are reported
    int32_t minX = 2147483646, maxX = -2147483646;
    int32_t minY = 2147483646, maxY = -2147483646;
    int32_t minZ = 10000000, maxZ = -10000000;

    // Branch-free: random return numbers and coordinates would defeat the
    // branch predictor on every record.
    void add(const unsigned char *record) {
        const int32_t x = load_le_i32(record + kOffX);
        const int32_t y = load_le_i32(record + kOffY);
        const int32_t z = load_le_i32(record + kOffZ);
        maxX = std::max(maxX, x);
        minX = std::min(minX, x);
        maxY = std::max(maxY, y);
        minY = std::min(minY, y);
        maxZ = std::max(maxZ, z);
        minZ = std::min(minZ, z);
        // Return numbers 0, 6 and 7 have no per-return counter; such records
        // still count as points, so the five counts may sum to less than
        // return_count.
        ++by_return_number[record[kOffBits] & 7u];
        ++return_count;
    }
};

[[noreturn]] void fail(FILE *file) {
    if (file != nullptr) std::fclose(file);
    std::exit(-1);
}

}  // namespace

// Default public headers.  Only the fields below are set; the tails of
// GUIDData4 (bytes 2-8), SystemIdentifier (bytes 2-32, left as an empty
// string) and GeneratingSoftware (after the 24 bytes of the library name and
// its zero) keep whatever the caller's record held.

namespace {

constexpr char kGeneratingSoftware[] = "Ostrine LiDAR Utilities";
static_assert(sizeof(kGeneratingSoftware) == 24, "name and terminator fill 24 bytes");

// The fields from GUIDData1 on are named alike in all three layouts.
template <typename Header>
void initialize_common(Header *ph, uint8_t minor) {
    ph->GUIDData1 = 0;
    ph->GUIDData2 = 0;
    ph->GUIDData3 = 0;
    ph->GUIDData4[0] = 0;
    ph->VersionMajor = 1;
    ph->VersionMinor = minor;
    ph->SystemIdentifier[0] = '\0';
    std::memcpy(ph->GeneratingSoftware, kGeneratingSoftware, sizeof(kGeneratingSoftware));
}

template <typename Header>
void initialize_tail(Header *ph) {
    ph->HeaderSize = 227;
    ph->OffsetToData = 227;
    ph->NumberOfVariableLengthRecords = 0;
    ph->PointDataFormatID = 0;
    ph->PointDataRecordLength = 0;
    ph->NumberOfPointReturns = 0;
    for (int k = 0; k < 5; ++k) ph->NumberOfPointsByReturn[k] = 0;
    ph->XScaleFactor = 1.0;
    ph->YScaleFactor = 1.0;
    ph->ZScaleFactor = 1.0;
    ph->XOffset = 0.0;
    ph->YOffset = 0.0;
    ph->ZOffset = 0.0;
    ph->MaxX = 0.0;
    ph->MinX = 0.0;
    ph->MaxY = 0.0;
    ph->MinY = 0.0;
    ph->MaxZ = 0.0;
    ph->MinZ = 0.0;
}

}  // namespace

extern "C" {

void update_header(const char *filename) {
    const int16_t LASType = check_las(filename);
    if (LASType < 1) std::exit(-1);  // the validation has said why (or, for 0, needs no words)
    const size_t stride = record_stride(LASType);

    FILE *file = std::fopen(filename, "r+b");
    if (file == nullptr) {
        std::printf("\nCannot open binary file %s for header update\n\n", filename);
        std::exit(-1);
    }

    // The header image is addressed through the LAS 1.2 layout whatever the
    // version: every field used here sits at the same offset in all three.
    LAS12Header *header = static_cast<LAS12Header *>(std::malloc(sizeof(LAS12Header)));
    if (header == nullptr) {
        std::printf("\nCannot allocate memory for storing %s header information\n", filename);
        fail(file);
    }
    // The validation refuses files shorter than the header, but the file may
    // have changed since; never write back bytes that were not read.
    if (std::fread(header, 1, sizeof(LAS12Header), file) != sizeof(LAS12Header)) {
        std::printf("\nCannot read the header of %s\n", filename);
        fail(file);
    }

    const size_t block_records = kScanBlockBytes / stride;
    const size_t block_bytes = block_records * stride;
    unsigned char *block = static_cast<unsigned char *>(std::malloc(block_bytes));
    if (block == nullptr) {
        std::printf("\nCannot allocate memory for storing a record of information from %s\n", filename);
        fail(file);
    }

    // Scan the records from OffsetToData to the end of the file.  A short
    // read is the end of the records only if it is the end of the file; a
    // read error stops the update before anything is written.  Trailing bytes
    // that do not make up a whole record are ignored.
    ScanTotals totals;
    bool read_failed = std::fseek(file, static_cast<long>(header->OffsetToData), SEEK_SET) != 0;
    while (!read_failed) {
        const size_t got = std::fread(block, 1, block_bytes, file);
        const size_t records = got / stride;
        for (size_t k = 0; k < records; ++k) totals.add(block + k * stride);
        if (got < block_bytes) {
            read_failed = std::ferror(file) != 0;
            break;
        }
    }
    std::free(block);
    if (read_failed) {
        std::printf("\nCannot read the point records of %s; its header has not been changed\n", filename);
        fail(file);
    }

    header->NumberOfPointReturns = totals.return_count;
    for (int k = 0; k < 5; ++k) header->NumberOfPointsByReturn[k] = totals.by_return_number[k + 1];
    // Real coordinates, offset + scale * raw, in double precision and not
    // rounded to the scale's resolution.
    header->MaxX = header->XOffset + header->XScaleFactor * totals.maxX;
    header->MinX = header->XOffset + header->XScaleFactor * totals.minX;
    header->MaxY = header->YOffset + header->YScaleFactor * totals.maxY;
    header->MinY = header->YOffset + header->YScaleFactor * totals.minY;
    header->MaxZ = header->ZOffset + header->ZScaleFactor * totals.maxZ;
    header->MinZ = header->ZOffset + header->ZScaleFactor * totals.minZ;

    // The header is only claimed updated once its bytes have reached the
    // file: the write, the flush and the close must all succeed.
    std::rewind(file);
    const bool written = std::fwrite(header, 1, sizeof(LAS12Header), file) == sizeof(LAS12Header);
    const bool flushed = std::fflush(file) == 0;
    const bool closed = std::fclose(file) == 0;
    std::free(header);
    if (!(written && flushed && closed)) {
        std::printf("\nCannot write the updated header of %s\n", filename);
        std::exit(-1);
    }

    std::printf("\rHeader of file %s has been updated    ", filename);
}

void initialize_header10(LAS10Header *ph) {
    std::memcpy(ph->LASF, "LASF", 4);
    ph->Reserved = 0;
    initialize_common(ph, 0);
    ph->FlightDateJulian = 0;
    ph->Year = 0;
    initialize_tail(ph);
}

void initialize_header11(LAS11Header *ph) {
    std::memcpy(ph->LASF, "LASF", 4);
    ph->FileSourceID = 0;
    ph->Reserved = 0;
    initialize_common(ph, 1);
    ph->FileCreationDay = 0;
    ph->FileCreationYear = 0;
    initialize_tail(ph);
}

void initialize_header12(LAS12Header *ph) {
    std::memcpy(ph->LASF, "LASF", 4);
    ph->FileSourceID = 0;
    ph->GlobalEncoding = 0;
    initialize_common(ph, 2);
    ph->FileCreationDay = 0;
    ph->FileCreationYear = 0;
    initialize_tail(ph);
}

}  // extern "C"

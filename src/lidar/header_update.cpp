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

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <utility>

#include "Ostrine_LiDAR.h"
#include "io/byte_order.h"
#include "io/posix_io.h"
#include "base/text.h"
#include "las/header_rules.h"
#include "las/las_header.h"
#include "las/point_format.h"
#include "las_check.h"
#include "las_variants.h"

namespace {

// The records are read in blocks of about this many bytes.  The block holds
// whole records only, so a record never straddles two reads, and memory use
// does not depend on the size of the file.
constexpr size_t kScanBlockBytes = 1u << 20;

// What the scan of the point records gathers.
//
// The raw extremes start at +/-2,147,483,646 for X and Y (just inside the
// 32-bit range) and at +/-10,000,000 for Z: each bound is the extreme of its
// start value and the records' values, so Z values all beyond +/-10,000,000
// keep a bound at the start value.  A file without records gets a box of
// zeros instead, as a shapefile without points has: the start values would
// make an inverted box (MaxX below MinX) that describes nothing.
struct ScanTotals {
    uint32_t return_count = 0;                  // every whole record
    uint32_t by_return_number[8] = {};          // all eight 3-bit values; 1..5 are reported
    int32_t minX = 2147483646, maxX = -2147483646;
    int32_t minY = 2147483646, maxY = -2147483646;
    int32_t minZ = 10000000, maxZ = -10000000;

    // Branch-free: random return numbers and coordinates would defeat the
    // branch predictor on every record.  Fields are loaded byte by byte:
    // records sit at arbitrary offsets in the block (strides of 26 and 34).
    void add(const unsigned char *record) {
        const int32_t x = stored_coordinate(record, 0);
        const int32_t y = stored_coordinate(record, 1);
        const int32_t z = stored_coordinate(record, 2);
        maxX = std::max(maxX, x);
        minX = std::min(minX, x);
        maxY = std::max(maxY, y);
        minY = std::min(minY, y);
        maxZ = std::max(maxZ, z);
        minZ = std::min(minZ, z);
        // Return numbers 0, 6 and 7 have no per-return counter; such records
        // still count as points, so the five counts may sum to less than
        // return_count.
        ++by_return_number[kLegacyBits.return_number.of(record)];
        ++return_count;
    }
};

// Closes the file however the update ends.
struct Descriptor {
    int fd;
    ~Descriptor() {
        if (fd >= 0) io::close_file(fd);
    }
    // Closes now, reporting the result.
    int close() { return io::close_file(std::exchange(fd, -1)); }
};

[[noreturn]] void refuse(const std::string &message) {
    std::fputs(message.c_str(), stdout);
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
    const size_t stride = kLasVariants[LASType].record_length;

    // Not blocking: the validation refused FIFOs, but the name may have
    // been replaced by one since.
    Descriptor file{io::open_file(filename, O_RDWR | O_NONBLOCK | O_CLOEXEC)};
    struct stat st {};
    if (file.fd < 0 || fstat(file.fd, &st) != 0 || !S_ISREG(st.st_mode))
        refuse(formatted("\nCannot open binary file %s for header update\n\n", filename));

    // The header image, as the file holds it: the fields written back are
    // stored into these bytes at their offsets, the rest stays as read.  The
    // validation refuses files shorter than the header, but the file may
    // have changed since; never write back bytes that were not read.
    unsigned char image[OSTRINE_LAS_HEADER_SIZE];
    if (io::pread_fully(file.fd, image, sizeof image, 0) != static_cast<long long>(sizeof image))
        refuse(formatted("\nCannot read the header of %s\n", filename));
    const LasHeader header = parse_las_header(image, sizeof image);

    // Records read from inside the header, or from past the end of the file,
    // would give a count and a box that describe nothing.
    const uint64_t file_size = static_cast<uint64_t>(st.st_size);
    for (const std::string &problem : {las_rules::offset_inside_header(filename, header),
                                       las_rules::offset_beyond_end(filename, header, file_size)})
        if (!problem.empty()) refuse("\n" + problem + "; its header has not been changed\n");

    const size_t block_records = kScanBlockBytes / stride;
    const size_t block_bytes = block_records * stride;
    const std::unique_ptr<unsigned char[]> block(new (std::nothrow) unsigned char[block_bytes]);
    if (block == nullptr)
        refuse(formatted("\nCannot allocate memory for storing a record of information from %s\n", filename));

    // Scan the records from OffsetToData to the end of the file.  A short
    // read is the end of the records; a read error stops the update before
    // anything is written.  Trailing bytes that do not make up a whole
    // record are ignored.
    ScanTotals totals;
    uint64_t at = header.offset_to_data;
    for (;;) {
        const long long got = io::pread_fully(file.fd, block.get(), block_bytes, at);
        if (got < 0) refuse(formatted("\nCannot read the point records of %s; its header has not been changed\n",
                                               filename));
        const size_t records = static_cast<size_t>(got) / stride;
        for (size_t k = 0; k < records; ++k) totals.add(block.get() + k * stride);
        if (static_cast<size_t>(got) < block_bytes) break;
        at += block_bytes;
    }

    store_le32(image + las_field::kLegacyPointCount, totals.return_count);
    for (int k = 0; k < 5; ++k) store_le32(image + las_field::kLegacyByReturn + 4 * k, totals.by_return_number[k + 1]);
    // Real coordinates, raw x scale + offset, in double precision and not
    // rounded to the scale's resolution; zeros without records.
    const int32_t raw_max[3] = {totals.maxX, totals.maxY, totals.maxZ};
    const int32_t raw_min[3] = {totals.minX, totals.minY, totals.minZ};
    for (int a = 0; a < 3; ++a) {
        const bool any = totals.return_count != 0;
        store_le_double(image + las_field::max_of(a), any ? scaled(raw_max[a], header.scale[a], header.offset[a]) : 0.0);
        store_le_double(image + las_field::min_of(a), any ? scaled(raw_min[a], header.scale[a], header.offset[a]) : 0.0);
    }

    // The header is only claimed updated once its bytes have reached the
    // file: the write and the close must both succeed.
    const bool written = io::pwrite_all(file.fd, image, sizeof image, 0) == 0;
    const bool closed = file.close() == 0;
    if (!(written && closed)) refuse(formatted("\nCannot write the updated header of %s\n", filename));

    std::printf("\rHeader of file %s has been updated    ", filename);
}

void initialize_header10(LAS10Header *ph) {
    if (ph == nullptr) return;  // nothing to fill
    std::memcpy(ph->LASF, "LASF", 4);
    ph->Reserved = 0;
    initialize_common(ph, 0);
    ph->FlightDateJulian = 0;
    ph->Year = 0;
    initialize_tail(ph);
}

void initialize_header11(LAS11Header *ph) {
    if (ph == nullptr) return;  // nothing to fill
    std::memcpy(ph->LASF, "LASF", 4);
    ph->FileSourceID = 0;
    ph->Reserved = 0;
    initialize_common(ph, 1);
    ph->FileCreationDay = 0;
    ph->FileCreationYear = 0;
    initialize_tail(ph);
}

void initialize_header12(LAS12Header *ph) {
    if (ph == nullptr) return;  // nothing to fill
    std::memcpy(ph->LASF, "LASF", 4);
    ph->FileSourceID = 0;
    ph->GlobalEncoding = 0;
    initialize_common(ph, 2);
    ph->FileCreationDay = 0;
    ph->FileCreationYear = 0;
    initialize_tail(ph);
}

}  // extern "C"

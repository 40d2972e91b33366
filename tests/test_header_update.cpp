// LAS header update and the default header initialisers.
//
// update_header runs in a child (it ends the process on failure).  Files are
// built byte by byte here, or copied from the shared real-world samples, and
// the rewritten header is checked against an independent scan of the records;
// everything but the summary fields must be byte-identical afterwards.
#include "Ostrine_LiDAR.h"
#include "capture.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

namespace {

// Header field offsets (shared by all three versions).
constexpr size_t kOffsetToData = 96, kFormat = 104, kRecordLength = 105, kCount = 107, kByReturn = 111,
                 kScale = 131, kOffset = 155, kBounds = 179, kHeader = 227;

template <typename T>
void put(std::string &b, size_t at, T v) { std::memcpy(&b[at], &v, sizeof v); }
template <typename T>
T get(const std::string &b, size_t at) {
    T v;
    std::memcpy(&v, &b[at], sizeof v);
    return v;
}

struct Rec {
    int32_t x, y, z;
    uint8_t bits;
};

// A LAS file: a 227-byte header whose every byte not set below holds a
// position-dependent pattern (so stray writes show), `gap` bytes of pattern
// standing in for variable-length records, the records, and `tail` bytes.
std::string las_bytes(uint8_t minor, uint8_t format, uint16_t stride, const std::vector<Rec> &recs,
                      size_t gap = 0, const std::string &tail = "", const double scale[3] = nullptr,
                      const double offset[3] = nullptr) {
    static const double kScale3[3] = {0.01, 0.02, 0.001}, kOffset3[3] = {500000.0, -4000000.0, 12.5};
    std::string b(kHeader + gap, '\0');
    for (size_t k = 0; k < b.size(); ++k) b[k] = static_cast<char>(k * 37 + 11);
    std::memcpy(&b[0], "LASF", 4);
    b[24] = 1;
    b[25] = static_cast<char>(minor);
    put<uint32_t>(b, kOffsetToData, static_cast<uint32_t>(kHeader + gap));
    b[kFormat] = static_cast<char>(format);
    put<uint16_t>(b, kRecordLength, stride);
    for (int k = 0; k < 3; ++k) {
        put<double>(b, kScale + 8 * k, (scale ? scale : kScale3)[k]);
        put<double>(b, kOffset + 8 * k, (offset ? offset : kOffset3)[k]);
    }
    for (const Rec &r : recs) {
        std::string rec(stride, '\xEE');
        put(rec, 0, r.x);
        put(rec, 4, r.y);
        put(rec, 8, r.z);
        rec[14] = static_cast<char>(r.bits);
        b += rec;
    }
    return b + tail;
}

// What the header should say, scanned here independently from the bytes.
struct Summary {
    uint32_t count = 0, by_return[5] = {0, 0, 0, 0, 0};
    double bounds[6] = {};  // MaxX MinX MaxY MinY MaxZ MinZ
};

Summary scan(const std::string &b) {
    const size_t stride = get<uint16_t>(b, kRecordLength);
    int32_t lo[3] = {2147483646, 2147483646, 10000000}, hi[3] = {-2147483646, -2147483646, -10000000};
    Summary s;
    for (size_t at = get<uint32_t>(b, kOffsetToData); at + stride <= b.size(); at += stride) {
        for (int k = 0; k < 3; ++k) {
            const int32_t v = get<int32_t>(b, at + 4 * k);
            lo[k] = std::min(lo[k], v);
            hi[k] = std::max(hi[k], v);
        }
        const int rn = b[at + 14] & 7;
        if (rn >= 1 && rn <= 5) ++s.by_return[rn - 1];
        ++s.count;
    }
    for (int k = 0; k < 3 && s.count != 0; ++k) {  // no records: a box of zeros
        const double scale = get<double>(b, kScale + 8 * k), offset = get<double>(b, kOffset + 8 * k);
        s.bounds[2 * k] = offset + scale * hi[k];
        s.bounds[2 * k + 1] = offset + scale * lo[k];
    }
    return s;
}

Summary header_summary(const std::string &b) {
    Summary s;
    s.count = get<uint32_t>(b, kCount);
    for (int k = 0; k < 5; ++k) s.by_return[k] = get<uint32_t>(b, kByReturn + 4 * k);
    for (int k = 0; k < 6; ++k) s.bounds[k] = get<double>(b, kBounds + 8 * k);
    return s;
}

void expect_summary(const Summary &got, const Summary &want) {
    EXPECT_EQ(got.count, want.count);
    for (int k = 0; k < 5; ++k) EXPECT_EQ(got.by_return[k], want.by_return[k]) << "return " << k + 1;
    for (int k = 0; k < 6; ++k) EXPECT_EQ(got.bounds[k], want.bounds[k]) << "bound " << k;
}

std::string updated_line(const std::string &path) { return "\rHeader of file " + path + " has been updated    "; }

// Writes `bytes` to a fresh file, updates it in a child and checks the run:
// the confirmation line, and every byte outside the summary fields unchanged.
// Returns the file's bytes afterwards.
std::string update(const std::string &bytes, const std::string &name = "points.las") {
    const std::string path = make_temp_dir("hdr") + "/" + name;
    write_file(path, bytes);
    const Captured c = run_in_child([&] { update_header(path.c_str()); });
    EXPECT_EQ(c.exit_status, 0);
    EXPECT_EQ(c.out, updated_line(path));
    const std::string after = read_file(path);
    EXPECT_EQ(after.size(), bytes.size());
    EXPECT_TRUE(after.compare(0, kCount, bytes, 0, kCount) == 0) << "bytes before the point count changed";
    EXPECT_TRUE(after.compare(kScale, kBounds - kScale, bytes, kScale, kBounds - kScale) == 0)
        << "scale factors or offsets changed";
    EXPECT_TRUE(after.compare(kHeader, std::string::npos, bytes, kHeader, std::string::npos) == 0)
        << "bytes after the header changed";
    return after;
}

struct Variant {
    uint8_t minor, format;
    uint16_t stride;
};
const Variant kVariants[8] = {{0, 0, 20}, {0, 1, 28}, {1, 0, 20}, {1, 1, 28},
                              {2, 0, 20}, {2, 1, 28}, {2, 2, 26}, {2, 3, 34}};

}  // namespace

TEST(UpdateHeader, RewritesCountsAndBoundsForEveryVariant) {
    // Return numbers 0..7, with the high bits of the byte set as well.
    const std::vector<Rec> recs{{-5, 7, 100, 0xC1}, {12, -3, -250, 0x02}, {3, 3, 3, 0x83},  {0, 0, 0, 0x04},
                                {9, 2, 1, 0x05},    {1, 1, 1, 0xF8},      {-7, 40, 0, 0x06}, {2, 2, 2, 0x07}};
    for (const Variant &v : kVariants) {
        SCOPED_TRACE(testing::Message() << "1." << int(v.minor) << " format " << int(v.format));
        const std::string after = update(las_bytes(v.minor, v.format, v.stride, recs, 54));
        const Summary got = header_summary(after);
        EXPECT_EQ(got.count, 8u);  // 0, 6 and 7 count as points but in no per-return count
        for (int k = 0; k < 5; ++k) EXPECT_EQ(got.by_return[k], 1u);
        const double want_bounds[6] = {500000 + 0.01 * 12, 500000 + 0.01 * -7, -4000000 + 0.02 * 40,
                                       -4000000 + 0.02 * -3, 12.5 + 0.001 * 100, 12.5 + 0.001 * -250};
        for (int k = 0; k < 6; ++k) EXPECT_EQ(got.bounds[k], want_bounds[k]) << "bound " << k;
    }
}

// Without records the start values would make an inverted box (MaxX far
// below MinX): the box is zeros, as a shapefile without points has.
TEST(UpdateHeader, NoRecordsGiveABoxOfZeros) {
    const std::string after = update(las_bytes(2, 1, 28, {}, 10));
    const Summary got = header_summary(after);
    EXPECT_EQ(got.count, 0u);
    for (int k = 0; k < 5; ++k) EXPECT_EQ(got.by_return[k], 0u);
    for (int k = 0; k < 6; ++k) EXPECT_EQ(got.bounds[k], 0.0) << "bound " << k;
}

TEST(UpdateHeader, ExtremeRawValuesAgainstTheStartValues) {
    const int32_t kMax = 2147483647, kMin = -2147483647 - 1;
    // Z entirely above +10,000,000: MinZ stays at the start value.
    Summary got = header_summary(update(las_bytes(1, 0, 20, {{kMax, kMin, 10000001, 1}, {kMin, kMax, 20000000, 1}})));
    EXPECT_EQ(got.bounds[0], 500000 + 0.01 * kMax);
    EXPECT_EQ(got.bounds[1], 500000 + 0.01 * kMin);
    EXPECT_EQ(got.bounds[4], 12.5 + 0.001 * 20000000);
    EXPECT_EQ(got.bounds[5], 12.5 + 0.001 * 10000000);
    // Z entirely below -10,000,000: MaxZ stays at the start value.
    got = header_summary(update(las_bytes(1, 0, 20, {{0, 0, -10000001, 1}, {0, 0, -30000000, 1}})));
    EXPECT_EQ(got.bounds[4], 12.5 - 0.001 * 10000000);
    EXPECT_EQ(got.bounds[5], 12.5 - 0.001 * 30000000);
}

TEST(UpdateHeader, IgnoresAFinalPartialRecord) {
    std::string partial(33, '\0');
    put<int32_t>(partial, 0, 999999);  // would be the largest X if it were read
    const std::string bytes = las_bytes(2, 3, 34, {{1, 2, 3, 1}, {4, 5, 6, 2}}, 0, partial);
    const Summary got = header_summary(update(bytes));
    EXPECT_EQ(got.count, 2u);
    EXPECT_EQ(got.bounds[0], 500000 + 0.01 * 4);
}

TEST(UpdateHeader, ScansFilesSpanningManyReadBlocks) {
    // Strides that do not divide the read block, extremes on block edges and
    // in the last whole record, and a trailing partial record.
    std::mt19937 rng(99);
    for (const Variant &v : {kVariants[7], kVariants[6], kVariants[0]}) {
        std::vector<Rec> recs(100003);
        for (auto &r : recs)
            r = {int32_t(rng() % 20000) - 10000, int32_t(rng() % 20000), int32_t(rng() % 4000), uint8_t(rng())};
        const size_t per_block = (1u << 20) / v.stride;
        recs[per_block - 1].x = 777777;
        recs[per_block].x = -777777;
        recs[per_block + 1].y = -5;
        recs.back().z = 9000000;
        const std::string bytes = las_bytes(2, v.format, v.stride, recs, 7, std::string(v.stride - 1, '\x7F'));
        const Summary got = header_summary(update(bytes));
        expect_summary(got, scan(bytes));
        EXPECT_EQ(got.count, recs.size());
        EXPECT_EQ(got.bounds[0], 500000 + 0.01 * 777777);
        EXPECT_EQ(got.bounds[3], -4000000 + 0.02 * -5);
        EXPECT_EQ(got.bounds[4], 12.5 + 0.001 * 9000000);
    }
}

TEST(UpdateHeader, RealFilesAgreeWithTheirRecordsAfterwards) {
    const char *files[] = {"pdal_1.2-with-color.las", "pdal_1.2-with-color-clipped.las", "laspy_simple1_1.las",
                           "pdal_epsg_4326.las", "pyntcloud_has_offsets.las", "lasrs_long-header.las",
                           "pdal_lots_of_vlr.las", "pdal_no-points.las", "liblas_v1.0writer_1.0_0.las",
                           "liblas_v1.0writer_1.0_1.las", "liblas_v1.0writer_1.1_0.las",
                           "liblas_v1.0writer_1.1_1.las", "liblas_v1.0writer_1.2_0.las",
                           "liblas_v1.0writer_1.2_1.las", "liblas_v1.0writer_1.2_2.las",
                           "liblas_v1.0writer_1.2_3.las"};
    for (const char *name : files) {
        SCOPED_TRACE(name);
        std::string bytes = read_file(std::string(LASDATA_DIR) + "/" + name);
        ASSERT_GT(bytes.size(), kHeader);
        const Summary original = header_summary(bytes);
        // Spoil the summary so that the update has to restore it.
        for (size_t k = kCount; k < kScale; ++k) bytes[k] = '\x55';
        for (size_t k = kBounds; k < kHeader; ++k) bytes[k] = '\x55';
        const Summary got = header_summary(update(bytes, name));
        expect_summary(got, scan(bytes));
        if (std::string(name) == "pdal_1.2-with-color.las") {
            // Agrees with the header its writer produced.
            EXPECT_EQ(got.count, original.count);
            for (int k = 0; k < 6; ++k) EXPECT_NEAR(got.bounds[k], original.bounds[k], 1e-6);
        }
        if (std::string(name) == "pdal_1.2-with-color-clipped.las") {
            EXPECT_EQ(original.count, 1065u);
            EXPECT_EQ(got.count, 1064u);  // the records actually present
        }
    }
}

namespace {

// Runs update_header on `bytes` in a child prepared by `setup`, and checks
// that it ends with status 255, prints exactly `want_out` (given the path)
// and leaves the file as it was.
void expect_refused(const std::string &bytes, const std::function<std::string(const std::string &)> &want_out,
                    const std::function<void(const std::string &)> &setup = nullptr,
                    const std::string &name = "points.las") {
    const std::string path = make_temp_dir("hdr-refuse") + "/" + name;
    write_file(path, bytes);
    const Captured c = run_in_child([&] {
        if (setup) setup(path);
        update_header(path.c_str());
    });
    EXPECT_EQ(c.exit_status, 255);
    EXPECT_EQ(c.out, want_out(path));
    EXPECT_EQ(c.err, "");
    EXPECT_TRUE(read_file(path) == bytes) << "the file was modified";
}

}  // namespace

TEST(UpdateHeaderRefusal, UnconvertibleOrTruncatedFilesAreNotWritten) {
    // LAS 1.0 declaring format 2: validation code 0, no message at all.
    expect_refused(las_bytes(0, 2, 26, {{1, 1, 1, 1}}), [](const std::string &) { return std::string(); });
    expect_refused(las_bytes(1, 3, 34, {}), [](const std::string &) { return std::string(); });
    // Shorter than the header: refused by the validation before any write.
    expect_refused(las_bytes(2, 0, 20, {}).substr(0, 200),
                   [](const std::string &p) { return "\n" + p + " is not a valid .las file\n\n"; });
    // Wrong record length for the format.
    expect_refused(las_bytes(2, 1, 20, {{1, 1, 1, 1}}), [](const std::string &p) {
        return "\nData format of " + p + " (1) is incompatible with Length of Data Record (20)\n";
    });
    // Point records inside the public header, or past the end of the file,
    // would give a count and a box of nothing.
    for (uint32_t offset : {0u, 226u, 250u}) {
        std::string bytes = las_bytes(2, 0, 20, {{1, 1, 1, 1}});
        put<uint32_t>(bytes, kOffsetToData, offset);
        expect_refused(bytes, [offset](const std::string &p) {
            return "\nOffsetToData of " + p + " is " + std::to_string(offset) +
                   (offset < 227 ? ", inside the 227-byte public header" : ", beyond the end of the file (247 bytes)") +
                   "; its header has not been changed\n";
        });
    }
    // A FIFO is refused by the validation instead of blocking the update.
    const std::string fifo = make_temp_dir("hdr-fifo") + "/f.las";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    const Captured c = run_in_child([&] { update_header(fifo.c_str()); });
    EXPECT_EQ(c.exit_status, 255);
    EXPECT_EQ(c.out, "\n" + fifo + " is a FIFO, not a regular file: it cannot be read as a LAS file\n");
}

TEST(UpdateHeaderRefusal, FileThatCannotBeOpenedForUpdate) {
    // Root may write to a read-only file, so the child gives up its
    // privileges first; the file stays readable, so only the update fails.
    const std::string bytes = las_bytes(2, 0, 20, {{1, 2, 3, 1}});
    const std::string path = make_temp_dir("hdr-ro") + "/readonly.las";
    write_file(path, bytes);
    ASSERT_EQ(chmod(path.c_str(), 0444), 0);
    ASSERT_EQ(chmod(path.substr(0, path.rfind('/')).c_str(), 0755), 0);
    const Captured c = run_in_child([&] {
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(77);
        if (access(path.c_str(), W_OK) == 0) _exit(78);
        update_header(path.c_str());
    });
    if (c.exit_status == 77 || c.exit_status == 78)
        GTEST_SKIP() << "cannot make the file unwritable for this process (no privilege to drop)";
    EXPECT_EQ(c.exit_status, 255);
    EXPECT_EQ(c.out, "\nCannot open binary file " + path + " for header update\n\n");
    EXPECT_TRUE(read_file(path) == bytes);
}

TEST(UpdateHeaderRefusal, FailedHeaderWriteIsReportedNotConfirmed) {
    // A file-size limit of 107 bytes lets the first 107 header bytes (which
    // the update does not change) through and fails the rest of the write.
    const std::string path = make_temp_dir("hdr-wr") + "/w.las";
    write_file(path, las_bytes(2, 0, 20, {{1, 2, 3, 1}}));
    const Captured c = run_in_child([&] {
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit limit = {kCount, kCount};
        if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(90);
        update_header(path.c_str());
    });
    EXPECT_EQ(c.exit_status, 255);
    EXPECT_EQ(c.out, "\nCannot write the updated header of " + path + "\n");
}

// ---- Default headers ------------------------------------------------------

namespace {

// The header each initialiser must produce over a record pre-filled with
// 0xA5: the bytes it does not set keep 0xA5.
std::string expected_default_header(uint8_t minor) {
    std::string b(kHeader, '\xA5');
    std::memcpy(&b[0], "LASF", 4);
    std::memset(&b[4], 0, 12);  // reserved / source ID / encoding, GUIDData1-3
    b[16] = 0;                  // first byte of GUIDData4 only
    b[24] = 1;
    b[25] = static_cast<char>(minor);
    b[26] = 0;  // SystemIdentifier: empty string, rest untouched
    std::memcpy(&b[58], "Ostrine LiDAR Utilities", 24);
    std::memset(&b[90], 0, 4);
    put<uint16_t>(b, 94, 227);
    put<uint32_t>(b, 96, 227);
    std::memset(&b[100], 0, kScale - 100);  // VLR count ... per-return counts
    for (int k = 0; k < 3; ++k) put<double>(b, kScale + 8 * k, 1.0);
    std::memset(&b[kOffset], 0, kHeader - kOffset);
    return b;
}

template <typename Header>
std::string initialised(void (*init)(Header *)) {
    Header h;
    std::memset(&h, 0xA5, sizeof h);
    init(&h);
    return std::string(reinterpret_cast<const char *>(&h), sizeof h);
}

}  // namespace

TEST(InitializeHeader, SetsTheDefaultFieldsAndNothingElse) {
    EXPECT_EQ(initialised(initialize_header10), expected_default_header(0));
    EXPECT_EQ(initialised(initialize_header11), expected_default_header(1));
    EXPECT_EQ(initialised(initialize_header12), expected_default_header(2));
    LAS12Header h;
    initialize_header12(&h);
    EXPECT_EQ(+h.HeaderSize, 227);
    EXPECT_EQ(+h.ZScaleFactor, 1.0);
    EXPECT_STREQ(h.GeneratingSoftware, "Ostrine LiDAR Utilities");
}

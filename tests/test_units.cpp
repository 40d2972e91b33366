// Pure functions of the converter: the row formatter and the progress line
// against C's printf, and the header checks on bytes alone.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>

#include "capture.h"
#include "console/pelmora_console.h"
#include "dbf/row_format.h"
#include "dbf/dbf_schema.h"
#include "frontends/pelmora.h"
#include "output_checks.h"
#include "expected_outputs.h"

namespace {

std::string gps(double v) {
    char out[16];
    format_gps_time(out, v);
    return std::string(out, 16);
}

// Every precision the GPS field may use, or only the usual 8.
void expect_like_printf(double v, bool all_precisions = true) {
    char want[64];
    for (int decimals = all_precisions ? 0 : 8; decimals <= 8; ++decimals) {
        char got[40];
        const int n = fixed_text(v, decimals, got);
        if (n < 0) {
            ASSERT_GE(std::fabs(v), 1e16);
            continue;
        }
        std::snprintf(want, sizeof want, "%.*f", decimals, v);
        ASSERT_EQ(std::string(got, static_cast<size_t>(n)), want) << "decimals " << decimals << " bits of " << v;
    }
    ASSERT_EQ(gps(v), expected_gps_text(v));
}

TEST(FixedText, EqualsPrintfOnExactTiesAndAwkwardValues) {
    // k/512 has nine binary-exact decimals: the eighth is a tie, rounded to even.
    for (int k = -20000; k <= 20000; ++k) expect_like_printf(k / 512.0);
    for (int k = 0; k < 4096; ++k) expect_like_printf(123456.0 + k / 1024.0);
    const double specials[] = {0.0, -0.0, 5e-324, -5e-324, 1e-9, -1e-9, 0.000000005, 0.000000015, 0.5, 1.5,
                               2.5, 9999999.999999995, 9999999.99999999, 99999999.5, 1e15, 9.999999999999998e15,
                               1e16, -1e16, 1e300, std::numeric_limits<double>::max(),
                               std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity(),
                               std::numeric_limits<double>::quiet_NaN(), -std::numeric_limits<double>::quiet_NaN()};
    for (double v : specials) expect_like_printf(v);
}

TEST(FixedText, EqualsPrintfOnRandomValues) {
    std::mt19937_64 random(20261208);
    std::uniform_real_distribution<double> gps_week(0.0, 604800.0);
    std::uniform_real_distribution<double> exponent(-12.0, 17.0);
    // PELMORA_DIFF_VALUES raises the count for a long run.
    const char *env = std::getenv("PELMORA_DIFF_VALUES");
    const long values = env ? std::atol(env) : 200000;
    for (long i = 0; i < values; ++i) {
        expect_like_printf(gps_week(random), false);
        const double magnitude = std::pow(10.0, exponent(random));
        expect_like_printf((i & 1) ? magnitude : -magnitude, false);
        if (i % 16 != 0) continue;  // arbitrary bit patterns are mostly huge and slow to print
        uint64_t bits = random();
        double any;
        std::memcpy(&any, &bits, sizeof any);
        expect_like_printf(any, false);
    }
}

TEST(GpsTimeField, TooWideValuesKeepTheDecimalsThatFitElseBecomeNull) {
    EXPECT_EQ(gps(12345.678), "  12345.67800000");
    EXPECT_EQ(gps(9999999.99999999), "9999999.99999999");
    EXPECT_EQ(gps(10000000.0), "10000000.0000000");
    EXPECT_EQ(gps(-1000000.0), "-1000000.0000000");
    EXPECT_EQ(gps(1234910021.86525989), "1234910021.86526");
    EXPECT_EQ(gps(1e15), "1000000000000000");
    EXPECT_EQ(gps(-1e15), std::string(16, '*'));
    EXPECT_EQ(gps(1e16), std::string(16, '*'));
    EXPECT_EQ(gps(-0.0), "     -0.00000000");
    EXPECT_EQ(gps(std::nan("")), "             nan");
    EXPECT_EQ(gps(-std::numeric_limits<double>::infinity()), "            -inf");
}

// One LAS 1.0 format 0 record: intensity 250, bitfield 0x51, class 2,
// scan angle 0xF4, file marker 0, user bit field 0.
std::string row_of(const unsigned char (&record)[34], int format) {
    static const size_t kRowLength[4] = {24, 40, 39, 55};
    char out[64];
    ValueChanges changes;
    format_rows(record, 1, 34, pelmora_schema(2, static_cast<uint8_t>(format)), out, changes);
    return std::string(out, kRowLength[format]);
}

TEST(Rows, FieldsArePlacedAsTheTableSays) {
    unsigned char r[34] = {};
    r[12] = 250;
    r[14] = 0x51;
    r[15] = 2;
    r[16] = 0xF4;
    EXPECT_EQ(row_of(r, 0), "   2501210  2-12  0    0");
    r[14] = static_cast<unsigned char>(0xFF);
    r[15] = 0x82;
    r[16] = 0x7F;
    r[17] = 255;
    r[18] = 0xFF;
    r[19] = 0xFF;
    EXPECT_EQ(row_of(r, 0), "   2507711130127255" "65535");
    // Format 2 colours follow the core; format 3 puts the GPS time between.
    r[20] = 1;
    r[22] = 2;
    r[24] = 3;
    EXPECT_EQ(row_of(r, 2).substr(24), "    1    2    3");
    const double t = 12345.678;
    std::memcpy(r + 20, &t, 8);
    r[28] = 0xFF;
    r[29] = 0xFF;
    EXPECT_EQ(row_of(r, 3).substr(24), "  12345.6780000065535    0    0");
}

TEST(Rows, ScanAnglesBelowMinus99BecomeNullAndAreCounted) {
    for (int byte = 0; byte < 256; ++byte) {
        unsigned char r[34] = {};
        r[16] = static_cast<unsigned char>(byte);
        char out[64];
        ValueChanges changes;
        format_rows(r, 1, 34, pelmora_schema(2, 0), out, changes);
        const int value = static_cast<int8_t>(byte);
        char want[8];
        std::snprintf(want, sizeof want, "%3d", value);
        EXPECT_EQ(std::string(out + 13, 3), value <= -100 ? "***" : want) << byte;
        EXPECT_EQ(changes.scan_angle_nulls, value <= -100 ? 1u : 0u);
    }
}

std::string progress_text(int32_t chunk, uint32_t points, bool one_decimal) {
    return run_in_child([&] { print_progress(chunk, points, one_decimal); }).out;
}

TEST(Progress, PercentIsComputedLeftToRightAndRoundedHalfToEven) {
    EXPECT_EQ(progress_text(0, 1280000, false), "\rProcessing ... 78.12% done");
    EXPECT_EQ(progress_text(0, 2500000, true), "\rProcessing ... 40.0% done");
    EXPECT_EQ(progress_text(1, 2500000, false), "\rProcessing ... 80.00% done");
    // 80,000,000 points: other groupings of the product print other digits here.
    EXPECT_EQ(progress_text(22, 80000000, true), "\rProcessing ... 28.8% done");
    EXPECT_EQ(progress_text(48, 80000000, true), "\rProcessing ... 61.2% done");
    EXPECT_EQ(progress_text(50, 80000000, true), "\rProcessing ... 63.8% done");
}

// The checks are a function of the name, the file's type and size and the
// header bytes: every problem of a header comes back, in order, each as the
// text the run prints for it.
TEST(HeaderChecks, EveryProblemOfAHeaderIsReturnedWithoutReadingAFile) {
    std::string header(227, '\0');
    header.replace(0, 4, "LASF");
    header[24] = 1;
    header[25] = 2;
    header[104] = 3;
    bytes::put_le(header, 105, 34, 2);
    bytes::put_le(header, 96, 227, 4);
    for (int axis = 0; axis < 3; ++axis) {
        const double scale = 0.01;
        std::memcpy(&header[131 + 8 * axis], &scale, 8);
    }
    auto check = [&](const std::string &h, uint64_t size, mode_t mode = S_IFREG) {
        return check_las_file("t.las", mode, size, reinterpret_cast<const unsigned char *>(h.data()), h.size());
    };
    LasFileCheck ok = check(header, 227);
    EXPECT_EQ(ok.las_type, 8);
    EXPECT_TRUE(ok.problems.empty());

    // Records inside the header, more than a shapefile holds, a scale that
    // gives infinities: three problems at once.
    std::string bad = header;
    bytes::put_le(bad, 96, 100, 4);
    bytes::put_le(bad, 107, 200000000, 4);
    const double huge = 1e300;
    std::memcpy(&bad[147], &huge, 8);
    const LasFileCheck three = check(bad, 227);
    EXPECT_EQ(three.las_type, -1);
    ASSERT_EQ(three.problems.size(), 3u);
    EXPECT_EQ(three.problems[0], "\nOffsetToData of t.las is 100, inside the 227-byte public header; the point records cannot start there\n");
    EXPECT_EQ(three.problems[1], "\nt.las holds 200000000 point records; a shapefile can hold at most 119304644 PointZ records\n");
    EXPECT_EQ(three.problems[2].rfind("\nThe Z scale factor and offset of t.las (1e+300 and 0)", 0), 0u);

    // A header the library's checks refuse is not looked at further; a
    // FIFO is not read at all.
    bad = header;
    bad[25] = 4;
    EXPECT_EQ(check(bad, 227).problems, std::vector<std::string>{"\nCannot handle las files of version 1.4\nt.las is not a valid LAS file\n"});
    EXPECT_EQ(check("", 0, S_IFIFO).problems,
              std::vector<std::string>{"\nt.las is a FIFO, not a regular file: it cannot be read as a LAS file\nt.las is not a valid LAS file\n"});
    EXPECT_EQ(check(header.substr(0, 226), 226).problems,
              std::vector<std::string>{"\nt.las is not a valid .las file\n\nt.las is not a valid LAS file\n"});
}

}  // namespace

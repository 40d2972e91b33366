// Yes/no flag, numeric argument and DEM name checks.  The checks that end
// the process run in a child: exact output, exit status 255 (-1), or a clean
// return with the documented output.
#include "Ostrine_LiDAR.h"
#include "capture.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <string>

namespace {

const std::string kYNMessage = "\nASCII Header Flag should be either Y (y) or N (n)\n";
const std::string kDEMExtMessage =
    "\nDEM file extension should be either '.asc' (ASCII) or '.flt' (floating point binary)\n";
const std::string kDEMHdrMessage = "\nFloating point binary DEM files also require a ASCII header file ('.hdr')\n";

std::string ext_mismatch(const std::string &name, const char *ext) {
    return "\nFile extension of " + name + " is not ." + ext + "\n";
}

Captured numeric(const std::string &s) { return run_in_child([&] { check_numeric_argument(s.c_str()); }); }
Captured dem(const std::string &s) { return run_in_child([&] { check_DEM(s.c_str()); }); }

}  // namespace

TEST(CheckYN, AcceptsTheFourOneLetterFlagsOnly) {
    for (const char *ok : {"Y", "N", "y", "n"}) {
        const Captured c = run_in_child([&] { std::exit(check_YN(ok) == 0 ? 0 : 1); });
        EXPECT_EQ(c.exit_status, 0) << ok;
        EXPECT_EQ(c.out, "") << ok;
    }
    for (const char *bad : {"yes", "YES", "Y ", "YN", "", "x"}) {
        const Captured c = run_in_child([&] { std::exit(check_YN(bad) == -1 ? 0 : 1); });
        EXPECT_EQ(c.exit_status, 0) << '"' << bad << '"';
        EXPECT_EQ(c.out, kYNMessage) << '"' << bad << '"';
    }
}

TEST(CheckNumericArgument, AcceptsDigitsWithAtMostOnePointAndOneMinus) {
    for (const char *ok : {"12.5", "-3", "007", ".5", "5.", "5-", "1-2", "-.", "", "0"}) {
        const Captured c = numeric(ok);
        EXPECT_EQ(c.exit_status, 0) << '"' << ok << '"';
        EXPECT_EQ(c.out, "") << '"' << ok << '"';
    }
}

TEST(CheckNumericArgument, RejectsAnythingElseAndEndsTheProcess) {
    for (const char *bad : {"1e5", "+3", " 3", "1,5", "1.2.3", "--1", ".", "-", "\xd9\xa3", "3\n"}) {
        const Captured c = numeric(bad);
        EXPECT_EQ(c.exit_status, 255) << '"' << bad << '"';
        EXPECT_EQ(c.out, "\nInvalid argument value (" + std::string(bad) + ")\n") << '"' << bad << '"';
        EXPECT_EQ(c.err, "");
    }
}

// A null string is an invalid argument: the message and result of any other.
TEST(ArgumentChecks, NullStringsAreInvalidArgumentsNeverACrash) {
    const Captured yn = run_in_child([] { std::exit(check_YN(nullptr) == -1 ? 0 : 1); });
    EXPECT_EQ(yn.exit_status, 0);
    EXPECT_EQ(yn.out, kYNMessage);
    const Captured number = run_in_child([] { check_numeric_argument(nullptr); });
    EXPECT_EQ(number.exit_status, 255);
    EXPECT_EQ(number.out, "\nInvalid argument value ((null))\n");
    const Captured name = run_in_child([] { check_DEM(nullptr); });
    EXPECT_EQ(name.exit_status, 255);
    EXPECT_EQ(name.out, "\nFile name ((null)) is too short\n\nFile name ((null)) is too short\n" + kDEMExtMessage);
    EXPECT_EQ(run_in_child([] { initialize_header10(nullptr); initialize_header11(nullptr); initialize_header12(nullptr); })
                  .signal,
              0);
}

TEST(CheckNumericArgument, ScansStringsLongerThan65535Characters) {
    std::string digits(70000, '7');
    EXPECT_EQ(numeric(digits).exit_status, 0);
    // The offending characters sit past any 16-bit index.
    std::string second_point = digits;
    second_point[10] = '.';
    second_point[66000] = '.';
    std::string letter = digits;
    letter[65536 + 3] = 'x';
    for (const auto &bad : {second_point, letter}) {
        const Captured c = numeric(bad);
        EXPECT_EQ(c.exit_status, 255);
        EXPECT_EQ(c.out, "\nInvalid argument value (" + bad + ")\n");
    }
}

TEST(CheckDEM, AcceptsAscNamesWithoutLookingForFiles) {
    const Captured c = dem("/nonexistent/dem.asc");
    EXPECT_EQ(c.exit_status, 0);
    EXPECT_EQ(c.out, ext_mismatch("/nonexistent/dem.asc", "flt"));
}

TEST(CheckDEM, FltNamesNeedAReadableHeaderBesideThem) {
    const std::string dir = make_temp_dir("dem");
    const std::string flt = dir + "/dem.flt";  // the grid itself need not exist
    const Captured missing = dem(flt);
    EXPECT_EQ(missing.exit_status, 255);
    EXPECT_EQ(missing.out, ext_mismatch(flt, "asc") + "Unable to open file " + dir +
                               "/dem.hdr in file_access()\n" + kDEMHdrMessage);

    write_file(dir + "/dem.hdr", "ncols 1\n");
    const Captured present = dem(flt);
    EXPECT_EQ(present.exit_status, 0);
    EXPECT_EQ(present.out, ext_mismatch(flt, "asc"));
}

TEST(CheckDEM, RejectsOtherExtensionsWithBothMismatchMessages) {
    for (const std::string name : {"dem.ASC", "dem.txt", "dem.Flt"}) {
        const Captured c = dem(name);
        EXPECT_EQ(c.exit_status, 255) << name;
        EXPECT_EQ(c.out, ext_mismatch(name, "asc") + ext_mismatch(name, "flt") + kDEMExtMessage) << name;
    }
    const Captured short_name = dem("dem");
    EXPECT_EQ(short_name.exit_status, 255);
    EXPECT_EQ(short_name.out,
              "\nFile name (dem) is too short\n\nFile name (dem) is too short\n" + kDEMExtMessage);
}

TEST(CheckDEM, HandlesNamesLongerThan80Characters) {
    std::string dir = make_temp_dir("dem-long");
    for (int k = 0; k < 4; ++k) {
        dir += "/" + std::string(60, 'd');
        ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
    }
    const std::string flt = dir + "/" + std::string(100, 'g') + ".flt";
    const std::string hdr = dir + "/" + std::string(100, 'g') + ".hdr";
    ASSERT_GT(flt.size(), 300u);
    const Captured missing = dem(flt);
    EXPECT_EQ(missing.exit_status, 255);
    EXPECT_EQ(missing.out,
              ext_mismatch(flt, "asc") + "Unable to open file " + hdr + " in file_access()\n" + kDEMHdrMessage);
    write_file(hdr, "");
    const Captured present = dem(flt);
    EXPECT_EQ(present.exit_status, 0);
    EXPECT_EQ(present.out, ext_mismatch(flt, "asc"));
}

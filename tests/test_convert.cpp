// pelmora-convert end to end: refusals of bad headers (message, status,
// an untouched disk), names and options, the selection of points, whose
// expected result is computed here from the LAS bytes, and the spatial
// index as one more output.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <functional>
#include <set>

#include "output_checks.h"
#include "pelmora_run.h"

namespace {

namespace fs = std::filesystem;
using bytes::le16;
using bytes::le32;
using bytes::le_double;
using bytes::put_le;

Captured convert(const std::vector<std::string> &arguments, const std::string &workdir = "") {
    std::vector<std::string> argv{PELMORA_CONVERT_BIN};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return run_program(argv, workdir);
}

std::string sample(const std::string &name) { return read_file(std::string(LASDATA_DIR) + "/" + name); }

// ---- Refusals ---------------------------------------------------------------------

// A LAS 1.4 file of format 6 (10 points, every field holding the point's
// index), damaged one way per case: each refusal names the file and the
// fault, writes nothing, and is status 1.
TEST(Refusals, BadHeadersAreRefusedBeforeAnythingIsWritten) {
    TempDir dir("refusals");
    const std::string good = sample("pasture_10_points_format_6.las");
    ASSERT_EQ(good.size(), 675u);
    const std::string t = dir / "t.las";
    const struct {
        const char *what;
        std::function<void(std::string &)> damage;
        std::string message;  // after "pelmora-convert: "
    } cases[] = {
        {"LAS 2.4", [](std::string &b) { b[24] = 2; }, t + " is LAS 2.4: only LAS 1.0 to 1.4 are read"},
        {"LAS 1.5", [](std::string &b) { b[25] = 5; }, t + " is LAS 1.5: only LAS 1.0 to 1.4 are read"},
        {"format 11", [](std::string &b) { b[104] = 11; }, t + " has point format 11: LAS defines formats 0 to 10"},
        {"records too short", [](std::string &b) { put_le(b, 105, 29, 2); },
         t + " has point records of 29 bytes, shorter than the 30 bytes of point format 6"},
        {"points inside the header", [](std::string &b) { put_le(b, 96, 300, 4); },
         "OffsetToData of " + t + " is 300, inside the 375-byte public header; the point records cannot start there"},
        {"points inside the header it declares", [](std::string &b) { put_le(b, 94, 400, 2); },
         "OffsetToData of " + t + " is 375, inside the 400-byte public header; the point records cannot start there"},
        {"points that run into the extended records",
         [](std::string &b) {
             put_le(b, 235, 500, 8);
             put_le(b, 243, 1, 4);
         },
         t + " announces 10 point records of 30 bytes after byte 375, which run past the start of its extended "
             "variable-length records (byte 500): the header contradicts itself"},
        {"points beyond the end", [](std::string &b) { put_le(b, 96, 100000, 4); },
         "OffsetToData of " + t + " is 100000, beyond the end of the file (675 bytes)"},
        {"cut short", [](std::string &b) { b.resize(b.size() - 10); },
         t + " announces 10 point records but holds only 9 whole records of 30 bytes after byte 375"},
        {"a legacy count that lies", [](std::string &b) { put_le(b, 107, 7, 4); },
         t + " announces 10 point records in its LAS 1.4 count but 7 in its legacy count: the header contradicts itself"},
        {"a header size too small", [](std::string &b) { put_le(b, 94, 227, 2); },
         t + " has a HeaderSize of 227, smaller than the 375 bytes of a LAS 1.4 header"},
        {"cut inside the header", [](std::string &b) { b.resize(300); }, t + " ends inside its LAS 1.4 header"},
        {"not LAS", [](std::string &b) { b.replace(0, 4, "LASX"); },
         t + " is not a LAS file: it does not begin with a LAS header"},
        {"an infinite scale", [](std::string &b) { put_le(b, 139, 0x7FF0000000000000ull, 8); },
         "The Y scale factor and offset of " + t + " (inf and 0) do not give finite coordinates"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        std::string damaged = good;
        c.damage(damaged);
        write_file(t, damaged);
        const Captured run = convert({t});
        EXPECT_EQ(run.exit_status, 1);
        EXPECT_EQ(run.err, "pelmora-convert: " + c.message + "\n");
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(listing(dir.path), std::vector<std::string>{"t.las"});
    }
    // Not a regular file: refused without waiting for a writer, by its kind.
    fs::remove(t);
    ASSERT_EQ(mkfifo(t.c_str(), 0644), 0);
    const Captured fifo = convert({t});
    EXPECT_EQ(fifo.exit_status, 1);
    EXPECT_EQ(fifo.err, "pelmora-convert: " + t + " is a FIFO, not a regular file: it cannot be read as a LAS file\n");
    fs::remove(t);
    fs::create_directory(t);
    const Captured directory = convert({t});
    EXPECT_EQ(directory.exit_status, 1);
    EXPECT_EQ(directory.err,
              "pelmora-convert: " + t + " is a directory, not a regular file: it cannot be read as a LAS file\n");
    // A cell size whose cells the header's box cannot number apart.
    fs::remove(t);
    write_file(t, good);
    const Captured thin = convert({"--thin-grid=1e-300", t});
    EXPECT_EQ(thin.exit_status, 1);
    EXPECT_EQ(thin.err.rfind("pelmora-convert: --thin-grid 1e-300: the cells of the header's box (", 0), 0u) << thin.err;
    EXPECT_EQ(listing(dir.path), std::vector<std::string>{"t.las"});
}

// ---- Names and options --------------------------------------------------------------

// Names end in .las or .laz in any letter case (AHN ships C_15GN2.LAZ); the
// outputs get lower-case extensions.  A file that fails does not stop the
// others, and the status says that one failed.
TEST(Names, AnyCaseOfTheExtensionOthersFailAndTheRestStillConvert) {
    TempDir dir("names");
    generate_las(dir / "C_15GN2.LAS", {"--format", "1", "--points", "20"});
    generate_las(dir / "plain.las", {"--format", "0", "--points", "5"});
    write_file(dir / "tile.txt", read_file(dir / "plain.las"));
    const Captured run =
        convert({"C_15GN2.LAS", "tile.txt", "missing.las", "plain.las", "./C_15GN2.LAS"}, dir.path);
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_EQ(run.err, "pelmora-convert: tile.txt: the name does not end in .las or .laz\n"
                       "pelmora-convert: Cannot open missing.las: No such file or directory\n"
                       "pelmora-convert: ./C_15GN2.LAS: its output ./C_15GN2.shp is also an output of a file "
                       "converted before in this run\n");
    EXPECT_EQ(run.out.find("C_15GN2.LAS: 20 points written to C_15GN2.shp ("), 0u) << run.out;
    EXPECT_NE(run.out.find("\nplain.las: 5 points written to plain.shp ("), std::string::npos) << run.out;
    EXPECT_EQ(listing(dir.path),
              (std::vector<std::string>{"C_15GN2.LAS", "C_15GN2.dbf", "C_15GN2.shp", "C_15GN2.shx", "plain.dbf",
                                        "plain.las", "plain.shp", "plain.shx", "tile.txt"}));

    // Control bytes in a name are shown escaped in every line: one line a
    // file, nothing sent to the terminal.
    write_file(dir / "new\nline.las", read_file(dir / "plain.las"));
    write_file(dir / "red\033[31m.las", "not LAS");
    const Captured odd = convert({"new\nline.las", "red\033[31m.las"}, dir.path);
    EXPECT_EQ(odd.exit_status, 1);
    EXPECT_EQ(odd.out.rfind("new\\nline.las: 5 points written to new\\nline.shp (", 0), 0u) << odd.out;
    EXPECT_EQ(odd.err, "pelmora-convert: red\\033[31m.las is not a LAS file: it does not begin with a LAS header\n");
}

// Options: usage errors are status 2 with a message naming the option and
// nothing written; -o writes elsewhere; -n never replaces; -q prints no
// result line.
TEST(Options, UsageErrorsOutputDirectoryNoClobberAndQuiet) {
    TempDir dir("options");
    generate_las(dir / "a.las", {"--format", "3", "--points", "30"});
    const std::string more = "\nTry 'pelmora-convert --help' for more information.\n";
    const struct {
        std::vector<std::string> arguments;
        std::string message;
    } usage[] = {
        {{"--bogus", "a.las"}, "unknown option '--bogus'"},
        {{"-x", "a.las"}, "unknown option '-x'"},
        {{"a.las", "--class"}, "option '--class' needs a value"},
        {{"--class", "x", "a.las"}, "invalid value for --class: 'x' is not a number from 0 to 255 nor a range of them (A-B)"},
        {{"--drop-class", "5-2", "a.las"},
         "invalid value for --drop-class: '5-2' is not a number from 0 to 255 nor a range of them (A-B)"},
        {{"--returns", "16", "a.las"},
         "invalid value for --returns: '16' is not a number from 0 to 15 nor a range of them (A-B), nor first, last or single"},
        {{"--every", "0", "a.las"}, "invalid value for --every: '0' is not a whole number of at least 1"},
        {{"--bounds", "5,0,1,1", "a.las"}, "invalid value for --bounds: XMIN (5) is greater than XMAX (1)"},
        {{"--bounds", "1,2,3", "a.las"}, "invalid value for --bounds: '1,2,3' is not four numbers XMIN,YMIN,XMAX,YMAX"},
        {{"--thin-grid", "-1", "a.las"}, "invalid value for --thin-grid: '-1' is not a cell size greater than 0"},
        {{"-o", "nowhere", "a.las"}, "output directory nowhere does not exist"},
        {{"--drop-withheld=1", "a.las"}, "option '--drop-withheld' takes no value"},
        {{"--index=yes", "a.las"}, "option '--index' takes no value"},
        {{"--bounds=0,0,1,1", "--bounds", "0,0,2,2", "a.las"}, "option '--bounds' may be given only once"},
        {{"--every", "2", "--thin-grid=5", "--every=3", "a.las"}, "option '--every' may be given only once"},
        {{}, "no file given"},
    };
    for (const auto &u : usage) {
        SCOPED_TRACE(u.message);
        const Captured run = convert(u.arguments, dir.path);
        EXPECT_EQ(run.exit_status, 2);
        EXPECT_EQ(run.err, "pelmora-convert: " + u.message + more);
        EXPECT_EQ(run.out, "");
    }
    EXPECT_EQ(listing(dir.path), std::vector<std::string>{"a.las"});

    fs::create_directory(dir / "out");
    Captured run = convert({"-q", "--output-dir=out", "a.las"}, dir.path);
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_EQ(run.out + run.err, "");
    EXPECT_EQ(listing(dir / "out"), (std::vector<std::string>{"a.dbf", "a.shp", "a.shx"}));

    for (const char *ext : {"shp", "shx", "dbf"}) fs::remove(dir / "out/a." + ext);
    write_file(dir / "out/a.shx", "mine");
    run = convert({"-n", "-o", "out", "a.las"}, dir.path);
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_EQ(run.err, "pelmora-convert: out/a.shx already exists (--no-clobber): nothing written\n");
    EXPECT_EQ(read_file(dir / "out/a.shx"), "mine");

    EXPECT_EQ(convert({"--help"}).out.find("Usage: pelmora-convert [OPTION]... FILE...\n"), 0u);
    EXPECT_EQ(convert({"-V"}).out.rfind("pelmora-convert ", 0), 0u);
}

// LAS 1.0-1.2 files that Pelmora converts give Pelmora's outputs exactly
// (the table's three date bytes aside).
TEST(Outputs, LasOneTwoGivesPelmorasBytes) {
    TempDir dir("same");
    generate_las(dir / "p.las", {"--version", "1.0", "--format", "1", "--points", "2000", "--values", "edge"});
    ASSERT_EQ(run_pelmora(dir / "p.las").exit_status, 0);
    fs::create_directory(dir / "c");
    ASSERT_EQ(convert({"-q", "-o", dir / "c", dir / "p.las"}).exit_status, 0);
    for (const char *ext : {".shp", ".shx"}) EXPECT_TRUE(read_file(dir / "p" + ext) == read_file(dir / "c/p" + ext)) << ext;
    std::string pelmora = read_file(dir / "p.dbf"), converted = read_file(dir / "c/p.dbf");
    ASSERT_EQ(pelmora.size(), converted.size());
    EXPECT_TRUE(pelmora.replace(1, 3, "ymd") == converted.replace(1, 3, "ymd"));
}

// ---- Selection --------------------------------------------------------------------------

// A point of a LAS file, read here from its bytes.
struct LasPoint {
    unsigned klass, return_number, returns;
    bool withheld;
    double x, y, z;
};

std::vector<LasPoint> las_points(const std::string &las) {
    const uint8_t format = static_cast<uint8_t>(las[104]);
    const uint32_t offset = le32(las, 96), count = las[25] >= 4 ? le32(las, 247) : le32(las, 107);
    const uint16_t length = le16(las, 105);
    std::vector<LasPoint> points;
    for (uint32_t i = 0; i < count; ++i) {
        const size_t r = offset + static_cast<size_t>(i) * length;
        const auto byte = [&](size_t at) { return static_cast<unsigned>(static_cast<unsigned char>(las[r + at])); };
        LasPoint p{};
        if (format >= 6) {
            p.klass = byte(16);
            p.withheld = (byte(15) & 4) != 0;
            p.return_number = byte(14) & 15;
            p.returns = byte(14) >> 4;
        } else {
            p.klass = byte(15) & 31;
            p.withheld = (byte(15) & 128) != 0;
            p.return_number = byte(14) & 7;
            p.returns = (byte(14) >> 3) & 7;
        }
        double xyz[3];
        for (int a = 0; a < 3; ++a)
            xyz[a] = static_cast<double>(static_cast<int32_t>(le32(las, r + 4 * a))) * le_double(las, 131 + 8 * a) +
                     le_double(las, 155 + 8 * a);
        p.x = xyz[0], p.y = xyz[1], p.z = xyz[2];
        points.push_back(p);
    }
    return points;
}

// The points a selection keeps, in order, from the rules: the attribute
// and box tests, then one point per grid cell, then every Nth.
struct Rule {
    std::function<bool(const LasPoint &)> keep = [](const LasPoint &) { return true; };
    double grid = 0;
    size_t every = 1;
};

std::vector<size_t> kept_by(const std::vector<LasPoint> &points, const Rule &rule) {
    std::vector<size_t> kept;
    std::set<std::pair<double, double>> cells;
    size_t reached = 0;
    for (size_t i = 0; i < points.size(); ++i) {
        const LasPoint &p = points[i];
        if (!rule.keep(p)) continue;
        if (rule.grid > 0 && !cells.insert({std::floor(p.x / rule.grid) + 0.0, std::floor(p.y / rule.grid) + 0.0}).second)
            continue;
        if (reached++ % rule.every != 0) continue;
        kept.push_back(i);
    }
    return kept;
}

// The .shp holds exactly the kept points, in order, with headers that
// count them and a box that is their extent (zeros for none); the .shx and
// the .dbf agree.
void expect_kept(const std::string &stem, const std::vector<LasPoint> &points, const std::vector<size_t> &kept) {
    const std::string shp = read_file(stem + ".shp"), shx = read_file(stem + ".shx"), dbf = read_file(stem + ".dbf");
    ASSERT_EQ(shp.size(), 100 + 36 * kept.size());
    EXPECT_EQ(bytes::be32(shp, 24), 50 + 18 * kept.size());
    EXPECT_EQ(shx.size(), 100 + 8 * kept.size());
    EXPECT_EQ(bytes::be32(shx, 24), 50 + 4 * kept.size());
    EXPECT_EQ(le32(dbf, 4), kept.size());
    EXPECT_EQ(dbf.size(), le16(dbf, 8) + le16(dbf, 10) * kept.size());
    double lo[3] = {HUGE_VAL, HUGE_VAL, HUGE_VAL}, hi[3] = {-HUGE_VAL, -HUGE_VAL, -HUGE_VAL};
    for (size_t k = 0; k < kept.size(); ++k) {
        const LasPoint &p = points[kept[k]];
        const size_t at = 100 + 36 * k;
        ASSERT_EQ(bytes::be32(shp, at), k + 1);
        ASSERT_EQ(le_double(shp, at + 12), p.x) << "record " << k;
        ASSERT_EQ(le_double(shp, at + 20), p.y) << "record " << k;
        ASSERT_EQ(le_double(shp, at + 28), p.z) << "record " << k;
        const double xyz[3] = {p.x, p.y, p.z};
        for (int a = 0; a < 3; ++a) lo[a] = std::min(lo[a], xyz[a]), hi[a] = std::max(hi[a], xyz[a]);
    }
    const double box[6] = {kept.empty() ? 0 : lo[0], kept.empty() ? 0 : lo[1], kept.empty() ? 0 : hi[0],
                           kept.empty() ? 0 : hi[1], kept.empty() ? 0 : lo[2], kept.empty() ? 0 : hi[2]};
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(le_double(shp, 36 + 8 * i), box[i]) << "box " << i;
        EXPECT_EQ(le_double(shx, 36 + 8 * i), box[i]) << "box " << i;
    }
}

// Each option alone and together, on a LAS 1.2 file whose class bytes
// carry flag bits and whose return bytes take every value, and on LAS 1.4
// records of format 6 (whole classification byte, flags byte).
TEST(Selection, EachOptionAndACombinationKeepThePointsTheRulesSay) {
    TempDir dir("select");
    generate_las(dir / "edge.las", {"--format", "1", "--points", "5000", "--values", "edge"});
    write_file(dir / "f6.las", sample("pasture_10_points_format_6.las"));
    const std::string edge = read_file(dir / "edge.las");
    const std::vector<LasPoint> points = las_points(edge);
    double x_mid = 0, y_mid = 0;
    for (const LasPoint &p : points) x_mid += p.x / points.size(), y_mid += p.y / points.size();
    const std::string box = std::to_string(x_mid - 1e7) + "," + std::to_string(y_mid - 1e7) + "," +
                            std::to_string(x_mid) + "," + std::to_string(y_mid + 5e6);
    const struct {
        const char *file;
        std::vector<std::string> options;
        Rule rule;
    } cases[] = {
        {"edge.las", {"--class", "2,6,9-11"}, {[](const LasPoint &p) { return p.klass == 2 || p.klass == 6 || (p.klass >= 9 && p.klass <= 11); }}},
        {"edge.las", {"--drop-class", "0-3"}, {[](const LasPoint &p) { return p.klass > 3; }}},
        {"edge.las", {"--returns", "first"}, {[](const LasPoint &p) { return p.return_number == 1; }}},
        {"edge.las", {"--returns", "last"}, {[](const LasPoint &p) { return p.return_number == p.returns; }}},
        {"edge.las", {"--returns", "single"}, {[](const LasPoint &p) { return p.returns == 1; }}},
        {"edge.las", {"--returns", "2,4-5"}, {[](const LasPoint &p) { return p.return_number == 2 || p.return_number == 4 || p.return_number == 5; }}},
        {"edge.las", {"--returns", "first", "--returns", "last", "--class", "1", "--class", "2"},
         {[](const LasPoint &p) { return (p.return_number == 1 || p.return_number == p.returns) && (p.klass == 1 || p.klass == 2); }}},
        {"edge.las", {"--drop-withheld"}, {[](const LasPoint &p) { return !p.withheld; }}},
        {"edge.las", {"--bounds", box}, {[&](const LasPoint &p) { return p.x >= x_mid - 1e7 && p.x <= x_mid && p.y >= y_mid - 1e7 && p.y <= y_mid + 5e6; }}},
        {"edge.las", {"--thin-grid", "1000000"}, {Rule{}.keep, 1e6}},
        {"edge.las", {"--every", "7"}, {Rule{}.keep, 0, 7}},
        {"edge.las", {"--drop-class", "7", "--returns", "last", "--thin-grid", "3e6", "--every", "3"},
         {[](const LasPoint &p) { return p.klass != 7 && p.return_number == p.returns; }, 3e6, 3}},
        {"edge.las", {"--class", "200"}, {[](const LasPoint &) { return false; }}},
        {"f6.las", {"--class", "3-250", "--drop-withheld"}, {[](const LasPoint &p) { return p.klass >= 3 && !p.withheld; }}},
        {"f6.las", {"--returns", "last"}, {[](const LasPoint &p) { return p.return_number == p.returns; }}},
    };
    for (const auto &c : cases) {
        std::string label = c.file;
        for (const std::string &o : c.options) label += " " + o;
        SCOPED_TRACE(label);
        const std::vector<LasPoint> file_points = las_points(read_file(dir / c.file));
        const std::vector<size_t> kept = kept_by(file_points, c.rule);
        std::vector<std::string> arguments = c.options;
        arguments.push_back(c.file);
        const Captured run = convert(arguments, dir.path);
        ASSERT_EQ(run.exit_status, 0) << run.err;
        const std::string stem = dir / std::string(c.file).substr(0, std::strlen(c.file) - 4);
        expect_kept(stem, file_points, kept);
        const std::string summary = std::string(c.file) + ": kept " + std::to_string(kept.size()) + " of " +
                                    std::to_string(file_points.size()) + " points, written to " +
                                    std::string(c.file).substr(0, std::strlen(c.file) - 4) + ".shp (";
        EXPECT_EQ(run.out.rfind(summary, 0), 0u) << run.out;
        const std::string none = "pelmora-convert: warning: " + std::string(c.file) +
                                 ": no point passed the selection; the shapefile has no records\n";
        EXPECT_EQ(run.err.find(none) != std::string::npos, kept.empty()) << run.err;
    }
}

// ---- Spatial index ------------------------------------------------------------------------

// What is on disk in a directory: each name, with "SQT n" for a spatial
// index of n shapes (its header: signature, byte order 1 and version 1,
// then the shape count), a file's own bytes when it is a few bytes the test
// wrote, and "dir" for a directory.
std::vector<std::string> contents(const std::string &dir) {
    std::vector<std::string> seen;
    for (const std::string &name : listing(dir)) {
        const std::string path = dir + "/" + name;
        if (fs::is_directory(path)) {
            seen.push_back(name + " dir");
            continue;
        }
        const std::string b = read_file(path);
        if (b.size() >= 16 && b.compare(0, 8, std::string("SQT\1\1\0\0\0", 8)) == 0)
            seen.push_back(name + " SQT " + std::to_string(le32(b, 8)));
        else if (b.size() < 16)
            seen.push_back(name + " " + b);
        else
            seen.push_back(name);
    }
    return seen;
}

// --index makes NAME.qix one more output of the set: it replaces an old
// index only with the rest, and goes with it when the run fails.  Without
// --index an index of the replaced shapefile (.qix, .sbn, .sbx) goes, and a
// .prj this conversion does not write; --no-clobber removes nothing and
// refuses a file any of whose companions exists.  (GDAL reads the index in
// the conformance suite.)
TEST(SpatialIndexes, IndexIsOneMoreOutputOfTheSetAndNoStaleOneStays) {
    TempDir dir("index");
    generate_las(dir / "t.las", {"--format", "1", "--points", "20000"});
    const std::vector<std::string> outputs = {"t.dbf", "t.las", "t.qix SQT 20000", "t.shp", "t.shx"};
    const auto old_index = [&] { write_file(dir / "t.qix", "old index"); };
    const struct {
        const char *what;
        std::function<void()> before;
        std::vector<std::string> options;
        int status;
        std::string message;  // after "pelmora-convert: "
        std::vector<std::string> after;
    } cases[] = {
        {"a new index", [] {}, {"--index"}, 0, "", outputs},
        {"an old index and ArcGIS's replaced",
         [&] {
             old_index();
             write_file(dir / "t.sbn", "sbn");
             write_file(dir / "t.sbx", "sbx");
         },
         {"--index"}, 0, "", outputs},
        {"a stale index removed", old_index, {}, 0, "", {"t.dbf", "t.las", "t.shp", "t.shx"}},
        {"a stale .prj removed", [&] { write_file(dir / "t.prj", "old prj"); }, {}, 0, "",
         {"t.dbf", "t.las", "t.shp", "t.shx"}},
        {"--no-clobber and only a companion", old_index, {"-n"}, 1, "t.qix already exists (--no-clobber): nothing written",
         {"t.las", "t.qix old index"}},
        {"--no-clobber and only a .prj", [&] { write_file(dir / "t.prj", "old prj"); }, {"-n"}, 1,
         "t.prj already exists (--no-clobber): nothing written", {"t.las", "t.prj old prj"}},
        {"--no-clobber", old_index, {"--index", "-n"}, 1, "t.qix already exists (--no-clobber): nothing written",
         {"t.las", "t.qix old index"}},
        {"an index that is a directory", [&] { fs::create_directory(dir / "t.qix"); }, {"--index"}, 1,
         "t.qix is a directory, not a regular file: an output cannot replace it", {"t.las", "t.qix dir"}},
        {"an index that is the .shp",
         [&] {
             write_file(dir / "t.shp", "old shp");
             fs::create_symlink("t.shp", dir / "t.qix");
         },
         {"--index"}, 1, "t.shp and t.qix are the same file (a link to it): writing both would destroy one output",
         {"t.las", "t.qix old shp", "t.shp old shp"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        for (const std::string &name : listing(dir.path))
            if (name != "t.las") fs::remove_all(dir / name);
        c.before();
        std::vector<std::string> arguments = c.options;
        arguments.insert(arguments.end(), {"-q", "t.las"});
        const Captured run = convert(arguments, dir.path);
        EXPECT_EQ(run.exit_status, c.status);
        EXPECT_EQ(run.err, c.message.empty() ? "" : "pelmora-convert: " + c.message + "\n");
        EXPECT_EQ(contents(dir.path), c.after);
    }

    // The disk fills up while the index is written, the last output: every
    // output goes, with its temporary, and the old index stays.  The small
    // file system holds the input, the other outputs and half the index.
    fs::remove(dir / "t.qix");
    ASSERT_EQ(convert({"-q", "--index", "t.las"}, dir.path).exit_status, 0);
    uintmax_t pages = 1;  // the old index
    for (const char *name : {"t.las", "t.shp", "t.shx", "t.dbf"}) pages += (fs::file_size(dir / name) + 4095) / 4096;
    pages += fs::file_size(dir / "t.qix") / 4096 / 2;
    const std::string mnt = dir / "disk";
    fs::create_directory(mnt);
    const SmallTmpfs disk(mnt, pages * 4);
    if (!disk.mounted()) GTEST_SKIP() << "this machine does not let the test mount a small tmpfs (" << disk.error() << ")";
    write_file(mnt + "/t.las", read_file(dir / "t.las"));
    write_file(mnt + "/t.qix", "old index");
    const Captured full = convert({"--index", "t.las"}, mnt);
    EXPECT_EQ(full.exit_status, 1);
    EXPECT_EQ(full.err, "pelmora-convert: Failed to write t.qix: No space left on device\n");
    EXPECT_EQ(full.out, "");
    EXPECT_EQ(contents(mnt), (std::vector<std::string>{"t.las", "t.qix old index"}));
}

}  // namespace

// ---- Parts, fields and the dry run ---------------------------------------------------

// A conversion leaves none of an earlier one's set: parts replace one set
// and the parts beyond their count, one set replaces parts; --no-clobber
// fails a file any of whose sets' files exists; two files of one call whose
// outputs would collide are refused before anything is written for the
// second.  (Independent readers check the parts' contents in the
// conformance suite.)
TEST(Parts, EachConversionLeavesOnlyItsOwnSetAndCollisionsAreRefused) {
    TempDir dir("parts");
    generate_las(dir / "t.las", {"--version", "1.4", "--format", "6", "--points", "3000"});
    const auto stems = [&] {
        std::vector<std::string> seen;
        for (const std::string &name : listing(dir.path))
            if (name.ends_with(".shp")) seen.push_back(name);
        return seen;
    };
    write_file(dir / "t.prj", "old");
    const struct {
        std::vector<std::string> options;
        std::vector<std::string> shp;  // after it
        std::string says;              // the start of its result line
    } runs[] = {
        {{"--max-size=40K"}, {"t_part1.shp", "t_part2.shp", "t_part3.shp", "t_part4.shp", "t_part5.shp"},
         "t.las: 3000 points written to t_part1.shp \u2026 t_part5.shp (5 parts of at most 40.0 KB) in "},
        {{"--max-size=80K"}, {"t_part1.shp", "t_part2.shp", "t_part3.shp"}, "t.las: 3000 points written to t_part1.shp \u2026 t_part3.shp (3 parts"},
        {{}, {"t.shp"}, "t.las: 3000 points written to t.shp ("},
        {{"--max-size=80K", "--class", "0-255"}, {"t_part1.shp", "t_part2.shp", "t_part3.shp"}, "t.las: kept 3000 of 3000 points, written to t_part1.shp"},
        {{"--max-size=80K", "--every", "3"}, {"t.shp"}, "t.las: kept 1000 of 3000 points, written to t.shp ("},
    };
    for (const auto &r : runs) {
        std::vector<std::string> arguments = r.options;
        arguments.push_back("t.las");
        const Captured run = convert(arguments, dir.path);
        ASSERT_EQ(run.exit_status, 0) << run.err;
        EXPECT_EQ(stems(), r.shp);
        EXPECT_EQ(run.out.rfind(r.says, 0), 0u) << run.out;
        EXPECT_FALSE(file_exists(dir / "t.prj")) << "a .prj of the replaced set";
    }
    EXPECT_EQ(listing(dir.path), (std::vector<std::string>{"t.dbf", "t.las", "t.shp", "t.shx"}));

    // --no-clobber: a part of an earlier conversion is a file of it.
    write_file(dir / "t_part7.qix", "old");
    Captured run = convert({"-n", "--max-size=80K", "t.las"}, dir.path);
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_EQ(run.err, "pelmora-convert: t.shp already exists (--no-clobber): nothing written\n");
    fs::remove(dir / "t.shp");
    run = convert({"-n", "t.las"}, dir.path);
    EXPECT_EQ(run.err, "pelmora-convert: t.shx already exists (--no-clobber): nothing written\n");
    for (const char *e : {"shx", "dbf"}) fs::remove(dir / ("t." + std::string(e)));
    run = convert({"-n", "t.las"}, dir.path);
    EXPECT_EQ(run.err, "pelmora-convert: t_part7.qix already exists (--no-clobber): nothing written\n");
    EXPECT_EQ(listing(dir.path), (std::vector<std::string>{"t.las", "t_part7.qix"}));

    // A tile named like a part of another that splits: whichever comes
    // second is refused, and the first one's outputs stay.
    fs::remove(dir / "t_part7.qix");
    generate_las(dir / "t_part1.las", {"--points", "10"});
    run = convert({"--max-size=80K", "t.las", "t_part1.las"}, dir.path);
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_EQ(run.err, "pelmora-convert: t_part1.las: its output t_part1.shp is also an output of a file converted "
                       "before in this run\n");
    for (const std::string &name : listing(dir.path))
        if (name != "t.las" && name != "t_part1.las") fs::remove(dir / name);
    run = convert({"--max-size=80K", "t_part1.las", "t.las"}, dir.path);
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_EQ(run.err, "pelmora-convert: t.las: its output t_part1.shp is also an output of a file converted before "
                       "in this run\n");
    EXPECT_EQ(stems(), std::vector<std::string>{"t_part1.shp"});
}

// Fields kept or dropped by name, in any letter case; a name the table does
// not have refuses the file naming those it has; none kept is refused.
TEST(Fields, ChosenByNameInAnyCaseAndRefusedWhenUnknownOrNoneIsLeft) {
    TempDir dir("fields");
    generate_las(dir / "f.las", {"--format", "0", "--points", "100"});
    const std::string has = "Intensity, ReturnNumb, NumberRetu, Synthetic, KeyPoint, Withheld, ScanDirect, EdgeOfFlig, "
                            "Classifica, ScanAngleR, UserData, PointSourc";
    const struct {
        std::vector<std::string> options;
        int status;
        std::string err;
        size_t row;  // the .dbf's row length, when written
    } cases[] = {
        {{"--fields=classifica,INTENSITY"}, 0, "", 1 + 5 + 3},
        {{"--drop-fields=ScanAngleR", "--drop-fields", "pointsourc,userdata"}, 0, "", 1 + 5 + 1 + 1 + 1 + 1 + 1 + 1 + 1 + 3},
        {{"--fields=Intensity,Colour,GPSTime"}, 1, "pelmora-convert: f.las has no field Colour, GPSTime: its table has " + has + "\n", 0},
        {{"--fields=Classification"}, 1, "pelmora-convert: f.las has no field Classification: its table has " + has + "\n", 0},
        {{"--drop-fields=" + has.substr(0, 0) + "Intensity,ReturnNumb,NumberRetu,Synthetic,KeyPoint,Withheld,ScanDirect,"
                                                 "EdgeOfFlig,Classifica,ScanAngleR,UserData,PointSourc"},
         1, "pelmora-convert: f.las: --drop-fields leaves no field of its table (" + has + "); a .dbf needs one\n", 0},
        {{"--fields="}, 2, "pelmora-convert: invalid value for --fields: '' is not a list of field names (a .dbf needs at least one field)\n", 0},
        {{"--fields=Intensity", "--drop-fields=Intensity"}, 2, "pelmora-convert: --fields and --drop-fields cannot be given together\n", 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.options.front());
        for (const std::string &name : listing(dir.path))
            if (name != "f.las") fs::remove(dir / name);
        std::vector<std::string> arguments = c.options;
        arguments.insert(arguments.end(), {"-q", "f.las"});
        const Captured run = convert(arguments, dir.path);
        EXPECT_EQ(run.exit_status, c.status);
        if (c.status == 2) EXPECT_EQ(run.err, c.err + "Try 'pelmora-convert --help' for more information.\n");
        else EXPECT_EQ(run.err, c.err);
        if (c.status != 0) {
            EXPECT_EQ(listing(dir.path), std::vector<std::string>{"f.las"});
            continue;
        }
        const std::string dbf = read_file(dir / "f.dbf");
        EXPECT_EQ(le16(dbf, 10), c.row);
        EXPECT_EQ(dbf.size(), le16(dbf, 8) + c.row * 100);
    }
}

// A dry run reads the headers only: a file of 200,000,000 points (sparse on
// the disk) is planned in well under a second, with its parts and their
// sizes, and nothing is written; a refusal has the run's message and status.
TEST(DryRun, PlansTheOutputsOfAHugeFileFromItsHeaderAlone) {
    TempDir dir("dry");
    generate_las(dir / "big.las", {"--version", "1.4", "--format", "6", "--points", "10", "--announce", "200000000"});
    ASSERT_EQ(truncate((dir / "big.las").c_str(), 375 + 200000000LL * 30), 0);
    timespec start{}, end{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    const Captured run = convert({"--dry-run", "big.las"}, dir.path);
    clock_gettime(CLOCK_MONOTONIC, &end);
    EXPECT_LT(static_cast<double>(end.tv_sec - start.tv_sec) + static_cast<double>(end.tv_nsec - start.tv_nsec) / 1e9, 1.0);
    EXPECT_EQ(run.exit_status, 0) << run.err;
    // 55-byte rows of 200,000,000 points: the .dbf (a 513-byte header for
    // 15 fields) reaches 2,147,483,647 bytes first, at 39,045,147 rows; the
    // .shp and .shx of as many records take 100 + 36 and 100 + 8 bytes each.
    const std::string expected_start = "big.las: LAS 1.4, point format 6, 200000000 points\n"
                                       "  coordinate system: none (no .prj)\n"
                                       "  fields: Intensity N5, ReturnNumb N2, NumberRetu N2, Synthetic N1, KeyPoint N1, "
                                       "Withheld N1, Overlap N1, ScannerCha N1, ScanDirect N1, EdgeOfFlig N1, Classifica "
                                       "N3, UserData N3, ScanAngle N8.3, PointSourc N5, GPSTime N19.8; a row of 55 bytes\n"
                                       "  outputs: 6 parts of at most 2.0 GB:\n"
                                       "    big_part1.shp (1405625392 bytes), big_part1.shx (312361276 bytes), "
                                       "big_part1.dbf (2147483598 bytes)\n";
    EXPECT_EQ(run.out.substr(0, expected_start.size()), expected_start);
    EXPECT_EQ(listing(dir.path), std::vector<std::string>{"big.las"});
    // The same refusal, status and message, a run would give.
    const Captured refused = convert({"--dry-run", "--fields=Colour", "big.las"}, dir.path);
    EXPECT_EQ(refused.exit_status, 1);
    EXPECT_EQ(refused.err.rfind("pelmora-convert: big.las has no field Colour: its table has Intensity", 0), 0u);
    EXPECT_EQ(refused.out, "");
}

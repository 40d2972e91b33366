// The .prj: projection records found (and only found) where the header says
// they lie, GeoKeys and OGC WKT translated through PROJ, and GDAL reading
// every .prj back as the coordinate system the LAS file meant.  Files
// without one, or with garbage record counts, convert exactly as before.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cmath>
#include <cstring>
#include <map>
#include <random>
#include <sstream>

#include "las_generator.h"
#include "output_checks.h"
#include "pelmora_run.h"
#include "projection/esri_wkt.h"
#include "las/las_vlr.h"

namespace {

// ---- Helpers ---------------------------------------------------------------

std::string vlr_bytes(const ExtraVlr &v) {
    std::string out(54, '\0');
    std::memcpy(&out[2], v.user_id.data(), std::min<size_t>(v.user_id.size(), 16));
    const uint16_t length = static_cast<uint16_t>(v.stored_length >= 0 ? v.stored_length : v.payload.size());
    out[18] = static_cast<char>(v.record_id & 0xFF);
    out[19] = static_cast<char>(v.record_id >> 8);
    out[20] = static_cast<char>(length & 0xFF);
    out[21] = static_cast<char>(length >> 8);
    return out + v.payload;
}

// A 227-byte header (zeros) followed by `records`.
std::string file_with(const std::vector<ExtraVlr> &records) {
    std::string bytes(227, '\0');
    for (const ExtraVlr &v : records) bytes += vlr_bytes(v);
    return bytes;
}

// Reads from `bytes`, counting every read that strays outside `space`.
struct BoundedReader {
    const std::string &bytes;
    VlrSpace space;
    int strays = 0;
    ReadAt reader() {
        return [this](uint64_t offset, void *buffer, size_t size) {
            if (offset < space.begin || offset + size > space.end) ++strays;
            if (offset + size > bytes.size()) return false;
            std::memcpy(buffer, bytes.data() + offset, size);
            return true;
        };
    }
};

std::vector<LasVlr> walk(const std::string &bytes, uint16_t header_size, uint32_t offset, uint32_t count,
                         int *strays = nullptr) {
    BoundedReader r{bytes, vlr_space(header_size, 227, offset, bytes.size())};
    std::vector<LasVlr> found = read_vlrs(r.reader(), r.space, count, is_projection_vlr);
    if (strays != nullptr) *strays = r.strays;
    else EXPECT_EQ(r.strays, 0) << "read outside the record space";
    return found;
}

std::vector<LasVlr> as_records(const std::vector<ExtraVlr> &extras) {
    std::vector<LasVlr> out;
    for (const ExtraVlr &v : extras) out.push_back({v.user_id, v.record_id, v.payload});
    return out;
}

EsriWkt translate_keys(const std::string &keys, int32_t key_count = -1) {
    return esri_wkt_from_vlrs(as_records(geokey_vlrs(keys, key_count)));
}

// GDAL's EPSG identification of a definition (a .prj path, "EPSG:n", a PROJ
// string): "EPSG:n" when GDAL is sure, "EPSG:n (50 %)" when it only guesses,
// "" when it finds nothing.
std::string gdal_epsg(const std::string &definition) {
    const Captured c = run_program({GDALSRSINFO_BIN, "-e", definition});
    EXPECT_EQ(c.exit_status, 0) << c.out << c.err;
    std::string code, confidence;
    std::istringstream lines(c.out);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("EPSG:", 0) == 0 && code.empty()) code = line;
        const size_t at = line.find("Confidence in this match: ");
        if (at != std::string::npos) confidence = line.substr(at + 26);
    }
    if (code == "EPSG:-1") return "";
    return confidence.empty() ? code : code + " (" + confidence + ")";
}

// GDAL's PROJ-string reading of a definition, as parameter -> value.
std::map<std::string, std::string> gdal_proj4(const std::string &definition) {
    const Captured c = run_program({GDALSRSINFO_BIN, "-o", "proj4", definition});
    EXPECT_EQ(c.exit_status, 0) << c.out << c.err;
    std::map<std::string, std::string> params;
    std::istringstream words(c.out);
    for (std::string word; words >> word;) {
        const size_t eq = word.find('=');
        params[word.substr(0, eq)] = eq == std::string::npos ? "" : word.substr(eq + 1);
    }
    return params;
}

// The .prj and the reference definition mean the same to GDAL: the same
// parameters, numbers equal to 1e-9 relative (names are not compared).
void expect_same_crs(const std::string &prj, const std::string &reference) {
    const auto got = gdal_proj4(prj);
    const auto want = gdal_proj4(reference);
    ASSERT_FALSE(want.empty()) << reference;
    std::string got_text, want_text;
    for (const auto &[k, v] : got) got_text += k + "=" + v + " ";
    for (const auto &[k, v] : want) want_text += k + "=" + v + " ";
    ASSERT_EQ(got.size(), want.size()) << "got  " << got_text << "\nwant " << want_text;
    for (const auto &[key, value] : want) {
        const auto found = got.find(key);
        ASSERT_NE(found, got.end()) << key << " missing; got " << got_text;
        char *end_a = nullptr, *end_b = nullptr;
        const double a = std::strtod(value.c_str(), &end_a), b = std::strtod(found->second.c_str(), &end_b);
        if (!value.empty() && *end_a == '\0' && *end_b == '\0')
            EXPECT_NEAR(a, b, 1e-9 * std::max(1.0, std::fabs(a))) << key << "; got " << got_text;
        else
            EXPECT_EQ(found->second, value) << key << "; got " << got_text;
    }
}

// The one line a run printed between the progress wipe and the elapsed time.
std::string summary_of(const std::string &console) {
    const std::string wipe = "\r" + std::string(78, ' ') + "\r";
    const size_t at = console.rfind(wipe);
    if (at == std::string::npos) return "<no wipe>";
    const std::string tail = console.substr(at + wipe.size());
    return tail.substr(0, tail.find("Elapsed time"));
}

// Generates NAME.las with `args` + `projection`, and NAME_plain.las with
// `args` alone; converts both and checks that the shapefile and table are
// byte-identical and that the console differs only by `summary`.
void convert_beside_plain_twin(const TempDir &dir, const std::string &name, const std::vector<std::string> &args,
                               const std::vector<std::string> &projection, const std::string &summary) {
    std::vector<std::string> with = args;
    with.insert(with.end(), projection.begin(), projection.end());
    generate_las(dir / (name + ".las"), with);
    generate_las(dir / (name + "_plain.las"), args);
    const Captured plain = run_pelmora(dir / (name + "_plain.las"));
    const Captured run = run_pelmora(dir / (name + ".las"));
    ASSERT_EQ(plain.exit_status, 0) << plain.out;
    ASSERT_EQ(run.exit_status, 0) << run.out;
    EXPECT_EQ(run.err, "");
    const std::string base = dir / name, plain_base = dir / (name + "_plain");
    const std::string plain_summary = summary_of(plain.out);
    EXPECT_EQ(mask_elapsed(run.out), expected_console(base + ".las", base + ".shp", {}, plain_summary + summary));
    for (const char *ext : {".shp", ".shx", ".dbf"})
        EXPECT_TRUE(read_file(base + ext) == read_file(plain_base + ext)) << ext << " differs from the plain twin's";
    EXPECT_FALSE(file_exists(plain_base + ".prj"));
}

// A written .prj: one line of ESRI WKT1, no line end.
void expect_esri_line(const std::string &prj) {
    ASSERT_TRUE(file_exists(prj));
    const std::string text = read_file(prj);
    EXPECT_TRUE(text.rfind("PROJCS[", 0) == 0 || text.rfind("GEOGCS[", 0) == 0) << text;
    EXPECT_EQ(text.find('\n'), std::string::npos) << text;
    EXPECT_EQ(text.back(), ']');
}

const std::vector<std::string> kPoints = {"--format", "1", "--points", "2000", "--seed", "7"};

// A projected WKT1 (EPSG:32617) inside a compound CRS with a vertical part.
const char *const kCompoundUtm17 =
    "COMPD_CS[\"WGS 84 / UTM zone 17N + NAVD88 height\",PROJCS[\"WGS 84 / UTM zone 17N\",GEOGCS[\"WGS 84\","
    "DATUM[\"WGS_1984\",SPHEROID[\"WGS 84\",6378137,298.257223563,AUTHORITY[\"EPSG\",\"7030\"]],"
    "AUTHORITY[\"EPSG\",\"6326\"]],PRIMEM[\"Greenwich\",0],UNIT[\"degree\",0.0174532925199433],"
    "AUTHORITY[\"EPSG\",\"4326\"]],PROJECTION[\"Transverse_Mercator\"],PARAMETER[\"latitude_of_origin\",0],"
    "PARAMETER[\"central_meridian\",-81],PARAMETER[\"scale_factor\",0.9996],PARAMETER[\"false_easting\",500000],"
    "PARAMETER[\"false_northing\",0],UNIT[\"metre\",1],AUTHORITY[\"EPSG\",\"32617\"]],VERT_CS[\"NAVD88 height\","
    "VERT_DATUM[\"North American Vertical Datum 1988\",2005,AUTHORITY[\"EPSG\",\"5103\"]],UNIT[\"metre\",1],"
    "AUTHORITY[\"EPSG\",\"5703\"]]]";

// ---- Walking the variable-length records ------------------------------------

TEST(VlrWalk, KeepsOnlyProjectionRecordsAndTheirPayloads) {
    std::vector<ExtraVlr> records = {{"pelmora_test", 34735, "", "not mine"}};   // right id, wrong user
    for (const ExtraVlr &v : geokey_vlrs("1024=1,3072=32617,3082=1.5,1026='x'")) records.push_back(v);
    records.push_back({"LASF_Projection", 2111, "", "math transform"});          // not a CRS record
    records.push_back({"liblas", 2112, "", "WKT"});
    records.push_back({"LASF_Spec", 4, "", std::string(200, 'e')});
    const std::string bytes = file_with(records);
    const std::vector<LasVlr> found = walk(bytes, 227, static_cast<uint32_t>(bytes.size()), 7);
    ASSERT_EQ(found.size(), 4u);
    EXPECT_EQ(found[0].record_id, 34735);
    EXPECT_EQ(found[0].payload, records[1].payload);
    EXPECT_EQ(found[1].record_id, 34736);
    EXPECT_EQ(found[2].record_id, 34737);
    EXPECT_EQ(found[2].payload, "x|");
    EXPECT_EQ(found[3].user_id, "liblas");
    // The count limits the walk even when more records follow.
    EXPECT_EQ(walk(bytes, 227, static_cast<uint32_t>(bytes.size()), 2).size(), 1u);
    EXPECT_TRUE(walk(bytes, 227, static_cast<uint32_t>(bytes.size()), 0).empty());
}

TEST(VlrWalk, GarbageCountsLengthsAndOffsetsStopTheWalkInsideTheRecordSpace) {
    const std::vector<ExtraVlr> keys = geokey_vlrs("projected:32617");
    const std::string good = file_with(keys);
    const uint32_t end = static_cast<uint32_t>(good.size());

    // A count far beyond the records: the ones present are found, no more.
    EXPECT_EQ(walk(good, 227, end, 0xFFFFFFFFu).size(), 1u);
    // Followed by point bytes that look like a record header: the walk may
    // read headers up to OffsetToData but never past it.
    EXPECT_EQ(walk(good + std::string(5000, '\x01'), 227, end, 0xFFFFFFFFu).size(), 1u);

    // A length that runs past OffsetToData: that record and all after it are dropped.
    std::vector<ExtraVlr> overlong = keys;
    overlong.insert(overlong.begin(), ExtraVlr{"LASF_Projection", 2112, "", "x", 65535});
    const std::string bad = file_with(overlong) + std::string(70000, '\0');
    EXPECT_TRUE(walk(bad, 227, static_cast<uint32_t>(file_with(overlong).size()), 2).empty());
    // ... but the records before it are kept.
    std::vector<ExtraVlr> late = keys;
    late.push_back({"LASF_Projection", 34737, "", "y", 400});
    const std::string late_bytes = file_with(late);
    const std::vector<LasVlr> found = walk(late_bytes, 227, static_cast<uint32_t>(late_bytes.size()), 2);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].record_id, 34735);

    // A record header cut by OffsetToData, or an OffsetToData past the end of the file.
    EXPECT_TRUE(walk(good, 227, 227 + 53, 1).empty());
    EXPECT_EQ(vlr_space(227, 227, 900, 500).end, 500u);
    EXPECT_TRUE(walk(good.substr(0, 260), 227, end, 1).empty());

    // HeaderSize below 227 still starts at 227; beyond OffsetToData leaves no room.
    EXPECT_EQ(walk(good, 100, end, 1).size(), 1u);
    EXPECT_TRUE(walk(good, 60000, end, 1).empty());
    // HeaderSize that lands inside a record: whatever is read stays in bounds.
    int strays = -1;
    walk(good, 240, end, 0xFFFFFFFFu, &strays);
    EXPECT_EQ(strays, 0);
}

TEST(VlrWalk, RandomDamageNeverReadsOutsideTheRecordsNorCrashesTheTranslation) {
    std::vector<ExtraVlr> records = geokey_vlrs("user-tm");
    records.push_back(wkt_vlr(kCompoundUtm17));
    const std::string pristine = file_with(records);
    std::mt19937_64 random(20260);
    int written = 0, untranslatable = 0;
    for (int round = 0; round < 400; ++round) {
        std::string bytes = pristine;
        const int hits = 1 + static_cast<int>(random() % 6);
        for (int h = 0; h < hits; ++h) {
            // Damage headers (lengths, ids, key counts) more often than text.
            const size_t at = (random() % 3 == 0) ? random() % bytes.size() : 227 + random() % 200;
            bytes[at] = static_cast<char>(random());
        }
        const uint32_t offset = static_cast<uint32_t>(227 + random() % (bytes.size() - 226));
        const uint32_t count = (random() % 4 == 0) ? static_cast<uint32_t>(random()) : static_cast<uint32_t>(random() % 6);
        int strays = -1;
        const std::vector<LasVlr> found = walk(bytes, 227, offset, count, &strays);
        ASSERT_EQ(strays, 0) << "round " << round;
        for (const LasVlr &v : found) ASSERT_LE(v.payload.size(), offset - 227u);
        const EsriWkt result = esri_wkt_from_vlrs(found);
        if (result.outcome == EsriWkt::Outcome::Written) ++written;
        if (result.outcome == EsriWkt::Outcome::Untranslatable) {
            ++untranslatable;
            ASSERT_EQ(result.text.find('\n'), std::string::npos) << result.text;
            ASSERT_FALSE(result.text.empty());
        }
    }
    // The damage must leave some files readable and break others, or the test tests nothing.
    EXPECT_GT(written, 40);
    EXPECT_GT(400 - written, 40);
    EXPECT_GT(untranslatable, 5);
}

// ---- Reading the GeoKeys ----------------------------------------------------

TEST(GeoKeyDirectory, MalformedDirectoriesAndBrokenValuesAreReportedNotTrusted) {
    struct Case {
        const char *keys;
        int32_t key_count;
        const char *reason;
    } cases[] = {
        // A DOUBLE where a SHORT belongs, and a SHORT where a DOUBLE does.
        {"1024=1,3072=32617.0", -1, "ProjectedCSTypeGeoKey (3072) does not hold a valid SHORT value"},
        {"1024=1,3072=32767,2048=4269,3075=1,3082=7", -1, "ProjFalseEastingGeoKey (3082) does not hold a DOUBLE value"},
        {"1024=2,2048=32767,2050=32767,2056=32767,2057=6378137.0", -1,
         "the user-defined ellipsoid has GeogSemiMajorAxisGeoKey (2057) but neither its inverse flattening nor its "
         "semi-minor axis"},
        {"1024=2,2048=32767", -1, "the GeoKeys give no datum or ellipsoid for the geographic coordinate system"},
        {"1024=1,3072=32767,2048=4326,3075=1,3076=32767", -1,
         "ProjLinearUnitsGeoKey (3076) is user-defined without a valid ProjLinearUnitSizeGeoKey (3077)"},
        {"1024=1,3072=26915,3076=9102", -1, "ProjLinearUnitsGeoKey (3076) 9102 is not a known linear unit"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.keys);
        const EsriWkt result = translate_keys(c.keys, c.key_count);
        EXPECT_EQ(result.outcome, EsriWkt::Outcome::Untranslatable);
        EXPECT_EQ(result.text, c.reason);
    }

    // A double index past the doubles record, an ASCII offset past the text.
    std::vector<LasVlr> records = as_records(geokey_vlrs("1024=1,3072=32767,2048=4269,3075=1,3082=5.0/6.0"));
    records[1].payload.resize(8);
    EXPECT_EQ(esri_wkt_from_vlrs(records).text, "ProjFalseEastingGeoKey (3082) points outside the GeoDoubleParams record");
}

TEST(GeoKeyDirectory, AbsentOrEmptyKeysMeanNoCrsUnreadableOnesSayWhyAndABrokenCitationOnlyCostsTheName) {
    EXPECT_EQ(esri_wkt_from_vlrs({}).outcome, EsriWkt::Outcome::NoCrs);
    EXPECT_EQ(translate_keys("1024=1", 0).outcome, EsriWkt::Outcome::NoCrs);
    EXPECT_EQ(translate_keys("1024=1,3072=32617", 2).outcome, EsriWkt::Outcome::Written);

    // A directory whose own structure is broken, or a WKT record too long to
    // read, gives no .prj and says why: more keys than it holds, too short
    // for its header, another version.
    const std::string directory = geokey_vlrs("projected:32617")[0].payload;
    std::string version2 = directory;
    version2[0] = 2;
    const struct {
        const char *what;
        std::vector<LasVlr> records;
        std::string says;
    } unreadable[] = {
        {"3 keys of 2", as_records(geokey_vlrs("1024=1,3072=32617", 3)), "(3 keys announced, room for 2)"},
        {"65535 keys", as_records(geokey_vlrs("1024=1,3072=32617", 65535)), "(65535 keys announced, room for 2)"},
        {"3 bytes", {{"LASF_Projection", 34735, directory.substr(0, 3)}}, "(3 bytes, too short for its header)"},
        {"version 2", {{"LASF_Projection", 34735, version2}}, "(KeyDirectoryVersion 2, not 1)"},
        {"a 50 MB WKT", {{"LASF_Projection", 2112, "", 50u << 20}}, "its OGC WKT record is 52428800 bytes long"},
    };
    for (const auto &u : unreadable) {
        const EsriWkt result = esri_wkt_from_vlrs(u.records);
        EXPECT_EQ(result.outcome, EsriWkt::Outcome::Unreadable) << u.what;
        EXPECT_NE(result.text.find(u.says), std::string::npos) << u.what << ": " << result.text;
    }
    // A broken directory beside a WKT record: the WKT's problem is the one told.
    EXPECT_EQ(esri_wkt_from_vlrs({{"LASF_Projection", 34735, version2}, {"LASF_Projection", 2112, "PROJCS[bad"}}).outcome,
              EsriWkt::Outcome::Untranslatable);
    // Parameter records without a directory describe nothing.
    std::vector<LasVlr> params = as_records(geokey_vlrs("1024=1,3082=1.0,1026='a'"));
    params.erase(params.begin());
    EXPECT_EQ(esri_wkt_from_vlrs(params).outcome, EsriWkt::Outcome::NoCrs);
    // A whitespace-only WKT record counts as absent.
    EXPECT_EQ(esri_wkt_from_vlrs({{"LASF_Projection", 2112, std::string(" \n\0junk", 7)}}).outcome,
              EsriWkt::Outcome::NoCrs);

    std::vector<LasVlr> records = as_records(geokey_vlrs("1024=1,1026='Named',3072=32617"));
    records[1].payload.clear();  // the citation now points outside the ASCII record
    const EsriWkt result = esri_wkt_from_vlrs(records);
    ASSERT_EQ(result.outcome, EsriWkt::Outcome::Written) << result.text;
    EXPECT_EQ(result.text.rfind("PROJCS[\"WGS_1984_UTM_Zone_17N\"", 0), 0u) << result.text;
}

// ---- What GDAL reads back ---------------------------------------------------

struct EpsgCase {
    const char *name;
    const char *keys;
    const char *epsg;
};

class EpsgKeys : public ::testing::TestWithParam<EpsgCase> {};

TEST_P(EpsgKeys, PrjIsIdentifiedByGdalAndNothingElseChanges) {
    const EpsgCase c = GetParam();
    TempDir dir("prj_epsg");
    convert_beside_plain_twin(dir, c.name, kPoints, {"--geokeys", c.keys}, "");
    const std::string prj = dir / (std::string(c.name) + ".prj");
    expect_esri_line(prj);
    EXPECT_EQ(gdal_epsg(prj), c.epsg);
    expect_same_crs(prj, c.epsg);
}

INSTANTIATE_TEST_SUITE_P(
    Prj, EpsgKeys,
    ::testing::Values(EpsgCase{"utm17n", "projected:32617", "EPSG:32617"},
                      EpsgCase{"wgs84", "geographic:4326", "EPSG:4326"},
                      // NAD83 / New York Long Island (ftUS), a Lambert conic State Plane in US survey feet.
                      EpsgCase{"ny_ftus", "1024=1,1025=1,3072=2263,3076=9003,4096=5703,4099=9003", "EPSG:2263"},
                      // NAD83 / Florida East (ftUS), a Transverse Mercator State Plane, with a citation.
                      EpsgCase{"fl_ftus", "1024=1,3072=2236,3073='NAD83 / Florida East (ftUS)',3076=9003",
                               "EPSG:2236"},
                      // No model type: the projected code alone says enough.
                      EpsgCase{"no_model", "3072=26915", "EPSG:26915"},
                      // GeoTIFF's datum-only geographic CRS: NAD83.
                      EpsgCase{"nad83", "1024=2,2048=4269", "EPSG:4269"}),
    [](const auto &info) { return std::string(info.param.name); });

struct UserCase {
    const char *name;
    const char *keys;
    const char *reference;  // the same CRS as a PROJ string
};

class UserDefinedKeys : public ::testing::TestWithParam<UserCase> {};

TEST_P(UserDefinedKeys, PrjMeansTheSameToGdalAsThePROJDefinition) {
    const UserCase c = GetParam();
    TempDir dir("prj_user");
    const std::string las = dir / (std::string(c.name) + ".las");
    generate_las(las, {"--points", "20", "--geokeys", c.keys});
    const Captured run = run_pelmora(las);
    ASSERT_EQ(run.exit_status, 0) << run.out;
    EXPECT_EQ(summary_of(run.out), "");
    const std::string prj = dir / (std::string(c.name) + ".prj");
    expect_esri_line(prj);
    expect_same_crs(prj, c.reference);
}

INSTANTIATE_TEST_SUITE_P(
    Prj, UserDefinedKeys,
    ::testing::Values(
        UserCase{"tm", "user-tm",
                 "+proj=tmerc +lat_0=31 +lon_0=-84.5 +k=0.9999 +x_0=200000 +y_0=10000 +datum=NAD83 +units=m"},
        // User-defined ellipsoid and prime meridian, false easting and northing in US survey feet.
        UserCase{"tm_ftus",
                 "1024=1,3072=32767,3074=32767,3075=1,3076=9003,3080=-81.0,3081=24.333333333333,3082=656166.667,"
                 "3083=0.0,3092=0.999941177,2048=32767,2050=32767,2054=9102,2056=32767,2057=6378137.0,"
                 "2059=298.257222101,2061=0.0",
                 "+proj=tmerc +lat_0=24.333333333333 +lon_0=-81 +k=0.999941177 +x_0=200000.0001016 +y_0=0 "
                 "+ellps=GRS80 +units=us-ft"},
        // Lambert conic, two parallels, on the false-origin keys, in international feet.
        UserCase{"lcc2sp",
                 "1024=1,2048=4269,3072=32767,3075=8,3076=9002,3078=45.5,3079=44.25,3084=-109.5,3085=44.0,"
                 "3086=1968500.0,3087=0.0",
                 "+proj=lcc +lat_0=44 +lon_0=-109.5 +lat_1=45.5 +lat_2=44.25 +x_0=599998.8 +y_0=0 +datum=NAD83 "
                 "+units=ft"},
        // The same with the natural-origin and false-easting keys some writers use instead.
        UserCase{"lcc2sp_natural",
                 "1024=1,2048=4269,3072=32767,3075=8,3078=45.5,3079=44.25,3080=-109.5,3081=44.0,3082=600000.0",
                 "+proj=lcc +lat_0=44 +lon_0=-109.5 +lat_1=45.5 +lat_2=44.25 +x_0=600000 +y_0=0 +datum=NAD83 "
                 "+units=m"},
        UserCase{"lcc1sp", "1024=1,2048=4326,3072=32767,3075=9,3080=10.0,3081=46.5,3082=700000.0,3083=6600000.0,3092=1.0",
                 "+proj=lcc +lat_1=46.5 +lat_0=46.5 +lon_0=10 +k_0=1 +x_0=700000 +y_0=6600000 +datum=WGS84 +units=m"},
        UserCase{"albers",
                 "1024=1,2048=4269,3072=32767,3075=11,3078=29.5,3079=45.5,3080=-96.0,3081=23.0,3082=0.0,3083=0.0",
                 "+proj=aea +lat_0=23 +lon_0=-96 +lat_1=29.5 +lat_2=45.5 +x_0=0 +y_0=0 +datum=NAD83 +units=m"},
        // Mercator by its scale factor; ESRI WKT knows only its standard
        // parallel: 4.45409622325517 degrees has scale 0.997 on WGS 84.
        UserCase{"mercator", "1024=1,2048=4326,3072=32767,3075=7,3080=100.0,3092=0.997,3082=3900000.0,3083=900000.0",
                 "+proj=merc +lon_0=100 +lat_ts=4.45409622325517 +x_0=3900000 +y_0=900000 +datum=WGS84 +units=m"},
        // Mercator by its standard parallel.
        UserCase{"mercator_parallel", "1024=1,2048=4326,3072=32767,3075=7,3078=-41.0,3080=100.0",
                 "+proj=merc +lon_0=100 +lat_ts=-41 +x_0=0 +y_0=0 +datum=WGS84 +units=m"},
        UserCase{"laea", "1024=1,2048=4326,3072=32767,3075=10,3088=10.0,3089=52.0,3082=4321000.0,3083=3210000.0",
                 "+proj=laea +lat_0=52 +lon_0=10 +x_0=4321000 +y_0=3210000 +datum=WGS84 +units=m"},
        // The projection by its EPSG code (16017: UTM zone 17N), the base by its datum code.
        UserCase{"projection_code", "1024=1,3072=32767,3074=16017,2048=32767,2050=6269,3076=9001",
                 "+proj=utm +zone=17 +datum=NAD83 +units=m"},
        // A geographic CRS known only by its ellipsoid (GRS 1980).
        UserCase{"ellipsoid_only", "1024=2,2048=32767,2050=32767,2056=7019", "+proj=longlat +ellps=GRS80"},
        // An EPSG code whose unit the linear-unit key overrides: the same
        // projection, expressed in feet.
        UserCase{"unit_override", "1024=1,3072=26915,3076=9002",
                 "+proj=tmerc +lat_0=0 +lon_0=-93 +k=0.9996 +x_0=500000 +y_0=0 +datum=NAD83 +units=ft"}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(Prj, UnitOverrideIsNotPassedOffAsTheEpsgDefinition) {
    TempDir dir("prj_units");
    generate_las(dir / "ft.las", {"--points", "5", "--geokeys", "1024=1,3072=26915,3076=9002"});
    ASSERT_EQ(run_pelmora(dir / "ft.las").exit_status, 0);
    const std::string text = read_file(dir / "ft.prj");
    EXPECT_NE(text.find("UNIT[\"foot\",0.3048]]"), std::string::npos) << text;
    EXPECT_NE(text.find("PARAMETER[\"False_Easting\",1640419.9475065"), std::string::npos) << text;
    EXPECT_NE(gdal_epsg(dir / "ft.prj"), "EPSG:26915");
}

TEST(Prj, WktRecordComesFirstKeepsTheHorizontalPartAndFallsBackToKeys) {
    TempDir dir("prj_wkt");
    // The WKT record wins over GeoKeys that say something else.
    convert_beside_plain_twin(dir, "compound", kPoints, {"--geokeys", "geographic:4326", "--wkt-vlr", kCompoundUtm17},
                              "");
    expect_esri_line(dir / "compound.prj");
    EXPECT_EQ(gdal_epsg(dir / "compound.prj"), "EPSG:32617");
    EXPECT_EQ(read_file(dir / "compound.prj").find("VERT"), std::string::npos);

    // A compound CRS closed before its vertical part (one bracket too many,
    // as real writers leave it): its horizontal part.
    std::string closed_early = kCompoundUtm17;
    closed_early.insert(closed_early.find(",VERT_CS"), "]");
    convert_beside_plain_twin(dir, "closed", kPoints, {"--wkt-vlr", closed_early}, "");
    EXPECT_EQ(gdal_epsg(dir / "closed.prj"), "EPSG:32617");

    // A WKT record PROJ cannot read: the GeoKeys, silently.
    convert_beside_plain_twin(dir, "fallback", kPoints, {"--geokeys", "geographic:4326", "--wkt-vlr", "GEOGCS[broken"},
                              "");
    EXPECT_EQ(gdal_epsg(dir / "fallback.prj"), "EPSG:4326");

    // No GeoKeys to fall back on: the WKT's problem is the one line.
    convert_beside_plain_twin(dir, "broken", kPoints, {"--wkt-vlr", "not a WKT"},
                              "No .prj written: the OGC WKT record cannot be read (PROJ: missing [)\n");
    EXPECT_FALSE(file_exists(dir / "broken.prj"));

    // A readable WKT that is not horizontal.
    convert_beside_plain_twin(dir, "vertical", kPoints,
                              {"--wkt-vlr", "VERT_CS[\"NAVD88 height\",VERT_DATUM[\"North American Vertical Datum 1988\","
                                            "2005],UNIT[\"metre\",1]]"},
                              "No .prj written: NAVD88 height is not a horizontal coordinate system\n");
    EXPECT_FALSE(file_exists(dir / "vertical.prj"));
}

// ---- Real files -------------------------------------------------------------

struct RealCase {
    const char *file;
    const char *reference;  // EPSG code, or a PROJ string
};

class RealFileCrs : public ::testing::TestWithParam<RealCase> {};

TEST_P(RealFileCrs, PrjIsTheFilesCrs) {
    const RealCase c = GetParam();
    TempDir dir("prj_real");
    const std::string las = dir / c.file;
    write_file(las, read_file(std::string(LASDATA_DIR) + "/" + c.file));
    const Captured run = run_pelmora(las);
    ASSERT_EQ(run.exit_status, 0) << run.out;
    EXPECT_EQ(summary_of(run.out), "");
    const std::string prj = las.substr(0, las.size() - 3) + "prj";
    expect_esri_line(prj);
    if (std::string(c.reference).rfind("EPSG:", 0) == 0) {
        EXPECT_EQ(gdal_epsg(prj), c.reference);
    }
    expect_same_crs(prj, c.reference);
}

INSTANTIATE_TEST_SUITE_P(
    Lasdata, RealFileCrs,
    ::testing::Values(RealCase{"lasrs_long-header.las", "EPSG:26915"},  // GeoKeys after a 229-byte header
                      RealCase{"pdal_epsg_4326.las", "EPSG:4326"},      // junk between the records and the points
                      RealCase{"pdal_no-points.las", "EPSG:4269"},      // WKT record under "liblas", TOWGS84
                      // Record 389 of 390: user-defined Transverse Mercator on
                      // the GRS 1980 ellipsoid, in US survey feet.
                      RealCase{"pdal_lots_of_vlr.las",
                               "+proj=tmerc +lat_0=24.333333333 +lon_0=-81 +k=0.999941 +x_0=60960.1219202438 +y_0=0 "
                               "+ellps=GRS80 +units=us-ft"}),
    [](const auto &info) {
        std::string name = info.param.file;
        for (char &ch : name)
            if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
        return name;
    });

TEST(RealFiles, FilesWithoutACrsGetNoPrjAndNoNewLine) {
    TempDir dir("prj_none");
    for (const char *file : {"laspy_simple1_1.las", "pdal_1.2-with-color.las", "pyntcloud_has_offsets.las",
                             "liblas_v1.0writer_1.0_1.las", "liblas_v1.0writer_1.2_3.las"}) {
        SCOPED_TRACE(file);
        const std::string las = dir / file;
        write_file(las, read_file(std::string(LASDATA_DIR) + "/" + file));
        const Captured run = run_pelmora(las);
        ASSERT_EQ(run.exit_status, 0);
        EXPECT_EQ(run.out.find(".prj"), std::string::npos);
        EXPECT_FALSE(file_exists(las.substr(0, las.size() - 3) + "prj"));
    }
}

TEST(RealFiles, UserDefinedUtmOfARefusedFileTranslatesButTheRefusalWritesNothing) {
    // lasr_extra_byte.las has 32-byte format-1 records, which the converter
    // refuses; its GeoKeys (every parameter user-defined, UTM 22 on the WGS 84
    // ellipsoid) are translated here directly.
    TempDir dir("prj_refused");
    const std::string las = dir / "extra.las";
    const std::string bytes = read_file(std::string(LASDATA_DIR) + "/lasr_extra_byte.las");
    write_file(las, bytes);
    const std::vector<LasVlr> records =
        walk(bytes, bytes::le16(bytes, 94), bytes::le32(bytes, 96), bytes::le32(bytes, 100));
    ASSERT_EQ(records.size(), 3u);
    const EsriWkt wkt = esri_wkt_from_vlrs(records);
    ASSERT_EQ(wkt.outcome, EsriWkt::Outcome::Written) << wkt.text;
    write_file(dir / "direct.prj", wkt.text);
    expect_same_crs(dir / "direct.prj", "+proj=utm +zone=22 +ellps=WGS84 +units=m");

    const Captured run = run_pelmora(las);
    EXPECT_EQ(run.exit_status, 255);
    EXPECT_FALSE(file_exists(dir / "extra.prj"));
}

// ---- Keys that cannot be translated, records that cannot be read -------------

// The user-defined Transverse Mercator of lasgen's user-tm, without its
// linear unit and central meridian.
const std::string kUserTm =
    "1024=1,1025=1,1026='Pelmora test TM',2048=4269,2054=9102,3072=32767,3074=32767,3075=1,3081=31.0,"
    "3082=200000.0,3083=10000.0,3092=0.9999";

struct ProblemCase {
    std::string name;
    std::vector<std::string> args;
    const char *line;
};

class Untranslatable : public ::testing::TestWithParam<ProblemCase> {};

TEST_P(Untranslatable, OneLineBeforeTheElapsedTimeAndNoPrj) {
    const ProblemCase c = GetParam();
    TempDir dir("prj_problem");
    convert_beside_plain_twin(dir, c.name, kPoints, c.args, std::string(c.line) + "\n");
    EXPECT_FALSE(file_exists(dir / (std::string(c.name) + ".prj")));
}

INSTANTIATE_TEST_SUITE_P(
    Prj, Untranslatable,
    ::testing::Values(
        ProblemCase{"unknown_code", {"--geokeys", "projected:60000"},
                    "No .prj written: ProjectedCSTypeGeoKey (3072) is EPSG:60000, which is not in the PROJ database"},
        ProblemCase{"unknown_gcs", {"--geokeys", "geographic:1"},
                    "No .prj written: GeographicTypeGeoKey (2048) is EPSG:1, which is not in the PROJ database"},
        // A geocentric code (WGS 66) where a geographic one belongs.
        ProblemCase{"geocentric_code", {"--geokeys", "geographic:4890"},
                    "No .prj written: WGS 66 is not a horizontal coordinate system"},
        ProblemCase{"polar_stereo", {"--geokeys", "1024=1,2048=4326,3072=32767,3075=15,3080=-45.0,3081=90.0"},
                    "No .prj written: ProjCoordTransGeoKey 15 is a projection method this program does not translate "
                    "(it translates Transverse Mercator, Lambert Conformal Conic, Albers, Mercator and Lambert "
                    "Azimuthal Equal Area)"},
        ProblemCase{"geocentric", {"--geokeys", "1024=3,2048=4978"},
                    "No .prj written: GTModelTypeGeoKey 3 (geocentric) has no .prj form"},
        ProblemCase{"vertical_only", {"--geokeys", "4096=5703,4099=9001"},
                    "No .prj written: the GeoKeys describe no horizontal coordinate system"},
        ProblemCase{"bad_model", {"--geokeys", "1024=32767,3072=32617"},
                    "No .prj written: GTModelTypeGeoKey 32767 is neither projected (1) nor geographic (2)"},
        ProblemCase{"vertical_code_as_projected", {"--geokeys", "1024=1,3072=5703"},
                    "No .prj written: NAVD88 height is not a horizontal coordinate system"},
        // Parameters that are not numbers, and units so small or large that
        // the text PROJ writes (Inf.0, 1E+300.0) is no WKT any reader takes.
        ProblemCase{"nan_meridian", {"--geokeys", kUserTm + ",3076=9001,3080=nan"},
                    "No .prj written: ProjNatOriginLongGeoKey (3080) is not a finite number"},
        ProblemCase{"tiny_unit", {"--geokeys", kUserTm + ",3076=32767,3077=1e-305,3080=-84.5"},
                    "No .prj written: PROJ cannot read back the ESRI WKT it wrote for Pelmora test TM"},
        ProblemCase{"huge_unit", {"--geokeys", kUserTm + ",3076=32767,3077=1e300,3080=-84.5"},
                    "No .prj written: PROJ cannot read back the ESRI WKT it wrote for Pelmora test TM"}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(Untranslatable, LineFollowsTheValuesTooWideLine) {
    TempDir dir("prj_order");
    generate_las(dir / "edge.las", {"--format", "1", "--points", "300", "--values", "edge", "--geokeys", "projected:60000"});
    const Captured run = run_pelmora(dir / "edge.las");
    ASSERT_EQ(run.exit_status, 0);
    const std::string summary = summary_of(run.out);
    const size_t values = summary.find("Values too wide for their fields:");
    const size_t prj = summary.find("\nNo .prj written: ProjectedCSTypeGeoKey (3072) is EPSG:60000");
    EXPECT_EQ(values, 0u) << summary;
    EXPECT_NE(prj, std::string::npos) << summary;
    EXPECT_EQ(summary.back(), '\n');
    EXPECT_EQ(summary.find('\n', prj + 1), summary.size() - 1) << "exactly one line about the .prj";
}

struct GarbageCase {
    const char *name;
    std::vector<std::string> args;
    bool prj;  // complete records before the garbage still count
};

class GarbageRecords : public ::testing::TestWithParam<GarbageCase> {};

TEST_P(GarbageRecords, ConvertAsBeforeWithoutANewLine) {
    const GarbageCase c = GetParam();
    TempDir dir("prj_garbage");
    convert_beside_plain_twin(dir, c.name, kPoints, c.args, "");
    EXPECT_EQ(file_exists(dir / (std::string(c.name) + ".prj")), c.prj);
}

INSTANTIATE_TEST_SUITE_P(
    Prj, GarbageRecords,
    ::testing::Values(
        // Counts far beyond the records: the walk ends at OffsetToData.
        GarbageCase{"huge_count", {"--vlrs", "3", "--vlr-count", "4294967295"}, false},
        GarbageCase{"huge_count_keys", {"--vlrs", "2", "--geokeys", "projected:32617", "--vlr-count", "4000000000"}, true},
        GarbageCase{"huge_count_gap", {"--vlrs", "1", "--gap", "300", "--vlr-count", "77777"}, false},
        // A count that stops short of the GeoKeys: they are not records.
        GarbageCase{"count_short", {"--vlrs", "2", "--geokeys", "projected:32617", "--vlr-count", "2"}, false},
        GarbageCase{"count_zero", {"--geokeys", "projected:32617", "--vlr-count", "0"}, false},
        // The directory announces more keys than it holds.
        GarbageCase{"key_count", {"--geokeys", "projected:32617", "--geokey-count", "300"}, false},
        // The directory's record length runs past OffsetToData.
        GarbageCase{"overlong_directory", {"--geokeys", "projected:32617", "--geokey-vlr-length", "65535"}, false},
        // ... or is shorter than what it holds, so the walk derails after it.
        GarbageCase{"short_directory", {"--vlrs", "1", "--geokeys", "user-tm", "--geokey-vlr-length", "3"}, false}),
    [](const auto &info) { return std::string(info.param.name); });

// ---- The .prj file itself -----------------------------------------------------

TEST(PrjFile, ReplacesAnOldOneAndAFailedCreationEndsTheRunLikeAnyOutput) {
    TempDir dir("prj_file");
    generate_las(dir / "t.las", {"--points", "10", "--geokeys", "projected:32617"});
    write_file(dir / "t.prj", std::string(5000, 'x'));
    ASSERT_EQ(run_pelmora(dir / "t.las").exit_status, 0);
    const std::string fresh = read_file(dir / "t.prj");
    EXPECT_EQ(fresh.rfind("PROJCS[\"WGS_1984_UTM_Zone_17N\"", 0), 0u) << fresh;
    EXPECT_LT(fresh.size(), 1000u);

    // A directory in the .prj's place cannot be replaced: refused before
    // anything is written, as for a .shp; no other output appears either.
    generate_las(dir / "d.las", {"--points", "10", "--geokeys", "projected:32617"});
    ASSERT_EQ(mkdir((dir / "d.prj").c_str(), 0755), 0);
    const Captured run = run_pelmora(dir / "d.las");
    EXPECT_EQ(run.exit_status, 255);
    EXPECT_EQ(run.out, "\n" + (dir / "d.prj") + " is a directory, not a regular file: an output cannot replace it\n");
    EXPECT_FALSE(file_exists(dir / "d.shp") || file_exists(dir / "d.shx") || file_exists(dir / "d.dbf"));

    // A file without a CRS leaves a .prj someone put there alone.
    generate_las(dir / "n.las", {"--points", "10"});
    write_file(dir / "n.prj", "hand-written");
    ASSERT_EQ(run_pelmora(dir / "n.las").exit_status, 0);
    EXPECT_EQ(read_file(dir / "n.prj"), "hand-written");
}

}  // namespace

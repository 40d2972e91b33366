// LAZ decoding: the plan of real, quirky and damaged files; the decoder
// process against the uncompressed twins; and every way a decoder can
// fail, each with its message and no process left behind.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <random>
#include <sstream>

#include "chunk_table_encoder.h"
#include "base/failure.h"
#include "io/byte_order.h"
#include "io/child_processes.h"
#include "las/las_header.h"
#include "las/las_vlr.h"
#include "laz/decoder_command.h"
#include "laz/laz_plan.h"
#include "laz/laszip_record.h"
#include "laz/laz_records.h"

namespace {

const std::string kData = LAZ_TEST_DATA;
const std::string kSource = PROJECT_DIR;
const std::string kWork = WORK_DIR;

std::string slurp(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

std::string saved(const std::string &name, const std::string &bytes) {
    mkdir(kWork.c_str(), 0755);
    const std::string path = kWork + "/" + name;
    std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return path;
}

// A LAS or LAZ file open for reading, with what plan_laz needs.
struct Opened {
    explicit Opened(const std::string &path) : fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC)) {
        struct stat st {};
        fstat(fd, &st);
        size = static_cast<uint64_t>(st.st_size);
        unsigned char bytes[kLasHeader14Bytes] = {};
        const long long got = pread(fd, bytes, sizeof bytes, 0);
        header = parse_las_header(bytes, got > 0 ? static_cast<size_t>(got) : 0);
        const VlrSpace space = vlr_space(header.header_size, header.version_header_bytes(), header.offset_to_data, size);
        BlockReader reader(fd, space);
        vlrs = read_vlrs(reader.reader(), space, header.vlr_count, [](const std::string &, uint16_t) { return true; });
    }
    ~Opened() { ::close(fd); }
    int fd;
    uint64_t size = 0;
    LasHeader header;
    std::vector<LasVlr> vlrs;
};

laz::LazPlan plan(const std::string &path) {
    Opened f(path);
    return laz::plan_laz(path, f.fd, f.size, f.header, f.vlrs);
}

// The message of the Failure `run` throws; "" if it throws none.
std::string failure_of(const std::function<void()> &run) {
    try {
        run();
    } catch (const Failure &f) {
        return f.message;
    }
    return "";
}

// Every record through LazRecords, read in uneven batches.
std::string decode(const std::string &path, unsigned threads, laz::LazDecoding decoding = {}, pid_t *pid = nullptr) {
    Opened f(path);
    const laz::LazPlan p = laz::plan_laz(path, f.fd, f.size, f.header, f.vlrs);
    decoding.threads = threads;
    if (decoding.program_dir.empty()) decoding.program_dir = kSource;
    laz::LazRecords records(path, f.fd, p, decoding);
    if (pid) *pid = records.decoder_pid();
    std::string out(p.point_count * p.record_length, '\0');
    auto *dst = reinterpret_cast<unsigned char *>(out.data());
    for (uint64_t done = 0, step = 1; done < p.point_count; step = step * 3 + 1) {
        const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(step, p.point_count - done));
        records.read(dst + done * p.record_length, n);
        done += n;
    }
    records.finish();
    return out;
}

std::string twin_records(const std::string &las) {
    const std::string b = slurp(las);
    const LasHeader h = parse_las_header(reinterpret_cast<const unsigned char *>(b.data()), b.size());
    return b.substr(h.offset_to_data, h.point_count() * h.record_length);
}

// laz-perf's own whole-file reading of a LAZ file.
std::string reference_records(const std::string &laz) {
    const std::string command = "node '" + kSource + "/tests/laz/reference_decode.js' '" + laz + "'";
    FILE *pipe = popen(command.c_str(), "r");
    std::string out;
    char block[65536];
    for (size_t n; (n = fread(block, 1, sizeof block, pipe)) > 0;) out.append(block, n);
    EXPECT_EQ(pclose(pipe), 0) << command;
    return out;
}

bool gone(pid_t pid) { return pid > 0 && kill(pid, 0) == -1 && errno == ESRCH; }

unsigned char *at(std::string &b, size_t offset) { return reinterpret_cast<unsigned char *>(b.data() + offset); }
uint64_t u64_at(const std::string &b, size_t offset) { return load_le64(reinterpret_cast<const unsigned char *>(b.data() + offset)); }
size_t data_offset(const std::string &b) { return load_le32(reinterpret_cast<const unsigned char *>(b.data() + 96)); }
size_t table_offset(const std::string &b) { return u64_at(b, data_offset(b)); }
size_t laszip_payload(const std::string &b) {
    size_t p = load_le16(reinterpret_cast<const unsigned char *>(b.data() + 94));
    while (b.compare(p + 2, 14, "laszip encoded") != 0) p += 54 + load_le16(reinterpret_cast<const unsigned char *>(b.data() + p + 20));
    return p + 54;
}

// A copy of a file whose chunk table is replaced by `entries`.
std::string with_table(std::string b, uint32_t chunk_size, const std::vector<std::pair<uint32_t, uint32_t>> &entries) {
    store_le32(at(b, laszip_payload(b) + 12), chunk_size);
    const std::vector<uint8_t> coded = laz_test::encode_chunk_entries(entries, chunk_size == laz::kVariableChunks || chunk_size == 0);
    b.resize(table_offset(b) + 8);
    store_le32(at(b, b.size() - 8), 0);
    store_le32(at(b, b.size() - 4), static_cast<uint32_t>(entries.size()));
    return b.append(coded.begin(), coded.end());
}

// The fields both point formats share, in the same units: the COPC file
// holds the points of its twin in another order, format and offset.
using Point = std::array<int64_t, 9>;
std::vector<Point> points_of(const std::string &records, const LasHeader &h) {
    const bool extended = h.point_format() >= 6;
    const size_t gps = extended ? 22 : 20, rgb = extended ? 30 : 28;
    std::vector<Point> all;
    for (size_t r = 0; r + h.record_length <= records.size(); r += h.record_length) {
        const auto *p = reinterpret_cast<const unsigned char *>(records.data() + r);
        Point q{};
        for (int a = 0; a < 3; ++a) q[a] = std::llround((load_le_int32(p + 4 * a) * h.scale[a] + h.offset[a]) * 100);
        q[3] = load_le16(p + 12);
        q[4] = extended ? (p[14] & 15) | (p[14] >> 4) << 4 : (p[14] & 7) | ((p[14] >> 3) & 7) << 4;
        q[5] = extended ? p[16] : p[15] & 31;
        q[6] = static_cast<int64_t>(load_le64(p + gps));
        q[7] = load_le16(p + rgb);
        q[8] = load_le16(p + rgb + 2) << 16 | load_le16(p + rgb + 4);
        all.push_back(q);
    }
    std::sort(all.begin(), all.end());
    return all;
}

TEST(LazRealFiles, DecodeToTheRecordsOfTheirUncompressedTwins) {
    struct Case {
        std::string laz, twin;  // twin "": laz-perf's whole-file reading is the reference
    } cases[] = {
        {"pasture_10_points_format_0.laz", "pasture_10_points_format_0.las"},
        {"pasture_10_points_format_1.laz", "pasture_10_points_format_1.las"},
        {"pasture_10_points_format_2.laz", "pasture_10_points_format_2.las"},
        {"pasture_10_points_format_3.laz", "pasture_10_points_format_3.las"},
        {"pasture_10_points_format_6.laz", "pasture_10_points_format_6.las"},
        {"pasture_10_points_format_7.laz", "pasture_10_points_format_7.las"},
        {"pasture_10_points_format_8.laz", "pasture_10_points_format_8.las"},
        {"laspy_1_4_w_evlr.laz", "laspy_1_4_w_evlr.las"},
        {"liblas_1.2-with-color.laz", "pdal_1.2-with-color.las"},
        {"pdal_autzen_trim.laz", ""},
        {"lasr_las14_pdrf6.laz", ""},
        {"pdal_1.2-with-color.copc.laz", ""},
    };
    for (const Case &c : cases) {
        const std::string laz = kData + "/" + c.laz;
        const std::string expected = c.twin.empty() ? reference_records(laz) : twin_records(kData + "/" + c.twin);
        for (unsigned threads : {1u, 2u}) {
            pid_t pid = -1;
            const std::string got = decode(laz, threads, {}, &pid);
            EXPECT_TRUE(got == expected) << c.laz << " with " << threads << " threads";
            EXPECT_TRUE(gone(pid)) << c.laz;
        }
    }
    // COPC: the twin's points, in octree order and another format.
    const Opened copc(kData + "/pdal_1.2-with-color.copc.laz"), las(kData + "/pdal_1.2-with-color.las");
    EXPECT_EQ(points_of(decode(kData + "/pdal_1.2-with-color.copc.laz", 2), copc.header),
              points_of(twin_records(kData + "/pdal_1.2-with-color.las"), las.header));
    // No twin for lasr's file: its points lie in its header's box.
    const Opened lasr(kData + "/lasr_las14_pdrf6.laz");
    const std::string records = decode(kData + "/lasr_las14_pdrf6.laz", 2);
    ASSERT_EQ(records.size(), 135u * 30);
    for (size_t r = 0; r < records.size(); r += 30)
        for (int a = 0; a < 3; ++a) {
            const double v = load_le_int32(reinterpret_cast<const unsigned char *>(records.data() + r + 4 * a)) *
                                 lasr.header.scale[a] + lasr.header.offset[a];
            EXPECT_TRUE(v >= lasr.header.min[a] - 1e-9 && v <= lasr.header.max[a] + 1e-9) << r / 30;
        }
}

TEST(LazRefusals, FormatsWithWaveformPackets) {
    for (int format : {4, 5, 9, 10}) {
        const std::string name = kData + "/pasture_10_points_format_" + std::to_string(format) + ".laz";
        EXPECT_EQ(failure_of([&] { plan(name); }),
                  name + " holds point format " + std::to_string(format) +
                      " with waveform packets, which the LAZ codec cannot decode");
    }
}

TEST(LazRefusals, DamagedHeadersLaszipRecordsAndChunkTables) {
    const std::string autzen = slurp(kData + "/pdal_autzen_trim.laz");
    const std::string evlr = slurp(kData + "/laspy_1_4_w_evlr.laz");
    const size_t zip = laszip_payload(autzen), table = table_offset(autzen), data = data_offset(autzen);
    struct Case {
        const char *what;
        const std::string *base;
        std::function<void(std::string &)> damage;
        std::string says;
    } cases[] = {
        {"pointwise", &autzen, [&](std::string &b) { b[zip] = 1; }, "compressed point by point without chunks (LASzip compressor 1)"},
        {"layered for format 3", &autzen, [&](std::string &b) { b[zip] = 3; }, "names compressor 3, but points of format 3 are compressed with compressor 2"},
        {"coder", &autzen, [&](std::string &b) { b[zip + 2] = 1; }, "names coder 1"},
        {"item version", &autzen, [&](std::string &b) { b[zip + 38] = 1; }, "lists the items POINT10/20/v1 GPSTIME11/8/v2 RGB12/6/v2 (name/size/version), not those of point format 3 with 34-byte records"},
        {"extra bytes not listed", &autzen, [](std::string &b) { b[105] = 36; }, "not those of point format 3 with 36-byte records that the LAZ codec decodes (POINT10/20/v2 GPSTIME11/8/v2 RGB12/6/v2 BYTE/2/v2)"},
        {"item count", &autzen, [&](std::string &b) { b[zip + 32] = 2; }, "its LASzip record is damaged: 52 bytes long, but with the 2 items it lists it would be 46"},
        {"no record", &autzen, [&](std::string &b) { b[zip - 52] = 'L'; }, "has no LASzip record (user ID \"laszip encoded\", record 22204)"},
        {"both bits", &autzen, [](std::string &b) { b[104] = static_cast<char>(0xC3); }, "sets both compression bits"},
        {"table version", &autzen, [&](std::string &b) { b[table] = 1; }, "its chunk table has version 1"},
        {"a chunk too many", &autzen, [&](std::string &b) { b[table + 4] = 4; }, "its chunk table lists 4 chunks for 110000 points in chunks of 50000"},
        {"absurd chunk count", &autzen, [&](std::string &b) { store_le32(at(b, table + 4), 0xFFFFFFFF); }, "lists 4294967295 chunks, more than its 601181 bytes of compressed points can hold"},
        {"a point more", &evlr, [](std::string &b) { store_le64(at(b, 247), 1001); }, "its chunk 1 of 1 holds 1000 points by its own count, where its header's point count says 1001"},
        {"a chunk more", &autzen, [](std::string &b) { store_le32(at(b, 107), 150001); }, "its chunk table lists 3 chunks for 150001 points in chunks of 50000"},
        {"chunk size 0, three chunks", &autzen, [&](std::string &b) { store_le32(at(b, zip + 12), 0); }, "chunk size 0, which can only mean one chunk of all points, but its chunk table lists 3 chunks"},
        {"table beyond the end", &autzen, [&](std::string &b) { store_le64(at(b, data), b.size() + 100); }, "is damaged or cut short: its chunk table is said to be at byte 603453"},
        {"no table", &autzen, [&](std::string &b) { store_le64(at(b, data), data); }, "has no chunk table: its writer stopped before writing it"},
        {"cut in the table", &autzen, [&](std::string &b) { b.resize(table + 10); }, "its chunk table runs past the end of the file"},
        {"cut in the chunks", &autzen, [&](std::string &b) { b.resize(table - 1000); }, "its chunk table is said to be at byte 603333, but its chunks start at byte 2152 and the file ends at byte 602333"},
        {"cut in the pointer", &autzen, [&](std::string &b) { b.resize(data + 4); }, "is cut short: its compressed points would start at byte 2152, but it has 2148 bytes"},
        {"EVLR over the table", &evlr, [&](std::string &b) { store_le64(at(b, 235), table_offset(b) + 4); }, "its extended variable-length records start at byte 8862, inside its compressed points or chunk table"},
        {"coded sizes damaged", &autzen, [&](std::string &b) { b[table + 9] ^= 0x55; }, "its chunk table gives chunk 2 of 3 2147778501 bytes at byte 297005, past the start of the table (byte 603333)"},
    };
    for (const Case &c : cases) {
        std::string bytes = *c.base;
        c.damage(bytes);
        const std::string path = saved("damaged.laz", bytes);
        const std::string message = failure_of([&] { plan(path); });
        EXPECT_NE(message.find(c.says), std::string::npos) << c.what << ": " << message;
        EXPECT_EQ(message.rfind(path, 0), 0u) << c.what << ": the message names the file";
    }
}

TEST(LazQuirks, LayoutsRealWritersLeaveDecode) {
    const std::string autzen = slurp(kData + "/pdal_autzen_trim.laz");
    const std::string evlr = slurp(kData + "/laspy_1_4_w_evlr.laz");
    const std::string liblas = slurp(kData + "/liblas_1.2-with-color.laz");
    // The table position -1, the real one in the file's last 8 bytes.
    auto position_at_end = [](std::string b) {
        const uint64_t table = table_offset(b);
        store_le64(at(b, data_offset(b)), UINT64_MAX);
        b.append(8, '\0');
        store_le64(at(b, b.size() - 8), table);
        return b;
    };
    auto chunk_size_0 = [](std::string b) {
        store_le32(at(b, laszip_payload(b) + 12), 0);
        return b;
    };
    const uint32_t liblas_bytes = static_cast<uint32_t>(table_offset(liblas) - data_offset(liblas) - 8);
    struct Case {
        const char *what;
        std::string bytes;
        std::string expected;
    } cases[] = {
        {"position at the end", position_at_end(autzen), reference_records(kData + "/pdal_autzen_trim.laz")},
        {"position at the end, after an EVLR", position_at_end(evlr), twin_records(kData + "/laspy_1_4_w_evlr.las")},
        {"chunk size 0, one chunk", chunk_size_0(evlr), twin_records(kData + "/laspy_1_4_w_evlr.las")},
        {"chunk size 0, entry with its count", with_table(liblas, 0, {{1065, liblas_bytes}}), twin_records(kData + "/pdal_1.2-with-color.las")},
    };
    for (const Case &c : cases) EXPECT_TRUE(decode(saved("quirk.laz", c.bytes), 2) == c.expected) << c.what;

    // No points: an empty table, and no decoder to start.
    std::string empty = slurp(kData + "/pasture_10_points_format_0.laz");
    empty.resize(data_offset(empty) + 16);
    store_le64(at(empty, data_offset(empty)), data_offset(empty) + 8);
    store_le64(at(empty, data_offset(empty) + 8), 0);
    store_le32(at(empty, 107), 0);
    store_le64(at(empty, 247), 0);
    const std::string path = saved("empty.laz", empty);
    Opened f(path);
    const laz::LazPlan p = laz::plan_laz(path, f.fd, f.size, f.header, f.vlrs);
    EXPECT_TRUE(p.chunks.empty());
    laz::LazRecords none(path, f.fd, p);
    EXPECT_EQ(none.decoder_pid(), -1);
    none.finish();
}

TEST(ChunkTable, EntriesRoundTripThroughLaszipCoding) {
    std::mt19937 random(22204);
    std::vector<std::pair<uint32_t, uint32_t>> entries = {{0, 0}, {1, 1}, {50000, 270000}, {49999, 269999},
                                                          {0xFFFFFFFF, 0x80000000}, {0x80000000, 0x7FFFFFFF},
                                                          {0, 0xFFFFFFFF}, {3, 3}, {3, 3}, {256, 257}};
    for (int i = 0; i < 3000; ++i) entries.push_back({random() >> (random() % 32), random() >> (random() % 32)});
    for (bool with_points : {false, true}) {
        const std::vector<uint8_t> coded = laz_test::encode_chunk_entries(entries, with_points);
        size_t next = 0;
        std::vector<std::pair<uint32_t, uint32_t>> decoded;
        laz::decode_chunk_entries([&] { return next < coded.size() ? coded[next++] : throw std::out_of_range("end"); },
                                  static_cast<uint32_t>(entries.size()), with_points, [&](uint32_t, uint32_t p, uint32_t b) {
                                      decoded.push_back({with_points ? p : entries[decoded.size()].first, b});
                                      return true;
                                  });
        EXPECT_TRUE(decoded == entries) << "with points: " << with_points;
        EXPECT_EQ(next, coded.size()) << "the decoder reads exactly what the encoder wrote";
    }
}

TEST(ChunkTable, VariableChunksMustAddUp) {
    const std::string autzen = slurp(kData + "/pdal_autzen_trim.laz");
    const laz::LazPlan real = plan(kData + "/pdal_autzen_trim.laz");
    const uint32_t b0 = static_cast<uint32_t>(real.chunks[0].bytes), b1 = static_cast<uint32_t>(real.chunks[1].bytes),
                   b2 = static_cast<uint32_t>(real.chunks[2].bytes);
    struct Case {
        std::vector<std::pair<uint32_t, uint32_t>> entries;
        std::string says;  // "" for a table that is sound
    } cases[] = {
        {{{50000, b0}, {50000, b1}, {10000, b2}}, ""},
        {{{60000, b0}, {40000, b1}, {10000, b2}}, ""},  // adds up: the decoder finds chunk 1 read past its end
        {{{50000, b0}, {0, b1}, {60000, b2}}, "its chunk table gives chunk 2 of 3 no points"},
        {{{50000, b0}, {50000, b1}, {9999, b2}}, "its chunk table holds 109999 points, its header announces 110000"},
        {{{50000, b0}, {50000, b1}, {10001, b2}}, "holds more points than the 110000 its header announces (chunk 3 of 3 brings them to 110001)"},
        {{{50000, b0}, {50000, b1 - 1}, {10000, b2}}, "accounts for 601180 bytes of compressed points, but 601181 lie between"},
        {{{50000, b0}, {50000, b1}, {10000, b2 + 1}}, "gives chunk 3 of 3 " + std::to_string(b2 + 1) + " bytes at byte"},
        {{{50000, b0}, {50000, 33}, {10000, b2}}, "gives chunk 2 of 3 33 bytes, fewer than its first record"},
        {{{110000, b0 + b1 + b2}}, ""},
    };
    for (const Case &c : cases) {
        const std::string path = saved("variable.laz", with_table(autzen, laz::kVariableChunks, c.entries));
        const std::string message = failure_of([&] { plan(path); });
        if (c.says.empty())
            EXPECT_EQ(message, "");
        else
            EXPECT_NE(message.find(c.says), std::string::npos) << message;
    }
    EXPECT_TRUE(decode(saved("variable.laz", with_table(autzen, laz::kVariableChunks, cases[0].entries)), 2) ==
                reference_records(kData + "/pdal_autzen_trim.laz"));
    // Counts from a table are checked in every chunk: one that holds fewer
    // points than the table gives it is read past its end.
    const std::string lying = saved("variable.laz", with_table(autzen, laz::kVariableChunks, {{50000, b0}, {50001, b1}, {9999, b2}}));
    const std::string message = failure_of([&] { decode(lying, 2); });
    EXPECT_NE(message.find("chunk 2 of 3 ("), std::string::npos) << message;
    EXPECT_NE(message.find("reads past its end"), std::string::npos) << message;
}

// A decoder that fails in each way it can: the message, and no process left.
TEST(LazDecoder, FailuresAreReportedAndLeaveNoProcess) {
    const std::string autzen = kData + "/pdal_autzen_trim.laz";
    const std::string full = std::to_string(110000 * 34);
    struct Case {
        const char *mode;
        std::string bytes;
        std::string says;
    } cases[] = {
        {"fail", "1700000", "the LAZ decoder failed after 50000 of 110000 points: chunk 2 of 3 cannot be decoded: damaged"},
        {"fail", "1700017", "the LAZ decoder failed after 50000 of 110000 points: chunk 2 of 3 cannot be decoded: damaged"},
        {"silent-fail", "1700000", "the LAZ decoder failed with status 1 (a damaged chunk) after 50000 of 110000 points and said nothing"},
        {"killed", "1700000", "the LAZ decoder was killed by signal 9 (Killed) after 50000 of 110000 points"},
        {"stall", "1700000", "the LAZ decoder delivered nothing for 0.5 seconds, after 50000 of 110000 points, and was stopped"},
        {"ignore-job", "0", "the LAZ decoder delivered nothing for 0.5 seconds, after 0 of 110000 points, and was stopped"},
        {"quiet", "1700000", "the LAZ decoder ended after 50000 of 110000 points without a word"},
        {"more", full, "the LAZ decoder delivered more than the 110000 points the file holds"},
        {"late-fail", full, "the LAZ decoder failed after delivering all 110000 points: internal error: late"},
    };
    setenv("PELMORA_LAZ_DECODER", (kSource + "/tests/laz/fake_decoder.sh").c_str(), 1);
    for (const Case &c : cases) {
        setenv("FAKE_DECODER", c.mode, 1);
        setenv("FAKE_BYTES", c.bytes.c_str(), 1);
        pid_t pid = -1;
        laz::LazDecoding decoding;
        decoding.stall_milliseconds = 500;
        EXPECT_EQ(failure_of([&] { decode(autzen, 2, decoding, &pid); }), autzen + ": " + c.says) << c.mode;
        EXPECT_TRUE(gone(pid)) << c.mode << ": no process, not even a zombie";
    }
    // The interrupt handler's kill.
    setenv("FAKE_DECODER", "stall", 1);
    Opened f(autzen);
    const laz::LazPlan p = laz::plan_laz(autzen, f.fd, f.size, f.header, f.vlrs);
    std::string out(34 * 50000, '\0');
    {
        laz::LazRecords records(autzen, f.fd, p);
        kill_children();
        EXPECT_NE(failure_of([&] { records.read(reinterpret_cast<unsigned char *>(out.data()), 50000); })
                      .find("was killed by signal 9 (Killed) after 0 of 110000 points"),
                  std::string::npos);
        EXPECT_TRUE(gone(records.decoder_pid()));
    }
    // Descriptors run out: said, not crashed.
    rlimit saved_limit{};
    getrlimit(RLIMIT_NOFILE, &saved_limit);
    rlimit low = saved_limit;
    low.rlim_cur = 64;
    setrlimit(RLIMIT_NOFILE, &low);
    std::vector<int> held;
    for (int fd; (fd = dup(0)) >= 0;) held.push_back(fd);
    EXPECT_NE(failure_of([&] { laz::LazRecords records(autzen, f.fd, p); }).find("cannot start the LAZ decoder: Too many open files"),
              std::string::npos);
    for (int fd : held) close(fd);
    setrlimit(RLIMIT_NOFILE, &saved_limit);
    unsetenv("PELMORA_LAZ_DECODER");
}

TEST(LazDecoder, StopsWithItsReaderAndOnDamagedChunks) {
    // Dropped mid-stream: the decoder goes with it.
    const std::string autzen = kData + "/pdal_autzen_trim.laz";
    Opened f(autzen);
    pid_t pid;
    {
        laz::LazDecoding decoding;
        decoding.program_dir = kSource;
        laz::LazRecords records(autzen, f.fd, laz::plan_laz(autzen, f.fd, f.size, f.header, f.vlrs), decoding);
        pid = records.decoder_pid();
        std::string some(34 * 1000, '\0');
        records.read(reinterpret_cast<unsigned char *>(some.data()), 1000);
    }
    EXPECT_TRUE(gone(pid));
    // Damage inside a chunk: LAZ has no checksum.  The codec either fails
    // on the chunk (said) or decodes other values for its points; the other
    // chunks decode as before, and nothing crashes or hangs.
    struct Damage {
        const char *file;
        size_t chunk, from, bytes;
    } damages[] = {{"pdal_autzen_trim.laz", 1, 100000, 200}, {"pdal_autzen_trim.laz", 1, 0, 34},
                   {"pdal_autzen_trim.laz", 1, 34, 4000}, {"pdal_autzen_trim.laz", 2, 40, 60000},
                   {"pdal_1.2-with-color.copc.laz", 7, 36, 8}, {"pdal_1.2-with-color.copc.laz", 3, 60, 300}};
    std::mt19937 random(7);
    for (const Damage &d : damages) {
        const std::string original = kData + "/" + d.file;
        const laz::LazPlan p = plan(original);
        const std::string reference = reference_records(original);
        std::string bytes = slurp(original);
        const laz::LazChunk &chunk = p.chunks.at(d.chunk);
        for (size_t i = 0; i < std::min(d.bytes, chunk.bytes - d.from); ++i)
            bytes.at(chunk.offset + d.from + i) = static_cast<char>(random());
        const std::string damaged = saved("random-bytes.laz", bytes);
        std::string got;
        const std::string message = failure_of([&] { got = decode(damaged, 2, {}, &pid); });
        EXPECT_TRUE(gone(pid));
        if (!message.empty()) {
            EXPECT_NE(message.find("chunk " + std::to_string(d.chunk + 1) + " of "), std::string::npos) << message;
            continue;
        }
        size_t first = 0;
        for (size_t c = 0; c < p.chunks.size(); first += p.chunks[c++].points * p.record_length) {
            const size_t n = p.chunks[c].points * p.record_length;
            EXPECT_EQ(got.compare(first, n, reference, first, n) == 0, c != d.chunk) << d.file << " chunk " << c + 1;
        }
    }
}

TEST(LazDecoder, FindsItselfOrSaysWhatIsMissing) {
    const std::string root = kWork + "/layouts";
    const std::string script = kSource + "/decoder/laz-decoder.js";
    std::system(("rm -rf '" + root + "' && mkdir -p '" + root + "/inst/bin' '" + root + "/inst/share/pelmora/decoder' '" +
                 root + "/build/decoder' '" + root + "/empty' '" + root + "/nocodec/decoder' && ln -s '" + script + "' '" +
                 root + "/inst/share/pelmora/decoder/' && ln -s '" + script + "' '" + root + "/build/decoder/' && cp '" + script +
                 "' '" + kSource + "/decoder/wire.json' '" + root + "/nocodec/decoder/'").c_str());
    EXPECT_EQ(laz::find_decoder("t.laz", root + "/inst/bin").argv.at(1), root + "/inst/bin/../share/pelmora/decoder/laz-decoder.js");
    EXPECT_EQ(laz::find_decoder("t.laz", root + "/build").argv.at(1), root + "/build/decoder/laz-decoder.js");
    EXPECT_EQ(failure_of([&] { laz::find_decoder("t.laz", root + "/empty"); }),
              "t.laz: the LAZ decoder is not installed: neither " + root + "/empty/../share/pelmora/decoder/laz-decoder.js nor " +
                  root + "/empty/decoder/laz-decoder.js exists (run scripts/install-deps.sh, then build or install again)");
    const std::string path = getenv("PATH");
    setenv("PATH", root.c_str(), 1);
    EXPECT_EQ(failure_of([&] { laz::find_decoder("t.laz", root + "/build"); }),
              "t.laz: decoding LAZ needs Node.js, but neither node nor nodejs is on the PATH (scripts/install-deps.sh installs it)");
    setenv("PATH", path.c_str(), 1);
    setenv("PELMORA_LAZ_DECODER", "/no/such/decoder", 1);
    EXPECT_EQ(failure_of([&] { laz::find_decoder("t.laz", root + "/build"); }),
              "t.laz: PELMORA_LAZ_DECODER names /no/such/decoder, which is not an executable program");
    unsetenv("PELMORA_LAZ_DECODER");
    laz::LazDecoding nocodec;
    nocodec.program_dir = root + "/nocodec";
    const std::string autzen = kData + "/pdal_autzen_trim.laz";
    EXPECT_EQ(failure_of([&] { decode(autzen, 1, nocodec); }),
              autzen + ": the LAZ decoder failed after 0 of 110000 points: the LAZ codec (the npm package laz-perf) is not installed beside " +
                  root + "/nocodec/decoder: run scripts/install-deps.sh");
}

TEST(LazDecoder, ThreadsFitTheResourceLimits) {
    constexpr uint64_t GiB = 1ull << 30, kNone = UINT64_MAX;
    struct Case {
        unsigned wanted;
        uint64_t address_space, open_files;
        unsigned threads;  // 0: refused
        std::string says;
    } cases[] = {
        {2, kNone, kNone, 2, ""},
        {2, 24 * GiB, kNone, 2, ""},
        {2, 23 * GiB, kNone, 1, ""},
        {4, 13 * GiB, kNone, 1, ""},
        {1, 12 * GiB, kNone, 0, "t.laz: the address-space limit (ulimit -v) of 12288 MiB is too low to decode LAZ: the decoder needs 12800 MiB"},
        {4, kNone, 36, 3, ""},
        {4, kNone, 28, 1, ""},
        {1, kNone, 20, 0, "t.laz: the open-file limit (ulimit -n) of 20 is too low to decode LAZ: the decoder (Node.js) needs 28 descriptors"},
    };
    for (const Case &c : cases) {
        unsigned got = 0;
        const std::string message = failure_of([&] { got = laz::threads_within_limits("t.laz", c.wanted, {c.address_space, c.open_files}); });
        EXPECT_EQ(got, c.threads);
        EXPECT_EQ(message.substr(0, c.says.size()), c.says);
    }
}

// The script on its own: a bad job, a missing file descriptor, an output
// that goes away.  Status and line, promptly.
TEST(LazDecoderScript, RefusesBadJobsAndStopsWhenItsOutputCloses) {
    const std::string node = "node '" + kSource + "/decoder/laz-decoder.js'";
    const std::string autzen = kData + "/pdal_autzen_trim.laz";
    std::ofstream(kWork + "/job.json") << laz::decoder_job(plan(autzen), 2);
    struct Case {
        std::string shell;
        int status;
        std::string says;
    } cases[] = {
        {"echo '{\"format\":4,\"record_length\":57,\"workers\":1,\"chunks\":[]}' | " + node + " 3<'" + autzen + "'", 2,
         "laz-decoder: point format 4 is not one the codec decodes (0-3, 6-8)"},
        {"echo '{\"format\":3' | " + node + " 3<'" + autzen + "'", 2, "laz-decoder: the job is not JSON"},
        {"echo '{\"format\":3,\"record_length\":34,\"workers\":1,\"chunks\":[[9,0,1,0]]}' | " + node + " 3<'" + autzen + "'", 2,
         "laz-decoder: chunk 1 is not [offset, bytes (1 or more), points (1 or more), verify (0 or 1)]: [9,0,1,0]"},
        {node + " < '" + kWork + "/job.json' 3<&-", 2, "laz-decoder: descriptor 3 is not a regular file (the LAZ file)"},
        {"set -o pipefail; " + node + " < '" + kWork + "/job.json' 3<'" + autzen + "' | head -c 1000 > /dev/null", 4,
         "laz-decoder: standard output was closed before every record was written"},
    };
    for (const Case &c : cases) {
        const std::string script = kWork + "/case.sh";
        std::ofstream(script) << c.shell << "\n";
        const int raw = std::system(("timeout 60 bash '" + script + "' 2> '" + kWork + "/stderr'").c_str());
        EXPECT_EQ(WEXITSTATUS(raw), c.status) << c.shell;
        EXPECT_EQ(slurp(kWork + "/stderr").substr(0, c.says.size()), c.says) << c.shell;
    }
}

}  // namespace

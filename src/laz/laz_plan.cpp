#include "laz/laz_plan.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "base/failure.h"
#include "base/text.h"
#include "io/byte_order.h"
#include "io/posix_io.h"
#include "laz/arithmetic_decoder.h"
#include "laz/decoder_wire.h"
#include "laz/laszip_record.h"

namespace laz {

namespace {

using ull = unsigned long long;

void read_at(const std::string &name, int fd, void *buffer, size_t size, uint64_t offset) {
    const long long got = io::pread_fully(fd, buffer, size, offset);
    if (got < 0) fail("%s cannot be read: %s", name.c_str(), std::strerror(errno));
    if (static_cast<size_t>(got) < size)
        fail("%s is cut short: it ends before byte %llu", name.c_str(), static_cast<ull>(offset + size));
}

// The coded entries of the chunk table, served byte by byte from blocks
// read inside [begin, end): the table's bytes, never past them.
class TableBytes {
public:
    TableBytes(const std::string &name, int fd, uint64_t begin, uint64_t end, const char *end_is)
        : name_(name), fd_(fd), next_(begin), end_(end), end_is_(end_is) {}

    uint8_t next() {
        if (at_ == block_.size()) {
            if (next_ >= end_) {
                TableDamage damage;
                damage.message = formatted("its chunk table %s", end_is_);
                throw damage;
            }
            block_.resize(static_cast<size_t>(std::min<uint64_t>(kBlockBytes, end_ - next_)));
            read_at(name_, fd_, block_.data(), block_.size(), next_);
            next_ += block_.size();
            at_ = 0;
        }
        return block_[at_++];
    }

private:
    static constexpr size_t kBlockBytes = 1 << 16;
    const std::string &name_;
    int fd_;
    uint64_t next_;
    uint64_t end_;
    const char *end_is_;
    std::vector<uint8_t> block_;
    size_t at_ = 0;
};

// Where the chunk table is: its first byte, where its bytes must end, and
// what lies there (for the message of a table that runs past it).
struct TablePlace {
    uint64_t at = 0;
    uint64_t end = 0;
    const char *end_is = "";
};

// The table pointer (the 8 bytes at OffsetToData, or the file's last 8
// when the writer could not seek back), checked against the file.  No
// place (at == 0) for a file without points whose writer left no table.
TablePlace find_table(const std::string &name, int fd, uint64_t file_size, const LasHeader &header) {
    const char *n = name.c_str();
    const uint64_t first = uint64_t{header.offset_to_data} + 8;  // where chunk 0 starts
    const uint64_t points = header.point_count();
    // A file without points has nothing to decode, whatever follows.
    if (points == 0 && file_size < first) return {};
    if (file_size < first)
        fail("%s is cut short: its compressed points would start at byte %llu, but it has %llu bytes", n,
             static_cast<ull>(first), static_cast<ull>(file_size));
    unsigned char word[8];
    read_at(name, fd, word, 8, header.offset_to_data);
    int64_t table = static_cast<int64_t>(load_le64(word));
    TablePlace place{0, file_size, "runs past the end of the file"};
    if (table == -1) {
        if (file_size < first + 8)
            fail("%s is cut short: its chunk table position is to be found in its last 8 bytes, but nothing "
                 "follows its point data",
                 n);
        read_at(name, fd, word, 8, file_size - 8);
        table = static_cast<int64_t>(load_le64(word));
        place = {0, file_size - 8, "runs into the table position in the last 8 bytes of the file"};
    }
    if (table == static_cast<int64_t>(header.offset_to_data)) {
        if (points == 0) return {};
        fail("%s has no chunk table: its writer stopped before writing it (the table position still points at "
             "itself), so where its chunks end is unknown",
             n);
    }
    if (table < 0 || static_cast<uint64_t>(table) < first || static_cast<uint64_t>(table) > place.end ||
        place.end - static_cast<uint64_t>(table) < 8)
        fail("%s is damaged or cut short: its chunk table is said to be at byte %lld, but its chunks start at "
             "byte %llu and the file ends at byte %llu",
             n, static_cast<long long>(table), static_cast<ull>(first), static_cast<ull>(place.end));
    place.at = static_cast<uint64_t>(table);
    if (header.evlr_count > 0 && header.evlr_start > 0) {
        if (header.evlr_start < place.at + 8)
            fail("%s is damaged: its extended variable-length records start at byte %llu, inside its compressed "
                 "points or chunk table (at byte %llu)",
                 n, static_cast<ull>(header.evlr_start), static_cast<ull>(place.at));
        if (header.evlr_start <= place.end)
            place = {place.at, header.evlr_start, "runs into its extended variable-length records"};
    }
    return place;
}

// The table's head (version 0, and the chunk count), checked against the
// points and the chunk size before anything is decoded or allocated.
uint32_t chunk_count(const std::string &name, int fd, const LasHeader &header, const TablePlace &table,
                     uint32_t chunk_size) {
    const char *n = name.c_str();
    unsigned char word[8];
    read_at(name, fd, word, 8, table.at);
    const uint32_t version = load_le32(word), count = load_le32(word + 4);
    if (version != 0) fail("%s is damaged: its chunk table has version %u; LASzip writes version 0", n, version);
    const uint64_t compressed = table.at - (uint64_t{header.offset_to_data} + 8), length = header.record_length;
    const uint64_t points = header.point_count();
    // Each chunk starts with its first record stored whole.
    if (count > compressed / length)
        fail("%s is damaged: its chunk table lists %u chunks, more than its %llu bytes of compressed points can "
             "hold (each chunk starts with a whole %llu-byte record)",
             n, count, static_cast<ull>(compressed), static_cast<ull>(length));
    if (chunk_size == 0) {
        if (count != (points > 0 ? 1u : 0u))
            fail("%s: its LASzip record gives chunk size 0, which can only mean one chunk of all points, but its "
                 "chunk table lists %u chunks for %llu points",
                 n, count, static_cast<ull>(points));
        if (points > UINT32_MAX)
            fail("%s: its LASzip record gives chunk size 0 (one chunk of all points), but a chunk holds at most "
                 "%u points and the file %llu",
                 n, UINT32_MAX, static_cast<ull>(points));
    } else if (chunk_size != kVariableChunks) {
        const uint64_t expected = points == 0 ? 0 : (points - 1) / chunk_size + 1;
        if (count != expected)
            fail("%s: its chunk table lists %u chunks for %llu points in chunks of %u", n, count,
                 static_cast<ull>(points), chunk_size);
    }
    return count;
}

// What is wrong with one decoded entry, "" if nothing: chunk `i` of
// `count` holding `in_chunk` points in `size` bytes at `at`, after `total`
// points of earlier chunks.
std::string entry_problem(uint32_t i, uint32_t count, uint64_t in_chunk, uint32_t size, uint64_t at, uint64_t total,
                          uint64_t points, uint64_t length, uint64_t table_at) {
    if (in_chunk == 0) return formatted("its chunk table gives chunk %u of %u no points", i + 1, count);
    if (in_chunk > points - total)
        return formatted("its chunk table holds more points than the %llu its header announces (chunk %u of %u brings "
                         "them to %llu)",
                         static_cast<ull>(points), i + 1, count, static_cast<ull>(total + in_chunk));
    if (size < length)
        return formatted("its chunk table gives chunk %u of %u %u bytes, fewer than its first record, which is "
                         "stored whole (%llu bytes)",
                         i + 1, count, size, static_cast<ull>(length));
    if (size > table_at - at)
        return formatted("its chunk table gives chunk %u of %u %u bytes at byte %llu, past the start of the table "
                         "(byte %llu)",
                         i + 1, count, size, static_cast<ull>(at), static_cast<ull>(table_at));
    if (size > wire::kMaxChunkBytes)
        return formatted("its chunk %u of %u is %u bytes long, more than the %llu bytes the LAZ codec can hold at once",
                         i + 1, count, size, static_cast<ull>(wire::kMaxChunkBytes));
    return "";
}

// The chunks the table lists, read with or without point counts; what
// does not add up ("" when everything does).
std::string decode_table(const std::string &name, int fd, const LasHeader &header, const TablePlace &table,
                         uint32_t count, uint32_t chunk_size, bool with_points, std::vector<LazChunk> &chunks) {
    chunks.clear();
    const uint64_t first = uint64_t{header.offset_to_data} + 8, points = header.point_count();
    TableBytes bytes(name, fd, table.at + 8, table.end, table.end_is);
    uint64_t at = first, total = 0;
    std::string problem;
    try {
        decode_chunk_entries([&bytes] { return bytes.next(); }, count, with_points,
                             [&](uint32_t i, uint32_t coded_points, uint32_t size) {
                                 const uint64_t in_chunk = with_points       ? coded_points
                                                           : chunk_size == 0 ? points
                                                                             : std::min<uint64_t>(chunk_size, points - total);
                                 problem = entry_problem(i, count, in_chunk, size, at, total, points,
                                                         header.record_length, table.at);
                                 if (!problem.empty()) return false;
                                 chunks.push_back({at, size, static_cast<uint32_t>(in_chunk), false});
                                 at += size;
                                 total += in_chunk;
                                 return true;
                             });
    } catch (const TableDamage &damage) {
        return damage.message;
    }
    if (!problem.empty()) return problem;
    if (total != points)
        return formatted("its chunk table holds %llu points, its header announces %llu", static_cast<ull>(total),
                         static_cast<ull>(points));
    if (at != table.at)
        return formatted("its chunk table accounts for %llu bytes of compressed points, but %llu lie between the "
                         "first chunk and the table",
                         static_cast<ull>(at - first), static_cast<ull>(table.at - first));
    return "";
}

// A layered chunk (compressor 3) gives its own point count after its first
// record: it must be the table's (or, for a fixed chunk size, what the
// header's count leaves for the chunk).  Chunks of compressor 2 carry no
// count, so there the last chunk's count rests on the header.
void check_layered_counts(const std::string &name, int fd, const LazPlan &plan, bool variable) {
    for (size_t i = 0; i < plan.chunks.size(); ++i) {
        const LazChunk &c = plan.chunks[i];
        unsigned char word[4];
        read_at(name, fd, word, 4, c.offset + plan.record_length);
        if (load_le32(word) != c.points)
            fail("%s: its chunk %zu of %zu holds %u points by its own count, where %s says %u", name.c_str(), i + 1,
                 plan.chunks.size(), load_le32(word), variable ? "its chunk table" : "its header's point count",
                 c.points);
    }
}

}  // namespace

void decode_chunk_entries(const std::function<uint8_t()> &next_byte, uint32_t count, bool with_points,
                          const std::function<bool(uint32_t index, uint32_t points, uint32_t bytes)> &keep_going) {
    if (count == 0) return;  // no coded bytes at all
    ArithmeticDecoder decoder(next_byte);
    IntegerDecompressor integers(decoder, 2);
    uint32_t points = 0;
    uint32_t bytes = 0;
    for (uint32_t i = 0; i < count; ++i) {
        // Context 0 codes point counts, context 1 byte sizes, each value
        // predicted by the previous chunk's (0 for the first).
        if (with_points) points = integers.decompress(points, 0);
        bytes = integers.decompress(bytes, 1);
        if (!keep_going(i, points, bytes)) return;
    }
}

LazPlan plan_laz(const std::string &name, int fd, uint64_t file_size, const LasHeader &header,
                 const std::vector<LasVlr> &vlrs) {
    check_point_format(name, header);
    const LaszipRecord record = read_laszip_record(name, vlrs);
    check_laszip_record(name, header, record);

    LazPlan plan;
    plan.point_format = header.point_format();
    plan.record_length = header.record_length;
    plan.point_count = header.point_count();
    const TablePlace table = find_table(name, fd, file_size, header);
    if (table.at == 0) return plan;
    const uint32_t count = chunk_count(name, fd, header, table, record.chunk_size);
    const bool variable = record.chunk_size == kVariableChunks;
    std::string problem = decode_table(name, fd, header, table, count, record.chunk_size, variable, plan.chunks);
    // Chunk size 0: the one entry may have been written with its point
    // count, as for variable chunks.
    if (!problem.empty() && record.chunk_size == 0 &&
        decode_table(name, fd, header, table, count, 0, true, plan.chunks).empty())
        problem.clear();
    if (!problem.empty()) fail("%s: %s", name.c_str(), problem.c_str());

    // The codec decodes as many points as it is asked for, whatever its
    // bytes hold: a count that lies shows as a chunk read past its end.  A
    // fixed chunk size that lies shifts the first chunk, a header count that
    // lies the last; counts from a table can lie in any chunk.  Layered
    // chunks read each layer from its own bytes and never past them: their
    // own counts are checked instead (below).
    const bool pointwise = record.compressor != kLayeredChunked;
    for (size_t i = 0; i < plan.chunks.size(); ++i)
        plan.chunks[i].verify = pointwise && (i == 0 || i + 1 == plan.chunks.size() || variable);
    if (record.compressor == kLayeredChunked) check_layered_counts(name, fd, plan, variable);
    return plan;
}

}  // namespace laz

// The LASzip record of a LAZ file: the variable-length record (user ID
// "laszip encoded", record 22204) that says how the points are compressed.
//
// Payload, little-endian: u16 compressor, u16 coder, u8 version major, u8
// minor, u16 revision, u32 options, u32 chunk size (points per chunk;
// 0xFFFFFFFF: each chunk's count is in the chunk table), i64 number and i64
// offset of special EVLRs, u16 item count n, then n items of u16 type, u16
// size, u16 version, in record order: 34 + 6n bytes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "las/las_header.h"
#include "las/las_vlr.h"

namespace laz {

constexpr char kLaszipUserId[] = "laszip encoded";
constexpr uint16_t kLaszipRecordId = 22204;
constexpr uint32_t kVariableChunks = 0xFFFFFFFFu;

// Compressors: 1 codes point after point in one stream; 2 in chunks
// (formats 0-5); 3 in chunks of layers, one per field group (formats 6-10).
enum Compressor : uint16_t { kNone = 0, kPointwise = 1, kPointwiseChunked = 2, kLayeredChunked = 3 };

struct LaszipItem {
    uint16_t type = 0;
    uint16_t size = 0;
    uint16_t version = 0;
    bool operator==(const LaszipItem &) const = default;
};

struct LaszipRecord {
    uint16_t compressor = 0;
    uint16_t coder = 0;
    uint8_t version_major = 0;
    uint8_t version_minor = 0;
    uint16_t revision = 0;
    uint32_t options = 0;
    uint32_t chunk_size = 0;
    std::vector<LaszipItem> items;
};

// The LASzip record among a file's variable-length records.
bool is_laszip_vlr(const std::string &user_id, uint16_t record_id);

// The standard size of each point format's record (0-10), without extra bytes.
uint16_t standard_record_length(uint8_t point_format);

// Finds the LASzip record among `vlrs` and parses it; fails (naming
// `name`) if there is none or its payload is not 34 + 6n bytes.
LaszipRecord read_laszip_record(const std::string &name, const std::vector<LasVlr> &vlrs);

// The items the codec decodes for a point format (0-3, 6-8) and record
// length, in record order; extra bytes are one BYTE or BYTE14 item.
std::vector<LaszipItem> codec_items(uint8_t point_format, uint16_t record_length);

// "POINT10/20/v2 GPSTIME11/8/v2": items as messages show them.
std::string describe_items(const std::vector<LaszipItem> &items);

// Fails unless the header's point format byte describes points the codec
// decodes: formats 0-3 and 6-8 (no waveform packets), one compression bit.
void check_point_format(const std::string &name, const LasHeader &header);

// Fails unless the LASzip record describes the header's points as the codec
// decodes them: compressor 2 for formats 0-3, 3 for formats 6-8, the
// arithmetic coder, and exactly the items of the format and record length,
// at the item versions the codec decodes.
void check_laszip_record(const std::string &name, const LasHeader &header, const LaszipRecord &record);

}  // namespace laz

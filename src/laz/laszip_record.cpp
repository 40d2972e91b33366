#include "laz/laszip_record.h"

#include "base/failure.h"
#include "io/byte_order.h"
#include "las/point_format.h"
#include "laz/decoder_wire.h"

namespace laz {

namespace {

constexpr size_t kFixedBytes = 34;
constexpr size_t kItemBytes = 6;

enum ItemType : uint16_t {
    kByte = 0,
    kPoint10 = 6,
    kGpsTime11 = 7,
    kRgb12 = 8,
    kPoint14 = 10,
    kRgb14 = 11,
    kRgbNir14 = 12,
    kByte14 = 14,
};

const char *item_name(uint16_t type) {
    static const char *const kNames[] = {"BYTE",   "SHORT",     "INT",     "LONG",     "FLOAT",
                                         "DOUBLE", "POINT10",   "GPSTIME11", "RGB12",  "WAVEPACKET13",
                                         "POINT14", "RGB14",    "RGBNIR14", "WAVEPACKET14", "BYTE14"};
    return type < sizeof kNames / sizeof kNames[0] ? kNames[type] : nullptr;
}

}  // namespace

bool is_laszip_vlr(const std::string &user_id, uint16_t record_id) {
    return user_id == kLaszipUserId && record_id == kLaszipRecordId;
}

uint16_t standard_record_length(uint8_t point_format) {
    return point_format <= kMaxPointFormat ? kPointFormats[point_format].length : 0;
}

LaszipRecord read_laszip_record(const std::string &name, const std::vector<LasVlr> &vlrs) {
    const LasVlr *found = nullptr;
    for (const LasVlr &vlr : vlrs) {
        if (is_laszip_vlr(vlr.user_id, vlr.record_id)) {
            found = &vlr;
            break;
        }
    }
    if (!found)
        fail("%s is not a valid LAZ file: it has no LASzip record (user ID \"%s\", record %u) among its "
             "variable-length records",
             name.c_str(), kLaszipUserId, kLaszipRecordId);
    const auto *p = reinterpret_cast<const unsigned char *>(found->payload.data());
    const size_t size = found->payload.size();
    if (size < kFixedBytes)
        fail("%s: its LASzip record is damaged: %zu bytes long, less than the %zu of its fixed part", name.c_str(),
             size, kFixedBytes);
    const uint16_t count = load_le16(p + 32);
    if (size != kFixedBytes + kItemBytes * count)
        fail("%s: its LASzip record is damaged: %zu bytes long, but with the %u items it lists it would be %zu",
             name.c_str(), size, count, kFixedBytes + kItemBytes * count);

    LaszipRecord r;
    r.compressor = load_le16(p + 0);
    r.coder = load_le16(p + 2);
    r.version_major = p[4];
    r.version_minor = p[5];
    r.revision = load_le16(p + 6);
    r.options = load_le32(p + 8);
    r.chunk_size = load_le32(p + 12);
    r.items.reserve(count);
    for (size_t i = 0; i < count; ++i) {
        const unsigned char *item = p + kFixedBytes + kItemBytes * i;
        r.items.push_back({load_le16(item), load_le16(item + 2), load_le16(item + 4)});
    }
    return r;
}

std::vector<LaszipItem> codec_items(uint8_t format, uint16_t record_length) {
    // Items of formats 0-3 are coded at version 2, those of 6-8 at version 3
    // (LASzip 2 and 3); the codec decodes those versions and no other.
    std::vector<LaszipItem> items;
    if (format <= 3) {
        items.push_back({kPoint10, 20, 2});
        if (format == 1 || format == 3) items.push_back({kGpsTime11, 8, 2});
        if (format == 2 || format == 3) items.push_back({kRgb12, 6, 2});
    } else {
        items.push_back({kPoint14, 30, 3});
        if (format == 7) items.push_back({kRgb14, 6, 3});
        if (format == 8) items.push_back({kRgbNir14, 8, 3});
    }
    const uint16_t standard = standard_record_length(format);
    if (record_length > standard)
        items.push_back({format <= 3 ? kByte : kByte14, static_cast<uint16_t>(record_length - standard),
                         static_cast<uint16_t>(format <= 3 ? 2 : 3)});
    return items;
}

std::string describe_items(const std::vector<LaszipItem> &items) {
    std::string text;
    for (const LaszipItem &item : items) {
        if (!text.empty()) text += ' ';
        const char *known = item_name(item.type);
        text += known ? known : "type " + std::to_string(item.type);
        text += '/' + std::to_string(item.size) + "/v" + std::to_string(item.version);
    }
    return text.empty() ? "none" : text;
}

void check_point_format(const std::string &name, const LasHeader &header) {
    const char *n = name.c_str();
    if ((header.format_byte & kLazFormatBits) == kLazFormatBits)
        fail("%s: its point format byte (%u) sets both compression bits, which marks an old LAZ scheme that the "
             "LAZ codec cannot decode",
             n, header.format_byte);
    // (The point format and the record length are known good: the header
    // rules refuse a format above 10 and records shorter than the format's
    // before a LAZ file is planned.)
    const uint8_t format = header.point_format();
    if (!wire::decodes(format))
        fail("%s holds point format %u with waveform packets, which the LAZ codec cannot decode", n, format);
}

void check_laszip_record(const std::string &name, const LasHeader &header, const LaszipRecord &record) {
    const char *n = name.c_str();
    const uint8_t format = header.point_format();
    const uint16_t expected = format <= 5 ? kPointwiseChunked : kLayeredChunked;
    switch (record.compressor) {
    case kNone:
        fail("%s: its LASzip record says the points are not compressed (compressor 0), while its point format "
             "byte says they are",
             n);
    case kPointwise:
        fail("%s is compressed point by point without chunks (LASzip compressor 1), which the LAZ codec cannot "
             "decode",
             n);
    case kPointwiseChunked:
    case kLayeredChunked:
        if (record.compressor != expected)
            fail("%s: its LASzip record names compressor %u, but points of format %u are compressed with "
                 "compressor %u",
                 n, record.compressor, format, expected);
        break;
    default:
        fail("%s: its LASzip record names compressor %u, which LASzip does not define", n, record.compressor);
    }
    if (record.coder != 0)
        fail("%s: its LASzip record names coder %u; the only coder LASzip defines is the arithmetic coder (0)", n,
             record.coder);
    const std::vector<LaszipItem> items = codec_items(format, header.record_length);
    if (record.items != items)
        fail("%s: its LASzip record lists the items %s (name/size/version), not those of point format %u with "
             "%u-byte records that the LAZ codec decodes (%s)",
             n, describe_items(record.items).c_str(), format, header.record_length, describe_items(items).c_str());
}

}  // namespace laz

#include "las/las_header.h"

#include <cstring>

#include "io/byte_order.h"

size_t LasHeader::version_header_bytes() const {
    if (version_minor >= 4) return kLasHeader14Bytes;
    if (version_minor == 3) return kLasHeader13Bytes;
    return kLasHeader12Bytes;
}

LasHeader parse_las_header(const unsigned char *bytes, size_t got) {
    // Zero-filled beyond what the file gave, so that every field has a value.
    unsigned char b[kLasHeader14Bytes] = {};
    std::memcpy(b, bytes, got < sizeof b ? got : sizeof b);

    LasHeader h;
    std::memcpy(h.signature, b + 0, 4);
    h.file_source_id = load_le16(b + 4);
    h.global_encoding = load_le16(b + 6);
    h.version_major = b[24];
    h.version_minor = b[25];
    h.header_size = load_le16(b + 94);
    h.offset_to_data = load_le32(b + 96);
    h.vlr_count = load_le32(b + 100);
    h.format_byte = b[104];
    h.record_length = load_le16(b + 105);
    h.legacy_point_count = load_le32(b + 107);
    for (int k = 0; k < 5; ++k) h.legacy_by_return[k] = load_le32(b + 111 + 4 * k);
    for (int a = 0; a < 3; ++a) {
        h.scale[a] = load_le_double(b + 131 + 8 * a);
        h.offset[a] = load_le_double(b + 155 + 8 * a);
        // Each maximum comes before its minimum: MaxX, MinX, MaxY, ...
        h.max[a] = load_le_double(b + 179 + 16 * a);
        h.min[a] = load_le_double(b + 187 + 16 * a);
    }
    if (h.version_minor >= 3) h.waveform_start = load_le64(b + 227);
    if (h.version_minor >= 4) {
        h.evlr_start = load_le64(b + 235);
        h.evlr_count = load_le32(b + 243);
        h.point_count_64 = load_le64(b + 247);
        for (int k = 0; k < 15; ++k) h.by_return_64[k] = load_le64(b + 255 + 8 * k);
    }
    return h;
}

LAS12Header las12_header_view(const LasHeader &h) {
    LAS12Header v{};
    std::memcpy(v.LASF, h.signature, 4);
    v.FileSourceID = h.file_source_id;
    v.GlobalEncoding = h.global_encoding;
    v.VersionMajor = h.version_major;
    v.VersionMinor = h.version_minor;
    v.HeaderSize = h.header_size;
    v.OffsetToData = h.offset_to_data;
    v.NumberOfVariableLengthRecords = h.vlr_count;
    v.PointDataFormatID = h.format_byte;
    v.PointDataRecordLength = h.record_length;
    v.NumberOfPointReturns = h.legacy_point_count;
    for (int k = 0; k < 5; ++k) v.NumberOfPointsByReturn[k] = h.legacy_by_return[k];
    v.XScaleFactor = h.scale[0];
    v.YScaleFactor = h.scale[1];
    v.ZScaleFactor = h.scale[2];
    v.XOffset = h.offset[0];
    v.YOffset = h.offset[1];
    v.ZOffset = h.offset[2];
    v.MaxX = h.max[0];
    v.MinX = h.min[0];
    v.MaxY = h.max[1];
    v.MinY = h.min[1];
    v.MaxZ = h.max[2];
    v.MinZ = h.min[2];
    return v;
}

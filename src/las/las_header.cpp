#include "las/las_header.h"

#include <cstring>

#include "io/byte_order.h"

size_t LasHeader::version_header_bytes() const {
    if (version_minor >= 4) return kLasHeader14Bytes;
    if (version_minor == 3) return kLasHeader13Bytes;
    return kLasHeader12Bytes;
}

LasHeader parse_las_header(const unsigned char *bytes, size_t got) {
    using namespace las_field;
    // Zero-filled beyond what the file gave, so that every field has a value.
    unsigned char b[kLasHeader14Bytes] = {};
    std::memcpy(b, bytes, got < sizeof b ? got : sizeof b);

    LasHeader h;
    std::memcpy(h.signature, b + kSignature, 4);
    h.file_source_id = load_le16(b + kFileSourceId);
    h.global_encoding = load_le16(b + kGlobalEncoding);
    h.version_major = b[kVersionMajor];
    h.version_minor = b[kVersionMinor];
    h.header_size = load_le16(b + kHeaderSize);
    h.offset_to_data = load_le32(b + kOffsetToData);
    h.vlr_count = load_le32(b + kVlrCount);
    h.format_byte = b[kPointFormat];
    h.record_length = load_le16(b + kRecordLength);
    h.legacy_point_count = load_le32(b + kLegacyPointCount);
    for (int k = 0; k < 5; ++k) h.legacy_by_return[k] = load_le32(b + kLegacyByReturn + 4 * k);
    for (int a = 0; a < 3; ++a) {
        h.scale[a] = load_le_double(b + kScale + 8 * a);
        h.offset[a] = load_le_double(b + kOffset + 8 * a);
        h.max[a] = load_le_double(b + max_of(a));
        h.min[a] = load_le_double(b + min_of(a));
    }
    if (h.version_minor >= 3) h.waveform_start = load_le64(b + kWaveformStart);
    if (h.version_minor >= 4) {
        h.evlr_start = load_le64(b + kEvlrStart);
        h.evlr_count = load_le32(b + kEvlrCount);
        h.point_count_64 = load_le64(b + kPointCount);
        for (int k = 0; k < 15; ++k) h.by_return_64[k] = load_le64(b + kByReturn + 8 * k);
    }
    return h;
}

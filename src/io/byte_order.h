// Explicit byte-order loads and stores.
//
// Output fields are stored byte by byte in the order their format fixes, so
// the files come out the same on any host; compilers turn these into plain
// moves (and a bswap for big-endian fields) on little-endian machines.  The
// loads read unaligned record bytes without any misaligned access.
#pragma once

#include <cstdint>
#include <cstring>

inline uint16_t swap_uint16(uint16_t v) { return static_cast<uint16_t>((v >> 8) | (v << 8)); }
inline int16_t swap_int16(int16_t v) { return static_cast<int16_t>(swap_uint16(static_cast<uint16_t>(v))); }
inline uint32_t swap_uint32(uint32_t v) {
    return (v >> 24) | ((v >> 8) & 0x0000FF00u) | ((v << 8) & 0x00FF0000u) | (v << 24);
}
inline int32_t swap_int32(int32_t v) { return static_cast<int32_t>(swap_uint32(static_cast<uint32_t>(v))); }
inline uint64_t swap_uint64(uint64_t v) {
    return (static_cast<uint64_t>(swap_uint32(static_cast<uint32_t>(v))) << 32) | swap_uint32(static_cast<uint32_t>(v >> 32));
}
inline int64_t swap_int64(int64_t v) { return static_cast<int64_t>(swap_uint64(static_cast<uint64_t>(v))); }

inline void store_le16(unsigned char *dst, uint16_t v) {
    dst[0] = static_cast<unsigned char>(v);
    dst[1] = static_cast<unsigned char>(v >> 8);
}
inline void store_le32(unsigned char *dst, uint32_t v) {
    dst[0] = static_cast<unsigned char>(v);
    dst[1] = static_cast<unsigned char>(v >> 8);
    dst[2] = static_cast<unsigned char>(v >> 16);
    dst[3] = static_cast<unsigned char>(v >> 24);
}
inline void store_be32(unsigned char *dst, uint32_t v) {
    dst[0] = static_cast<unsigned char>(v >> 24);
    dst[1] = static_cast<unsigned char>(v >> 16);
    dst[2] = static_cast<unsigned char>(v >> 8);
    dst[3] = static_cast<unsigned char>(v);
}
inline void store_le64(unsigned char *dst, uint64_t v) {
    store_le32(dst, static_cast<uint32_t>(v));
    store_le32(dst + 4, static_cast<uint32_t>(v >> 32));
}
inline void store_le_double(unsigned char *dst, double d) {
    uint64_t bits;
    std::memcpy(&bits, &d, sizeof bits);
    store_le64(dst, bits);
}

inline uint16_t load_le16(const unsigned char *src) { return static_cast<uint16_t>(src[0] | (src[1] << 8)); }
inline uint32_t load_le32(const unsigned char *src) {
    return static_cast<uint32_t>(src[0]) | (static_cast<uint32_t>(src[1]) << 8) |
           (static_cast<uint32_t>(src[2]) << 16) | (static_cast<uint32_t>(src[3]) << 24);
}
inline int32_t load_le_int32(const unsigned char *src) { return static_cast<int32_t>(load_le32(src)); }
inline uint64_t load_le64(const unsigned char *src) {
    return static_cast<uint64_t>(load_le32(src)) | (static_cast<uint64_t>(load_le32(src + 4)) << 32);
}
inline uint32_t load_be32(const unsigned char *src) {
    return (static_cast<uint32_t>(src[0]) << 24) | (static_cast<uint32_t>(src[1]) << 16) |
           (static_cast<uint32_t>(src[2]) << 8) | static_cast<uint32_t>(src[3]);
}
inline double load_le_double(const unsigned char *src) {
    const uint64_t bits = load_le64(src);
    double d;
    std::memcpy(&d, &bits, sizeof d);
    return d;
}

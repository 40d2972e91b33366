// Explicit byte-order loads and stores.
//
// Output fields are stored byte by byte in the order their format fixes, so
// the files come out the same on any host; compilers turn these into plain
// moves (and a bswap for big-endian fields) on little-endian machines.  The
// loads read unaligned record bytes without any misaligned access.
#pragma once

#include <bit>
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

// On a little-endian host (every host this program runs on: x86-64,
// arm64) a little-endian field is the value's own bytes, and a big-endian
// one its bytes reversed: one move each.  Other hosts take them byte by byte.
constexpr bool kLittleEndianHost = std::endian::native == std::endian::little;

inline void store_le16(unsigned char *dst, uint16_t v) {
    if constexpr (kLittleEndianHost) {
        std::memcpy(dst, &v, 2);
    } else {
        dst[0] = static_cast<unsigned char>(v);
        dst[1] = static_cast<unsigned char>(v >> 8);
    }
}
inline void store_le32(unsigned char *dst, uint32_t v) {
    if constexpr (kLittleEndianHost) {
        std::memcpy(dst, &v, 4);
    } else {
        dst[0] = static_cast<unsigned char>(v);
        dst[1] = static_cast<unsigned char>(v >> 8);
        dst[2] = static_cast<unsigned char>(v >> 16);
        dst[3] = static_cast<unsigned char>(v >> 24);
    }
}
inline void store_be32(unsigned char *dst, uint32_t v) {
    if constexpr (kLittleEndianHost) {
        v = __builtin_bswap32(v);
        std::memcpy(dst, &v, 4);
    } else {
        std::memcpy(dst, &v, 4);
    }
}
inline void store_le64(unsigned char *dst, uint64_t v) {
    store_le32(dst, static_cast<uint32_t>(v));
    store_le32(dst + 4, static_cast<uint32_t>(v >> 32));
}
inline void store_le_double(unsigned char *dst, double d) {
    uint64_t bits;
    std::memcpy(&bits, &d, sizeof bits);
    if constexpr (kLittleEndianHost) std::memcpy(dst, &bits, 8);
    else store_le64(dst, bits);
}

inline uint16_t load_le16(const unsigned char *src) {
    if constexpr (kLittleEndianHost) {
        uint16_t v;
        std::memcpy(&v, src, 2);
        return v;
    }
    return static_cast<uint16_t>(src[0] | (src[1] << 8));
}
inline uint32_t load_le32(const unsigned char *src) {
    if constexpr (kLittleEndianHost) {
        uint32_t v;
        std::memcpy(&v, src, 4);
        return v;
    }
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

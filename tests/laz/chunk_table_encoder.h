// LASzip's arithmetic encoder and integer compressor, as far as a chunk
// table needs them: the tests write tables no sample file has (variable
// chunks of a chosen size, damaged counts) the way LASzip writes them.
#pragma once

#include <cstdint>
#include <vector>

#include "laz/arithmetic_decoder.h"

namespace laz_test {

class ArithmeticEncoder {
public:
    std::vector<uint8_t> bytes;

    void encode_bit(laz::BitModel &m, uint32_t bit) {
        const uint32_t x = m.bit_0_prob * (length_ >> 13);
        if (bit == 0) {
            length_ = x;
            ++m.bit_0_count;
        } else {
            add(x);
            length_ -= x;
        }
        if (length_ < kMinLength) renormalise();
        if (--m.bits_until_update == 0) m.update();
    }

    void encode_symbol(laz::SymbolModel &m, uint32_t sym) {
        if (sym == m.last_symbol) {
            const uint32_t x = m.distribution[sym] * (length_ >> 15);
            add(x);
            length_ -= x;
        } else {
            length_ >>= 15;
            const uint32_t x = m.distribution[sym] * length_;
            add(x);
            length_ = m.distribution[sym + 1] * length_ - x;
        }
        if (length_ < kMinLength) renormalise();
        ++m.symbol_count[sym];
        if (--m.symbols_until_update == 0) m.update();
    }

    void write_bits(uint32_t bits, uint32_t value) {
        if (bits > 19) {
            write_bits(16, value & 0xFFFF);
            value >>= 16;
            bits -= 16;
        }
        length_ >>= bits;
        add(value * length_);
        if (length_ < kMinLength) renormalise();
    }

    void done() {
        const bool another_byte = length_ > 2 * kMinLength;
        if (another_byte) {
            add(kMinLength);
            length_ = kMinLength >> 1;
        } else {
            add(kMinLength >> 1);
            length_ = kMinLength >> 9;
        }
        renormalise();
        bytes.insert(bytes.end(), another_byte ? 3 : 2, 0);  // what the decoder reads ahead
    }

private:
    static constexpr uint32_t kMinLength = 0x01000000u;

    void add(uint32_t x) {
        const uint32_t before = base_;
        base_ += x;
        if (base_ < before)  // carry into the bytes written
            for (size_t i = bytes.size(); i-- > 0;)
                if (++bytes[i] != 0) break;
    }
    void renormalise() {
        do {
            bytes.push_back(static_cast<uint8_t>(base_ >> 24));
            base_ <<= 8;
        } while ((length_ <<= 8) < kMinLength);
    }

    uint32_t base_ = 0;
    uint32_t length_ = 0xFFFFFFFFu;
};

// The coded entries of a chunk table (after its version and count): per
// chunk its point count (if `with_points`) and its byte size.
inline std::vector<uint8_t> encode_chunk_entries(const std::vector<std::pair<uint32_t, uint32_t>> &entries,
                                                 bool with_points) {
    ArithmeticEncoder enc;
    std::vector<laz::SymbolModel> bits(2, laz::SymbolModel(33));
    laz::BitModel corrector_0;
    std::vector<laz::SymbolModel> correctors;
    for (uint32_t k = 1; k <= 32; ++k) correctors.emplace_back(1u << (k < 8 ? k : 8));
    auto compress = [&](uint32_t prediction, uint32_t real, int context) {
        const int64_t c = static_cast<int32_t>(real - prediction);
        uint32_t k = 0;
        for (uint64_t m = c <= 0 ? static_cast<uint64_t>(-c) : static_cast<uint64_t>(c - 1); m; m >>= 1) ++k;
        enc.encode_symbol(bits[context], k);
        if (k == 0) {
            enc.encode_bit(corrector_0, static_cast<uint32_t>(c));
        } else if (k < 32) {
            const uint32_t v = static_cast<uint32_t>(c < 0 ? c + ((int64_t{1} << k) - 1) : c - 1);
            if (k <= 8) {
                enc.encode_symbol(correctors[k - 1], v);
            } else {
                enc.encode_symbol(correctors[k - 1], v >> (k - 8));
                enc.write_bits(k - 8, v & ((1u << (k - 8)) - 1));
            }
        }
    };
    uint32_t points = 0, size = 0;
    for (const auto &[p, b] : entries) {
        if (with_points) compress(points, p, 0);
        compress(size, b, 1);
        points = p;
        size = b;
    }
    if (!entries.empty()) enc.done();
    return enc.bytes;
}

}  // namespace laz_test

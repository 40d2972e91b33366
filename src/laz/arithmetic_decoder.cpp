#include "laz/arithmetic_decoder.h"

#include <utility>

namespace laz {

void impossible_code() {
    TableDamage damage;
    damage.message = "its chunk table is damaged: it holds a code no LAZ writer produces";
    throw damage;
}

namespace {

constexpr uint32_t kMinLength = 0x01000000u;  // renormalise below 2^24
constexpr uint32_t kBitLengthShift = 13;      // bit model probabilities: 13 bits
constexpr uint32_t kBitMaxCount = 1u << kBitLengthShift;
constexpr uint32_t kSymbolLengthShift = 15;   // symbol model distributions: 15 bits
constexpr uint32_t kSymbolMaxCount = 1u << kSymbolLengthShift;
constexpr uint32_t kBitsHigh = 8;             // corrector bits coded with a model
constexpr uint32_t kCorrectorBits = 32;

}  // namespace

SymbolModel::SymbolModel(uint32_t count)
    : symbols(count), last_symbol(count - 1), distribution(count), symbol_count(count, 1) {
    if (count > 16) {
        uint32_t table_bits = 3;
        while (count > (1u << (table_bits + 2))) ++table_bits;
        table_size = 1u << table_bits;
        table_shift = kSymbolLengthShift - table_bits;
        decoder_table.assign(table_size + 2, 0);
    }
    update_cycle = count;
    update();
    symbols_until_update = update_cycle = (count + 6) >> 1;
}

void SymbolModel::update() {
    // Counts are halved when their total passes the maximum.
    if ((total_count += update_cycle) > kSymbolMaxCount) {
        total_count = 0;
        for (uint32_t n = 0; n < symbols; ++n) total_count += (symbol_count[n] = (symbol_count[n] + 1) >> 1);
    }
    const uint32_t scale = 0x80000000u / total_count;
    uint32_t sum = 0;
    uint32_t s = 0;
    for (uint32_t k = 0; k < symbols; ++k) {
        distribution[k] = (scale * sum) >> (31 - kSymbolLengthShift);
        sum += symbol_count[k];
        if (!decoder_table.empty()) {
            const uint32_t w = distribution[k] >> table_shift;
            while (s < w) decoder_table[++s] = k - 1;
        }
    }
    if (!decoder_table.empty()) {
        decoder_table[0] = 0;
        while (s <= table_size) decoder_table[++s] = symbols - 1;
    }
    update_cycle = (5 * update_cycle) >> 2;
    const uint32_t max_cycle = (symbols + 6) << 3;
    if (update_cycle > max_cycle) update_cycle = max_cycle;
    symbols_until_update = update_cycle;
}

void BitModel::update() {
    if ((bit_count += update_cycle) > kBitMaxCount) {
        bit_count = (bit_count + 1) >> 1;
        bit_0_count = (bit_0_count + 1) >> 1;
        if (bit_0_count == bit_count) ++bit_count;
    }
    const uint32_t scale = 0x80000000u / bit_count;
    bit_0_prob = (bit_0_count * scale) >> (31 - kBitLengthShift);
    update_cycle = (5 * update_cycle) >> 2;
    if (update_cycle > 64) update_cycle = 64;
    bits_until_update = update_cycle;
}

ArithmeticDecoder::ArithmeticDecoder(ByteSource source) : source_(std::move(source)) {
    for (int i = 0; i < 4; ++i) value_ = (value_ << 8) | source_();
}

void ArithmeticDecoder::renormalise() {
    do {
        value_ = (value_ << 8) | source_();
        length_ <<= 8;
    } while (length_ < kMinLength);
}

uint32_t ArithmeticDecoder::decode_bit(BitModel &m) {
    const uint32_t x = m.bit_0_prob * (length_ >> kBitLengthShift);
    const uint32_t bit = value_ >= x ? 1 : 0;
    if (bit == 0) {
        length_ = x;
        ++m.bit_0_count;
    } else {
        value_ -= x;
        length_ -= x;
    }
    if (length_ < kMinLength) renormalise();
    if (--m.bits_until_update == 0) m.update();
    return bit;
}

uint32_t ArithmeticDecoder::decode_symbol(SymbolModel &m) {
    uint32_t sym;
    uint32_t x;
    uint32_t y = length_;
    if (!m.decoder_table.empty()) {
        length_ >>= kSymbolLengthShift;
        const uint32_t dv = value_ / length_;
        const uint32_t t = dv >> m.table_shift;
        // value < length holds for every state an encoder can produce, so
        // t < table_size; anything else is damage.
        if (t + 1 >= m.decoder_table.size()) impossible_code();
        sym = m.decoder_table[t];
        uint32_t n = m.decoder_table[t + 1] + 1;
        while (n > sym + 1) {
            const uint32_t k = (sym + n) >> 1;
            if (m.distribution[k] > dv)
                n = k;
            else
                sym = k;
        }
        x = m.distribution[sym] * length_;
        if (sym != m.last_symbol) y = m.distribution[sym + 1] * length_;
    } else {
        x = sym = 0;
        length_ >>= kSymbolLengthShift;
        uint32_t n = m.symbols;
        uint32_t k = n >> 1;
        do {
            const uint32_t z = length_ * m.distribution[k];
            if (z > value_) {
                n = k;
                y = z;
            } else {
                sym = k;
                x = z;
            }
        } while ((k = (sym + n) >> 1) != sym);
    }
    if (y <= x || x > value_ || value_ >= y || sym >= m.symbols) impossible_code();
    value_ -= x;
    length_ = y - x;
    if (length_ < kMinLength) renormalise();
    ++m.symbol_count[sym];
    if (--m.symbols_until_update == 0) m.update();
    return sym;
}

uint32_t ArithmeticDecoder::read_short() {
    length_ >>= 16;
    const uint32_t sym = value_ / length_;
    value_ -= length_ * sym;
    if (length_ < kMinLength) renormalise();
    if (sym > 0xFFFFu) impossible_code();
    return sym;
}

uint32_t ArithmeticDecoder::read_bits(uint32_t bits) {
    if (bits > 19) {
        const uint32_t low = read_short();
        const uint32_t high = read_bits(bits - 16);
        return (high << 16) | low;
    }
    length_ >>= bits;
    const uint32_t sym = value_ / length_;
    value_ -= length_ * sym;
    if (length_ < kMinLength) renormalise();
    if (sym >= (1u << bits)) impossible_code();
    return sym;
}

IntegerDecompressor::IntegerDecompressor(ArithmeticDecoder &decoder, uint32_t contexts) : decoder_(decoder) {
    bits_.reserve(contexts);
    for (uint32_t i = 0; i < contexts; ++i) bits_.emplace_back(kCorrectorBits + 1);
    correctors_.reserve(kCorrectorBits);
    for (uint32_t k = 1; k <= kCorrectorBits; ++k) correctors_.emplace_back(1u << (k <= kBitsHigh ? k : kBitsHigh));
}

uint32_t IntegerDecompressor::decompress(uint32_t prediction, uint32_t context) {
    return prediction + static_cast<uint32_t>(read_corrector(bits_[context]));
}

int64_t IntegerDecompressor::read_corrector(SymbolModel &bits_model) {
    // The corrector's bit length k: 0 for a corrector of 0 or 1, 32 for the
    // most negative value; otherwise a corrector in +-[2^(k-1), 2^k - 1]
    // (+1 on the positive side).
    const uint32_t k = decoder_.decode_symbol(bits_model);
    if (k == 0) return decoder_.decode_bit(corrector_0_);
    if (k >= kCorrectorBits) return INT32_MIN;
    int64_t c;
    if (k <= kBitsHigh) {
        c = decoder_.decode_symbol(correctors_[k - 1]);
    } else {
        const uint32_t low_bits = k - kBitsHigh;
        const int64_t high = decoder_.decode_symbol(correctors_[k - 1]);
        c = (high << low_bits) | decoder_.read_bits(low_bits);
    }
    const int64_t half = int64_t{1} << (k - 1);
    return c >= half ? c + 1 : c - (2 * half - 1);
}

}  // namespace laz

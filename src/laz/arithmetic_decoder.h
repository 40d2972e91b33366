// The part of LASzip's arithmetic coder that the chunk table of a LAZ file
// needs: adaptive symbol and bit models, raw bits, and the integer
// decompressor that codes each value as a correction of a prediction.
//
// LASzip writes the chunk table's entries with this coder (an integer
// compressor of 32 bits with two contexts) and the codec that decodes the
// points does not hand the table out, so the table is decoded here.  All
// arithmetic is on unsigned 32-bit values, exactly as in LASzip's C++: the
// interval and the models evolve identically, so the values come out
// identical.  Bytes come from a ByteSource; a damaged table can only make
// the decoder ask for more bytes (the source refuses past its end) or
// reach a state no encoder produces (refused as an impossible code), never
// read out of bounds or loop without consuming input.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "base/failure.h"

namespace laz {

// Where coded bytes come from, one at a time.  Throws (a Failure) when the
// bytes end: the coder never reads past what the encoder wrote.
using ByteSource = std::function<uint8_t()>;

// Thrown when a chunk table's bytes cannot have come from an encoder, or
// end before the table does: damage the plan reports as such.
struct TableDamage : Failure {};

// Thrown by the decoder when the bytes cannot have come from the encoder.
[[noreturn]] void impossible_code();

// An adaptive model of a few symbols (LASzip's ArithmeticModel), with the
// decoder's look-up table for alphabets of more than 16 symbols.
class SymbolModel {
public:
    explicit SymbolModel(uint32_t symbols);
    void update();

    uint32_t symbols;
    uint32_t last_symbol;
    uint32_t table_size = 0;
    uint32_t table_shift = 0;
    uint32_t total_count = 0;
    uint32_t update_cycle = 0;
    uint32_t symbols_until_update = 0;
    std::vector<uint32_t> distribution;
    std::vector<uint32_t> symbol_count;
    std::vector<uint32_t> decoder_table;  // empty for small alphabets
};

// An adaptive model of one bit (LASzip's ArithmeticBitModel).
class BitModel {
public:
    void update();

    uint32_t bit_0_count = 1;
    uint32_t bit_count = 2;
    uint32_t bit_0_prob = 1u << 12;
    uint32_t update_cycle = 4;
    uint32_t bits_until_update = 4;
};

class ArithmeticDecoder {
public:
    // Reads the first four bytes.
    explicit ArithmeticDecoder(ByteSource source);

    uint32_t decode_bit(BitModel &model);
    uint32_t decode_symbol(SymbolModel &model);
    uint32_t read_bits(uint32_t bits);  // 1 to 32 raw bits

private:
    uint32_t read_short();
    void renormalise();

    ByteSource source_;
    uint32_t value_ = 0;
    uint32_t length_ = 0xFFFFFFFFu;
};

// LASzip's IntegerCompressor for 32-bit values without a range limit, on
// the decoding side: each value is the prediction plus a corrector whose
// bit length is coded with the context's model and whose bits follow, the
// high 8 with a model and the rest raw.
class IntegerDecompressor {
public:
    IntegerDecompressor(ArithmeticDecoder &decoder, uint32_t contexts);

    // The value, modulo 2^32.
    uint32_t decompress(uint32_t prediction, uint32_t context);

private:
    int64_t read_corrector(SymbolModel &bits_model);

    ArithmeticDecoder &decoder_;
    std::vector<SymbolModel> bits_;
    BitModel corrector_0_;
    std::vector<SymbolModel> correctors_;  // [k - 1] for correctors of k bits
};

}  // namespace laz

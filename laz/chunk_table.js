'use strict';
// The chunk table of a LAZ file: where each compressed chunk of points
// starts, and (for variable-size chunks) how many points it holds.
//
// LASzip stores it after the last chunk as two plain 32-bit words (version 0
// and the number of chunks) followed by the chunk sizes, compressed with its
// arithmetic coder: an integer compressor of 32 bits with two contexts, each
// size predicted by the one before (context 0: point counts, context 1: byte
// counts).  laz-perf decodes points but does not hand out the table, so this
// module holds the small part of the coder the table needs: the adaptive
// symbol and bit models, raw bits, and the integer corrector.  All arithmetic
// is on unsigned 32-bit values, as in the coder's C++.

const MIN_LENGTH = 0x01000000;  // renormalise below 2^24
const MAX_LENGTH = 0xffffffff;
const BM_LENGTH_SHIFT = 13;
const BM_MAX_COUNT = 1 << BM_LENGTH_SHIFT;
const DM_LENGTH_SHIFT = 15;
const DM_MAX_COUNT = 1 << DM_LENGTH_SHIFT;

class TableError extends Error {}

// An adaptive model of `symbols` symbols, with a decoder table for large
// alphabets.
class SymbolModel {
  constructor(symbols) {
    this.symbols = symbols;
    this.lastSymbol = symbols - 1;
    this.tableSize = 0;
    this.tableShift = 0;
    this.decoderTable = null;
    if (symbols > 16) {
      let tableBits = 3;
      while (symbols > 1 << (tableBits + 2)) ++tableBits;
      this.tableSize = 1 << tableBits;
      this.tableShift = DM_LENGTH_SHIFT - tableBits;
      this.decoderTable = new Uint32Array(this.tableSize + 2);
    }
    this.distribution = new Uint32Array(symbols);
    this.symbolCount = new Uint32Array(symbols).fill(1);
    this.totalCount = 0;
    this.updateCycle = symbols;
    this.update();
    this.symbolsUntilUpdate = this.updateCycle = (symbols + 6) >>> 1;
  }

  update() {
    // Counts are halved when their total passes the maximum.
    if ((this.totalCount += this.updateCycle) > DM_MAX_COUNT) {
      this.totalCount = 0;
      for (let n = 0; n < this.symbols; n++) {
        this.symbolCount[n] = (this.symbolCount[n] + 1) >>> 1;
        this.totalCount += this.symbolCount[n];
      }
    }
    const scale = Math.floor(0x80000000 / this.totalCount);
    let sum = 0;
    let s = 0;
    for (let k = 0; k < this.symbols; k++) {
      // scale * sum stays below 2^32: exact in a double.
      this.distribution[k] = Math.floor((scale * sum) / 2 ** (31 - DM_LENGTH_SHIFT));
      sum += this.symbolCount[k];
      if (this.decoderTable) {
        const w = this.distribution[k] >>> this.tableShift;
        while (s < w) this.decoderTable[++s] = k - 1;
      }
    }
    if (this.decoderTable) {
      this.decoderTable[0] = 0;
      while (s <= this.tableSize) this.decoderTable[++s] = this.symbols - 1;
    }
    this.updateCycle = (5 * this.updateCycle) >>> 2;
    const maxCycle = (this.symbols + 6) << 3;
    if (this.updateCycle > maxCycle) this.updateCycle = maxCycle;
    this.symbolsUntilUpdate = this.updateCycle;
  }
}

class BitModel {
  constructor() {
    this.bit0Count = 1;
    this.bitCount = 2;
    this.bit0Prob = 1 << (BM_LENGTH_SHIFT - 1);
    this.updateCycle = this.bitsUntilUpdate = 4;
  }

  update() {
    if ((this.bitCount += this.updateCycle) > BM_MAX_COUNT) {
      this.bitCount = (this.bitCount + 1) >>> 1;
      this.bit0Count = (this.bit0Count + 1) >>> 1;
      if (this.bit0Count === this.bitCount) ++this.bitCount;
    }
    const scale = Math.floor(0x80000000 / this.bitCount);
    this.bit0Prob = Math.floor((this.bit0Count * scale) / 2 ** (31 - BM_LENGTH_SHIFT));
    this.updateCycle = Math.min((5 * this.updateCycle) >>> 2, 64);
    this.bitsUntilUpdate = this.updateCycle;
  }
}

class ArithmeticDecoder {
  constructor(bytes) {
    this.bytes = bytes;
    this.position = 0;
    this.length = MAX_LENGTH;
    this.value = 0;
    for (let i = 0; i < 4; i++) this.value = (this.value * 256 + this.byte()) >>> 0;
  }

  byte() {
    if (this.position >= this.bytes.length) throw new TableError('the chunk table ends early');
    return this.bytes[this.position++];
  }

  renormalise() {
    do {
      this.value = ((this.value << 8) | this.byte()) >>> 0;
      this.length = (this.length << 8) >>> 0;
    } while (this.length < MIN_LENGTH);
  }

  decodeBit(m) {
    const x = m.bit0Prob * (this.length >>> BM_LENGTH_SHIFT);
    const bit = this.value >= x ? 1 : 0;
    if (bit === 0) {
      this.length = x;
      ++m.bit0Count;
    } else {
      this.value -= x;
      this.length -= x;
    }
    if (this.length < MIN_LENGTH) this.renormalise();
    if (--m.bitsUntilUpdate === 0) m.update();
    return bit;
  }

  decodeSymbol(m) {
    let sym;
    let x;
    let y = this.length;
    if (m.decoderTable) {
      this.length >>>= DM_LENGTH_SHIFT;
      const dv = Math.floor(this.value / this.length);
      const t = dv >>> m.tableShift;
      if (t + 1 >= m.decoderTable.length) throw new TableError('the chunk table holds an impossible code');
      sym = m.decoderTable[t];
      let n = m.decoderTable[t + 1] + 1;
      while (n > sym + 1) {
        const k = (sym + n) >>> 1;
        if (m.distribution[k] > dv) n = k;
        else sym = k;
      }
      x = m.distribution[sym] * this.length;
      if (sym !== m.lastSymbol) y = m.distribution[sym + 1] * this.length;
    } else {
      x = sym = 0;
      this.length >>>= DM_LENGTH_SHIFT;
      let n = m.symbols;
      let k = n >>> 1;
      do {
        const z = this.length * m.distribution[k];
        if (z > this.value) {
          n = k;
          y = z;
        } else {
          sym = k;
          x = z;
        }
      } while ((k = (sym + n) >>> 1) !== sym);
    }
    if (y <= x || x > this.value || this.value >= y) throw new TableError('the chunk table holds an impossible code');
    this.value -= x;
    this.length = y - x;
    if (this.length < MIN_LENGTH) this.renormalise();
    ++m.symbolCount[sym];
    if (--m.symbolsUntilUpdate === 0) m.update();
    return sym;
  }

  readBits(bits) {
    if (bits > 19) {
      const low = this.readShort();
      return this.readBits(bits - 16) * 65536 + low;
    }
    this.length = Math.floor(this.length / 2 ** bits);
    const sym = Math.floor(this.value / this.length);
    this.value -= this.length * sym;
    if (this.length < MIN_LENGTH) this.renormalise();
    return sym;
  }

  readShort() {
    return this.readBits(16);
  }
}

// LASzip's integer compressor for 32-bit values (no range limit), whose
// corrections of 1 to 8 bits are coded whole and wider ones as their high 8
// bits followed by raw low bits.
class IntegerDecompressor {
  constructor(decoder, contexts) {
    this.decoder = decoder;
    this.bitsHigh = 8;
    this.mBits = [];
    for (let i = 0; i < contexts; i++) this.mBits.push(new SymbolModel(33));
    this.mCorrector = [new BitModel()];
    for (let i = 1; i <= 32; i++) this.mCorrector.push(new SymbolModel(1 << Math.min(i, this.bitsHigh)));
  }

  decompress(prediction, context) {
    return (prediction + this.readCorrector(this.mBits[context])) | 0;
  }

  readCorrector(mBits) {
    const k = this.decoder.decodeSymbol(mBits);
    if (k === 0) return this.decoder.decodeBit(this.mCorrector[0]);
    if (k === 32) return -0x80000000;
    let c;
    if (k <= this.bitsHigh) {
      c = this.decoder.decodeSymbol(this.mCorrector[k]);
    } else {
      const k1 = k - this.bitsHigh;
      c = this.decoder.decodeSymbol(this.mCorrector[k]) * 2 ** k1 + this.decoder.readBits(k1);
    }
    // Corrections of k bits are 2^(k-1) .. 2^k - 1 and their negatives.
    return c >= 2 ** (k - 1) ? c + 1 : c - (2 ** k - 1);
  }
}

// Decodes the compressed part of the table: `count` chunks, each with its
// point count when `variable` (chunk size 0xFFFFFFFF in the laszip record),
// and its size in bytes.  Returns {points: [...] | null, bytes: [...]}.
function decodeChunkSizes(bytes, count, variable) {
  const decoder = new ArithmeticDecoder(bytes);
  const ic = new IntegerDecompressor(decoder, 2);
  const points = variable ? [] : null;
  const sizes = [];
  for (let i = 0; i < count; i++) {
    if (variable) points.push(ic.decompress(i ? points[i - 1] : 0, 0) >>> 0);
    sizes.push(ic.decompress(i ? sizes[i - 1] : 0, 1) >>> 0);
  }
  return { points, bytes: sizes };
}

module.exports = { decodeChunkSizes, TableError };

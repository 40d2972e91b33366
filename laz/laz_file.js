'use strict';
// A LAZ file (LASzip-compressed LAS 1.0-1.2, point formats 0-3) and the LAS
// file it compresses.
//
// A LAZ file is a LAS file whose point format byte carries the compression
// bit (128), with one more variable-length record ("laszip encoded", 22204)
// describing the compressor, and compressed points where the records would
// be: at OffsetToData an 8-byte offset of the chunk table, then the chunks,
// each compressed on its own, then the chunk table.  The LAS file is the
// same bytes up to OffsetToData without the laszip record (OffsetToData and
// the record count lowered to match, the compression bit cleared), followed
// by the decompressed records.  Every other record is kept as it is, in
// place, so the coordinate system Pelmora reads from them is the LAZ file's.

const fs = require('fs');
const { decodeChunkSizes, TableError } = require('./chunk_table');

const HEADER_SIZE = 227;          // the LAS 1.0-1.2 public header
const VLR_HEADER_SIZE = 54;
const RECORD_LENGTH = [20, 28, 26, 34];
const MAX_SHAPEFILE_POINTS = 119304644;
const LASZIP_USER_ID = 'laszip encoded';
const LASZIP_RECORD_ID = 22204;
const VARIABLE_CHUNKS = 0xffffffff;
// LASzip item types of the records of formats 0-3, all at item version 2,
// the one laz-perf decodes: POINT10, GPSTIME11, RGB12.
const ITEM_POINT10 = 6;
const ITEM_GPSTIME11 = 7;
const ITEM_RGB12 = 8;
const BATCH_POINTS = 65536;       // records decoded before each write

// A refusal or failure with the message the user sees.
class LazError extends Error {}

function digit(value) {
  // As Pelmora shows version and format numbers: the character '0' + value.
  return String.fromCharCode((48 + value) & 0xff);
}

function readAt(fd, length, position) {
  const buffer = Buffer.alloc(length);
  let got = 0;
  while (got < length) {
    const n = fs.readSync(fd, buffer, got, length - got, position + got);
    if (n === 0) break;
    got += n;
  }
  return got === length ? buffer : buffer.subarray(0, got);
}

function expectedItems(format, recordLength) {
  const items = [[ITEM_POINT10, 20]];
  if (format === 1 || format === 3) items.push([ITEM_GPSTIME11, 8]);
  if (format === 2 || format === 3) items.push([ITEM_RGB12, 6]);
  return recordLength === RECORD_LENGTH[format] ? items : null;
}

// Reads and checks everything about NAME before any file is written: the
// header, the laszip record and the chunk table.  Throws LazError.
function inspect(name, fd) {
  const size = fs.fstatSync(fd).size;
  let header;
  try {
    header = readAt(fd, HEADER_SIZE, 0);
  } catch (e) {
    header = Buffer.alloc(0);   // a directory opens but does not read
  }
  if (header.length < HEADER_SIZE || header.toString('latin1', 0, 4) !== 'LASF')
    throw new LazError(`${name} is not a valid .laz file`);

  const major = header[24];
  const minor = header[25];
  const formatByte = header[104];
  const compressed = (formatByte & 0xc0) !== 0;
  const format = compressed ? formatByte & 0x3f : formatByte;
  if (major !== 1) throw new LazError(`Cannot handle las files of version ${digit(major)}.x (${name})`);
  if (minor > 2)
    throw new LazError(
      `${name} holds LAS ${major}.${minor} content (point format ${format}): ` +
        'only LAZ files of LAS 1.0, 1.1 or 1.2 with point formats 0-3 are read');
  if (!compressed)
    throw new LazError(
      `${name} is not compressed: its point format byte (${formatByte}) lacks the LAZ bit (128); ` +
        'it is a LAS file, which Pelmora converts under a .las name');
  if (format > 3)
    throw new LazError(
      `${name} holds LAS ${major}.${minor} points of format ${format}: only point formats 0-3 are read`);
  if (minor < 2 && format >= 2)
    throw new LazError(`${name} holds LAS 1.${minor} with point format ${format}, which LAS 1.${minor} does not have`);
  const recordLength = header.readUInt16LE(105);
  const items = expectedItems(format, recordLength);
  if (!items)
    throw new LazError(
      `Data format of ${name} (${digit(format)}) is incompatible with Length of Data Record (${recordLength})`);
  const points = header.readUInt32LE(107);
  if (points > MAX_SHAPEFILE_POINTS)
    throw new LazError(
      `${name} holds ${points} point records; a shapefile can hold at most ${MAX_SHAPEFILE_POINTS} PointZ records`);

  const headerSize = header.readUInt16LE(94);
  const offsetToData = header.readUInt32LE(96);
  const vlrCount = header.readUInt32LE(100);
  const damaged = (what) => new LazError(`${name} is damaged or cut short: ${what}`);
  if (headerSize < HEADER_SIZE || offsetToData < headerSize)
    throw damaged(`HeaderSize ${headerSize} and OffsetToData ${offsetToData} leave no room for the header`);
  if (offsetToData + 8 > size)
    throw damaged(`the compressed points start at byte ${offsetToData}, beyond the end of the file (${size} bytes)`);

  // The laszip record, wherever it is among the records.
  let laszip = null;
  let position = headerSize;
  for (let i = 0; i < vlrCount && position + VLR_HEADER_SIZE <= offsetToData; i++) {
    const vlr = readAt(fd, VLR_HEADER_SIZE, position);
    const userId = vlr.toString('latin1', 2, 18).replace(/\0.*$/s, '');
    const recordId = vlr.readUInt16LE(18);
    const length = vlr.readUInt16LE(20);
    if (userId === LASZIP_USER_ID && recordId === LASZIP_RECORD_ID) {
      if (position + VLR_HEADER_SIZE + length > offsetToData) break;
      laszip = { start: position, end: position + VLR_HEADER_SIZE + length,
                 data: readAt(fd, length, position + VLR_HEADER_SIZE) };
      break;
    }
    position += VLR_HEADER_SIZE + length;
  }
  if (!laszip) throw new LazError(`${name} is not a valid .laz file: it has no laszip record before its points`);

  const d = laszip.data;
  if (d.length < 34 || d.length < 34 + 6 * d.readUInt16LE(32))
    throw damaged(`its laszip record is ${d.length} bytes long, too short for what it announces`);
  const compressor = d.readUInt16LE(0);
  const coder = d.readUInt16LE(2);
  const chunkSize = d.readUInt32LE(12);
  const itemCount = d.readUInt16LE(32);
  if (compressor !== 2 || coder !== 0)
    throw new LazError(
      `${name} uses LASzip compressor ${compressor} with coder ${coder}: only chunked point-wise ` +
        'compression (compressor 2, as LASzip 2 and later write for LAS 1.0-1.2) is read');
  const found = [];
  for (let i = 0; i < itemCount; i++)
    found.push([d.readUInt16LE(34 + 6 * i), d.readUInt16LE(36 + 6 * i), d.readUInt16LE(38 + 6 * i)]);
  const describe = (list) => list.map((it) => `${it[0]}/${it[1]}${it.length > 2 ? `/v${it[2]}` : ''}`).join(' ');
  const matches = found.length === items.length &&
    found.every((it, i) => it[0] === items[i][0] && it[1] === items[i][1] && it[2] === 2);
  if (!matches)
    throw new LazError(
      `${name}: its laszip record lists the items ${describe(found)} (type/size/version), not those of ` +
        `point format ${format} at version 2 (${describe(items.map((it) => [...it, 2]))}) that the codec decodes`);

  // The chunk table: its offset comes first in the point data; -1 (a writer
  // that could not seek back) means it is in the last 8 bytes of the file.
  const chunksStart = offsetToData + 8;
  let tableOffset = Number(readAt(fd, 8, offsetToData).readBigInt64LE(0));
  if (tableOffset === -1 && size >= chunksStart + 8) tableOffset = Number(readAt(fd, 8, size - 8).readBigInt64LE(0));
  if (!(tableOffset >= chunksStart && tableOffset + 8 <= size))
    throw damaged(`its chunk table is said to be at byte ${tableOffset}, outside the file's ${size} bytes`);
  const tableHead = readAt(fd, 8, tableOffset);
  const version = tableHead.readUInt32LE(0);
  const chunkCount = tableHead.readUInt32LE(4);
  const variable = chunkSize === VARIABLE_CHUNKS;
  if (version !== 0) throw damaged(`its chunk table has version ${version}, not 0`);
  if (!variable && chunkSize === 0) throw damaged('its laszip record gives a chunk size of 0 points');
  if (!variable && chunkCount !== Math.ceil(points / chunkSize))
    throw damaged(`its chunk table lists ${chunkCount} chunks for ${points} points in chunks of ${chunkSize}`);
  // Each entry takes at least a few bits: a count beyond the bytes is damage.
  const tableBytes = readAt(fd, Math.min(size - tableOffset - 8, 16 * chunkCount + 64), tableOffset + 8);
  let sizes;
  try {
    sizes = chunkCount ? decodeChunkSizes(tableBytes, chunkCount, variable) : { points: [], bytes: [] };
  } catch (e) {
    if (e instanceof TableError) throw damaged(e.message);
    throw e;
  }
  const chunks = [];
  let at = chunksStart;
  let total = 0;
  for (let i = 0; i < chunkCount; i++) {
    const count = variable ? sizes.points[i] : Math.min(chunkSize, points - i * chunkSize);
    const bytes = sizes.bytes[i];
    if ((count > 0 && bytes === 0) || at + bytes > tableOffset)
      throw damaged(`its chunk table gives chunk ${i + 1} of ${chunkCount} ${bytes} bytes at byte ${at}, ` +
                    `past the start of the table (byte ${tableOffset})`);
    chunks.push({ offset: at, bytes, points: count });
    at += bytes;
    total += count;
  }
  if (total !== points) throw damaged(`its chunk table holds ${total} points, its header announces ${points}`);
  // LASzip writes the table right after the last chunk: a gap means sizes
  // that are wrong, and points that would be decoded from the wrong bytes.
  if (at !== tableOffset)
    throw damaged(`its chunk table accounts for ${at - chunksStart} bytes of compressed points, ` +
                  `the file holds ${tableOffset - chunksStart} before the table`);

  return { name, size, header, format, recordLength, points, offsetToData, vlrCount, laszip, chunks };
}

// Writes all of `buffer` at the file handle's position (a write may be short).
async function writeAll(handle, buffer) {
  for (let done = 0; done < buffer.length;) {
    const { bytesWritten } = await handle.write(buffer, done, buffer.length - done, null);
    done += bytesWritten;
  }
}

// Writes the LAS file that `laz` (from inspect) compresses to the file
// handle `handle`, with `codec` (a laz-perf module).  Memory holds one
// compressed chunk and one batch of records at a time.  `onProgress(done)`
// is called after each batch; `stopped()` is asked between batches, and a
// true answer ends the decoding (returns false).
async function decompress(laz, fd, handle, codec, onProgress, stopped) {
  const out = { write: (buffer) => writeAll(handle, buffer) };
  const removed = laz.laszip.end - laz.laszip.start;
  // The bytes before the points, less the laszip record, in pieces.
  const head = Buffer.from(laz.header);
  head.writeUInt32LE(laz.offsetToData - removed, 96);
  head.writeUInt32LE(laz.vlrCount - 1, 100);
  head[104] = laz.format;
  await out.write(head);
  const copy = async (from, to) => {
    for (let p = from; p < to; p += 1 << 20) await out.write(readAt(fd, Math.min(1 << 20, to - p), p));
  };
  await copy(HEADER_SIZE, laz.laszip.start);
  await copy(laz.laszip.end, laz.offsetToData);

  const length = laz.recordLength;
  const batchPoints = Math.min(BATCH_POINTS, Math.max(1, laz.points));
  let input = 0;              // the compressed chunk, in the codec's memory
  let inputSize = 0;
  const output = codec._malloc(batchPoints * length);
  if (!output) throw new LazError(`Not enough memory to decode ${laz.name}`);
  let done = 0;
  let pending = null;         // the previous batch's write, overlapping this batch's decoding
  try {
    for (let c = 0; c < laz.chunks.length; c++) {
      const chunk = laz.chunks[c];
      if (chunk.bytes > inputSize) {
        if (input) codec._free(input);
        inputSize = 0;
        input = codec._malloc(chunk.bytes);
        if (!input)
          throw new LazError(`Not enough memory to decode ${laz.name}: chunk ${c + 1} holds ${chunk.bytes} bytes`);
        inputSize = chunk.bytes;
      }
      codec.HEAPU8.set(readAt(fd, chunk.bytes, chunk.offset), input);
      const decoder = new codec.ChunkDecoder();
      // What the codec throws (a C++ exception, a WebAssembly trap) means
      // the compressed bytes are not what the laszip record says.
      const decode = (what) => {
        try {
          what();
        } catch (e) {
          throw new LazError(`${laz.name} is damaged: the codec could not decode chunk ${c + 1} of ` +
                             `${laz.chunks.length}${e instanceof Error ? ` (${e.message})` : ''}`);
        }
      };
      try {
        decode(() => decoder.open(laz.format, length, input));
        for (let left = chunk.points; left > 0;) {
          const n = Math.min(left, batchPoints);
          decode(() => {
            for (let i = 0; i < n; i++) decoder.getPoint(output + i * length);
          });
          // The heap may have grown (and moved) since the last batch.
          const records = Buffer.from(codec.HEAPU8.subarray(output, output + n * length));
          if (pending) await pending;
          pending = out.write(records);
          left -= n;
          done += n;
          onProgress(done);
          if (stopped()) return false;
        }
      } finally {
        decoder.delete();
      }
    }
    if (pending) await pending;
    pending = null;
  } finally {
    if (pending) await pending.catch(() => {});
    if (input) codec._free(input);
    codec._free(output);
  }
  return true;
}

module.exports = { inspect, decompress, LazError };

#!/usr/bin/env node
'use strict';
// laz-decoder: the LAZ decoding process of pelmora-convert.
//
// pelmora-convert reads a LAZ file's header, records and chunk table itself
// and starts this program to turn the compressed chunks into uncompressed
// LAS point records.  It is a filter with one job and no options; the wire
// between the two (the descriptor of the LAZ file, the job on stdin, the
// records on stdout, the line on stderr, the exit codes and the caps) is
// set down once, in wire.json beside this script, which both sides read.
// The LAZ file is read with positional reads only (its offset belongs to
// pelmora-convert) and nothing is ever opened by name.  The job is read whole
// before anything is written, so the caller may write it and only then
// start reading.
//
// Decoding: one worker thread per core (at most as many as chunks, and at
// most the job's number of workers), each with its own instance of the codec (laz-perf,
// WebAssembly).  A worker reads a chunk's bytes straight into its codec's
// memory, decodes the records into a buffer there and posts them in parts
// of at most kPartBytes; the main thread only writes the parts in file
// order.  A worker may have at most kCredits parts posted and not yet
// written, so memory stays bounded whatever the chunk sizes, and a slow
// reader of stdout holds the workers back instead of filling memory.
//
// Checked chunks (verify 1 in the job).  The codec takes a pointer to a
// chunk and no length, and decodes as many points as it is asked for: a
// count that lies makes it decode invented points from the bytes after the
// chunk, silently.  So a checked chunk is decoded twice, first with zeros
// after its bytes, keeping only a digest of each part, then with 0xFF
// after them, each part compared with its digest before it is posted.  A
// sound chunk never reads past its end, so both give the same records;
// zeros and 0xFF differ in every bit, so an arithmetic coder that reads
// even one byte past the end almost always decodes something else.  The
// codec reads each layer of a layered chunk (formats 6-8) from a copy of
// the layer's bytes and never looks past it: there the caller checks the
// count each chunk carries instead.

const crypto = require('crypto');
const fs = require('fs');
const os = require('os');
const path = require('path');
const worker = require('worker_threads');

const wire = loadWire();
const EXIT = wire.exit_codes;
const LAZ_FD = wire.laz_fd;

const kPartBytes = 4 << 20;     // records per message: at most this many bytes
const kCredits = 2;             // parts a worker may have waiting to be written
const kSlackBytes = 4096;       // filler after each chunk: what a chunk that reads
                                // past its end meets first, whatever follows it
const kFiller = 0x00;           // after every chunk
const kCheckFiller = 0xFF;      // after a checked chunk, its second time

// Shared between the threads: [0] stop flag, [1 + w] parts of worker w written.
const kStop = 0;

// The wire's constants.  Without them nothing can be said in its terms:
// the status is 5, the wire's "internal" (a fault of the installation).
function loadWire() {
  try {
    return require('./wire.json');
  } catch (e) {
    try {
      fs.writeSync(2, `laz-decoder: wire.json cannot be loaded beside ${__filename}: ` +
                      `${String(e.message).split('\n')[0]}\n`);
    } catch (ignored) {
      // nobody to tell
    }
    process.exit(5);
  }
}

function sleep(ms, view, index) {
  Atomics.wait(view, index, Atomics.load(view, index), ms);
}

function errorText(e) {
  // The codec is built without C++ exception support: a throw inside it
  // (bytes its coder cannot have written) arrives as this text.
  if (e instanceof Error && /Exception catching is disabled/.test(e.message))
    return 'the codec met bytes its coder cannot have written';
  if (e instanceof Error) return e.message;
  // A C++ exception reaches JavaScript as the number of its object.
  return typeof e === 'number' ? `C++ exception ${e}` : String(e);
}

// ---- Worker thread: the codec ----------------------------------------------

// The codec's C++ methods are reached from JavaScript through embind, whose
// generated wrappers check their arguments and `this` on every call: about
// 100 ns, a fifth of decoding a point.  The codec is instantiated here with
// its registrations watched, so that ChunkDecoder.getPoint can be called
// through the function embind itself calls (an invoker in the table, with
// the member pointer it was registered with), the same code without the
// checks.  If anything about it is not as expected, the embind method is
// used instead.
function instantiateWatching(wasmModule, registered) {
  return (info, receive) => {
    const env = info.env;
    const names = new Map();   // embind's class type -> class name
    let memory = null;
    const text = (at) => {
      const bytes = new Uint8Array(memory.buffer);
      let end = at;
      while (bytes[end]) ++end;
      return Buffer.from(bytes.subarray(at, end)).toString('latin1');
    };
    const registerClass = env._embind_register_class;
    const registerMethod = env._embind_register_class_function;
    if (typeof registerClass === 'function' && typeof registerMethod === 'function') {
      env._embind_register_class = function (rawType, ...rest) {
        // The class name is the 11th argument (after the type, its pointer
        // types, base, downcast and upcast functions).
        if (memory) names.set(rawType, text(rest[9]));
        return registerClass.call(this, rawType, ...rest);
      };
      env._embind_register_class_function = function (rawClass, methodName, argCount, argTypes, signature, invoker,
                                                      context, ...rest) {
        if (memory) registered.set(`${names.get(rawClass)}.${text(methodName)}`, { signature: text(signature), invoker, context });
        return registerMethod.call(this, rawClass, methodName, argCount, argTypes, signature, invoker, context, ...rest);
      };
    }
    const instance = new WebAssembly.Instance(wasmModule, info);
    memory = instance.exports.memory;
    receive(instance, wasmModule);
    return instance.exports;
  };
}

// point(decoder, at): the next record of `decoder` to `at`.
function pointReader(codec, registered, table) {
  const method = registered.get('ChunkDecoder.getPoint');
  const call = method && method.signature === 'viii' && table ? table.get(method.invoker) : null;
  if (typeof call !== 'function') return (decoder, at) => decoder.getPoint(at);
  const context = method.context;
  return (decoder, at) => call(context, decoder.$$.ptr, at);
}

// The codec, its point reader and what it would have printed (never on
// stdout); throws when it cannot be instantiated.
async function loadCodec(wasmModule) {
  const messages = [];
  const registered = new Map();
  let table = null;
  const { createLazPerf } = require('laz-perf');
  const options = { print: () => {}, printErr: (text) => messages.push(text) };
  if (wasmModule instanceof WebAssembly.Module) {
    const instantiate = instantiateWatching(wasmModule, registered);
    options.instantiateWasm = (info, receive) => {
      const exports = instantiate(info, receive);
      table = exports.__indirect_function_table || null;
      return exports;
    };
  }
  const codec = await createLazPerf(options);
  let point;
  try {
    point = pointReader(codec, registered, table);
  } catch (e) {
    point = (decoder, at) => decoder.getPoint(at);
  }
  return { codec, point, messages };
}

// ---- Worker thread: decoding chunks ----------------------------------------

class ChunkWorker {
  constructor(data, loaded) {
    Object.assign(this, loaded);   // codec, point, messages
    this.format = data.format;
    this.recordLength = data.recordLength;
    this.partPoints = data.partPoints;
    this.shared = new Int32Array(data.control);
    this.slots = data.slots;
    this.slotBytes = data.partPoints * data.recordLength;
    this.self = data.index;
    this.input = 0;               // the chunk's bytes and the filler, in codec memory
    this.inputSize = 0;
    this.output = 0;              // one part of records, in codec memory
    this.outputPoints = 0;
    this.sent = 0;                // parts posted
  }

  post(message) {
    worker.parentPort.postMessage(message);
  }

  fatal(code, message) {
    this.post({ type: 'fatal', code, message });
  }

  allocate(bytes) {
    const at = this.codec._malloc(bytes);
    if (!at) throw new RangeError(`the codec has no room for ${bytes} bytes`);
    return at;
  }

  // Room in codec memory for the chunk and one part of its records.
  reserve(job) {
    if (job.bytes + kSlackBytes > this.inputSize) {
      if (this.input) this.codec._free(this.input);
      this.input = 0;
      this.inputSize = 0;
      this.input = this.allocate(job.bytes + kSlackBytes);
      this.inputSize = job.bytes + kSlackBytes;
    }
    const wanted = Math.min(job.points, this.partPoints);
    if (wanted > this.outputPoints) {
      if (this.output) this.codec._free(this.output);
      this.output = 0;
      this.outputPoints = 0;
      this.output = this.allocate(wanted * this.recordLength);
      this.outputPoints = wanted;
    }
  }

  // The chunk's bytes into codec memory; false (the run failed) when the
  // file does not hold them.
  readChunk(job, where) {
    const { offset, bytes } = job;
    // The heap's views change when it grows: taken after allocating.
    const heap = this.codec.HEAPU8;
    for (let got = 0; got < bytes;) {
      let n;
      try {
        n = fs.readSync(LAZ_FD, heap, this.input + got, bytes - got, offset + got);
      } catch (e) {
        if (e.code === 'EAGAIN' || e.code === 'EINTR') continue;
        this.fatal(EXIT.damaged, `${where} cannot be read: ${errorText(e)}`);
        return false;
      }
      if (n === 0) {
        this.fatal(EXIT.damaged, `${where} cannot be read: the file ends after ${got} of its bytes`);
        return false;
      }
      got += n;
    }
    return true;
  }

  fillAfter(job, value) {
    this.codec.HEAPU8.fill(value, this.input + job.bytes, this.input + job.bytes + kSlackBytes);
  }

  // The records of `n` points decoded last, in codec memory.
  part(n) {
    return this.codec.HEAPU8.subarray(this.output, this.output + n * this.recordLength);
  }

  digestOfPart(n) {
    return crypto.createHash('sha1').update(this.part(n)).digest();
  }

  // Decodes the chunk's points part after part into `output`, calling
  // onPart(n, left) after each (n points decoded, left still to come); it
  // returns false to stop.  Returns what the codec threw, or null.
  decodeParts(job, onPart) {
    let decoder = null;
    try {
      decoder = new this.codec.ChunkDecoder();
      decoder.open(this.format, this.recordLength, this.input);
      for (let left = job.points; left > 0;) {
        if (Atomics.load(this.shared, kStop)) return null;
        const n = Math.min(left, this.partPoints);
        for (let i = 0; i < n; i++) this.point(decoder, this.output + i * this.recordLength);
        left -= n;
        if (!onPart(n, left)) return null;
      }
      return null;
    } catch (e) {
      return e;
    } finally {
      if (decoder) {
        try {
          decoder.delete();
        } catch (e) {
          // an instance that aborted cannot free anything
        }
      }
    }
  }

  // Waits until a part of this worker's has been written, so that the slot
  // it used may be filled again; false when the run stops meanwhile.
  waitForCredit() {
    for (;;) {
      if (Atomics.load(this.shared, kStop)) return false;
      const written = Atomics.load(this.shared, 1 + this.self);
      if (this.sent - written < kCredits) return true;
      Atomics.wait(this.shared, 1 + this.self, written, 200);
    }
  }

  // The `n` records decoded last, posted through the next slot.
  postPart(job, n, last) {
    const length = n * this.recordLength;
    const slot = this.sent % kCredits;
    new Uint8Array(this.slots, slot * this.slotBytes, length).set(this.part(n));
    ++this.sent;
    this.post({ type: 'part', index: job.index, last, slot, length });
  }

  // A digest of each part, decoded with zeros after the chunk; null when the
  // codec failed (which is reported) or the run stops.
  firstReading(job, where) {
    const digests = [];
    this.fillAfter(job, kFiller);
    const error = this.decodeParts(job, (n) => {
      digests.push(this.digestOfPart(n));
      return true;
    });
    if (error) this.cannotDecode(where, error);
    return error || Atomics.load(this.shared, kStop) ? null : digests;
  }

  cannotDecode(where, error) {
    const said = this.messages.length ? ` (${this.messages.join(' ').replace(/\s+/g, ' ').trim()})` : '';
    this.fatal(EXIT.damaged, `${where} cannot be decoded: ${errorText(error)}${said}`);
  }

  readsPastItsEnd(job, where) {
    this.fatal(EXIT.damaged, `${where} reads past its end: its bytes do not hold the ${job.points} points the file ` +
                             'gives it (the chunk is damaged, or the header\'s point count, the LASzip chunk size or ' +
                             'the chunk table is wrong)');
  }

  decodeChunk(job) {
    const where = `chunk ${job.index + 1} of ${job.count} (${job.bytes} bytes at byte ${job.offset}, ` +
                  `${job.points} points)`;
    try {
      this.reserve(job);
    } catch (e) {
      this.fatal(EXIT.codec_unavailable, `the codec cannot hold ${where}: ${errorText(e)}`);
      return;
    }
    if (!this.readChunk(job, where)) return;
    let digests = null;
    if (job.verify) {
      digests = this.firstReading(job, where);
      if (!digests) return;
    }
    this.fillAfter(job, job.verify ? kCheckFiller : kFiller);
    let parts = 0;
    let differs = false;
    const error = this.decodeParts(job, (n, left) => {
      if (digests && !this.digestOfPart(n).equals(digests[parts])) {
        differs = true;
        return false;
      }
      ++parts;
      if (!this.waitForCredit()) return false;
      this.postPart(job, n, left === 0);
      return true;
    });
    // Decoded once, a checked chunk that fails the second time failed for
    // the bytes after it.
    if (differs || (error && digests)) this.readsPastItsEnd(job, where);
    else if (error) this.cannotDecode(where, error);
  }
}

async function workerMain() {
  let loaded;
  try {
    loaded = await loadCodec(worker.workerData.wasmModule);
  } catch (e) {
    worker.parentPort.postMessage({ type: 'unavailable', message: `the codec cannot be instantiated: ${errorText(e)}` });
    return;
  }
  const chunks = new ChunkWorker(worker.workerData, loaded);
  worker.parentPort.on('message', (job) => chunks.decodeChunk(job));
  chunks.post({ type: 'ready' });
}

// ---- Main thread: the job --------------------------------------------------

function die(code, message) {
  try {
    fs.writeSync(2, `${wire.message_prefix}${String(message).replace(/[\r\n]+/g, ' ')}\n`);
  } catch (e) {
    // nobody to tell
  }
  process.exit(code);
}

class JobError extends Error {}

function readStandardInput() {
  const pause = new Int32Array(new SharedArrayBuffer(4));
  const blocks = [];
  let total = 0;
  for (;;) {
    const block = Buffer.allocUnsafe(1 << 16);
    let n;
    try {
      n = fs.readSync(0, block, 0, block.length, null);
    } catch (e) {
      if (e.code === 'EAGAIN') {
        sleep(5, pause, 0);
        continue;
      }
      if (e.code === 'EINTR') continue;
      throw new JobError(`the job cannot be read from standard input: ${e.message}`);
    }
    if (n === 0) break;
    total += n;
    if (total > wire.max_job_bytes) throw new JobError(`the job is longer than ${wire.max_job_bytes} bytes`);
    blocks.push(block.subarray(0, n));
  }
  return Buffer.concat(blocks, total).toString('utf8');
}

const whole = (v, min, max) => Number.isSafeInteger(v) && v >= min && v <= max;

// "0-3, 6-8": the formats of wire.json's record lengths.
function formatRanges() {
  const formats = Object.keys(wire.record_lengths).map(Number).sort((a, b) => a - b);
  const ranges = [];
  for (const f of formats) {
    const last = ranges[ranges.length - 1];
    if (last && last[1] === f - 1) last[1] = f;
    else ranges.push([f, f]);
  }
  return ranges.map(([a, b]) => (a === b ? `${a}` : `${a}-${b}`)).join(', ');
}

function checkChunks(chunks) {
  if (!Array.isArray(chunks)) throw new JobError('the job has no list of chunks');
  let end = 0;
  for (let i = 0; i < chunks.length; i++) {
    const c = chunks[i];
    if (!Array.isArray(c) || c.length !== 4 || !whole(c[0], 0, Number.MAX_SAFE_INTEGER) ||
        !whole(c[1], 1, Number.MAX_SAFE_INTEGER) || !whole(c[2], 1, 0xffffffff) || !whole(c[3], 0, 1))
      throw new JobError(`chunk ${i + 1} is not [offset, bytes (1 or more), points (1 or more), verify (0 or 1)]: ` +
                         JSON.stringify(c));
    if (c[1] > wire.max_chunk_bytes)
      throw new JobError(`chunk ${i + 1} is ${c[1]} bytes long, more than the ${wire.max_chunk_bytes} bytes the ` +
                         'codec can hold at once');
    if (c[0] < end) throw new JobError(`chunk ${i + 1} starts at byte ${c[0]}, before the end of chunk ${i}`);
    end = c[0] + c[1];
  }
}

function parseJob(text) {
  let job;
  try {
    job = JSON.parse(text);
  } catch (e) {
    throw new JobError(`the job is not JSON: ${e.message}`);
  }
  if (job === null || typeof job !== 'object' || Array.isArray(job)) throw new JobError('the job is not a JSON object');
  const { format, record_length: recordLength, workers, chunks } = job;
  if (!Number.isInteger(format) || !Object.hasOwn(wire.record_lengths, format))
    throw new JobError(`point format ${JSON.stringify(format)} is not one the codec decodes (${formatRanges()})`);
  if (!whole(recordLength, wire.record_lengths[format], 65535))
    throw new JobError(`record length ${JSON.stringify(recordLength)} does not fit point format ${format}`);
  if (!whole(workers, 1, Number.MAX_SAFE_INTEGER)) throw new JobError(`worker count ${JSON.stringify(workers)} is not 1 or more`);
  if (workers > wire.max_workers) throw new JobError(`worker count ${workers} is more than ${wire.max_workers}`);
  checkChunks(chunks);
  return { format, recordLength, workers, chunks };
}

// The job, and what it needs: the LAZ file's descriptor and the codec.  Dies
// when one is missing.
function readJob() {
  let job;
  try {
    job = parseJob(readStandardInput());
  } catch (e) {
    if (e instanceof JobError) die(EXIT.bad_job, e.message);
    throw e;
  }
  try {
    if (!fs.fstatSync(LAZ_FD).isFile()) die(EXIT.bad_job, `descriptor ${LAZ_FD} is not a regular file (the LAZ file)`);
  } catch (e) {
    die(EXIT.bad_job, `descriptor ${LAZ_FD} (the LAZ file) cannot be used: ${e.message}`);
  }
  try {
    require.resolve('laz-perf');
  } catch (e) {
    die(EXIT.codec_unavailable, `the LAZ codec (the npm package laz-perf) is not installed beside ${__dirname}: ` +
                                'run scripts/install-deps.sh');
  }
  return job;
}

// The codec's WebAssembly, compiled once for every worker; without it each
// worker lets the codec load its own.
function compiledCodec() {
  try {
    return new WebAssembly.Module(
      fs.readFileSync(path.join(path.dirname(require.resolve('laz-perf')), 'laz-perf.wasm')));
  } catch (e) {
    return null;
  }
}

// ---- Main thread: workers and the output -----------------------------------

class Run {
  constructor(job, wasmModule) {
    this.job = job;
    this.chunks = job.chunks;
    this.wasmModule = wasmModule;
    const cores = typeof os.availableParallelism === 'function' ? os.availableParallelism() : os.cpus().length;
    this.count = Math.max(1, Math.min(job.workers, cores, this.chunks.length));
    this.control = new SharedArrayBuffer(4 * (1 + this.count));
    this.shared = new Int32Array(this.control);
    // Each worker hands its records over in kCredits slots of memory shared
    // with this thread, reused part after part: nothing is allocated per part.
    let largest = 0;
    for (const c of this.chunks) largest = Math.max(largest, c[2]);
    this.partPoints = Math.max(1, Math.min(largest, Math.floor(kPartBytes / job.recordLength)));
    this.slotBytes = this.partPoints * job.recordLength;
    this.pool = [];             // per worker: {thread, ready, failed, chunk it decodes or -1, slots}
    this.idle = [];
    this.unavailable = 0;       // workers whose codec could not start
    this.nextChunk = 0;         // the next chunk to hand out
    this.nextWrite = 0;         // the chunk being written
    this.waiting = new Map();   // chunk index -> its parts that arrived, in order
    this.writing = false;
  }

  start() {
    for (let w = 0; w < this.count; w++) this.startWorker(w);
  }

  stop(code, message) {
    Atomics.store(this.shared, kStop, 1);
    die(code, message);
  }

  // A worker that cannot start is not needed if another one runs.
  cannotStart(w, message) {
    this.pool[w].failed = true;
    if (++this.unavailable === this.count) this.stop(EXIT.codec_unavailable, message);
  }

  startWorker(w) {
    const state = { thread: null, ready: false, failed: false, chunk: -1, slots: null };
    this.pool[w] = state;
    try {
      state.slots = new SharedArrayBuffer(kCredits * this.slotBytes);
      state.thread = new worker.Worker(__filename, {
        workerData: { format: this.job.format, recordLength: this.job.recordLength, partPoints: this.partPoints,
                      control: this.control, wasmModule: this.wasmModule, slots: state.slots, index: w },
        // Whatever a worker prints stays out of the records.
        stdout: true,
        stderr: true,
      });
    } catch (e) {
      this.cannotStart(w, `no decoding thread can be started: ${errorText(e)}`);
      return;
    }
    const thread = state.thread;
    thread.stdout.resume();
    thread.stderr.resume();
    thread.on('message', (message) => this.onMessage(w, message));
    thread.on('error', (e) => {
      if (!state.ready && !state.failed) this.cannotStart(w, `no decoding thread can be started: ${errorText(e)}`);
      else this.stop(EXIT.internal, `decoding thread ${w + 1} failed: ${errorText(e)}`);
    });
    thread.on('exit', (status) => {
      if (state.chunk >= 0)
        this.stop(EXIT.internal, `decoding thread ${w + 1} ended (status ${status}) in chunk ${state.chunk + 1}`);
    });
  }

  handOut() {
    while (this.idle.length && this.nextChunk < this.chunks.length) {
      const w = this.idle.pop();
      const [offset, bytes, points, verify] = this.chunks[this.nextChunk];
      this.pool[w].chunk = this.nextChunk;
      this.pool[w].thread.postMessage({ index: this.nextChunk, count: this.chunks.length, offset, bytes, points,
                                        verify: verify === 1 });
      ++this.nextChunk;
    }
  }

  onMessage(w, message) {
    if (message.type === 'ready') {
      this.pool[w].ready = true;
      this.idle.push(w);
      this.handOut();
    } else if (message.type === 'part') {
      if (!this.waiting.has(message.index)) this.waiting.set(message.index, []);
      const records = new Uint8Array(this.pool[w].slots, message.slot * this.slotBytes, message.length);
      this.waiting.get(message.index).push({ records, last: message.last, worker: w });
      if (message.last) {
        this.pool[w].chunk = -1;
        this.idle.push(w);
        this.handOut();
      }
      this.pump();
    } else if (message.type === 'unavailable') {
      this.cannotStart(w, message.message);
    } else if (message.type === 'fatal') {
      this.stop(message.code, message.message);
    }
  }

  // Writes the parts of the chunk due, one write at a time and
  // asynchronously, so that the workers' messages keep arriving while the
  // reader takes its time.
  pump() {
    if (this.writing) return;
    const parts = this.waiting.get(this.nextWrite);
    if (!parts || !parts.length) return;
    const part = parts.shift();
    if (part.last) this.waiting.delete(this.nextWrite);
    this.writing = true;
    this.writeFrom(part, 0);
  }

  writeFrom(part, done) {
    const data = part.records;
    fs.write(1, data, done, data.length - done, null, (error, n) => {
      if (error) {
        if (error.code === 'EAGAIN' || error.code === 'EINTR') {
          setTimeout(() => this.writeFrom(part, done), 2);
          return;
        }
        if (error.code === 'EPIPE')
          this.stop(EXIT.output_closed, 'standard output was closed before every record was written');
        this.stop(EXIT.internal, `standard output cannot be written: ${error.message}`);
      }
      if (done + n < data.length) this.writeFrom(part, done + n);
      else this.written(part);
    });
  }

  // A part is out: its worker's slot is free again.
  written(part) {
    this.writing = false;
    Atomics.add(this.shared, 1 + part.worker, 1);
    Atomics.notify(this.shared, 1 + part.worker);
    if (part.last && ++this.nextWrite === this.chunks.length) process.exit(EXIT.done);
    this.pump();
  }
}

function main() {
  const job = readJob();
  if (job.chunks.length === 0) process.exit(EXIT.done);
  new Run(job, compiledCodec()).start();
}

if (worker.isMainThread) {
  try {
    main();
  } catch (e) {
    die(EXIT.internal, `internal error: ${e && e.stack ? e.stack : e}`);
  }
} else {
  workerMain().catch((e) => {
    worker.parentPort.postMessage({ type: 'fatal', code: EXIT.internal, message: `internal error: ${errorText(e)}` });
  });
}

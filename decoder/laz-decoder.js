#!/usr/bin/env node
'use strict';
// laz-decoder: the LAZ decoding process of Pelmora.
//
// Pelmora reads a LAZ file's header, records and chunk table itself and
// starts this program to turn the compressed chunks into uncompressed LAS
// point records.  It is a filter with one job and no options:
//
//   fd 3    the LAZ file, opened read-only by Pelmora (the descriptor its
//           checks used).  Chunks are read from it with positional reads
//           only; the descriptor's offset belongs to Pelmora.  Nothing is
//           ever opened by name.
//   stdin   the job, one JSON object, then end of file:
//             {"format": F, "record_length": L, "workers": W,
//              "chunks": [[offset, bytes, points, verify], ...]}
//           F is the point format (0-3 or 6-8, those the codec decodes),
//           L the uncompressed record length (the format's size plus any
//           extra bytes), W the number of decoding threads wanted (at least
//           1; fewer run when the machine has fewer cores or the job fewer
//           chunks).  The chunks come in file order: where each starts, its
//           compressed size and its number of points (at least 1).
//   stdout  exactly L x (sum of the points) bytes: the uncompressed records,
//           in file order, and nothing else.
//   stderr  on failure, one line "laz-decoder: <what went wrong>".
//   status  0  every record written
//           1  a chunk could not be read in full or decoded (a damaged or
//              truncated file)
//           2  the job is malformed, or fd 3 is not a readable file
//           3  the codec cannot be loaded or instantiated (not installed, no
//              memory or address space for it, no thread for it)
//           4  stdout was closed before every record was written
//           5  anything else (a fault of this program)
//
// The job is read whole before anything is written, so the caller may
// write it and only then start reading.
//
// Decoding: one worker thread per core (at most as many as chunks), each
// with its own instance of the codec (laz-perf, WebAssembly).  A worker
// reads a chunk's bytes straight into its codec's memory, decodes the
// records into a buffer there and posts them in parts of at most
// kPartBytes; the main thread only writes the parts in file order.  A
// worker may have at most kCredits parts posted and not yet written, so
// memory stays bounded whatever the chunk sizes, and a slow reader of
// stdout holds the workers back instead of filling memory.

const fs = require('fs');
const os = require('os');
const path = require('path');
const worker = require('worker_threads');

const kPartBytes = 4 << 20;     // records per message: at most this many bytes
const kCredits = 2;             // parts a worker may have waiting to be written
const kSlackBytes = 4096;       // zeros after each chunk: a damaged chunk that
                                // reads past its end reads the same bytes always
const kMaxJobBytes = 1 << 30;
const kStandardLength = { 0: 20, 1: 28, 2: 26, 3: 34, 6: 30, 7: 36, 8: 38 };

const EXIT_DAMAGED = 1;
const EXIT_BAD_JOB = 2;
const EXIT_CODEC = 3;
const EXIT_OUTPUT_CLOSED = 4;
const EXIT_INTERNAL = 5;

// Shared between the threads: [0] stop flag, [1 + w] parts of worker w written.
const kStop = 0;

function sleep(ms, view, index) {
  Atomics.wait(view, index, Atomics.load(view, index), ms);
}

// ---- Worker thread ---------------------------------------------------------

function errorText(e) {
  // The codec is built without C++ exception support: a throw inside it
  // (bytes its coder cannot have written) arrives as this text.
  if (e instanceof Error && /Exception catching is disabled/.test(e.message))
    return 'the codec met bytes its coder cannot have written';
  if (e instanceof Error) return e.message;
  // A C++ exception reaches JavaScript as the number of its object.
  return typeof e === 'number' ? `C++ exception ${e}` : String(e);
}

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

async function workerMain() {
  const { format, recordLength, partPoints, control, slots, index: self, wasmModule } = worker.workerData;
  const shared = new Int32Array(control);
  const slotBytes = partPoints * recordLength;
  const post = (message, transfer) => worker.parentPort.postMessage(message, transfer);
  const codecMessages = [];   // what the codec would have printed; never on stdout
  let codec;
  const registered = new Map();
  let table = null;
  try {
    const { createLazPerf } = require('laz-perf');
    const options = { print: () => {}, printErr: (text) => codecMessages.push(text) };
    if (wasmModule instanceof WebAssembly.Module) {
      const instantiate = instantiateWatching(wasmModule, registered);
      options.instantiateWasm = (info, receive) => {
        const exports = instantiate(info, receive);
        table = exports.__indirect_function_table || null;
        return exports;
      };
    }
    codec = await createLazPerf(options);
  } catch (e) {
    post({ type: 'unavailable', message: `the codec cannot be instantiated: ${errorText(e)}` });
    return;
  }
  let point;
  try {
    point = pointReader(codec, registered, table);
  } catch (e) {
    point = (decoder, at) => decoder.getPoint(at);
  }

  let input = 0;
  let inputSize = 0;
  let output = 0;
  let outputPoints = 0;
  let sent = 0;
  const allocate = (bytes) => {
    const at = codec._malloc(bytes);
    if (!at) throw new RangeError(`the codec has no room for ${bytes} bytes`);
    return at;
  };

  const decodeChunk = (job) => {
    const { index, count, offset, bytes, points } = job;
    const where = `chunk ${index + 1} of ${count} (${bytes} bytes at byte ${offset}, ${points} points)`;
    try {
      if (bytes + kSlackBytes > inputSize) {
        if (input) codec._free(input);
        input = 0;
        inputSize = 0;
        input = allocate(bytes + kSlackBytes);
        inputSize = bytes + kSlackBytes;
      }
      const wanted = Math.min(points, partPoints);
      if (wanted > outputPoints) {
        if (output) codec._free(output);
        output = 0;
        outputPoints = 0;
        output = allocate(wanted * recordLength);
        outputPoints = wanted;
      }
    } catch (e) {
      post({ type: 'fatal', code: EXIT_CODEC, message: `the codec cannot hold ${where}: ${errorText(e)}` });
      return;
    }
    // The heap's views change when it grows: take them after allocating.
    let heap = codec.HEAPU8;
    for (let got = 0; got < bytes;) {
      let n;
      try {
        n = fs.readSync(3, heap, input + got, bytes - got, offset + got);
      } catch (e) {
        if (e.code === 'EAGAIN' || e.code === 'EINTR') continue;
        post({ type: 'fatal', code: EXIT_DAMAGED, message: `${where} cannot be read: ${errorText(e)}` });
        return;
      }
      if (n === 0) {
        post({ type: 'fatal', code: EXIT_DAMAGED,
               message: `${where} cannot be read: the file ends after ${got} of its bytes` });
        return;
      }
      got += n;
    }
    heap.fill(0, input + bytes, input + bytes + kSlackBytes);

    let decoder = null;
    try {
      decoder = new codec.ChunkDecoder();
      decoder.open(format, recordLength, input);
      for (let left = points; left > 0;) {
        const n = Math.min(left, partPoints);
        // Wait for a credit: a part of this worker's must have been written.
        for (;;) {
          if (Atomics.load(shared, kStop)) return;
          const written = Atomics.load(shared, 1 + self);
          if (sent - written < kCredits) break;
          Atomics.wait(shared, 1 + self, written, 200);
        }
        for (let i = 0; i < n; i++) point(decoder, output + i * recordLength);
        heap = codec.HEAPU8;
        const slot = sent % kCredits;
        new Uint8Array(slots, slot * slotBytes, n * recordLength).set(heap.subarray(output, output + n * recordLength));
        left -= n;
        ++sent;
        post({ type: 'part', index, last: left === 0, slot, length: n * recordLength });
      }
    } catch (e) {
      const said = codecMessages.length ? ` (${codecMessages.join(' ').replace(/\s+/g, ' ').trim()})` : '';
      post({ type: 'fatal', code: EXIT_DAMAGED, message: `${where} cannot be decoded: ${errorText(e)}${said}` });
    } finally {
      if (decoder) {
        try {
          decoder.delete();
        } catch (e) {
          // an instance that aborted cannot free anything
        }
      }
    }
  };

  worker.parentPort.on('message', decodeChunk);
  post({ type: 'ready' });
}

// ---- Main thread -----------------------------------------------------------

function die(code, message) {
  try {
    fs.writeSync(2, `laz-decoder: ${String(message).replace(/[\r\n]+/g, ' ')}\n`);
  } catch (e) {
    // nobody to tell
  }
  process.exit(code);
}

class JobError extends Error {}

function readJob() {
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
    if (total > kMaxJobBytes) throw new JobError(`the job is longer than ${kMaxJobBytes} bytes`);
    blocks.push(block.subarray(0, n));
  }
  let job;
  try {
    job = JSON.parse(Buffer.concat(blocks, total).toString('utf8'));
  } catch (e) {
    throw new JobError(`the job is not JSON: ${e.message}`);
  }
  if (job === null || typeof job !== 'object' || Array.isArray(job)) throw new JobError('the job is not a JSON object');
  const { format, record_length: recordLength, workers, chunks } = job;
  const whole = (v, min, max) => Number.isSafeInteger(v) && v >= min && v <= max;
  if (!(format in kStandardLength) || !Number.isInteger(format))
    throw new JobError(`point format ${JSON.stringify(format)} is not one the codec decodes (0-3, 6-8)`);
  if (!whole(recordLength, kStandardLength[format], 65535))
    throw new JobError(`record length ${JSON.stringify(recordLength)} does not fit point format ${format}`);
  if (!whole(workers, 1, 4096)) throw new JobError(`worker count ${JSON.stringify(workers)} is not 1 or more`);
  if (!Array.isArray(chunks)) throw new JobError('the job has no list of chunks');
  let end = 0;
  for (let i = 0; i < chunks.length; i++) {
    const c = chunks[i];
    if (!Array.isArray(c) || c.length !== 4 || !whole(c[0], 0, Number.MAX_SAFE_INTEGER) ||
        !whole(c[1], 1, 0x7fffffff) || !whole(c[2], 1, 0xffffffff) || !whole(c[3], 0, 1))
      throw new JobError(`chunk ${i + 1} is not [offset, bytes (1 or more), points (1 or more), verify (0 or 1)]: ` +
                         JSON.stringify(c));
    if (c[0] < end) throw new JobError(`chunk ${i + 1} starts at byte ${c[0]}, before the end of chunk ${i}`);
    end = c[0] + c[1];
  }
  return { format, recordLength, workers, chunks };
}

function main() {
  let job;
  try {
    job = readJob();
  } catch (e) {
    if (e instanceof JobError) die(EXIT_BAD_JOB, e.message);
    throw e;
  }
  try {
    if (!fs.fstatSync(3).isFile()) die(EXIT_BAD_JOB, 'descriptor 3 is not a regular file (the LAZ file)');
  } catch (e) {
    die(EXIT_BAD_JOB, `descriptor 3 (the LAZ file) cannot be used: ${e.message}`);
  }
  try {
    require.resolve('laz-perf');
  } catch (e) {
    die(EXIT_CODEC, `the LAZ codec (the npm package laz-perf) is not installed beside ${__dirname}: ` +
                    'run scripts/install-deps.sh');
  }
  const { chunks } = job;
  if (chunks.length === 0) process.exit(0);

  // The codec's WebAssembly, compiled once for every worker; without it each
  // worker lets the codec load its own.
  let wasmModule = null;
  try {
    wasmModule = new WebAssembly.Module(
      fs.readFileSync(path.join(path.dirname(require.resolve('laz-perf')), 'laz-perf.wasm')));
  } catch (e) {
    wasmModule = null;
  }

  const cores = typeof os.availableParallelism === 'function' ? os.availableParallelism() : os.cpus().length;
  const count = Math.max(1, Math.min(job.workers, cores, chunks.length));
  const control = new SharedArrayBuffer(4 * (1 + count));
  const shared = new Int32Array(control);
  // Each worker hands its records over in kCredits slots of memory shared
  // with this thread, reused part after part: nothing is allocated per part.
  let largest = 0;
  for (const c of chunks) largest = Math.max(largest, c[2]);
  const partPoints = Math.max(1, Math.min(largest, Math.floor(kPartBytes / job.recordLength)));
  const slotBytes = partPoints * job.recordLength;

  const pool = [];            // per worker: {thread, ready, chunk it decodes or -1}
  const idle = [];
  let unavailable = 0;        // workers whose codec could not start
  let nextChunk = 0;          // the next chunk to hand out
  let nextWrite = 0;          // the chunk being written
  const waiting = new Map();  // chunk index -> its parts that arrived, in order
  let writing = false;

  const stop = (code, message) => {
    Atomics.store(shared, kStop, 1);
    die(code, message);
  };

  // A worker that cannot start is not needed if another one runs.
  const cannotStart = (message) => {
    if (++unavailable === count) stop(EXIT_CODEC, message);
  };

  const handOut = () => {
    while (idle.length && nextChunk < chunks.length) {
      const w = idle.pop();
      const [offset, bytes, points] = chunks[nextChunk];
      pool[w].chunk = nextChunk;
      pool[w].thread.postMessage({ index: nextChunk, count: chunks.length, offset, bytes, points });
      ++nextChunk;
    }
  };

  // Writes the parts of the chunk due, one write at a time and
  // asynchronously, so that the workers' messages keep arriving while the
  // reader takes its time.
  const pump = () => {
    if (writing) return;
    const parts = waiting.get(nextWrite);
    if (!parts || !parts.length) return;
    const part = parts.shift();
    if (part.last) waiting.delete(nextWrite);
    writing = true;
    const data = part.records;
    const writeFrom = (done) => {
      fs.write(1, data, done, data.length - done, null, (error, n) => {
        if (error) {
          if (error.code === 'EAGAIN' || error.code === 'EINTR') {
            setTimeout(() => writeFrom(done), 2);
            return;
          }
          if (error.code === 'EPIPE')
            stop(EXIT_OUTPUT_CLOSED, 'standard output was closed before every record was written');
          stop(EXIT_INTERNAL, `standard output cannot be written: ${error.message}`);
        }
        if (done + n < data.length) {
          writeFrom(done + n);
          return;
        }
        writing = false;
        Atomics.add(shared, 1 + part.worker, 1);
        Atomics.notify(shared, 1 + part.worker);
        if (part.last && ++nextWrite === chunks.length) process.exit(0);
        pump();
      });
    };
    writeFrom(0);
  };

  const onMessage = (w, message) => {
    if (message.type === 'ready') {
      pool[w].ready = true;
      idle.push(w);
      handOut();
    } else if (message.type === 'part') {
      if (!waiting.has(message.index)) waiting.set(message.index, []);
      const records = new Uint8Array(pool[w].slots, message.slot * slotBytes, message.length);
      waiting.get(message.index).push({ records, last: message.last, worker: w });
      if (message.last) {
        pool[w].chunk = -1;
        idle.push(w);
        handOut();
      }
      pump();
    } else if (message.type === 'unavailable') {
      pool[w].failed = true;
      cannotStart(message.message);
    } else if (message.type === 'fatal') {
      stop(message.code, message.message);
    }
  };

  for (let w = 0; w < count; w++) {
    pool[w] = { thread: null, ready: false, failed: false, chunk: -1, slots: null };
    let thread;
    try {
      pool[w].slots = new SharedArrayBuffer(kCredits * slotBytes);
      thread = new worker.Worker(__filename, {
        workerData: { format: job.format, recordLength: job.recordLength, partPoints, control, wasmModule,
                      slots: pool[w].slots, index: w },
        // Whatever a worker prints stays out of the records.
        stdout: true,
        stderr: true,
      });
    } catch (e) {
      pool[w].failed = true;
      cannotStart(`no decoding thread can be started: ${errorText(e)}`);
      continue;
    }
    pool[w].thread = thread;
    thread.stdout.resume();
    thread.stderr.resume();
    thread.on('message', (message) => onMessage(w, message));
    thread.on('error', (e) => {
      if (!pool[w].ready && !pool[w].failed) {
        pool[w].failed = true;
        cannotStart(`no decoding thread can be started: ${errorText(e)}`);
        return;
      }
      stop(EXIT_INTERNAL, `decoding thread ${w + 1} failed: ${errorText(e)}`);
    });
    thread.on('exit', (status) => {
      if (pool[w].chunk >= 0)
        stop(EXIT_INTERNAL, `decoding thread ${w + 1} ended (status ${status}) in chunk ${pool[w].chunk + 1}`);
    });
  }
}

if (worker.isMainThread) {
  try {
    main();
  } catch (e) {
    die(EXIT_INTERNAL, `internal error: ${e && e.stack ? e.stack : e}`);
  }
} else {
  workerMain().catch((e) => {
    worker.parentPort.postMessage({ type: 'fatal', code: EXIT_INTERNAL, message: `internal error: ${errorText(e)}` });
  });
}

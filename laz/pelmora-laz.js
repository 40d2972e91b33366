#!/usr/bin/env node
'use strict';
// pelmora-laz: converts NAME.laz into the shapefile Pelmora writes for the
// LAS file it compresses (NAME.shp, NAME.shx, NAME.dbf, NAME.prj).
//
// The points are decompressed chunk by chunk with laz-perf into a hidden
// temporary LAS file beside the outputs, Pelmora converts that file, and its
// outputs are renamed after the LAZ file.  The temporary files go whatever
// happens: success, failure, SIGINT, SIGTERM or SIGHUP.  Outputs replace
// existing files of their names only once the whole conversion succeeded,
// as Pelmora replaces them: through symbolic links, never a read-only file
// or one that is not a regular file, keeping the replaced file's permissions.

const fs = require('fs');
const path = require('path');
const crypto = require('crypto');
const { spawn } = require('child_process');
const { inspect, decompress, LazError } = require('./laz_file');

const PROGRAM = 'pelmora-laz';
const FAILURE = 255;          // Pelmora's exit(-1)
const OUTPUTS = ['shp', 'shx', 'dbf', 'prj'];

const HELP = `Usage: ${PROGRAM} [OPTION]... NAME.laz
Convert a LAZ file (compressed LAS 1.0, 1.1 or 1.2, point formats 0-3) into the
ESRI shapefile that Pelmora writes for the LAS file it compresses: NAME.shp,
NAME.shx, NAME.dbf, and NAME.prj when the file carries a coordinate system.

  -o, --output-dir=DIR  write the outputs into DIR instead of beside NAME.laz
  -n, --no-clobber      fail, writing nothing, when any output already exists
  -k, --keep-las        keep the decompressed LAS file too, as NAME.las (never
                        replacing an existing one)
  -q, --quiet           print nothing but errors
  -h, --help            show this help and exit
  -V, --version         show the version and exit

Existing outputs are replaced only after a complete conversion. The converter
is the Pelmora beside this command, else the one on the PATH; PELMORA=FILE
names another. Exit status: 0 on success, 255 on any failure.
`;

class UsageError extends Error {}

function parseArguments(args) {
  const options = { outputDir: null, noClobber: false, keepLas: false, quiet: false, help: false, version: false };
  const names = [];
  const long = { 'no-clobber': 'noClobber', 'keep-las': 'keepLas', quiet: 'quiet', help: 'help', version: 'version' };
  const short = { n: 'noClobber', k: 'keepLas', q: 'quiet', h: 'help', V: 'version' };
  for (let i = 0; i < args.length; i++) {
    const arg = args[i];
    if (arg === '--') {
      names.push(...args.slice(i + 1));
      break;
    }
    if (arg.startsWith('--')) {
      const [key, value] = arg.slice(2).split(/=(.*)/s);
      if (key === 'output-dir') {
        if (value !== undefined) options.outputDir = value;
        else if (i + 1 < args.length) options.outputDir = args[++i];
        else throw new UsageError(`option '--output-dir' needs a directory`);
      } else if (long[key] && value === undefined) {
        options[long[key]] = true;
      } else {
        throw new UsageError(`unknown option '${arg}'`);
      }
    } else if (arg.startsWith('-') && arg.length > 1) {
      for (let j = 1; j < arg.length; j++) {
        const letter = arg[j];
        if (letter === 'o') {
          if (j + 1 < arg.length) options.outputDir = arg.slice(j + 1);
          else if (i + 1 < args.length) options.outputDir = args[++i];
          else throw new UsageError(`option '-o' needs a directory`);
          break;
        }
        if (!short[letter]) throw new UsageError(`unknown option '-${letter}'`);
        options[short[letter]] = true;
      }
    } else {
      names.push(arg);
    }
  }
  if (options.help || options.version) return { options, name: null };
  if (names.length !== 1) throw new UsageError(names.length ? 'one LAZ file at a time' : 'no LAZ file given');
  if (options.outputDir === '') throw new UsageError('the output directory is an empty name');
  return { options, name: names[0] };
}

function isExecutableFile(file) {
  try {
    fs.accessSync(file, fs.constants.X_OK);
    return fs.statSync(file).isFile();
  } catch (e) {
    return false;
  }
}

// PELMORA, else the Pelmora beside this command as it was called (bin/ of
// an installation, build/ of a build tree), else the one on the PATH.
function findPelmora() {
  if (process.env.PELMORA) return process.env.PELMORA;
  const beside = path.join(path.dirname(process.argv[1]), 'Pelmora');
  if (isExecutableFile(beside)) return beside;
  for (const dir of (process.env.PATH || '').split(':')) {
    const candidate = path.join(dir || '.', 'Pelmora');
    if (isExecutableFile(candidate)) return candidate;
  }
  return null;
}

function loadCodec() {
  try {
    return require('laz-perf');
  } catch (e) {
    throw new LazError(
      `The LAZ codec (the npm package laz-perf) is not installed beside ${__filename}: ` +
        'run scripts/install-deps.sh in the Pelmora sources, then build or install again');
  }
}

// Pelmora's console text, passed on as it comes with the temporary names
// replaced.  Pelmora prints everything, failures too, on standard output;
// its failure message is the text after the lines a run normally prints, so
// those lines (banner, names, progress, notes) are passed on at once and
// anything else is held until Pelmora ends: on standard error if it failed,
// on standard output if it succeeded.
class PelmoraConsole {
  constructor(rename, quiet, beforeElapsed) {
    this.rename = rename;
    this.quiet = quiet;
    this.beforeElapsed = beforeElapsed;
    this.buffer = '';
    this.newlines = '';        // blank lines, printed with the line after them
    this.held = null;          // once set, everything is held
    this.atLineStart = true;
  }

  emit(text) {
    if (this.quiet || text === '') return;
    process.stdout.write(text);
    this.atLineStart = /\n$/.test(text);
  }

  add(text) {
    this.buffer += text;
    this.scan(false);
  }

  scan(ended) {
    const normal = [
      /^\r {78}\r/,
      /^\rProcessing \.\.\. [0-9.]+% done/,
      /^Processing \.\.\./,
      /^(Ostrine LiDAR Utilities|Developed by .*|Pelmora -- .*|Pelmora Project, .*|\*\* .* \*\*|Input LAS file: .*|Output Shapefile: .*|Values too wide for their fields: .*|No \.prj written: .*|Elapsed time .*)\n/,
    ];
    while (this.buffer !== '') {
      if (this.held !== null) {
        this.held += this.buffer;
        this.buffer = '';
        return;
      }
      if (this.buffer[0] === '\n') {
        this.newlines += '\n';
        this.buffer = this.buffer.slice(1);
        continue;
      }
      const match = normal.map((re) => re.exec(this.buffer)).find((m) => m);
      if (match) {
        const token = this.rename(match[0]);
        if (token.startsWith('Elapsed time')) this.emit(this.beforeElapsed());
        this.emit(this.newlines + token);
        this.newlines = '';
        this.buffer = this.buffer.slice(match[0].length);
        continue;
      }
      // Not (yet) a line of a normal run: wait for the rest of the line,
      // then hold it and all that follows.
      if (!ended && !/[\n]/.test(this.buffer) && !/^\r[^\n]*\r/.test(this.buffer)) return;
      this.held = this.newlines + this.buffer;
      this.newlines = '';
      this.buffer = '';
    }
  }

  finish(succeeded) {
    this.scan(true);
    const held = this.rename(this.held || '');
    if (succeeded) {
      this.emit(held + this.newlines);
      return;
    }
    if (!this.atLineStart) this.emit('\n');
    const message = held.replace(/\r/g, '\n').replace(/^\s+|\s+$/g, '');
    if (message) process.stderr.write(message + '\n');
  }
}

// The file an output name stands for: the name, or the end of its chain of
// symbolic links (which may not exist yet).  Outputs are written through
// links the user made, as Pelmora writes them.
function linkTarget(file) {
  let current = file;
  for (let depth = 0; depth < 40; depth++) {
    let stat;
    try {
      stat = fs.lstatSync(current);
    } catch (e) {
      return current;
    }
    if (!stat.isSymbolicLink()) return current;
    const link = fs.readlinkSync(current);
    current = path.isAbsolute(link) ? link : path.join(path.dirname(current), link);
  }
  return current;
}

function kindOf(stat) {
  if (stat.isDirectory()) return 'a directory';
  if (stat.isFIFO()) return 'a FIFO';
  if (stat.isCharacterDevice()) return 'a character device';
  if (stat.isBlockDevice()) return 'a block device';
  if (stat.isSocket()) return 'a socket';
  return 'not a regular file';
}

// Pelmora's refusal of an existing output the user made read-only.
const READ_ONLY = {
  shp: (f) => `Unable to open file ${f} for writing`,
  shx: (f) => `Unable to open ${f} for appending data`,
  dbf: (f) => `DBFCreate(${f}) failed.`,
  prj: (f) => `Unable to open file ${f} for writing`,
  las: (f) => `Cannot write ${f}`,
};

// Refuses an existing output that is not a regular file, or that may not be
// written; returns its stat (null when there is none).
function checkReplaceable(file, ext) {
  let stat;
  try {
    stat = fs.statSync(linkTarget(file));
  } catch (e) {
    return null;
  }
  if (!stat.isFile()) fail(`${file} is ${kindOf(stat)}, not a regular file: an output cannot replace it`);
  try {
    fs.accessSync(linkTarget(file), fs.constants.W_OK);
  } catch (e) {
    fail(READ_ONLY[ext](file));
  }
  return stat;
}

function removeQuietly(file) {
  try {
    fs.unlinkSync(file);
  } catch (e) {
    // already gone
  }
}

function fail(message) {
  throw new LazError(message);
}

async function run(argv) {
  let parsed;
  try {
    parsed = parseArguments(argv);
  } catch (e) {
    if (!(e instanceof UsageError)) throw e;
    process.stderr.write(`${PROGRAM}: ${e.message}\nTry '${PROGRAM} --help' for more information.\n`);
    return FAILURE;
  }
  const { options, name } = parsed;
  if (options.help) {
    process.stdout.write(HELP);
    return 0;
  }
  if (options.version) {
    const codec = (() => {
      try {
        return `laz-perf ${require('laz-perf/package.json').version}`;
      } catch (e) {
        return 'laz-perf not installed';
      }
    })();
    process.stdout.write(`${PROGRAM} ${require('./package.json').version} (${codec}, Node.js ${process.version})\n`);
    return 0;
  }

  // Names: NAME.laz gives NAME.shp ... beside it, or in the output directory.
  if (name.length <= 4 || !name.endsWith('.laz')) fail(`File extension of ${name} is not .laz`);
  let prefix = name.slice(0, -3);                       // "dir/NAME."
  if (options.outputDir !== null) {
    let stat;
    try {
      stat = fs.statSync(options.outputDir);
    } catch (e) {
      fail(`Output directory ${options.outputDir} does not exist`);
    }
    if (!stat.isDirectory()) fail(`Output directory ${options.outputDir} is not a directory`);
    prefix = path.join(options.outputDir, path.basename(prefix));
  }
  const outputs = OUTPUTS.concat(options.keepLas ? ['las'] : []);
  const final = (ext) => prefix + ext;

  let fd;
  try {
    fd = fs.openSync(name, 'r');
  } catch (e) {
    fail(`Cannot open binary file ${name} for reading`);
  }
  const laz = inspect(name, fd);
  for (const ext of outputs) {
    let stat = null;
    try {
      stat = fs.lstatSync(final(ext));
    } catch (e) {
      continue;
    }
    if (options.noClobber) fail(`${final(ext)} already exists (--no-clobber): nothing written`);
    // A LAS file is somebody's data, not an output of an earlier run.
    if (ext === 'las') fail(`${final(ext)} already exists: --keep-las does not replace a LAS file`);
    // The .prj only matters if the file has a CRS: checked when one was made.
    if (ext !== 'prj') checkReplaceable(final(ext), ext);
  }
  const pelmora = findPelmora();
  if (!pelmora) fail(`Pelmora not found beside ${process.argv[1]} nor on the PATH: set PELMORA to the converter`);
  const { createLazPerf } = loadCodec();

  // The temporary LAS file: hidden, unique, created here exclusively.
  const dir = path.dirname(final('shp'));
  const stem = path.basename(prefix);                  // "NAME."
  const temp = path.join(dir, `.${stem}pelmora-laz-${process.pid}-${crypto.randomBytes(4).toString('hex')}.`);
  const temps = ['las', ...OUTPUTS].map((ext) => temp + ext);
  const cleanup = () => temps.forEach(removeQuietly);
  process.on('exit', cleanup);

  let signalled = null;
  let child = null;
  let childEnded = null;
  const onSignal = (signal) => {
    if (signalled) return;
    signalled = signal;
    if (child) child.kill(signal);
  };
  for (const signal of ['SIGINT', 'SIGTERM', 'SIGHUP']) process.on(signal, onSignal);
  const raiseSignal = () => {
    cleanup();
    process.removeAllListeners(signalled);
    process.kill(process.pid, signalled);
    return new Promise(() => {});                       // the signal ends the process
  };

  let handle;
  try {
    handle = await fs.promises.open(temp + 'las', 'wx');
  } catch (e) {
    fail(`Cannot create the temporary file ${temp}las for the decompressed points: ${e.message.replace(/^[A-Z]+: /, '')}`);
  }
  const say = (text) => options.quiet || process.stdout.write(text);
  let completed;
  let started;
  try {
    const codec = await createLazPerf();
    started = process.hrtime.bigint();      // the decoding, without the codec's start
    let shown = -1;
    completed = await decompress(laz, fd, handle, codec, (done) => {
      const percent = laz.points ? Math.floor((10000 * done) / laz.points) : 10000;
      if (percent !== shown) say(`\rDecompressing ... ${(percent / 100).toFixed(2)}% done`);
      shown = percent;
    }, () => signalled !== null);
    await handle.close();
    handle = null;
  } catch (e) {
    if (handle) await handle.close().catch(() => {});
    if (e instanceof LazError) throw e;
    const reason = e && e.code ? e.message.replace(/^[A-Z]+: /, '').replace(/, write$/, '') : String(e);
    fail(`Failed to write the decompressed points of ${name} to ${temp}las: ${reason}`);
  } finally {
    fs.closeSync(fd);
  }
  if (laz.points) say(`\r${' '.repeat(78)}\r`);
  if (!completed || signalled) return raiseSignal();
  const seconds = Number(process.hrtime.bigint() - started) / 1e9;

  // Pelmora on the temporary file; its names become the real ones.
  const escaped = temp.replace(/[.*+?^${}()|[\]\\]/g, '\\$&');
  const pattern = new RegExp(`${escaped}(las|shp|shx|dbf|prj)`, 'g');
  const rename = (text) => text.replace(pattern, (_, ext) => (ext === 'las' ? name : final(ext)));
  const console_ = new PelmoraConsole(rename, options.quiet,
    () => `Decompressed ${laz.points} points in ${seconds.toFixed(2)} seconds\n`);
  const status = await new Promise((resolve) => {
    child = spawn(pelmora, [temp + 'las'], { stdio: ['ignore', 'pipe', 'inherit'] });
    childEnded = false;
    child.stdout.setEncoding('utf8');
    child.stdout.on('data', (text) => console_.add(text));
    child.on('error', (e) => {
      childEnded = true;
      console_.add(`Cannot run Pelmora (${pelmora}): ${e.message}\n`);
      resolve(FAILURE);
    });
    child.on('close', (code, signal) => {
      if (childEnded) return;
      childEnded = true;
      resolve(code === null ? 128 + (require('os').constants.signals[signal] || 0) : code);
    });
  });
  if (signalled) return raiseSignal();
  console_.finish(status === 0);
  if (status !== 0) {
    cleanup();
    return FAILURE;
  }

  // The outputs take the LAZ file's name.  Without --no-clobber a rename
  // replaces what is there; with it a hard link (which never replaces) is
  // made first, so an output that appeared meanwhile is not overwritten.
  const made = outputs.filter((ext) => fs.existsSync(temp + ext));
  if (options.keepLas) {
    // First, and never over a file that appeared meanwhile.
    try {
      fs.linkSync(temp + 'las', final('las'));
    } catch (e) {
      cleanup();
      fail(e.code === 'EEXIST' ? `${final('las')} already exists: --keep-las does not replace a LAS file`
                               : `Cannot write ${final('las')}: ${e.message.replace(/^[A-Z]+: /, '')}`);
    }
    made.splice(made.indexOf('las'), 1);
  }
  if (options.noClobber) {
    const linked = [];
    for (const ext of made) {
      try {
        fs.linkSync(temp + ext, final(ext));
        linked.push(ext);
      } catch (e) {
        linked.forEach((done) => removeQuietly(final(done)));
        cleanup();
        fail(e.code === 'EEXIST' ? `${final(ext)} already exists (--no-clobber): nothing written`
                                 : `Cannot write ${final(ext)}: ${e.message.replace(/^[A-Z]+: /, '')}`);
      }
    }
  } else {
    // Every output checked before the first is renamed: all or none.
    const replaced = new Map();
    for (const ext of made) {
      try {
        replaced.set(ext, checkReplaceable(final(ext), ext));
      } catch (e) {
        cleanup();
        throw e;
      }
    }
    for (const ext of made) {
      try {
        const old = replaced.get(ext);
        if (old) fs.chmodSync(temp + ext, old.mode & 0o7777);  // a replaced file keeps its permissions
        fs.renameSync(temp + ext, linkTarget(final(ext)));
      } catch (e) {
        cleanup();
        fail(`Cannot write ${final(ext)}: ${e.message.replace(/^[A-Z]+: /, '')}`);
      }
    }
  }
  cleanup();
  return 0;
}

// A reader that went away (a pipe into head) is no reason to stop converting.
process.stdout.on('error', () => {});

run(process.argv.slice(2)).then(
  (status) => {
    process.exitCode = status;
  },
  (e) => {
    if (!(e instanceof LazError)) process.stderr.write(`${PROGRAM}: internal error: ${e && e.stack ? e.stack : e}\n`);
    else process.stderr.write(`${e.message}\n`);
    process.exitCode = FAILURE;
  });

#!/usr/bin/env python3
"""LAZ through pelmora-convert (and pelmora-laz, its older name) end to end,
one group of cases per CTest test.

  real      every real LAZ file converts into exactly the outputs of the LAS
            file it compresses: its uncompressed twin where there is one,
            else the LAS file built here from the LAZ file's bytes and
            laz-perf's own whole-file decoding (tests/laz/reference_decode.js,
            not our decoder); pelmora-laz --keep-las writes that LAS file
  refusals  formats the codec cannot decode, damaged and cut files: the
            message on standard error, status 1 (255 as pelmora-laz),
            nothing beside the input, earlier outputs untouched, no decoder
            left running
  options   pelmora-laz: --help, --version, usage errors, -o, -n, -k, -q
  hostile   a file cut or replaced while it is decoded, a name that is not
            UTF-8, a path through a link and "..", a rename that fails after
            two outputs are in place, resource limits, signals and SIGKILL:
            what is left on disk and that no decoder outlives the run

Usage: test_laz.py GROUP PELMORA_CONVERT DATA_DIR WORK_DIR VERSION SOURCE_DIR
"""
import glob
import os
import shutil
import signal
import struct
import subprocess
import sys
import time

GROUP, CONVERT, DATA, WORK, VERSION, SOURCE = sys.argv[1:7]
CONVERT = os.path.abspath(CONVERT)
LAZ_CMD = os.path.join(os.path.dirname(CONVERT), 'pelmora-laz')
DECODER = os.path.join(SOURCE, 'decoder', 'laz-decoder.js')
AUTZEN = os.path.join(DATA, 'pdal_autzen_trim.laz')
MARK = f'PELMORA_TEST_RUN_{os.getpid()}'   # in the environment of every process a run starts
TWINS = {
    'liblas_1.2-with-color.laz': 'pdal_1.2-with-color.las',
    'laspy_1_4_w_evlr.laz': 'laspy_1_4_w_evlr.las',
    **{f'pasture_10_points_format_{f}.laz': f'pasture_10_points_format_{f}.las' for f in (0, 1, 2, 3, 6, 7, 8)},
}
NO_TWIN = ('pdal_autzen_trim.laz', 'lasr_las14_pdrf6.laz', 'pdal_1.2-with-color.copc.laz')
OUTPUTS = ('shp', 'shx', 'dbf', 'prj')
failures = []


def check(condition, what):
    if not condition:
        failures.append(what)
        print('FAIL:', what)


def fresh(name):
    d = os.path.join(WORK, name)
    shutil.rmtree(d, ignore_errors=True)
    os.makedirs(d)
    return d


def read(path):
    with open(path, 'rb') as f:
        return f.read()


def write(path, data):
    with open(path, 'wb') as f:
        f.write(data)
    return path


def run(args, command=CONVERT, env=None, **kw):
    r = subprocess.run([command, *args], env=dict(os.environ, **{MARK: '1'}, **(env or {})), capture_output=True,
                       timeout=120, **kw)
    r.stdout, r.stderr = r.stdout.decode('latin1'), r.stderr.decode('latin1')
    return r


def decoders_left():
    """Processes still running that a run of this test started."""
    left = []
    for environ in glob.glob('/proc/[0-9]*/environ'):
        try:
            if (MARK + '=1').encode() in read(environ).split(b'\0'):
                left.append(environ.split('/')[2])
        except OSError:
            pass
    return [p for p in left if int(p) != os.getpid()]


def no_decoder_left(what):
    for _ in range(100):
        if not decoders_left():
            return
        time.sleep(0.05)
    check(False, f'{what}: processes left running: {decoders_left()}')


def listing(d):
    return sorted(os.listdir(d))


def outputs_of(d, stem):
    return {e: read(os.path.join(d, f'{stem}.{e}')) for e in OUTPUTS if os.path.exists(os.path.join(d, f'{stem}.{e}'))}


def same_outputs(a, b, what):
    """Equal outputs; the .dbf's date of last update (bytes 1-3) aside."""
    check(sorted(a) == sorted(b), f'{what}: outputs {sorted(a)} against {sorted(b)}')
    for e in set(a) & set(b):
        x, y = (v[:1] + v[4:] if e == 'dbf' else v for v in (a[e], b[e]))
        check(x == y, f'{what}: the .{e} differs')


def decompressed(laz):
    """The LAS file a LAZ file compresses, built from the LAZ file's bytes
    and laz-perf's whole-file decoding: the LASzip record left out, the
    compression bits cleared, OffsetToData and the record count lowered, the
    extended records moved to follow the points."""
    data = read(laz)
    header_size, offset, vlr_count = struct.unpack_from('<HII', data, 94)
    at, cut = header_size, None
    for _ in range(vlr_count):
        user, record, length = struct.unpack_from('<16sHH', data, at + 2)
        if user.rstrip(b'\0') == b'laszip encoded' and record == 22204:
            cut = (at, at + 54 + length)
        at += 54 + length
    records = subprocess.run(['node', os.path.join(SOURCE, 'tests', 'laz', 'reference_decode.js'), laz],
                             capture_output=True, check=True).stdout
    head = bytearray(data[:cut[0]] + data[cut[1]:offset])
    head[104] &= 0x3F
    struct.pack_into('<II', head, 96, offset - (cut[1] - cut[0]), vlr_count - 1)
    tail = b''
    if data[25] >= 4:
        evlr_start, evlr_count = struct.unpack_from('<QI', data, 235)
        if evlr_count and evlr_start:
            tail = data[evlr_start:]
            struct.pack_into('<Q', head, 235, len(head) + len(records))
    return bytes(head) + records + tail


# ---- real files -----------------------------------------------------------------

def group_real():
    for laz in sorted(TWINS) + list(NO_TWIN):
        d = fresh('real')
        os.makedirs(os.path.join(d, 'laz'))
        os.makedirs(os.path.join(d, 'las'))
        shutil.copy(os.path.join(DATA, laz), os.path.join(d, 'laz', 't.laz'))
        twin = read(os.path.join(DATA, TWINS[laz])) if laz in TWINS else decompressed(os.path.join(DATA, laz))
        write(os.path.join(d, 'las', 't.las'), twin)
        r = run(['laz/t.laz', 'las/t.las'], cwd=d)
        check(r.returncode == 0, f'{laz}: status {r.returncode}: {r.stderr}')
        # The same console text for both, but for the name and the time.
        lines = [line.rsplit(' in ', 1)[0] for line in r.stdout.splitlines()]
        check(len(lines) == 2 and lines[0].replace('laz', 'las') == lines[1], f'{laz}: console {r.stdout!r}')
        same_outputs(outputs_of(os.path.join(d, 'laz'), 't'), outputs_of(os.path.join(d, 'las'), 't'), laz)
        check(listing(os.path.join(d, 'laz')) == sorted(['t.laz'] + [f't.{e}' for e in
                                                                      outputs_of(os.path.join(d, 'laz'), 't')]),
              f'{laz}: files {listing(os.path.join(d, "laz"))}')
        # The LAS file itself, kept: the twin, or the LAS built here.
        if laz in TWINS and not laz.startswith('pasture'):   # pasture's twins were written by another program
            r = run(['-q', '-k', '-o', d, os.path.join(d, 'laz', 't.laz')], command=LAZ_CMD)
            check(r.returncode == 0 and read(os.path.join(d, 't.las')) == twin, f'{laz}: --keep-las {r.stderr}')
        elif laz not in TWINS:
            r = run(['-q', '-k', '-o', d, os.path.join(d, 'laz', 't.laz')], command=LAZ_CMD)
            check(r.returncode == 0 and read(os.path.join(d, 't.las')) == twin, f'{laz}: --keep-las {r.stderr}')
    # A selection keeps the same points of a LAZ file as of its twin.
    d = fresh('real-selection')
    shutil.copy(os.path.join(DATA, 'liblas_1.2-with-color.laz'), os.path.join(d, 't.laz'))
    shutil.copy(os.path.join(DATA, 'pdal_1.2-with-color.las'), os.path.join(d, 'u.las'))
    r = run(['--class', '2', '--returns', 'last', '--thin-grid', '5', 't.laz', 'u.las'], cwd=d)
    kept = [line.split(': kept ')[1].split(',')[0] for line in r.stdout.splitlines()]
    check(r.returncode == 0 and len(kept) == 2 and kept[0] == kept[1] and not kept[0].startswith('1065 of'),
          f'selection: {r.returncode} {r.stdout!r} {r.stderr!r}')
    same_outputs(outputs_of(d, 't'), outputs_of(d, 'u'), 'selection')
    no_decoder_left('real files')


# ---- refusals -------------------------------------------------------------------

def refused(case, data, says, command=CONVERT, status=1):
    """`says`: a text on stderr, or a tuple of texts."""
    d = fresh('refusal')
    path = write(os.path.join(d, 't.laz'), data)
    old = {e: write(os.path.join(d, f't.{e}'), f'old {e}'.encode()) for e in OUTPUTS}
    r = run([path], command=command)
    check(r.returncode == status, f'{case}: status {r.returncode}, expected {status}')
    prefix = os.path.basename(command) + ': '
    check(r.stderr.startswith(prefix + path) and all(s in r.stderr for s in (says if isinstance(says, tuple) else (says,)))
          and r.stdout == '',
          f'{case}: stderr {r.stderr!r} lacks {says!r}')
    check(listing(d) == sorted(['t.laz'] + [f't.{e}' for e in OUTPUTS]), f'{case}: files {listing(d)}')
    check(all(read(p) == f'old {e}'.encode() for e, p in old.items()), f'{case}: an old output was changed')
    no_decoder_left(case)


def group_refusals():
    autzen = read(AUTZEN)
    offset, = struct.unpack_from('<I', autzen, 96)
    table, = struct.unpack_from('<q', autzen, offset)
    for f in (4, 5, 9, 10):
        refused(f'format {f}', read(os.path.join(DATA, f'pasture_10_points_format_{f}.laz')),
                f'holds point format {f} with waveform packets, which the LAZ codec cannot decode')
    refused('cut in the chunks', autzen[:300000], f'its chunk table is said to be at byte {table}')
    refused('cut in the chunk table', autzen[:table + 10], 'its chunk table runs past the end of the file')
    damaged = bytearray(autzen)
    damaged[table + 9] ^= 0x55
    refused('damaged chunk table', bytes(damaged), 'its chunk table gives chunk 2 of 3')
    damaged = bytearray(autzen)
    struct.pack_into('<I', damaged, offset - 52 + 12, 1000)  # the LASzip record's chunk size (the record is last)
    refused('damaged LASzip record', bytes(damaged), 'its chunk table lists 3 chunks for 110000 points in chunks of 1000')
    refused('as pelmora-laz', autzen[:300000], 'its chunk table is said to be at byte', command=LAZ_CMD, status=255)
    # Counts that promise a chunk more points than its bytes hold (3 chunks
    # of 50000, 50000, 10000): the codec would decode the missing ones from
    # the bytes after the chunk.  A lying header count lengthens the last
    # chunk, a lying chunk size the first (and, smaller, the last).
    for field, at, value, chunk, points in (('point count', 107, 110001, 3, 10001),
                                           ('point count', 107, 115000, 3, 15000),
                                           ('chunk size', offset - 52 + 12, 50001, 1, 50001),
                                           ('chunk size', offset - 52 + 12, 49999, 3, 110000 - 2 * 49999)):
        lying = bytearray(autzen)
        struct.pack_into('<I', lying, at, value)
        refused(f'{field} {value}', bytes(lying), (f'chunk {chunk} of 3 (', f', {points} points) reads past its end'))
    # Bytes of a chunk replaced by others: LAZ has no checksum, so the
    # codec either meets codes no writer makes or, in the first and last
    # chunks, decoded twice, reads past the chunk's end (a failure naming
    # the chunk), or decodes other points (a conversion, with the warning on
    # points far outside the header's box when they are).  Never a hang, a
    # crash or a file left behind.
    first = offset + 8 + 34                                # after the first chunk's whole first record
    for at, length in ((first + 500, 64), (300000, 4096), (table - 20000, 2000)):   # chunks 1, 2 and 3
        d = fresh('noise')
        noisy = bytearray(autzen)
        noisy[at:at + length] = bytes((i * 151 + 17) & 0xFF for i in range(length))
        path = write(os.path.join(d, 't.laz'), bytes(noisy))
        r = run([path])
        if r.returncode == 0:
            check(listing(d) == ['t.dbf', 't.laz', 't.prj', 't.shp', 't.shx'] and 'the file may be damaged' in r.stderr,
                  f'noise at {at}: files {listing(d)}, stderr {r.stderr!r}')
        else:
            check(r.returncode == 1 and 'the LAZ decoder failed after' in r.stderr and listing(d) == ['t.laz'],
                  f'noise at {at}: status {r.returncode} {r.stderr!r}, files {listing(d)}')
        print(f'noise of {length} bytes at byte {at}: status {r.returncode}: {(r.stderr or r.stdout).strip()[:200]}')
    no_decoder_left('noise')


# ---- pelmora-laz ----------------------------------------------------------------

def group_options():
    r = run(['--help'], command=LAZ_CMD)
    check(r.returncode == 0 and r.stdout.startswith('Usage: pelmora-laz') and '--keep-las' in r.stdout,
          f'--help: {r.returncode} {r.stdout!r}')
    r = run(['-V'], command=LAZ_CMD)
    check(r.returncode == 0 and r.stdout == f'pelmora-laz {VERSION}\n', f'--version: {r.stdout!r}')
    for args, says in ((['--bogus', 'a.laz'], "unknown option '--bogus'"), ([], 'no LAZ file given'),
                       (['a.laz', 'b.laz'], 'one LAZ file at a time'), (['a.laz', '-o'], "option '-o' needs a value"),
                       (['--index', 'a.laz'], "unknown option '--index'")):
        r = run(args, command=LAZ_CMD)
        check(r.returncode == 255 and says in r.stderr and "Try 'pelmora-laz --help'" in r.stderr,
              f'{args}: {r.returncode} {r.stderr!r}')
    d = fresh('options')
    laz = shutil.copy(os.path.join(DATA, 'liblas_1.2-with-color.laz'), os.path.join(d, 't.laz'))
    r = run(['t.las'], command=LAZ_CMD, cwd=d)
    check(r.returncode == 255 and 't.las: the name does not end in .laz' in r.stderr, f'.las name: {r.stderr!r}')
    out = fresh('options-out')
    r = run(['-q', '-k', '-o', out, laz], command=LAZ_CMD)
    check(r.returncode == 0 and r.stdout == '' and listing(out) == ['t.dbf', 't.las', 't.shp', 't.shx'],
          f'-q -k -o: {r.returncode} {r.stderr!r} {listing(out)}')
    # A kept LAS file never replaces one; with -n no output replaces one.
    r = run(['-k', '-o', out, laz], command=LAZ_CMD)
    check(r.returncode == 255 and 't.las already exists: --keep-las does not replace a LAS file' in r.stderr,
          f'-k over a .las: {r.stderr!r}')
    os.remove(os.path.join(out, 't.las'))
    r = run(['-n', '-o', out, laz], command=LAZ_CMD)
    check(r.returncode == 255 and 't.shp already exists (--no-clobber): nothing written' in r.stderr
          and listing(out) == ['t.dbf', 't.shp', 't.shx'], f'-n: {r.stderr!r} {listing(out)}')


# ---- hostile --------------------------------------------------------------------

def wrapped_decoder(d, before):
    """A decoder that runs `before` (shell) and then the real one."""
    path = write(os.path.join(d, 'decoder.sh'), f'#!/bin/sh\n{before}\nexec node "{DECODER}"\n'.encode())
    os.chmod(path, 0o755)
    return path


def group_hostile():
    autzen = read(AUTZEN)
    # Cut while it is decoded: the decoder's reads come up short.
    d = fresh('hostile-cut')
    laz = write(os.path.join(d, 't.laz'), autzen)
    r = run([laz], env={'PELMORA_LAZ_DECODER': wrapped_decoder(d, f'truncate -s 300000 "{laz}"')})
    check(r.returncode == 1 and 'cannot be read: the file ends after' in r.stderr and listing(d) == ['decoder.sh', 't.laz'],
          f'cut while decoded: {r.returncode} {r.stderr!r} {listing(d)}')
    # Replaced under its name, or rewritten in place, while it is decoded:
    # the file read is whole, but it is not the one named any more.
    for how, command in (('replaced', 'cp "{0}" "{0}.new" && mv "{0}.new" "{0}"'),
                         ('rewritten', 'printf x | dd of="{0}" bs=1 seek=400000 conv=notrunc 2>/dev/null')):
        d = fresh('hostile-' + how)
        laz = write(os.path.join(d, 't.laz'), autzen)
        r = run([laz], env={'PELMORA_LAZ_DECODER': wrapped_decoder(d, command.format(laz))})
        check(r.returncode == 1 and f'{laz} was replaced or rewritten while it was being read; nothing was written from '
              'it' in r.stderr and listing(d) == ['decoder.sh', 't.laz'], f'{how}: {r.returncode} {r.stderr!r} {listing(d)}')
    # A name that is not UTF-8 converts that very file, not a namesake.
    d = fresh('hostile-name')
    odd, fine = os.path.join(d.encode(), b'caf\xe9.laz'), os.path.join(d.encode(), 'café.laz'.encode())
    write(odd, read(os.path.join(DATA, 'liblas_1.2-with-color.laz')))
    write(fine, autzen)
    r = subprocess.run([CONVERT, '-q', odd], capture_output=True)
    check(r.returncode == 0 and sorted(os.listdir(d.encode())) == sorted([b'caf\xe9.laz', b'caf\xe9.shp', b'caf\xe9.shx',
                                                                          b'caf\xe9.dbf', 'café.laz'.encode()])
          and len(read(os.path.join(d.encode(), b'caf\xe9.shp'))) == 100 + 36 * 1065, f'non-UTF-8 name: {r.stderr!r}')
    # sub/../t.laz with sub a link: the path means what the system says it
    # means, so the outputs go beside the file read, never where a lexical
    # simplification would put them.
    d = fresh('hostile-dotdot')
    os.makedirs(os.path.join(d, 'real', 'inner'))
    os.symlink('real/inner', os.path.join(d, 'sub'))
    shutil.copy(AUTZEN, os.path.join(d, 'real', 't.laz'))
    r = run(['-q', 'sub/../t.laz'], cwd=d)
    check(r.returncode == 0 and listing(os.path.join(d, 'real')) == ['inner', 't.dbf', 't.laz', 't.prj', 't.shp', 't.shx']
          and listing(d) == ['real', 'sub'], f'sub/../t.laz: {r.stderr!r} {listing(os.path.join(d, "real"))}')
    # A rename that fails once two outputs are in place (the .dbf's name
    # turns into a directory just before the commit): the earlier outputs
    # are put back, no mixed set, no temporary.
    d = fresh('hostile-rename')
    laz = write(os.path.join(d, 't.laz'), autzen)
    for e in ('shp', 'shx', 'prj'):
        write(os.path.join(d, f't.{e}'), f'old {e}'.encode())
    decoder = write(os.path.join(d, 'decoder.sh'), f'#!/bin/sh\nnode "{DECODER}" && mkdir "{d}/t.dbf"\n'.encode())
    os.chmod(decoder, 0o755)
    r = run([laz], env={'PELMORA_LAZ_DECODER': decoder})
    check(r.returncode == 1 and f'Failed to replace {d}/t.dbf' in r.stderr
          and listing(d) == ['decoder.sh', 't.dbf', 't.laz', 't.prj', 't.shp', 't.shx']
          and all(read(os.path.join(d, f't.{e}')) == f'old {e}'.encode() for e in ('shp', 'shx', 'prj')),
          f'failed rename: {r.returncode} {r.stderr!r} {listing(d)}')
    # Resource limits the decoder cannot work within: said, never a hang.
    d = fresh('hostile-limits')
    laz = write(os.path.join(d, 't.laz'), autzen)
    limits = [('--nofile=20', 'the open-file limit (ulimit -n) of 20 is too low to decode LAZ')]
    if not os.environ.get('PELMORA_SANITIZED'):
        limits += [('--as=100000000', 'the address-space limit (ulimit -v) of 95 MiB is too low to decode LAZ'),
                   ('--as=500000000', 'is too low to decode LAZ')]
    for limit, says in limits:
        started = time.monotonic()
        r = subprocess.run(['prlimit', limit, CONVERT, laz], capture_output=True, text=True, timeout=60,
                           env=dict(os.environ, **{MARK: '1'}))
        check(r.returncode == 1 and says in r.stderr and listing(d) == ['t.laz'] and time.monotonic() - started < 30,
              f'prlimit {limit}: {r.returncode} {r.stderr!r} {listing(d)}')
    no_decoder_left('limits')
    # Interrupts while decoding: the run ends by the signal, its temporaries
    # and its decoder gone.  SIGKILL: hidden temporaries only (those the
    # README's clean-up command removes), and the decoder goes with it.
    # The decoder stands still after its first records (fake_decoder.sh).
    stall = {'PELMORA_LAZ_DECODER': os.path.join(SOURCE, 'tests', 'laz', 'fake_decoder.sh'),
             'FAKE_DECODER': 'stall', 'FAKE_BYTES': str(34 * 1000)}
    for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP, signal.SIGKILL):
        d = fresh('hostile-signal')
        laz = write(os.path.join(d, 't.laz'), autzen)
        p = subprocess.Popen([CONVERT, laz], env=dict(os.environ, **stall, **{MARK: '1'}),
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 20
        while time.monotonic() < deadline and len([f for f in os.listdir(d) if f.startswith('.')]) < 3:
            time.sleep(0.01)
        with open(f'/proc/{p.pid}/task/{p.pid}/children') as f:
            decoder = f.read().split()
        p.send_signal(sig)
        try:
            status = p.wait(timeout=10)
        except subprocess.TimeoutExpired:
            p.kill()
            status = 'still running'
        check(status == -sig, f'{sig.name}: status {status}')
        # Interrupted, the run reaps its decoder before it ends: not even a
        # zombie is left for whoever waits on its children.
        check(len(decoder) == 1 and (sig == signal.SIGKILL or not os.path.exists(f'/proc/{decoder[0]}')),
              f'{sig.name}: the decoder {decoder} outlived the run')
        left = [f for f in listing(d) if f != 't.laz']
        if sig == signal.SIGKILL:
            cleaned = subprocess.run(['find', d, '-maxdepth', '1', '-name', '.*.pelmora-??????', '-delete'])
            check(left and all(f.startswith('.t.') for f in left) and cleaned.returncode == 0 and listing(d) == ['t.laz'],
                  f'SIGKILL: left {left}, after the clean-up {listing(d)}')
        else:
            check(left == [], f'{sig.name}: files left {left}')
        no_decoder_left(sig.name)


{'real': group_real, 'refusals': group_refusals, 'options': group_options, 'hostile': group_hostile}[GROUP]()
print(f'{GROUP}: {"FAILED, " + str(len(failures)) + " checks" if failures else "passed"}')
sys.exit(1 if failures else 0)

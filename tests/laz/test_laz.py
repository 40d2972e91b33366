#!/usr/bin/env python3
"""pelmora-laz end to end, one group of cases per CTest test.

  real       the real LAZ files: the decompressed LAS is the uncompressed
             twin byte for byte (read here with struct, not with the
             codec), or the LAZ file's header and records less the laszip
             record with points inside the header's exact box; the outputs
             and console are Pelmora's on that LAS
  refusals   cut short, damaged, LAS 1.3/1.4 content, other formats and
             compressors, Pelmora's own refusals: message on standard
             error, status 255, nothing left beside the input, old outputs
             kept
  options    --help, --version, -q, -o, -n, -k, usage errors, no Pelmora
  signals    SIGINT, SIGTERM, SIGHUP while decompressing and while Pelmora
             runs: the process ends by that signal and leaves nothing

Usage: test_laz.py GROUP PELMORA_LAZ PELMORA DATA_DIR WORK_DIR VERSION
"""
import os
import shutil
import signal
import struct
import subprocess
import sys
import time

GROUP, LAZ_CMD, PELMORA, DATA, WORK, VERSION = sys.argv[1:7]
TWIN_LAZ = os.path.join(DATA, 'liblas_1.2-with-color.laz')
TWIN_LAS = os.path.join(DATA, 'pdal_1.2-with-color.las')
AUTZEN = os.path.join(DATA, 'pdal_autzen_trim.laz')
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


def put(d, name, data):
    with open(os.path.join(d, name), 'wb') as f:
        f.write(data)
    return os.path.join(d, name)


def read(path):
    with open(path, 'rb') as f:
        return f.read()


def run(args, cwd=None, env=None, **kw):
    full_env = dict(os.environ)
    full_env.pop('PELMORA', None)     # the Pelmora beside build/pelmora-laz
    full_env.update(env or {})
    # Bytes decoded here: text mode would turn the carriage returns of the
    # progress lines into line ends.
    r = subprocess.run([LAZ_CMD, *args], cwd=cwd, env=full_env, capture_output=True, **kw)
    r.stdout, r.stderr = r.stdout.decode('latin1'), r.stderr.decode('latin1')
    return r


def las_parts(data):
    """Header fields, variable-length records and point records of a LAS file."""
    header_size, offset, vlr_count = struct.unpack_from('<HII', data, 94)
    fmt, length, count = data[104], *struct.unpack_from('<HI', data, 105)
    vlrs, p = [], header_size
    for _ in range(vlr_count):
        n = struct.unpack_from('<H', data, p + 20)[0]
        vlrs.append(data[p:p + 54 + n])
        p += 54 + n
    return dict(offset=offset, vlr_count=vlr_count, format=fmt, length=length, count=count, vlrs=vlrs,
                vlr_end=p, records=data[offset:offset + length * count], tail=len(data) - offset - length * count)


def outputs_equal(dir_a, stem_a, dir_b, stem_b, what):
    for ext in ('shp', 'shx', 'dbf', 'prj'):
        a, b = os.path.join(dir_a, stem_a + ext), os.path.join(dir_b, stem_b + ext)
        check(os.path.exists(a) == os.path.exists(b), f'{what}: .{ext} written by one and not the other')
        if os.path.exists(a) and os.path.exists(b):
            check(read(a) == read(b), f'{what}: .{ext} differs from Pelmora\'s')


def console_lines(text):
    """Console text as the lines a terminal shows, timings blanked."""
    lines = []
    for line in text.split('\n'):
        line = line.split('\r')[-1].strip()
        if line.startswith(('Elapsed time', 'Decompressed ')) or not line:
            continue
        lines.append(line)
    return lines


def group_real():
    # The twin: the LAZ file's LAS is pdal_1.2-with-color.las itself.
    d = fresh('real-twin')
    shutil.copy(TWIN_LAZ, os.path.join(d, 't.laz'))
    r = run(['-k', 't.laz'], cwd=d)
    check(r.returncode == 0 and r.stderr == '', f'twin: status {r.returncode}, stderr {r.stderr!r}')
    kept, twin = read(os.path.join(d, 't.las')), read(TWIN_LAS)
    check(las_parts(kept)['records'] == las_parts(twin)['records'], 'twin: decompressed records differ from the twin\'s')
    check(kept == twin, 'twin: decompressed LAS file differs from the twin (header or bytes before the points)')
    p = fresh('real-twin-pelmora')
    shutil.copy(TWIN_LAS, os.path.join(p, 't.las'))
    pelmora = subprocess.run([PELMORA, 't.las'], cwd=p, capture_output=True).stdout.decode('latin1')
    outputs_equal(d, 't.', p, 't.', 'twin')
    check(console_lines(r.stdout) == console_lines(pelmora.replace('t.las', 't.laz')),
          f'twin: console differs from Pelmora\'s:\n{r.stdout!r}\n--\n{pelmora!r}')
    check(sorted(os.listdir(d)) == ['t.dbf', 't.las', 't.laz', 't.shp', 't.shx'], f'twin: files {os.listdir(d)}')

    # 110,000 points in 3 chunks, with GeoKeys and WKT records (a .prj).
    d = fresh('real-autzen')
    shutil.copy(AUTZEN, os.path.join(d, 'autzen.laz'))
    r = run(['-k', 'autzen.laz'], cwd=d)
    check(r.returncode == 0, f'autzen: status {r.returncode}: {r.stderr}')
    laz, las = las_parts(read(AUTZEN)), las_parts(read(os.path.join(d, 'autzen.las')))
    laszip = [v for v in laz['vlrs'] if v[2:18].rstrip(b'\0') == b'laszip encoded']
    check(len(laszip) == 1, 'autzen: the LAZ file has no single laszip record')
    check(las['vlrs'] == [v for v in laz['vlrs'] if v not in laszip], 'autzen: records other than laszip\'s changed')
    check(las['offset'] == laz['offset'] - len(laszip[0]) and las['vlr_count'] == laz['vlr_count'] - 1
          and las['format'] == laz['format'] - 128, 'autzen: OffsetToData, record count or format not adjusted')
    check((las['count'], las['length'], las['tail']) == (110000, 34, 0), 'autzen: not 110000 records of 34 bytes')
    header = read(os.path.join(d, 'autzen.las'))
    scale_offset = struct.unpack_from('<6d', header, 131)
    box = struct.unpack_from('<6d', header, 179)      # max x, min x, max y, min y, max z, min z
    xyz = list(struct.iter_unpack('<iii22x', las['records']))
    for axis in range(3):
        values = [p[axis] for p in xyz]
        actual = (max(values) * scale_offset[axis] + scale_offset[axis + 3],
                  min(values) * scale_offset[axis] + scale_offset[axis + 3])
        check(all(abs(a - b) < 1e-6 for a, b in zip(actual, box[2 * axis:2 * axis + 2])),
              f'autzen: axis {axis} of the points spans {actual}, the header {box[2 * axis:2 * axis + 2]}')
    p = fresh('real-autzen-pelmora')
    shutil.copy(os.path.join(d, 'autzen.las'), os.path.join(p, 'copy.las'))
    subprocess.run([PELMORA, 'copy.las'], cwd=p, capture_output=True)
    check(os.path.exists(os.path.join(d, 'autzen.prj')), 'autzen: no .prj')
    outputs_equal(d, 'autzen.', p, 'copy.', 'autzen')

    # Without -k, from elsewhere into an output directory: the same files.
    o = fresh('real-autzen-out')
    r = run(['-q', '-o', o, os.path.join(d, 'autzen.laz')], cwd=WORK)
    check(r.returncode == 0 and r.stdout == '', f'autzen -q -o: status {r.returncode}, stdout {r.stdout!r}')
    check(sorted(os.listdir(o)) == ['autzen.dbf', 'autzen.prj', 'autzen.shp', 'autzen.shx'], f'-o: {os.listdir(o)}')
    outputs_equal(o, 'autzen.', p, 'copy.', 'autzen -o')


def refused(case, data, message, name='t.laz', args=(), old_outputs=False):
    d = fresh('refusal')
    path = put(d, name, data) if data is not None else os.path.join(d, name)
    old = {}
    if old_outputs:
        for ext in ('shp', 'shx', 'dbf', 'prj'):
            old[ext] = f'old {ext}'.encode()
            put(d, name[:-3] + ext, old[ext])
    before = sorted(os.listdir(d))
    r = run([*args, path], cwd=d)
    check(r.returncode == 255, f'{case}: status {r.returncode}, expected 255')
    check(message in r.stderr, f'{case}: stderr {r.stderr!r} lacks {message!r}')
    check(message not in r.stdout, f'{case}: the message is on standard output')
    check(sorted(os.listdir(d)) == before, f'{case}: files left: {sorted(set(os.listdir(d)) - set(before))}')
    for ext, content in old.items():
        check(read(os.path.join(d, name[:-3] + ext)) == content, f'{case}: the old .{ext} was changed')


def edited(source, **changes):
    data = bytearray(read(source))
    for offset, value in changes.items():
        data[int(offset[1:]):int(offset[1:]) + len(value)] = value
    return bytes(data)


def group_refusals():
    autzen = read(AUTZEN)
    size, table = len(autzen), struct.unpack_from('<q', autzen, 2144)[0]
    name = os.path.join(WORK, 'refusal', 't.laz')
    refused('empty', b'', f'{name} is not a valid .laz file')
    refused('cut in the header', autzen[:100], f'{name} is not a valid .laz file')
    refused('cut in the records', autzen[:1000], 'the compressed points start at byte 2144, beyond the end of the file')
    refused('cut in the points', autzen[:300000],
            f'{name} is damaged or cut short: its chunk table is said to be at byte {table}, outside the file\'s 300000')
    refused('cut in the chunk table', autzen[:size - 10], f'{name} is damaged or cut short: the chunk table ends early')
    refused('chunk table offset', edited(AUTZEN, o2144=struct.pack('<q', 1 << 40)), 'its chunk table is said to be at byte')
    refused('chunk count', edited(AUTZEN, **{f'o{table + 4}': b'\x04'}), 'lists 4 chunks for 110000 points in chunks of 50000')
    refused('chunk sizes', edited(AUTZEN, **{f'o{table + 10}': bytes([autzen[table + 10] ^ 0xff])}),
            f'{name} is damaged or cut short: its chunk table gives chunk')
    refused('chunk table version', edited(AUTZEN, **{f'o{table}': b'\x01'}), 'its chunk table has version 1, not 0')
    refused('LAS 1.4 content', edited(AUTZEN, o25=b'\x04', o104=bytes([128 + 6])),
            f'{name} holds LAS 1.4 content (point format 6): only LAZ files of LAS 1.0, 1.1 or 1.2')
    refused('LAS 1.3 content', edited(AUTZEN, o25=b'\x03'), f'{name} holds LAS 1.3 content (point format 3)')
    refused('version 2', edited(AUTZEN, o24=b'\x02'), 'Cannot handle las files of version 2.x')
    refused('format 4', edited(AUTZEN, o104=bytes([128 + 4])), f'{name} holds LAS 1.2 points of format 4')
    refused('format 3 in LAS 1.1', edited(AUTZEN, o25=b'\x01'), 'holds LAS 1.1 with point format 3')
    refused('extra bytes', edited(AUTZEN, o105=struct.pack('<H', 36)),
            f'Data format of {name} (3) is incompatible with Length of Data Record (36)')
    refused('not compressed', read(TWIN_LAS), f'{name} is not compressed: its point format byte (3) lacks the LAZ bit')
    refused('no laszip record', edited(AUTZEN, o2040=b'laszip encodex'), 'it has no laszip record before its points')
    refused('compressor 1', edited(AUTZEN, o2092=b'\x01'), 'uses LASzip compressor 1 with coder 0')
    refused('item version 1', edited(AUTZEN, o2130=b'\x01'), 'its laszip record lists the items 6/20/v1 7/8/v2 8/6/v2')
    # What Pelmora refuses in the decompressed file: its message with the
    # LAZ file's name, on standard error; outputs of an earlier run untouched.
    refused('NaN scale', edited(AUTZEN, o131=struct.pack('<d', float('nan'))),
            f'The X scale factor and offset of {name} (nan and', old_outputs=True)
    refused('missing file', None, f'Cannot open binary file {name} for reading')
    refused('wrong extension', autzen, 'File extension of', name='t.LAZ')
    d = fresh('refusal')
    os.mkdir(os.path.join(d, 'dir.laz'))
    r = run(['dir.laz'], cwd=d)
    check(r.returncode == 255 and 'dir.laz is not a valid .laz file' in r.stderr, f'directory: {r.returncode} {r.stderr!r}')
    check(os.listdir(d) == ['dir.laz'], f'directory: files left {os.listdir(d)}')


def group_options():
    r = run(['--help'])
    check(r.returncode == 0 and 'Usage: pelmora-laz' in r.stdout and '--no-clobber' in r.stdout and r.stderr == '',
          f'--help: {r.returncode} {r.stdout!r}')
    r = run(['-V'])
    check(r.returncode == 0 and r.stdout.startswith(f'pelmora-laz {VERSION} (laz-perf 0.0.7, Node.js v'),
          f'--version: {r.stdout!r}')
    for args, message in ((['--bogus', 'a.laz'], "unknown option '--bogus'"), (['-x', 'a.laz'], "unknown option '-x'"),
                          ([], 'no LAZ file given'), (['a.laz', 'b.laz'], 'one LAZ file at a time'),
                          (['a.laz', '-o'], "option '-o' needs a directory")):
        r = run(args)
        check(r.returncode == 255 and message in r.stderr and "Try 'pelmora-laz --help'" in r.stderr and r.stdout == '',
              f'{args}: {r.returncode} {r.stderr!r}')

    d = fresh('options')
    laz = shutil.copy(TWIN_LAZ, os.path.join(d, 't.laz'))
    r = run(['-o', os.path.join(d, 'none'), laz])
    check(r.returncode == 255 and 'none does not exist' in r.stderr, f'-o missing: {r.stderr!r}')
    r = run(['--output-dir=' + laz, laz])
    check(r.returncode == 255 and 'is not a directory' in r.stderr, f'-o file: {r.stderr!r}')
    r = run([laz], env={'PELMORA': os.path.join(d, 'no-such-Pelmora')})
    check(r.returncode == 255 and 'Cannot run Pelmora' in r.stderr, f'no Pelmora: {r.returncode} {r.stderr!r}')
    check(os.listdir(d) == ['t.laz'], f'no Pelmora: files left {os.listdir(d)}')

    # Existing outputs: replaced by default, refused with -n (each of them,
    # the .prj and with -k the .las too), untouched then.
    put(d, 't.shp', b'old')
    r = run(['-qk', laz])
    check(r.returncode == 0 and r.stdout == '' and read(os.path.join(d, 't.shp'))[:4] == b'\0\0\x27\x0a',
          'an existing .shp is not replaced')
    fresh_outputs = {e: read(os.path.join(d, 't.' + e)) for e in ('shp', 'shx', 'dbf', 'las')}
    for ext in ('shp', 'shx', 'dbf', 'prj', 'las'):
        for e in ('shp', 'shx', 'dbf', 'prj', 'las'):
            if os.path.exists(os.path.join(d, 't.' + e)):
                os.remove(os.path.join(d, 't.' + e))
        put(d, 't.' + ext, b'keep')
        r = run(['-n', '--keep-las', laz])
        check(r.returncode == 255 and f't.{ext} already exists (--no-clobber): nothing written' in r.stderr,
              f'-n with a .{ext}: {r.returncode} {r.stderr!r}')
        check(sorted(os.listdir(d)) == sorted(['t.laz', 't.' + ext]) and read(os.path.join(d, 't.' + ext)) == b'keep',
              f'-n with a .{ext}: files {os.listdir(d)}')
    os.remove(os.path.join(d, 't.las'))
    r = run(['--no-clobber', '-k', '--quiet', laz])
    check(r.returncode == 0 and all(read(os.path.join(d, 't.' + e)) == c for e, c in fresh_outputs.items()),
          f'-n without outputs: {r.returncode} {r.stderr!r}')
    r = run(['-k', laz])
    check(r.returncode == 255 and 't.las already exists: --keep-las does not replace a LAS file' in r.stderr
          and read(os.path.join(d, 't.las')) == fresh_outputs['las'], f'-k over a .las: {r.returncode} {r.stderr!r}')

    # Replaced as Pelmora replaces its outputs: a read-only one is refused
    # with Pelmora's message, one that is not a regular file too, and a
    # symbolic link is written through (the link stays, its target is the
    # new file and keeps its permissions); nothing changes on a refusal.
    for e in ('shp', 'shx', 'dbf', 'prj', 'las'):
        if os.path.exists(os.path.join(d, 't.' + e)):
            os.remove(os.path.join(d, 't.' + e))
    for ext, message in (('shp', 'Unable to open file {} for writing'), ('dbf', 'DBFCreate({}) failed.')):
        put(d, 't.' + ext, b'old')
        os.chmod(os.path.join(d, 't.' + ext), 0o444)
        r = run(['-q', laz])
        if os.geteuid() != 0:
            check(r.returncode == 255 and message.format(os.path.join(d, 't.' + ext)) in r.stderr,
                  f'read-only .{ext}: {r.returncode} {r.stderr!r}')
            check(sorted(os.listdir(d)) == sorted(['t.laz', 't.' + ext]) and read(os.path.join(d, 't.' + ext)) == b'old',
                  f'read-only .{ext}: files {os.listdir(d)}')
        for e in ('shp', 'shx', 'dbf'):
            if os.path.exists(os.path.join(d, 't.' + e)):
                os.remove(os.path.join(d, 't.' + e))
    os.mkdir(os.path.join(d, 't.shx'))
    r = run(['-q', laz])
    check(r.returncode == 255 and 't.shx is a directory, not a regular file: an output cannot replace it' in r.stderr
          and sorted(os.listdir(d)) == ['t.laz', 't.shx'], f'directory .shx: {r.returncode} {r.stderr!r}')
    os.rmdir(os.path.join(d, 't.shx'))
    os.mkdir(os.path.join(d, 'store'))
    put(os.path.join(d, 'store'), 'real.shp', b'old')
    os.chmod(os.path.join(d, 'store', 'real.shp'), 0o640)
    os.symlink('store/real.shp', os.path.join(d, 't.shp'))
    r = run(['-q', laz])
    check(r.returncode == 0 and os.path.islink(os.path.join(d, 't.shp'))
          and read(os.path.join(d, 'store', 'real.shp')) == fresh_outputs['shp']
          and os.stat(os.path.join(d, 'store', 'real.shp')).st_mode & 0o777 == 0o640,
          f'a linked .shp is written through: {r.returncode} {r.stderr!r}')


def group_signals():
    d = fresh('signals')
    # A converter that says it started, then waits.
    slow = put(d, 'slow-Pelmora', f'#!/bin/sh\ntouch "{d}/started"\nexec sleep 30\n'.encode())
    os.chmod(slow, 0o755)
    for sig in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
        for moment in ('decompressing', 'converting'):
            t = fresh('signals-run')
            laz = shutil.copy(AUTZEN, os.path.join(t, 't.laz'))
            env = dict(os.environ, PELMORA=slow)
            if os.path.exists(os.path.join(d, 'started')):
                os.remove(os.path.join(d, 'started'))
            process = subprocess.Popen([LAZ_CMD, laz], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
            deadline = time.monotonic() + 20
            while time.monotonic() < deadline:
                hidden = [f for f in os.listdir(t) if f.startswith('.')]
                if (moment == 'decompressing' and hidden) or os.path.exists(os.path.join(d, 'started')):
                    break
                time.sleep(0.001)
            process.send_signal(sig)
            try:
                status = process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                process.kill()
                status = 'still running'
            case = f'{sig.name} while {moment}'
            check(status == -sig, f'{case}: status {status}, expected death by the signal ({process.stderr.read()!r})')
            check(os.listdir(t) == ['t.laz'], f'{case}: files left {os.listdir(t)}')


{'real': group_real, 'refusals': group_refusals, 'options': group_options, 'signals': group_signals}[GROUP]()
print(f'{GROUP}: {"FAILED, " + str(len(failures)) + " checks" if failures else "passed"}')
sys.exit(1 if failures else 0)

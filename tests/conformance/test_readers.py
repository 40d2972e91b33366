#!/usr/bin/python3
"""Conformance: independent readers see exactly what the LAS file holds.

Converts generated LAS files and the real ones in tests/data, then reads each
output with pyshp, GDAL (ogrinfo, ogr2ogr, and Python's osgeo.ogr), Fiona and
shapelib (shpdump, dbfdump). For every reader it checks the shape type, the
counts, each point's X, Y, Z (to the last bit), the columns and every value of
every row, nulls included, against expectations computed from the LAS bytes.

- LAS 1.0-1.2 that Pelmora converts (every version/format, typical and edge
  values, header boxes that are too small, zero, wider than the points): the
  readers check Pelmora's outputs, and pelmora-convert must write the same
  bytes (the three date bytes of the .dbf aside).
- LAS 1.3/1.4 (formats 0-10, extra bytes of every type with their descriptors
  in one record, split over two, or in an extended record; a WKT in an
  extended record) and LAS 1.2 with extra bytes: pelmora-convert's outputs,
  its warnings about what it could not write, and the .prj as GDAL reads it.
  Pelmora itself refuses these files and writes nothing.
- Real files that must be refused end with the command's failure status and
  leave no output.

Prints "N passed, M failed" last and exits non-zero on any failure.
"""
import argparse
import math
import os
import re
import shutil
import struct
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from las_expect import expect_from_las, set_header_box  # noqa: E402
from tally import Tally  # noqa: E402
from readers import (POINTZ, READS_AS_REAL, read_fiona, read_gdal, read_ogr, read_pyshp,  # noqa: E402
                     read_shapelib)

POINTS = 3000
# LAS 1.3/1.4: every edge value of lasgen comes round within a few hundred points.
POINTS_1_4 = 1000
PELMORA_VARIANTS = [('1.0', 0), ('1.0', 1), ('1.1', 0), ('1.1', 1), ('1.2', 0), ('1.2', 1), ('1.2', 2), ('1.2', 3)]
# Real files neither command converts; every .laz is refused by Pelmora too.
REFUSED = {'pdal_1.2-with-color-clipped.las': 'fewer records than announced'}
# Real files Pelmora refuses and pelmora-convert converts, beside every LAS 1.3/1.4 file.
PELMORA_REFUSES = {'lasr_extra_byte.las': '32-byte format 1 records'}
# The coordinate system GDAL must read from the .prj of a real file that
# only pelmora-convert converts: an EPSG code, or the name of one the file
# defines itself; no .prj for the others.
REAL_CRS = {'laspy_test1_4.las': 2903, 'laspy_1_4_w_evlr.las': 2903, 'lasr_extra_byte.las': 'UTM22'}
OUTPUT_SUFFIXES = ('.shp', '.shx', '.dbf')
WAVE_PACKET_FORMATS = (4, 5, 9, 10)


def same(expected, got):
    """Equal to the last bit; any NaN matches any NaN, -0.0 differs from 0.0."""
    if isinstance(expected, float) and isinstance(got, float):
        if math.isnan(expected) or math.isnan(got):
            return math.isnan(expected) and math.isnan(got)
        return expected == got and math.copysign(1, expected) == math.copysign(1, got)
    return expected == got and type(expected) is type(got)


def compare_rows(expected_rows, got_rows, names, label):
    problems = []
    for i, (exp, got) in enumerate(zip(expected_rows, got_rows)):
        if len(exp) != len(got):
            problems.append(f'row {i}: {len(got)} {label}, expected {len(exp)}')
            continue
        for name, e, g in zip(names, exp, got):
            if not same(e, g):
                problems.append(f'row {i} {name}: expected {e!r}, got {g!r}')
    if len(expected_rows) != len(got_rows):
        problems.append(f'{len(got_rows)} rows, expected {len(expected_rows)}')
    return problems


def as_read_by(reader, exp):
    """The fields and values as `reader` presents them: integer fields it
    takes for doubles (wide ones, see READS_AS_REAL) come back as floats."""
    real = [READS_AS_REAL[reader](f) for f in exp.fields]
    fields = [f.__class__(f.name, 'real' if r else f.kind, f.width, f.decimals) for f, r in zip(exp.fields, real)]
    values = [[float(v) if r and isinstance(v, int) else v for v, r in zip(row, real)] for row in exp.values]
    return fields, values


def compare_view(tally, case, reader, exp, view):
    def check(what, problems):
        tally.check(f'{case} / {reader} / {what}', problems)

    check('shape type', [] if view.shape_types == {POINTZ} else [f'reports {sorted(map(str, view.shape_types))}'])
    check('counts', [f'{what} = {n}, expected {exp.count}' for what, n in view.counts.items() if n != exp.count])

    problems = [f'point {i}: expected {e!r}, got {g!r}'
                for i, (e, g) in enumerate(zip(exp.points, view.points))
                if g is None or not all(same(a, b) for a, b in zip(e, g))]
    if len(view.points) != exp.count:
        problems.append(f'{len(view.points)} points, expected {exp.count}')
    check('coordinates', problems)

    fields, values = as_read_by(reader, exp)
    check('fields', [] if view.fields == fields else [f'expected {fields}', f'got      {view.fields}'])
    names = [f.name for f in fields]
    check('values', compare_rows(values, view.values, names, 'values'))
    if view.texts is not None:
        check('raw text', compare_rows(exp.texts, view.texts, names, 'texts'))

    problems = []
    for key, got in view.box.items():
        want = exp.box[key]
        if isinstance(got, str):  # printed with "%f"
            if got != '%f' % want:
                problems.append(f'{key}: expected {"%f" % want}, got {got}')
        elif not same(want, got):
            problems.append(f'{key}: expected {want!r}, got {got!r}')
    if not view.box:
        problems.append('no bounding box reported')
    check('bounding box', problems)


def index_problems(stem, exp):
    """The .shx read byte by byte: one 8-byte entry per point at the right
    offset and the same header box as the .shp; and both length fields true."""
    data = open(stem + '.shx', 'rb').read()
    problems = []
    code, = struct.unpack_from('>i', data, 0)
    version, shape_type = struct.unpack_from('<ii', data, 28)
    if (code, version, shape_type) != (9994, 1000, POINTZ):
        problems.append(f'.shx header code/version/type {code}/{version}/{shape_type}')
    box = dict(zip(('xmin', 'ymin', 'xmax', 'ymax', 'zmin', 'zmax', 'mmin', 'mmax'),
                   struct.unpack_from('<8d', data, 36)))
    problems += [f'.shx {k}: expected {exp.box[k]!r}, got {v!r}' for k, v in box.items() if not same(exp.box[k], v)]
    for i, (offset, words) in enumerate(struct.iter_unpack('>ii', data[100:])):
        if (offset, words) != (50 + 18 * i, 14):
            problems.append(f'.shx entry {i}: offset {offset}, length {words}')
    # Readers trust the counts and offsets, not these lengths: check them here.
    for suffix, record_size in (('.shx', 8), ('.shp', 36)):
        size = os.path.getsize(stem + suffix)
        with open(stem + suffix, 'rb') as f:
            f.seek(24)
            words, = struct.unpack('>i', f.read(4))
        if not words * 2 == size == 100 + record_size * exp.count:
            problems.append(f'{suffix}: {size} bytes, length field {words} words, expected {exp.count} records')
    return problems


def crs_problems(stem, epsg):
    """A .prj exactly when the file has a coordinate system, and GDAL reads
    it as that EPSG system (or, for a name, a system of that name)."""
    from osgeo import ogr, osr
    ogr.UseExceptions()
    osr.UseExceptions()
    has_prj = os.path.exists(stem + '.prj')
    if epsg is None:
        return [f'{stem}.prj written for a file without a coordinate system'] if has_prj else []
    if not has_prj:
        return [f'no .prj, expected EPSG:{epsg}']
    source = ogr.Open(stem + '.shp', 0)
    srs = source.GetLayer(0).GetSpatialRef()
    if isinstance(epsg, str):
        return [] if srs is not None and srs.GetName() == epsg else [f'GDAL reads {srs and srs.GetName()}, expected {epsg}']
    want = osr.SpatialReference()
    want.ImportFromEPSG(epsg)
    if srs is None or not srs.IsSame(want):
        return [f'GDAL reads {srs.GetName() if srs else None}, expected EPSG:{epsg} ({want.GetName()})']
    return []


class Tools:
    def __init__(self, pelmora, convert, lasgen):
        self.pelmora, self.convert, self.lasgen = pelmora, convert, lasgen

    def run(self, command, las_path):
        return subprocess.run(command, cwd=os.path.dirname(las_path), capture_output=True, text=True, timeout=120)


def outputs_left(las_path):
    stem = os.path.splitext(las_path)[0]
    return [stem + s for s in OUTPUT_SUFFIXES + ('.prj',) if os.path.exists(stem + s)]


def read_with_every_reader(tally, case, stem, exp):
    tally.check(f'{case} / index and lengths', index_problems(stem, exp))
    for reader, read in (('pyshp', lambda: read_pyshp(stem + '.shp')),
                         ('gdal', lambda: read_gdal(stem + '.shp')),
                         ('osgeo.ogr', lambda: read_ogr(stem + '.shp')),
                         ('fiona', lambda: read_fiona(stem + '.shp')),
                         ('shapelib', lambda: read_shapelib(stem + '.shp', stem + '.dbf'))):
        try:
            view = read()
        except Exception as e:  # a reader that cannot read the output at all
            tally.check(f'{case} / {reader} / reads', [f'{type(e).__name__}: {e}'])
            continue
        compare_view(tally, case, reader, exp, view)


def converted(tally, case, run, las_path):
    missing = [s for s in OUTPUT_SUFFIXES if not os.path.exists(os.path.splitext(las_path)[0] + s)]
    tally.check(f'{case} / converts', [] if run.returncode == 0 and not missing else
                [f'status {run.returncode}, missing {missing}', (run.stdout + run.stderr).strip()[-300:]])
    return run.returncode == 0 and not missing


def same_bytes_problems(stem, other, suffixes):
    """pelmora-convert's outputs against Pelmora's: every byte, but for the
    .dbf's date of last update (bytes 1-3)."""
    problems = []
    for suffix in suffixes:
        mine, theirs = stem + suffix, other + suffix
        if os.path.exists(mine) != os.path.exists(theirs):
            problems.append(f'{suffix}: Pelmora {"wrote" if os.path.exists(mine) else "did not write"} one, '
                            f'pelmora-convert {"did" if os.path.exists(theirs) else "did not"}')
            continue
        if not os.path.exists(mine):
            continue
        a, b = open(mine, 'rb').read(), open(theirs, 'rb').read()
        if suffix == '.dbf':
            a, b = a[:1] + a[4:], b[:1] + b[4:]
        if a != b:
            at = next((i for i, (x, y) in enumerate(zip(a, b)) if x != y), min(len(a), len(b)))
            problems.append(f'{suffix}: differs from byte {at} ({len(a)} and {len(b)} bytes)')
    return problems


def check_pelmora(tally, tools, case, las_path):
    """LAS 1.0-1.2 that Pelmora converts: its outputs through every reader,
    and pelmora-convert's geometry byte for byte the same; its table too for
    LAS 1.0, and through every reader with the class split from its flags
    for LAS 1.1 and 1.2."""
    exp = expect_from_las(las_path)
    if not converted(tally, case, tools.run([tools.pelmora, las_path], las_path), las_path):
        return
    stem = os.path.splitext(las_path)[0]
    read_with_every_reader(tally, case, stem, exp)
    other = os.path.join(os.path.dirname(las_path), 'convert')
    os.makedirs(other)
    run = tools.run([tools.convert, '-q', '-o', other, las_path], las_path)
    problems = [] if run.returncode == 0 else [f'pelmora-convert: status {run.returncode}: {run.stderr.strip()}']
    theirs = os.path.join(other, os.path.basename(stem))
    same_table = exp.version == '1.0'
    suffixes = ('.shp', '.shx', '.prj') + (('.dbf',) if same_table else ())
    tally.check(f'{case} / pelmora-convert writes the same bytes', problems or same_bytes_problems(stem, theirs, suffixes))
    if not problems and not same_table:
        read_with_every_reader(tally, f'{case} / pelmora-convert', theirs, expect_from_las(las_path, split_class=True))


def warning_problems(name, stderr, exp):
    """The warnings that say what was not written: one line for the wave
    packets of formats 4, 5, 9, 10, one giving the count of extra bytes no
    field holds; nothing else about either."""
    lines = [line for line in stderr.splitlines() if line.startswith(f'pelmora-convert: warning: {name}: ')]
    problems = []
    wave = [line for line in lines if 'waveform' in line]
    if len(wave) != (1 if exp.point_format in WAVE_PACKET_FORMATS else 0):
        problems.append(f'{len(wave)} wave packet warnings for format {exp.point_format}: {wave}')
    counts = [tuple(map(int, m.groups())) for m in
              (re.search(r'(\d+) of the (\d+) extra bytes', line) for line in lines) if m]
    want = [(exp.unwritten_bytes, exp.extra_bytes)] if exp.unwritten_bytes else []
    if counts != want:
        problems.append(f'unwritten extra bytes (of all extra bytes) reported {counts}, expected {want}')
    return problems


def check_convert(tally, tools, case, las_path, epsg=None):
    """Files only pelmora-convert converts: Pelmora refuses them and writes
    nothing (LAS 1.3/1.4 with its message of today); pelmora-convert's
    outputs through every reader, its warnings, its .prj."""
    exp = expect_from_las(las_path, split_class=True)
    run = tools.run([tools.pelmora, las_path], las_path)
    problems = [] if run.returncode == 255 else [f'status {run.returncode}, expected 255']
    if exp.version in ('1.3', '1.4') and f'\nCannot handle las files of version {exp.version}\n' not in run.stdout:
        problems.append(f'message: {run.stdout.strip()!r}')
    problems += [f'left {p} behind' for p in outputs_left(las_path)]
    tally.check(f'{case} / Pelmora refuses', problems)

    run = tools.run([tools.convert, las_path], las_path)
    if not converted(tally, case, run, las_path):
        return
    stem = os.path.splitext(las_path)[0]
    tally.check(f'{case} / warnings', warning_problems(las_path, run.stderr, exp))
    tally.check(f'{case} / .prj', crs_problems(stem, epsg))
    read_with_every_reader(tally, case, stem, exp)


def check_refusal(tally, tools, case, las_path, reason):
    """Neither command converts the file: failure status and nothing written."""
    commands = [('Pelmora', [tools.pelmora, las_path], 255)]
    if las_path.endswith('.las'):
        commands.append(('pelmora-convert', [tools.convert, las_path], 1))
    for label, command, status in commands:
        run = tools.run(command, las_path)
        problems = [] if run.returncode == status else [f'status {run.returncode}, expected {status} ({reason})']
        problems += [f'left {p} behind' for p in outputs_left(las_path)]
        tally.check(f'{case} / {label} refuses', problems)


def wkt2_lambert93():
    """EPSG:2154 as pretty-printed WKT2 over many lines, as a real file has it."""
    from osgeo import osr
    srs = osr.SpatialReference()
    srs.ImportFromEPSG(2154)
    return srs.ExportToWkt(['FORMAT=WKT2_2019', 'MULTILINE=YES'])


def pelmora_cases():
    """(name, lasgen options, change to the header box or None)."""
    for seed, (version, fmt) in enumerate(PELMORA_VARIANTS, start=1):
        for values in ('typical', 'edge'):
            yield (f'gen-{version}-fmt{fmt}-{values}',
                   ['--version', version, '--format', str(fmt), '--values', values, '--seed', str(seed)], None)
    # Header boxes that do not hold the points: the .shp box must be the extent.
    yield 'box-small', ['--version', '1.1', '--format', '1', '--box', 'small', '--vlrs', '2',
                        '--header-size', '240'], None
    yield 'box-zero', ['--version', '1.2', '--format', '3', '--box', 'zero'], None
    # A box wider than the points is kept as it is ...
    yield 'box-wider', ['--version', '1.2', '--format', '2'], widened
    # ... but points outside on a single axis replace the whole box.
    yield 'box-z-outside', ['--version', '1.0', '--format', '1'], z_below_top


def widened(lo, hi):
    return [v - 1 for v in lo], [v + 1 for v in hi]


def z_below_top(lo, hi):
    return [v - 1 for v in lo], [hi[0] + 1, hi[1] + 1, hi[2] - 0.5]


def extra(*runs):
    return [a for run in runs for a in ('--extra', run)]


def convert_cases():
    """(name, lasgen options, EPSG code of the coordinate system or None)."""
    # Every format of LAS 1.4 with edge values (every return/flag/channel
    # combination, scan angles to +-32768 steps, GPS times at the 16- and
    # 19-character limits); LAS 1.3's header and its format 4; adjusted
    # standard GPS times (3.5e8) in formats 1, 6 and 8.
    for fmt in range(11):
        yield f'1.4-fmt{fmt}-edge', ['--version', '1.4', '--format', str(fmt), '--values', 'edge', '--seed', str(fmt)], None
    yield '1.3-fmt4-edge', ['--version', '1.3', '--format', '4', '--values', 'edge'], None
    yield '1.3-fmt1-typical', ['--version', '1.3', '--format', '1'], None
    for fmt in (6, 8):
        yield f'1.4-fmt{fmt}-typical', ['--version', '1.4', '--format', str(fmt)], None

    # Extra bytes.  Every type unscaled, with its limits, any float bits.
    yield 'extra-every-type', ['--version', '1.4', '--format', '6', '--values', 'edge',
                               *extra('1:u8', '2:i8', '3:u16', '4:i16', '5:u32', '6:i32', '7:u64', '8:i64',
                                      '9:f32', '10:f64')], None
    # Every type scaled and / or offset, with no-data values (written as null).
    yield 'extra-scaled', ['--version', '1.4', '--format', '1', '--values', 'edge',
                           *extra('1:a:0.5:10:7', '2:b:0.01::-128', '3:c:0.001:-12345.6789', '4:d::100.25:-32768',
                                  '5:e:1e-7', '6:f:2.5:0.5:0', '7:g:0.01', '8:h:1e-3:1e6:-9223372036854775808',
                                  '9:i:0.1::1.5', '10:j:0.01:1:-1')], None
    # Steps finer than a field shows (rounded to 10 decimals, and counted)
    # and negative scales (a stored 0 is 0, not -0).
    yield 'extra-fine-and-negative', ['--version', '1.4', '--format', '6', '--values', 'edge',
                                      *extra('5:tiny:1e-300', '6:neg:-0.01', '4:neg2:-2.5:1', '10:f:1e-12')], None
    # Float no-data values, NaN among them (every NaN is null then); a zero
    # or infinite scale describes no value: those runs are not written.
    yield 'extra-no-data', ['--version', '1.4', '--format', '6', '--values', 'edge',
                            *extra('9:f:::1e20', '10:d:::nan', '5:u', '9:z:0', '10:inf:inf')], None
    # Descriptors over two records, in the VLRs or the second one an EVLR
    # (that file also has its WKT in an EVLR only).
    yield 'extra-split-vlrs', ['--version', '1.4', '--format', '7', '--values', 'edge',
                               *extra('3:first', '0:3', '9:second:::0', '10:third:::-1.5'), '--extra-split', '1'], None
    yield 'extra-split-evlr-wkt2', ['--version', '1.4', '--format', '8', '--wkt-bit', '--evlr-wkt', wkt2_lambert93(),
                                    *extra('6:first:0.01', '4:second', '10:third'), '--extra-split', '2:evlr'], 2154
    # What is skipped: deprecated arrays and undocumented bytes (the layout
    # of laspy's extrabytes.las, in LAS 1.3), a descriptor that reaches past
    # the record, a reserved type (its size unknown, nothing after it is
    # written), and bytes without any descriptor.
    yield 'extra-skipped', ['--version', '1.3', '--format', '3', '--values', 'edge',
                            *extra('23:arr3', '0:7', '12:arr2', '5:u32', '7:u64')], None
    yield 'extra-past-record', ['--version', '1.4', '--format', '6', *extra('5:fits', '3:past'),
                                '--record-length', '35'], None
    yield 'extra-reserved-type', ['--version', '1.4', '--format', '6', *extra('1:before', '31:reserved', '1:after'),
                                  '--record-length', '33'], None
    yield 'extra-undescribed', ['--version', '1.4', '--format', '0', *extra('3:a', '3:b'), '--extra-undescribed'], None
    # Names: cut to 10 characters, made unique against the standard fields
    # and each other (whatever the case), other characters as '_', none.
    yield 'extra-names', ['--version', '1.4', '--format', '6',
                          *extra('1:Intensity', '1:intensity', '1:VeryLongNameIndeed', '1:VeryLongNameAgain', '1',
                                 '1:', '1:a b-c\u00e9', '1:GPSTime', '1:ScanAngle', '1:ReturnNumber')], None
    # LAS 1.2 with extra bytes: Pelmora refuses the longer records.
    yield 'extra-las-1.2', ['--version', '1.2', '--format', '1', '--values', 'edge', *extra('4:amp:0.1', '2:w')], None
    # The WKT bit without a WKT record: the GeoKeys give the system.
    yield 'crs-wkt-bit-geokeys', ['--version', '1.4', '--format', '1', '--wkt-bit', '--geokeys', 'projected:32633'], 32633


def generate(tools, workdir, case, options, points):
    os.makedirs(os.path.join(workdir, case))
    path = os.path.join(workdir, case, case + '.las')
    subprocess.run([tools.lasgen, '--points', str(points), *options, path], check=True, capture_output=True)
    return path


def check_generated_pelmora(tally, tools, case, workdir, options, box_change):
    path = generate(tools, workdir, case, options, POINTS)
    if box_change:
        points = expect_from_las(path).points
        lo, hi = box_change([min(p[a] for p in points) for a in range(3)],
                            [max(p[a] for p in points) for a in range(3)])
        set_header_box(path, *lo, *hi)
    check_pelmora(tally, tools, case, path)


def check_generated_convert(tally, tools, case, workdir, options, epsg):
    check_convert(tally, tools, case, generate(tools, workdir, case, options, POINTS_1_4), epsg)


def check_real(tally, tools, case, path):
    if case.endswith('.laz'):
        return check_refusal(tally, tools, case, path, 'compressed')
    if case in REFUSED:
        return check_refusal(tally, tools, case, path, REFUSED[case])
    with open(path, 'rb') as f:
        version_minor = f.read(26)[25]
    if version_minor <= 2 and case not in PELMORA_REFUSES:
        return check_pelmora(tally, tools, case, path)
    return check_convert(tally, tools, case, path, REAL_CRS.get(case))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument('--pelmora', required=True)
    parser.add_argument('--convert', required=True, help='the pelmora-convert program')
    parser.add_argument('--lasgen', required=True)
    parser.add_argument('--lasdata', required=True, help='directory of the real LAS sample files')
    parser.add_argument('--workdir', required=True, help='scratch directory; its "readers" subdirectory is replaced')
    args = parser.parse_args()

    for tool in ('ogrinfo', 'ogr2ogr', 'shpdump', 'dbfdump'):
        if shutil.which(tool) is None:
            sys.exit(f'{tool} not found: install gdal-bin and shapelib')
    for module, package in (('shapefile', 'python3-pyshp'), ('osgeo.ogr', 'python3-gdal'), ('fiona', 'python3-fiona')):
        try:
            __import__(module)
        except ImportError:
            sys.exit(f'{module} not found: install {package} and run with /usr/bin/python3')

    tools = Tools(*(os.path.abspath(p) for p in (args.pelmora, args.convert, args.lasgen)))
    workdir = os.path.join(os.path.abspath(args.workdir), 'readers')
    shutil.rmtree(workdir, ignore_errors=True)
    os.makedirs(workdir)
    started = time.monotonic()
    tally = Tally()

    def run_case(name, check, *arguments):
        failed_before = len(tally.failed)
        try:
            check(tally, tools, name, *arguments)
        except Exception as e:  # noqa: BLE001 -- one broken case must not hide the others
            tally.check(f'{name} / runs', [f'{type(e).__name__}: {e}'])
        print(f'{"ok  " if len(tally.failed) == failed_before else "FAIL"} {name}', flush=True)

    for name, options, box_change in pelmora_cases():
        run_case(name, check_generated_pelmora, workdir, options, box_change)
    for name, options, epsg in convert_cases():
        run_case(name, check_generated_convert, workdir, options, epsg)

    samples = sorted(s for s in os.listdir(args.lasdata) if s.lower().endswith(('.las', '.laz')))
    for sample in samples:
        os.makedirs(os.path.join(workdir, 'real', sample))
        path = os.path.join(workdir, 'real', sample, sample)
        shutil.copyfile(os.path.join(args.lasdata, sample), path)
        run_case(sample, check_real, path)
    for sample in sorted((set(REFUSED) | set(PELMORA_REFUSES) | set(REAL_CRS)) - set(samples)):
        tally.check(f'{sample} / present', ['sample file missing'])

    print(f'readers conformance took {time.monotonic() - started:.1f} s; outputs in {workdir}')
    print(f'{tally.passed} passed, {len(tally.failed)} failed')
    return 1 if tally.failed else 0


if __name__ == '__main__':
    sys.exit(main())

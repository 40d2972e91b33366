#!/usr/bin/python3
"""Conformance: independent readers see exactly what the LAS file holds.

Converts generated LAS files (every version/format, typical and edge values,
header boxes that are too small, zero, wider than the points) and every
convertible real file, then reads each output with pyshp, GDAL (ogrinfo,
ogr2ogr, and Python's osgeo.ogr), Fiona and shapelib (shpdump, dbfdump).
For every reader it checks the shape type, the counts, each point's X, Y, Z
(to the last bit), the columns and every value of every row, nulls included,
against expectations computed from the LAS bytes. Real files that
must be refused are checked to end with status 255 and leave no output.

Prints "N passed, M failed" last and exits non-zero on any failure.
"""
import argparse
import math
import os
import shutil
import struct
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from las_expect import expect_from_las, set_header_box  # noqa: E402
from readers import POINTZ, read_fiona, read_gdal, read_ogr, read_pyshp, read_shapelib  # noqa: E402

POINTS = 3000
VARIANTS = [('1.0', 0), ('1.0', 1), ('1.1', 0), ('1.1', 1), ('1.2', 0), ('1.2', 1), ('1.2', 2), ('1.2', 3)]
REFUSED = {
    'pdal_1.2-with-color-clipped.las': 'fewer records than announced',
    'laspy_vegetation_1_3.las': 'LAS 1.3',
    'pasture_10_points_format_3.las': 'LAS 1.4',
    'lasr_extra_byte.las': '32-byte format 1 records',
    'liblas_1.2-with-color.laz': 'compressed',
    'pdal_autzen_trim.laz': 'compressed',
}
OUTPUT_SUFFIXES = ('.shp', '.shx', '.dbf')
MAX_SHOWN = 5  # mismatches shown per check


class Tally:
    def __init__(self):
        self.passed = 0
        self.failed = []

    def check(self, name, problems):
        if problems:
            self.failed.append(name)
            print(f'FAIL {name}')
            for p in problems[:MAX_SHOWN]:
                print(f'     {p}')
            if len(problems) > MAX_SHOWN:
                print(f'     ... {len(problems) - MAX_SHOWN} more')
        else:
            self.passed += 1


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

    check('fields', [] if view.fields == exp.fields else [f'expected {exp.fields}', f'got      {view.fields}'])
    names = [f.name for f in exp.fields]
    check('values', compare_rows(exp.values, view.values, names, 'values'))
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


def run_pelmora(pelmora, las_path):
    return subprocess.run([pelmora, las_path], cwd=os.path.dirname(las_path), capture_output=True,
                          text=True, timeout=120)


def check_conversion(tally, pelmora, case, las_path):
    exp = expect_from_las(las_path)
    run = run_pelmora(pelmora, las_path)
    stem = os.path.splitext(las_path)[0]
    missing = [s for s in OUTPUT_SUFFIXES if not os.path.exists(stem + s)]
    tally.check(f'{case} / converts', [] if run.returncode == 0 and not missing else
                [f'status {run.returncode}, missing {missing}', run.stdout.strip()[-300:]])
    if run.returncode != 0 or missing:
        return
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


def check_refusal(tally, pelmora, case, las_path, reason):
    run = run_pelmora(pelmora, las_path)
    stem = os.path.splitext(las_path)[0]
    left = [stem + s for s in OUTPUT_SUFFIXES if os.path.exists(stem + s)]
    problems = []
    if run.returncode != 255:
        problems.append(f'status {run.returncode}, expected 255 ({reason})')
    if left:
        problems.append(f'left outputs behind: {left}')
    tally.check(f'{case} / refused', problems)


def generated_cases():
    """(name, lasgen options, change to the header box or None)."""
    for seed, (version, fmt) in enumerate(VARIANTS, start=1):
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


def check_generated(tally, pelmora, case, lasgen, workdir, options, box_change):
    os.makedirs(os.path.join(workdir, case))
    path = os.path.join(workdir, case, case + '.las')
    subprocess.run([lasgen, '--points', str(POINTS), *options, path], check=True, capture_output=True)
    if box_change:
        points = expect_from_las(path).points
        lo, hi = box_change([min(p[a] for p in points) for a in range(3)],
                            [max(p[a] for p in points) for a in range(3)])
        set_header_box(path, *lo, *hi)
    check_conversion(tally, pelmora, case, path)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument('--pelmora', required=True)
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

    pelmora, lasgen = os.path.abspath(args.pelmora), os.path.abspath(args.lasgen)
    workdir = os.path.join(os.path.abspath(args.workdir), 'readers')
    shutil.rmtree(workdir, ignore_errors=True)
    os.makedirs(workdir)
    started = time.monotonic()
    tally = Tally()

    def run_case(name, check, *arguments):
        failed_before = len(tally.failed)
        try:
            check(tally, pelmora, name, *arguments)
        except Exception as e:  # noqa: BLE001 -- one broken case must not hide the others
            tally.check(f'{name} / runs', [f'{type(e).__name__}: {e}'])
        print(f'{"ok  " if len(tally.failed) == failed_before else "FAIL"} {name}', flush=True)

    for name, options, box_change in generated_cases():
        run_case(name, check_generated, lasgen, workdir, options, box_change)

    samples = sorted(os.listdir(args.lasdata))
    for sample in samples:
        if not sample.lower().endswith(('.las', '.laz')):
            continue
        os.makedirs(os.path.join(workdir, 'real', sample))
        path = os.path.join(workdir, 'real', sample, sample)
        shutil.copyfile(os.path.join(args.lasdata, sample), path)
        if sample in REFUSED:
            run_case(sample, check_refusal, path, REFUSED[sample])
        else:
            run_case(sample, check_conversion, path)
    for sample in sorted(set(REFUSED) - set(samples)):
        tally.check(f'{sample} / present', ['sample file missing'])

    print(f'readers conformance took {time.monotonic() - started:.1f} s; outputs in {workdir}')
    print(f'{tally.passed} passed, {len(tally.failed)} failed')
    return 1 if tally.failed else 0


if __name__ == '__main__':
    sys.exit(main())

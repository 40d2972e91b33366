#!/usr/bin/python3
"""Conformance: parts of a size and chosen fields, as independent readers see them.

A generated LAS 1.4 file (with extra bytes and a coordinate system) is
converted once as one set (--max-size=none) and once in parts of a small
size with a spatial index.  Read with pyshp and GDAL:

  * no output file of a part is larger than the size, and every part but
    the last is as full as the size allows (adding a point would pass it);
  * every part opens in both readers with its own count, its header box is
    the extent of its points, and its records are numbered from 1;
  * the parts' records and rows, in order, are the one set's;
  * --fields keeps the named columns (any letter case) in table order with
    the one set's values, and --drop-fields all but those.

Prints "N passed, M failed" last and exits non-zero on any failure.
"""
import math
import os
import subprocess
import sys

import shapefile  # pyshp
from osgeo import ogr

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from tally import Tally, suite_setup  # noqa: E402

SIZE = 150 * 1024
POINTS = 9000


def run(args):
    r = subprocess.run(args, capture_output=True, text=True)
    if r.returncode != 0:
        raise RuntimeError(f'{args}: status {r.returncode}: {r.stderr}')
    return r


def comparable(value):
    """NaN (a GPS time of edge values) equal to itself."""
    return 'nan' if isinstance(value, float) and math.isnan(value) else value


def read(stem):
    """Records, rows, field names, header box and record numbers, by pyshp."""
    with shapefile.Reader(stem) as r:
        shapes = r.shapes()
        points = [(s.points[0][0], s.points[0][1], s.z[0]) for s in shapes]
        rows = [tuple(comparable(v) for v in rec) for rec in r.records()]
        fields, box = [f[0] for f in r.fields[1:]], tuple(r.bbox) + tuple(r.zbox)
    # Record numbers, big-endian, at the head of each 36-byte PointZ record.
    data = open(stem + '.shp', 'rb').read()
    numbers = [int.from_bytes(data[100 + 36 * i:104 + 36 * i], 'big') for i in range(len(points))]
    return points, rows, fields, box, numbers


def gdal_count(stem):
    source = ogr.Open(stem + '.shp')
    return source.GetLayer(0).GetFeatureCount()


def extent(points):
    if not points:
        return (0.0,) * 6
    xs, ys, zs = zip(*points)
    return (min(xs), min(ys), max(xs), max(ys), min(zs), max(zs))


def part_problems(stem, points, last, row_bytes, header_bytes):
    problems = []
    for ext in ('.shp', '.shx', '.dbf', '.qix'):
        size = os.path.getsize(stem + ext)
        if size > SIZE:
            problems.append(f'{ext} is {size} bytes, more than {SIZE}')
    n = len(points)
    # As full as the size allows: one point more would pass it in some file.
    fuller = max(100 + 36 * (n + 1), 100 + 8 * (n + 1), header_bytes + row_bytes * (n + 1))
    if not last and fuller <= SIZE:
        problems.append(f'{n} points: one more would still fit')
    return problems


def check_parts(tally, convert, work, las):
    one, parted = os.path.join(work, 'one'), os.path.join(work, 'parts')
    for d in (one, parted):
        os.makedirs(d)
    run([convert, '-q', '--max-size=none', '-o', one, las])
    run([convert, '-q', f'--max-size={SIZE // 1024}K', '--index', '-o', parted, las])
    points, rows, fields, _, _ = read(os.path.join(one, 'p'))
    stems = sorted((f[:-4] for f in os.listdir(parted) if f.endswith('.shp')),
                   key=lambda s: int(s.rsplit('part', 1)[1]))
    tally.check('several parts', [] if len(stems) > 2 else [f'{len(stems)} parts'])
    got_points, got_rows = [], []
    dbf = open(os.path.join(one, 'p.dbf'), 'rb').read()
    header_bytes, row_bytes = int.from_bytes(dbf[8:10], 'little'), int.from_bytes(dbf[10:12], 'little')
    for k, s in enumerate(stems):
        stem = os.path.join(parted, s)
        p, r, f, box, numbers = read(stem)
        problems = part_problems(stem, p, k == len(stems) - 1, row_bytes, header_bytes)
        if gdal_count(stem) != len(p):
            problems.append(f'GDAL counts {gdal_count(stem)}, pyshp {len(p)}')
        if box != extent(p):
            problems.append(f'header box {box}, points {extent(p)}')
        if numbers != list(range(1, len(p) + 1)):
            problems.append('records not numbered from 1')
        if f != fields or not os.path.exists(stem + '.prj'):
            problems.append('fields or .prj differ from the one set')
        tally.check(f'part {s}', problems)
        got_points += p
        got_rows += r
    tally.check('parts in order are the one set',
                [] if (got_points, got_rows) == (points, rows) else ['records or rows differ'])


def check_fields(tally, convert, work, las):
    points, rows, fields, _, _ = read(os.path.join(work, 'one', 'p'))
    cases = [(['--fields=gpstime,Intensity,CLASSIFICA'], ['Intensity', 'Classifica', 'GPSTime']),
             (['--drop-fields=ReturnNumb,NumberRetu', '--drop-fields=amplitude'],
              [f for f in fields if f not in ('ReturnNumb', 'NumberRetu', 'amplitude')])]
    for options, kept in cases:
        d = os.path.join(work, 'fields-' + str(len(kept)))
        os.makedirs(d)
        run([convert, '-q', *options, '-o', d, las])
        p, r, f, _, _ = read(os.path.join(d, 'p'))
        at = [fields.index(name) for name in kept]
        want = [tuple(row[i] for i in at) for row in rows]
        problems = [] if f == kept else [f'fields {f}, expected {kept}']
        if (p, r) != (points, want):
            problems.append('records or values differ from the whole table')
        tally.check(f'fields {" ".join(options)}', problems)


def main():
    a, work = suite_setup('parts')
    las = os.path.join(work, 'p.las')
    run([a.lasgen, '--version', '1.4', '--format', '7', '--points', str(POINTS), '--values', 'edge',
         '--geokeys', 'projected:32617', '--extra', '4:amplitude:0.1', las])
    tally = Tally()
    check_parts(tally, a.convert, work, las)
    check_fields(tally, a.convert, work, las)
    print(f'{tally.passed} passed, {len(tally.failed)} failed')
    sys.exit(1 if tally.failed else 0)


if __name__ == '__main__':
    main()

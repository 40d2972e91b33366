#!/usr/bin/python3
"""Conformance: GDAL answers box queries from our .qix exactly as without it.

Point sets come from `pelmora-convert --index` (generated LAS files: the
index filed while converting, or made from the .shp when the header box is
fitted to the points or a selection keeps some) and, for layouts a LAS file
cannot easily give, from shapefiles written here: duplicates, points on the
tree's split lines and one step past them, one location only, a zero-width
column, a header box wider or narrower than the points, NaN and infinite
coordinates, subnormal and near-overflow values.  For each set, at the
depth the converter picks (its own NAME.qix) and at several more
(tools/qixgen, the same writer on the finished .shp):

  * every shape id is in the file once, inside the box of its node and of
    every ancestor by the comparisons a reader makes;
  * for many boxes (random, on node edges, on the outer edge, degenerate,
    away from the points, the whole extent) GDAL returns the same features
    with the index as from an unindexed copy, and says that it used it;
  * where GDAL would build the same tree (the header box holds the points)
    its own CREATE SPATIAL INDEX ... DEPTH n writes the very same bytes.

Prints "N passed, M failed" last and exits non-zero on any failure.
"""
import argparse
import math
import os
import random
import re
import shutil
import struct
import subprocess
import sys
import time

from osgeo import gdal, ogr

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from tally import Tally  # noqa: E402

NAN, INF = float('nan'), float('inf')
SPLIT = 0.55
FORCED_DEPTHS = (1, 2, 5, 9, 12)
USED = re.compile(r'SHAPE: Used spatial index, got (\d+) matches')


# ---- shapefiles as the converter lays them out ------------------------------

def write_pointz(stem, points, box=None):
    """NAME.shp/.shx/.dbf of PointZ records; `box` (Xmin, Ymin, Xmax, Ymax)
    defaults to the points' extent, as the converter writes it."""
    if box is None:
        xs = [p[0] for p in points if not math.isnan(p[0])] or [0.0]
        ys = [p[1] for p in points if not math.isnan(p[1])] or [0.0]
        box = (min(xs), min(ys), max(xs), max(ys))

    def header(words):
        return (struct.pack('>i20xi', 9994, words) + struct.pack('<ii', 1000, 11) +
                struct.pack('<8d', *box, 0.0, 0.0, 0.0, 0.0))

    n = len(points)
    with open(stem + '.shp', 'wb') as f:
        f.write(header(50 + 18 * n))
        for i, (x, y) in enumerate(points):
            f.write(struct.pack('>ii', i + 1, 14) + struct.pack('<iddd', 11, x, y, 0.0))
    with open(stem + '.shx', 'wb') as f:
        f.write(header(50 + 4 * n))
        f.write(b''.join(struct.pack('>ii', 50 + 18 * i, 14) for i in range(n)))
    with open(stem + '.dbf', 'wb') as f:
        f.write(struct.pack('<BBBBIHH20x', 3, 126, 1, 1, n, 65, 11))
        f.write(b'ID'.ljust(11, b'\0') + b'N\0\0\0\0' + bytes([10, 0]) + bytes(14) + b'\r')
        f.write(b''.join(b' %10d' % i for i in range(n)) + b'\x1a')


def read_points(stem):
    with open(stem + '.shp', 'rb') as f:
        data = f.read()
    box = struct.unpack_from('<4d', data, 36)
    return box, [struct.unpack_from('<2d', data, 100 + 36 * i + 12) for i in range((len(data) - 100) // 36)]


# ---- the tree's geometry, with the same double operations -------------------

def split(b):
    x0, y0, x1, y1 = b
    if x1 - x0 > y1 - y0:
        r = x1 - x0
        return (x0, y0, x0 + r * SPLIT, y1), (x1 - r * SPLIT, y0, x1, y1)
    r = y1 - y0
    return (x0, y0, x1, y0 + r * SPLIT), (x0, y1 - r * SPLIT, x1, y1)


def quarters(b):
    h1, h2 = split(b)
    return [*split(h1), *split(h2)]


def holds(b, x, y):
    return not (x < b[0] or x > b[2] or y < b[1] or y > b[3])


def node_boxes(root, levels):
    boxes, level = [root], [root]
    for _ in range(levels - 1):
        level = [q for b in level for q in quarters(b)]
        boxes += level
    return boxes


def parse_qix(path):
    """(shape count, depth, nodes) with nodes as (box, ids, parent index)."""
    with open(path, 'rb') as f:
        data = f.read()
    if data[:8] != b'SQT\x01\x01\x00\x00\x00':
        raise ValueError(f'header {data[:8]!r}')
    count, depth = struct.unpack_from('<ii', data, 8)
    nodes = []

    def node(pos, parent):
        below, *box, n = struct.unpack_from('<i4di', data, pos)
        ids = struct.unpack_from(f'<{n}i', data, pos + 40)
        children, = struct.unpack_from('<i', data, pos + 40 + 4 * n)
        me = len(nodes)
        nodes.append((tuple(box), ids, parent))
        end = pos + 44 + 4 * n
        at = end
        for _ in range(children):
            at = node(at, me)
        if at != end + below:
            raise ValueError(f'node at {pos}: descendants take {at - end} bytes, offset says {below}')
        return at

    if node(16, None) != len(data):
        raise ValueError('bytes after the tree')
    return count, depth, nodes


# ---- point sets -------------------------------------------------------------

def converted(ctx, name, *lasgen_options, select=()):
    """`pelmora-convert --index` on a generated LAS file: the stem, and the
    .qix it wrote."""
    stem = os.path.join(ctx.workdir, name)
    subprocess.run([ctx.lasgen, *lasgen_options, stem + '.las'], check=True, stdout=subprocess.DEVNULL)
    run = subprocess.run([ctx.convert, '-q', '--index', *select, stem + '.las'], capture_output=True, text=True)
    if run.returncode != 0:  # its warnings (values too wide for their fields) are no concern here
        raise RuntimeError(f'pelmora-convert exited with {run.returncode}: {run.stderr}')
    with open(stem + '.qix', 'rb') as f:
        return stem, f.read()


def written(ctx, name, points, box=None):
    stem = os.path.join(ctx.workdir, name)
    write_pointz(stem, points, box)
    return stem, None


def on_split_lines():
    """Corners and split lines of the top five levels, and one step either
    side of each split value."""
    root = (-300.0, 20.0, 700.0, 620.0)
    points = []
    for b in node_boxes(root, 4):
        h1, h2 = split(b)
        cx, cy = (b[0] + b[2]) / 2, (b[1] + b[3]) / 2
        points += [(b[0], b[1]), (b[2], b[3]), (b[0], b[3]), (b[2], b[1])]
        for q in quarters(b) + [h1, h2]:
            for v in (q[2], q[0]):
                for w in (v, math.nextafter(v, INF), math.nextafter(v, -INF)):
                    if root[0] <= w <= root[2]:
                        points.append((w, cy))
                    if root[1] <= w <= root[3]:
                        points.append((cx, w))
    return points, root


def point_sets(ctx):
    rng = random.Random(5)
    sites = [(rng.uniform(0, 90), rng.uniform(0, 40)) for _ in range(12)]
    split_points, split_root = on_split_lines()
    yield 'converted_random', converted(ctx, 'converted_random', '--points', '3000', '--seed', '3'), True
    yield 'converted_edge_values', converted(ctx, 'converted_edge_values', '--points', '700', '--values', 'edge'), True
    yield 'converted_small_header_box', converted(ctx, 'converted_small_box', '--points', '500', '--box', 'small'), True
    # The .shp gets the kept points' extent for its box.
    yield 'converted_selection', converted(ctx, 'converted_selection', '--points', '3000', '--seed', '4',
                                           select=('--bounds', '500200,4000300,500700.5,4000900')), True
    yield 'converted_one_point', converted(ctx, 'converted_one', '--points', '1'), True
    yield 'converted_no_points', converted(ctx, 'converted_none', '--points', '0'), True
    yield 'duplicates', written(ctx, 'duplicates', [rng.choice(sites) for _ in range(400)]), True
    yield 'split_lines', written(ctx, 'split_lines', split_points, split_root), True
    yield 'one_location', written(ctx, 'one_location', [(12.5, -7.25)] * 60), True
    yield 'one_column', written(ctx, 'one_column', [(3.0, rng.uniform(0, 1e3)) for _ in range(300)]), True
    yield 'wide_header_box', written(ctx, 'wide_box', [(rng.uniform(100, 200), rng.uniform(100, 200))
                                                      for _ in range(300)], (0.0, 0.0, 1e3, 1e3)), True
    # GDAL's own tree files these points under a root box that leaves them
    # out, so no byte comparison.
    outside = [(rng.uniform(0, 50), rng.uniform(0, 50)) for _ in range(200)]
    outside += [(60.0, 5.0), (-3.0, 70.0), (INF, 5.0), (5.0, -INF), (NAN, 5.0), (5.0, NAN), (NAN, NAN)]
    yield 'outside_header_box', written(ctx, 'outside_box', outside, (0.0, 0.0, 50.0, 50.0)), False
    tiny = [(rng.randrange(-40, 40) * 5e-324, rng.randrange(0, 9) * 5e-324) for _ in range(200)]
    yield 'subnormal', written(ctx, 'subnormal', tiny), True
    huge = [(rng.choice((-1.7e308, 1.7e308, 0.0, 1e307)), rng.choice((-1.7e308, 1.7e308, 3.0))) for _ in range(100)]
    yield 'near_overflow', written(ctx, 'near_overflow', huge), True


# ---- query boxes ------------------------------------------------------------

def query_boxes(rng, points, qix_nodes):
    finite = [(x, y) for x, y in points if math.isfinite(x) and math.isfinite(y)] or [(0.0, 0.0)]
    x0, x1 = min(p[0] for p in finite), max(p[0] for p in finite)
    y0, y1 = min(p[1] for p in finite), max(p[1] for p in finite)
    w, h = (x1 - x0) or 1.0, (y1 - y0) or 1.0
    if not (math.isfinite(w) and math.isfinite(h)):
        w, h = 1e300, 1e300
    boxes = [(x0, y0, x1, y1), (x0 - w, y0 - h, x1 + w, y1 + h),          # everything
             (x1, y0, x1 + w, y1), (x0 - w, y0, x0, y1),                  # touching the outer edge
             (x0, y1, x1, y1 + h), (x0, y0 - h, x1, y0),
             (x1 + w, y1 + h, x1 + 2 * w, y1 + 2 * h)]                    # away from all points
    for _ in range(25):
        bx, by = rng.uniform(x0, x1), rng.uniform(y0, y1)
        s = rng.choice((0.01, 0.1, 0.3))
        boxes.append((bx, by, bx + s * w, by + s * h))
    for x, y in rng.sample(finite, min(10, len(finite))):
        boxes.append((x, y, x, y))                                        # exactly one location
    for box, _, _ in rng.sample(qix_nodes, min(20, len(qix_nodes))):     # on node edges
        bx0, by0, bx1, by1 = box
        if all(math.isfinite(v) for v in box):
            boxes += [(bx1, by0, bx1, by1), (bx0, by0, bx0, by1), (bx0, by1, bx1, by1),
                      (bx0, by0, bx1, by0), (bx1, by1, bx1 + w, by1 + h)]
    return [b for b in boxes if all(math.isfinite(v) for v in b)]


class Debug:
    """GDAL's debug messages, collected."""
    def __init__(self):
        self.messages = []

    def __call__(self, err_class, err_no, message):
        if err_class == gdal.CE_Debug:
            self.messages.append(message)


DEBUG = Debug()


def select(layer, box):
    """The features GDAL returns for `box`, and the candidate counts of the
    index if it said it used one."""
    DEBUG.messages.clear()
    layer.SetSpatialFilterRect(*box)
    fids = sorted(f.GetFID() for f in layer)
    used = [int(m.group(1)) for m in map(USED.search, DEBUG.messages) if m]
    return fids, used


# ---- checks -----------------------------------------------------------------

def check_structure(count, nodes, points):
    problems = []
    if count != len(points):
        problems.append(f'header counts {count} shapes, the .shp has {len(points)}')
    seen = [0] * len(points)
    for box, ids, parent in nodes:
        for i in ids:
            seen[i] += 1
            x, y = points[i]
            at = box
            p = parent
            while True:
                if not holds(at, x, y):
                    problems.append(f'shape {i} ({x!r}, {y!r}) outside node box {at}')
                if p is None:
                    break
                at, p = nodes[p][0], nodes[p][2]
    problems += [f'shape {i} listed {n} times' for i, n in enumerate(seen) if n != 1]
    return problems


def check_set(ctx, tally, name, made, gdal_comparable):
    stem, converter_qix = made
    _, points = read_points(stem)
    plain = os.path.join(ctx.workdir, f'{name}_plain')
    for ext in ('.shp', '.shx', '.dbf'):
        shutil.copyfile(stem + ext, plain + ext)
    plain_ds = ogr.Open(plain + '.shp')
    plain_layer = plain_ds.GetLayer()
    expected = {}  # box: features without the index
    rng = random.Random(name)
    text = subprocess.run([ctx.qixgen, '--stats', stem + '.shp'], check=True, capture_output=True, text=True).stdout
    default = int(text.split()[3])
    for depth in sorted({default, *FORCED_DEPTHS}):
        label = f'{name} depth {depth}'
        if depth == default and converter_qix is not None:
            label += ' (pelmora-convert)'
            with open(stem + '.qix', 'wb') as f:
                f.write(converter_qix)
        else:
            subprocess.run([ctx.qixgen, '--depth', str(depth), stem + '.shp'], check=True)
        count, file_depth, nodes = parse_qix(stem + '.qix')
        problems = check_structure(count, nodes, points)
        if file_depth != depth:
            problems.append(f'header depth {file_depth}')
        tally.check(f'{label} / every point inside its nodes', problems)

        ds = ogr.Open(stem + '.shp')
        layer = ds.GetLayer()
        problems, used_index = [], 0
        for box in query_boxes(rng, points, nodes):
            if box not in expected:
                expected[box] = select(plain_layer, box)[0]
            got, used = select(layer, box)
            used_index += bool(used)
            if got != expected[box]:
                problems.append(f'box {box}: {len(got)} features, {len(expected[box])} without the index; '
                                f'missing {sorted(set(expected[box]) - set(got))[:5]}')
            if used and used[0] < len(got):
                problems.append(f'box {box}: index gave {used[0]} candidates for {len(got)} features')
        # GDAL skips the index for a box that holds the whole extent, as
        # every box meeting a single location does.
        if len(set(points)) > 1 and not used_index:
            problems.append('GDAL never said it used the index')
        ds = None
        tally.check(f'{label} / same features as without the index', problems)

        if gdal_comparable:
            with open(stem + '.qix', 'rb') as f:
                tally.check(f'{label} / same bytes as GDAL', same_bytes(f.read(), gdal_index(ctx, stem, depth)))


def gdal_index(ctx, stem, depth):
    """The bytes of GDAL's own index of a copy of `stem` at `depth`."""
    theirs = stem + '_gdal'
    for ext in ('.shp', '.shx', '.dbf'):
        shutil.copyfile(stem + ext, theirs + ext)
    ds = ogr.Open(theirs + '.shp', update=1)
    ds.ExecuteSQL(f'CREATE SPATIAL INDEX ON {os.path.basename(theirs)} DEPTH {depth}')
    ds = None
    with open(theirs + '.qix', 'rb') as f:
        return f.read()


def same_bytes(mine, gdals):
    if mine == gdals:
        return []
    diff = next((i for i, (u, v) in enumerate(zip(mine, gdals)) if u != v), min(len(mine), len(gdals)))
    return [f'{len(mine)} bytes, GDAL {len(gdals)}; first difference at byte {diff}']


def check_dense(ctx, tally):
    """A denser set, big enough to be filed on several threads: the
    converter's index has GDAL's bytes at its depth, a small box reads few
    candidates, and ogrinfo --debug on reports the index."""
    points = 150000
    stem, qix = converted(ctx, 'dense', '--points', str(points), '--seed', '11')
    depth, = struct.unpack_from('<i', qix, 12)
    tally.check('dense / same bytes as GDAL', same_bytes(qix, gdal_index(ctx, stem, depth)))
    (x0, y0, _, _), _ = read_points(stem)
    spat = [str(v) for v in (x0 + 100, y0 + 100, x0 + 150, y0 + 150)]
    run = subprocess.run(['ogrinfo', '--debug', 'on', '-q', '-spat', *spat, stem + '.shp', 'dense'],
                         capture_output=True, text=True)
    found = USED.search(run.stderr + run.stdout)
    problems = [] if found else ['no "SHAPE: Used spatial index, got N matches." in ogrinfo --debug on']
    if found and not 0 < int(found.group(1)) < points // 50:
        problems.append(f'{found.group(1)} candidates of {points} points for a 50 m box of a 1 km tile')
    tally.check('dense / ogrinfo uses the index and reads few candidates', problems)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument('--convert', required=True, help='pelmora-convert')
    parser.add_argument('--lasgen', required=True)
    parser.add_argument('--qixgen', required=True)
    parser.add_argument('--workdir', required=True, help='scratch directory; its "qix" subdirectory is replaced')
    ctx = parser.parse_args()
    if shutil.which('ogrinfo') is None:
        sys.exit('ogrinfo not found: install gdal-bin')
    ctx.workdir = os.path.join(os.path.abspath(ctx.workdir), 'qix')
    shutil.rmtree(ctx.workdir, ignore_errors=True)
    os.makedirs(ctx.workdir)
    gdal.SetConfigOption('CPL_DEBUG', 'ON')
    gdal.PushErrorHandler(DEBUG)
    started = time.monotonic()
    tally = Tally()
    for name, made, gdal_comparable in point_sets(ctx):
        failed_before = len(tally.failed)
        try:
            check_set(ctx, tally, name, made, gdal_comparable)
        except Exception as e:  # noqa: BLE001 -- one broken set must not hide the others
            tally.check(f'{name} / runs', [f'{type(e).__name__}: {e}'])
        print(f'{"ok  " if len(tally.failed) == failed_before else "FAIL"} {name}', flush=True)
    try:
        check_dense(ctx, tally)
    except Exception as e:  # noqa: BLE001
        tally.check('dense / runs', [f'{type(e).__name__}: {e}'])
    print(f'qix conformance took {time.monotonic() - started:.1f} s; files in {ctx.workdir}')
    print(f'{tally.passed} passed, {len(tally.failed)} failed')
    return 1 if tally.failed else 0


if __name__ == '__main__':
    sys.exit(main())

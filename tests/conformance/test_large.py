#!/usr/bin/python3
"""Large-file conformance (opt-in): a .shp over 2 GiB read by every reader.

Generates a LAS 1.2 format 3 file of 64,000,000 points (the LAS file itself
is over 2 GiB too), converts it, and checks:
  - the sizes of the three outputs and every .shx entry (offset, length);
  - with each reader, the counts, the header box and a sample of records
    read back by index: the first and last, those on both sides of every
    2 GiB and 4 GiB byte boundary of the .shp and the .dbf, the ends of
    the last chunks, and random ones; each compared with what the LAS bytes
    hold (coordinates to the last bit, every attribute);
  - full sequential passes with the readers that can make one in minutes:
    osgeo.ogr and pyshp count every shape, shapelib's shpdump and dbfdump
    stream the whole files (and supply the sampled records on the way).
Fiona reads the sample by index only: a full pass takes about half an hour.

Needs about 9 GB free in the work directory and 15 to 25 minutes on two
cores. Prints one line per check with its time, then "N passed, M failed";
exits non-zero on any failure. Outputs are deleted unless --keep is given.
"""
import argparse
import os
import random
import shutil
import subprocess
import sys
import time

import numpy

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from las_expect import expect_records  # noqa: E402
from readers import POINTZ, View, _run  # noqa: E402
from test_readers import Tally, compare_rows, same  # noqa: E402

POINTS = 64_000_000
SHP_RECORD, SHX_RECORD = 36, 8
BYTES_PER_POINT = 34 + SHP_RECORD + SHX_RECORD + 55  # LAS + .shp + .shx + .dbf row (1.2 format 3)


def sample_indices(count, dbf_header, dbf_row):
    """Records worth reading back from a file of `count` points."""
    picks = {0, 1, 2, count - 3, count - 2, count - 1}
    for boundary in (2 ** 31, 2 ** 32):
        for start, size in ((100, SHP_RECORD), (dbf_header, dbf_row)):
            i = (boundary - start) // size  # the record holding byte `boundary`
            picks.update(j for j in (i - 1, i, i + 1) if 0 <= j < count)
    last_chunk = (count - 1) // 1_000_000 * 1_000_000
    picks.update(j for j in (last_chunk - 1, last_chunk) if 0 <= j < count)
    rng = random.Random(6)
    picks.update(rng.randrange(count) for _ in range(20))
    return sorted(picks)


def dbf_layout(path):
    import struct
    with open(path, 'rb') as f:
        records, header, row = struct.unpack('<IHH', f.read(12)[4:12])
    return records, header, row


def compare_sample(tally, reader, exp, indices, view):
    """view.points / view.values hold the sampled records in order."""
    def check(what, problems):
        tally.check(f'{reader} / {what}', problems)

    check('shape type', [] if view.shape_types <= {POINTZ} and view.shape_types else
          [f'reports {sorted(map(str, view.shape_types))}'])
    check('counts', [f'{what} = {n}, expected {exp.count_all}' for what, n in view.counts.items()
                     if n != exp.count_all])
    if view.points:
        check('sampled coordinates', [f'point {i}: expected {e!r}, got {g!r}'
                                      for i, e, g in zip(indices, exp.points, view.points)
                                      if g is None or not all(same(a, b) for a, b in zip(e, g))]
              + ([] if len(view.points) == len(indices) else [f'{len(view.points)} of {len(indices)} read']))
    if view.fields:
        check('fields', [] if view.fields == exp.fields else [f'expected {exp.fields}', f'got      {view.fields}'])
    if view.values:
        problems = compare_rows(exp.values, view.values, [f.name for f in exp.fields], 'values')
        # compare_rows numbers rows from 0: name them by record index instead.
        check('sampled values', [p.replace('row ', 'sample ', 1) for p in problems]
              + [f'samples are records {indices}'] * bool(problems))
    if view.box:
        check('bounding box', [f'{k}: expected {exp.box[k]!r}, got {v!r}' for k, v in view.box.items()
                               if not same(exp.box[k], v)])


def sample_pyshp(shp, indices):
    import shapefile
    view = View()
    with shapefile.Reader(shp) as r:
        view.shape_types.add(r.shapeType)
        view.counts = {'shapes (.shx)': r.numShapes, 'records (.dbf)': r.numRecords}
        view.box = dict(zip(('xmin', 'ymin', 'xmax', 'ymax'), r.bbox))
        view.box.update(zip(('zmin', 'zmax'), r.zbox))
        for i in indices:
            shape = r.shape(i)
            view.shape_types.add(shape.shapeType)
            view.points.append((shape.points[0][0], shape.points[0][1], shape.z[0]))
            view.values.append(list(r.record(i)))
    return view


def full_pyshp(shp):
    import shapefile
    with shapefile.Reader(shp) as r:
        n = sum(1 for _ in r.iterShapes())  # sequential: .shp record headers, no .shx
    return {'shapes read in sequence': n}


def sample_ogr(shp, indices):
    from osgeo import ogr
    ogr.UseExceptions()
    view = View()
    source = ogr.Open(shp, 0)
    layer = source.GetLayer(0)
    if layer.GetGeomType() == ogr.wkbPoint25D:
        view.shape_types.add(POINTZ)
    view.counts['features'] = layer.GetFeatureCount(True)
    xmin, xmax, ymin, ymax = layer.GetExtent(False)
    view.box = dict(xmin=xmin, ymin=ymin, xmax=xmax, ymax=ymax)
    definition = layer.GetLayerDefn()
    for i in indices:
        feature = layer.GetFeature(i)
        view.points.append(feature.GetGeometryRef().GetPoint(0))
        view.values.append([feature.GetField(k) if feature.IsFieldSetAndNotNull(k) else None
                            for k in range(definition.GetFieldCount())])
    return view


def full_ogr(shp):
    from osgeo import ogr
    ogr.UseExceptions()
    source = ogr.Open(shp, 0)
    layer = source.GetLayer(0)
    n, last = 0, None
    for feature in layer:
        n += 1
        last = feature.GetFID()
    return {'features read in sequence': n, 'last FID + 1': (last + 1) if last is not None else 0}


def sample_fiona(shp, indices):
    import fiona
    view = View()
    with fiona.open(shp) as source:
        if source.schema['geometry'] == '3D Point':
            view.shape_types.add(POINTZ)
        view.counts['features'] = len(source)
        xmin, ymin, xmax, ymax = source.bounds
        view.box = dict(xmin=xmin, ymin=ymin, xmax=xmax, ymax=ymax)
        names = list(source.schema['properties'])
        for i in indices:
            feature = source[i]
            view.points.append(tuple(feature['geometry']['coordinates']))
            view.values.append([feature['properties'][n] for n in names])
    return view


def sample_ogrinfo(shp, indices):
    """The command-line tool: the summary, and each sampled feature by -fid."""
    import re
    view = View()
    summary = _run('ogrinfo', '-ro', '-so', '-al', shp)
    if re.search(r'^Geometry: 3D Point$', summary, re.M):
        view.shape_types.add(POINTZ)
    view.counts['features'] = int(re.search(r'^Feature Count: (\d+)$', summary, re.M).group(1))
    kinds = re.findall(r'^(\w+): (\w+) \((\d+)\.(\d+)\)$', summary, re.M)
    for i in indices:
        text = _run('ogrinfo', '-ro', '-al', '-q', '--config', 'OGR_WKT_PRECISION', '17', '-fid', str(i), shp)
        point = re.search(r'POINT Z \((\S+) (\S+) (\S+)\)', text)
        view.points.append(tuple(float(c) for c in point.groups()) if point else None)
        row = []
        for name, kind, _, _ in kinds:
            m = re.search(rf'^  {name} \(\w+\) = (.*)$', text, re.M)
            row.append(None if m is None or m.group(1) == '(null)' else
                       float(m.group(1)) if kind == 'Real' else int(m.group(1)))
        view.values.append(row)
    return view


SHPDUMP_PICK = r'''
/^Shape:[0-9]+ / { n++; sub(/^Shape:/, ""); cur = $1 + 0; if (cur in want) grab = 1; next }
grab && /^ +\(/ { print "P", cur, $0; grab = 0 }
END { print "N", n }
'''
DBFDUMP_PICK = r'''
NR > 1 { row = NR - 2; if (row in want) print "R", row, $0; n++ }
END { print "N", n }
'''


def start_stream(command, awk_program, indices):
    """A full pass of a shapelib tool, piped through awk, which keeps only
    the count and the sampled records."""
    want = 'BEGIN { ' + ' '.join(f'want[{i}];' for i in indices) + ' }'
    tool = subprocess.Popen(command, stdout=subprocess.PIPE)
    awk = subprocess.Popen(['awk', want + awk_program], stdin=tool.stdout, stdout=subprocess.PIPE, text=True)
    tool.stdout.close()
    return tool, awk


def finish_shpdump(stream, indices):
    import re
    tool, awk = stream
    out, _ = awk.communicate()
    view = View()
    if tool.wait() != 0:
        raise RuntimeError(f'shpdump ended with status {tool.returncode}')
    got = {}
    for line in out.splitlines():
        kind, rest = line.split(' ', 1)
        if kind == 'N':
            view.counts['shapes dumped'] = int(rest)
        else:
            index, vertex = rest.split(' ', 1)
            m = re.match(r'\s+\(([^,]+),([^,]+), ([^,)]+)', vertex)
            got[int(index)] = tuple(float(c) for c in m.groups())
    view.points = [got.get(i) for i in indices]
    view.shape_types.add(POINTZ)  # checked by shpinfo below
    return view


def finish_dbfdump(stream, indices, fields):
    tool, awk = stream
    out, _ = awk.communicate()
    view = View()
    if tool.wait() != 0:
        raise RuntimeError(f'dbfdump ended with status {tool.returncode}')
    got = {}
    for line in out.splitlines():
        kind, rest = line.split(' ', 1)
        if kind == 'N':
            view.counts['rows dumped'] = int(rest)
        else:
            index, text = rest.split(' ', 1)
            got[int(index)] = [None if t == '(NULL)' else float(t) if f.kind == 'real' else int(t)
                               for t, f in zip(text.split(), fields)]
    view.values = [got.get(i, []) for i in indices]
    view.shape_types.add(POINTZ)
    return view


def shpinfo_view(shp):
    import re
    view = View()
    text = _run('shpinfo', shp)
    m = re.search(r'^\((\d+)\), (\d+) Records in file', text, re.M)
    view.shape_types.add(int(m.group(1)))
    view.counts['shapes'] = int(m.group(2))
    return view


def index_problems(stem, count):
    """Every .shx entry, and the sizes and length fields of .shp and .shx."""
    problems = []
    shx = numpy.memmap(stem + '.shx', dtype='>i4', mode='r', offset=100).reshape(-1, 2)
    if len(shx) != count:
        problems.append(f'.shx has {len(shx)} entries, expected {count}')
    else:
        offsets = 50 + 18 * numpy.arange(count, dtype=numpy.int64)
        bad = numpy.nonzero((shx[:, 0] != offsets) | (shx[:, 1] != 14))[0]
        problems += [f'.shx entry {i}: offset {shx[i, 0]}, length {shx[i, 1]}' for i in bad[:5]]
    for suffix, size in (('.shp', SHP_RECORD), ('.shx', SHX_RECORD)):
        words = int(numpy.fromfile(stem + suffix, dtype='>i4', count=7)[6])
        actual = os.path.getsize(stem + suffix)
        if not words * 2 == actual == 100 + size * count:
            problems.append(f'{suffix}: {actual} bytes, length field {words} words, expected {count} records')
    return problems


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument('--pelmora', required=True)
    parser.add_argument('--lasgen', required=True)
    parser.add_argument('--workdir', required=True, help='scratch directory; its "large" subdirectory is replaced')
    parser.add_argument('--points', type=int, default=POINTS)
    parser.add_argument('--keep', action='store_true', help='keep the LAS file and the outputs')
    args = parser.parse_args()

    pelmora, lasgen = os.path.abspath(args.pelmora), os.path.abspath(args.lasgen)
    workdir = os.path.join(os.path.abspath(args.workdir), 'large')
    shutil.rmtree(workdir, ignore_errors=True)
    os.makedirs(workdir)
    need = args.points * BYTES_PER_POINT
    free = shutil.disk_usage(workdir).free
    if free < need * 1.05:
        sys.exit(f'needs {need / 1e9:.1f} GB free in {workdir}, has {free / 1e9:.1f} GB')

    las = os.path.join(workdir, 'large.las')
    stem = las[:-4]
    tally = Tally()
    started = time.monotonic()

    def step(name, work):
        t = time.monotonic()
        failed_before = len(tally.failed)
        try:
            result = work()
        except Exception as e:  # noqa: BLE001 -- a reader that fails is a finding, not the end
            tally.check(f'{name} / runs', [f'{type(e).__name__}: {e}'])
            result = None
        print(f'{"ok  " if len(tally.failed) == failed_before else "FAIL"} {name}'
              f' ({time.monotonic() - t:.0f} s)', flush=True)
        return result

    step('lasgen', lambda: subprocess.run([lasgen, '--version', '1.2', '--format', '3', '--points',
                                           str(args.points), '--seed', '64', las], check=True,
                                          capture_output=True))

    def convert():
        run = subprocess.run([pelmora, las], cwd=workdir, capture_output=True, text=True)
        tally.check('Pelmora / converts', [] if run.returncode == 0 else
                    [f'status {run.returncode}', run.stdout.strip()[-300:]])
        return run.returncode == 0
    if not step('Pelmora', convert):
        print(f'{tally.passed} passed, {len(tally.failed)} failed')
        return 1
    sizes = {s: os.path.getsize(stem + s) for s in ('.las', '.shp', '.shx', '.dbf')}
    print('sizes: ' + ', '.join(f'{s} {n:,} bytes' for s, n in sizes.items()))
    step('index and lengths', lambda: tally.check('index and lengths', index_problems(stem, args.points)))

    records, dbf_header, dbf_row = dbf_layout(stem + '.dbf')
    tally.check('.dbf record count and size', [] if records == args.points and
                sizes['.dbf'] in (dbf_header + dbf_row * records, dbf_header + dbf_row * records + 1) else
                [f'{records} records, {sizes[".dbf"]} bytes'])
    indices = sample_indices(args.points, dbf_header, dbf_row)
    count, exp = expect_records(las, indices)
    exp.count_all = count
    print(f'sampled records: {indices}')

    # The shapelib tools stream both whole files in the background meanwhile.
    shp_stream = start_stream(['shpdump', '-precision', '17', stem + '.shp'], SHPDUMP_PICK, indices)
    dbf_stream = start_stream(['dbfdump', stem + '.dbf'], DBFDUMP_PICK, indices)

    shp = stem + '.shp'
    for name, sample in (('pyshp', sample_pyshp), ('osgeo.ogr', sample_ogr), ('fiona', sample_fiona),
                         ('ogrinfo', sample_ogrinfo)):
        view = step(f'{name} sample', lambda: sample(shp, indices))
        if view is not None:
            compare_sample(tally, name, exp, indices, view)
    for name, full in (('osgeo.ogr', full_ogr), ('pyshp', full_pyshp)):
        counts = step(f'{name} full pass', lambda: full(shp))
        if counts is not None:
            tally.check(f'{name} / full pass', [f'{k} = {n}, expected {count}' for k, n in counts.items()
                                                if n != count])
    view = step('shpinfo', lambda: shpinfo_view(shp))
    if view is not None:
        compare_sample(tally, 'shpinfo', exp, [], view)
    view = step('shpdump full pass', lambda: finish_shpdump(shp_stream, indices))
    if view is not None:
        compare_sample(tally, 'shpdump', exp, indices, view)
    view = step('dbfdump full pass', lambda: finish_dbfdump(dbf_stream, indices, exp.fields))
    if view is not None:
        compare_sample(tally, 'dbfdump', exp, indices, view)

    if not args.keep:
        shutil.rmtree(workdir, ignore_errors=True)
    print(f'large-file conformance took {time.monotonic() - started:.0f} s')
    print(f'{tally.passed} passed, {len(tally.failed)} failed')
    return 1 if tally.failed else 0


if __name__ == '__main__':
    sys.exit(main())

#!/usr/bin/python3
"""Conformance: pelmora-convert --t_srs against GDAL's own reprojection.

Each case converts a file twice: plainly, and with --t_srs.  GDAL's
ogr2ogr -t_srs of the plain output (it uses PROJ's same choice of
operation) must agree with ours to 1e-9 of a unit on every coordinate, read
back by GDAL; the .prj must be the target's, the table the same.  Cases:
projected to geographic (UTM zone 17N to WGS 84), US survey feet to metres
(a real file in New Mexico Central, ftUS), projected to projected on one
datum (UTM 17N to 18N), and a compound source and target whose heights
move (EGM96 heights to ellipsoidal ones, through the geoid grid).  Then
--a_srs (the .shp byte for byte the plain one's) and the refusals: their
status, message, and nothing written.

Prints "N passed, M failed" last and exits non-zero on any failure.
"""
import os
import shutil
import subprocess
import sys

from osgeo import ogr, osr

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from tally import Tally, suite_setup  # noqa: E402

TOLERANCE = 1e-9


def run(args, cwd=None):
    return subprocess.run(args, capture_output=True, text=True, cwd=cwd)


def points(shp):
    source = ogr.Open(shp)
    layer = source.GetLayer(0)
    out = []
    for feature in layer:
        g = feature.GetGeometryRef()
        out.append((g.GetX(), g.GetY(), g.GetZ()))
    return out


def rows(shp):
    source = ogr.Open(shp)
    layer = source.GetLayer(0)
    return [tuple(f.GetField(i) for i in range(f.GetFieldCount())) for f in layer]


def same_crs(prj, definition):
    mine, theirs = osr.SpatialReference(), osr.SpatialReference()
    mine.ImportFromWkt(open(prj).read())
    theirs.SetFromUserInput(definition)
    return mine.IsSame(theirs, ['IGNORE_DATA_AXIS_TO_SRS_AXIS_MAPPING=YES']) == 1


def check_case(tally, convert, work, name, las, target, source=None, moves_z=False, prj=None):
    d = os.path.join(work, name)
    os.makedirs(d)
    stem = os.path.splitext(os.path.basename(las))[0]
    plain, moved, gdal = (os.path.join(d, x) for x in ('plain', 'moved', 'gdal'))
    for x in (plain, moved):
        os.makedirs(x)
    given = ['--s_srs=' + source] if source else []
    problems = []
    r1 = run([convert, '-q', *(['--a_srs=' + source] if source else []), '-o', plain, las])
    r2 = run([convert, '-q', '--t_srs=' + target, *given, '-o', moved, las])
    if r1.returncode or r2.returncode:
        tally.check(f'{name} / converts', [r1.stderr + r2.stderr])
        return
    ogr_args = ['ogr2ogr', '-t_srs', target, *(['-s_srs', source] if source else []), gdal,
                os.path.join(plain, stem + '.shp')]
    r3 = run(ogr_args)
    if r3.returncode:
        tally.check(f'{name} / ogr2ogr', [r3.stderr])
        return
    ours, theirs, before = (points(os.path.join(x, stem + '.shp')) for x in (moved, gdal, plain))
    worst = max((abs(a - b) for p, q in zip(ours, theirs) for a, b in zip(p, q)), default=0.0)
    if len(ours) != len(theirs) or worst > TOLERANCE:
        problems.append(f'{len(ours)} and {len(theirs)} points, largest difference {worst:g}')
    z_moved = any(p[2] != q[2] for p, q in zip(ours, before))
    if z_moved != moves_z:
        problems.append('heights ' + ('moved' if z_moved else 'kept') + ', expected otherwise')
    if not same_crs(os.path.join(moved, stem + '.prj'), prj or target):
        problems.append('the .prj is not the target CRS')
    if rows(os.path.join(moved, stem + '.shp')) != rows(os.path.join(plain, stem + '.shp')):
        problems.append('the table differs from the plain conversion')
    tally.check(f'{name} / agrees with ogr2ogr to {TOLERANCE:g} (largest difference {worst:g})', problems)


def check_assign(tally, convert, work, las):
    """Options that say what the points are and move none: the .shp and .shx
    byte for byte the plain conversion's, the .prj the CRS given."""
    d = os.path.join(work, 'assign')
    os.makedirs(os.path.join(d, 'plain'))
    run([convert, '-q', '-o', os.path.join(d, 'plain'), las])
    wkt = os.path.join(d, 'nad83.wkt')
    srs = osr.SpatialReference()
    srs.ImportFromEPSG(26917)
    with open(wkt, 'w') as f:
        f.write(srs.ExportToWkt())
    for options in (['--a_srs=EPSG:26917'], ['--s_srs=EPSG:26917'], ['--a_srs=@' + wkt]):
        out = os.path.join(d, str(len(os.listdir(d))))
        os.makedirs(out)
        r = run([convert, '-q', *options, '-o', out, las])
        problems = [] if r.returncode == 0 and r.stderr == '' else [f'status {r.returncode}: {r.stderr!r}']
        for ext in ('.shp', '.shx'):
            with open(os.path.join(d, 'plain', 'u' + ext), 'rb') as a, open(os.path.join(out, 'u' + ext), 'rb') as b:
                if a.read() != b.read():
                    problems.append(ext + ' differs from the plain conversion')
        if not same_crs(os.path.join(out, 'u.prj'), 'EPSG:26917'):
            problems.append('the .prj is not the CRS given')
        tally.check(f'{" ".join(options)} moves no point and writes its .prj', problems)


def check_console(tally, convert, work, las):
    """What -v, the dry run and a ballpark operation say: the operation named,
    and a warning when no datum shift is known."""
    d = os.path.join(work, 'console')
    os.makedirs(d)
    intl = '--s_srs=+proj=utm +zone=17 +ellps=intl +units=m'
    cases = [  # (options, stream, a line that must be there)
        (['-v', '--t_srs=EPSG:4326'], 'out',
         'u.las: moved from WGS 84 / UTM zone 17N to WGS 84 by Inverse of UTM zone 17N '
         '(exact: no datum change; heights kept as read)'),
        (['--dry-run', '--t_srs=EPSG:4326'], 'out',
         '  coordinate system: WGS 84 / UTM zone 17N, moved to WGS 84 by Inverse of UTM zone 17N '
         '(exact: no datum change; heights kept as read)'),
        ([intl, '--t_srs=EPSG:4326'], 'err',
         'pelmora-convert: warning: u.las: only a ballpark transformation from unknown to WGS 84 is known '
         '(no datum shift): positions may be off by metres or more'),
    ]
    shutil.copy(las, os.path.join(d, 'u.las'))
    for options, stream, line in cases:
        r = run([convert, *options, 'u.las'], cwd=d)
        said = (r.stdout if stream == 'out' else r.stderr).splitlines()
        problems = [] if r.returncode == 0 and line in said else [f'status {r.returncode}, said {said!r}']
        tally.check(f'{" ".join(options)} says so', problems)


def check_refusals(tally, convert, work, las, bare):
    d = os.path.join(work, 'refusals')
    os.makedirs(d)
    for f in (las, bare):
        shutil.copy(f, d)
    cases = [
        (['--t_srs=EPSG:999999', 'u.las'], 2,
         'pelmora-convert: invalid value for --t_srs: "EPSG:999999" is not a coordinate reference system PROJ can '
         'read (PROJ: crs not found)\n'),
        (['--s_srs=urn:ogc:def:ellipsoid:EPSG::7030', 'u.las'], 2,
         'pelmora-convert: invalid value for --s_srs: "urn:ogc:def:ellipsoid:EPSG::7030" is an ellipsoid, not a CRS\n'),
        (['--t_srs=EPSG:4326', '--a_srs=EPSG:4326', 'u.las'], 2,
         'pelmora-convert: --a_srs assigns a coordinate system without moving a point: it cannot be given with '
         '--t_srs or --s_srs\n'),
        (['--t_srs=EPSG:4326', 'bare.las'], 1,
         'pelmora-convert: bare.las has no coordinate system to transform from: give it with --s_srs\n'),
        # The file's UTM coordinates taken as degrees: latitudes of millions.
        (['--s_srs=EPSG:4326', '--t_srs=EPSG:32617', 'u.las'], 1,
         'pelmora-convert: u.las: point 1 ('),
    ]
    for args, status, says in cases:
        r = run([convert, *args], cwd=d)
        if status == 2:
            says += "Try 'pelmora-convert --help' for more information.\n"
        problems = [] if r.returncode == status else [f'status {r.returncode}, expected {status}']
        if not (r.stderr == says or (says.endswith('(') and r.stderr.startswith(says))):
            problems.append(f'said {r.stderr!r}')
        if sorted(os.listdir(d)) != ['bare.las', 'u.las']:
            problems.append(f'left {sorted(os.listdir(d))}')
        tally.check(f'refused: {" ".join(args)}', problems)


def main():
    a, work = suite_setup('reproject', '--lasdata')
    las, bare = os.path.join(work, 'u.las'), os.path.join(work, 'bare.las')
    run([a.lasgen, '--version', '1.2', '--format', '1', '--points', '2000', '--geokeys', 'projected:32617', las])
    run([a.lasgen, '--points', '10', bare])
    tally = Tally()
    check_case(tally, a.convert, work, 'UTM 17N to geographic', las, 'EPSG:4326')
    check_case(tally, a.convert, work, 'US survey feet to metres', os.path.join(a.lasdata, 'laspy_test1_4.las'),
               'EPSG:2826')
    check_case(tally, a.convert, work, 'UTM 17N to UTM 18N', las, 'EPSG:32618')
    # A .prj holds the horizontal part of a CRS.
    check_case(tally, a.convert, work, 'EGM96 heights to ellipsoidal', las, 'EPSG:4979', 'EPSG:32617+5773',
               moves_z=True, prj='EPSG:4326')
    check_assign(tally, a.convert, work, las)
    check_console(tally, a.convert, work, las)
    check_refusals(tally, a.convert, work, las, bare)
    print(f'{tally.passed} passed, {len(tally.failed)} failed')
    sys.exit(1 if tally.failed else 0)


if __name__ == '__main__':
    main()

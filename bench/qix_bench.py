#!/usr/bin/python3
"""Spatial index (.qix) benchmark: what the index costs and what it buys.

On one generated LAS file (LAS 1.2 format 3, a 1 km tile, 10,000,000 points
by default):

  1. pelmora-convert without and with --index, alternating, RUNS times each:
     the medians, the index's share of the conversion (the difference of the
     medians over the conversion's, and the median of the pairs' ratios),
     peak resident memory of each and the difference per point;
  2. for each tree depth, NAME.qix written by tools/qixgen (the converter's
     writer, reading the finished .shp back): time, size, bytes a point,
     peak memory, and the time GDAL takes to answer box queries with that
     index against the same queries without one;
  3. optionally (--gdal-build) GDAL's own CREATE SPATIAL INDEX at its
     default depth, timed the same way.

  bench/qix_bench.py [--build DIR] [--data DIR] [--points N] [--runs N]
                     [--depths 6,7,8,9,10,11,12] [--boxes METRES,...] [--queries N]
                     [--gdal-build] [--cost-only] [--smoke]
"""
import argparse
import os
import random
import shutil
import statistics
import struct
import subprocess
import sys
import time

from osgeo import gdal, ogr

gdal.UseExceptions()


def timed(argv):
    """Runs argv; (wall seconds, peak RSS MB, its standard output)."""
    start = time.monotonic()
    proc = subprocess.Popen(argv, stdout=subprocess.PIPE)
    out = proc.stdout.read()
    _, status, usage = os.wait4(proc.pid, 0)
    wall = time.monotonic() - start
    if status != 0:
        sys.exit(f"qix_bench: {' '.join(argv)} failed with status {status}")
    return wall, usage.ru_maxrss / 1024.0, out.decode()


def copy_shapefile(src_stem, dst_stem):
    for ext in (".shp", ".shx", ".dbf"):
        shutil.copyfile(src_stem + ext, dst_stem + ext)


def query_seconds(shp, boxes):
    """Seconds for GDAL to return every feature of each box, in one pass;
    and the number of features returned."""
    ds = ogr.Open(shp)
    layer = ds.GetLayer()
    found = 0
    start = time.monotonic()
    for box in boxes:
        layer.SetSpatialFilterRect(*box)
        for _ in layer:
            found += 1
    return time.monotonic() - start, found


def conversion_cost(convert, las, points, runs):
    """Alternating runs without and with --index."""
    plain, indexed = [], []
    for _ in range(runs):
        plain.append(timed([convert, "-q", las])[:2])
        indexed.append(timed([convert, "-q", "--index", las])[:2])
    p = statistics.median(r[0] for r in plain)
    i = statistics.median(r[0] for r in indexed)
    pairs = statistics.median((b[0] - a[0]) / a[0] for a, b in zip(plain, indexed))
    # The fastest of each: the runs least slowed by other work on the machine.
    p_min, i_min = min(r[0] for r in plain), min(r[0] for r in indexed)
    p_mb, i_mb = max(r[1] for r in plain), max(r[1] for r in indexed)
    print(f"pelmora-convert, {runs} alternating runs each (medians; all runs in s):")
    print(f"  without --index {p:7.2f} s   peak {p_mb:5.0f} MB   " + " ".join(f"{r[0]:.2f}" for r in plain))
    print(f"  with --index    {i:7.2f} s   peak {i_mb:5.0f} MB   " + " ".join(f"{r[0]:.2f}" for r in indexed))
    print(f"  the index: {i - p:.2f} s, {(i - p) / p:.2f} x the conversion (median of the pairs' ratios "
          f"{pairs:.2f} x, fastest runs {(i_min - p_min) / p_min:.2f} x); {i_mb - p_mb:.0f} MB more peak, "
          f"{(i_mb - p_mb) * 2**20 / points:.1f} bytes a point")


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--build", default=os.path.join(here, "..", "build"))
    ap.add_argument("--data", default=None, help="work directory (default BUILD/qix-bench)")
    ap.add_argument("--points", type=int, default=10_000_000)
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--depths", default="6,7,8,9,10,11,12")
    ap.add_argument("--boxes", default="5,50", help="sides of the query boxes in metres")
    ap.add_argument("--queries", type=int, default=20)
    ap.add_argument("--gdal-build", action="store_true", help="also time GDAL's CREATE SPATIAL INDEX")
    ap.add_argument("--cost-only", action="store_true", help="only the conversions without and with --index")
    ap.add_argument("--smoke", action="store_true", help="a small, quick run that only checks it works")
    args = ap.parse_args()
    if args.smoke:
        args.points, args.depths, args.queries, args.runs = 20000, "4,7", 3, 1
    build = os.path.abspath(args.build)
    data = os.path.abspath(args.data or os.path.join(build, "qix-bench"))
    os.makedirs(data, exist_ok=True)
    convert, lasgen, qixgen = (os.path.join(build, n) for n in ("pelmora-convert", "lasgen", "qixgen"))

    las = os.path.join(data, f"qix_{args.points}.las")
    if not os.path.exists(las):
        subprocess.run([lasgen, "--version", "1.2", "--format", "3", "--points", str(args.points), las + ".tmp"],
                       check=True, stdout=subprocess.DEVNULL)
        os.rename(las + ".tmp", las)
    stem = las[:-4]
    print(f"{args.points:,} points, LAS 1.2 format 3")
    conversion_cost(convert, las, args.points, args.runs)
    with open(stem + ".qix", "rb") as f:
        print(f"  its NAME.qix: depth {struct.unpack_from('<i', f.read(16), 12)[0]}, "
              f"{os.path.getsize(stem + '.qix') / 1e6:.1f} MB")
    if args.cost_only:
        return
    convert_s = statistics.median(timed([convert, "-q", las])[0] for _ in range(args.runs))

    rng = random.Random(1)
    ds = ogr.Open(stem + ".shp")
    x0, x1, y0, y1 = ds.GetLayer().GetExtent()
    ds = None
    sides = [float(b) for b in args.boxes.split(",")]
    boxes = {}  # side: boxes
    for side in sides:
        boxes[side] = []
        for _ in range(args.queries):
            bx, by = rng.uniform(x0, x1 - side), rng.uniform(y0, y1 - side)
            boxes[side].append((bx, by, bx + side, by + side))

    plain = os.path.join(data, "plain")
    copy_shapefile(stem, plain)
    if os.path.exists(plain + ".qix"):
        os.remove(plain + ".qix")
    base = {side: query_seconds(plain + ".shp", boxes[side]) for side in sides}  # seconds each: one run is enough
    print(f"\n{args.queries} box queries through GDAL; without an index, each:")
    for side in sides:
        print(f"  {side:g} m: {base[side][0] * 1000 / args.queries:.1f} ms, {base[side][1] / args.queries:,.0f} points")
    print(f"NAME.qix by qixgen from the finished .shp, against a conversion of {convert_s:.2f} s; "
          "ms a query and speed-up for each box size:")
    print(f"{'depth':>5} {'build s':>8} {'x conv':>7} {'MB':>7} {'B/point':>8} {'peak MB':>8}" +
          "".join(f" {f'{side:g} m ms':>9} {'speed-up':>8}" for side in sides))
    indexed = os.path.join(data, "indexed")
    copy_shapefile(stem, indexed)
    for depth in (int(d) for d in args.depths.split(",")):
        runs = [timed([qixgen, "--stats", "--depth", str(depth), indexed + ".shp"]) for _ in range(args.runs)]
        build_s = statistics.median(r[0] for r in runs)
        peak = max(int(r[2].split()[7]) for r in runs) / 1024
        size = os.path.getsize(indexed + ".qix")
        row = (f"{depth:>5} {build_s:>8.3f} {build_s / convert_s:>7.3f} {size / 1e6:>7.1f}"
               f" {size / args.points:>8.2f} {peak:>8.0f}")
        for side in sides:
            q, qfound = min(query_seconds(indexed + ".shp", boxes[side]) for _ in range(args.runs))
            if qfound != base[side][1]:
                sys.exit(f"qix_bench: depth {depth} returned {qfound} points, not {base[side][1]}")
            row += f" {q * 1000 / args.queries:>9.2f} {base[side][0] / q:>8.1f}"
        print(row)
    if args.gdal_build:
        gdal_copy = os.path.join(data, "gdal")
        copy_shapefile(stem, gdal_copy)
        start = time.monotonic()
        ds = ogr.Open(gdal_copy + ".shp", update=1)
        ds.ExecuteSQL("CREATE SPATIAL INDEX ON gdal")
        ds = None
        seconds = time.monotonic() - start
        size = os.path.getsize(gdal_copy + ".qix")
        with open(gdal_copy + ".qix", "rb") as f:
            depth = struct.unpack_from("<i", f.read(16), 12)[0]
        queries = []
        for side in sides:
            q, _ = min(query_seconds(gdal_copy + ".shp", boxes[side]) for _ in range(args.runs))
            queries.append(f"{q * 1000 / args.queries:.2f} ms a {side:g} m query")
        print(f"GDAL CREATE SPATIAL INDEX: {seconds:.2f} s ({seconds / convert_s:.1f} x the conversion), "
              f"depth {depth}, {size / 1e6:.1f} MB; {', '.join(queries)}")


if __name__ == "__main__":
    main()

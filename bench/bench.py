#!/usr/bin/python3
"""Pelmora benchmark: conversion time against the I/O floor, in one run.

For each case the input is made once with the project's generator (cached
in the data directory), then the floor (read the input once, write as many
bytes as the three outputs with large sequential writes over the same files)
and Pelmora alternate, RUNS times each.  Prints medians, million points per
second, the ratio to the floor and peak resident memory.

  bench/bench.py [--build DIR] [--data DIR] [--runs N] [--points N] [--smoke]
"""
import argparse
import os
import resource
import statistics
import subprocess
import sys
import time

CASES = [  # (label, version, format, row bytes)
    ("LAS 1.2 format 3", "1.2", "3", 55),
    ("LAS 1.2 format 0", "1.2", "0", 24),
    ("LAS 1.0 format 1", "1.0", "1", 40),
]
HEADER_BYTES = {"0": 321, "1": 353, "2": 417, "3": 449}


def timed(argv):
    """Runs argv; returns (wall seconds, peak RSS in MB)."""
    start = time.monotonic()
    proc = subprocess.Popen(argv, stdout=subprocess.DEVNULL)
    _, status, usage = os.wait4(proc.pid, 0)
    wall = time.monotonic() - start
    if status != 0:
        sys.exit(f"bench: {argv[0]} failed with status {status}")
    return wall, usage.ru_maxrss / 1024.0


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=os.path.join(here, "..", "build"))
    parser.add_argument("--data", default=None, help="where inputs are cached (default BUILD/bench-data)")
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--points", type=int, default=10_000_000)
    parser.add_argument("--smoke", action="store_true", help="100,000 points, 2 runs: proves the benchmark works")
    args = parser.parse_args()
    if args.smoke:
        args.points, args.runs = 100_000, 2
    build = os.path.abspath(args.build)
    data = os.path.abspath(args.data or os.path.join(build, "bench-data"))
    os.makedirs(data, exist_ok=True)
    pelmora, lasgen, floor, update_header = (
        os.path.join(build, p) for p in ("Pelmora", "lasgen", "bench/io_floor", "bench/update_header_run"))

    print(f"{'case':<18} {'points':>11} {'floor s':>8} {'Pelmora s':>9} {'Mpts/s':>7} {'ratio':>6} {'RSS MB':>7}")
    worst = 0.0
    for label, version, fmt, row in CASES:
        las = os.path.join(data, f"bench_{version}_{fmt}_{args.points}.las")
        if not os.path.exists(las):
            subprocess.run([lasgen, "--version", version, "--format", fmt, "--points", str(args.points), las + ".tmp"],
                           check=True)
            os.rename(las + ".tmp", las)
        n = args.points
        sizes = [100 + 36 * n, 100 + 8 * n, HEADER_BYTES[fmt] + row * n]
        base = las[:-4]
        floor_argv = [floor, las, *map(str, sizes), base]
        floor_times, run_times, rss = [], [], []
        for _ in range(args.runs):
            floor_times.append(timed(floor_argv)[0])
            wall, peak = timed([pelmora, las])
            run_times.append(wall)
            rss.append(peak)
        f, p = statistics.median(floor_times), statistics.median(run_times)
        worst = max(worst, p / f)
        print(f"{label:<18} {n:>11,} {f:>8.3f} {p:>9.3f} {n / p / 1e6:>7.2f} {p / f:>6.2f} {max(rss):>7.1f}")
        for suffix in (".shp", ".shx", ".dbf"):
            os.remove(base + suffix)
    print(f"worst ratio to the I/O floor: {worst:.2f}")

    # The library's header update scans every record once: compare it with
    # reading the file once.  It rewrites the header, so it runs on a copy.
    las = os.path.join(data, f"bench_1.2_3_{args.points}.las")
    copy = os.path.join(data, f"update_{args.points}.las")
    if not os.path.exists(copy):
        subprocess.run(["cp", las, copy], check=True)
    read_times, update_times = [], []
    for _ in range(args.runs):
        read_times.append(timed([floor, copy])[0])
        update_times.append(timed([update_header, copy])[0])
    r, u = statistics.median(read_times), statistics.median(update_times)
    print(f"update_header, LAS 1.2 format 3, {args.points:,} points: read once {r:.3f} s, "
          f"update {u:.3f} s, ratio {u / r:.2f}")


if __name__ == "__main__":
    main()

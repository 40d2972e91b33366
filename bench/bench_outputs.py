#!/usr/bin/python3
"""What pelmora-convert's output options cost, against the plain conversion,
in one run: parts of a size (the same bytes in more files), the fields a
user chooses (fewer bytes), and reprojection (the same bytes, every point
through PROJ).

Each case and the plain conversion alternate RUNS times on one LAS 1.2
format 3 file in UTM zone 17N (its outputs synced and renamed as always);
the table gives medians of wall time, CPU seconds, bytes written, the ratio
to the plain conversion, and peak resident memory.

  bench/bench_outputs.py [--build DIR] [--data DIR] [--runs N] [--points N] [--smoke]
"""
import glob
import os
import statistics
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bench import bench_arguments, build_and_data, timed  # noqa: E402

CASES = [  # (label, options)
    ("plain conversion", []),
    ("parts of 128 MB (--max-size=128M)", ["--max-size=128M"]),
    ("--fields=Classifica", ["--fields=Classifica"]),
    ("--t_srs=EPSG:4326 (UTM 17N to geographic)", ["--t_srs=EPSG:4326"]),
]


def outputs(out):
    return glob.glob(os.path.join(out, "*"))


def main():
    args = bench_arguments("100,000 points, 1 run: proves the benchmark works")
    if args.smoke:
        args.points, args.runs = 100_000, 1
    build, data = build_and_data(args)
    las = os.path.join(data, f"outputs_{args.points}.las")
    if not os.path.exists(las):
        subprocess.run([os.path.join(build, "lasgen"), "--version", "1.2", "--format", "3", "--points",
                        str(args.points), "--geokeys", "projected:32617", las + ".tmp"], check=True,
                       stdout=subprocess.DEVNULL)
        os.rename(las + ".tmp", las)
    out = os.path.join(data, "outputs-out")
    os.makedirs(out, exist_ok=True)
    convert = os.path.join(build, "pelmora-convert")
    results = {label: {"wall": [], "cpu": [], "rss": [], "bytes": 0} for label, _ in CASES}
    for _ in range(args.runs):
        for label, options in CASES:
            for f in outputs(out):
                os.remove(f)
            wall, cpu, rss = timed([convert, "-q", *options, "-o", out, las])
            r = results[label]
            r["wall"].append(wall)
            r["cpu"].append(cpu)
            r["rss"].append(rss)
            r["bytes"] = sum(os.path.getsize(f) for f in outputs(out))
            r["files"] = len(outputs(out))
    for f in outputs(out):
        os.remove(f)
    print(f"pelmora-convert on {args.points:,} points of LAS 1.2 format 3, medians of {args.runs} alternating runs:\n")
    print("| Case | Seconds | CPU s | Ratio | Files | Bytes written | Bytes ratio | Peak RSS MB |")
    print("|---|---|---|---|---|---|---|---|")
    plain = statistics.median(results[CASES[0][0]]["wall"])
    plain_bytes = results[CASES[0][0]]["bytes"]
    for label, _ in CASES:
        r = results[label]
        wall = statistics.median(r["wall"])
        print(f"| {label} | {wall:.3f} | {statistics.median(r['cpu']):.2f} | {wall / plain:.2f} | {r['files']} | "
              f"{r['bytes']:,} | {r['bytes'] / plain_bytes:.2f} | {max(r['rss']):.0f} |", flush=True)


if __name__ == "__main__":
    main()

#!/usr/bin/python3
"""Pelmora and pelmora-convert benchmark: conversion time against the I/O
floor, in one run.

The floor (bench/io_floor) is one process that reads the input once and
writes as many bytes as all the outputs to one file, replacing its own
previous output exactly as a conversion replaces its outputs: written under
a temporary name, synced, renamed.  The same floor without the sync (the
data left in the page cache) is shown beside it.  The floor and Pelmora
alternate, RUNS times each; the table gives medians, million points per
second, CPU seconds (user + system), the ratio to the floor and peak
resident memory, first for every case at one size, then for one case at
three sizes (time per point must not grow with the file).  pelmora-convert
has rows of its own: LAS 1.2 format 3 (the same outputs as Pelmora), LAS 1.4
format 6, and the format 3 file with a selection (--class 2: selecting must
cost nothing).  Last, the
library's update_header against one read of the file, and the GPS-time
text's special path against std::to_chars.

  bench/bench.py [--build DIR] [--data DIR] [--runs N] [--points N] [--smoke]
"""
import argparse
import os
import statistics
import subprocess
import sys
import time

CASES = [  # (label, version, format, command and options)
    ("LAS 1.2 format 3", "1.2", "3", ["Pelmora"]),
    ("LAS 1.2 format 2", "1.2", "2", ["Pelmora"]),
    ("LAS 1.2 format 1", "1.2", "1", ["Pelmora"]),
    ("LAS 1.2 format 0", "1.2", "0", ["Pelmora"]),
    ("LAS 1.1 format 0", "1.1", "0", ["Pelmora"]),
    ("LAS 1.0 format 1", "1.0", "1", ["Pelmora"]),
    ("pelmora-convert, LAS 1.2 format 3", "1.2", "3", ["pelmora-convert", "-q"]),
    ("pelmora-convert, LAS 1.4 format 6", "1.4", "6", ["pelmora-convert", "-q"]),
    ("pelmora-convert --class 2, LAS 1.2 format 3", "1.2", "3", ["pelmora-convert", "-q", "--class", "2"]),
]
SCALING = CASES[0]
OUTPUTS = (".shp", ".shx", ".dbf", ".prj", ".qix")


def timed(argv):
    """Runs argv; returns (wall seconds, CPU seconds, peak RSS in MB)."""
    start = time.monotonic()
    proc = subprocess.Popen(argv, stdout=subprocess.DEVNULL)
    _, status, usage = os.wait4(proc.pid, 0)
    wall = time.monotonic() - start
    if status != 0:
        sys.exit(f"bench: {' '.join(argv)} failed with status {status}")
    return wall, usage.ru_utime + usage.ru_stime, usage.ru_maxrss / 1024.0


def make_input(lasgen, data, version, fmt, points):
    las = os.path.join(data, f"bench_{version}_{fmt}_{points}.las")
    if not os.path.exists(las):
        subprocess.run([lasgen, "--version", version, "--format", fmt, "--points", str(points), las + ".tmp"],
                       check=True)
        os.rename(las + ".tmp", las)
    return las


def remove_outputs(las):
    for suffix in OUTPUTS:
        if os.path.exists(las[:-4] + suffix):
            os.remove(las[:-4] + suffix)


def measure(tools, data, case, points, runs):
    """Alternating runs of both floors and the converter on one case;
    medians.  The floor writes as many bytes as the outputs of a first,
    untimed conversion."""
    label, version, fmt, command = case
    build, lasgen, floor = tools
    las = make_input(lasgen, data, version, fmt, points)
    converter = [os.path.join(build, command[0]), *command[1:], las]
    remove_outputs(las)
    timed(converter)
    total = sum(os.path.getsize(las[:-4] + s) for s in OUTPUTS if os.path.exists(las[:-4] + s))
    floor_out = os.path.join(data, "floor.out")
    walls = {"floor": [], "cached": [], "pelmora": []}
    cpus = {"floor": [], "pelmora": []}
    rss = []
    for _ in range(runs):
        wall, cpu, _ = timed([floor, las, floor_out, str(total)])
        walls["floor"].append(wall)
        cpus["floor"].append(cpu)
        walls["cached"].append(timed([floor, las, floor_out, str(total), "--cached"])[0])
        wall, cpu, peak = timed(converter)
        walls["pelmora"].append(wall)
        cpus["pelmora"].append(cpu)
        rss.append(peak)
    os.remove(floor_out)
    remove_outputs(las)
    m = {k: statistics.median(v) for k, v in walls.items()}
    c = {k: statistics.median(v) for k, v in cpus.items()}
    return {"label": label, "points": points, "floor": m["floor"], "cached": m["cached"], "pelmora": m["pelmora"],
            "floor_cpu": c["floor"], "cpu": c["pelmora"], "rss": max(rss)}


def print_row(r):
    p = r["pelmora"]
    print(f"| {r['label']} | {r['points']:,} | {r['floor']:.3f} | {p:.3f} | {r['points'] / p / 1e6:.2f} | "
          f"{r['floor_cpu']:.2f} | {r['cpu']:.2f} | {p / r['floor']:.2f} | {r['cached']:.3f} | "
          f"{p / r['cached']:.2f} | {r['rss']:.0f} |", flush=True)


HEAD = ("| Case | Points | Floor s | Converter s | Mpts/s | Floor CPU s | Converter CPU s | Ratio | "
        "Cached floor s | Ratio to cached | Peak RSS MB |\n|---|---|---|---|---|---|---|---|---|---|---|")


def bench_arguments(smoke_help):
    """The options every LAS benchmark takes: --build, --data, --runs, --points, --smoke."""
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=os.path.join(here, "..", "build"))
    parser.add_argument("--data", default=None, help="where inputs are cached (default BUILD/bench-data)")
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--points", type=int, default=10_000_000)
    parser.add_argument("--smoke", action="store_true", help=smoke_help)
    return parser.parse_args()


def build_and_data(args):
    """The build directory and the input cache (made if missing), absolute."""
    build = os.path.abspath(args.build)
    data = os.path.abspath(args.data or os.path.join(build, "bench-data"))
    os.makedirs(data, exist_ok=True)
    return build, data


def main():
    args = bench_arguments("100,000 points, 2 runs: proves the benchmark works")
    sizes = [1_000_000, args.points, 3 * args.points]
    cases = CASES
    if args.smoke:
        args.points, args.runs, sizes, cases = 100_000, 2, [50_000, 100_000], CASES[:1] + CASES[-3:]
    build, data = build_and_data(args)
    lasgen, floor, update_header, gps = (
        os.path.join(build, p) for p in ("lasgen", "bench/io_floor", "bench/update_header_run", "bench/gps_text_bench"))
    tools = (build, lasgen, floor)

    print(f"Every case, {args.points:,} points, medians of {args.runs} alternating runs:\n")
    print(HEAD)
    worst = 0.0
    for case in cases:
        r = measure(tools, data, case, args.points, args.runs)
        worst = max(worst, r["pelmora"] / r["floor"])
        print_row(r)
    print(f"\nworst ratio to the floor: {worst:.2f}\n")

    print(f"{SCALING[0]} at {', '.join(f'{n:,}' for n in sizes)} points:\n")
    print(HEAD)
    for n in sizes:
        r = measure(tools, data, SCALING, n, args.runs)
        print_row(r)
        print(f"|   time per point | | | {r['pelmora'] / n * 1e9:.0f} ns | | | | | | | |")

    # The library's header update scans every record once: compare it with
    # reading the file once.  It rewrites the header, so it runs on a copy.
    las = make_input(lasgen, data, "1.2", "3", args.points)
    copy = os.path.join(data, f"update_{args.points}.las")
    if not os.path.exists(copy):
        subprocess.run(["cp", las, copy], check=True)
    read_times, update_times = [], []
    for _ in range(args.runs):
        read_times.append(timed([floor, copy])[0])
        update_times.append(timed([update_header, copy])[0])
    r, u = statistics.median(read_times), statistics.median(update_times)
    print(f"\nupdate_header, LAS 1.2 format 3, {args.points:,} points: read once {r:.3f} s, "
          f"update {u:.3f} s, ratio {u / r:.2f}")
    subprocess.run([gps, str(min(args.points, 5_000_000))], check=True)


if __name__ == "__main__":
    main()

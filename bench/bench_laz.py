#!/usr/bin/python3
"""LAZ benchmark: pelmora-laz (decompression + conversion) against Pelmora on
the decompressed file, in one run.

laz-perf decodes but does not encode, so no larger LAZ file can be made
here: the input is the real pdal_autzen_trim.laz (110,000 points of format
3 in three chunks), converted RUNS times.  Per run, alternating:

  pelmora-laz   the whole companion: Node.js start, codec start, decoding
                into the temporary LAS file, Pelmora, the renames
  decompress    the same with a converter that does nothing (PELMORA=true):
                everything but the conversion
  Pelmora       Pelmora alone on the decompressed LAS file (kept once with -k)
  node start    `node -e 0`: the fixed cost in every pelmora-laz run

and, once, the steady decoding rate: the file decoded 10 times over in one
Node.js process (into /dev/null) with pelmora-laz's own modules, the rate of
the last 5 passes, once WebAssembly's optimising compiler has taken over, as
in the long run of a large file.

Prints medians, million points per second and the ratio to Pelmora, the
decoding rate pelmora-laz reports itself ("Decompressed N points in S
seconds": the decoding and writing of the records, without Node.js and the
codec starting), and peak resident memory.

  bench/bench_laz.py [--build DIR] [--runs N] [--smoke]
"""
import argparse
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time


# Decodes the LAZ file 10 times into /dev/null; prints the seconds of the
# first pass and of the last five together.
STEADY = r"""
const [dir, file] = process.argv.slice(1);
const fs = require('fs');
const { inspect, decompress } = require(dir + '/laz_file');
const { createLazPerf } = require(dir + '/node_modules/laz-perf');
(async () => {
  const codec = await createLazPerf();
  const fd = fs.openSync(file, 'r');
  const laz = inspect(file, fd);
  const times = [];
  for (let i = 0; i < 10; i++) {
    const out = await fs.promises.open('/dev/null', 'w');
    const start = process.hrtime.bigint();
    await decompress(laz, fd, out, codec, () => {}, () => false);
    times.push(Number(process.hrtime.bigint() - start) / 1e9);
    await out.close();
  }
  console.log(times[0], times.slice(5).reduce((a, b) => a + b, 0));
})();
"""


def timed(argv, env=None, cwd=None):
    """Runs argv; returns (wall seconds, peak RSS in MB, standard output)."""
    start = time.monotonic()
    proc = subprocess.Popen(argv, stdout=subprocess.PIPE, env=env, cwd=cwd)
    out = proc.stdout.read().decode('latin1')
    _, status, usage = os.wait4(proc.pid, 0)
    wall = time.monotonic() - start
    if status != 0:
        sys.exit(f"bench_laz: {argv[0]} failed with status {status}")
    return wall, usage.ru_maxrss / 1024.0, out


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=os.path.join(here, "..", "build"))
    parser.add_argument("--runs", type=int, default=21)
    parser.add_argument("--smoke", action="store_true", help="2 runs: proves the benchmark works")
    args = parser.parse_args()
    runs = 2 if args.smoke else args.runs
    build = os.path.abspath(args.build)
    laz_cmd, pelmora = os.path.join(build, "pelmora-laz"), os.path.join(build, "Pelmora")
    source = os.path.join(here, "..", "tests", "data", "pdal_autzen_trim.laz")
    work = tempfile.mkdtemp(prefix="bench_laz.")
    try:
        laz = shutil.copy(source, os.path.join(work, "autzen.laz"))
        env = dict(os.environ)
        env.pop("PELMORA", None)
        subprocess.run([laz_cmd, "-q", "-k", laz], env=env, check=True)
        points = int.from_bytes(open(laz, "rb").read()[107:111], "little")
        las = os.path.join(work, "plain", "autzen.las")
        os.makedirs(os.path.dirname(las))
        shutil.move(os.path.join(work, "autzen.las"), las)
        nothing = dict(env, PELMORA=shutil.which("true"))

        times = {k: [] for k in ("pelmora-laz", "decompress", "Pelmora", "node start")}
        rss = {k: 0.0 for k in times}
        decode = []
        for _ in range(runs):
            for case, argv, case_env in (
                    ("pelmora-laz", [laz_cmd, laz], env),
                    ("decompress", [laz_cmd, "-q", laz], nothing),
                    ("Pelmora", [pelmora, las], env),
                    ("node start", ["node", "-e", "0"], env)):
                wall, peak, out = timed(argv, case_env)
                times[case].append(wall)
                rss[case] = max(rss[case], peak)
                m = re.search(r"Decompressed (\d+) points in ([0-9.]+) seconds", out)
                if m:
                    decode.append(float(m.group(2)))
        median = {k: statistics.median(v) for k, v in times.items()}
        print(f"input: {os.path.basename(source)}, {points} points of format 3, {os.path.getsize(source)} bytes; "
              f"{runs} runs per case, medians")
        print(f"{'case':<12} {'s':>7} {'Mpts/s':>7} {'x Pelmora':>10} {'RSS MB':>7}")
        for case in times:
            mpts = points / median[case] / 1e6 if case != "node start" else float("nan")
            print(f"{case:<12} {median[case]:7.3f} {mpts:7.2f} {median[case] / median['Pelmora']:10.2f} "
                  f"{rss[case]:7.1f}")
        d = statistics.median(decode)
        print(f"decoding alone (as pelmora-laz reports it, without Node.js and codec start): {d:.3f} s, "
              f"{points / d / 1e6:.2f} Mpts/s, {d / median['Pelmora']:.2f} x Pelmora's whole run")
        steady = subprocess.run(["node", "-e", STEADY, os.path.join(here, "..", "laz"), laz],
                                capture_output=True, text=True, check=True).stdout.split()
        rate = points * 5 / float(steady[-1]) / 1e6
        print(f"steady decoding rate (passes 6-10 of 10 in one process): {rate:.2f} Mpts/s, "
              f"first pass {points / float(steady[0]) / 1e6:.2f} Mpts/s")
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()

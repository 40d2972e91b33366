#!/usr/bin/python3
"""LAZ benchmark: pelmora-convert on LAZ files against the codec alone, in one run.

For each LAZ file, alternating RUNS times:

  laz-perf alone      the codec's own whole-file reader (LASZip.getPoint, one
                      point a call, on one core) writing every record to
                      /dev/null: tests/laz/reference_decode.js
  decode, 1 thread    the decoder process with one decoding thread, its
                      records read through the pipe and dropped
                      (build/tests/laz/laz_decode --threads 1)
  decode, N threads   the same with one decoding thread per core
  convert             pelmora-convert on the file: decoding on every core,
                      the shapefile written and synced

and prints medians, million points per second, the ratio of the conversion
to laz-perf's own decoding on one core (the goal: at most 0.75 on a 10
M-point tile) and to the decoder's with one thread (which calls the codec
without embind's per-call checks, and so decodes faster than laz-perf
alone), and
the peak resident memory of the converter and of its decoder process, and
their sum.

The codec decodes but does not encode, so the large inputs are given:
../shared/bench/*.laz beside the source tree when that folder exists (a
10,000,000-point LAS 1.2 format 3 tile and a 2,000,000-point LAS 1.4 format
6 tile), or the files named.

  bench/bench_laz.py [--build DIR] [--runs N] [--smoke] [FILE.laz ...]
"""
import argparse
import glob
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time


def peak_kb(pid):
    try:
        with open(f'/proc/{pid}/status') as f:
            return int(re.search(r'VmHWM:\s+(\d+)', f.read()).group(1))
    except (OSError, AttributeError):
        return 0


def children(pid):
    try:
        with open(f'/proc/{pid}/task/{pid}/children') as f:
            return [int(c) for c in f.read().split()]
    except OSError:
        return []


def timed(argv, cwd=None):
    """Runs argv; (wall seconds, its peak RSS MB, its children's peak RSS MB),
    the peaks sampled every 20 ms from /proc."""
    start = time.monotonic()
    proc = subprocess.Popen(argv, cwd=cwd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    own, kids = 0, {}
    while proc.poll() is None:
        own = max(own, peak_kb(proc.pid))
        for c in children(proc.pid):
            kids[c] = max(kids.get(c, 0), peak_kb(c))
        time.sleep(0.02)
    wall = time.monotonic() - start
    if proc.returncode != 0:
        sys.exit(f'bench: {" ".join(argv)} failed with status {proc.returncode}: {proc.stderr.read().decode()}')
    return wall, own / 1024, max(kids.values(), default=0) / 1024


def decode_seconds(laz_decode, laz, threads):
    """Seconds laz_decode reports for decoding every record with `threads`."""
    out = subprocess.run([laz_decode, '--threads', str(threads), '--once', laz], capture_output=True, text=True,
                         check=True).stdout
    m = re.search(r'(\d+) points; (\d+) threads? ([\d.]+) s', out)
    return int(m.group(1)), float(m.group(3))


def reference_seconds(source, laz):
    start = time.monotonic()
    with open(os.devnull, 'wb') as null:
        subprocess.run(['node', os.path.join(source, 'tests', 'laz', 'reference_decode.js'), laz], stdout=null,
                       check=True)
    return time.monotonic() - start


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser()
    parser.add_argument('--build', default=os.path.join(here, '..', 'build'))
    parser.add_argument('--runs', type=int, default=3)
    parser.add_argument('--smoke', action='store_true', help='one run on a small file: proves the benchmark works')
    parser.add_argument('files', nargs='*')
    args = parser.parse_args()
    build = os.path.abspath(args.build)
    convert, laz_decode = os.path.join(build, 'pelmora-convert'), os.path.join(build, 'tests', 'laz', 'laz_decode')
    files = args.files or sorted(glob.glob(os.path.join(here, '..', '..', 'shared', 'bench', '*.laz')))
    if args.smoke:
        files, args.runs = [os.path.join(here, '..', 'tests', 'data', 'pdal_autzen_trim.laz')], 1
    if not files:
        sys.exit('bench: no LAZ file given and no ../shared/bench folder')
    cores = len(os.sched_getaffinity(0))
    print(f'{cores} cores; medians of {args.runs} alternating runs\n')
    print('| File | Points | laz-perf alone s | Decode 1 thread s | Decode {0} threads s | Convert s | Convert Mpts/s | '
          'Convert / laz-perf alone | Convert / decode 1 thread | Converter MB | Decoder MB | Sum MB |'.format(cores))
    print('|---|---|---|---|---|---|---|---|---|---|---|---|')
    work = tempfile.mkdtemp(prefix='bench-laz-')
    try:
        for laz in files:
            copy = os.path.join(work, 't.laz')
            shutil.copyfile(laz, copy)
            ref, one, many, conv, own, kids = [], [], [], [], [], []
            points = 0
            for _ in range(args.runs):
                ref.append(reference_seconds(os.path.join(here, '..'), copy))
                points, s = decode_seconds(laz_decode, copy, 1)
                one.append(s)
                many.append(decode_seconds(laz_decode, copy, cores)[1])
                for f in glob.glob(os.path.join(work, 't.*')):
                    if not f.endswith('.laz'):
                        os.remove(f)
                wall, mine, theirs = timed([convert, '-q', copy])
                conv.append(wall)
                own.append(mine)
                kids.append(theirs)
            r, o, m, c = (statistics.median(v) for v in (ref, one, many, conv))
            print(f'| {os.path.basename(laz)} | {points:,} | {r:.2f} | {o:.2f} | {m:.2f} | {c:.2f} | '
                  f'{points / c / 1e6:.2f} | {c / r:.2f} | {c / o:.2f} | {max(own):.0f} | {max(kids):.0f} | '
                  f'{max(own) + max(kids):.0f} |', flush=True)
    finally:
        shutil.rmtree(work)


if __name__ == '__main__':
    main()

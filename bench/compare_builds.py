#!/usr/bin/env python3
"""Compares two builds of tovrik_bench on one benchmark, run after run.

Runs A then B, then B then A, and so on (--rounds pairs of runs), so that a noisy moment of the
machine falls on both alike. Each run reports its own min/median/max over its inner pairs
(TOVRIK_BENCH_PAIRS); this script takes each run's median of every counter asked for and prints,
per counter, min / median / max over the runs of A, of B, and of B's value over A's within each
pair of runs (below 1: B is cheaper). The load average is printed before and after.

Example (a build of the commit before a change, copied aside, against the change):
  bench/compare_builds.py /tmp/before/tovrik_bench build/host-release/bench/tovrik_bench \\
      --filter ChunkedCapture --rounds 30 \\
      --counter chunked_path_us_per_piece --counter chunked_caller_us_per_piece
"""

import argparse
import os
import re
import statistics
import subprocess
import sys


def load_average():
    with open("/proc/loadavg", encoding="ascii") as f:
        return " ".join(f.read().split()[:3])


def run_once(binary, benchmark_filter, counters, pairs):
    env = dict(os.environ, TOVRIK_BENCH_PAIRS=str(pairs))
    out = subprocess.run([binary, f"--benchmark_filter={benchmark_filter}"], env=env,
                         capture_output=True, text=True, check=True).stdout
    values = {}
    for counter in counters:
        # Google Benchmark prints large values with a suffix: 1.5k.
        found = re.search(rf"\b{re.escape(counter)}_median=([0-9.]+)([kMG]?)\b", out)
        if not found:
            sys.exit(f"{binary}: no {counter}_median in its output (did the benchmark run?)")
        scale = {"": 1, "k": 1e3, "M": 1e6, "G": 1e9}[found.group(2)]
        values[counter] = float(found.group(1)) * scale
    return values


def spread(values):
    return f"{min(values):.3g} / {statistics.median(values):.3g} / {max(values):.3g}"


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("a", help="the first build's tovrik_bench (the reference)")
    parser.add_argument("b", help="the second build's tovrik_bench")
    parser.add_argument("--filter", required=True, help="the --benchmark_filter to run")
    parser.add_argument("--counter", action="append", required=True,
                        help="a counter reported as <name>_min/_median/_max (repeatable)")
    parser.add_argument("--rounds", type=int, default=15, help="pairs of runs (default 15)")
    parser.add_argument("--pairs", type=int, default=7,
                        help="TOVRIK_BENCH_PAIRS of each run (default 7)")
    args = parser.parse_args()
    if args.rounds < 1 or args.pairs < 1:
        parser.error("--rounds and --pairs must be at least 1")

    print(f"load average before: {load_average()}")
    binaries = (args.a, args.b)
    runs = ([], [])
    for round_index in range(args.rounds):
        for side in (0, 1) if round_index % 2 == 0 else (1, 0):
            runs[side].append(run_once(binaries[side], args.filter, args.counter, args.pairs))
    print(f"load average after: {load_average()}")
    print(f"{args.rounds} pairs of runs, {args.pairs} inner pairs each; min / median / max")
    for counter in args.counter:
        a = [run[counter] for run in runs[0]]
        b = [run[counter] for run in runs[1]]
        ratios = [y / x for x, y in zip(a, b) if x > 0]
        print(f"{counter}: A {spread(a)} | B {spread(b)} | B/A {spread(ratios)}")


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""Runs the benchmark binary and prints the ratios we hold the logger to.

Usage: scripts/bench_ratios.py [--bin PATH] [--repetitions N] [--min-time T]
                               [--json FILE] [extra benchmark flags...]

Every figure is the median over the repetitions of one run of the binary.
Single-thread cases are compared in CPU time, so that other load on the
machine disturbs them less; the thread case needs wall time and is only
meaningful on an otherwise idle machine.
"""
import argparse
import json
import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
DEFAULT_BIN = os.path.join(HERE, "..", "build", "bench", "bench", "wexlog_bench")
NS_PER = {"ns": 1.0, "us": 1e3, "ms": 1e6, "s": 1e9}


def run(args, extra):
    cmd = [args.bin, "--benchmark_format=json",
           "--benchmark_repetitions=%d" % args.repetitions,
           "--benchmark_report_aggregates_only=true"]
    if args.min_time:
        cmd.append("--benchmark_min_time=%s" % args.min_time)
    env = dict(os.environ, TZ=os.environ.get("TZ", "UTC"))
    out = subprocess.run(cmd + extra, check=True, stdout=subprocess.PIPE, env=env).stdout
    if args.json:
        with open(args.json, "wb") as f:
            f.write(out)
    medians = {}
    for b in json.loads(out)["benchmarks"]:
        if b.get("aggregate_name") == "median":
            medians[b["run_name"]] = b
    return medians


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--bin", default=DEFAULT_BIN)
    p.add_argument("--repetitions", type=int, default=5)
    p.add_argument("--min-time", help="passed on as --benchmark_min_time")
    p.add_argument("--json", help="also keep the raw JSON output here")
    args, extra = p.parse_known_args()
    m = run(args, extra)

    def ns(name):
        b = m[name]
        return b["cpu_time"] * NS_PER[b["time_unit"]]

    def rate(name, counter):
        return m[name][counter]

    results = []

    def check(label, ok, text):
        results.append(ok)
        print("%-5s %-34s %s" % ("PASS" if ok else "MISS", label, text))

    stored, spd, floor = ns("BM_StoredAddLog"), ns("BM_SpdlogRingbufferMt"), ns("BM_Floor")
    print("stored add_log %.1f ns, spdlog ring %.1f ns, floor %.1f ns" % (stored, spd, floor))
    check("stored / spdlog <= 1.0", stored <= spd, "%.2f" % (stored / spd))
    check("stored / floor <= 1.3", stored <= 1.3 * floor, "%.2f" % (stored / floor))

    filt, spd_filt = ns("BM_FilteredAddLog"), ns("BM_SpdlogFiltered")
    check("filtered <= spdlog filtered", filt <= spd_filt,
          "ours %.2f ns, spdlog %.2f ns" % (filt, spd_filt))

    dump = rate("BM_Dump/manual_time", "records_per_second")
    pre = rate("BM_WritePreformatted/manual_time", "records_per_second")
    check("dump >= 5 M records/s", dump >= 5e6, "%.2f M records/s" % (dump / 1e6))
    check("dump / preformatted <= 3", pre <= 3 * dump,
          "%.2f (preformatted %.2f M records/s)" % (pre / dump, pre / 1e6))

    one = rate("BM_StoredAddLogThreads/real_time/threads:1", "items_per_second")
    two = rate("BM_StoredAddLogThreads/real_time/threads:2", "items_per_second")
    check("2 threads total >= 1 thread", two >= one,
          "%.2f M/s vs %.2f M/s (%.2f)" % (two / 1e6, one / 1e6, two / one))

    for size in (16, 256, 1024):
        print("      ring push+pop %4d bytes       %.1f ns" % (size, ns("BM_RingPushPop/%d" % size)))
    print("%d PASS, %d MISS" % (results.count(True), results.count(False)))
    return 0


if __name__ == "__main__":
    sys.exit(main())

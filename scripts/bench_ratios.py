#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Runs the benchmark binary and prints the ratios we hold the logger to.

Usage: scripts/bench_ratios.py [--bin PATH] [--driver PATH] [--repetitions N]
                               [--min-time T] [--json FILE] [--no-instructions]
                               [extra benchmark flags...]

Every time is the median over the repetitions of one run of the binary.
Single-thread cases are compared in CPU time, so that other load on the
machine disturbs them less; the thread cases need wall time and are only
meaningful on an otherwise idle machine. Beside the times, the message
driver runs each case under callgrind, which counts instructions per message
the same way however busy the machine is.
"""
import argparse
import json
import os
import re
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
DEFAULT_BIN = os.path.join(HERE, "..", "build", "bench", "bench", "wexlog_bench")
DEFAULT_DRIVER = os.path.join(HERE, "..", "build", "bench", "bench", "wexlog_message_driver")
# Two runs of the driver whose difference is INSTRUCTION_MESSAGES messages.
INSTRUCTION_BASE, INSTRUCTION_MESSAGES = 2000, 20000
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


def instructions_per_message(driver, case):
    """Instructions of one message of `case`, from two callgrind runs."""
    def collected(count):
        cmd = ["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null",
               driver, case, str(count)]
        err = subprocess.run(cmd, check=True, stderr=subprocess.PIPE,
                             stdout=subprocess.DEVNULL).stderr.decode()
        return int(re.search(r"Collected : (\d+)", err).group(1))
    base = collected(INSTRUCTION_BASE)
    return (collected(INSTRUCTION_BASE + INSTRUCTION_MESSAGES) - base) / INSTRUCTION_MESSAGES


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--bin", default=DEFAULT_BIN)
    p.add_argument("--repetitions", type=int, default=5)
    p.add_argument("--min-time", help="passed on as --benchmark_min_time")
    p.add_argument("--json", help="also keep the raw JSON output here")
    p.add_argument("--driver", default=DEFAULT_DRIVER)
    p.add_argument("--no-instructions", action="store_true",
                   help="skip the callgrind counts")
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
    check("stored / floor <= 1.15", stored <= 1.15 * floor, "%.2f" % (stored / floor))

    filt, spd_filt = ns("BM_FilteredAddLog"), ns("BM_SpdlogFiltered")
    check("filtered <= spdlog filtered", filt <= spd_filt,
          "ours %.2f ns, spdlog %.2f ns" % (filt, spd_filt))

    for kind in ("Value", "Set", "String"):
        t = ns("BM_Structured" + kind)
        check("structured %s <= stored" % kind.lower(), t <= stored,
              "%.1f ns (%.2f)" % (t, t / stored))

    dump = rate("BM_Dump/manual_time", "records_per_second")
    pre = rate("BM_WritePreformatted/manual_time", "records_per_second")
    check("dump >= 5 M records/s", dump >= 5e6, "%.2f M records/s" % (dump / 1e6))
    check("dump / preformatted <= 3", pre <= 3 * dump,
          "%.2f (preformatted %.2f M records/s)" % (pre / dump, pre / 1e6))

    def threads(name, n):
        return rate("%s/real_time/threads:%d" % (name, n), "items_per_second")
    ours1, peer1 = threads("BM_StoredAddLogThreads", 1), threads("BM_SpdlogThreads", 1)
    for n in (1, 2, 4, 8):
        ours, peer = threads("BM_StoredAddLogThreads", n), threads("BM_SpdlogThreads", n)
        text = "ours %.2f M/s (%.2fx one), spdlog %.2f M/s (%.2fx one)" % (
            ours / 1e6, ours / ours1, peer / 1e6, peer / peer1)
        if n in (2, 4):
            check("%d threads >= spdlog's" % n, ours >= peer, text)
        else:
            print("      %-34s %s" % ("%d thread%s" % (n, "s" if n > 1 else ""), text))

    for size in (16, 256, 1024):
        print("      ring push+pop %4d bytes       %.1f ns" % (size, ns("BM_RingPushPop/%d" % size)))

    if not args.no_instructions:
        counts = {case: instructions_per_message(args.driver, case) for case in
                  ("stored", "spdlog", "floor", "filtered", "spdlog_filtered",
                   "value", "set", "string")}
        print("instructions per message: " + ", ".join(
            "%s %.0f" % item for item in counts.items()))
        check("instructions stored / spdlog <= 1.0", counts["stored"] <= counts["spdlog"],
              "%.2f" % (counts["stored"] / counts["spdlog"]))
        check("instructions stored / floor <= 1.15", counts["stored"] <= 1.15 * counts["floor"],
              "%.2f" % (counts["stored"] / counts["floor"]))
        check("instructions filtered <= spdlog", counts["filtered"] <= counts["spdlog_filtered"],
              "%.0f vs %.0f" % (counts["filtered"], counts["spdlog_filtered"]))
        memory = subprocess.run([args.driver, "memory"], check=True,
                                stdout=subprocess.PIPE).stdout.decode().strip()
        print("      memory: " + memory)
    print("%d PASS, %d MISS" % (results.count(True), results.count(False)))
    return 0


if __name__ == "__main__":
    sys.exit(main())

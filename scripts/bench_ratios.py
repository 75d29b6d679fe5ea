#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Runs the benchmark binary and prints the ratios we hold the logger to.

Usage: scripts/bench_ratios.py [--bin PATH] [--driver PATH] [--repetitions N]
                               [--min-time T] [--json FILE] [--no-instructions]
                               [--ppc-driver PATH] [extra benchmark flags...]

Every time is the median over the repetitions of one run of the binary, whose
repetitions of the different benchmarks are interleaved at random, so that a
burst of load on the machine spreads over all of them instead of falling on
one. Single-thread cases are compared in CPU time, so that other load on the
machine disturbs them less; the thread cases need wall time and are only
meaningful on an otherwise idle machine.

Beside the times, the message driver runs each case under callgrind, which
counts the same way however busy the machine is, per message: instructions,
atomic read-modify-writes (callgrind's global bus events: the instructions
that lock the bus or a cache line, such as a lock-prefixed one on x86), and
the misses of callgrind's simulated first-level data cache and last-level
cache. Together they tell what a change does to the time on a noisy machine.

With --ppc-driver (the message driver of a PowerPC cross build, see the
README), it also counts the device's instructions per message: callgrind does
not run under qemu-ppc, so qemu logs every translated block once and every
block it executes, and the count is the sum of the executed blocks' lengths.
It includes the C library and the platform stand-in, as callgrind's does.
"""
import argparse
import json
import os
import re
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
DEFAULT_BIN = os.path.join(HERE, "..", "build", "bench", "bench", "wexlog_bench")
DEFAULT_DRIVER = os.path.join(HERE, "..", "build", "bench", "bench", "wexlog_message_driver")
# Two runs of the driver whose difference is INSTRUCTION_MESSAGES messages.
INSTRUCTION_BASE, INSTRUCTION_MESSAGES = 2000, 20000
NS_PER = {"ns": 1.0, "us": 1e3, "ms": 1e6, "s": 1e9}


def run(args, extra):
    cmd = [args.bin, "--benchmark_format=json",
           "--benchmark_repetitions=%d" % args.repetitions,
           "--benchmark_enable_random_interleaving=true",
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


# What callgrind counts, by the names of its events.
EVENTS = {"instructions": ("Ir",), "atomics": ("Ge",), "D1 misses": ("D1mr", "D1mw"),
          "LL misses": ("DLmr", "DLmw")}


def events_per_message(driver, case):
    """Instructions, atomics and cache misses of one message of `case`, from
    two callgrind runs whose difference is INSTRUCTION_MESSAGES messages."""
    def collected(count):
        cmd = ["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null",
               "--collect-bus=yes", "--cache-sim=yes", driver, case, str(count)]
        err = subprocess.run(cmd, check=True, stderr=subprocess.PIPE,
                             stdout=subprocess.DEVNULL).stderr.decode()
        names = re.search(r"Events\s*: (.*)", err).group(1).split()
        values = [int(v) for v in re.search(r"Collected : (.*)", err).group(1).split()]
        counts = dict(zip(names, values))
        return {kind: sum(counts[n] for n in names_) for kind, names_ in EVENTS.items()}
    base = collected(INSTRUCTION_BASE)
    more = collected(INSTRUCTION_BASE + INSTRUCTION_MESSAGES)
    return {kind: (more[kind] - base[kind]) / INSTRUCTION_MESSAGES for kind in EVENTS}


# Two threads on one logger, also timed on whole runs of the driver: a second
# measure beside the benchmark library's threaded cases. On a machine of two
# processors both swing between two speeds from run to run, for the peer too,
# so that only several runs tell a change apart.
THREAD_MESSAGES = 4000000
THREAD_CASES = ("stored", "stored_2threads", "spdlog", "spdlog_2threads")


def driver_seconds(driver, repetitions):
    """Median wall time of THREAD_MESSAGES messages per case in THREAD_CASES,
    the cases' runs interleaved."""
    times = {case: [] for case in THREAD_CASES}
    for _ in range(repetitions):
        for case in THREAD_CASES:
            start = time.perf_counter()
            subprocess.run([driver, case, str(THREAD_MESSAGES)], check=True)
            times[case].append(time.perf_counter() - start)
    return {case: sorted(t)[len(t) // 2] for case, t in times.items()}


PPC_EMULATOR = ["qemu-ppc", "-L", "/usr/powerpc-linux-gnu"]
# Fewer messages than under callgrind: qemu's log grows by a line per block.
PPC_BASE, PPC_MESSAGES = 100, 500
PPC_CASES = ("stored", "filtered", "value", "set", "string")


def guest_instructions_per_message(driver, case):
    """PowerPC instructions of one message of `case`, from two runs under
    qemu-ppc whose difference is PPC_MESSAGES messages."""
    def executed(count):
        log = subprocess.run(PPC_EMULATOR + ["-d", "in_asm,exec,nochain", "-D", "/dev/stdout",
                                             driver, case, str(count)],
                             check=True, stdout=subprocess.PIPE).stdout.decode(errors="replace")
        block_length, start, total = {}, None, 0
        for line in log.splitlines():
            if line.startswith("IN:"):
                start = None
            elif line.startswith("0x") and ":" in line:
                pc = int(line.split(":")[0], 16)
                if start is None:
                    start = pc
                    block_length[start] = 0
                block_length[start] += 1
            elif line.startswith("Trace "):
                # "Trace N: host [flags/guest pc/...]"
                total += block_length.get(int(line.split("[")[1].split("/")[1], 16), 0)
        return total
    return (executed(PPC_BASE + PPC_MESSAGES) - executed(PPC_BASE)) / PPC_MESSAGES


# Rows of the table: a case, then the driver's cases for ours, the peer and
# the floor (None where there is none).
EVENT_ROWS = [("stored message", "stored", "spdlog", "floor"),
              ("filtered call", "filtered", "spdlog_filtered", None),
              ("structured value", "value", None, None),
              ("structured set", "set", None, None),
              ("structured string", "string", None, None),
              ("2 threads, one logger", "stored_2threads", "spdlog_2threads", "floor_2threads")]


def print_event_table(counts):
    print("per message           %-13s %8s %8s %8s" % ("", "ours", "spdlog", "floor"))
    for label, ours, peer, floor in EVENT_ROWS:
        for kind in EVENTS:
            cells = ["%8.1f" % counts[c][kind] if c else "%8s" % "-" for c in (ours, peer, floor)]
            print("%-21s %-13s %s" % (label if kind == "instructions" else "", kind,
                                      " ".join(cells)))


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--bin", default=DEFAULT_BIN)
    p.add_argument("--repetitions", type=int, default=5)
    p.add_argument("--min-time", help="passed on as --benchmark_min_time")
    p.add_argument("--json", help="also keep the raw JSON output here")
    p.add_argument("--driver", default=DEFAULT_DRIVER)
    p.add_argument("--no-instructions", action="store_true",
                   help="skip the callgrind counts")
    p.add_argument("--ppc-driver", help="also count PowerPC instructions with this driver")
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
    check("stored / spdlog <= 0.9", stored <= 0.9 * spd, "%.2f" % (stored / spd))
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
        if n == 2:
            check("2 threads scale as spdlog's", ours / ours1 >= peer / peer1, text)
        if n in (2, 4):
            check("%d threads >= spdlog's" % n, ours >= peer, text)
        else:
            print("      %-34s %s" % ("%d thread%s" % (n, "s" if n > 1 else ""), text))

    seconds = driver_seconds(args.driver, args.repetitions)
    ours2, peer2 = (seconds["stored"] / seconds["stored_2threads"],
                    seconds["spdlog"] / seconds["spdlog_2threads"])
    check("2 threads scale as spdlog's (driver)", ours2 >= peer2,
          "ours %.2f M/s (%.2fx one), spdlog %.2f M/s (%.2fx one)" % (
              THREAD_MESSAGES / seconds["stored_2threads"] / 1e6, ours2,
              THREAD_MESSAGES / seconds["spdlog_2threads"] / 1e6, peer2))

    for size in (16, 256, 1024):
        print("      ring push+pop %4d bytes       %.1f ns" % (size, ns("BM_RingPushPop/%d" % size)))

    if not args.no_instructions:
        cases = {c for row in EVENT_ROWS for c in row[1:] if c}
        counts = {case: events_per_message(args.driver, case) for case in sorted(cases)}
        print_event_table(counts)

        def ir(case):
            return counts[case]["instructions"]
        check("instructions stored / spdlog <= 0.6", ir("stored") <= 0.6 * ir("spdlog"),
              "%.2f" % (ir("stored") / ir("spdlog")))
        check("instructions stored / floor <= 1.15", ir("stored") <= 1.15 * ir("floor"),
              "%.2f" % (ir("stored") / ir("floor")))
        check("instructions filtered <= spdlog", ir("filtered") <= ir("spdlog_filtered"),
              "%.0f vs %.0f" % (ir("filtered"), ir("spdlog_filtered")))
        check("instructions structured value <= stored", ir("value") <= ir("stored"),
              "%.0f vs %.0f" % (ir("value"), ir("stored")))
        memory = subprocess.run([args.driver, "memory"], check=True,
                                stdout=subprocess.PIPE).stdout.decode().strip()
        print("      memory: " + memory)
    if args.ppc_driver:
        for case in PPC_CASES:
            print("      PowerPC %-10s %7.1f instructions per message" % (
                case, guest_instructions_per_message(args.ppc_driver, case)))
    print("%d PASS, %d MISS" % (results.count(True), results.count(False)))
    return 0


if __name__ == "__main__":
    sys.exit(main())

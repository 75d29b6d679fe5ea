#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Takes many gcores of a task whose threads log without pause into several
# loggers, and checks what `wexlog recover` reads back from each: every
# logger is found in every core, and every line shown (records and records
# under construction) is one the task wrote, with one of its task ids.
# Cores caught in the middle of a push show torn rings; the script counts
# them.
#
#   scripts/wexlog_torn_stress.sh [CORES] [BUILD_DIR]
#
# CORES defaults to 100 and BUILD_DIR to build/default (build it first). Needs
# gdb's gcore and permission to attach to a child process. Exits 1 when a
# check fails, leaving the failing core and output in the work directory.
set -euo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/.."
cores=${1:-100}
build=$(realpath "${2:-build/default}")
wexlog=$build/tools/wexlog/wexlog
work=$(mktemp -d /tmp/wexlog_torn_stress.XXXXXX)

# The task: THREADS threads, each logging in turn into the LOGGERS loggers,
# messages and structured records whose texts the checker can recompute.
cat >"$work/task.cpp" <<'EOF'
#include <pthread.h>
#include <unistd.h>
#include <wex_lib_log_entry.h>

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

constexpr int kLoggers = 4, kThreads = 6;
const unsigned int kSizes[kLoggers] = {700, 4096, 65536, 1u << 20};

// The text for logger l, thread t, sequence number n (the checker has a twin).
std::string filler(unsigned l, unsigned t, unsigned long n) {
  std::string text(10 + (n * 7919 + t * 31 + l) % 150, ' ');
  for (size_t i = 0; i < text.size(); ++i) text[i] = char('a' + (n + i * 7 + t) % 26);
  return text;
}

int main(int, char** argv) {
  std::vector<velorin::wex_lib_log_entry*> log;
  for (int l = 0; l < kLoggers; ++l) {
    log.push_back(new velorin::wex_lib_log_entry(200 + l, ("stress." + std::to_string(l)).c_str(),
                                                 kSizes[l]));
  }
  FILE* ids = std::fopen(argv[1], "w");
  std::vector<std::thread> threads;
  for (unsigned t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      std::fprintf(ids, "%u\n", static_cast<unsigned>(pthread_self()));
      std::fflush(ids);
      for (unsigned long n = 0;; ++n) {
        const unsigned l = static_cast<unsigned>((n + t) % kLoggers);
        const std::string text = filler(l, t, n);
        if (n % 3 == 0) {
          const std::string a = "L" + std::to_string(l), b = "T" + std::to_string(t),
                            c = "N" + std::to_string(n);
          log[l]->push_data_string("stress", 4, a.c_str(), b.c_str(), c.c_str(), text.c_str(),
                                   nullptr, nullptr);
        } else {
          log[l]->add_log(WEX_LIB_LOG_LV_INFO, WEX_LIB_LOG_TYPE_WARNING, WEX_LIB_LOG_LEN_FULL,
                          "stress::work", "L%u T%u N%lu %s", l, t, n, text.c_str());
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
}
EOF
g++ -std=c++17 -O2 -pthread -Iinclude -Iplatform -Iplatform/standin "$work/task.cpp" \
  -o "$work/task" -L"$build" -L"$build/platform/standin" -lwexliblog -lwexplatform \
  -Wl,-rpath,"$build":"$build/platform/standin"

cat >"$work/check.py" <<'EOF'
import json, re, sys

# Checks one core's `recover` output; prints "loggers records uncommitted torn".
ids = {int(x) for x in open(sys.argv[1]).read().split()}
text = open(sys.argv[2], encoding="utf-8", errors="strict").read()

def filler(l, t, n):
    length = 10 + (n * 7919 + t * 31 + l) % 150
    return "".join(chr(ord("a") + (n + i * 7 + t) % 26) for i in range(length))

message = re.compile(r"\[warn\?\?\] stress::work\tL(\d+) T(\d+) N(\d+) ([a-z]+)$")
structured = re.compile(r"\[stress {26}\]\[L(\d+)\]\[T(\d+)\]\[N(\d+)\]\[([a-z]+)\]$")
header = re.compile(r"\[\d\d:\d\d:\d\d\.\d{3}:(\d+)\]")
heading = re.compile(r'# ring 0x[0-9a-f]+ size \d+ records (\d+) logger "stress\.(\d)" '
                     r"trace_id (\d+)( torn at offset \d+)?$")

def body_ok(body, logger):
    m, limit = message.match(body), None
    if not m:
        m, limit = structured.match(body), 64  # string items keep 64 bytes
    return bool(m) and int(m[1]) == logger and m[4] == filler(*map(int, m.groups()[:3]))[:limit]

# A record under construction may stop inside an item: the items before it,
# then the malformed marker.
partial = re.compile(r"\[stress {26}\](?:\[L(\d+)\](?:\[T(\d+)\](?:\[N(\d+)\](\[[a-z]+\])?)?)?)?$")

def uncommitted_ok(body, logger):
    if body.endswith("[!malformed]"):
        body = body[:-len("[!malformed]")]
    m = partial.match(body)
    if not body or body_ok(body, logger):
        return True
    return bool(m) and not m[4] and m[1] in (None, str(logger))

loggers, records, uncommitted, torn, logger = set(), 0, 0, 0, None
for line in text.splitlines():
    if line.startswith("# ring "):
        m = heading.match(line)
        if not m or int(m[3]) != 200 + int(m[2]) or int(m[2]) in loggers:
            sys.exit("bad heading: " + line)
        logger = int(m[2])
        loggers.add(logger)
        torn += bool(m[4])
    elif line.startswith("# uncommitted "):
        uncommitted += 1
        if not uncommitted_ok(line[len("# uncommitted "):], logger):
            sys.exit("bad uncommitted record: " + line)
    else:
        h = header.match(line)
        if not h or int(h[1]) not in ids or not body_ok(line[h.end():], logger):
            sys.exit("bad record: " + line)
        records += 1
if loggers != {0, 1, 2, 3}:
    sys.exit("loggers found: %s" % sorted(loggers))
print(len(loggers), records, uncommitted, torn)
EOF

echo 0x1 >/proc/self/coredump_filter  # anonymous private memory only, inherited
"$work/task" "$work/ids" &
task=$!
trap 'kill $task 2>/dev/null || true' EXIT
sleep 1

totals=(0 0 0 0)
torn_cores=0
for ((i = 1; i <= cores; ++i)); do
  gcore -o "$work/core" "$task" >"$work/gcore.out" 2>&1
  "$wexlog" recover "$work/core.$task" >"$work/out" 2>"$work/err"
  if ! counts=$(python3 "$work/check.py" "$work/ids" "$work/out"); then
    echo "core $i: check failed; core and output kept in $work" >&2
    exit 1
  fi
  read -r -a got <<<"$counts"
  for j in 0 1 2 3; do totals[j]=$((totals[j] + got[j])); done
  ((got[3] == 0)) || torn_cores=$((torn_cores + 1))
  rm -f "$work/core.$task"
  sleep 0.$((RANDOM % 10))
done
echo "cores: $cores; loggers recovered: ${totals[0]} of $((4 * cores));" \
  "records: ${totals[1]}; records under construction: ${totals[2]};" \
  "torn rings: ${totals[3]} in $torn_cores cores"
rm -rf "$work"

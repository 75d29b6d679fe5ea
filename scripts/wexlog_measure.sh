#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Time and peak memory (/usr/bin/time -v) of wexlog on four large inputs,
# made here and deleted afterwards (about 1.3 GB of disk at the peak):
#   forged  a 1 MB core of 1000 rings that share one array of ring records
#           that chain all the way round but hold no log record;
#   ring    the gcore of a task with one logger of a 1 GB ring filled with
#           messages;
#   decode  a 100 MB snapshot of small structured records;
#   crash   a crash file of one logger whose 20 MiB ring is full of small
#           records, decoded in text, JSON and OTLP.
#
#   scripts/wexlog_measure.sh [BUILD_DIR [INPUT...]]
#
# BUILD_DIR defaults to build/default (build it first); the inputs to all
# four. Needs gdb's gcore for `ring`.
set -euo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/.."
build=$(realpath "${1:-build/default}")
shift || true
inputs=" ${*:-forged ring decode crash} "
wanted() { [[ $inputs == *" $1 "* ]]; }
wexlog=$build/tools/wexlog/wexlog
work=$(mktemp -d /tmp/wexlog_measure.XXXXXX)
trap 'rm -rf "$work"' EXIT

# Prints the wall time, peak RSS and input size of one wexlog run.
measure() {
  local name=$1 input=$2
  shift 2
  /usr/bin/time -v "$wexlog" "$@" "$input" >/dev/null 2>"$work/time" || true
  local seconds rss
  seconds=$(sed -n 's/.*Elapsed (wall clock) time.*: //p' "$work/time")
  rss=$(sed -n 's/.*Maximum resident set size (kbytes): //p' "$work/time")
  grep '^wexlog:' "$work/time" || true
  printf '%-7s input %6d MB  time %s  peak RSS %6d MB\n' "$name" \
    $(($(stat -c %s "$input") >> 20)) "$seconds" $((rss >> 10))
}

if wanted forged; then
python3 - "$work/forged.core" <<'EOF'
import struct, sys

# ELF64 little-endian core: 1000 ring objects {0, 0, 0, size, array} in one
# segment, and the array of 5-byte ring records (length 1) in another.
size = 5 * 209715
rings = b"".join(struct.pack("<iIIIQ", 0, 0, 0, size, 0x200000) for _ in range(1000))
array = bytes(1 if i % 5 == 0 else 0 for i in range(size))
segments = [(0x10000, rings), (0x200000, array)]
offset = 64 + 56 * len(segments)
header = b"\x7fELF\x02\x01\x01" + bytes(9)
header += struct.pack("<HHIQQQIHHHHHH", 4, 62, 1, 0, 64, 0, 0, 64, 56, len(segments), 0, 0, 0)
programs = b""
for address, content in segments:
    programs += struct.pack("<IIQQQQQQ", 1, 6, offset, address, 0, len(content), len(content), 1)
    offset += len(content)
with open(sys.argv[1], "wb") as out:
    out.write(header + programs + rings + array)
EOF
measure forged "$work/forged.core" recover --stats
fi

if wanted ring || wanted decode; then

cat >"$work/fill.cpp" <<'EOF'
#include <unistd.h>
#include <wex_lib_log_entry.h>
#include <wex_lib_log_snapshot.h>

#include <cstdlib>
#include <fstream>
#include <string>

// ring DIR: a 1 GB ring of messages, then a gcore of this task in DIR/core.
// snapshot DIR: a 100 MB ring of small structured records in DIR/snap.
int main(int, char** argv) {
  const std::string mode = argv[1], dir = argv[2];
  const bool ring = mode == "ring";
  velorin::wex_lib_log_entry log(7, "big", ring ? 1u << 30 : 100u << 20);
  const unsigned long bytes = ring ? 1ul << 30 : 100ul << 20;
  const std::string text(400, 'x');
  for (unsigned long n = 0, stored = 0; stored < bytes + (bytes >> 4); ++n) {
    if (ring) {
      log.add_log(WEX_LIB_LOG_LV_INFO, WEX_LIB_LOG_TYPE_WARNING, WEX_LIB_LOG_LEN_FULL, "fill",
                  "%lu %s", n, text.c_str() + n % 300);
      stored += 130 + 400 - n % 300;
    } else {
      log.push_data_value("v", 0, 1, static_cast<int>(n), 0, 0, 0, 0, 0, 0, 0);
      stored += 4 + 9 + 3 + 5;
    }
  }
  if (!ring) return velorin::wex_lib_log_save_snapshot(log.storage(), (dir + "/snap").c_str());
  std::ofstream("/proc/self/coredump_filter") << "0x1\n";
  const std::string pid = std::to_string(getpid());
  return std::system(("gcore -o " + dir + "/core " + pid + " >/dev/null 2>&1 && mv " + dir +
                      "/core." + pid + " " + dir + "/core").c_str());
}
EOF
g++ -std=c++17 -O2 -Iinclude -Iplatform -Iplatform/standin "$work/fill.cpp" -o "$work/fill" \
  -L"$build" -L"$build/platform/standin" -lwexliblog -lwexplatform \
  -Wl,-rpath,"$build":"$build/platform/standin"

if wanted ring; then
  "$work/fill" ring "$work" >/dev/null
  measure ring "$work/core" recover --stats
  measure json "$work/core" recover --json
  rm -f "$work/core"
fi
if wanted decode; then
  "$work/fill" snapshot "$work" >/dev/null
  measure decode "$work/snap" decode
fi
fi

if wanted crash; then
python3 - "$work/crash" <<'EOF'
import struct, sys

# One 22-byte ring record: a log record (time 00:00:01.000, task 0x1234) of a
# title "ab" and the value -2, repeated round a full ring of just under 20 MiB.
record = bytes.fromhex("E8030000341200000201026162" + "02FEFFFFFF")
ring = (struct.pack("<I", len(record)) + record) * ((20 << 20) // (4 + len(record)))
header = b"WEXLOGCR" + struct.pack("<IIIIQ", 1, 11, 4242, 0, 1700000000)
logger = b"LOGR" + struct.pack("<iQiIIIIIB3x", 7, 0x10000000, 0, 0, 0, len(ring), 3, 0, 0)
with open(sys.argv[1], "wb") as out:
    out.write(header + logger + b"big" + ring + b"END!" + struct.pack("<I", 1))
EOF
measure crash "$work/crash" decode
measure crash-j "$work/crash" decode --json
measure crash-o "$work/crash" decode --otlp
fi

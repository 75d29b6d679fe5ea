#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Time, peak memory and output size of `wexlog recover` on forged cores of
# growing size, made here and deleted afterwards:
#   shared   N ring objects on one array of N 13-byte ring records (a log
#            record header and no item) chained all round, each ring with a
#            read position of its own;
#   apart    the same with each ring full from a write position of its own;
#   aliased  program headers that all load the same file bytes at distinct
#            addresses, half the file headers and half the bytes.
# Either shape makes a reader that walks or scans per candidate or per
# program header quadratic in the core's size.
#
#   scripts/wexlog_recover_growth.sh [WEXLOG] [SIZE_KB...]
#
# WEXLOG defaults to build/default/tools/wexlog/wexlog; sizes to 100 200 400
# 800 kB; SHAPES in the environment chooses the shapes. A run is stopped
# after 120 s.
set -euo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/.."
wexlog=$(realpath "${1:-build/default/tools/wexlog/wexlog}")
shift || true
sizes=("$@")
[ ${#sizes[@]} -gt 0 ] || sizes=(100 200 400 800)
work=$(mktemp -d /tmp/wexlog_growth.XXXXXX)
trap 'rm -rf "$work"' EXIT

make_core() {
  python3 - "$@" <<'PY'
import struct, sys

shape, kb, path = sys.argv[1], int(sys.argv[2]), sys.argv[3]
total = kb * 1024

def elf64(segments, data):
    """ELF64 little-endian core: program headers (offset, address, size), then data."""
    header = b"\x7fELF\x02\x01\x01" + bytes(9)
    header += struct.pack("<HHIQQQIHHHHHH", 4, 62, 1, 0, 64, 0, 0, 64, 56, len(segments), 0, 0, 0)
    body = 64 + 56 * len(segments)
    programs = b"".join(struct.pack("<IIQQQQQQ", 1, 6, body + offset, address, 0, size, size, 1)
                        for offset, address, size in segments)
    return header + programs + data

if shape in ("shared", "apart"):
    n = total // (24 + 13)
    write = (lambda i: 13 * i) if shape == "apart" else (lambda i: 0)
    rings = b"".join(struct.pack("<iIIIQ", 0, write(i), 13 * i, 13 * n, 0x10000000)
                     for i in range(n))
    array = (struct.pack("<I", 9) + bytes(9)) * n
    core = elf64([(0, 0x10000, len(rings)), (len(rings), 0x10000000, len(array))], rings + array)
else:
    count = total // 2 // 56
    data = (struct.pack("<iIIIQ", 0, 0, 0, 64, 0x10000000) + bytes(40)) * (total // 2 // 64)
    core = elf64([(0, 0x10000000 + i * 0x1000000, len(data)) for i in range(count)], data)
open(path, "wb").write(core)
PY
}

for shape in ${SHAPES:-shared apart aliased}; do
  for kb in "${sizes[@]}"; do
    core=$work/$shape-$kb.core
    make_core "$shape" "$kb" "$core"
    status=0
    /usr/bin/time -v timeout 120 "$wexlog" recover --stats "$core" 2>"$work/err" |
      wc -c >"$work/bytes" || status=$?
    seconds=$(sed -n 's/.*Elapsed (wall clock) time.*: //p' "$work/err")
    rss=$(sed -n 's/.*Maximum resident set size (kbytes): //p' "$work/err")
    printf '%-8s core %5d kB  time %8s  peak RSS %5d MB  output %9d bytes%s\n' "$shape" \
      $(($(stat -c %s "$core") >> 10)) "$seconds" $((rss >> 10)) "$(cat "$work/bytes")" \
      "$( ((status == 0)) || echo "  (stopped or failed)")"
    grep -h '^wexlog:' "$work/err" | head -2 | sed 's/^/    /'
    rm -f "$core"
  done
done

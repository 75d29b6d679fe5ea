#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Takes many crash files of the crash fixture's busy mode (three threads
# logging numbered messages without pause while the task dies) and counts the
# loggers that come back short of their whole records.
#
#   scripts/crash_stress.sh [FILES] [FIXTURE] [EMULATOR...]
#
# FILES defaults to 100, FIXTURE to the default build's fixture; an emulator
# command (e.g. qemu-ppc -L /usr/powerpc-linux-gnu) runs a cross-built one.
# The crash files are decoded with the default build's wexlog (build it
# first), or the one WEXLOG names. A logger is short when its decoded ring is
# torn, when its message numbers do not run on one by one, or when its
# records leave more than two records' room of the ring unused: a full ring
# leaves less than one free, and a push under way when the task died may
# have discarded one more. Prints one line of counts; exits 1 when a logger
# is short or a file is missing, keeping the work directory.
set -euo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/.."
files=${1:-100}
fixture=$(realpath "${2:-build/default/tools/wexlog/tests/wexlog_crash_fixture}")
shift $(($# < 2 ? $# : 2))
wexlog=$(realpath "${WEXLOG:-build/default/tools/wexlog/wexlog}")
work=$(mktemp -d /tmp/wexlog_crash_stress.XXXXXX)
ulimit -c 0

taken=0 missing=0 loggers=0 short=0 short_files=0
for ((i = 0; i < files; i++)); do
  dir=$work/$i
  mkdir "$dir"
  { (cd "$dir" && "$@" "$fixture" busy "$dir") >/dev/null 2>&1 || true; } 2>/dev/null
  crash=$(find "$dir" -name '*.crash' | head -1)
  if [[ -z $crash ]]; then
    missing=$((missing + 1))
    continue
  fi
  taken=$((taken + 1))
  counts=$("$wexlog" decode "$crash" 2>/dev/null | awk -v manifest="$dir/busy.txt" '
    BEGIN { while ((getline line < manifest) > 0) { split(line, f, " "); ring[f[1]] = f[2]; record[f[1]] = f[3] } }
    function finish() {
      if (name == "") return
      loggers++
      if (torn || broken || (records + 2) * record[name] < ring[name]) short++
    }
    /^# ring / {
      finish()
      match($0, /logger "[^"]*"/); name = substr($0, RSTART + 8, RLENGTH - 9)
      match($0, / records [0-9]+/); records = substr($0, RSTART + 9, RLENGTH - 9) + 0
      torn = index($0, " torn ") > 0; broken = 0; last = -1
      next
    }
    /^#/ { next }
    name != "" {
      if (!match($0, /seq [0-9]+$/)) { broken = 1; next }
      seq = substr($0, RSTART + 4) + 0
      if (last >= 0 && seq != last + 1) broken = 1
      last = seq
    }
    END { finish(); print loggers + 0, short + 0 }')
  loggers=$((loggers + ${counts% *}))
  short=$((short + ${counts#* }))
  if [[ ${counts#* } != 0 ]]; then short_files=$((short_files + 1)); fi
done
echo "crash files $taken of $files (missing $missing), with a short logger $short_files;" \
  "loggers $loggers, short $short"
if ((short != 0 || missing != 0)); then
  echo "kept $work" >&2
  exit 1
fi
rm -rf "$work"

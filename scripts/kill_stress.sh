#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Kills the crash fixture's mapped mode (four writers numbering their
# messages into three loggers whose rings are ring files) with SIGKILL at
# random instants, reads the ring files back with `wexlog recover DIR` and
# counts the records that did not come back.
#
#   scripts/kill_stress.sh [KILLS] [FIXTURE] [EMULATOR...]
#
# KILLS defaults to 300, FIXTURE to the default build's fixture; an emulator
# command (e.g. qemu-ppc -L /usr/powerpc-linux-gnu) runs a cross-built one.
# The files are read with the default build's wexlog (build it first).
#
# A writer's records must come back as one unbroken run of numbers ending at
# the last number it published (its push had returned), or one after it (a
# push that returned just before the kill, unpublished); older numbers may be
# missing only where the ring had no room for them, and a writer sharing its
# logger may have none left. A full ring leaves less than one record's room
# unused, and the push under way at the kill may have discarded up to two
# more for its own record: a logger whose records leave more than three
# records' room of its ring unused, once it has wrapped, lost some. An
# uncommitted record must be a whole message with a writer's next number.
# Every task must be reported stale. Prints one line of counts; exits 1 when a record is
# missing or an uncommitted record or a task's state is wrong, keeping the
# work directory.
set -euo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/.."
kills=${1:-300}
fixture=$(realpath "${2:-build/default/tools/wexlog/tests/wexlog_crash_fixture}")
shift $(($# < 2 ? $# : 2))
wexlog=$(realpath build/default/tools/wexlog/wexlog)
work=$(mktemp -d /tmp/wexlog_kill_stress.XXXXXX)
pid=
# Interrupted, it kills the fixture it started and removes what it made.
trap '[[ -n $pid ]] && kill -KILL $pid 2>/dev/null; rm -rf "$work"; exit 130' INT TERM
# Under an emulator the task starts and runs slower: wait longer.
scale=$(($# > 0 ? 5 : 1))

for ((i = 0; i < kills; i++)); do
  dir=$work/$i
  mkdir "$dir"
  "$@" "$fixture" mapped "$dir" >/dev/null 2>"$dir/fixture.err" &
  pid=$!
  # Until every writer has published a number, then a random instant on.
  for ((wait = 0; wait < 2000; wait++)); do
    if [[ -s $dir/committed ]] && ! od -An -tu4 "$dir/committed" | grep -qw 0; then break; fi
    sleep 0.005
  done
  sleep "$(awk -v r=$RANDOM -v s=$scale 'BEGIN { printf "%.3f", s * (0.01 + r / 32768 * 0.2) }')"
  kill -KILL $pid 2>/dev/null || true  # a fixture that failed to start has ended already
  status=0
  wait $pid 2>/dev/null || status=$?
  echo "$status" >"$dir/fixture.status"  # 137 when killed, as it should be
  "$wexlog" recover "$dir" >"$dir/recovered.txt" 2>"$dir/notes.txt" || true
done

status=0
python3 - "$work" "$kills" <<'EOF' || status=$?
import os, re, struct, sys

work, kills = sys.argv[1], int(sys.argv[2])
WRITERS, LOGGER_OF = 4, lambda t: "kill%d" % (t % 3)
RECORD = re.compile(r"\] kill\twriter (\d+) seq (\d+) ")
UNCOMMITTED = re.compile(r"^# uncommitted \[ERROR@\] kill\twriter (\d+) seq (\d+) ")
totals = dict(kills=0, logged=0, expected=0, recovered=0, missing=0, uncommitted=0, bad=0, short=0)
for run in range(kills):
    d = os.path.join(work, str(run))
    counters = os.path.join(d, "committed")
    raw = open(counters, "rb").read() if os.path.exists(counters) else b""
    ring_files = [f for f in os.listdir(d) if f.endswith(".ring")]
    if len(raw) != 4 * WRITERS or len(ring_files) != 3:
        totals["bad"] += 1
        status = open(os.path.join(d, "fixture.status")).read().strip()
        err = open(os.path.join(d, "fixture.err"), errors="replace").read().strip()
        print("run %d: no committed numbers or ring files (fixture status %s%s)"
              % (run, status, ": " + err if err else ""), file=sys.stderr)
        continue
    big = open(os.path.join(d, ring_files[0]), "rb").read(16)[12:16] == b"\x01\x02\x03\x04"
    committed = struct.unpack((">" if big else "<") + "%dI" % WRITERS, raw)
    totals["kills"] += 1
    totals["logged"] += sum(committed)
    seen = {t: set() for t in range(WRITERS)}
    rings, ring, problems = {}, None, []
    for line in open(os.path.join(d, "recovered.txt"), errors="replace"):
        if line.startswith("# ring file "):
            name = re.search(r' logger "([^"]*)"', line).group(1)
            size = int(re.search(r" size (\d+)", line).group(1))
            ring = rings[name] = dict(size=size, used=0, largest=0, torn=" torn " in line)
        elif line.startswith("# task ") and " stale: " not in line:
            problems.append("task not reported stale: " + line.strip())
        elif line.startswith("# uncommitted "):
            totals["uncommitted"] += 1
            m = UNCOMMITTED.match(line)
            t, n = (int(m.group(1)), int(m.group(2))) if m else (0, 0)
            if not m or n <= committed[t] or n > committed[t] + 2:
                problems.append("uncommitted writer %d seq %d, committed %d" % (t, n, committed[t]))
        elif ring is not None and (m := RECORD.search(line)):
            t, n = int(m.group(1)), int(m.group(2))
            seen[t].add(n)
            text = line.split("] ", 1)[1].rstrip("\n")  # function, TAB and message
            size = 21 + len(text)  # prefix, header, data item head, type and selector bytes, NULs
            ring["used"] += size
            ring["largest"] = max(ring["largest"], size)
    for t in range(WRITERS):
        numbers, last = seen[t], committed[t]
        if last + 1 in numbers:
            last += 1
        if any(n > last for n in numbers):
            problems.append("writer %d has numbers past %d" % (t, last))
        if not numbers:
            continue  # all evicted by the other writer of its logger: the fill check covers it
        low = min(numbers)
        expected = last - low + 1
        missing = sum(1 for n in range(low, last + 1) if n not in numbers)
        totals["expected"] += max(expected, 0)
        totals["recovered"] += expected - missing
        totals["missing"] += missing
    for name, r in rings.items():
        wrapped = sum(committed[t] for t in range(WRITERS) if LOGGER_OF(t) == name) * 30 > r["size"]
        if r["torn"] or (wrapped and r["used"] + 3 * r["largest"] < r["size"]):
            totals["short"] += 1
            problems.append("logger %s short: %d of %d bytes" % (name, r["used"], r["size"]))
    if problems:
        totals["bad"] += 1
        print("run %d: %s" % (run, "; ".join(problems)), file=sys.stderr)
print("kills %(kills)d, records logged %(logged)d, expected in the rings %(expected)d, "
      "recovered %(recovered)d, missing %(missing)d, short loggers %(short)d, "
      "uncommitted %(uncommitted)d, runs with a fault %(bad)d" % totals)
sys.exit(1 if totals["missing"] or totals["bad"] else 0)
EOF
if ((status != 0)); then
  echo "kept $work" >&2
  exit 1
fi
rm -rf "$work"

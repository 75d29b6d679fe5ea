#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Writes `wexlog decode --otlp` of a crash file and of a ring snapshot and
# checks every line against the OTLP protobuf definitions (check.js).
# Usage: run.sh WEXLOG CRASH_FIXTURE
# Exit status 77 (a skip) when the checker's packages are not installed
# (`npm ci --prefix tests/otlp`), except under CI, where that fails.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
wexlog=$1 crash_fixture=$2

if [[ ! -d $here/node_modules ]] || ! command -v node >/dev/null; then
  reason="the OTLP checker needs node and its packages: npm ci --prefix tests/otlp"
  if [[ ${CI:-} == true ]]; then
    echo "FAIL: $reason"
    exit 1
  fi
  echo "SKIP: $reason"
  exit 77
fi

dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT

# The fixture dies of SIGSEGV and leaves one crash file in the directory.
status=0
(cd "$dir" && ulimit -c 0 && exec "$crash_fixture" null "$dir") 2>"$dir/fixture.err" || status=$?
if ((status != 128 + 11)); then
  echo "the crash fixture ended with status $status, not SIGSEGV:"
  cat "$dir/fixture.err"
  exit 1
fi
crash_files=("$dir"/*.crash)
if ((${#crash_files[@]} != 1)) || [[ ! -f ${crash_files[0]} ]]; then
  echo "expected one crash file in $dir"
  exit 1
fi
"$crash_fixture" otlp "$dir"

"$wexlog" decode --otlp "${crash_files[0]}" >"$dir/crash.jsonl"
"$wexlog" decode --otlp --logger 'net "edge"' "$dir/ring.snap" >"$dir/snapshot.jsonl"
cd "$dir"
node "$here/check.js" crash.jsonl snapshot.jsonl

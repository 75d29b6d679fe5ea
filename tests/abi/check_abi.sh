#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Checks how libwexliblog.so.1 ships: its SONAME, that it names only libc and
# the unwinding support library, and that it exports exactly the symbols in
# the checked-in list, so that an accidental ABI change fails the build (the
# sizes of the exported classes are checked by class_layout beside it).
# Usage: check_abi.sh LIBRARY EXPECTED_SYMBOLS
set -euo pipefail
lib=$1
expected=$2
status=0

soname=$(readelf -d "$lib" | sed -n 's/.*Library soname: \[\(.*\)\]/\1/p')
if [ "$soname" != "libwexliblog.so.1" ]; then
  echo "SONAME is '$soname', not libwexliblog.so.1"
  status=1
fi

needed=$(readelf -d "$lib" | sed -n 's/.*Shared library: \[\(.*\)\]/\1/p' | sort | tr '\n' ' ')
if [ "$needed" != "libc.so.6 libgcc_s.so.1 " ]; then
  echo "NEEDED is '$needed', not 'libc.so.6 libgcc_s.so.1'"
  status=1
fi

actual=$(readelf --dyn-syms -W "$lib" |
  awk '$5 != "LOCAL" && $6 == "DEFAULT" && $7 != "UND" && $7 != "ABS" && $8 != "" { print $8 }' |
  sed 's/@.*//' | sort -u)
if ! diff <(sort -u "$expected") <(echo "$actual") >/tmp/wexliblog-abi.diff; then
  echo "Exported symbols differ from $expected (< expected, > built):"
  cat /tmp/wexliblog-abi.diff
  status=1
fi
[ $status -eq 0 ] && echo "ABI of $lib matches $expected"
exit $status

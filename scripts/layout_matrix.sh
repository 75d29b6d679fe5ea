#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the library and the crash fixture (five loggers, two of them written
# by three threads at once, which are still alive in the core) with each
# compiler, C++ library and string ABI of the matrix, and has the host's
# wexlog (build/default, built and tested first) recover each fixture's
# gcore through the layout descriptor to exactly its loggers' dump lines,
# names and trace ids:
#   gcc          g++ with libstdc++
#   gcc-old-abi  g++ with libstdc++'s old string (-D_GLIBCXX_USE_CXX11_ABI=0)
#   clang-libcxx clang++ with libc++
# The PowerPC build (32-bit big-endian) has its own stage in .ci/run.
#
#   scripts/layout_matrix.sh [VARIANT...]
set -euo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/.."
declare -A compiler=([gcc]=g++ [gcc-old-abi]=g++ [clang-libcxx]=clang++)
declare -A flags=([gcc]="" [gcc-old-abi]="-D_GLIBCXX_USE_CXX11_ABI=0" [clang-libcxx]="-stdlib=libc++")
variants=("${@:-gcc gcc-old-abi clang-libcxx}")

for variant in ${variants[*]}; do
  [[ -v "compiler[$variant]" ]] || { echo "layout_matrix: no variant '$variant'" >&2; exit 2; }
  echo "== layout matrix: $variant"
  build=build/matrix-$variant
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_COMPILER="${compiler[$variant]}" -DCMAKE_CXX_FLAGS="${flags[$variant]}" \
    -DWEXLOG_BUILD_TESTS=OFF -DWEXLOG_BUILD_TOOLS=OFF -DWEXLOG_BUILD_EXAMPLES=OFF >/dev/null
  cmake --build "$build" --target wexliblog wexplatform
  # The fixture is a test program, which this build leaves out with the
  # tests (they link GoogleTest, built for the host's own C++ library).
  # shellcheck disable=SC2086
  "${compiler[$variant]}" ${flags[$variant]} -std=c++17 -O2 -g -pthread \
    -Iinclude -I"$build/include" -Iplatform -Iplatform/standin \
    tests/wexlog/wexlog_crash_fixture.cpp -o "$build/wexlog_crash_fixture" \
    -L"$build" -L"$build/platform/standin" -lwexliblog -lwexplatform \
    -Wl,-rpath,"$PWD/$build:$PWD/$build/platform/standin"
  WEXLOG_GCORE_FIXTURE=$PWD/$build/wexlog_crash_fixture \
    ctest --preset default -R 'WexlogCoreTest[.]Gcore' --output-on-failure
done

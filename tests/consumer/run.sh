#!/usr/bin/env bash
# Installs the built library into a scratch prefix, builds the consumer
# project against it with find_package (and, natively, with pkg-config), and
# runs it. Usage: run.sh BUILD_DIR PLATFORM_LIBRARY [TOOLCHAIN_FILE]
set -euo pipefail
build=$1
platform=$2
toolchain=${3:-}
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cmake --install "$build" --prefix "$work/prefix" >/dev/null
args=(-G Ninja -Dwexliblog_DIR="$work/prefix/lib/cmake/wexliblog" -DWEXPLATFORM_LIBRARY="$platform")
emulator=()
if [ -n "$toolchain" ]; then
  args+=(-DCMAKE_TOOLCHAIN_FILE="$toolchain")
  emulator=(qemu-ppc -L /usr/powerpc-linux-gnu)
fi
cmake -S "$here" -B "$work/build" "${args[@]}" >/dev/null
cmake --build "$work/build" >/dev/null
"${emulator[@]}" "$work/build/consumer" "$work/dump.txt"

if [ -z "$toolchain" ]; then
  flags=$(PKG_CONFIG_PATH="$work/prefix/lib/pkgconfig" pkg-config --cflags --libs wexliblog)
  # shellcheck disable=SC2086
  c++ -std=c++17 "$here/main.cpp" $flags "$platform" -o "$work/consumer-pc"
  LD_LIBRARY_PATH="$work/prefix/lib:$(dirname "$platform")" "$work/consumer-pc" "$work/dump-pc.txt"
fi
echo "installed consumer builds and runs"

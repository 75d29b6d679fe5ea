#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds and runs the consumer project against wexliblog, as an application
# would use it:
#   run.sh install BUILD_DIR [TOOLCHAIN]  installs the build into a scratch
#       prefix; find_package, and pkg-config
#   run.sh subproject SOURCE_DIR          add_subdirectory, and FetchContent
#   run.sh system [STAGING_ROOT]          the installed packages under /usr;
#       with a staging root, the PowerPC packages unpacked there, cross-built
#       with the installed toolchain file and run under qemu-ppc
set -euo pipefail
mode=$1
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
ppc_sysroot=/usr/powerpc-linux-gnu

# run_cmake_consumer NAME [CMAKE ARGS...]: configures, builds and runs one consumer.
run_cmake_consumer() {
  local name=$1
  shift
  cmake -S "$here" -B "$work/$name" -G Ninja "$@" >"$work/$name.log" 2>&1 ||
    { cat "$work/$name.log"; exit 1; }
  cmake --build "$work/$name" >>"$work/$name.log" 2>&1 || { cat "$work/$name.log"; exit 1; }
  "${emulator[@]}" "$work/$name/consumer" "$work/$name.txt"
  echo "$name consumer builds and runs"
}

# run_pc_consumer COMPILER PKG_CONFIG_LIBDIR [SYSROOT]: compiles with
# pkg-config's flags (for a staging root, with its /usr paths moved under
# SYSROOT) and runs the program with the .pc files' library folder on its
# library path.
run_pc_consumer() {
  local flags
  flags=$(PKG_CONFIG_LIBDIR=$2 PKG_CONFIG_SYSROOT_DIR=${3:-} pkg-config --cflags --libs wexplatform)
  case $flags in
    *pkgconfig/..*)
      echo "pkg-config gives unresolved paths: $flags"
      exit 1
      ;;
  esac
  # shellcheck disable=SC2086
  "$1" -std=c++17 "$here/main.cpp" $flags -o "$work/consumer-pc"
  if ((${#emulator[@]})); then
    "${emulator[@]}" -E LD_LIBRARY_PATH="$(dirname "$2")" "$work/consumer-pc" "$work/pc.txt"
  else
    LD_LIBRARY_PATH=$(dirname "$2") "$work/consumer-pc" "$work/pc.txt"
  fi
  echo "pkg-config consumer builds and runs: $flags"
}

emulator=()
case $mode in
  install)
    build=$2
    toolchain=${3:-}
    cmake --install "$build" --prefix "$work/prefix" >/dev/null
    if [ -n "$toolchain" ]; then
      emulator=(qemu-ppc -L "$ppc_sysroot")
      run_cmake_consumer find_package -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
        -DWEXLOG_STAGING="$work/prefix"
    else
      run_cmake_consumer find_package -DCMAKE_PREFIX_PATH="$work/prefix"
      libdir=$(dirname "$(find "$work/prefix" -name wexliblog.pc)")
      run_pc_consumer c++ "$libdir"
    fi
    ;;
  subproject)
    run_cmake_consumer add_subdirectory -DWEXLIBLOG_USE=add_subdirectory -DWEXLIBLOG_SOURCE_DIR="$2"
    run_cmake_consumer FetchContent -DWEXLIBLOG_USE=FetchContent -DWEXLIBLOG_SOURCE_DIR="$2"
    ;;
  system)
    stage=${2:-}
    if [ -z "$stage" ]; then
      run_cmake_consumer find_package
      run_pc_consumer c++ "/usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)/pkgconfig"
    else
      emulator=(qemu-ppc -L "$ppc_sysroot")
      # The first release's name of WEXLOG_STAGING, still accepted.
      WEXLIBLOG_STAGING=$stage run_cmake_consumer find_package \
        -DCMAKE_TOOLCHAIN_FILE="$stage/usr/share/wexliblog/powerpc-linux-gnu.cmake"
      run_pc_consumer powerpc-linux-gnu-g++ "$stage/usr/lib/powerpc-linux-gnu/pkgconfig" "$stage"
    fi
    ;;
  *)
    echo "usage: run.sh install BUILD_DIR [TOOLCHAIN] | subproject SOURCE_DIR | system [STAGING_ROOT]" >&2
    exit 2
    ;;
esac

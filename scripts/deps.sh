#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs the Debian packages this project builds, tests and cross-builds
# with. Does nothing (and needs no network) when all are installed already.
set -euo pipefail

packages=(
  cmake make ninja-build g++ clang libclang-rt-14-dev libc++-dev libc++abi-dev pkg-config
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  libspdlog-dev nlohmann-json3-dev libcli11-dev libelf-dev
  g++-powerpc-linux-gnu qemu-user
  valgrind gdb
  lintian dpkg-dev file man-db
)
# The check of wexlog's OTLP output runs on Node.js (tests/otlp); a machine
# with a Node.js of its own keeps it.
command -v npm >/dev/null || packages+=(nodejs npm)

missing=()
for package in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${db:Status-Status}' "$package" 2>/dev/null || true)
  [[ "$status" == installed ]] || missing+=("$package")
done

if ((${#missing[@]} == 0)); then
  echo "deps: all ${#packages[@]} packages installed"
  exit 0
fi

sudo=()
if ((EUID != 0)); then sudo=(sudo); fi

echo "deps: installing ${missing[*]}"
"${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update
"${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y \
  "${missing[@]}"

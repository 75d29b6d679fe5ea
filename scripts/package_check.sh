#!/usr/bin/env bash
# Builds the Debian packages from this source tree, checks them with lintian,
# and uses them as a user would:
#   amd64:   installs them with dpkg -i, builds and runs a consumer against
#            /usr with CMake and with pkg-config, runs wexlog, removes them;
#   powerpc: unpacks them into a staging root, cross-builds a consumer
#            against it with the installed toolchain file and runs it under
#            qemu-ppc.
# Needs root for dpkg -i. Packages end up in build/package*/packages.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

rm -rf build/package/packages build/package-ppc/packages
cmake --workflow --preset package
cmake --workflow --preset package-ppc
host_debs=(build/package/packages/*.deb)
ppc_debs=(build/package-ppc/packages/*.deb)

for deb in "${host_debs[@]}" "${ppc_debs[@]}"; do
  echo "== $deb"
  dpkg-deb -I "$deb" | sed -n '/^ Package:/,$p;/^ Architecture:/p;/^ Depends:/p'
done

# lintian's verdict: errors fail the check; warnings are shown.
lintian --allow-root "${host_debs[@]}" "${ppc_debs[@]}" | tee build/lintian.txt
if grep -q '^E:' build/lintian.txt; then
  echo "lintian reports errors" >&2
  exit 1
fi

# Only packages that were not installed before are removed afterwards.
packages=()
for deb in "${host_debs[@]}"; do
  package=$(dpkg-deb -f "$deb" Package)
  if dpkg-query -W -f='${db:Status-Status}' "$package" 2>/dev/null | grep -qx installed; then
    echo "$package is installed already: it will be upgraded and not removed" >&2
  else
    packages+=("$package")
  fi
done
remove_installed() { if ((${#packages[@]})); then dpkg -r "${packages[@]}" >/dev/null; fi; }
trap remove_installed EXIT
dpkg -i "${host_debs[@]}"
echo "pkg-config under /usr: $(pkg-config --cflags --libs wexliblog)"
tests/consumer/run.sh system
wexlog --version
man -w wexlog
remove_installed
trap - EXIT

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
for deb in "${ppc_debs[@]}"; do dpkg-deb -x "$deb" "$stage"; done
# The device's runtime provides the platform services; under qemu-ppc the
# stand-in cross-built beside the packages takes its place.
for component in standin standin_dev; do
  cmake --install build/package-ppc --component "$component" --prefix "$stage/usr" >/dev/null
done
tests/consumer/run.sh system "$stage"
echo "packages build, install and serve consumers on amd64 and powerpc"

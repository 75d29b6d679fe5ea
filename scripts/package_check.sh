#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the Debian packages for this machine and for the device (powerpc)
# from this source tree, checks them, and uses them as a user would:
#   - lintian --pedantic: no errors, warnings or pedantic tags but
#     initial-upload-closes-no-bugs (a first release closes no bug report);
#   - the Multi-Arch: same packages of both architectures install side by
#     side (dpkg refuses differing files at a shared path) into a scratch
#     dpkg database, and removing them leaves no trace there;
#   - this machine: installs the packages with dpkg -i, runs the README's
#     workstation commands as they stand, builds consumers with CMake and
#     pkg-config, runs wexlog, removes the packages and checks that dpkg
#     keeps nothing of them (no removed-but-configured state);
#   - the device: runs the README's cross-build commands as they stand in a
#     folder holding the powerpc packages (build with CMake and pkg-config,
#     run under qemu-ppc), then the consumer checks against the staging root
#     those commands unpacked.
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
  dpkg-deb -f "$deb" Package Architecture Multi-Arch Depends
done

# One run per architecture: lintian names packages without their architecture.
{
  echo "== lintian --pedantic, $(dpkg --print-architecture)"
  lintian --pedantic --allow-root "${host_debs[@]}"
  echo "== lintian --pedantic, powerpc"
  lintian --pedantic --allow-root "${ppc_debs[@]}"
} | tee build/lintian.txt
if grep -E '^[EWP]:' build/lintian.txt | grep -v ' initial-upload-closes-no-bugs '; then
  echo "lintian reports the tags above" >&2
  exit 1
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# readme_block MARKER: the sh block that follows the README's marker comment.
readme_block() {
  awk -v marker="<!-- $1:" 'index($0, marker) == 1 { found = 1; next }
    found && /^```sh$/ { inside = 1; next }
    inside && /^```$/ { exit }
    inside { print }' README.md
}

# Both architectures' Multi-Arch: same packages in one scratch database.
admin=$work/dpkg
mkdir -p "$admin/info" "$admin/updates" "$admin/triggers" "$work/root"
: >"$admin/status"
dpkg --admindir="$admin" --add-architecture powerpc
multiarch_debs=()
for deb in "${host_debs[@]}" "${ppc_debs[@]}"; do
  if [ "$(dpkg-deb -f "$deb" Multi-Arch)" = same ]; then multiarch_debs+=("$deb"); fi
done
dpkg --admindir="$admin" --instdir="$work/root" --force-depends -i "${multiarch_debs[@]}" \
  >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log"; exit 1; }
mapfile -t instances < <(dpkg-query --admindir="$admin" -W -f='${binary:Package}\n')
echo "installed side by side: ${instances[*]}"
dpkg --admindir="$admin" --instdir="$work/root" --force-depends -r "${instances[@]}" \
  >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log"; exit 1; }
left=$(dpkg-query --admindir="$admin" -W -f='${binary:Package} ${db:Status-Abbrev}\n')
if [ -n "$left" ] || [ -n "$(find "$work/root" -type f)" ]; then
  echo "dpkg -r left: $left $(find "$work/root" -type f)" >&2
  exit 1
fi

# This machine. Only packages that were not installed before are removed
# afterwards.
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
trap 'remove_installed; rm -rf "$work"' EXIT
dpkg -i "${host_debs[@]}"
echo "pkg-config under /usr: $(pkg-config --cflags --libs wexplatform)"
mkdir "$work/workstation"
readme_block workstation-route >"$work/workstation.sh"
(cd "$work/workstation" && bash -euxo pipefail "$work/workstation.sh")
tests/consumer/run.sh system
wexlog --version
man -w wexlog
remove_installed
if ((${#packages[@]})); then
  dpkg -P "${packages[@]}" >/dev/null 2>&1
  left=$(dpkg-query -W -f='${binary:Package} ${db:Status-Abbrev}\n' "${packages[@]}" 2>/dev/null |
    grep -v ' [up]n *$' || true)
  if [ -n "$left" ]; then
    echo "dpkg -r and dpkg -P left: $left" >&2
    exit 1
  fi
fi
trap 'rm -rf "$work"' EXIT

# The device.
mkdir "$work/device"
cp "${ppc_debs[@]}" "$work/device"
readme_block device-route >"$work/device.sh"
(cd "$work/device" && bash -euxo pipefail "$work/device.sh")
tests/consumer/run.sh system "$work/device/stage"
echo "packages build, install and serve consumers on amd64 and powerpc"

#!/usr/bin/env bash
# Builds the Debian package vornfabriclldp_<version>_<arch>.deb: an
# optimised build in `build` (VORN_BUILD_DIR picks another; a build of
# another type is switched to Release, one with the sanitizers refused), only
# the targets the package holds, then cpack. Prints the package's path last.
#
#   ./scripts/package.sh
#   sudo apt install ./build/package/vornfabriclldp_*.deb
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh

build=${VORN_BUILD_DIR:-build}
jobs=${VORN_JOBS:-$(nproc)}
if [ -f "$build/CMakeCache.txt" ] && grep -q '^VORN_SANITIZE:BOOL=ON' "$build/CMakeCache.txt"; then
  echo "package: $build is a sanitizer build; its executables do not belong in a package" >&2
  exit 1
fi
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" --target vorn_package_contents -j "$jobs"

out="$build/package"
rm -f "$out"/vornfabriclldp_*.deb
(cd "$build" && cpack -G DEB -B "$PWD/package" >cpack.log 2>&1) \
  || { echo "package: cpack failed; its output:" >&2; cat "$build/cpack.log" >&2; exit 1; }
deb=$(ls "$out"/vornfabriclldp_*.deb)
echo "$deb"

#!/usr/bin/env bash
# One command from a fresh checkout to a whole Vorn group negotiating:
# installs what the build needs, builds the simulator and runs the
# two-member example. Any other scenario and vorn-sim options may be given:
#   scripts/demo.sh examples/peer-reload.json --json /tmp/state.json
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh

build=${VORN_BUILD_DIR:-build}
if [ ! -f "$build/build.ninja" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$build" --target vorn-sim

if [ $# -eq 0 ]; then
  set -- examples/two-members.json
fi
exec "$build/tools/vorn-sim/vorn-sim" "$@"

#!/usr/bin/env bash
# Builds an optimised tree and prints the benchmark figures: the framework's
# hot paths, then the whole receive path and a group of the given size.
#   scripts/bench.sh                      framework plus a 2-member, 8-link hour
#   scripts/bench.sh --members 8 --links 64 --hours 1
#   scripts/bench.sh --versus-lldpd       the daemon against lldpd (root)
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh

build=${VORN_BENCH_DIR:-build-bench}
if [ ! -f "$build/build.ninja" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVORN_BUILD_BENCH=ON >/dev/null
fi
if [ "${1:-}" = "--versus-lldpd" ]; then
  cmake --build "$build" --target vornfabriclldpd lldp_blaster
  exec ./scripts/bench-versus-lldpd.sh "$build"
fi
cmake --build "$build" --target framework_bench vorn-sim

"$build/bench/framework_bench"
if [ $# -eq 0 ]; then
  set -- --members 2 --links 8 --hours 1
fi
exec "$build/tools/vorn-sim/vorn-sim" --bench "$@"

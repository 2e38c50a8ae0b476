#!/usr/bin/env bash
# Builds the LLDPDU decoder fuzzer with clang (libFuzzer, ASan, UBSan) in
# build-fuzz and runs it for SECONDS (default 60) on one core.
#
# The committed seeds are copied into a working corpus under build-fuzz,
# which the run grows; the committed corpus is never written. The regression
# corpus is replayed first (a finding already fixed must stay fixed). Crashes
# land in build-fuzz/crashes/.
#
#   scripts/fuzz.sh [SECONDS] [extra libFuzzer flags...]
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
shift || true
build=build-fuzz
cxx=${VORN_FUZZ_CXX:-/usr/bin/clang++}

./scripts/setup.sh
# clang and its libFuzzer runtime, from Debian's packages.
if ! command -v "$cxx" >/dev/null || ! dpkg-query -W -f='${Status}' libclang-rt-dev 2>/dev/null | grep -q "ok installed"; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "fuzz: needs clang and libclang-rt-dev (apt-get install clang libclang-rt-dev)" >&2
    exit 1
  fi
  echo "fuzz: installing clang libclang-rt-dev"
  DEBIAN_FRONTEND=noninteractive apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends clang libclang-rt-dev >/dev/null
fi

cmake -S . -B "$build" -G Ninja -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVORN_BUILD_FUZZ=ON -DVORN_BUILD_TESTS=OFF -DVORN_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" --target lldpdu_fuzz -j "${VORN_FUZZ_BUILD_JOBS:-1}"

work="$build/corpus"
crashes="$build/crashes"
mkdir -p "$work" "$crashes"
cp -n fuzz/corpus/seed/* "$work/"

fuzzer="$build/fuzz/lldpdu_fuzz"
export ASAN_OPTIONS=${ASAN_OPTIONS:-abort_on_error=1:detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

echo "== replaying the regression corpus"
mapfile -t regression < <(find fuzz/corpus/regression -type f ! -name '*.txt' | sort)
if ! "$fuzzer" "${regression[@]}" >"$build/regression.log" 2>&1; then
  tail -n 30 "$build/regression.log"
  echo "fuzz: a regression input fails again (log: $build/regression.log)" >&2
  exit 1
fi
echo "${#regression[@]} files, no fault"

echo "== fuzzing for ${seconds}s (working corpus $work, crashes in $crashes/)"
"$fuzzer" "$work" -max_len=1600 -max_total_time="$seconds" -print_final_stats=1 \
  -artifact_prefix="$crashes/" "$@"

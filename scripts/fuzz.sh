#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (ASan, UBSan, coverage) in
# build-fuzz and fuzzes one target, or every target in turn, on one core.
#
#   scripts/fuzz.sh [TARGET|all] [SECONDS] [libFuzzer flags...]
#   scripts/fuzz.sh --list
#   scripts/fuzz.sh --summary
#
# TARGET is a file fuzz/TARGET_fuzz.cpp (default: all); SECONDS is per
# target (default 60). Each target's committed seeds are copied into a
# working corpus build-fuzz/corpus/TARGET that the runs grow; the committed
# corpora are never written. Its regression corpus is replayed first (a
# finding already fixed must stay fixed). Crashes land in
# build-fuzz/crashes/TARGET/. fuzz/TARGET.options holds extra libFuzzer flags
# for a target (-max_len=...), fuzz/TARGET.dict a dictionary.
#
# VORN_FUZZ_NO_BUILD=1 fuzzes the binaries already in build-fuzz, so a
# fuzzer left running in the background does not rebuild half the tree each
# time a source file is saved.
#
# VORN_FUZZ_JOB=N names a second (third...) process fuzzing the same target
# on the same working corpus: its log and transcript get the suffix .N, so
# the processes do not read each other's figures.
#
# Every run appends one line to build-fuzz/runs.tsv (date, target, seconds,
# executions, exec/s, coverage, features, corpus size, faults); --summary
# prints the totals per target, the figures fuzz/README.md keeps.
set -euo pipefail
cd "$(dirname "$0")/.."

build=build-fuzz
cxx=${VORN_FUZZ_CXX:-/usr/bin/clang++}
runs="$build/runs.tsv"

targets() { find fuzz -maxdepth 1 -name '*_fuzz.cpp' -printf '%f\n' | sed 's/_fuzz\.cpp$//' | sort; }

if [ "${1:-}" = "--list" ]; then targets; exit 0; fi
if [ "${1:-}" = "--summary" ]; then
  [ -f "$runs" ] || { echo "fuzz: no runs recorded in $runs" >&2; exit 1; }
  awk -F'\t' '{ s[$2]+=$3; e[$2]+=$4; f[$2]+=$9; if ($6>c[$2]) c[$2]=$6; n[$2]++ }
    END { printf "%-16s %6s %10s %16s %8s %7s\n", "target", "runs", "seconds", "executions", "max cov", "faults";
          for (t in s) printf "%-16s %6d %10d %16d %8d %7d\n", t, n[t], s[t], e[t], c[t], f[t] }' "$runs" | sort
  exit 0
fi

what=${1:-all}
seconds=${2:-60}
shift 2 2>/dev/null || shift $# || true

if [ "$what" = all ]; then
  mapfile -t chosen < <(targets)
else
  [ -f "fuzz/${what}_fuzz.cpp" ] || { echo "fuzz: no target '$what' (scripts/fuzz.sh --list)" >&2; exit 2; }
  chosen=("$what")
fi

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

if [ "${VORN_FUZZ_NO_BUILD:-0}" = 1 ]; then
  for t in "${chosen[@]}"; do
    [ -x "$build/fuzz/${t}_fuzz" ] || { echo "fuzz: $build/fuzz/${t}_fuzz is not built" >&2; exit 1; }
  done
else
  cmake -S . -B "$build" -G Ninja -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DVORN_BUILD_FUZZ=ON -DVORN_BUILD_TESTS=OFF -DVORN_BUILD_BENCH=OFF >/dev/null
  cmake --build "$build" --target "${chosen[@]/%/_fuzz}" -j "${VORN_FUZZ_BUILD_JOBS:-1}"
fi

export ASAN_OPTIONS=${ASAN_OPTIONS:-abort_on_error=1:detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export RINGLOGDIR=${RINGLOGDIR:-$build/trace}
mkdir -p "$RINGLOGDIR"

status=0
for t in "${chosen[@]}"; do
  fuzzer="$build/fuzz/${t}_fuzz"
  work="$build/corpus/$t"
  crashes="$build/crashes/$t"
  mkdir -p "$work" "$crashes"
  [ -d "fuzz/corpus/$t/seed" ] && find "fuzz/corpus/$t/seed" -type f ! -name '*.txt' -exec cp -n {} "$work/" \;
  flags=()
  [ -f "fuzz/$t.options" ] && read -r -a flags <"fuzz/$t.options"
  [ -f "fuzz/$t.dict" ] && flags+=("-dict=fuzz/$t.dict")

  echo "== $t: replaying the regression corpus"
  mapfile -t regression < <(find "fuzz/corpus/$t/regression" -type f ! -name '*.txt' 2>/dev/null | sort)
  if [ ${#regression[@]} -gt 0 ]; then
    if ! "$fuzzer" "${flags[@]}" "${regression[@]}" >"$build/$t.regression.log" 2>&1; then
      tail -n 30 "$build/$t.regression.log"
      echo "fuzz: a regression input of $t fails again (log: $build/$t.regression.log)" >&2
      status=1
      continue
    fi
  fi
  echo "${#regression[@]} files, no fault"

  echo "== $t: fuzzing for ${seconds}s (working corpus $work, crashes in $crashes/)"
  job=${VORN_FUZZ_JOB:+.$VORN_FUZZ_JOB}
  log="$build/$t$job.log"
  # A second process's artifacts carry its job in their names: each counts
  # only its own. A slow unit is no fault (a run starved of CPU by a build
  # beside it writes them); it is reported apart.
  tag=${VORN_FUZZ_JOB:+job$VORN_FUZZ_JOB-}
  own() {
    local kinds=("$@") args=() k
    for k in "${kinds[@]}"; do args+=(-o -name "$tag$k-*"); done
    find "$crashes" -maxdepth 1 -type f \( "${args[@]:1}" \) | wc -l
  }
  before=$(own crash leak timeout oom)
  slowBefore=$(own slow-unit)
  rc=0
  # A target whose state lives through many inputs writes down how to
  # reproduce it from scratch (the agent target: its switch's transcript).
  export VORN_AGENT_FUZZ_TRANSCRIPT="$build/$t$job.transcript"
  "$fuzzer" "$work" "${flags[@]}" -max_total_time="$seconds" -print_final_stats=1 \
    -artifact_prefix="$crashes/$tag" "$@" 2>&1 | tee "$log" | grep -E '^#[0-9]+[[:space:]]+(DONE|INITED)|ERROR|invariant|assertion' || true
  rc=${PIPESTATUS[0]}
  after=$(own crash leak timeout oom)
  slow=$(($(own slow-unit) - slowBefore))
  execs=$(grep -oE 'stat::number_of_executed_units: *[0-9]+' "$log" | grep -oE '[0-9]+$' | tail -n 1 || echo 0)
  rate=$(grep -oE 'stat::average_exec_per_sec: *[0-9]+' "$log" | grep -oE '[0-9]+$' | tail -n 1 || echo 0)
  last=$(grep -E '^#[0-9]+' "$log" | tail -n 1)
  cov=$(grep -oE 'cov: [0-9]+' <<<"$last" | grep -oE '[0-9]+' || echo 0)
  ft=$(grep -oE 'ft: [0-9]+' <<<"$last" | grep -oE '[0-9]+' || echo 0)
  corpus=$(find "$work" -type f | wc -l)
  faults=$((after - before))
  if [ "$faults" -gt 0 ] && [ -s "$VORN_AGENT_FUZZ_TRANSCRIPT" ]; then
    cp "$VORN_AGENT_FUZZ_TRANSCRIPT" "$crashes/${tag}transcript-$(date -u +%Y%m%dT%H%M%S)"
    echo "$t: the crash's whole program: $crashes/${tag}transcript-* (run it with VORN_AGENT_FUZZ_FRESH=1)"
  fi
  printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$(date -u +%Y-%m-%dT%H:%M)" "$t" "$seconds" "${execs:-0}" \
    "${rate:-0}" "${cov:-0}" "${ft:-0}" "$corpus" "$faults" >>"$runs"
  echo "$t: ${execs:-0} executions, ${rate:-0}/s, cov ${cov:-0}, ft ${ft:-0}, corpus $corpus, faults $faults (exit $rc)"
  [ "$slow" -eq 0 ] || echo "$t: $slow slow units in $crashes/ (no fault; replay them alone to tell a slow input from a starved run)"
  [ "$rc" -eq 0 ] && [ "$faults" -eq 0 ] || status=1
done
exit $status

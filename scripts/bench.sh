#!/usr/bin/env bash
# Builds an optimised tree, runs every benchmark and prints one line per
# figure with its target and whether it is met, then the whole set as one
# JSON object on its last line. The benchmarks' own output goes to stderr.
#   scripts/bench.sh                  everything; the daemon against lldpd
#                                     only as root with lldpd installed
#   scripts/bench.sh --no-versus      without the daemon against lldpd
#   scripts/bench.sh --versus-lldpd   only the daemon against lldpd (root)
# Other options go to `vorn-sim --bench` (--members N --links N --hours H
# --small-members N --small-links N --frames N).
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh >&2

build=${VORN_BENCH_DIR:-build-bench}
if [ ! -f "$build/build.ninja" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVORN_BUILD_BENCH=ON >&2
fi

versus=auto
sim_args=()
for a in "$@"; do
  case "$a" in
    --versus-lldpd) versus=only ;;
    --no-versus) versus=no ;;
    *) sim_args+=("$a") ;;
  esac
done
if [ "$versus" = auto ]; then
  if [ "$(id -u)" = 0 ] && command -v lldpd >/dev/null; then versus=yes; else versus=no; fi
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/vorn-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
echo '{}' >"$work/sim.json"
echo '{}' >"$work/trace.json"
echo '{}' >"$work/versus.json"

if [ "$versus" != only ]; then
  targets=(framework_bench vorn-sim)
  # The trace statement's benchmark, where the tree has one.
  have_trace=no
  [ -f bench/trace_bench.cpp ] && { targets+=(trace_bench); have_trace=yes; }
  nice cmake --build "$build" --target "${targets[@]}" >&2

  "$build/bench/framework_bench" >&2
  "$build/tools/vorn-sim/vorn-sim" --bench "${sim_args[@]}" --json | tee "$work/sim.txt" >&2
  tail -n 1 "$work/sim.txt" >"$work/sim.json"

  if [ "$have_trace" = yes ]; then
    # One trace statement at an enabled level. trace_bench prints its own
    # summary, the last line a JSON object of its figures.
    "$build/bench/trace_bench" | tee "$work/trace.txt" >&2
    python3 - "$work/trace.txt" >"$work/trace.json" <<'PY'
import json, sys
lines = [l for l in open(sys.argv[1]) if l.startswith("{")]
raw = json.loads(lines[-1]) if lines else {}
out = {}
if "trace_statement_ns" in raw:
    ns = raw["trace_statement_ns"]
    out["trace_statement_ns"] = {"value": ns, "unit": "ns CPU", "target": 15, "met": ns <= 15,
                                 "formatted_when_made_ns": raw.get("trace_statement_eager_ns"),
                                 "disabled_level_ns": raw.get("trace_disabled_ns")}
print(json.dumps(out))
PY
  fi
fi

if [ "$versus" = yes ] || [ "$versus" = only ]; then
  nice cmake --build "$build" --target vornfabriclldpd lldp_blaster >&2
  ./scripts/bench-versus-lldpd.sh "$build" | tee "$work/versus.txt" >&2
  tail -n 1 "$work/versus.txt" >"$work/versus.json"
fi

python3 - "$work/sim.json" "$work/trace.json" "$work/versus.json" "$versus" <<'PY'
import json, sys
figures = {}
for path in sys.argv[1:4]:
    figures.update(json.load(open(path)))
sim = figures.get("group_large", {}), figures.get("group_small", {})
large = f"{sim[0].get('members', '?')} x {sim[0].get('links', '?')}"
small = f"{sim[1].get('members', '?')} x {sim[1].get('links', '?')}"
labels = {
    "frame_same_tlv_cpu_us": "received frame, same TLV, whole pipeline in process",
    "frame_changed_tlv_cpu_us": "received frame, TLV changes every time",
    "group_per_frame_ratio": f"per-frame CPU at {large} / per-frame CPU at {small}, same run",
    "group_hour_projected_cpu_s": f"{large} links, one virtual hour (projected from {figures.get('virtual_hours', '?')} h)",
    "trace_statement_ns": "one trace statement, enabled level",
}
expected = list(labels)
if sys.argv[4] == "only":
    expected = []
for key in expected:
    if key not in figures:
        figures[key] = {"value": None, "met": False, "note": "not measured (no benchmark in this tree)"}
# The figures in the order of the table above, then the daemon's.
for key in expected + sorted(k for k in figures if k not in expected):
    f = figures[key]
    if not isinstance(f, dict) or "met" not in f:
        continue
    label = labels.get(key, f.get("label", key))
    if f.get("value") is None:
        print(f"{label}: {f.get('note', 'not measured')}")
        continue
    unit = f" {f['unit']}" if f.get("unit") else ""
    print(f"{label}: {f['value']:.3f}{unit} (target <= {f['target']}{unit}: {'met' if f['met'] else 'NOT met'})")
print(json.dumps(figures, sort_keys=True))
PY

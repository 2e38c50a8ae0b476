#!/usr/bin/env bash
# The daemon against lldpd: CPU time per received LLDP frame, each on one
# end of the same veth, fed the same captured frames by the same blaster, in
# the same run. Needs root (network namespaces); run through
#   scripts/bench.sh --versus-lldpd
#
# For each rate (20,000 frames/s, then as fast as the blaster can send) and
# each frame (a plain LLDP frame from another vendor's switch, and one of our
# own frames carrying the Vorn TLV of the configured peer), each subject is
# measured twice over VORN_VERSUS_SECONDS (default 10): idle, then while the
# frames arrive. Its CPU time (user + system, from /proc, summed over the
# subject's processes) while blasted, less its idle CPU time over as long,
# divided by the frames its device received, is its CPU per received frame.
# Prints one line per figure and the ratio daemon / lldpd, then all of them
# as one JSON object on the last line. VORN_VERSUS_BASELINE=DAEMON measures
# another build of the daemon (an earlier one, say) in the same run too.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:?usage: bench-versus-lldpd.sh BUILD_DIR}
seconds=${VORN_VERSUS_SECONDS:-10}
daemon=$(realpath "$build/tools/vornfabriclldpd/vornfabriclldpd")
blaster=$(realpath "$build/bench/lldp_blaster")
frames=(plain:fuzz/corpus/lldpdu/seed/std-full.bin vorn:fuzz/corpus/lldpdu/seed/vorn-member-tlv.bin)
rates=(20000 max)
subjects=(daemon lldpd)
baseline=${VORN_VERSUS_BASELINE:-}
[ -n "$baseline" ] && { baseline=$(realpath "$baseline"); subjects+=(baseline); }

[ "$(id -u)" = 0 ] || { echo "versus-lldpd: needs root for network namespaces" >&2; exit 1; }
command -v lldpd >/dev/null || { echo "versus-lldpd: lldpd is not installed" >&2; exit 1; }

tag="vornvs$$"
dut="${tag}d" src="${tag}s"
work=$(mktemp -d "${TMPDIR:-/tmp}/vorn-versus.XXXXXX")
chmod 755 "$work"
subject_pid=""
# The subject and the processes it started (lldpd runs a privileged child).
kill_subject() {
  local sig=$1 kids
  kids=$(pgrep -P "$subject_pid" 2>/dev/null || true)
  kill "-$sig" "$subject_pid" 2>/dev/null || true
  wait "$subject_pid" 2>/dev/null || true
  [ -n "$kids" ] && kill -9 $kids 2>/dev/null || true
  subject_pid=""
}
cleanup() {
  [ -n "$subject_pid" ] && kill_subject 9
  wait 2>/dev/null || true
  ip netns del "$dut" 2>/dev/null || true
  ip netns del "$src" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
ip netns add "$dut"
ip netns add "$src"
ip link add et1 netns "$dut" type veth peer name blast0 netns "$src"
ip -n "$dut" link set et1 up
ip -n "$src" link set blast0 up
ip -n "$dut" link set lo up

cat >"$work/daemon.json" <<JSON
{
  "memberId": 2,
  "channels": [ { "intf": "Port-Channel1", "peerMemberId": 1, "members": [ { "intf": "Ethernet1" } ] } ],
  "backupDir": "$work/backup", "flashDir": "$work/flash", "traceDir": "$work/trace", "toggleDir": "$work/toggles"
}
JSON

# Clock ticks of user and system time of a process and its children.
cpu_ticks() {
  local total=0 p
  for p in "$1" $(pgrep -P "$1" 2>/dev/null); do
    [ -r "/proc/$p/stat" ] || continue
    total=$((total + $(awk '{ print $14 + $15 }' "/proc/$p/stat")))
  done
  echo "$total"
}
rx_packets() { ip -n "$dut" -s -j link show et1 | python3 -c 'import json,sys; print(json.load(sys.stdin)[0]["stats64"]["rx"]["packets"])'; }

start_subject() {
  case "$1" in
    daemon) ip netns exec "$dut" "$daemon" --config "$work/daemon.json" >"$work/daemon.log" 2>&1 & ;;
    baseline) ip netns exec "$dut" "$baseline" --config "$work/daemon.json" >"$work/baseline.log" 2>&1 & ;;
    lldpd) ip netns exec "$dut" lldpd -d -I et1 -u "$work/lldpd.socket" >"$work/lldpd.log" 2>&1 & ;;
  esac
  subject_pid=$!
  sleep 2
  kill -0 "$subject_pid" 2>/dev/null || { cat "$work/$1.log"; echo "versus-lldpd: $1 did not start" >&2; exit 1; }
}
stop_subject() { kill_subject TERM; }

hz=$(getconf CLK_TCK)
declare -A per_frame
for rate in "${rates[@]}"; do
  for entry in "${frames[@]}"; do
    name=${entry%%:*} file=${entry#*:}
    for subject in "${subjects[@]}"; do
      start_subject "$subject"
      c0=$(cpu_ticks "$subject_pid"); sleep "$seconds"; c1=$(cpu_ticks "$subject_pid")
      idle=$((c1 - c0))
      r0=$(rx_packets); c0=$(cpu_ticks "$subject_pid")
      if [ "$rate" = max ]; then
        ip netns exec "$src" "$blaster" blast0 "$file" "$seconds" >"$work/blast.txt"
      else
        ip netns exec "$src" "$blaster" blast0 "$file" "$seconds" "$rate" >"$work/blast.txt"
      fi
      c1=$(cpu_ticks "$subject_pid"); r1=$(rx_packets)
      stop_subject
      busy=$((c1 - c0)) received=$((r1 - r0))
      us=$(python3 -c "print(f'{max(0, ($busy - $idle) / $hz) / max(1, $received) * 1e6:.3f}')")
      per_frame[$rate/$name/$subject]=$us
      echo "versus-lldpd rate=$rate frame=$name $subject: $us us CPU per received frame ($received frames received, CPU $busy ticks blasted, $idle idle; $(cat "$work/blast.txt"))"
    done
    ratio=$(python3 -c "d=${per_frame[$rate/$name/daemon]}; l=${per_frame[$rate/$name/lldpd]}; print(f'{d / l:.2f}' if l > 0 else 'n/a')")
    echo "versus-lldpd rate=$rate frame=$name daemon/lldpd: $ratio (target <= 0.5)"
    if [ -n "$baseline" ]; then
      echo "versus-lldpd rate=$rate frame=$name baseline/lldpd: $(python3 -c "b=${per_frame[$rate/$name/baseline]}; l=${per_frame[$rate/$name/lldpd]}; print(f'{b / l:.2f}' if l > 0 else 'n/a')")"
    fi
    echo "$rate $name ${per_frame[$rate/$name/daemon]} ${per_frame[$rate/$name/lldpd]} ${per_frame[$rate/$name/baseline]:-}" >>"$work/figures.txt"
  done
done

# The whole set as one JSON object on the last line.
python3 - "$work/figures.txt" <<'PY'
import json, sys
out = {}
for line in open(sys.argv[1]):
    rate, name, daemon, lldpd, *baseline = line.split()
    daemon, lldpd = float(daemon), float(lldpd)
    ratio = daemon / lldpd if lldpd > 0 else None
    f = {"label": f"daemon CPU per received frame / lldpd's, {rate} frames/s, {name} frame",
         "value": ratio, "unit": "", "target": 0.5, "met": ratio is not None and ratio <= 0.5,
         "daemon_us": daemon, "lldpd_us": lldpd}
    if baseline:
        f["baseline_us"] = float(baseline[0])
    out[f"versus_lldpd_{rate}_{name}"] = f
print(json.dumps(out, sort_keys=True))
PY

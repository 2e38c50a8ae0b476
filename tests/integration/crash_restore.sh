#!/usr/bin/env bash
# A crash never loses a confirmation the system log has reported.
#
#   crash_restore.sh VORNFABRICLLDPD
#
# Two daemons negotiate two links from scratch, three times over; each time
# sw1 is killed with SIGKILL the moment its first VORN_BACKPLANE_INTF_READY
# line appears, started again, killed again at a random moment and started
# again. After every kill, each link whose last report was READY (no ERROR
# or MISMATCH for it since) must be higigConfirmed in the backup on disk, and
# the restarted sw1 must show it higigConfirmed through its listener without
# negotiating it again.
# Exits 77 (skipped) where namespaces cannot be made.
set -euo pipefail

source "$(dirname "$0")/netns_lib.sh"
daemon=$(realpath "$1")
netns_require_root
netns_init crash

netns_two_members 2
gen=0 round=0

# Both daemons from scratch: no backup, no neighbours. Each generation
# negotiates in a fresh process, so that sw1's neighbours get the same
# remote system indices again when it restarts.
fresh_start() {
  gen=$((gen + 1))
  kill -9 "${pid_sw1:-}" "${pid_sw2:-}" 2>/dev/null || true
  wait 2>/dev/null || true
  for sw in sw1 sw2; do
    [ -f "$work/$sw.log" ] && mv "$work/$sw.log" "$work/$sw-g$((gen - 1))-end.log"
    rm -rf "$work/$sw/backup"
  done
  start_daemon sw2 "$ns_b"
  start_daemon sw1 "$ns_a"
}

# The links whose last report in the system log lines of every sw1 of this
# generation is READY, as "Ethernet1=higigConfirmed ...".
reported_confirmed() {
  { cat "$work"/sw1-g$gen-*.log "$work/sw1.log" 2>/dev/null || true; } | python3 -c '
import re, sys
last = {}
for m in re.finditer(r"^VORN_BACKPLANE_INTF_(READY|ERROR|MISMATCH): .*?(Ethernet\d+)", sys.stdin.read(), re.M):
    last[m.group(2)] = m.group(1)
print(" ".join("%s=higigConfirmed" % i for i in sorted(last) if last[i] == "READY"))'
}

# Every "Ethernet<N>=higigConfirmed" of $1 is in $2.
all_in() { for want in $1; do [[ " $2 " == *" $want "* ]] || return 1; done; }

# sw2 is stopped (SIGSTOP) from the kill until sw1 has been read back: a
# peer that times sw1 out meanwhile would make sw1 fall back through no
# fault of the backup, so nothing but the backup decides what sw1 comes
# back with.
kill_and_restart() {  # how
  round=$((round + 1))
  kill -9 "$pid_sw1"
  kill -STOP "$pid_sw2"
  wait "$pid_sw1" 2>/dev/null || true
  mv "$work/sw1.log" "$work/sw1-g$gen-r$round.log"
  local want on_disk s
  want=$(reported_confirmed)
  on_disk=$(state_pairs 2>/dev/null <"$work/sw1/backup/vorn.bcStatus.1.json" || true)
  all_in "$want" "$on_disk" || fail "round $round: the backup lost a reported confirmation: ${want} vs ${on_disk}"
  start_daemon sw1 "$ns_a"
  wait_until 15 "the restarted sw1 to answer" eval 's=$(states "$ns_a" 1 2>/dev/null) && [ -n "$s" ]'
  all_in "$want" "$s" || fail "round $round: restarted sw1 lost a reported confirmation: ${want} vs ${s}"
  # Restored, not negotiated again: no new READY for those links.
  for w in $want; do
    [ "$(count "VORN_BACKPLANE_INTF_READY: Switching ${w%%=*} " "$work/sw1.log")" -eq 0 ] ||
      fail "round $round: ${w%%=*} was negotiated again"
  done
  kill -CONT "$pid_sw2"
}

for g in 1 2 3; do
  fresh_start
  poll=0.01 wait_for "VORN_BACKPLANE_INTF_READY" "$work/sw1.log" 1 40
  kill_and_restart "right after READY"
  sleep "$(python3 -c 'import random; print("%.2f" % random.uniform(0.05, 2.5))')"
  kill_and_restart "at a random moment"
done

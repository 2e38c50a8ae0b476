#!/usr/bin/env bash
# A flood on the wire does not become a flood in the system log.
#
#   log_flood.sh VORNFABRICLLDPD
#
# Two daemons negotiate two links. Then, from sw2's end of the first link, a
# raw packet sender floods sw1 for FLOOD_SECONDS with LLDP frames whose
# chassis IDs rotate through addresses that look like members'
# (02:76:6f:72:xx:xx) and whose Vorn TLV names a member nobody expects.
# Checks: sw1 writes at most the allowed number of
# VORN_BACKPLANE_INTF_MISMATCH lines for Ethernet1 per window, reports how
# many it held back, answers its listener during the flood, and has both
# links in backplane mode again afterwards.
# Exits 77 (skipped) where namespaces cannot be made.
set -euo pipefail

source "$(dirname "$0")/netns_lib.sh"
daemon=$(realpath "$1")
netns_require_root
netns_init flood

# The system log's limit: at most this many lines of one message about one
# interface in each window.
burst=5 window=10 flood_seconds=${FLOOD_SECONDS:-10}

netns_two_members 2
start_daemon sw1 "$ns_a"
start_daemon sw2 "$ns_b"
wait_confirmed "$ns_a" 1 2 60
wait_confirmed "$ns_b" 2 2 60

write_lldp_py
cat >"$work/flood.py" <<'PY'
import struct, sys, time
from lldp import tlv, frame, raw_socket

def flood(n):
    return frame(bytes.fromhex("02666c6f6f64"),
                 [tlv(1, b"\x04" + bytes([0x02, 0x76, 0x6F, 0x72, n >> 8, n & 0xFF])),  # a member-like MAC
                  tlv(2, b"\x05Ethernet1"), tlv(3, struct.pack("!H", 1)),  # TTL 1 s: the table keeps room
                  # Vorn TLV: member 7 (nobody's peer), role member, expects and has heard member 1, flags 0.
                  tlv(127, bytes([0x02, 0x76, 0x6F, 0x01, 7, 1, 1, 1, 0]))])

s, seconds = raw_socket(sys.argv[1]), float(sys.argv[2])
frames, sent, deadline = [flood(n) for n in range(4096)], 0, time.monotonic() + seconds
while time.monotonic() < deadline:
    for f in frames[sent % 4096:sent % 4096 + 256]:
        try: s.send(f)
        except OSError: pass  # a full queue: keep going
        sent += 1
print("sent %d frames, %.0f per second" % (sent, sent / seconds))
PY
ip netns exec "$ns_b" python3 "$work/flood.py" et1 "$flood_seconds" >"$work/flood.out" 2>&1 &
flood_pid=$!
netns_pids+=("$flood_pid")

# The listener answers while the frames pour in.
sleep 3
start=$SECONDS
states "$ns_a" 1 >/dev/null || fail "sw1's listener did not answer during the flood"
[ $((SECONDS - start)) -le 5 ] || fail "sw1's listener took $((SECONDS - start)) s to answer during the flood"
wait "$flood_pid" || fail "the flood sender failed: $(cat "$work/flood.out")"
kill -0 "$pid_sw1" 2>/dev/null || fail "sw1 died under the flood"

# The flood and the wait after it span at most this many windows, each with
# at most `burst` lines. The window open when the flood ends closes at most
# `window` seconds later with its report; every window that held some back
# reports once.
windows=$(((flood_seconds + window - 1) / window + 1))
mismatch_line="VORN_BACKPLANE_INTF_MISMATCH: Port-Channel1 member interface Ethernet1 "
report_line="SYSLOG_MESSAGES_SUPPRESSED: VORN_BACKPLANE_INTF_MISMATCH for Ethernet1:"
wait_for "$report_line" "$work/sw1.log" 1 $((window + 5))
sleep 1
mismatches=$(count "$mismatch_line" "$work/sw1.log")
reports=$(count "$report_line" "$work/sw1.log")
held_back=$(grep -o "$report_line [0-9]*" "$work/sw1.log" | awk '{ n += $NF } END { print n + 0 }')
[ "$mismatches" -le $((burst * windows)) ] || fail "$mismatches MISMATCH lines for Ethernet1, more than $burst in each of $windows windows"
[ "$reports" -le "$windows" ] || fail "$reports suppression reports for Ethernet1 in $windows windows"
[ "$held_back" -gt 0 ] || fail "the report counts no held-back message"
# Each line still reads exactly as the message's format writes it.
grep "^VORN_BACKPLANE_INTF_MISMATCH" "$work/sw1.log" |
  grep -qv "^VORN_BACKPLANE_INTF_MISMATCH: Port-Channel1 member interface Ethernet[12] encountered an unexpected member ID (.*)$" &&
  fail "a MISMATCH line lost its text"

# Still working, not just alive: both links back in backplane mode.
wait_confirmed "$ns_a" 1 2 60

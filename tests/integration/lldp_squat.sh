#!/usr/bin/env bash
# Foreign LLDP senders on a backplane link cannot keep the real peer out.
#
#   lldp_squat.sh VORNFABRICLLDPD RLTRACE
#
# sw1 (member 1) and sw2 (member 2) share a channel of two veth links. Before
# sw2 starts, a raw socket in sw2's namespace sends, on sw2's end of
# Ethernet1, frames from ten other senders with TTL 65535 and an exact hold
# time of 49.7 days, enough to fill sw1's remote table for that port; it
# keeps sending them, and a VLAN-tagged LLDP frame, while the test runs.
# Checks: both links reach backplane mode on sw1 all the same and stay there
# while the flood goes on; sw1's Vorn LLDP status lists sw2 on Ethernet1 and
# never the tagged sender; sw1's trace (the engine's statistics are not
# published, the trace says what was refused) shows senders refused for want
# of room, one pushed out for the peer and the tagged frame discarded.
# Bounded: under a minute. Exits 77 (skipped) where namespaces cannot be made.
set -euo pipefail

source "$(dirname "$0")/netns_lib.sh"
daemon=$(realpath "$1")
rltrace=$(realpath "$2")
netns_require_root
netns_init squat
netns_two_members 2

# Frames of ten foreign senders and one tagged sender, sent on et1 of
# namespace b every 0.2 s until killed.
write_lldp_py
cat >"$work/flood.py" <<'PY'
import struct, sys, time
from lldp import tlv, frame, raw_socket

def squatter(i, tag=b""):
    return frame(bytes([0x02, 0xEE, 0, 0, 0, i]),
                 [tlv(1, b"\x07squatter%d" % i), tlv(2, b"\x05port%d" % i), tlv(3, struct.pack("!H", 65535)),
                  tlv(127, bytes.fromhex("02766f02") + struct.pack("!I", 0xFFFFFFFF))], tag)

s = raw_socket(sys.argv[1])
frames = [squatter(i) for i in range(1, 11)] + [squatter(99, bytes.fromhex("81000064"))]  # 802.1Q, VLAN 100
deadline = time.time() + float(sys.argv[2])
while time.time() < deadline:
    for f in frames: s.send(f)
    time.sleep(0.2)
PY

# sw1 alone, ten foreign senders on Ethernet1
start_daemon sw1 "$ns_a"
ip netns exec "$ns_b" python3 "$work/flood.py" et1 45 >"$work/flood.log" 2>&1 &
netns_pids+=($!)
sleep 2

# sw2 starts: both links must reach backplane mode, and stay there while the flood goes on
start_daemon sw2 "$ns_b"
wait_confirmed "$ns_a" 1 2 30
for _ in $(seq 1 15); do
  confirmed "$ns_a" 1 2 || fail "sw1 left backplane mode: $(states "$ns_a" 1)"
  sleep 0.2
done

get "$ns_a" "vorn/lldp/status/1" | python3 -c '
import re, sys
ids = re.findall(r"\"chassisId\": *\"([0-9a-f]*)\"", sys.stdin.read())
squatters = [i for i in ids if i.startswith(b"squatter".hex())]
if "02766f720002" not in ids:
    sys.exit("sw2 is not in the status: %s" % ids)
if b"squatter99".hex() in ids:
    sys.exit("the tagged sender was taken")
if len(squatters) > 7:
    sys.exit("%d foreign senders kept beside the peer on 8 places" % len(squatters))
' || fail "sw1's Vorn LLDP status is wrong"

"$rltrace" "$(ls "$work/sw1/trace"/* | head -1)" >"$work/sw1-trace.txt" || fail "rltrace cannot read sw1's trace"
for want in "remote systems; frame of chassis .* discarded" "pushed out for the peer" "frame discarded: taggedFrame"; do
  grep -q "$want" "$work/sw1-trace.txt" || fail "not in sw1's trace: $want"
done

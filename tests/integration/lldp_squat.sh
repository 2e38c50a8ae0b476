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
cat >"$work/flood.py" <<'PY'
import socket, struct, sys, time

def tlv(t, v):
    return struct.pack("!H", t << 9 | len(v)) + v

def frame(i, tagged=False):
    src = bytes([0x02, 0xEE, 0, 0, 0, i])
    body = (tlv(1, b"\x07" + b"squatter%d" % i) + tlv(2, b"\x05port%d" % i) + tlv(3, struct.pack("!H", 65535))
            + tlv(127, bytes.fromhex("02766f02") + struct.pack("!I", 0xFFFFFFFF)) + tlv(0, b""))
    head = bytes.fromhex("0180c200000e") + src
    if tagged:
        head += bytes.fromhex("81000064")  # 802.1Q, VLAN 100
    f = head + b"\x88\xcc" + body
    return f + bytes(max(0, 60 - len(f)))

s = socket.socket(socket.AF_PACKET, socket.SOCK_RAW)
s.bind((sys.argv[1], 0))
frames = [frame(i) for i in range(1, 11)] + [frame(99, tagged=True)]
deadline = time.time() + float(sys.argv[2])
while time.time() < deadline:
    for f in frames:
        s.send(f)
    time.sleep(0.2)
PY

echo "== sw1 alone, ten foreign senders on Ethernet1"
start_daemon sw1 "$ns_a"
ip netns exec "$ns_b" python3 "$work/flood.py" et1 45 >"$work/flood.log" 2>&1 &
netns_pids+=($!)
sleep 2

echo "== sw2 starts: both links must reach backplane mode"
start_daemon sw2 "$ns_b"
wait_confirmed "$ns_a" 1 2 30
echo "ok: sw1 confirmed both links with its remote table for Ethernet1 full of foreign senders"

echo "== the flood goes on: the links stay in backplane mode"
for _ in $(seq 1 15); do
  s=$(states "$ns_a" 1)
  [ "$s" = "Ethernet1=higigConfirmed Ethernet2=higigConfirmed" ] || fail "sw1 left backplane mode: $s"
  sleep 0.2
done
echo "ok: still confirmed after 3 s of flooding"

status=$(get "$ns_a" "vorn/lldp/status/1")
echo "$status" | python3 -c '
import json, sys
doc = json.load(sys.stdin)
def chassis_ids(node, out):
    if isinstance(node, dict):
        for k, v in node.items():
            if k == "chassisId" and isinstance(v, str):
                out.append(v)
            else:
                chassis_ids(v, out)
    return out
ids = chassis_ids(doc, [])
peer = "02766f720002"
squatter = "squatter".encode().hex()
tagged = ("squatter99").encode().hex()
if peer not in ids:
    sys.exit("sw2 (%s) is not in the status: %s" % (peer, ids))
if tagged in ids:
    sys.exit("the tagged sender was taken")
n = sum(1 for i in ids if i.startswith(squatter))
if n > 7:
    sys.exit("%d foreign senders kept beside the peer on 8 places" % n)
print("status: peer listed, %d foreign senders, tagged sender absent" % n)
' || fail "sw1's Vorn LLDP status is wrong"

trace_file=$(ls "$work/sw1/trace"/* | head -1)
"$rltrace" "$trace_file" >"$work/sw1-trace.txt" || fail "rltrace cannot read $trace_file"
grep -q "remote systems; frame of chassis .* discarded" "$work/sw1-trace.txt" ||
  fail "no sender refused for want of room in sw1's trace"
grep -q "pushed out for the peer" "$work/sw1-trace.txt" || fail "no sender pushed out for the peer in sw1's trace"
grep -q "frame discarded: taggedFrame" "$work/sw1-trace.txt" || fail "the tagged frame was not discarded"
grep -m1 "pushed out for the peer" "$work/sw1-trace.txt" | sed 's/^/  trace: /'
grep -m1 "frame discarded: taggedFrame" "$work/sw1-trace.txt" | sed 's/^/  trace: /'
echo "ok: refusals, the push-out and the tagged frame are in sw1's trace"
echo "PASS"

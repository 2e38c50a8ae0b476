#!/usr/bin/env bash
# Two switches in two network namespaces, joined by veth pairs, one daemon in
# each; a third namespace runs lldpd as the far end of one more link.
#
#   daemon_netns.sh VORNFABRICLLDPD
#
# Checks: every backplane link reaches backplane mode on both sides with
# VORN_BACKPLANE_INTF_READY; lldpd is listed in the Vorn LLDP status but its
# link never leaves Ethernet mode, and it lists our chassis ID, port ID and
# organisationally specific TLV; tshark decodes our frames as LLDP without a
# malformed-packet warning; a daemon killed with SIGKILL and started again
# keeps its confirmed links; a link taken down gives "heartbeat timed out" on
# both sides. Exits 77 (skipped) where namespaces cannot be made.
set -euo pipefail

daemon=$(realpath "$1")
skip() { echo "SKIP: $*"; exit 77; }
fail() { echo "FAIL: $*"; dump_logs 2>/dev/null || true; exit 1; }

# A configuration that cannot be used stops the daemon before it touches
# anything, with exit code 2 and the file, field and reason.
bad=$(mktemp "${TMPDIR:-/tmp}/vorn-bad.XXXXXX.json")
echo '{"memberId": 0, "channels": []}' >"$bad"
rc=0
"$daemon" --config "$bad" 2>"$bad.err" || rc=$?
grep -q "memberId: 0 is outside 1..255" "$bad.err" || { cat "$bad.err"; rm -f "$bad" "$bad.err"; fail "no clear message for a bad configuration"; }
rm -f "$bad" "$bad.err"
[ "$rc" -eq 2 ] || fail "a bad configuration exits with $rc, not 2"
echo "ok: a bad configuration exits 2 naming the field"

[ "$(id -u)" = 0 ] || skip "creating network namespaces needs root"
command -v ip >/dev/null || skip "ip (iproute2) is not installed"
command -v python3 >/dev/null || skip "python3 is not installed"

tag="vornit$$"
ns1="${tag}a" ns2="${tag}b" ns3="${tag}c"
work=$(mktemp -d "${TMPDIR:-/tmp}/vorn-netns.XXXXXX")
chmod 755 "$work"  # lldpd drops its privileges and must reach its socket here
pids=()

cleanup() {
  for p in "${pids[@]}"; do kill -9 "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  for ns in "$ns1" "$ns2" "$ns3"; do ip netns del "$ns" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

dump_logs() {
  for f in "$work"/*.log; do
    [ -f "$f" ] || continue
    echo "---- $(basename "$f")"
    tail -n 40 "$f"
  done
}

ip netns add "$ns1" 2>/dev/null || skip "this machine cannot create network namespaces"
ip netns add "$ns2"
ip netns add "$ns3"

# sw1's devices follow the naming rule (et1 is Ethernet1); sw2's are named
# by its configuration.
ip link add et1 netns "$ns1" type veth peer name v2a netns "$ns2"
ip link add et2 netns "$ns1" type veth peer name v2b netns "$ns2"
ip link add et3 netns "$ns1" type veth peer name lldp0 netns "$ns3"
for ns in "$ns1" "$ns2" "$ns3"; do
  for dev in $(ip -n "$ns" -o link show | awk -F': ' '{print $2}' | cut -d@ -f1); do
    ip -n "$ns" link set dev "$dev" up
  done
done

mkdir -p "$work/sw1" "$work/sw2"
cat >"$work/sw1/daemon.json" <<JSON
{
  "memberId": 1,
  "channels": [
    { "intf": "Port-Channel1", "peerMemberId": 2,
      "members": [ { "intf": "Ethernet1", "lagGroup": "A" }, { "intf": "Ethernet2", "lagGroup": "A" } ] },
    { "intf": "Port-Channel2", "peerMemberId": 3, "members": [ { "intf": "Ethernet3" } ] }
  ],
  "backupDir": "$work/sw1/backup", "flashDir": "$work/sw1/flash",
  "traceDir": "$work/sw1/trace", "toggleDir": "$work/sw1/toggles"
}
JSON
cat >"$work/sw2/daemon.json" <<JSON
{
  "memberId": 2,
  "channels": [
    { "intf": "Port-Channel1", "peerMemberId": 1,
      "members": [ { "intf": "Ethernet1", "lagGroup": "A" }, { "intf": "Ethernet2", "lagGroup": "A" } ] }
  ],
  "interfaceNames": { "v2a": "Ethernet1", "v2b": "Ethernet2" },
  "backupDir": "$work/sw2/backup", "flashDir": "$work/sw2/flash",
  "traceDir": "$work/sw2/trace", "toggleDir": "$work/sw2/toggles"
}
JSON

start_daemon() {  # name namespace
  ip netns exec "$2" "$daemon" --config "$work/$1/daemon.json" --stderr >>"$work/$1.log" 2>&1 &
  pids+=($!)
  eval "pid_$1=$!"
}

count() { grep -c -- "$1" "$2" 2>/dev/null || true; }

wait_for() {  # pattern file count seconds
  local deadline=$((SECONDS + $4))
  while [ "$(count "$1" "$2")" -lt "$3" ]; do
    [ $SECONDS -lt $deadline ] || fail "waited $4 s for $3 x \"$1\" in $(basename "$2")"
    sleep 0.2
  done
}

# The JSON of a state path, asked of a daemon's peer state-sync listener.
get() {  # namespace path
  ip netns exec "$1" python3 - "$2" <<'PY'
import socket, sys
s = socket.create_connection(("127.0.0.1", 5546), timeout=5)
s.sendall(("GET %s\n" % sys.argv[1]).encode())
data = b""
while not data.endswith(b"\n"):
    chunk = s.recv(65536)
    if not chunk:
        break
    data += chunk
print(data.decode().strip())
PY
}

# "Ethernet1=higigConfirmed Ethernet2=..." for every member interface.
states() {  # namespace memberId
  get "$1" "vorn/dtd/bcStatus/$2" | python3 -c '
import json, sys
doc = json.load(sys.stdin)
out = []
def walk(node):
    if isinstance(node, dict):
        for key, value in node.items():
            if isinstance(value, dict) and "state" in value and isinstance(value["state"], str):
                out.append("%s=%s" % (key, value["state"]))
            else:
                walk(value)
walk(doc)
print(" ".join(sorted(out)))'
}

echo "== two daemons, three links, lldpd on the third"
start_daemon sw1 "$ns1"
start_daemon sw2 "$ns2"
lldpd_pid=""
if command -v lldpd >/dev/null; then
  ip netns exec "$ns3" lldpd -d -u "$work/lldpd.socket" -I lldp0 -S "vorn-interop-peer" >"$work/lldpd.log" 2>&1 &
  lldpd_pid=$!
  pids+=("$lldpd_pid")
fi

wait_for "VORN_BACKPLANE_INTF_READY" "$work/sw1.log" 2 60
wait_for "VORN_BACKPLANE_INTF_READY" "$work/sw2.log" 2 60
grep -q "VORN_BACKPLANE_INTF_READY: Switching Ethernet1 in Port-Channel1 to backplane mode" "$work/sw1.log" ||
  fail "sw1 did not confirm Ethernet1"
grep -q "VORN_BACKPLANE_INTF_READY: Switching Ethernet2 in Port-Channel1 to backplane mode" "$work/sw2.log" ||
  fail "sw2 did not confirm Ethernet2"
s1=$(states "$ns1" 1)
echo "sw1: $s1"
case "$s1" in *"Ethernet1=higigConfirmed Ethernet2=higigConfirmed"*) ;; *) fail "sw1 states: $s1" ;; esac
echo "ok: both links in backplane mode on both switches"

if [ -n "$lldpd_pid" ]; then
  echo "== interop with lldpd"
  lldpd_mac=$(ip -n "$ns3" -o link show lldp0 | grep -o "link/ether [0-9a-f:]*" | cut -d' ' -f2)
  deadline=$((SECONDS + 30))
  # The status holds identifiers as hex bytes.
  until get "$ns1" "vorn/lldp/status/1" | grep -qi "\"chassisId\":\"${lldpd_mac//:/}\""; do
    [ $SECONDS -lt $deadline ] || { get "$ns1" "vorn/lldp/status/1"; fail "lldpd ($lldpd_mac) never appeared in sw1's Vorn LLDP status"; }
    sleep 0.5
  done
  echo "ok: lldpd is listed in the Vorn LLDP status"
  case "$(states "$ns1" 1)" in *"Ethernet3=higigConfirmed"* | *"Ethernet3=higigPending"*) fail "Ethernet3 left Ethernet mode for lldpd" ;; esac
  [ "$(count "Ethernet3" "$work/sw1.log")" -eq 0 ] || fail "sw1 logged about the lldpd link"
  deadline=$((SECONDS + 30))
  until ip netns exec "$ns3" lldpcli -u "$work/lldpd.socket" -f keyvalue show neighbors details >"$work/lldpd-neighbors.txt" 2>&1 &&
    grep -q "chassis.mac=02:76:6f:72:00:01\|chassis.id=02:76:6f:72:00:01" "$work/lldpd-neighbors.txt"; do
    [ $SECONDS -lt $deadline ] || { cat "$work/lldpd-neighbors.txt"; fail "lldpd does not list sw1"; }
    sleep 0.5
  done
  grep -q "port.ifname=Ethernet3\|port.local=Ethernet3\|port.ifname=Et3\|port.local=Et3" "$work/lldpd-neighbors.txt" ||
    { cat "$work/lldpd-neighbors.txt"; fail "lldpd does not show our port ID"; }
  grep -qi "unknown-tlvs.*oui=02,76,6F\|unknown-tlv.*02,76,6f\|oui=02,76,6F" "$work/lldpd-neighbors.txt" ||
    { cat "$work/lldpd-neighbors.txt"; fail "lldpd does not show our organisationally specific TLV"; }
  grep -i "chassis.mac\|port.ifname\|unknown-tlv" "$work/lldpd-neighbors.txt" | sed 's/^/  lldpd: /'
  echo "ok: lldpd lists sw1 with its chassis ID, port ID and the Vorn TLV"
else
  echo "note: lldpd is not installed; interop not checked"
fi

if command -v tshark >/dev/null; then
  echo "== tshark decodes our frames"
  ip netns exec "$ns2" timeout 20 tshark -q -i v2a -a duration:4 -f "ether proto 0x88cc" -w "$work/frames.pcap" >"$work/tshark-capture.log" 2>&1 || true
  tshark -r "$work/frames.pcap" -V >"$work/frames.txt" 2>&1 || fail "tshark cannot read the capture"
  grep -q "Link Layer Discovery Protocol" "$work/frames.txt" || fail "no LLDP frame captured"
  ! grep -qi "malformed\|expert info (error\|expert info (warn" "$work/frames.txt" || { grep -i -B5 malformed "$work/frames.txt"; fail "tshark reports a malformed frame"; }
  echo "ok: $(grep -c "Link Layer Discovery Protocol" "$work/frames.txt") frames decoded as LLDP, none malformed"
else
  echo "note: tshark is not installed; decoding not checked"
fi

echo "== sw1 killed with SIGKILL and started again keeps its confirmed links"
sleep 1.5   # the backup is written at most half a second after a change
kill -9 "$pid_sw1"
wait "$pid_sw1" 2>/dev/null || true
mv "$work/sw1.log" "$work/sw1-before-kill.log"
errors_sw2=$(count "VORN_BACKPLANE_INTF_ERROR" "$work/sw2.log")
start_daemon sw1 "$ns1"
deadline=$((SECONDS + 10))
until s1=$(states "$ns1" 1 2>/dev/null) && [ -n "$s1" ]; do
  [ $SECONDS -lt $deadline ] || fail "restarted sw1 does not answer"
  sleep 0.2
done
echo "sw1 after restart: $s1"
# A restart slower than sw2's hold time (a loaded machine, a sanitizer build)
# lets sw2 time out and tell sw1 it no longer hears it: sw1 then rightly
# falls back too. Only a restart sw2 never noticed must keep every link.
if [ "$(count "VORN_BACKPLANE_INTF_ERROR" "$work/sw2.log")" -eq "$errors_sw2" ]; then
  case "$s1" in *"Ethernet1=higigConfirmed Ethernet2=higigConfirmed"*) ;; *) fail "restarted sw1 lost its links: $s1" ;; esac
else
  echo "note: sw2 timed out while sw1 was away; sw1 may renegotiate"
fi
# sw2 keeps its links only when sw1 was back before the hold time ran out;
# either way both sides end up in backplane mode again.
deadline=$((SECONDS + 40))
until s1=$(states "$ns1" 1) && s2=$(states "$ns2" 2) &&
  [[ "$s1" == *"Ethernet1=higigConfirmed Ethernet2=higigConfirmed"* ]] &&
  [[ "$s2" == *"Ethernet1=higigConfirmed Ethernet2=higigConfirmed"* ]]; do
  [ $SECONDS -lt $deadline ] || fail "links not back in backplane mode after the restart: sw1 $s1, sw2 $s2"
  sleep 0.5
done
if [ "$(count "VORN_BACKPLANE_INTF_ERROR" "$work/sw2.log")" -eq "$errors_sw2" ]; then
  echo "ok: links kept in backplane mode through the restart (sw2 never noticed)"
else
  echo "ok: sw1 kept its links; sw2 timed out while sw1 was away and renegotiated"
fi

echo "== a link taken down"
ip -n "$ns1" link set dev et2 down
wait_for "VORN_BACKPLANE_INTF_ERROR: .*Ethernet2.*heartbeat timed out" "$work/sw1.log" 1 30
wait_for "VORN_BACKPLANE_INTF_ERROR: .*Ethernet2.*heartbeat timed out" "$work/sw2.log" 1 30
case "$(states "$ns1" 1)" in *"Ethernet1=higigConfirmed"*) ;; *) fail "the other link fell too" ;; esac
echo "ok: heartbeat timed out on both sides, the other link stays up"

echo "== SIGTERM stops both daemons cleanly"
kill -TERM "$pid_sw1" "$pid_sw2"
for p in "$pid_sw1" "$pid_sw2"; do
  rc=0
  wait "$p" || rc=$?
  [ "$rc" -eq 0 ] || fail "a daemon exited with $rc on SIGTERM"
done
ls "$work/sw1/backup"/*.json >/dev/null 2>&1 || fail "no backup written"
echo "PASS"

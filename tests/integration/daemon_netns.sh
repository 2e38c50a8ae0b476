#!/usr/bin/env bash
# Two switches in two network namespaces, joined by veth pairs, one daemon in
# each; a third namespace runs lldpd as the far end of one more link.
#
#   daemon_netns.sh VORNFABRICLLDPD [VORNCTL]
#
# Checks: every backplane link reaches backplane mode on both sides with
# VORN_BACKPLANE_INTF_READY; lldpd is listed in the Vorn LLDP status but its
# link never leaves Ethernet mode, and it lists our chassis ID, port ID and
# organisationally specific TLV; tshark decodes our frames as LLDP without a
# malformed-packet warning; a link taken down gives "heartbeat timed out" on
# both sides, and vornctl (when given) shows every backplane link confirmed,
# watches the cut arrive with its reason and lists it in the link's history;
# SIGTERM stops both with exit code 0. Exits 77 (skipped) where
# namespaces cannot be made.
# Without lldpd or tshark installed, its check is left out.
set -euo pipefail

source "$(dirname "$0")/netns_lib.sh"
daemon=$(realpath "$1")
vornctl=${2:+$(realpath "$2")}
netns_require_root
netns_init netns

netns_add a b c
ns1=$ns_a ns2=$ns_b ns3=$ns_c
# sw1's devices follow the naming rule (et1 is Ethernet1); sw2's are named
# by its configuration.
netns_veth a et1 b v2a
netns_veth a et2 b v2b
netns_veth a et3 c lldp0
write_member_config sw1 1 2 2 "" ', { "intf": "Port-Channel2", "peerMemberId": 3, "members": [ { "intf": "Ethernet3" } ] }'
write_member_config sw2 2 1 2 ', "interfaceNames": { "v2a": "Ethernet1", "v2b": "Ethernet2" }'

both_confirmed() { [[ "$(states "$ns1" 1)" == *"$1"* && "$(states "$ns2" 2)" == *"$1"* ]]; }

# two daemons, three links, lldpd on the third
start_daemon sw1 "$ns1"
start_daemon sw2 "$ns2"
lldpd_pid=""
if command -v lldpd >/dev/null; then
  ip netns exec "$ns3" lldpd -d -u "$work/lldpd.socket" -I lldp0 -S "vorn-interop-peer" >"$work/lldpd.log" 2>&1 &
  lldpd_pid=$!
  netns_pids+=("$lldpd_pid")
fi
for n in 1 2; do
  wait_for "VORN_BACKPLANE_INTF_READY" "$work/sw$n.log" 2 60
  grep -q "VORN_BACKPLANE_INTF_READY: Switching Ethernet$n in Port-Channel1 to backplane mode" "$work/sw$n.log" ||
    fail "sw$n did not confirm Ethernet$n"
done
both_confirmed "Ethernet1=higigConfirmed Ethernet2=higigConfirmed" || fail "states: sw1 $(states "$ns1" 1), sw2 $(states "$ns2" 2)"

if [ -n "$lldpd_pid" ]; then
  # interop with lldpd
  lldpd_mac=$(ip -n "$ns3" -o link show lldp0 | grep -o "link/ether [0-9a-f:]*" | cut -d' ' -f2)
  # The status holds identifiers as hex bytes.
  lists_lldpd() { get "$ns1" "vorn/lldp/status/1" | grep -qi "\"chassisId\":\"${lldpd_mac//:/}\""; }
  wait_until 30 "lldpd ($lldpd_mac) in sw1's Vorn LLDP status" lists_lldpd
  case "$(states "$ns1" 1)" in *"Ethernet3=higigConfirmed"* | *"Ethernet3=higigPending"*) fail "Ethernet3 left Ethernet mode for lldpd" ;; esac
  [ "$(count "Ethernet3" "$work/sw1.log")" -eq 0 ] || fail "sw1 logged about the lldpd link"
  neighbours() { ip netns exec "$ns3" lldpcli -u "$work/lldpd.socket" -f keyvalue show neighbors details >"$work/lldpd.txt" 2>&1; }
  lists_sw1() { neighbours && grep -q "chassis.mac=02:76:6f:72:00:01\|chassis.id=02:76:6f:72:00:01" "$work/lldpd.txt"; }
  wait_until 30 "lldpd to list sw1" lists_sw1
  grep -q "port.ifname=Ethernet3\|port.local=Ethernet3\|port.ifname=Et3\|port.local=Et3" "$work/lldpd.txt" ||
    fail "lldpd does not show our port ID: $(cat "$work/lldpd.txt")"
  grep -qi "unknown-tlvs.*oui=02,76,6F\|unknown-tlv.*02,76,6f\|oui=02,76,6F" "$work/lldpd.txt" ||
    fail "lldpd does not show our organisationally specific TLV: $(cat "$work/lldpd.txt")"
fi

if command -v tshark >/dev/null; then
  # tshark decodes our frames
  ip netns exec "$ns2" timeout 20 tshark -q -i v2a -a duration:4 -f "ether proto 0x88cc" -w "$work/frames.pcap" >"$work/tshark-capture.log" 2>&1 || true
  tshark -r "$work/frames.pcap" -V >"$work/frames.txt" 2>&1 || fail "tshark cannot read the capture"
  grep -q "Link Layer Discovery Protocol" "$work/frames.txt" || fail "no LLDP frame captured"
  ! grep -qi "malformed\|expert info (error\|expert info (warn" "$work/frames.txt" || fail "tshark reports a malformed frame"
fi

if [ -n "$vornctl" ]; then
  # vornctl sees what the state database says
  for n in 1 2; do
    "$vornctl" --socket "$work/sw$n/control.sock" --json show links >"$work/links$n.json" ||
      fail "vornctl show links on sw$n exits with $?"
    python3 - "$work/links$n.json" <<'PY' || fail "sw$n: $(cat "$work/links$n.json")"
import json, sys
links = [l for l in json.load(open(sys.argv[1]))["links"] if l["channel"] == "Port-Channel1"]
assert len(links) == 2, links
assert all(l["state"] == "higigConfirmed" and l["fabricMode"] == "higig" for l in links), links
assert all(l["reason"] == "TLVs counted" for l in links), links
PY
  done
  "$vornctl" --socket "$work/sw2/control.sock" --json watch >"$work/watch2.jsonl" 2>"$work/watch2.err" &
  watch_pid=$!
  netns_pids+=("$watch_pid")
  wait_until 10 "vornctl watch to attach" test -e "$work/watch2.err"
  sleep 0.5
fi

# a link taken down
ip -n "$ns1" link set dev et2 down
for sw in sw1 sw2; do wait_for "VORN_BACKPLANE_INTF_ERROR: .*Ethernet2.*heartbeat timed out" "$work/$sw.log" 1 30; done
[[ "$(states "$ns1" 1)" == *"Ethernet1=higigConfirmed"* ]] || fail "the other link fell too"

if [ -n "$vornctl" ]; then
  # the watcher has the change, with its reason, within a second of the log
  watched() { grep -q '"type":"linkState","intf":"Ethernet2".*"reason":"heartbeat timed out"' "$work/watch2.jsonl"; }
  wait_until 1 "vornctl watch to show Ethernet2's fall: $(cat "$work/watch2.jsonl" "$work/watch2.err")" watched
  kill -INT "$watch_pid"
  wait "$watch_pid" || fail "vornctl watch exits with $? on SIGINT"
  "$vornctl" --socket "$work/sw2/control.sock" history Ethernet2 >"$work/history2.txt" ||
    fail "vornctl history exits with $?"
  grep -q "linkState.*higigConfirmed -> ethLinkDown (heartbeat timed out)" "$work/history2.txt" ||
    fail "the history does not show the fall: $(cat "$work/history2.txt")"
  rc=0
  "$vornctl" --socket "$work/sw2/control.sock" show links Ethernet9 2>"$work/unknown.err" || rc=$?
  [ "$rc" -eq 1 ] && grep -q "unknown interface Ethernet9" "$work/unknown.err" ||
    fail "an unknown interface gives exit $rc: $(cat "$work/unknown.err")"
fi

# SIGTERM stops both daemons cleanly
kill -TERM "$pid_sw1" "$pid_sw2"
for p in "$pid_sw1" "$pid_sw2"; do wait "$p" || fail "a daemon exited with $? on SIGTERM"; done
ls "$work/sw1/backup"/*.json >/dev/null 2>&1 || fail "no backup written"

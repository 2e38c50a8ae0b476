# Shared by the network-namespace tests: sourced, never run. A test sets
# `daemon` to the daemon's path, calls netns_init with a short tag, and gets
# namespaces, veth pairs, daemons and their logs cleaned up on exit.
#
#   source "$(dirname "$0")/netns_lib.sh"
#   daemon=$(realpath "$1")
#   netns_require_root                  # exits 77 (skipped) where it cannot run
#   netns_init abuse                    # $work, cleanup trap
#   netns_add a b                       # namespaces ${tag}a, ${tag}b -> $ns_a, $ns_b
#   netns_veth a et1 b et1              # a veth pair between two namespaces, up
#   netns_two_members                   # sw1 in a (member 1), sw2 in b (member 2), one channel of N links
#   start_daemon sw1 "$ns_a"            # $pid_sw1, log $work/sw1.log
#   wait_for "VORN_BACKPLANE_INTF_READY" "$work/sw1.log" 2 60
#   states "$ns_a" 1                    # "Ethernet1=higigConfirmed Ethernet2=..."

skip() { echo "SKIP: $*"; exit 77; }
fail() { echo "FAIL: $*"; dump_logs 2>/dev/null || true; exit 1; }

netns_require_root() {
  [ "$(id -u)" = 0 ] || skip "creating network namespaces needs root"
  command -v ip >/dev/null || skip "ip (iproute2) is not installed"
  command -v python3 >/dev/null || skip "python3 is not installed"
}

netns_pids=() netns_names=()

netns_cleanup() {
  for p in "${netns_pids[@]}"; do kill -9 "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  for ns in "${netns_names[@]}"; do ip netns del "$ns" 2>/dev/null || true; done
  [ -n "${work:-}" ] && [ -z "${VORN_KEEP_WORK:-}" ] && rm -rf "$work"
  return 0
}

netns_init() {  # tag
  tag="vorn$1$$"
  work=$(mktemp -d "${TMPDIR:-/tmp}/vorn-$1.XXXXXX")
  chmod 755 "$work"
  trap netns_cleanup EXIT
}

netns_add() {  # short names...
  for n in "$@"; do
    ip netns add "${tag}$n" 2>/dev/null || skip "this machine cannot create network namespaces"
    netns_names+=("${tag}$n")
    ip -n "${tag}$n" link set dev lo up
    eval "ns_$n=${tag}$n"
  done
}

netns_veth() {  # a devA b devB
  ip link add "$2" netns "${tag}$1" type veth peer name "$4" netns "${tag}$3"
  ip -n "${tag}$1" link set dev "$2" up
  ip -n "${tag}$3" link set dev "$4" up
}

dump_logs() {
  for f in "$work"/*.log; do [ -f "$f" ] && { echo "---- $(basename "$f")"; tail -n 40 "$f"; }; done
}

# A member's configuration: one channel, Port-Channel1, to `peer`, with the
# member interfaces Ethernet1..N on devices et1..etN. Extra JSON fields
# (",\"peerSyncPort\": 0") and extra channels (", { \"intf\": ... }") may
# follow.
write_member_config() {  # name memberId peer links [extra] [channels]
  local members="" i
  mkdir -p "$work/$1"
  for i in $(seq 1 "$4"); do members+="${members:+, }{ \"intf\": \"Ethernet$i\", \"lagGroup\": \"A\" }"; done
  cat >"$work/$1/daemon.json" <<JSON
{
  "memberId": $2,
  "channels": [ { "intf": "Port-Channel1", "peerMemberId": $3, "members": [ $members ] }${6:-} ],
  "backupDir": "$work/$1/backup", "flashDir": "$work/$1/flash",
  "traceDir": "$work/$1/trace", "toggleDir": "$work/$1/toggles",
  "controlSocket": "$work/$1/control.sock"${5:-}
}
JSON
}

# sw1 (member 1) in namespace a and sw2 (member 2) in namespace b, joined by
# `links` veth pairs et1..etN <-> et1..etN. Daemons are not started.
netns_two_members() {  # [links]
  local i
  netns_add a b
  for i in $(seq 1 "${1:-2}"); do netns_veth a "et$i" b "et$i"; done
  write_member_config sw1 1 2 "${1:-2}"
  write_member_config sw2 2 1 "${1:-2}"
}

start_daemon() {  # name namespace [extra daemon arguments...]
  local name=$1 ns=$2
  shift 2
  ip netns exec "$ns" "$daemon" --config "$work/$name/daemon.json" --stderr "$@" >>"$work/$name.log" 2>&1 &
  netns_pids+=($!)
  eval "pid_$name=$!"
}

count() { grep -c -- "$1" "$2" 2>/dev/null || true; }

# Runs COMMAND every $poll seconds (0.2 unless set) until it succeeds,
# failing after `seconds`.
wait_until() {  # seconds what command...
  local seconds=$1 what=$2 deadline=$((SECONDS + $1))
  shift 2
  until "$@"; do
    [ $SECONDS -lt $deadline ] || fail "waited $seconds s for $what"
    sleep "${poll:-0.2}"
  done
}

at_least() { [ "$(count "$1" "$2")" -ge "$3" ]; }
wait_for() { wait_until "$4" "$3 x \"$1\" in $(basename "$2")" at_least "$1" "$2" "$3"; }  # pattern file count seconds

# The JSON of a state path, asked of a daemon's peer state-sync listener.
get() {  # namespace path [port]
  ip netns exec "$1" python3 -c '
import socket, sys
s = socket.create_connection(("127.0.0.1", int(sys.argv[2])), timeout=5)
s.sendall(("GET " + sys.argv[1] + "\n").encode())
print(s.makefile("rb").readline().decode().strip())' "$2" "${3:-5546}"
}

# "Ethernet1=higigConfirmed Ethernet2=..." for every member interface of
# the backplane channel status on stdin (nothing for what is not JSON).
state_pairs() {
  python3 -c '
import json, sys
def walk(node):
    for key, value in node.items() if isinstance(node, dict) else []:
        if isinstance(value, dict) and isinstance(value.get("state"), str):
            yield "%s=%s" % (key, value["state"])
        else:
            yield from walk(value)
try:
    print(" ".join(sorted(walk(json.load(sys.stdin)))))
except ValueError:
    pass'
}

states() { get "$1" "vorn/dtd/bcStatus/$2" "${3:-5546}" | state_pairs; }  # namespace memberId [port]

# Every member interface Ethernet1..N of `memberId` is higigConfirmed.
confirmed() {  # namespace memberId links
  local want="" i
  for i in $(seq 1 "$3"); do want+="${want:+ }Ethernet$i=higigConfirmed"; done
  [ "$(states "$1" "$2" 2>/dev/null)" = "$want" ]
}
wait_confirmed() { wait_until "$4" "member $2 to confirm its links" confirmed "$1" "$2" "$3"; }  # ns memberId links s

# Raw LLDP frames for tests that send their own: `python3 "$work/lldp.py"`
# imports nothing of ours; `from lldp import tlv, frame` in a script there.
write_lldp_py() {
  cat >"$work/lldp.py" <<'PY'
import socket, struct

def tlv(kind, value):
    return struct.pack("!H", kind << 9 | len(value)) + value

def frame(src, tlvs, tag=b""):
    """An Ethernet frame to the nearest-bridge address, padded to 60 bytes."""
    f = bytes.fromhex("0180c200000e") + src + tag + b"\x88\xcc" + b"".join(tlvs) + tlv(0, b"")
    return f + bytes(max(0, 60 - len(f)))

def raw_socket(device):
    s = socket.socket(socket.AF_PACKET, socket.SOCK_RAW)
    s.bind((device, 0))
    return s
PY
}

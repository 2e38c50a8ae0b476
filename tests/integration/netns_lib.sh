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

netns_pids=()
netns_names=()

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
    local ns="${tag}$n"
    ip netns add "$ns" 2>/dev/null || skip "this machine cannot create network namespaces"
    netns_names+=("$ns")
    ip -n "$ns" link set dev lo up
    eval "ns_$n=$ns"
  done
}

netns_veth() {  # a devA b devB
  local nsa="${tag}$1" nsb="${tag}$3"
  ip link add "$2" netns "$nsa" type veth peer name "$4" netns "$nsb"
  ip -n "$nsa" link set dev "$2" up
  ip -n "$nsb" link set dev "$4" up
}

dump_logs() {
  for f in "$work"/*.log; do
    [ -f "$f" ] || continue
    echo "---- $(basename "$f")"
    tail -n 40 "$f"
  done
}

# A member's configuration: one channel, Port-Channel1, to `peer`, with the
# member interfaces Ethernet1..N on devices et1..etN. Extra JSON fields
# (",\"peerSyncPort\": 0") and extra channels (", { \"intf\": ... }") may
# follow.
write_member_config() {  # name memberId peer links [extra] [channels]
  local name=$1 id=$2 peer=$3 links=$4 extra=${5:-} channels=${6:-}
  mkdir -p "$work/$name"
  local members="" i
  for i in $(seq 1 "$links"); do
    members+="${members:+, }{ \"intf\": \"Ethernet$i\", \"lagGroup\": \"A\" }"
  done
  cat >"$work/$name/daemon.json" <<JSON
{
  "memberId": $id,
  "channels": [ { "intf": "Port-Channel1", "peerMemberId": $peer, "members": [ $members ] }$channels ],
  "backupDir": "$work/$name/backup", "flashDir": "$work/$name/flash",
  "traceDir": "$work/$name/trace", "toggleDir": "$work/$name/toggles"$extra
}
JSON
}

# sw1 (member 1) in namespace a and sw2 (member 2) in namespace b, joined by
# `links` veth pairs et1..etN <-> et1..etN. Daemons are not started.
netns_two_members() {  # [links]
  local links=${1:-2} i
  netns_add a b
  for i in $(seq 1 "$links"); do netns_veth a "et$i" b "et$i"; done
  write_member_config sw1 1 2 "$links"
  write_member_config sw2 2 1 "$links"
}

start_daemon() {  # name namespace [extra daemon arguments...]
  local name=$1 ns=$2
  shift 2
  ip netns exec "$ns" "$daemon" --config "$work/$name/daemon.json" --stderr "$@" >>"$work/$name.log" 2>&1 &
  netns_pids+=($!)
  eval "pid_$name=$!"
}

count() { grep -c -- "$1" "$2" 2>/dev/null || true; }

wait_for() {  # pattern file count seconds
  local deadline=$((SECONDS + $4))
  while [ "$(count "$1" "$2")" -lt "$3" ]; do
    [ $SECONDS -lt $deadline ] || fail "waited $4 s for $3 x \"$1\" in $(basename "$2")"
    sleep 0.2
  done
}

# The answer line to one request, asked of a daemon's peer state-sync
# listener.
ask() {  # namespace request [port]
  ip netns exec "$1" python3 - "$2" "${3:-5546}" <<'PY'
import socket, sys
s = socket.create_connection(("127.0.0.1", int(sys.argv[2])), timeout=5)
s.sendall((sys.argv[1] + "\n").encode())
data = b""
while not data.endswith(b"\n"):
    chunk = s.recv(65536)
    if not chunk:
        break
    data += chunk
print(data.decode().strip())
PY
}

# The JSON of a state path.
get() {  # namespace path [port]
  ask "$1" "GET $2" "${3:-5546}"
}

# "Ethernet1=higigConfirmed Ethernet2=..." for every member interface of
# the backplane channel status on stdin (nothing for what is not JSON).
state_pairs() {
  python3 -c '
import json, sys
try:
    doc = json.load(sys.stdin)
except ValueError:
    sys.exit(0)
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

states() {  # namespace memberId [port]
  get "$1" "vorn/dtd/bcStatus/$2" "${3:-5546}" | state_pairs
}

# Waits until every member interface of `memberId` is higigConfirmed.
wait_confirmed() {  # namespace memberId links seconds
  local deadline=$((SECONDS + $4)) s want="" i
  for i in $(seq 1 "$3"); do want+="${want:+ }Ethernet$i=higigConfirmed"; done
  until s=$(states "$1" "$2" 2>/dev/null) && [ "$s" = "$want" ]; do
    [ $SECONDS -lt $deadline ] || fail "member $2 not confirmed within $4 s: $s"
    sleep 0.2
  done
}

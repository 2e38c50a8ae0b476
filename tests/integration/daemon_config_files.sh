#!/usr/bin/env bash
# Configuration files that cannot be used, given to the daemon at start and
# on SIGHUP.
#
#   daemon_config_files.sh VORNFABRICLLDPD
#
# Without root: `--check` on each hostile file (nested 100,000 deep, a key
# twice deep inside, a FIFO nobody writes to and a sparse file of 300 MiB)
# exits 2 at once with the file, the field
# and the reason, and so does a start on a bad file. Each run is bounded by
# timeout(1), so a read that blocks fails the test instead of hanging it.
# (The configuration reader's and the daemon configuration's own tests and
# fuzzing corpora go through every other kind of unusable file.)
#
# With root, in a network namespace of its own: a running daemon given such a
# file on SIGHUP reports it on stderr and in the system log
# (VORN_FABRIC_LLDP_CONFIG_REJECTED), keeps running on the configuration it
# had and still answers; a good file is then taken, and SIGTERM still stops
# it with exit code 0. Exits 77 (skipped) for that part where namespaces
# cannot be made.
set -euo pipefail

source "$(dirname "$0")/netns_lib.sh"
daemon=$(realpath "$1")
work=""  # no namespace logs until the second part

files=$(mktemp -d "${TMPDIR:-/tmp}/vorn-config-files.XXXXXX")
trap 'rm -rf "$files"' EXIT

# `n` copies of a string.
repeat() { head -c "$2" /dev/zero | tr '\0' "$1"; }
# {"channels": [], "memberId": [[[...0...]]]}, `n` lists deep.
deep_config() { printf '{"channels": [], "memberId": '; repeat '[' "$1"; printf 0; repeat ']' "$1"; printf '}'; }

deep_config 100000 >"$files/deep.json"
echo '{"memberId": 1, "channels": [{"intf": "Po1", "members": [{"intf": "Et1", "lagGroup": "A", "intf": "Et2"}]}]}' \
  >"$files/dup-deep.json"
mkfifo "$files/fifo.json"
truncate -s 300M "$files/huge.json"
echo '{"memberId": 0, "channels": []}' >"$files/member-0.json"

# file|what the message must say (after "vornfabriclldpd: bad configuration: ")
cases=(
  "$files/deep.json|nested deeper than 64 levels"
  "$files/dup-deep.json|$files/dup-deep.json: channels[0].members[0].intf: duplicate key \"intf\""
  "$files/fifo.json|$files/fifo.json: (file): is a FIFO, not a regular file"
  "$files/huge.json|$files/huge.json: (file): is 314572800 bytes, more than the limit of 1 MiB"
  # Started for real (no --check), a bad file stops the daemon before it touches anything.
  "$files/member-0.json|start|memberId: 0 is outside 1..255"
)
for c in "${cases[@]}"; do
  file=${c%%|*} want=${c##*|} check=--check rc=0
  [[ $c == *"|start|"* ]] && check=""
  timeout 30 "$daemon" --config "$file" $check >"$files/out" 2>&1 || rc=$?
  [ "$rc" -eq 2 ] || fail "$file ${check:-at start} exits with $rc (124: did not return within 30 s), not 2: $(head -c 300 "$files/out")"
  grep -qF -- "$want" "$files/out" || fail "$file ${check:-at start} does not say: $want: $(head -c 600 "$files/out")"
  [ "$(wc -c <"$files/out")" -lt 400 ] || fail "$file ${check:-at start}: a message of $(wc -c <"$files/out") bytes"
done

# --- SIGHUP on a running daemon ------------------------------------------------

netns_require_root
netns_init reload
trap 'netns_cleanup; rm -rf "$files"' EXIT
netns_add a
write_member_config sw1 1 2 1
config="$work/sw1/daemon.json"
cp "$config" "$work/good.json"
start_daemon sw1 "$ns_a"

# The listener answers once the daemon takes signals.
answers() { kill -0 "$pid_sw1" 2>/dev/null || fail "the daemon stopped"; get "$ns_a" vorn/memberConfig/1 2>/dev/null | grep -q "$1"; }
wait_until 60 "the daemon to answer" answers Ethernet1

# spoil-command|field and reason in the messages
reloads=(
  "echo '{\"memberId\":1,\"memberId\":2,\"channels\":[]}' >$config|memberId: duplicate key \"memberId\""
  "rm -f $config && mkfifo $config|(file): is a FIFO, not a regular file"
)
n=0
for r in "${reloads[@]}"; do
  spoil=${r%%|*} want=${r#*|}
  eval "$spoil"
  n=$((n + 1))
  kill -HUP "$pid_sw1"
  wait_for "VORN_FABRIC_LLDP_CONFIG_REJECTED" "$work/sw1.log" "$n" 30
  last=$(grep -F "VORN_FABRIC_LLDP_CONFIG_REJECTED" "$work/sw1.log" | tail -n 1)
  [[ $last == *"$config"* && $last == *"$want"* ]] || fail "the system log message does not name $config and say $want: $last"
  [ "$(count "keeping the running configuration: $config" "$work/sw1.log")" -eq "$n" ] ||
    fail "no stderr line for the refused reload number $n"
  answers Ethernet1 || fail "the daemon lost its configuration ($want)"
done

# A good file is taken again: a second member interface.
rm -f "$config"
sed 's/{ "intf": "Ethernet1", "lagGroup": "A" }/&, { "intf": "Ethernet2" }/' "$work/good.json" >"$config"
kill -HUP "$pid_sw1"
wait_until 30 "the good configuration to be taken" answers Ethernet2
[ "$(count VORN_FABRIC_LLDP_CONFIG_REJECTED "$work/sw1.log")" -eq "$n" ] || fail "a good file was reported as refused"

kill -TERM "$pid_sw1"
wait "$pid_sw1" || fail "the daemon exits with $? after SIGTERM, not 0"

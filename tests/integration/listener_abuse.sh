#!/usr/bin/env bash
# Two daemons negotiate a channel of two links; then sw1's peer state-sync
# listener is attacked from its own namespace for about 20 s:
#
#   (a) 250 clients send GET requests and never read the answers;
#   (b) at the same time one client pumps "GET /" and the largest path the
#       listener serves, reading everything;
#   (c) then 300 connections that stay idle, and a fresh client that must
#       still be served.
#
# Checks: "GET /" and a directory are refused with one error line; no
# VORN_BACKPLANE_INTF_ERROR on either switch and every link higigConfirmed
# during and after the attack; sw1's open descriptors and resident memory
# stay bounded; the fresh client's HELLO is answered.
#
#   listener_abuse.sh VORNFABRICLLDPD
#
# Exits 77 (skipped) where namespaces cannot be made.
set -euo pipefail

source "$(dirname "$0")/netns_lib.sh"
daemon=$(realpath "$1")
netns_require_root
netns_init abuse

# A sanitizer build keeps freed memory aside for a while; keep that small so
# that resident memory says what the daemon holds.
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}quarantine_size_mb=16"

netns_two_members 2
start_daemon sw1 "$ns_a"
start_daemon sw2 "$ns_b"
wait_confirmed "$ns_a" 1 2 60
wait_confirmed "$ns_b" 2 2 60

cat >"$work/attack.py" <<'PY'
# The attack clients, all in one process on one selector. Prints one line
# per finding; exits non-zero when a check fails.
import selectors, socket, sys, threading, time

addr, mode, args = ("127.0.0.1", int(sys.argv[1])), sys.argv[2], sys.argv[3:]

def one_answer(request, timeout=10.0):
    """The lines that come back for one request within a moment."""
    s = socket.create_connection(addr, timeout=timeout)
    s.sendall(request.encode() + b"\n")
    data = b""
    while not data.endswith(b"\n") and (chunk := s.recv(1 << 20)):
        data += chunk
    s.settimeout(0.3)  # anything more than one line would arrive right behind the first
    try:
        while chunk := s.recv(1 << 20):
            data += chunk
    except socket.timeout:
        pass
    return data.decode(errors="replace").splitlines()

def fail(text): sys.exit("FAIL: " + text)

if mode == "refused":
    for path in args:
        lines = one_answer("GET " + path)
        if len(lines) != 1 or not lines[0].startswith("ERR "):
            fail("GET %s answered %r" % (path, [l[:80] for l in lines]))
elif mode == "largest":
    print(max(args, key=lambda p: len(one_answer("GET " + p)[0])))
elif mode == "flood":  # (a) and (b) together for `seconds`
    seconds, largest = float(args[0]), args[1]
    end, found = time.monotonic() + seconds, {"refusals": 0, "answers": 0, "closed": 0, "error": ""}

    def pump():
        """Sends requests in bursts and reads every answer before the next
        burst: as much as the listener lets a reading client have."""
        s = socket.create_connection(addr, timeout=10)
        answers = s.makefile("rb")
        while time.monotonic() < end:
            try:
                s.sendall(("GET /\nGET %s\n" % largest).encode() * 50)
                lines = [answers.readline().rstrip(b"\n") for _ in range(100)]
            except OSError as e:
                lines = [str(e).encode()]
            for line in lines:
                kind = "refusals" if line == b"ERR path not served" else "answers" if line.startswith(b"{") else None
                if kind is None:
                    found["error"] = "the pumping client, which reads every answer, got %r" % line[:80]
                    return
                found[kind] += 1

    sel = selectors.DefaultSelector()
    def open_deaf():
        s = socket.socket()
        s.setblocking(False)
        s.connect_ex(addr)
        sel.register(s, selectors.EVENT_WRITE)
    for _ in range(250): open_deaf()
    (reader := threading.Thread(target=pump)).start()
    while time.monotonic() < end:
        for key, _ in sel.select(0.1):
            try:
                key.fileobj.send(b"GET vorn/dtd/bcStatus/1\n" * 200)
            except BlockingIOError:
                pass
            except OSError:  # closed by the listener: it comes back, as an attacker would
                sel.unregister(key.fileobj)
                key.fileobj.close()
                found["closed"] += 1
                open_deaf()
    reader.join()
    print("flood: %(closed)d non-reading clients closed by the listener; pump: %(refusals)d refusals, "
          "%(answers)d answers" % found)
    if found["error"] or found["refusals"] == 0 or found["answers"] == 0:
        fail(found["error"] or "the pumping client was not answered")
elif mode == "idle":  # (c): idle connections beyond the table, then a newcomer
    idle = [socket.create_connection(addr) for _ in range(300)]
    time.sleep(1.0)
    lines = one_answer("HELLO 9", timeout=15.0)
    if lines[:1] != ["HELLO 1"]:
        fail("a fresh client after 300 idle connections got %r" % lines)
PY
attack() { ip netns exec "$ns_a" python3 "$work/attack.py" 5546 "$@"; }

# paths refused
attack refused / vorn/memberConfig vorn backup || fail "a path outside what peers synchronise was answered"
largest=$(attack largest vorn/memberConfig/1 vorn/hardware/asicsWarm vorn/dtd/bcStatus/1 vorn/lldp/status/1)

fds() { ls "/proc/$pid_sw1/fd" | wc -l; }
rss_kb() { awk '/^VmRSS:/ { print $2 }' "/proc/$pid_sw1/status"; }
fds_before=$(fds) rss_before=$(rss_kb)
max_fds=$fds_before max_rss=$rss_before
# Every link on both switches, and neither daemon reporting a backplane error.
check_links() {  # when
  for sw in sw1 sw2; do [ "$(count VORN_BACKPLANE_INTF_ERROR "$work/$sw.log")" -eq 0 ] || fail "$sw reported a backplane error $1"; done
  confirmed "$ns_b" 2 2 || fail "sw2's links $1: $(states "$ns_b" 2)"
  kill -0 "$pid_sw1" 2>/dev/null || fail "sw1 died $1"
}
# Runs one attack in the background, sampling sw1's descriptors and memory
# (and, with "check", its links) while it lasts.
watch_attack() {  # output check|- attack arguments...
  local out=$1 check=$2 f r
  shift 2
  attack "$@" >"$work/$out" 2>&1 &
  local pid=$!
  netns_pids+=("$pid")
  while kill -0 "$pid" 2>/dev/null; do
    f=$(fds) r=$(rss_kb)
    [ "$f" -gt "$max_fds" ] && max_fds=$f
    [ "$r" -gt "$max_rss" ] && max_rss=$r
    [ "$check" = check ] && check_links "during the $1"
    sleep 0.5
  done
  wait "$pid" || { cat "$work/$out"; fail "the $1's checks failed"; }
  cat "$work/$out"
}

echo "== (a) 250 clients that never read, (b) one client pumping GET / and $largest"
watch_attack flood.out check flood 12 "$largest"
# (c) 300 idle connections, then a fresh client
watch_attack idle.out - idle

# afterwards
sleep 2
check_links "after the attack"
confirmed "$ns_a" 1 2 || fail "sw1's links after the attack: $(states "$ns_a" 1)"
# The table holds 256 connections; a few more are on their way in or out.
[ "$max_fds" -le $((fds_before + 256 + 16)) ] || fail "sw1 held $max_fds descriptors, $fds_before before"
# Per connection at most 32 KiB of unread answers and one more answer (in a
# buffer of up to twice that) and one read of requests: about 24 MiB for a
# full table.
# A sanitizer build's allocator keeps what it once mapped per size class and
# pads every block, so there the bound only catches growth without limit.
ldd "$daemon" 2>/dev/null | grep -q libasan && rss_allowed=$((512 * 1024)) || rss_allowed=$((48 * 1024))
[ "$max_rss" -le $((rss_before + rss_allowed)) ] || fail "sw1's resident memory grew from $((rss_before / 1024)) to $((max_rss / 1024)) MiB"

#!/usr/bin/env python3
"""The daemon's control socket under hostile clients.

    control_abuse.py VORNFABRICLLDPD

Runs the daemon in a network namespace of its own (its member interfaces do
not exist there, which it takes in its stride) and attacks its control
socket: garbage, a 10 MB line, 1,000 connections, a watcher that never
reads while events stream. Throughout, the daemon must answer a fresh client
within a second, hold no more than a bounded number of descriptors, and its
memory must stay bounded. Exits 77 (skipped) where no namespace can be made.
"""
import json
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time


def skip(why):
    print("SKIP:", why)
    sys.exit(77)


def fail(why):
    print("FAIL:", why)
    sys.exit(1)


daemon = os.path.realpath(sys.argv[1])
unshare = shutil.which("unshare")
if not unshare:
    skip("unshare is not installed")
work = tempfile.mkdtemp(prefix="vorn-control-")
sock = os.path.join(work, "control.sock")
config = os.path.join(work, "daemon.json")
with open(config, "w") as f:
    json.dump({"memberId": 1,
               "channels": [{"intf": "Port-Channel1", "peerMemberId": 2,
                             "members": [{"intf": "Ethernet1", "lagGroup": "A"}, {"intf": "Ethernet2", "lagGroup": "B"}]}],
               "backupDir": work + "/backup", "flashDir": work + "/flash", "traceDir": work + "/trace",
               "toggleDir": work + "/toggles", "controlSocket": sock}, f)
flag = "-n" if os.geteuid() == 0 else "-rn"
proc = subprocess.Popen([unshare, flag, daemon, "--config", config], stdout=subprocess.DEVNULL,
                        stderr=open(os.path.join(work, "daemon.log"), "w"))
try:
    deadline = time.time() + 30
    while not os.path.exists(sock):
        if proc.poll() is not None:
            log = open(os.path.join(work, "daemon.log")).read()
            if "unshare" in log or "Operation not permitted" in log:
                skip("no network namespace: " + log.strip()[:200])
            fail("the daemon stopped: " + log[-500:])
        if time.time() > deadline:
            fail("no control socket after 30 s")
        time.sleep(0.1)

    # The daemon's process: unshare execs it, so it is the same.
    pid = proc.pid

    def descriptors():
        return len(os.listdir(f"/proc/{pid}/fd"))

    def rss_kib():
        for line in open(f"/proc/{pid}/status"):
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
        return 0

    def answers():
        c = socket.socket(socket.AF_UNIX)
        start = time.time()
        try:
            # Blocking, as vornctl connects: with the backlog full of the
            # flood's connections a client waits its turn (a non-blocking
            # one would be told EAGAIN at once), and that wait counts.
            c.connect(sock)
            c.settimeout(max(0.1, 1.0 - (time.time() - start)))
            c.sendall(b'{"command":"show","what":"links"}\n')
            data = b""
            while not data.endswith(b"\n"):
                chunk = c.recv(65536)
                if not chunk:
                    break
                data += chunk
        except OSError as e:
            fail(f"a fresh client got no answer: {e}")
        finally:
            c.close()
        answer = json.loads(data)
        if not answer.get("ok") or len(answer["links"]) != 2:
            fail(f"a fresh client got {data[:200]!r}")
        return time.time() - start

    base_fds, base_rss = descriptors(), rss_kib()
    answers()

    clients = []
    g = socket.socket(socket.AF_UNIX)
    g.connect(sock)
    g.sendall(b"\x00\xffgarbage{{{\n")
    if b'"ok":false' not in g.recv(200):
        fail("garbage got no error line")
    clients.append(g)

    # A watcher that never reads. With no peer the agent makes few events;
    # the unit tests drive a flood of them at such a watcher.
    w = socket.socket(socket.AF_UNIX)
    w.connect(sock)
    w.sendall(b'{"command":"watch"}\n')
    w.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    clients.append(w)

    big = socket.socket(socket.AF_UNIX)
    big.connect(sock)
    big.settimeout(10)
    try:
        big.sendall(b"x" * (10 * 1024 * 1024))
        fail("a 10 MB line was taken whole")
    except OSError:
        pass  # closed by the daemon after its first 4 KiB and more
    big.close()

    worst = 0.0
    for i in range(1000):
        s = socket.socket(socket.AF_UNIX)
        s.connect(sock)
        clients.append(s)
        if i % 100 == 99:
            worst = max(worst, answers())
            fds = descriptors()
            if fds > base_fds + 40:
                fail(f"{fds} descriptors open with {i + 1} clients (at start {base_fds})")
    if worst > 1.0:
        fail(f"a fresh client waited {worst:.2f} s")
    rss = rss_kib()
    if rss > base_rss + 32 * 1024:
        fail(f"memory grew from {base_rss} KiB to {rss} KiB")
    for c in clients:
        c.close()
    time.sleep(0.5)
    answers()
    if proc.poll() is not None:
        fail("the daemon stopped")
    print(f"ok: descriptors {base_fds} at start, at most {base_fds + 40}; memory {base_rss} -> {rss} KiB; "
          f"slowest answer {worst * 1000:.0f} ms")
finally:
    proc.terminate()
    try:
        proc.wait(10)
    except subprocess.TimeoutExpired:
        proc.kill()
    shutil.rmtree(work, ignore_errors=True)

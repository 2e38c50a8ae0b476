#!/usr/bin/env python3
"""The daemon's notifications to systemd, received the way systemd receives
them: a Unix datagram socket named by NOTIFY_SOCKET, the watchdog's interval
in WATCHDOG_USEC and its process in WATCHDOG_PID.

    systemd_notify.py VORNFABRICLLDPD

The daemon runs in a network namespace of its own (unshare -n as root, else
unshare -rn in a user namespace), where its member interfaces do not exist:
it starts and runs all the same. Each case checks what arrives and in what
order: READY=1 first, WATCHDOG=1 every half interval and only for the
watchdog's own process, RELOADING=1 with the monotonic time then READY=1 on
SIGHUP, STOPPING=1 on SIGTERM, and every datagram from the daemon's own
process (the unit takes notifications from the main process only). Exits 77
(skipped) where no namespace can be made.
"""

import array
import os
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time

SKIP = 77
failures = []


def fail(what):
    print("FAIL: " + what)
    failures.append(what)


def namespace_prefix():
    for prefix in (["unshare", "-n"], ["unshare", "-rn"]):
        try:
            if subprocess.run(prefix + ["true"], stderr=subprocess.DEVNULL, timeout=10).returncode == 0:
                return prefix
        except (OSError, subprocess.TimeoutExpired):
            pass
    return None


class NotifySocket:
    """systemd's end: datagrams with the sender's credentials."""

    def __init__(self, path):
        self.path = path
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_PASSCRED, 1)
        self.sock.bind(path)

    def close(self):
        self.sock.close()
        os.unlink(self.path)

    def receive(self, timeout):
        """(text, sender pid), or None when nothing arrives in `timeout` s."""
        self.sock.settimeout(max(timeout, 0.001))
        try:
            data, ancillary, _, _ = self.sock.recvmsg(4096, socket.CMSG_SPACE(struct.calcsize("3i")))
        except socket.timeout:
            return None
        pid = None
        for level, kind, payload in ancillary:
            if level == socket.SOL_SOCKET and kind == socket.SCM_CREDENTIALS:
                pid = struct.unpack("3i", payload[: struct.calcsize("3i")])[0]
        return data.decode(errors="replace"), pid

    def until(self, seconds, text=None):
        """Every (arrival time, text, pid) within `seconds`, or up to and
        including the first whose first line is `text` (None if it never
        comes)."""
        got, deadline = [], time.monotonic() + seconds
        while (left := deadline - time.monotonic()) > 0:
            message = self.receive(left)
            if message:
                got.append((time.monotonic(), *message))
                if text is not None and message[0].split("\n")[0] == text:
                    return got
        return None if text is not None else got


def write_config(work):
    path = os.path.join(work, "daemon.json")
    with open(path, "w") as f:
        f.write(
            """{
  "memberId": 1,
  "channels": [ { "intf": "Port-Channel1", "peerMemberId": 2,
                  "members": [ { "intf": "Ethernet1", "lagGroup": "A" } ] } ],
  "backupDir": "%(w)s/backup", "flashDir": "%(w)s/flash", "traceDir": "%(w)s/trace",
  "toggleDir": "%(w)s/toggles", "peerSyncPort": 0, "controlSocket": "%(w)s/control.sock"
}
"""
            % {"w": work}
        )
    return path


def start(daemon, config, prefix, notify_path, watchdog_usec=None, watchdog_pid="self", log=None):
    """The daemon, with WATCHDOG_PID set to its own pid ("self") the way
    systemd sets it, another pid, or not at all (None)."""
    env = {k: v for k, v in os.environ.items() if not k.startswith(("NOTIFY_", "WATCHDOG_"))}
    if notify_path is not None:
        env["NOTIFY_SOCKET"] = notify_path
    if watchdog_usec is not None:
        env["WATCHDOG_USEC"] = str(watchdog_usec)
    if watchdog_pid not in (None, "self"):
        env["WATCHDOG_PID"] = str(watchdog_pid)
    # exec keeps the pid: unshare without --fork execs the daemon in place.
    own_pid = 'export WATCHDOG_PID=$$; ' if watchdog_pid == "self" else ""
    command = own_pid + 'exec "$@"'
    return subprocess.Popen(
        ["sh", "-c", command, "sh"] + prefix + [daemon, "--config", config],
        env=env, stdout=log, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)


def stop(proc, name):
    proc.send_signal(signal.SIGTERM)
    try:
        rc = proc.wait(timeout=20)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()
        fail(f"{name}: the daemon did not stop within 20 s of SIGTERM")
        return
    if rc != 0:
        fail(f"{name}: exit code {rc} after SIGTERM, not 0")


def texts(messages):
    return [m[1] for m in messages]


# name, WATCHDOG_USEC, WATCHDOG_PID, keep-alive period expected (s, None: none),
# what stderr must say on exactly one line (None: nothing about systemd),
# whether NOTIFY_SOCKET names a socket that is there
CASES = [
    ("watchdog of 400 ms", 400000, "self", 0.2, None, True),
    ("no watchdog", None, "self", None, None, True),
    ("watchdog of another process", 400000, 1, None, None, True),
    ("watchdog interval that does not parse", "soon", "self", None, "ignoring the systemd watchdog setting", True),
    # Said once, and the daemon runs on.
    ("notification socket that does not exist", 200000, "self", None, "cannot notify systemd", False),
]


def notifications(notify, proc, name, period):
    got = notify.until(20, "READY=1")
    if got is None:
        return fail(f"{name}: no READY=1 within 20 s")
    if texts(got) != ["READY=1"]:
        fail(f"{name}: before READY=1 came {texts(got)[:-1]}")
    seen = notify.until(1.0)
    keep_alives = [m for m in seen if m[1] == "WATCHDOG=1"]
    if period is None and keep_alives:
        fail(f"{name}: {len(keep_alives)} WATCHDOG=1 without a watchdog for this process")
    elif period is not None:
        # 1 s at one every 0.2 s: about five; a loaded machine may run
        # late, never early.
        if len(keep_alives) < 3:
            fail(f"{name}: {len(keep_alives)} WATCHDOG=1 in 1 s, not about {1 / period:.0f}")
        gaps = [b[0] - a[0] for a, b in zip(keep_alives, keep_alives[1:])]
        if any(g < period * 0.6 or g > period * 2.5 for g in gaps):
            fail(f"{name}: keep-alives {['%.3f' % g for g in gaps]} s apart, not about {period} s")
    others = [m[1] for m in seen if m[1] != "WATCHDOG=1"]
    if others:
        fail(f"{name}: unexpected notifications while running: {others}")

    proc.send_signal(signal.SIGHUP)
    reload = notify.until(10, "READY=1")
    if reload is None:
        fail(f"{name}: no READY=1 within 10 s of SIGHUP")
    else:
        reload_texts = [t for t in texts(reload) if t != "WATCHDOG=1"]
        first = reload_texts[0].split("\n")
        if len(reload_texts) != 2 or first[0] != "RELOADING=1":
            fail(f"{name}: SIGHUP gives {reload_texts}, not RELOADING=1 then READY=1")
        stamp = [line for line in first if line.startswith("MONOTONIC_USEC=")]
        if not stamp or abs(int(stamp[0].split("=")[1]) / 1e6 - time.monotonic()) > 5:
            fail(f"{name}: RELOADING=1 without a MONOTONIC_USEC near now: {first}")
        seen += reload

    proc.send_signal(signal.SIGTERM)
    stopping = notify.until(20, "STOPPING=1")
    if stopping is None:
        fail(f"{name}: no STOPPING=1 within 20 s of SIGTERM")
    else:
        seen += stopping
        after = notify.until(max(period or 0, 0.2) * 2)
        if after:
            fail(f"{name}: notifications after STOPPING=1: {texts(after)}")
    strangers = {sender for _, _, sender in seen} - {proc.pid}
    if strangers:
        fail(f"{name}: notifications from pids {strangers}, not only the daemon's {proc.pid}")


def run_case(daemon, config, prefix, work, case):
    name, usec, wd_pid, period, says, reachable = case
    notify = NotifySocket(os.path.join(work, "notify"))
    log_path = os.path.join(work, "daemon.log")
    with open(log_path, "w") as log:
        proc = start(daemon, config, prefix, notify.path if reachable else os.path.join(work, "absent"), usec, wd_pid, log)
    try:
        if reachable:
            notifications(notify, proc, name, period)
        else:
            time.sleep(1.5)
            if proc.poll() is not None:
                fail(f"{name}: the daemon exited with {proc.returncode}")
        if reachable or proc.poll() is None:
            stop(proc, name)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
        notify.close()
    with open(log_path) as f:
        log = f.read()
    said = [line for line in log.splitlines() if says and says in line]
    if says and len(said) != 1:
        fail(f"{name}: {len(said)} lines of stderr say {says!r}, not one: {log[:400]!r}")
    if not says and "systemd" in log:
        fail(f"{name}: stderr complains: {log[:400]!r}")


def main():
    if len(sys.argv) != 2:
        print("usage: systemd_notify.py VORNFABRICLLDPD", file=sys.stderr)
        return 2
    daemon = os.path.realpath(sys.argv[1])
    prefix = namespace_prefix()
    if prefix is None:
        print("SKIP: this machine cannot create a network namespace (unshare -n, unshare -rn)")
        return SKIP
    work = tempfile.mkdtemp(prefix="vorn-notify.")
    try:
        config = write_config(work)
        for case in CASES:
            run_case(daemon, config, prefix, work, case)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    if failures:
        print(f"{len(failures)} failures")
        return 1
    print("systemd notifications: all cases pass")
    return 0


if __name__ == "__main__":
    sys.exit(main())

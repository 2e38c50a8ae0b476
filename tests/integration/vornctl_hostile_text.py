#!/usr/bin/env python3
"""vornctl prints what neighbours chose without letting it drive the terminal.

    vornctl_hostile_text.py VORNCTL

A neighbour's system name is whatever an LLDP frame on the link said. A
stand-in daemon on a UNIX socket answers vornctl with such names: escape
sequences that would clear the screen or retitle the window, a line break
that would forge a row, a C1 control. Whatever vornctl prints (tables, the
watch stream, --json) must hold no control character but the line ends, and
one line per row.
"""
import json
import os
import socket
import subprocess
import sys
import tempfile
import threading

vornctl = os.path.realpath(sys.argv[1])
failures = []

EVIL = "evil\x1b[2J\x1b]0;owned\x07\nEthernet9  9  forged\u009b31m\x7f"
NEIGHBOR = {"index": 1, "chassisId": "02:00:00:00:00:02", "portId": "Ethernet1", "systemName": EVIL,
            "ttlLeft": 100, "vornTlv": None}
EVENT = {"time": 1.5, "switch": "1", "type": "neighborAdded", "intf": "Ethernet1", "index": "1",
         "chassisId": "02:00:00:00:00:02", "portId": "Ethernet1", "systemName": EVIL, "ttl": "120"}

# The request's command -> the lines the stand-in answers with.
ANSWERS = {
    "show": [{"ok": True, "neighbors": [{"intf": "Ethernet1", "neighbors": [NEIGHBOR]}]}],
    "history": [{"ok": True, "history": [{"intf": "Ethernet1", "events": [EVENT]}]}],
    "watch": [{"ok": True}, EVENT],
}


def serve(listener):
    while True:
        try:
            conn, _ = listener.accept()
        except OSError:
            return
        with conn:
            request = json.loads(conn.makefile().readline())
            for line in ANSWERS[request["command"]]:
                conn.sendall((json.dumps(line, ensure_ascii=False) + "\n").encode())


def check(args, rows, rc=0):
    what = "vornctl " + " ".join(args)
    run = subprocess.run([vornctl, "--socket", sock] + args, capture_output=True, timeout=20)
    if run.returncode != rc:
        failures.append(f"{what}: exit code {run.returncode}, not {rc}: {run.stderr.decode(errors='replace')}")
        return
    out = run.stdout.decode()
    controls = sorted({c for c in out if (ord(c) < 0x20 and c != "\n") or 0x7f <= ord(c) <= 0x9f})
    if controls:
        failures.append(f"{what}: prints control characters {[hex(ord(c)) for c in controls]}")
    lines = out.splitlines()
    if rows is not None and len(lines) != rows:
        failures.append(f"{what}: {len(lines)} lines, not {rows}: {lines}")
    # What the name held is still there to read, shown as escapes.
    shown = "\\x1b[2J" if rows is not None else "\\u001b[2J"
    if shown not in out:
        failures.append(f"{what}: does not show the name's escape as {shown}: {out!r}")


work = tempfile.mkdtemp(prefix="vorn-vornctl-")
sock = os.path.join(work, "control.sock")
listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
listener.bind(sock)
listener.listen(8)
threading.Thread(target=serve, args=(listener,), daemon=True).start()

check(["show", "neighbors"], rows=2)   # the heading and one neighbour
check(["history"], rows=2)             # the heading and one event
# One event, then the stand-in hangs up: a watch that ends that way exits 3.
check(["watch"], rows=1, rc=3)
check(["--json", "show", "neighbors"], rows=None)
check(["--json", "watch"], rows=None, rc=3)

listener.close()
os.unlink(sock)
os.rmdir(work)
for f in failures:
    print("FAIL:", f)
sys.exit(1 if failures else 0)

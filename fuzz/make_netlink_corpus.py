#!/usr/bin/env python3
"""Writes the corpora of the netlink fuzz target.

seed/: datagrams captured from this machine's kernel over route netlink:
  dump-host-N.bin     the answer to a link dump of the machine's own namespace
  dump-scratch-N.bin  the same in a scratch namespace holding a veth pair and
                      a bridge with one port (that bridge's per-port messages
                      are of the AF_BRIDGE family)
  event-NN-WHAT.bin   link events the kernel sent in the scratch namespace
                      while the links were made, brought up, renamed,
                      re-addressed, enslaved and deleted (RTM_NEWLINK and
                      RTM_DELLINK)
regression/: crafted datagrams, one per file, named after what is unusual
  about them: truncated headers, lengths past the end or below a header,
  attribute lengths 0 to 3, nested attributes running past their parent,
  error and done messages with short payloads, unpadded last messages.

The scratch namespace needs root (unshare --net); without it only the host
dump and the regression corpus are written. Run from anywhere:
    python3 fuzz/make_netlink_corpus.py
"""

import os
import select
import socket
import struct
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
SEED = os.path.join(HERE, "corpus", "netlink", "seed")
REGRESSION = os.path.join(HERE, "corpus", "netlink", "regression")

NLMSG_ERROR, NLMSG_DONE = 2, 3
RTM_NEWLINK, RTM_DELLINK, RTM_GETLINK, RTM_NEWADDR = 16, 17, 18, 20
NLM_F_REQUEST, NLM_F_MULTI, NLM_F_DUMP, NLM_F_DUMP_INTR = 0x1, 0x2, 0x300, 0x10
RTMGRP_LINK = 1
AF_UNSPEC, AF_BRIDGE = 0, 7
IFLA_ADDRESS, IFLA_IFNAME, IFLA_MTU, IFLA_OPERSTATE, IFLA_LINKINFO = 1, 3, 4, 16, 18
IFLA_INFO_KIND = 1
NLA_F_NESTED = 0x8000
IFF_UP, IFF_RUNNING, IFF_LOWER_UP = 0x1, 0x40, 0x10000
IF_OPER_UP = 6


def write(directory, name, data):
    os.makedirs(directory, exist_ok=True)
    with open(os.path.join(directory, name), "wb") as f:
        f.write(data)


# --- Capturing from the kernel -------------------------------------------

def receive_all(sock, timeout):
    """Every datagram that arrives until `timeout` seconds pass without one."""
    out = []
    while select.select([sock], [], [], timeout)[0]:
        out.append(sock.recv(1 << 16))
    return out


def dump_links():
    """The datagrams of one link dump, up to and including NLMSG_DONE."""
    sock = socket.socket(socket.AF_NETLINK, socket.SOCK_RAW, socket.NETLINK_ROUTE)
    request = struct.pack("=IHHII", 32, RTM_GETLINK, NLM_F_REQUEST | NLM_F_DUMP, 1, 0)
    request += struct.pack("=BxHiII", AF_UNSPEC, 0, 0, 0, 0)
    sock.sendto(request, (0, 0))
    datagrams = []
    while True:
        data = sock.recv(1 << 16)
        datagrams.append(data)
        if len(data) >= 6 and struct.unpack_from("=H", data, 4)[0] in (NLMSG_DONE, NLMSG_ERROR):
            break
        # The last message of a datagram tells whether the dump goes on.
        if any(t in (NLMSG_DONE, NLMSG_ERROR) for t in message_types(data)):
            break
    sock.close()
    return datagrams


def message_types(data):
    types, offset = [], 0
    while offset + 16 <= len(data):
        length, kind = struct.unpack_from("=IH", data, offset)
        if length < 16:
            break
        types.append(kind)
        offset += (length + 3) & ~3
    return types


def capture_scratch():
    """Runs inside a fresh network namespace (see main)."""
    events = socket.socket(socket.AF_NETLINK, socket.SOCK_RAW, socket.NETLINK_ROUTE)
    events.bind((0, RTMGRP_LINK))
    steps = [
        ("veth-add", "ip link add va address 02:00:00:00:0a:01 type veth peer name vb address 02:00:00:00:0b:01"),
        ("up", "ip link set va up && ip link set vb up && ip link set lo up"),
        ("rename", "ip link set va down && ip link set va name vc && ip link set vc up"),
        ("readdress", "ip link set dev vb address 02:00:00:00:0b:02"),
        ("bridge-add", "ip link add br0 type bridge && ip link set br0 up"),
        ("bridge-port", "ip link set vb master br0"),
    ]
    count = 0
    for what, command in steps:
        if subprocess.call(command, shell=True, stderr=subprocess.DEVNULL) != 0:
            print(f"netlink corpus: '{command}' failed; its events are left out", file=sys.stderr)
            continue
        for data in receive_all(events, 0.2):
            count += 1
            write(SEED, f"event-{count:02d}-{what}.bin", data)
    for i, data in enumerate(dump_links(), 1):
        write(SEED, f"dump-scratch-{i}.bin", data)
    for what, command in [("bridge-del", "ip link del br0"), ("veth-del", "ip link del vc")]:
        if subprocess.call(command, shell=True, stderr=subprocess.DEVNULL) != 0:
            continue
        for data in receive_all(events, 0.2):
            count += 1
            write(SEED, f"event-{count:02d}-{what}.bin", data)


# --- Crafted datagrams ----------------------------------------------------

def align(data):
    return data + b"\0" * (-len(data) % 4)


def attr(kind, payload, length=None):
    header = struct.pack("=HH", 4 + len(payload) if length is None else length, kind)
    return align(header + payload)


def name(text):
    return attr(IFLA_IFNAME, text.encode() + b"\0")


def message(kind, body, flags=0, length=None):
    total = 16 + len(body)
    return struct.pack("=IHHII", total if length is None else length, kind, flags, 1, 0) + body


def link(kind, index, attrs, family=AF_UNSPEC, ifflags=0, nlflags=0):
    body = struct.pack("=BxHiII", family, 1, index, ifflags, 0) + b"".join(attrs)
    return message(kind, body, nlflags)


def unpadded(msg, cut):
    """`msg` without its last `cut` bytes, its length saying so."""
    msg = msg[: len(msg) - cut]
    return struct.pack("=I", len(msg)) + msg[4:]


def control(kind, payload):
    """An error or done message, padded as the kernel pads every message."""
    return align(message(kind, payload))


def regression():
    good = link(RTM_NEWLINK, 2, [name("good"), attr(IFLA_OPERSTATE, bytes([IF_OPER_UP]))],
                ifflags=IFF_UP | IFF_RUNNING | IFF_LOWER_UP)
    cases = {}
    for n in (1, 10, 15):
        cases[f"truncated-header-{n}.bin"] = good[:n]
    cases["good-then-truncated-header.bin"] = good + good[:10]
    cases["length-past-end.bin"] = good + struct.pack("=I", 4096) + good[4:]
    cases["length-below-header.bin"] = struct.pack("=I", 8) + good[4:] + good
    cases["length-zero.bin"] = struct.pack("=I", 0) + good[4:]
    # Found by the fuzzer: lengths that are negative as an int passed
    # libmnl's message check, and the walk jumped that far.
    cases["fuzz-length-2-31.bin"] = good + struct.pack("=I", 0x80000000) + good[4:] + good
    cases["fuzz-length-2-32-minus-4.bin"] = good + struct.pack("=I", 0xfffffffc) + good[4:] + good
    for n in range(4):
        bad = link(RTM_NEWLINK, 3, [name("bad")])
        first = 32
        bad = bad[:first] + struct.pack("=H", n) + bad[first + 2:]
        cases[f"attr-length-{n}.bin"] = bad + good
    cases["attr-past-message.bin"] = link(RTM_NEWLINK, 3, [name("bad"), attr(IFLA_MTU, b"\0" * 4, length=200)]) + good
    # A nested attribute whose first inner attribute claims more than its
    # parent holds, though less than the message: the parser does not look
    # inside, so the link stands.
    inner = struct.pack("=HH", 40, IFLA_INFO_KIND) + b"veth"
    cases["nested-past-parent.bin"] = link(RTM_NEWLINK, 4, [name("nest0"), attr(IFLA_LINKINFO | NLA_F_NESTED, inner),
                                                            attr(IFLA_MTU, b"\0" * 32)]) + good
    cases["nested-past-message.bin"] = link(RTM_NEWLINK, 4, [name("nest1"),
                                                             attr(IFLA_LINKINFO | NLA_F_NESTED, inner, length=300)]) + good
    for n in (0, 2):
        cases[f"error-payload-{n}.bin"] = control(NLMSG_ERROR, b"\xff" * n) + good
        cases[f"done-payload-{n}.bin"] = good + control(NLMSG_DONE, b"\xff" * n)
    # Found by the fuzzer: an error code whose negation overflows.
    cases["fuzz-error-code-int-min.bin"] = control(NLMSG_ERROR, struct.pack("=i", -2**31)) + good
    cases["fuzz-done-code-int-min.bin"] = good + control(NLMSG_DONE, struct.pack("=i", -2**31))
    cases["error-eperm-then-link.bin"] = control(NLMSG_ERROR, struct.pack("=i", -1) + b"\0" * 16) + good
    cases["done-eintr-interrupted.bin"] = good + message(NLMSG_DONE, struct.pack("=i", -4), NLM_F_MULTI | NLM_F_DUMP_INTR)
    cases["done-then-more.bin"] = good + control(NLMSG_DONE, struct.pack("=i", 0)) + good
    three = link(RTM_NEWLINK, 5, [attr(IFLA_IFNAME, b"abc")])
    cases["unpadded-last-message.bin"] = good + unpadded(three, 1)
    for n in (1, 2, 3):
        tail = struct.pack("=HH", 4, IFLA_MTU)[:n]
        msg = link(RTM_NEWLINK, 6, [name("et6")]) + tail
        cases[f"ends-in-attr-header-{n}.bin"] = struct.pack("=I", len(msg)) + msg[4:]
    cases["deletion-long-name.bin"] = link(RTM_DELLINK, 7, [name("abcdefghijklmnopqrstuvwxyz"),
                                                            attr(IFLA_ADDRESS, bytes(range(6)))])
    cases["name-16-bytes.bin"] = link(RTM_NEWLINK, 8, [name("abcdefghijklmnop")]) + good
    cases["name-15-bytes.bin"] = link(RTM_NEWLINK, 8, [name("abcdefghijklmno")]) + good
    cases["name-empty-attribute.bin"] = link(RTM_NEWLINK, 8, [attr(IFLA_IFNAME, b"")]) + good
    cases["name-only-nul.bin"] = link(RTM_NEWLINK, 8, [attr(IFLA_IFNAME, b"\0")]) + good
    cases["name-nul-inside.bin"] = link(RTM_NEWLINK, 8, [attr(IFLA_IFNAME, b"ab\0cd\0")]) + good
    cases["operstate-0-bytes.bin"] = link(RTM_NEWLINK, 9, [name("op0"), attr(IFLA_OPERSTATE, b"")]) + good
    cases["operstate-2-bytes.bin"] = link(RTM_NEWLINK, 9, [name("op2"), attr(IFLA_OPERSTATE, b"\x06\x00")]) + good
    cases["address-4-bytes.bin"] = link(RTM_NEWLINK, 9, [name("tun0"), attr(IFLA_ADDRESS, b"\x0a\0\0\x01")])
    cases["index-zero.bin"] = link(RTM_NEWLINK, 0, [name("zero")]) + good
    cases["index-negative.bin"] = link(RTM_NEWLINK, -5, [name("neg")]) + good
    cases["bridge-family.bin"] = link(RTM_DELLINK, 10, [name("et10")], family=AF_BRIDGE) + good
    cases["other-type.bin"] = link(RTM_NEWADDR, 11, [name("et11")]) + good
    cases["link-header-short.bin"] = message(RTM_NEWLINK, struct.pack("=i", 5)) + good
    for name_, data in cases.items():
        write(REGRESSION, name_, data)
    return len(cases)


def main():
    if len(sys.argv) > 1 and sys.argv[1] == "--scratch":
        capture_scratch()
        return
    for i, data in enumerate(dump_links(), 1):
        write(SEED, f"dump-host-{i}.bin", data)
    if subprocess.call(["unshare", "--net", sys.executable, os.path.abspath(__file__), "--scratch"]) != 0:
        print("netlink corpus: no scratch namespace (needs root); its dumps and events are left out", file=sys.stderr)
    n = regression()
    print(f"netlink corpus: {len(os.listdir(SEED))} seed files, {n} regression files")


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""Writes the LLDPDU fuzzer's committed corpora.

seed/        valid frames: what our engine sends (byte for byte what the
             encoder produces; FuzzCorpusTest checks that) and typical frames
             of other LLDP senders, with the optional TLVs they carry.
regression/  malformed or unusual frames, one per file, and EXPECTED.txt,
             which says what the decoder must do with each: "reject REASON"
             or "accept" (or "shutdown": accepted as a shutdown LLDPDU),
             with the TLVs left out and not known ("accept tlvsDiscarded=1").

Files in regression/ that this script does not make (reproducers the fuzzer
found) keep their EXPECTED.txt lines. Run it again after changing it:

    python3 fuzz/make_lldpdu_corpus.py
"""

import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
SEED = os.path.join(HERE, "corpus", "lldpdu", "seed")
REGRESSION = os.path.join(HERE, "corpus", "lldpdu", "regression")

NEAREST_BRIDGE = bytes.fromhex("0180c200000e")
NEAREST_NON_TPMR = bytes.fromhex("0180c2000003")
OUR_MAC = bytes.fromhex("02766f720001")
PEER_MAC = bytes.fromhex("02766f720002")
OTHER_MAC = bytes.fromhex("001c73a1b2c3")
LLDP = 0x88CC
VORN_OUI = bytes.fromhex("02766f")


def eth(src=OUR_MAC, dst=NEAREST_BRIDGE, ethertype=LLDP):
    return dst + src + struct.pack("!H", ethertype)


def tlv(type_, value, length=None):
    """A TLV; `length` overrides the header's length field (for lies)."""
    n = len(value) if length is None else length
    assert type_ < 128 and n < 512
    return struct.pack("!H", type_ << 9 | n) + value


def chassis(id_, subtype=4):
    return tlv(1, bytes([subtype]) + id_)


def port(id_, subtype=5):
    return tlv(2, bytes([subtype]) + id_)


def ttl(seconds):
    return tlv(3, struct.pack("!H", seconds))


def org(oui, subtype, payload):
    return tlv(127, oui + bytes([subtype]) + payload)


def vorn(member, role, expected, received, flags):
    return org(VORN_OUI, 1, bytes([member, role, expected, received, flags]))


def hold_ms(ms):
    return org(VORN_OUI, 2, struct.pack("!I", ms))


END = tlv(0, b"")


def pad(frame):
    return frame + bytes(max(0, 60 - len(frame)))


def ours(chassis_id=OUR_MAC, port_id=b"Ethernet1", ttl_s=1, name=None, vorn_tlv=None, hold=None, src=OUR_MAC):
    """A frame as our encoder lays it out: mandatory TLVs, system name, Vorn
    TLV, exact hold time, End, zero padding to 60 bytes."""
    body = chassis(chassis_id, 4) + port(port_id, 5) + ttl(ttl_s)
    if name is not None:
        body += tlv(5, name)
    if vorn_tlv is not None:
        body += vorn(*vorn_tlv)
    if hold is not None:
        body += hold_ms(hold)
    return pad(eth(src) + body + END)


# Optional TLVs of a typical standard sender.
def port_description(text):
    return tlv(4, text)


def system_name(text):
    return tlv(5, text)


def system_description(text):
    return tlv(6, text)


def capabilities(system, enabled):
    return tlv(7, struct.pack("!HH", system, enabled))


def mgmt_ipv4(addr, ifindex, oid=b""):
    # Address string length (subtype + address), subtype 1 (IPv4), address,
    # interface numbering subtype 2 (ifIndex), interface number, OID.
    return tlv(8, bytes([5, 1]) + bytes(addr) + bytes([2]) + struct.pack("!I", ifindex) + bytes([len(oid)]) + oid)


def mgmt_ipv6(addr16, ifindex):
    return tlv(8, bytes([17, 2]) + addr16 + bytes([2]) + struct.pack("!I", ifindex) + bytes([0]))


def dot1_port_vlan(vid):
    return org(bytes.fromhex("0080c2"), 1, struct.pack("!H", vid))


def dot1_vlan_name(vid, name):
    return org(bytes.fromhex("0080c2"), 3, struct.pack("!H", vid) + bytes([len(name)]) + name)


def dot3_mac_phy(autoneg, pmd, mau):
    return org(bytes.fromhex("00120f"), 1, bytes([autoneg]) + struct.pack("!HH", pmd, mau))


def dot3_max_frame(size):
    return org(bytes.fromhex("00120f"), 4, struct.pack("!H", size))


def seeds():
    std_mandatory = chassis(OTHER_MAC, 4) + port(b"ge-0/0/7", 5) + ttl(120)
    return {
        # Our engine: member with the Vorn TLV and the exact hold time.
        "vorn-member-tlv.bin": ours(vorn_tlv=(1, 1, 2, 2, 0x01), hold=300),
        # A candidate that has heard nobody yet, single-link bit, 120 s hold time.
        "vorn-candidate-single-link.bin": ours(ttl_s=120, vorn_tlv=(3, 0, 0, 0, 0x02), hold=120000,
                                               src=PEER_MAC, chassis_id=PEER_MAC, port_id=b"Ethernet49/1"),
        # A port that sends no Vorn TLV, with a system name.
        "vorn-no-tlv-named.bin": ours(ttl_s=2, name=b"vorn-sw1", hold=1500),
        # The shutdown LLDPDU our engine sends when a port stops: TTL 0 and
        # nothing but the mandatory TLVs.
        "vorn-shutdown.bin": ours(ttl_s=0),
        # Identifiers as long as they can be (255 bytes each).
        "vorn-longest-identifiers.bin": ours(chassis_id=b"c" * 255, port_id=b"p" * 255, vorn_tlv=(1, 1, 2, 0, 0),
                                             hold=300),
        # Other senders.
        "std-minimal.bin": pad(eth(OTHER_MAC) + std_mandatory + END),
        "std-full.bin": pad(
            eth(OTHER_MAC) + std_mandatory + port_description(b"uplink to spine-2") + system_name(b"leaf-17.lab") +
            system_description(b"Example switch OS 4.2, build 1187") + capabilities(0x0014, 0x0014) +
            mgmt_ipv4([192, 0, 2, 17], 1007) + dot1_port_vlan(10) + dot1_vlan_name(10, b"servers") +
            dot3_mac_phy(0x03, 0x6c01, 30) + dot3_max_frame(9216) + END),
        "std-mgmt-ipv6-locally-assigned.bin": pad(
            eth(OTHER_MAC, dst=NEAREST_NON_TPMR) + chassis(b"rack4-tor", 7) + port(b"17", 7) + ttl(3600) +
            mgmt_ipv6(bytes.fromhex("20010db8000000000000000000000011"), 17) + system_name(b"rack4-tor") + END),
        "std-host-agent.bin": pad(
            eth(OTHER_MAC) + chassis(bytes.fromhex("0a00020f"), 5) + port(OTHER_MAC, 3) + ttl(20) +
            system_name(b"compute-3") + capabilities(0x0080, 0x0080) + END),
    }


def regressions():
    m = chassis(OUR_MAC) + port(b"Ethernet1") + ttl(1)
    h = eth()
    full = ours(vorn_tlv=(1, 1, 2, 2, 1), hold=300)
    id256 = b"x" * 256
    other_oui = bytes.fromhex("00120f")

    # An LLDPDU of 1501 bytes made of organisationally specific TLVs.
    too_long = h + m
    while len(too_long) - 14 < 1501:
        too_long += org(other_oui, 9, b"\0" * 200)
    too_long = too_long[:14 + 1501]

    cases = [
        # Truncation.
        ("truncated-in-ethernet-header.bin", full[:9], "reject truncatedFrame"),
        ("truncated-after-ethertype.bin", full[:14], "reject missingChassisId"),
        ("truncated-in-chassis-id-header.bin", h + m[:1], "reject truncatedFrame"),
        ("truncated-in-chassis-id-value.bin", h + m[:5], "reject tlvPastEnd"),
        ("truncated-in-ttl-value.bin", h + m[:-1], "reject tlvPastEnd"),
        ("truncated-in-vorn-tlv.bin", full[:14 + len(m) + 6], "reject tlvPastEnd"),
        ("truncated-after-port-id.bin", h + m[:-4], "reject missingTtl"),
        # Lengths that do not fit.
        ("system-name-length-past-end.bin", h + m + tlv(5, b"abc", length=200), "reject tlvPastEnd"),
        ("org-tlv-length-511-past-end.bin", h + m + tlv(127, other_oui + b"\x01" + b"\0" * 100, length=511),
         "reject tlvPastEnd"),
        ("lldpdu-of-1501-bytes.bin", too_long, "reject frameTooLong"),
        # Identifiers.
        ("chassis-id-empty.bin", pad(h + tlv(1, b"\x04") + port(b"Ethernet1") + ttl(1) + END),
         "reject badChassisIdLength"),
        ("chassis-id-tlv-length-0.bin", pad(h + tlv(1, b"") + port(b"Ethernet1") + ttl(1) + END),
         "reject badChassisIdLength"),
        ("port-id-empty.bin", pad(h + chassis(OUR_MAC) + tlv(2, b"\x05") + ttl(1) + END), "reject badPortIdLength"),
        # 256 identifier bytes make a 257-byte TLV value, one more than the
        # subtype and 255 bytes an identifier may have.
        ("chassis-id-256-bytes.bin", h + chassis(id256, 7) + port(b"Ethernet1") + ttl(1) + END,
         "reject badChassisIdLength"),
        ("port-id-256-bytes.bin", h + chassis(OUR_MAC) + port(id256, 7) + ttl(1) + END, "reject badPortIdLength"),
        ("chassis-id-reserved-subtype-0.bin", pad(h + chassis(OUR_MAC, 0) + port(b"Ethernet1") + ttl(1) + END),
         "reject reservedSubtype"),
        ("port-id-reserved-subtype-8.bin", pad(h + chassis(OUR_MAC) + port(b"Ethernet1", 8) + ttl(1) + END),
         "reject reservedSubtype"),
        # A system name is at most 255 bytes; the 9-bit length allows 511.
        ("system-name-of-255-bytes.bin", h + m + system_name(b"n" * 255) + END, "accept"),
        ("system-name-of-256-bytes.bin", h + m + system_name(b"n" * 256) + END, "accept tlvsDiscarded=1"),
        ("system-name-of-511-bytes.bin", h + m + system_name(b"n" * 511) + END, "accept tlvsDiscarded=1"),
        # Mandatory TLVs missing, out of order, repeated.
        ("no-tlvs-only-end.bin", pad(h + END), "reject missingChassisId"),
        ("chassis-id-missing.bin", pad(h + port(b"Ethernet1") + ttl(1) + END), "reject missingChassisId"),
        ("port-id-missing.bin", pad(h + chassis(OUR_MAC) + ttl(1) + END), "reject missingPortId"),
        ("ttl-missing.bin", pad(h + chassis(OUR_MAC) + port(b"Ethernet1") + END), "reject missingTtl"),
        ("ttl-missing-system-name-instead.bin",
         pad(h + chassis(OUR_MAC) + port(b"Ethernet1") + system_name(b"sw1") + END), "reject missingTtl"),
        ("port-id-before-chassis-id.bin", pad(h + port(b"Ethernet1") + chassis(OUR_MAC) + ttl(1) + END),
         "reject missingChassisId"),
        ("ttl-before-port-id.bin", pad(h + chassis(OUR_MAC) + ttl(1) + port(b"Ethernet1") + END),
         "reject missingPortId"),
        ("ttl-first.bin", pad(h + ttl(1) + chassis(OUR_MAC) + port(b"Ethernet1") + END), "reject missingChassisId"),
        ("ttl-twice.bin", pad(h + m + ttl(1) + END), "reject duplicateMandatoryTlv"),
        ("ttl-twice-after-optional-tlvs.bin", pad(h + m + system_name(b"sw1") + hold_ms(300) + ttl(0) + END),
         "reject duplicateMandatoryTlv"),
        ("chassis-id-twice.bin", pad(h + m + chassis(OUR_MAC) + END), "reject duplicateMandatoryTlv"),
        ("port-id-twice.bin", pad(h + m + port(b"Ethernet2") + END), "reject duplicateMandatoryTlv"),
        ("ttl-of-3-bytes.bin", pad(h + chassis(OUR_MAC) + port(b"Ethernet1") + tlv(3, b"\0\1\0") + END),
         "reject badTtlLength"),
        ("ttl-of-1-byte.bin", pad(h + chassis(OUR_MAC) + port(b"Ethernet1") + tlv(3, b"\1") + END),
         "reject badTtlLength"),
        # Organisationally specific TLVs.
        ("org-tlv-without-subtype.bin", pad(h + m + tlv(127, VORN_OUI) + END), "accept tlvsDiscarded=1"),
        ("vorn-tlv-6-bytes.bin", pad(h + m + org(VORN_OUI, 1, bytes([1, 1, 2, 2, 1, 0])) + END),
         "accept tlvsDiscarded=1"),
        ("vorn-tlv-4-bytes.bin", pad(h + m + org(VORN_OUI, 1, bytes([1, 1, 2, 2])) + END), "accept tlvsDiscarded=1"),
        ("vorn-tlv-of-507-bytes.bin", h + m + org(VORN_OUI, 1, b"\1" * 507) + END, "accept tlvsDiscarded=1"),
        ("hold-time-2-bytes.bin", pad(h + m + org(VORN_OUI, 2, b"\x01\x2c") + END), "accept tlvsDiscarded=1"),
        # Our own TLVs repeated: the first counts, the others are left out.
        ("vorn-tlv-twice.bin", pad(h + m + vorn(1, 1, 2, 2, 1) + vorn(3, 1, 2, 2, 1) + END),
         "accept tlvsDiscarded=1"),
        ("hold-time-twice.bin", pad(h + m + hold_ms(300) + hold_ms(0xFFFFFFFF) + END), "accept tlvsDiscarded=1"),
        # An exact hold time of 49.7 days under a TTL of 1 s: taken, and
        # bounded by the TTL.
        ("hold-time-max-under-ttl-1.bin", pad(h + m + hold_ms(0xFFFFFFFF) + END), "accept"),
        # The 9-bit length caps an organisationally specific information
        # string at 507 bytes (511 less OUI and subtype); the longest one is
        # well-formed, and unrecognised.
        ("org-tlv-of-507-bytes.bin", h + m + org(other_oui, 9, b"\xaa" * 507) + END, "accept tlvsUnrecognized=1"),
        # End Of LLDPDU.
        ("end-with-length-2.bin", pad(h + m + tlv(0, b"\0\0")), "accept tlvsDiscarded=1"),
        # Optional TLVs of the standard with lengths their definitions forbid.
        ("port-description-of-256-bytes.bin", h + m + port_description(b"d" * 256) + END, "accept tlvsDiscarded=1"),
        ("system-description-of-256-bytes.bin", h + m + system_description(b"d" * 256) + END,
         "accept tlvsDiscarded=1"),
        ("capabilities-of-3-bytes.bin", pad(h + m + tlv(7, b"\x00\x14\x00") + END), "accept tlvsDiscarded=1"),
        ("capabilities-of-5-bytes.bin", pad(h + m + tlv(7, b"\x00\x14\x00\x14\x00") + END),
         "accept tlvsDiscarded=1"),
        ("mgmt-address-of-8-bytes.bin", pad(h + m + tlv(8, bytes([2, 1, 10, 2, 0, 0, 0, 1])) + END),
         "accept tlvsDiscarded=1"),
        ("mgmt-address-of-168-bytes.bin", h + m + tlv(8, bytes([5, 1, 10, 0, 0, 1, 2, 0, 0, 0, 1, 129]) + b"\1" * 156)
         + END, "accept tlvsDiscarded=1"),
        ("mgmt-address-string-past-tlv.bin",
         pad(h + m + tlv(8, bytes([32, 1]) + b"\0" * 8) + END), "accept tlvsDiscarded=1"),
        ("mgmt-address-oid-length-disagrees.bin",
         pad(h + m + tlv(8, bytes([5, 1, 10, 0, 0, 1, 2, 0, 0, 0, 1, 3, 43])) + END), "accept tlvsDiscarded=1"),
        ("mgmt-address-twice.bin", pad(h + m + mgmt_ipv4([10, 0, 0, 1], 1) + mgmt_ipv4([10, 0, 0, 2], 1) + END),
         "accept"),
        ("system-name-twice.bin", pad(h + m + system_name(b"sw1") + system_name(b"sw2") + END),
         "accept tlvsDiscarded=1"),
        ("capabilities-twice.bin", pad(h + m + capabilities(4, 4) + capabilities(4, 0) + END),
         "accept tlvsDiscarded=1"),
        ("reserved-types-and-bad-tlvs.bin",
         pad(h + m + tlv(9, b"\xaa") + tlv(126, b"") + tlv(7, b"") + org(other_oui, 1, b"") + END),
         "accept tlvsDiscarded=1 tlvsUnrecognized=3"),
        # An LLDPDU that simply stops after its TLVs is taken whole; zero
        # padding after it reads as End Of LLDPDU TLVs.
        ("end-missing.bin", h + m + hold_ms(300), "accept"),
        ("end-missing-zero-padding.bin", pad(h + m), "accept"),
        # Padding that is not zero after the TLVs, without an End: read as a
        # TLV header whose length runs past the frame.
        ("end-missing-garbage-padding.bin", h + m + b"\xff" * 20, "reject tlvPastEnd"),
        ("garbage-after-end.bin", h + m + END + b"\xff" * 30, "accept"),
        # Not LLDP at all.
        ("ethertype-ipv4.bin", pad(eth(ethertype=0x0800) + m + END), "reject notLldp"),
        ("ethertype-vlan-tagged.bin", pad(eth(ethertype=0x8100) + b"\x00\x0a\x88\xcc" + m + END),
         "reject taggedFrame"),
        ("ethertype-qinq-tagged.bin", pad(eth(ethertype=0x88A8) + b"\x00\x0a\x88\xcc" + m + END),
         "reject taggedFrame"),
        ("ethertype-88cd.bin", pad(eth(ethertype=0x88CD) + m + END), "reject notLldp"),
        # TTL 0 from another sender, with optional TLVs after it: a shutdown.
        ("ttl-zero-with-optional-tlvs.bin",
         pad(eth(OTHER_MAC) + chassis(OTHER_MAC) + port(b"ge-0/0/7") + ttl(0) + system_name(b"leaf-17") + END),
         "shutdown"),
    ]
    return cases


def write(path, data):
    with open(path, "wb") as f:
        f.write(data)


def main():
    os.makedirs(SEED, exist_ok=True)
    os.makedirs(REGRESSION, exist_ok=True)
    for name, frame in seeds().items():
        write(os.path.join(SEED, name), frame)

    manifest = os.path.join(REGRESSION, "EXPECTED.txt")
    kept = []
    made = {name for name, _, _ in regressions()}
    if os.path.exists(manifest):
        with open(manifest) as f:
            for line in f:
                fields = line.split()
                if fields and not fields[0].startswith("#") and fields[0] not in made:
                    kept.append(line.rstrip("\n"))
    lines = [
        "# What the decoder must do with each file of this directory:",
        "#   NAME  reject REASON   refused for that reason (Codec::reasonName)",
        "#   NAME  accept [tlvsDiscarded=N] [tlvsUnrecognized=N]",
        "#                         decoded, with N optional TLVs left out and N not known (0 when not given)",
        "#   NAME  shutdown        decoded as a shutdown LLDPDU (TTL 0)",
        "# Made by make_lldpdu_corpus.py, except the fuzzer's findings at the end.",
    ]
    for name, frame, outcome in regressions():
        write(os.path.join(REGRESSION, name), frame)
        lines.append(f"{name}  {outcome}")
    with open(manifest, "w") as f:
        if kept:
            lines += ["", "# Found by the fuzzer; kept as it found them (minimised)."] + kept
        f.write("\n".join(lines) + "\n")


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""Writes the seed corpus of the agent fuzz target: small programs (the
format is at the top of fuzz/agent_fuzz.cpp) that drive member 1's agent
through the life of a backplane channel. Each ends with expectations of the
negotiation states it reaches, which the corpus replay checks, so a seed
that stops reaching its states fails the test instead of silently fuzzing
less of the agent.

    python3 fuzz/make_agent_corpus.py
"""

import os

HERE = os.path.dirname(os.path.abspath(__file__))
SEED = os.path.join(HERE, "corpus", "agent", "seed")

# Negotiation states.
DOWN, UP, STARTED, PENDING, CONFIRMED, WAIT_SSR, WAIT_ASICS, NONE = range(8)


# What the local backup holds for a member interface when the agent starts.
FRESH, RESTORED_CONFIRMED, RESTORED_WAIT_SSR, RESTORED_WITH_TLV = range(4)


def head(members=1, toggles_off=0, no_peer=False, peer_asics_cold=False, restored=()):
    backup = 0
    for i, code in enumerate(restored):
        backup |= code << (2 * i)
    return [toggles_off | (members - 1) << 4 | (0x40 if no_peer else 0) | (0x80 if peer_asics_cold else 0), backup]


# Frame bytes: kind, sender, TLV member ID, role, expected, received, flags,
# spare. Zeros pick the common values: member 2's MAC and the facing
# interface's name, a TLV from member 2 (role member) that expects member 1
# and has heard it, a 300 ms hold time.
def peer(kind=0, sender=0, member=0, role=0, expected=0, received=0, flags=1, spare=0):
    return [kind, sender, member, role, expected, received, flags, spare]


CANDIDATE = 2        # role byte picking the candidate role
MEMBER_3 = 2         # TLV member ID byte picking member 3
NOT_HEARD = 2        # received peer ID byte picking none
NO_TLV = 0x10        # kind bit: no Vorn TLV
HOLD_1200 = 0x20     # kind bits: 1200 ms hold time
SHUTDOWN = 0x40      # kind bits: TTL 0
SINGLE_LINK = 3      # flags byte: connected, single link


def frame(port, f):
    return [0, port] + f


def raw(port, data, header=True):
    return [5, port, len(data) | (0x80 if header else 0)] + list(data)


def every(port, interval, f):
    """interval: 0 stop, 1 100 ms, 2 300 ms, 3 1 s."""
    return [6, port, interval] + f


def stop(port):
    return every(port, 0, peer())


def wait_ms(ms):
    out = []
    while ms > 0:
        step = min(ms // 4, 255)
        out += [7, step]
        ms -= step * 4
        if step == 0:
            break
    return out


def wait_s(s):
    return [10, s]


def cable(port):
    return [11, port]


def database():
    return [12]


def config(c):
    return [13, c]


def peer_member(choice):
    """choice: 0 member 2, 1 member 3, 2 none, 3 member 1."""
    return config(0 + 4 * choice)


def lag_group(member, group):
    """group: 0 none, 1 "A", 2 "B"."""
    return config(1 + 4 * member + 16 * group)


def membership(member):
    return config(2 + 4 * member)


def play_peer(port):
    """The far end plays the configured peer from then on, and the switch
    runs for 11 s with frames enough for one link to confirm."""
    return config(3 + 4 * port)


def asics(member):
    """member: 1 or 2 (toggles cold and warm)."""
    return [14, 0 if member == 1 else 1]


def expect(member, state):
    return [0xFF, member, state]


def negotiate(ports):
    out = []
    for p in ports:
        out += every(p, 1, peer())
    return out + wait_s(15) + [b for p in ports for b in expect(p, CONFIRMED)]


RESTORED = RESTORED_WITH_TLV

# Each seed fits the replay's frame budget (2000 frames on the wire), most
# the fuzzing budget (100): a fresh negotiation takes about 220 frames per
# link, so seeds that are not about negotiating start from links an earlier
# run of the agent left in backplane mode.
SEEDS = {
    # Two links hear member 2 every 100 ms and reach backplane mode; the
    # third interface is no member.
    "negotiate-two-links": head(2) + every(0, 1, peer()) + every(1, 1, peer()) + wait_s(11)
    + expect(0, CONFIRMED) + expect(1, CONFIRMED) + expect(2, NONE),
    # One step plays the peer until the link confirms; the link leaves its
    # channel while confirmed and comes back to start over.
    "peer-played": head(1) + play_peer(0) + expect(0, CONFIRMED) + membership(0) + wait_ms(100) + expect(0, NONE)
    + membership(0) + wait_ms(100) + expect(0, UP),
    # The peer falls silent: its information ages out and, once the hold of
    # received information after the restart (3 s) is over, the link falls
    # back.
    "peer-silent": head(1, restored=(RESTORED,)) + every(0, 1, peer()) + wait_s(1) + expect(0, CONFIRMED) + stop(0)
    + wait_s(1) + expect(0, CONFIRMED) + wait_s(2) + expect(0, DOWN),
    # The peer says it is a candidate, falls silent (a reload), comes back as
    # a member while its ASICs are cold, then they warm up.
    "peer-reload": head(1, restored=(RESTORED,)) + every(0, 1, peer(role=CANDIDATE)) + wait_s(1) + stop(0) + asics(2)
    + wait_s(2) + expect(0, WAIT_SSR) + every(0, 1, peer()) + wait_s(1) + expect(0, WAIT_ASICS) + asics(2)
    + expect(0, CONFIRMED),
    # Member 3 answers where member 2 is configured.
    "wrong-peer": head(1) + every(0, 1, peer(member=MEMBER_3)) + wait_s(3) + expect(0, UP),
    # A peer that has not heard us yet: Ethernet mode only.
    "peer-not-heard": head(1) + every(0, 1, peer(received=NOT_HEARD)) + wait_s(3) + expect(0, UP),
    # Too few TLVs (one a second) in the pending window, then none at all:
    # back to Ethernet when the window ends.
    "pending-timeout": head(1) + every(0, 3, peer(kind=HOLD_1200)) + wait_s(12) + expect(0, PENDING) + stop(0)
    + wait_s(40) + expect(0, DOWN),
    # Two LAG groups on one channel: a preferred member carries the
    # single-link bit until the groups agree again.
    "lag-split": head(4, restored=(RESTORED,) * 4) + lag_group(0, 1) + lag_group(1, 2) + lag_group(2, 1)
    + lag_group(3, 2) + [b for p in range(4) for b in every(p, 1, peer())] + wait_s(1) + lag_group(1, 1)
    + lag_group(3, 1) + wait_ms(200) + expect(3, CONFIRMED),
    # The peer signals a single link on one member, then stops.
    "remote-single-link": head(2, restored=(RESTORED, RESTORED)) + every(0, 1, peer()) + every(1, 1, peer(flags=SINGLE_LINK))
    + wait_s(1) + every(1, 1, peer()) + wait_s(1) + expect(1, CONFIRMED),
    # The state database goes away and comes back during negotiation.
    "database-flap": head(1) + every(0, 1, peer()) + wait_s(2) + database() + wait_s(3) + database() + wait_s(7)
    + expect(0, CONFIRMED),
    # A cable cut drops the link to Ethernet mode; plugged back, it returns.
    "cable-cut": head(1, restored=(RESTORED,)) + every(0, 1, peer()) + wait_s(1) + cable(0) + wait_s(3)
    + expect(0, DOWN) + cable(0) + wait_s(11) + expect(0, CONFIRMED),
    # Configuration changes: another expected peer, a member leaving and
    # joining, no peer at all.
    "config-changes": head(3, restored=(RESTORED,) * 3) + every(0, 1, peer()) + every(1, 1, peer())
    + every(2, 1, peer()) + wait_ms(500) + expect(2, CONFIRMED) + peer_member(1) + wait_ms(200) + expect(0, UP)
    + stop(1) + stop(2) + peer_member(0) + membership(2) + wait_ms(200) + expect(2, NONE) + membership(2)
    + wait_ms(200) + expect(2, DOWN) + peer_member(2) + wait_ms(200) + expect(0, UP),
    # Shutdown frames, frames without a TLV, frames from other senders, and
    # more senders than a port keeps.
    "many-senders": head(1) + frame(0, peer()) + frame(0, peer(kind=NO_TLV)) + frame(0, peer(kind=SHUTDOWN))
    + [b for i in range(10) for b in frame(0, peer(kind=1, spare=i + 1))]
    + frame(0, peer(kind=2)) + frame(0, peer(kind=3)) + frame(0, peer(kind=0x04, spare=5)) + frame(0, peer(kind=0x08))
    + frame(0, peer(kind=0x0c)) + wait_ms(100) + frame(0, peer(kind=0x60, spare=3)) + wait_s(5),
    # Frames that are not valid LLDPDUs, with and without an LLDP header.
    "garbage": head(1) + raw(0, b"\x02\x07\x04\x02\x76\x6f\x72\x00\x02", header=True)
    + raw(0, b"\x01\x80\xc2\x00\x00\x0e\x02\x76\x6f\x72\x00\x02\x08\x00", header=False)
    + raw(0, bytes([0x02, 0x07, 0x04, 2, 0x76, 0x6f, 0x72, 0, 2, 0x04, 0x0a, 0x05]) + b"Ethernet1"
          + bytes([0x06, 0x02, 0x00, 0x01, 0xfe, 0x09, 0x02, 0x76, 0x6f, 0x01, 0x02, 0x01, 0x01, 0x01]), header=True)
    + wait_ms(50),
    # Toggles off: no verification, the regular hold time, no connection
    # flag, no LAG group checks; and no peer configured.
    "toggles-off-no-peer": head(2, toggles_off=0x0f, no_peer=True) + every(0, 1, peer()) + every(1, 1, peer())
    + wait_s(11) + expect(0, CONFIRMED) + expect(1, CONFIRMED),
    # The switch's own ASICs go cold while the peer reloads: the wait for
    # warm ASICs ends by its hold time when the peer stays away.
    "asics-hold-timeout": head(1, restored=(RESTORED,)) + every(0, 1, peer(role=CANDIDATE)) + wait_s(1) + stop(0)
    + asics(1) + wait_s(2) + expect(0, WAIT_SSR) + every(0, 1, peer()) + wait_s(1) + expect(0, WAIT_ASICS)
    + stop(0) + wait_s(7) + expect(0, DOWN),
    # The peer stays away after its reload: the wait for it ends by its
    # failsafe, then the wait for warm ASICs at once (no TLV: Ethernet mode).
    "wait-ssr-failsafe": head(1, restored=(RESTORED_WAIT_SSR,)) + wait_s(59) + expect(0, WAIT_SSR) + wait_s(2)
    + expect(0, DOWN),
    # An agent restart: backplane links stay in backplane mode, the peer's
    # last TLV is held for a while and the peer answers at once. The peer's
    # ASICs are still cold, so the link waiting for it waits for them too.
    "restart-peer-answers": head(3, peer_asics_cold=True,
                                 restored=(RESTORED_WITH_TLV, RESTORED_CONFIRMED, RESTORED_WAIT_SSR))
    + expect(0, CONFIRMED) + expect(1, CONFIRMED) + expect(2, WAIT_SSR) + every(0, 1, peer()) + every(1, 1, peer())
    + every(2, 1, peer()) + wait_ms(500) + expect(0, CONFIRMED) + expect(1, CONFIRMED) + expect(2, WAIT_ASICS)
    + asics(2) + expect(2, CONFIRMED),
    # An agent restart with the peer gone: the held TLV expires after its
    # hold and the link falls back; a backed-up member interface no longer
    # configured goes.
    "restart-peer-gone": head(2, restored=(RESTORED_WITH_TLV, RESTORED_WAIT_SSR, RESTORED_CONFIRMED))
    + expect(2, NONE) + wait_s(2) + expect(0, CONFIRMED) + wait_s(2) + expect(0, DOWN) + expect(1, WAIT_SSR),
}


def main():
    os.makedirs(SEED, exist_ok=True)
    for name, program in SEEDS.items():
        with open(os.path.join(SEED, name + ".bin"), "wb") as f:
            f.write(bytes(program))
    print(f"agent corpus: {len(SEEDS)} seeds")


if __name__ == "__main__":
    main()

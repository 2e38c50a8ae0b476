#include "lldp/Codec.h"
#include "tests/lldp/EngineFixture.h"
#include "tests/lldp/Hex.h"

#include "platform/trace/Ringlog.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

using namespace LldpTest;
using Lldp::VornTlv;

const VornTlv kTlv1{1, Vorn::Role::member, 2, 0, VornTlv::lodestoreConnectedFlag};

TEST(ProtocolSmTest, RemoteSystemCarriesTheSendersIdentityTlvAndRefreshTime) {
  Group g;
  g.cable(et1, et3);
  g.sw1.vornTlvTxIs(et1, kTlv1);
  g.runUntil(0.25);  // frames sent at 0, 0.1, 0.2 arrive 1 ms later

  auto rs = g.sw2.remote(et3);
  ASSERT_TRUE(rs);
  EXPECT_EQ(rs->index(), 1);
  EXPECT_EQ(rs->chassisIdSubtype(), Lldp::ChassisIdSubtype::macAddress);
  EXPECT_EQ(rs->chassisId(), g.sw1.localSystem->chassisId());
  EXPECT_EQ(rs->portIdSubtype(), Lldp::PortIdSubtype::interfaceName);
  EXPECT_EQ(rs->portId().bytes(), "Ethernet1");
  EXPECT_EQ(rs->ttl(), 1);  // 300 ms rounded up to whole seconds
  EXPECT_EQ(rs->vornTlv(), Zem::Optional<VornTlv>(kTlv1));
  EXPECT_NEAR(rs->lastRefreshTime(), 0.201, 1e-9);
  // The other direction: sw2 sends no Vorn TLV, and nothing is heard on
  // ports without a cable.
  auto back = g.sw1.remote(et1);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->portId().bytes(), "Ethernet3");
  EXPECT_FALSE(back->vornTlv());
  EXPECT_FALSE(g.sw1.remote(et2));
}

TEST(ProtocolSmTest, RefreshPublishesOnlyWhatChanged) {
  Group g;
  g.cable(et1, et1);
  g.runUntil(0.05);
  auto rs = g.sw2.remote(et1);
  ASSERT_TRUE(rs);
  std::vector<std::string> seen;
  auto reactor = rs->subscribe([&](const Zem::Change& c) {
    seen.push_back(c.attr->name);
    if (c.is(Lldp::RemoteSystem::lastRefreshTimeAttr)) {
      EXPECT_EQ(rs->lastRefreshTime(), g.clock->now());
    }
  });
  g.runUntil(0.25);
  EXPECT_EQ(seen, (std::vector<std::string>{"lastRefreshTime", "lastRefreshTime"}));

  seen.clear();
  g.sw1.vornTlvTxIs(et1, kTlv1);  // goes out at once, then with the regular frame at 0.3
  g.runUntil(0.35);
  EXPECT_EQ(seen, (std::vector<std::string>{"vornTlv", "lastRefreshTime", "lastRefreshTime"}));
  EXPECT_EQ(rs->vornTlv(), Zem::Optional<VornTlv>(kTlv1));
}

TEST(ProtocolSmTest, AgesOutExactlyAtTheHoldTime) {
  struct Case {
    const char* name;
    bool inMs;
    uint32_t interval, hold;
    uint16_t ttl;
    Velto::Duration age;
  };
  for (const auto& c : {Case{"sub-second hold time", true, 100, 300, 1, 0.3},
                        Case{"hold time above a second", true, 100, 1200, 2, 1.2},
                        Case{"times in seconds", false, 1, 3, 3, 3.0}}) {
    SCOPED_TRACE(c.name);
    Group g;
    g.sw1.config->isMessageTxTimeInMsIs(c.inMs);
    g.sw1.config->messageTxIntervalIs(c.interval);
    g.sw1.config->messageTxHoldTimeIs(c.hold);
    g.cable(et1, et1);
    g.runUntil(5.05);
    auto rs = g.sw2.remote(et1);
    ASSERT_TRUE(rs);
    EXPECT_EQ(rs->ttl(), c.ttl);
    const auto before = counts(g.sw2, et1);
    Velto::Duration goneAt = -1;
    auto reactor = g.sw2.port(et1)->subscribe([&](const Zem::Change& ch) {
      if (ch.is(Lldp::PortStatus::remoteSystemAttr) && !ch.nested()) goneAt = g.clock->now();
    });

    g.wire->cut(Group::end(g.sw1, et1));
    const Velto::Duration last = rs->lastRefreshTime();
    g.runUntil(last + c.age - 1e-6);
    EXPECT_TRUE(g.sw2.remote(et1));
    g.runUntil(last + c.age + 1);
    EXPECT_FALSE(g.sw2.remote(et1));
    EXPECT_EQ(goneAt, last + c.age);
    EXPECT_EQ((counts(g.sw2, et1) - before).ageouts, 1u);
  }
}

// A port taken out of LLDP by configuration says goodbye, and sends again
// only after the re-initialisation delay.
TEST(ProtocolSmTest, PortThatStopsSaysGoodbyeAndComesBackUnderANewIndex) {
  auto adminStatusIs = [](Lldp::AdminStatus s) {
    return [s](EngineSwitch& sw) { sw.config->portConfig(et1)->adminStatusIs(s); };
  };
  struct Case {
    const char* name;
    std::function<void(EngineSwitch&)> stop, restart;
    bool stillHears;  // the port keeps receiving
  };
  const std::vector<Case> cases{
      {"LLDP switched off", [](EngineSwitch& sw) { sw.cliConfig->enabledIs(false); },
       [](EngineSwitch& sw) { sw.cliConfig->enabledIs(true); }, false},
      {"port removed", [](EngineSwitch& sw) { sw.delPort(et1); }, [](EngineSwitch& sw) { sw.addPort(et1, 1); },
       false},
      {"port no longer desired", [](EngineSwitch& sw) { sw.root->desiredIntfDir()->intfDesiredIs(et1, false); },
       [](EngineSwitch& sw) { sw.root->desiredIntfDir()->intfDesiredIs(et1, true); }, false},
      {"admin status disabled", adminStatusIs(Lldp::AdminStatus::disabled),
       adminStatusIs(Lldp::AdminStatus::enabledRxTx), false},
      {"admin status receive only", adminStatusIs(Lldp::AdminStatus::enabledRxOnly),
       adminStatusIs(Lldp::AdminStatus::enabledTxOnly), true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Group g;
    g.cable(et1, et1);
    g.runUntil(1.05);
    ASSERT_TRUE(g.sw2.remote(et1));
    const auto before = counts(g.sw2, et1);
    c.stop(g.sw1);
    EXPECT_EQ(g.sw1.root->protocolSm()->portRunning(et1), c.stillHears);
    g.runUntil(1.05 + 0.001);  // the shutdown LLDPDU's latency, well within the hold time
    EXPECT_FALSE(g.sw2.remote(et1));
    const auto delta = counts(g.sw2, et1) - before;
    EXPECT_EQ(delta.ageouts, 0u);
    EXPECT_EQ(delta.in, 1u);
    if (auto ps = g.sw1.port(et1)) {
      EXPECT_EQ(ps->remoteSystem().empty(), !c.stillHears);
    }

    c.restart(g.sw1);
    const Velto::Duration reinitDelay = g.sw1.config->reinitDelayMs() / 1000.0;
    g.runUntil(1.05 + reinitDelay - 0.01);
    EXPECT_FALSE(g.sw2.remote(et1));
    g.runUntil(1.05 + reinitDelay + 0.002);
    auto rs = g.sw2.remote(et1);
    ASSERT_TRUE(rs);
    EXPECT_EQ(rs->index(), 2);  // an index names one appearance of an MSAP, never reused
  }
}

TEST(ProtocolSmTest, LossAndCutsShowAsMissingFrames) {
  auto lossRun = [](uint64_t seed) {
    Group g(seed);
    g.cable(et1, et1, {0.001, 0.25});
    g.runUntil(20.05);
    const auto a = counts(g.sw1, et1), b = counts(g.sw2, et1);
    const auto& w = g.wire->counters();
    // Every frame Ethernet1 sent was carried or lost (the other ports have
    // no cable: their frames are dropped).
    EXPECT_EQ(a.out + b.out, w.carried + w.lost);
    EXPECT_EQ(a.in + b.in, w.carried);
    EXPECT_EQ(w.carried + w.lost + w.dropped, w.sent);
    EXPECT_EQ(a.discarded + b.discarded, 0u);
    return w.lost;
  };
  const auto lost = lossRun(11);
  EXPECT_GT(lost, 60u);  // about a quarter of 402 frames
  EXPECT_LT(lost, 140u);
  EXPECT_EQ(lossRun(11), lost);  // the same seed loses the same frames
  EXPECT_NE(lossRun(12), lost);

  Group g;
  g.cable(et1, et1);
  g.runUntil(1.05);
  g.wire->cut(Group::end(g.sw2, et1));
  g.runUntil(2);
  EXPECT_FALSE(g.sw1.remote(et1));
  EXPECT_FALSE(g.sw2.remote(et1));
  // Re-cabled to another port of sw2: heard there under that port's first index.
  g.wire->connect(Group::end(g.sw1, et1), Group::end(g.sw2, et2));
  g.runUntil(2.2);
  ASSERT_TRUE(g.sw2.remote(et2));
  EXPECT_EQ(g.sw2.remote(et2)->index(), 1);
  EXPECT_EQ(g.sw1.remote(et1)->portId().bytes(), "Ethernet2");
  EXPECT_EQ(g.sw1.remote(et1)->index(), 2);
}

TEST(ProtocolSmTest, AgentRestartKeepsTheNeighbourHeard) {
  Group g;
  g.cable(et1, et1);
  g.runUntil(1.05);
  const auto heard = g.sw2.remote(et1);
  ASSERT_TRUE(heard);
  // The restarted agent builds its engine while the old one still holds the
  // port; the old one then goes without a word.
  EngineSwitch again{"sw1", 1};
  Lldp::currentTransportIs(g.wire->transportFor("sw1"));
  again.build();
  again.addPort(et1, 1);
  Lldp::currentTransportIs(nullptr);
  g.runUntil(1.5);
  g.sw1.root = nullptr;
  g.runUntil(3);
  EXPECT_EQ(g.sw2.remote(et1), heard);  // the same remote system all along
  EXPECT_EQ(counts(g.sw2, et1).ageouts, 0u);
  ASSERT_TRUE(again.remote(et1));
  EXPECT_EQ(again.remote(et1)->portId().bytes(), "Ethernet1");

  // The agent stopping says nothing either: the neighbour ages it out.
  again.root = nullptr;
  g.runUntil(3.2);
  EXPECT_EQ(g.sw2.remote(et1), heard);
  g.runUntil(3.5);
  EXPECT_FALSE(g.sw2.remote(et1));
  EXPECT_EQ(counts(g.sw2, et1).ageouts, 1u);
}

// A port of a test tap cabled to sw2's Ethernet1, sending frames by hand.
struct Tap {
  Velto::Ptr<Lldp::Transport::Port> port;
  explicit Tap(Group& g) {
    port = g.wire->transportFor("tap")->open(et1, "tap0", nullptr);
    g.wire->connect({"tap", et1}, Group::end(g.sw2, et1));
  }
  void send(const std::vector<uint8_t>& frame) { port->send(frame); }
  void send(const std::string& chassis, uint16_t ttl = 1) {
    Lldp::Codec::Lldpdu pdu;
    pdu.src = Kivo::EthAddr::fromString("02:00:00:00:00:99");
    pdu.chassisIdSubtype = Lldp::ChassisIdSubtype::locallyAssigned;
    pdu.chassisId = Lldp::ChassisId(chassis);
    pdu.portId = Lldp::PortId("tap0");
    pdu.ttl = ttl;
    send(Lldp::Codec::encode(pdu));
  }
};

TEST(ProtocolSmTest, CountersMoveByExactlyTheFramesSeen) {
  Group g;
  g.cable(et1, et1);
  g.runUntil(1.05);
  auto a0 = counts(g.sw1, et1), b0 = counts(g.sw2, et1);
  g.runUntil(2.05);
  EXPECT_EQ(counts(g.sw1, et1) - a0, (Counts{10, 10, 0, 0, 0}));
  EXPECT_EQ(counts(g.sw2, et1) - b0, (Counts{10, 10, 0, 0, 0}));
}

// What each kind of frame counts, as LLDP-MIB's statistics say.
TEST(ProtocolSmTest, EachFrameCountsWhereTheStandardSays) {
  const std::string eth = "0180c200000e 020000000099 88cc";
  // Chassis ID: locally assigned "ab" | Port ID: interface name "tap0" | TTL 1 s.
  const std::string mandatory = "0203 07 6162 0405 05 74617030 0602 0001";
  struct Case {
    const char* name;
    std::vector<uint8_t> frame;
    Counts delta;
    const char* trace;
  };
  auto counted = [](uint64_t discarded, uint64_t inErrors, uint64_t tagged, uint64_t tlvsDiscarded,
                    uint64_t unrecognized, uint64_t inserts) {
    Counts c;
    c.in = 1;
    c.out = 1;  // sw2's own first frame, to the tap
    c.discarded = discarded;
    c.inErrors = inErrors;
    c.tagged = tagged;
    c.tlvsDiscarded = tlvsDiscarded;
    c.unrecognized = unrecognized;
    c.inserts = inserts;
    return c;
  };
  const std::vector<Case> cases{
      // Chassis ID claiming 7 bytes with 4 left.
      {"TLV past the end", hex(eth + "0207 04 0276 6f"), counted(1, 1, 0, 0, 0, 0),
       "frame discarded: tlvPastEnd: Chassis ID TLV at offset 14 has length 7"},
      {"second TTL", hex(eth + mandatory + "0602 0001 0000"), counted(1, 1, 0, 0, 0, 0),
       "duplicateMandatoryTlv"},
      // 802.1Q tag for VLAN 100 before the LLDP EtherType.
      {"tagged", hex("0180c200000e 020000000099 8100 0064 88cc" + mandatory + "0000"), counted(1, 0, 1, 0, 0, 0),
       "taggedFrame"},
      // IPv4 EtherType.
      {"not LLDP", hex("0180c200000e 020000000099 0800 4500"), counted(1, 0, 0, 0, 0, 0), "notLldp"},
      // Reserved type 9 | another organisation's TLV.
      {"unknown TLVs", hex(eth + mandatory + "1201 00 fe05 0080c2 01 00 0000"), counted(0, 0, 0, 0, 2, 1),
       "new remote system"},
      // Vorn TLV of 4 bytes | System Capabilities of 3: both left out, the rest used.
      {"malformed optional TLVs", hex(eth + mandatory + "fe08 02766f 01 01010202 0e03 000400 0000"),
       counted(0, 0, 0, 2, 0, 1), "TLV discarded: badVornTlv"},
      // TTL 0 from a sender never heard: nothing to forget.
      {"shutdown of a stranger", hex(eth + "0203 07 6162 0405 05 74617030 0602 0000 0000"),
       counted(0, 0, 0, 0, 0, 0), nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Group g;
    Tap tap(g);
    const auto before = counts(g.sw2, et1);
    Ringlog::Capture trace;
    tap.send(c.frame);
    g.runUntil(0.05);
    EXPECT_EQ(counts(g.sw2, et1) - before, c.delta);
    if (c.trace) {
      EXPECT_TRUE(trace.contains(c.trace)) << c.trace;
    }
    EXPECT_EQ(g.sw2.port(et1)->remoteSystem().size(), c.delta.inserts);
  }
}

// A sender flooding bad frames gets one level 2 trace a second per port; the
// rest go to level 7 and every frame is counted.
TEST(ProtocolSmTest, AFloodOfBadFramesIsTracedAtLevelTwoOnceASecond) {
  Group g;
  Tap tap(g);
  const auto bad = hex("0180c200000e 020000000099 88cc 0207 04 0276 6f");  // Chassis ID past the end
  Ringlog::Capture trace;
  for (int i = 0; i < 25; ++i) {
    tap.send(bad);
    g.runUntil(0.1 * (i + 1));  // 2.5 s of ten frames a second
  }
  int level2 = 0, level7 = 0;
  for (const auto& r : trace.records()) {
    if (r.message.find("frame discarded") == std::string::npos) continue;
    (r.level == 2 ? level2 : level7) += 1;
  }
  EXPECT_EQ(level2, 3);  // at 0.001, 1.001 (or later) and 2.001 (or later)
  EXPECT_EQ(level2 + level7, 25);
  EXPECT_EQ(counts(g.sw2, et1).inErrors, 25u);
}

// The statistics change with every frame and publish nothing: the records'
// watchers (the agent's status mirror) hear of a frame only through the
// remote system it refreshes.
TEST(ProtocolSmTest, StatisticsPublishNothing) {
  Group g;
  g.cable(et1, et1);
  g.runUntil(1.05);
  int changes = 0;
  auto reactor = g.sw2.status->subscribe([&](const Zem::Change&) { ++changes; });
  const auto before = counts(g.sw2, et1);
  g.runUntil(2.05);
  EXPECT_EQ((counts(g.sw2, et1) - before).in, 10u);
  EXPECT_EQ((counts(g.sw2, et1) - before).out, 10u);
  EXPECT_EQ(changes, 10);  // one refresh time per frame heard
}

TEST(ProtocolSmTest, KeepsAtMostEightRemoteSystemsPerPort) {
  Group g;
  Tap tap(g);
  const auto before = counts(g.sw2, et1);
  for (int i = 0; i < 10; ++i) tap.send("chassis" + std::to_string(i));
  g.runUntil(0.01);
  auto ps = g.sw2.port(et1);
  EXPECT_EQ(ps->remoteSystem().size(), 8u);
  EXPECT_EQ((counts(g.sw2, et1) - before).discarded, 2u);
  EXPECT_EQ(ps->remoteSystem(8)->chassisId().bytes(), "chassis7");

  tap.send("chassis0", 0);  // shutdown: makes room
  tap.send("chassis9");
  g.runUntil(0.02);
  EXPECT_FALSE(ps->remoteSystem(1));
  ASSERT_TRUE(ps->remoteSystem(9));
  EXPECT_EQ(ps->remoteSystem(9)->chassisId().bytes(), "chassis9");
}

// Eight senders with the longest TTL fill the table before the port's peer
// (the sender of a Vorn TLV naming the member this port expects) is heard.
TEST(ProtocolSmTest, ForeignSendersCannotKeepTheExpectedPeerOut) {
  Group g;
  Tap tap(g);
  g.sw2.vornTlvTxIs(et1, VornTlv{2, Vorn::Role::member, 1, 0, 0});
  for (int i = 0; i < 8; ++i) tap.send("squatter" + std::to_string(i), 65535);
  g.runUntil(0.01);
  auto ps = g.sw2.port(et1);
  ASSERT_EQ(ps->remoteSystem().size(), 8u);
  EXPECT_FALSE(ps->tooManyNeighbors());
  const auto before = counts(g.sw2, et1);

  Lldp::Codec::Lldpdu peer;
  peer.src = g.sw1.mac();
  peer.chassisId = g.sw1.localSystem->chassisId();
  peer.portId = Lldp::PortId("Ethernet1");
  peer.ttl = 1;
  peer.holdTimeMs = 300;
  peer.vornTlv = kTlv1;  // member 1, which sw2's Ethernet1 expects
  tap.send(Lldp::Codec::encode(peer));
  g.runUntil(0.02);
  EXPECT_EQ(ps->remoteSystem().size(), 8u);
  Velto::Ptr<Lldp::RemoteSystem> heard;
  for (const auto& [index, rs] : ps->remoteSystem()) {
    if (rs->chassisId() == peer.chassisId) heard = rs;
  }
  ASSERT_TRUE(heard);
  EXPECT_EQ(heard->vornTlv(), Zem::Optional<VornTlv>(kTlv1));
  // The first squatter made room: the least recently heard.
  EXPECT_FALSE(ps->remoteSystem(1));
  auto delta = counts(g.sw2, et1) - before;
  EXPECT_EQ(delta.inserts, 1u);
  EXPECT_EQ(delta.deletes, 1u);
  EXPECT_EQ(delta.drops, 1u);
  EXPECT_EQ(delta.discarded, 0u);
  EXPECT_TRUE(ps->tooManyNeighbors());

  // More squatters are refused; the peer, refreshed, stays.
  tap.send("squatter8", 65535);
  tap.send(Lldp::Codec::encode(peer));
  g.runUntil(0.03);
  delta = counts(g.sw2, et1) - before;
  EXPECT_EQ(delta.drops, 2u);
  EXPECT_EQ(delta.discarded, 1u);
  EXPECT_EQ(ps->remoteSystem(heard->index()), heard);
}

TEST(ProtocolSmTest, TooManyNeighborsLastsAsLongAsTheLongestRefusedHoldTime) {
  Group g;
  Tap tap(g);
  for (int i = 0; i < 8; ++i) tap.send("neighbour" + std::to_string(i), 30);
  g.runUntil(1);
  auto ps = g.sw2.port(et1);
  tap.send("refused-a", 5);
  tap.send("refused-b", 10);
  tap.send("refused-c", 3);
  g.runUntil(1.001);
  EXPECT_TRUE(ps->tooManyNeighbors());
  EXPECT_EQ(counts(g.sw2, et1).drops, 3u);
  g.runUntil(11.001 - 1e-6);  // refused at 1.001, the longest for 10 s
  EXPECT_TRUE(ps->tooManyNeighbors());
  g.runUntil(11.001 + 1e-6);
  EXPECT_FALSE(ps->tooManyNeighbors());
}

// Our 100 ms interval is already faster than fast start; a port on the
// standard's 30 s interval sends its fast frames at 1 s when a neighbour
// appears, then goes back to its interval.
TEST(ProtocolSmTest, NewNeighbourStartsFastTransmissionWhenItIsFaster) {
  Group g;
  g.sw1.config->isMessageTxTimeInMsIs(false);
  g.sw1.config->messageTxIntervalIs(30);
  g.sw1.config->messageTxHoldTimeIs(120);
  g.cable(et1, et1);
  auto sent = [&] { return counts(g.sw1, et1).out; };
  g.runUntil(0.0005);
  EXPECT_EQ(sent(), 1u);  // the first frame when the port started
  g.runUntil(3.5);        // sw2 heard at 0.001: frames at 0.001, 1.001, 2.001, 3.001
  EXPECT_EQ(sent(), 5u);
  g.runUntil(33);
  EXPECT_EQ(sent(), 5u);
  g.runUntil(33.01);  // the regular interval again
  EXPECT_EQ(sent(), 6u);
  // sw2, on 100 ms, keeps its interval: ten frames a second.
  EXPECT_EQ(counts(g.sw2, et1).out, 331u);
}

TEST(ProtocolSmTest, LocalChangeGoesOutAtOnceWhileCreditLasts) {
  Group g;
  g.cable(et1, et1);
  g.runUntil(1.005);
  const auto before = counts(g.sw1, et1).out;
  auto tlvOf = [](uint8_t flags) { return VornTlv{1, Vorn::Role::member, 2, 0, flags}; };
  // Seven changes between two regular frames (1.0 and 1.1): five credits.
  for (int i = 1; i <= 7; ++i) {
    g.sw1.vornTlvTxIs(et1, tlvOf(static_cast<uint8_t>(i)));
    g.runUntil(1.005 + i * 0.01);
    auto rs = g.sw2.remote(et1);
    ASSERT_TRUE(rs);
    EXPECT_EQ(rs->vornTlv() == Zem::Optional<VornTlv>(tlvOf(static_cast<uint8_t>(i))), i <= 5) << i;
  }
  EXPECT_EQ(counts(g.sw1, et1).out - before, 5u);
  g.runUntil(1.102);  // the regular frame carries the last change
  EXPECT_EQ(g.sw2.remote(et1)->vornTlv(), Zem::Optional<VornTlv>(tlvOf(7)));
  // One credit back per second.
  g.runUntil(2.05);
  g.sw1.vornTlvTxIs(et1, tlvOf(8));
  g.sw1.vornTlvTxIs(et1, tlvOf(9));  // two writes at one time: one frame
  g.runUntil(2.052);
  EXPECT_EQ(g.sw2.remote(et1)->vornTlv(), Zem::Optional<VornTlv>(tlvOf(9)));
  g.sw1.vornTlvTxIs(et1, tlvOf(10));
  g.runUntil(2.06);
  EXPECT_EQ(g.sw2.remote(et1)->vornTlv(), Zem::Optional<VornTlv>(tlvOf(9)));
  // Writes that leave the frame as last sent are no change.
  const auto out = counts(g.sw1, et1).out;
  g.runUntil(3.05);
  g.sw1.vornTlvTxIs(et1, tlvOf(11));
  g.sw1.vornTlvTxIs(et1, tlvOf(10));
  g.runUntil(3.06);
  EXPECT_EQ(counts(g.sw1, et1).out, out + 10);
}

TEST(ProtocolSmTest, NothingGoesOutWhileTheLinkIsDown) {
  Group g;
  g.cable(et1, et1);
  g.runUntil(1.05);
  const auto before = counts(g.sw1, et1).out;
  g.wire->cut(Group::end(g.sw1, et1));
  g.runUntil(2.05);
  EXPECT_EQ(counts(g.sw1, et1).out, before);
  EXPECT_EQ(counts(g.sw1, et2).out, 0u);  // never cabled
  g.cable(et1, et1);
  g.runUntil(3.05);
  EXPECT_EQ(counts(g.sw1, et1).out, before + 10);
  EXPECT_TRUE(g.sw2.remote(et1));
}

TEST(ProtocolSmTest, TransmitOnlyPortHearsNothing) {
  Group g;
  g.cable(et1, et1);
  g.runUntil(1.05);
  ASSERT_TRUE(g.sw2.remote(et1));
  g.sw2.config->portConfig(et1)->adminStatusIs(Lldp::AdminStatus::enabledTxOnly);
  EXPECT_TRUE(g.sw2.port(et1)->remoteSystem().empty());
  const auto before = counts(g.sw2, et1);
  g.runUntil(2.05);
  const auto delta = counts(g.sw2, et1) - before;
  EXPECT_EQ(delta.in, 0u);
  EXPECT_EQ(delta.out, 10u);  // still sending, without a pause
  EXPECT_TRUE(g.sw2.port(et1)->remoteSystem().empty());
  EXPECT_TRUE(g.sw1.remote(et1));
}

TEST(ProtocolSmTest, PcapRecordsEveryFrameCarried) {
  const std::string path = ::testing::TempDir() + "lldp-engine-test.pcap";
  {
    Group g;
    g.wire->pcapWriterIs(Velto::make<Lldp::PcapWriter>(path));
    g.cable(et1, et1);
    g.runUntil(0.95);
    EXPECT_EQ(g.wire->pcapWriter()->recordCount(), g.wire->counters().carried);
    EXPECT_EQ(g.wire->counters().carried, 20u);
  }
  std::ifstream in(path, std::ios::binary);
  std::vector<uint8_t> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::remove(path.c_str());
  ASSERT_GE(file.size(), 24u);
  auto le32 = [&](size_t at) {
    return uint32_t{file[at]} | uint32_t{file[at + 1]} << 8 | uint32_t{file[at + 2]} << 16 |
           uint32_t{file[at + 3]} << 24;
  };
  // Magic (microsecond time stamps), version 2.4, snap length, link type Ethernet.
  EXPECT_EQ(std::vector<uint8_t>(file.begin(), file.begin() + 8), hex("d4c3b2a1 0200 0400"));
  EXPECT_EQ(le32(16), 65535u);
  EXPECT_EQ(le32(20), 1u);
  size_t records = 0;
  for (size_t at = 24; at + 16 <= file.size(); ++records) {
    const uint32_t len = le32(at + 8);
    if (records == 0) {
      EXPECT_EQ(le32(at), 0u);        // seconds
      EXPECT_EQ(le32(at + 4), 1000u);  // microseconds: the first frame arrives after 1 ms
    }
    ASSERT_LE(at + 16 + len, file.size());
    const auto result = Lldp::Codec::decode(std::span(file).subspan(at + 16, len));
    EXPECT_TRUE(result.ok());
    at += 16 + len;
  }
  EXPECT_EQ(records, 20u);
}

TEST(ProtocolSmTest, DeviceDirectoryFollowsTheKernelTable) {
  Group g;
  auto dev = g.sw1.root->deviceIntfStatusDir()->device("et2");
  ASSERT_TRUE(dev);
  EXPECT_EQ(dev->intfId(), et2);
  EXPECT_EQ(dev->ifIndex(), 2);
  EXPECT_TRUE(g.sw1.localIntf->intfStatus(et2));

  g.sw1.kni->interfaceDel({2});
  EXPECT_FALSE(g.sw1.root->deviceIntfStatusDir()->device("et2"));
  EXPECT_FALSE(g.sw1.localIntf->intfStatus(et2));
  EXPECT_TRUE(g.sw1.localIntf->intfStatus(et1));
}

// A transport whose ports report what they lost on the way in.
struct LossyTransport : Lldp::Transport {
  struct Port : Lldp::Transport::Port {
    using Lldp::Transport::Port::Port;
    void send(std::span<const uint8_t>) override {}
    Statistics statistics() const override { return stats; }
    Statistics stats;
  };
  Velto::Ptr<Lldp::Transport::Port> open(const Kivo::IntfId& intf, const std::string& device, Receiver) override {
    auto p = Velto::make<Port>(intf, device);
    ports[intf] = p;
    return p;
  }
  std::map<Kivo::IntfId, Velto::Ptr<Port>> ports;
};

TEST(ProtocolSmTest, TransportLossesCountInThePortStatistics) {
  Velto::Ptr<Oru::VirtualScheduler> clock = Velto::make<Oru::VirtualScheduler>(0.0);
  Oru::currentSchedulerIs(clock.get());
  auto transport = Velto::make<LossyTransport>();
  Lldp::currentTransportIs(transport);
  EngineSwitch sw{"sw1", 1};
  sw.build();
  sw.addPort(et1, 1);
  Lldp::currentTransportIs(nullptr);
  ASSERT_TRUE(transport->ports[et1]);
  transport->ports[et1]->stats = {7, 2};
  clock->runUntil(0.15);
  EXPECT_EQ(sw.port(et1)->receiveOverruns(), 7u);
  EXPECT_EQ(sw.port(et1)->receiveErrors(), 2u);
  transport->ports[et1]->stats = {10, 2};
  clock->runUntil(0.25);
  EXPECT_EQ(sw.port(et1)->receiveOverruns(), 10u);
  EXPECT_EQ(sw.port(et1)->receiveErrors(), 2u);
  sw.root = nullptr;
  Oru::currentSchedulerIs(nullptr);
}

TEST(ProtocolSmTest, EngineWithoutTransportSendsNothing) {
  Group g(7, false);
  g.cable(et1, et1);
  g.runUntil(1);
  EXPECT_EQ(g.sw1.root->pamCollection()->pam().size(), 0u);
  EXPECT_EQ(counts(g.sw1, et1), Counts{});
  EXPECT_EQ(g.wire->counters().sent, 0u);
}

}  // namespace

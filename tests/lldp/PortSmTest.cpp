#include "lldp/Codec.h"
#include "tests/lldp/EngineFixture.h"
#include "tests/lldp/Hex.h"

#include "platform/trace/Ringlog.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

using namespace LldpTest;
using Lldp::VornTlv;

const VornTlv kTlv1{1, Vorn::Role::member, 2, 0, VornTlv::lodestoreConnectedFlag};

// What each kind of frame counts, as LLDP-MIB's statistics say.
TEST(PortSmTest, EachFrameCountsWhereTheStandardSays) {
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
TEST(PortSmTest, AFloodOfBadFramesIsTracedAtLevelTwoOnceASecond) {
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
TEST(PortSmTest, StatisticsPublishNothing) {
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

// Eight senders with the longest TTL fill the table before the port's peer
// (the sender of a Vorn TLV naming the member this port expects) is heard.
TEST(PortSmTest, ForeignSendersCannotKeepTheExpectedPeerOut) {
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

TEST(PortSmTest, TooManyNeighborsLastsAsLongAsTheLongestRefusedHoldTime) {
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
TEST(PortSmTest, NewNeighbourStartsFastTransmissionWhenItIsFaster) {
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

TEST(PortSmTest, LocalChangeGoesOutAtOnceWhileCreditLasts) {
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

TEST(PortSmTest, NothingGoesOutWhileTheLinkIsDown) {
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

TEST(PortSmTest, TransmitOnlyPortHearsNothing) {
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

// Everything a port keeps of what it heard, as text to compare.
std::string heardState(const EngineSwitch& sw, const IntfId& intf) {
  auto ps = sw.port(intf);
  if (!ps) return "no port status";
  std::ostringstream os;
  os << counts(sw, intf) << " tooManyNeighbors " << ps->tooManyNeighbors() << "\n";
  for (const auto& [index, rs] : ps->remoteSystem()) {
    os << index << ": " << static_cast<int>(rs->chassisIdSubtype()) << "/" << rs->chassisId().bytes() << " "
       << static_cast<int>(rs->portIdSubtype()) << "/" << rs->portId().bytes() << " ttl " << rs->ttl() << " tlv "
       << (rs->vornTlv() ? static_cast<int>(rs->vornTlv()->flags) : -1) << " name '" << rs->systemName()
       << "' refreshed " << rs->lastRefreshTime() << "\n";
  }
  return os.str();
}

// A frame repeated unchanged only refreshes its remote system. Whatever the
// frames, the records, their published changes, the statistics, the traces
// and the age-out times are those of decoding every frame whole.
TEST(PortSmTest, RepeatedFrameGivesTheRecordsOfAFullDecode) {
  const std::string eth = "0180c200000e 020000000099 88cc";
  auto frame = [&](const std::string& chassis, uint16_t ttl, Zem::Optional<uint8_t> flags) {
    Lldp::Codec::Lldpdu pdu;
    pdu.src = Kivo::EthAddr::fromString("02:00:00:00:00:99");
    pdu.chassisIdSubtype = Lldp::ChassisIdSubtype::locallyAssigned;
    pdu.chassisId = Lldp::ChassisId(chassis);
    pdu.portId = Lldp::PortId("tap0");
    pdu.ttl = ttl;
    if (ttl != 0) pdu.holdTimeMs = 300u;
    if (flags) pdu.vornTlv = VornTlv{1, Vorn::Role::member, 2, 2, *flags};
    return Lldp::Codec::encode(pdu);
  };
  const auto a = frame("a", 1, uint8_t{0});
  const auto aChanged = frame("a", 1, uint8_t{1});
  const auto aLongTtl = frame("a", 4, uint8_t{0});
  const auto aShutdown = frame("a", 0, Zem::none);
  const auto c = frame("c", 1, Zem::none);
  // Chassis "ab", port "tap0", TTL 1 | reserved type 9 | another
  // organisation's TLV: two unrecognized TLVs each time.
  const auto unknownTlvs = hex(eth + "0203 07 6162 0405 05 74617030 0602 0001 1201 00 fe05 0080c2 01 00 0000");
  // The same identity with a 4-byte Vorn TLV: left out, and traced, each time.
  const auto badTlv = hex(eth + "0203 07 6162 0405 05 74617030 0602 0001 fe08 02766f 01 01010202 0000");
  struct Step {
    std::vector<uint8_t> frame;
    Velto::Duration gap = 0.1;  // before this frame
  };
  std::vector<Step> fill;
  for (int i = 0; i < 8; ++i) fill.push_back({frame(fmt::format("n{}", i), 60, Zem::none), 0.01});
  struct Case {
    const char* name;
    std::vector<Step> steps;
  };
  auto withFill = [&](std::vector<Step> rest) {
    auto steps = fill;
    steps.insert(steps.end(), rest.begin(), rest.end());
    return steps;
  };
  const std::vector<Case> cases{
      {"repeated", {{a}, {a}, {a}, {a}}},
      {"changed every time", {{a}, {aChanged}, {a}, {aChanged}}},
      {"changed once, then repeated", {{a}, {aChanged}, {aChanged}, {aChanged}}},
      {"TTL changed, then repeated", {{a}, {aLongTtl}, {aLongTtl}, {a}, {a, 2.0}}},
      {"shutdown between repeats", {{a}, {a}, {aShutdown}, {aShutdown}, {a}, {a}}},
      {"aged out, then the same frame", {{a}, {a}, {a, 2.0}, {a}}},
      {"two neighbours interleaved", {{a}, {c}, {a}, {c}, {a}}},
      {"unrecognized TLVs repeated", {{unknownTlvs}, {unknownTlvs}, {unknownTlvs}}},
      {"discarded TLV repeated", {{badTlv}, {badTlv}, {badTlv, 1.5}}},
      {"full table: refused frame repeated", withFill({{a}, {a}, {frame("n0", 60, Zem::none)}})},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.name);
    struct Run {
      std::vector<std::string> states, changes, traces;
    };
    auto run = [&](bool refreshUnchanged) {
      Run r;
      Group g;
      g.sw2.root->protocolSm()->refreshUnchangedFramesIs(refreshUnchanged);
      Tap tap(g);
      auto reactor = g.sw2.status->subscribe([&](const Zem::Change& ch) {
        r.changes.push_back(fmt::format("{:.4f} {} {}", g.clock->now(), ch.attr->name,
                                        ch.nested() ? ch.inner->attr->name : ""));
      });
      Ringlog::Capture trace;
      Velto::Duration t = 0;
      for (const auto& step : tc.steps) {
        t += step.gap;
        g.runUntil(t);
        tap.send(step.frame);
        g.runUntil(t + 0.0015);
        r.states.push_back(heardState(g.sw2, et1));
      }
      g.runUntil(t + 5);  // past every hold time
      r.states.push_back(heardState(g.sw2, et1));
      for (const auto& m : trace.messages()) {
        if (m.find("Ethernet1") != std::string::npos) r.traces.push_back(m);
      }
      return r;
    };
    const auto fast = run(true);
    const auto whole = run(false);
    EXPECT_EQ(fast.states, whole.states);
    EXPECT_EQ(fast.changes, whole.changes);
    EXPECT_EQ(fast.traces, whole.traces);
    EXPECT_FALSE(fast.changes.empty());
  }
}

// What a port sends is encoded once and kept; every change of what it
// carries goes out with the next frame.
TEST(PortSmTest, KeptFrameFollowsEveryChangeOfWhatItCarries) {
  struct Case {
    const char* name;
    std::function<void(EngineSwitch&)> change;
    std::function<bool(const Lldp::Codec::Lldpdu&)> carried;
  };
  const auto newAddr = Kivo::EthAddr::fromString("02:00:00:00:00:42");
  const std::vector<Case> cases{
      {"Vorn TLV", [](EngineSwitch& sw) { sw.vornTlvTxIs(et1, kTlv1); },
       [](const Lldp::Codec::Lldpdu& p) { return p.vornTlv == Zem::Optional<VornTlv>(kTlv1); }},
      {"port ID", [](EngineSwitch& sw) { sw.localSystem->localPort(et1)->portIdIs(Lldp::PortId("renamed")); },
       [](const Lldp::Codec::Lldpdu& p) { return p.portId == Lldp::PortId("renamed"); }},
      {"chassis ID", [](EngineSwitch& sw) { sw.localSystem->chassisIdIs(Lldp::ChassisId("other")); },
       [](const Lldp::Codec::Lldpdu& p) { return p.chassisId == Lldp::ChassisId("other"); }},
      {"hold time", [](EngineSwitch& sw) { sw.config->messageTxHoldTimeIs(4000); },
       [](const Lldp::Codec::Lldpdu& p) { return p.ttl == 4; }},
      {"source address", [&](EngineSwitch& sw) { sw.ethPhy->intfStatus(et1)->addrIs(newAddr); },
       [&](const Lldp::Codec::Lldpdu& p) { return p.src == newAddr; }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Group g;
    std::vector<Lldp::Codec::Lldpdu> heard;
    auto tap = g.wire->transportFor("tap")->open(et1, "tap0", [&](std::span<const uint8_t> f) {
      auto r = Lldp::Codec::decode(f);
      ASSERT_TRUE(r.ok());
      heard.push_back(r.decoded().lldpdu);
    });
    g.wire->connect({"tap", et1}, Group::end(g.sw1, et1));
    g.runUntil(0.25);
    ASSERT_EQ(heard.size(), 3u);
    EXPECT_FALSE(c.carried(heard.back()));
    c.change(g.sw1);
    g.runUntil(0.45);  // the change at once or with the frame at 0.3, then 0.4
    ASSERT_GE(heard.size(), 5u);
    EXPECT_TRUE(c.carried(heard.back()));
    EXPECT_TRUE(c.carried(heard[heard.size() - 2]));
  }
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

TEST(PortSmTest, TransportLossesCountInThePortStatistics) {
  Velto::Ptr<Oru::VirtualScheduler> clock = Velto::make<Oru::VirtualScheduler>(0.0);
  Oru::SwitchContext context;
  Oru::SwitchContext::Scope active(context);
  context.schedulerIs(clock.get());
  auto transport = Velto::make<LossyTransport>();
  context.transportIs(transport);
  EngineSwitch sw{"sw1", 1};
  sw.build();
  sw.addPort(et1, 1);
  context.transportIs(nullptr);
  ASSERT_TRUE(transport->ports[et1]);
  transport->ports[et1]->stats = {7, 2, 4};
  clock->runUntil(0.15);
  EXPECT_EQ(sw.port(et1)->receiveOverruns(), 7u);
  EXPECT_EQ(sw.port(et1)->receiveErrors(), 2u);
  EXPECT_EQ(sw.port(et1)->transmitDrops(), 4u);
  transport->ports[et1]->stats = {10, 2, 5};
  clock->runUntil(0.25);
  EXPECT_EQ(sw.port(et1)->receiveOverruns(), 10u);
  EXPECT_EQ(sw.port(et1)->receiveErrors(), 2u);
  EXPECT_EQ(sw.port(et1)->transmitDrops(), 5u);
  sw.root = nullptr;
}

}  // namespace

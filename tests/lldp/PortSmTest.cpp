#include "lldp/Codec.h"
#include "tests/lldp/EngineFixture.h"
#include "tests/lldp/Hex.h"

#include "platform/trace/Ringlog.h"

#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

using namespace LldpTest;
using Lldp::VornTlv;

const VornTlv kTlv1{1, Vorn::Role::member, 2, 0, VornTlv::lodestoreConnectedFlag};
const std::string kTapEth = "0180c200000e 020000000099 88cc";
// Chassis ID: locally assigned "ab" | Port ID: interface name "tap0" | TTL 1 s.
const std::string kTapMandatory = "0203 07 6162 0405 05 74617030 0602 0001";

// What each kind of frame counts, as LLDP-MIB's statistics say.
TEST(PortSmTest, EachFrameCountsWhereTheStandardSays) {
  struct Case {
    const char* name;
    std::vector<uint8_t> frame;
    Counts delta;  // out: sw2's own first frame, to the tap
    const char* trace;
  };
  const std::vector<Case> cases{
      // Chassis ID claiming 7 bytes with 4 left.
      {"TLV past the end", hex(kTapEth + "0207 04 0276 6f"), {.in = 1, .out = 1, .discarded = 1, .inErrors = 1},
       "frame discarded: tlvPastEnd: Chassis ID TLV at offset 14 has length 7"},
      {"second TTL", hex(kTapEth + kTapMandatory + "0602 0001 0000"),
       {.in = 1, .out = 1, .discarded = 1, .inErrors = 1}, "duplicateMandatoryTlv"},
      {"802.1Q tag of VLAN 100", hex("0180c200000e 020000000099 8100 0064 88cc" + kTapMandatory + "0000"),
       {.in = 1, .out = 1, .discarded = 1, .tagged = 1}, "taggedFrame"},
      {"IPv4", hex("0180c200000e 020000000099 0800 4500"), {.in = 1, .out = 1, .discarded = 1}, "notLldp"},
      // Reserved type 9 | another organisation's TLV.
      {"unknown TLVs", hex(kTapEth + kTapMandatory + "1201 00 fe05 0080c2 01 00 0000"),
       {.in = 1, .out = 1, .unrecognized = 2, .inserts = 1}, "new remote system"},
      // Vorn TLV of 4 bytes | System Capabilities of 3: both left out, the rest used.
      {"malformed optional TLVs", hex(kTapEth + kTapMandatory + "fe08 02766f 01 01010202 0e03 000400 0000"),
       {.in = 1, .out = 1, .tlvsDiscarded = 2, .inserts = 1}, "TLV discarded: badVornTlv"},
      // TTL 0 from a sender never heard: nothing to forget.
      {"shutdown of a stranger", hex(kTapEth + "0203 07 6162 0405 05 74617030 0602 0000 0000"),
       {.in = 1, .out = 1}, ""},
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
    if (*c.trace) {
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
  Ringlog::Capture trace;
  for (int i = 0; i < 25; ++i) {
    tap.send(hex(kTapEth + "0207 04 0276 6f"));  // Chassis ID past the end
    g.runUntil(0.1 * (i + 1));                   // 2.5 s of ten frames a second
  }
  int level2 = 0, level7 = 0;
  for (const auto& r : trace.records()) {
    if (r.message.find("frame discarded") != std::string::npos) (r.level == 2 ? level2 : level7) += 1;
  }
  EXPECT_EQ(level2, 3);  // at 0.001, 1.001 (or later) and 2.001 (or later)
  EXPECT_EQ(level2 + level7, 25);
  EXPECT_EQ(counts(g.sw2, et1).inErrors, 25u);
}

// The statistics move by exactly the frames seen and publish nothing: the
// records' watchers hear of a frame only through the remote system it
// refreshes.
TEST(PortSmTest, StatisticsCountEveryFrameAndPublishNothing) {
  Group g;
  g.cable(et1, et1);
  g.runUntil(1.05);
  int changes = 0;
  auto reactor = g.sw2.status->subscribe([&](const Zem::Change&) { ++changes; });
  const auto a = counts(g.sw1, et1), b = counts(g.sw2, et1);
  g.runUntil(2.05);
  EXPECT_EQ(counts(g.sw1, et1) - a, (Counts{10, 10}));
  EXPECT_EQ(counts(g.sw2, et1) - b, (Counts{10, 10}));
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

  const auto peer = frameOf("peer", 1, kTlv1, 300);  // member 1, which sw2's Ethernet1 expects
  tap.send(peer);
  g.runUntil(0.02);
  ASSERT_EQ(ps->remoteSystem().size(), 8u);
  ASSERT_TRUE(ps->remoteSystem(9));
  EXPECT_EQ(ps->remoteSystem(9)->vornTlv(), Zem::Optional<VornTlv>(kTlv1));
  EXPECT_FALSE(ps->remoteSystem(1)) << "the least recently heard squatter makes room";
  EXPECT_EQ(counts(g.sw2, et1) - before, (Counts{.in = 1, .inserts = 1, .deletes = 1, .drops = 1}));
  EXPECT_TRUE(ps->tooManyNeighbors());

  // More squatters are refused; the peer, refreshed, stays.
  tap.send("squatter8", 65535);
  tap.send(peer);
  g.runUntil(0.03);
  EXPECT_EQ(counts(g.sw2, et1) - before, (Counts{.in = 3, .discarded = 1, .inserts = 1, .deletes = 1, .drops = 2}));
  EXPECT_TRUE(ps->remoteSystem(9));

  // A shutdown makes room for anyone.
  tap.send("squatter1", 0);
  tap.send("newcomer");
  g.runUntil(0.04);
  ASSERT_TRUE(ps->remoteSystem(10));
  EXPECT_EQ(ps->remoteSystem(10)->chassisId().bytes(), "newcomer");
}

// A remote system heard once goes at its exact hold time, not at its TTL.
TEST(PortSmTest, RemoteSystemHeardOnceAgesOutAtItsExactHoldTime) {
  Group g;
  Tap tap(g);
  tap.send(frameOf("once", 1, Zem::none, 300));
  g.runUntil(0.3);  // heard at 0.001
  EXPECT_TRUE(g.sw2.remote(et1));
  g.runUntil(0.302);
  EXPECT_FALSE(g.sw2.remote(et1));
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
  EXPECT_EQ(ps->remoteSystem().size(), 8u);
  g.runUntil(11.001 - 1e-6);  // refused at 1.001, the longest for 10 s
  EXPECT_TRUE(ps->tooManyNeighbors());
  g.runUntil(11.001 + 1e-6);
  EXPECT_FALSE(ps->tooManyNeighbors());
}

// Our 100 ms interval is already faster than fast start; a port on a 30 s
// interval sends its fast frames at 1 s when a neighbour appears, then goes
// back to its interval.
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
  EXPECT_EQ(counts(g.sw2, et1).out, 331u);  // sw2, on 100 ms, keeps its interval
}

TEST(PortSmTest, LocalChangeGoesOutAtOnceWhileCreditLasts) {
  Group g;
  g.cable(et1, et1);
  g.runUntil(1.005);
  const auto before = counts(g.sw1, et1).out;
  auto tlvOf = [](int flags) { return Zem::Optional<VornTlv>(VornTlv{1, Vorn::Role::member, 2, 0, uint8_t(flags)}); };
  auto heard = [&] { return g.sw2.remote(et1)->vornTlv(); };
  // Seven changes between two regular frames (1.0 and 1.1): five credits.
  for (int i = 1; i <= 7; ++i) {
    g.sw1.vornTlvTxIs(et1, tlvOf(i));
    g.runUntil(1.005 + i * 0.01);
    EXPECT_EQ(heard() == tlvOf(i), i <= 5) << i;
  }
  EXPECT_EQ(counts(g.sw1, et1).out - before, 5u);
  g.runUntil(1.102);  // the regular frame carries the last change
  EXPECT_EQ(heard(), tlvOf(7));
  // One credit back per second; two writes at one time make one frame.
  g.runUntil(2.05);
  g.sw1.vornTlvTxIs(et1, tlvOf(8));
  g.sw1.vornTlvTxIs(et1, tlvOf(9));
  g.runUntil(2.052);
  EXPECT_EQ(heard(), tlvOf(9));
  g.sw1.vornTlvTxIs(et1, tlvOf(10));
  g.runUntil(2.06);
  EXPECT_EQ(heard(), tlvOf(9));
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
  EXPECT_EQ(counts(g.sw2, et1) - before, (Counts{.out = 10}));  // still sending, without a pause
  EXPECT_TRUE(g.sw2.port(et1)->remoteSystem().empty());
  EXPECT_TRUE(g.sw1.remote(et1));
}

// Everything a port keeps of what it heard, as text to compare.
std::string heardState(const EngineSwitch& sw, const IntfId& intf) {
  auto ps = sw.port(intf);
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
  auto tlv = [](uint8_t flags) { return Zem::Optional<VornTlv>(VornTlv{1, Vorn::Role::member, 2, 2, flags}); };
  const auto a = frameOf("a", 1, tlv(0), 300), aChanged = frameOf("a", 1, tlv(1), 300);
  const auto aLongTtl = frameOf("a", 4, tlv(0), 300), aShutdown = frameOf("a", 0), c = frameOf("c", 1, Zem::none, 300);
  // Two unrecognized TLVs each time: reserved type 9 | another organisation's TLV.
  const auto unknownTlvs = hex(kTapEth + kTapMandatory + "1201 00 fe05 0080c2 01 00 0000");
  // A 4-byte Vorn TLV: left out, and traced, each time.
  const auto badTlv = hex(kTapEth + kTapMandatory + "fe08 02766f 01 01010202 0000");
  struct Step {
    std::vector<uint8_t> frame;
    Velto::Duration gap = 0.1;  // before this frame
  };
  std::vector<Step> full;  // a full table, then a refused frame repeated
  for (int i = 0; i < 8; ++i) full.push_back({frameOf(fmt::format("n{}", i), 60, Zem::none, 300), 0.01});
  full.insert(full.end(), {{a}, {a}, {frameOf("n0", 60, Zem::none, 300)}});
  const std::vector<std::pair<const char*, std::vector<Step>>> cases{
      {"repeated", {{a}, {a}, {a}, {a}}},
      {"changed every time", {{a}, {aChanged}, {a}, {aChanged}}},
      {"changed once, then repeated", {{a}, {aChanged}, {aChanged}, {aChanged}}},
      {"TTL changed, then repeated", {{a}, {aLongTtl}, {aLongTtl}, {a}, {a, 2.0}}},
      {"shutdown between repeats", {{a}, {a}, {aShutdown}, {aShutdown}, {a}, {a}}},
      {"aged out, then the same frame", {{a}, {a}, {a, 2.0}, {a}}},
      {"two neighbours interleaved", {{a}, {c}, {a}, {c}, {a}}},
      {"unrecognized TLVs repeated", {{unknownTlvs}, {unknownTlvs}, {unknownTlvs}}},
      {"discarded TLV repeated", {{badTlv}, {badTlv}, {badTlv, 1.5}}},
      {"full table: refused frame repeated", full},
  };
  for (const auto& [name, steps] : cases) {
    SCOPED_TRACE(name);
    using Run = std::array<std::vector<std::string>, 3>;  // states, changes, traces
    auto run = [&](bool refreshUnchanged) {
      Run r;
      Group g;
      g.sw2.root->protocolSm()->refreshUnchangedFramesIs(refreshUnchanged);
      Tap tap(g);
      auto reactor = g.sw2.status->subscribe([&](const Zem::Change& ch) {
        const char* inner = ch.nested() ? ch.inner->attr->name : "";
        r[1].push_back(fmt::format("{:.4f} {} {}", g.clock->now(), ch.attr->name, inner));
      });
      Ringlog::Capture trace;
      Velto::Duration t = 0;
      for (const auto& step : steps) {
        g.runUntil(t += step.gap);
        tap.send(step.frame);
        g.runUntil(t + 0.0015);
        r[0].push_back(heardState(g.sw2, et1));
      }
      g.runUntil(t + 5);  // past every hold time
      r[0].push_back(heardState(g.sw2, et1));
      for (const auto& m : trace.messages()) {
        if (m.find("Ethernet1") != std::string::npos) r[2].push_back(m);
      }
      return r;
    };
    const Run fast = run(true), whole = run(false);
    EXPECT_EQ(fast, whole);
    EXPECT_FALSE(fast[1].empty());
  }
}

// What a port sends is encoded once and kept; every change of what it
// carries goes out with the next frame.
TEST(PortSmTest, KeptFrameFollowsEveryChangeOfWhatItCarries) {
  using Pdu = Lldp::Codec::Lldpdu;
  const auto newAddr = Kivo::EthAddr::fromString("02:00:00:00:00:42");
  const std::vector<std::tuple<const char*, std::function<void(EngineSwitch&)>, std::function<bool(const Pdu&)>>>
      cases{
          {"Vorn TLV", [](EngineSwitch& sw) { sw.vornTlvTxIs(et1, kTlv1); },
           [](const Pdu& p) { return p.vornTlv == Zem::Optional<VornTlv>(kTlv1); }},
          {"port ID", [](EngineSwitch& sw) { sw.localSystem->localPort(et1)->portIdIs(Lldp::PortId("renamed")); },
           [](const Pdu& p) { return p.portId == Lldp::PortId("renamed"); }},
          {"chassis ID", [](EngineSwitch& sw) { sw.localSystem->chassisIdIs(Lldp::ChassisId("other")); },
           [](const Pdu& p) { return p.chassisId == Lldp::ChassisId("other"); }},
          {"hold time", [](EngineSwitch& sw) { sw.config->messageTxHoldTimeIs(4000); },
           [](const Pdu& p) { return p.ttl == 4; }},
          {"source address", [&](EngineSwitch& sw) { sw.ethPhy->intfStatus(et1)->addrIs(newAddr); },
           [&](const Pdu& p) { return p.src == newAddr; }},
      };
  for (const auto& [name, change, carried] : cases) {
    SCOPED_TRACE(name);
    Group g;
    std::vector<Pdu> heard;
    auto tap = g.wire->transportFor("tap")->open(et1, "tap0", [&](std::span<const uint8_t> f) {
      auto r = Lldp::Codec::decode(f);
      ASSERT_TRUE(r.ok());
      heard.push_back(r.decoded().lldpdu);
    });
    g.wire->connect({"tap", et1}, Group::end(g.sw1, et1));
    g.runUntil(0.25);
    ASSERT_EQ(heard.size(), 3u);
    EXPECT_FALSE(carried(heard.back()));
    change(g.sw1);
    g.runUntil(0.45);  // the change at once or with the frame at 0.3, then 0.4
    ASSERT_GE(heard.size(), 5u);
    EXPECT_TRUE(carried(heard.back()));
    EXPECT_TRUE(carried(heard[heard.size() - 2]));
  }
}

// A transport whose ports report what they lost on the way in and out.
struct LossyTransport : Lldp::Transport {
  struct Port : Lldp::Transport::Port {
    using Lldp::Transport::Port::Port;
    void send(std::span<const uint8_t>) override {}
    Statistics statistics() const override { return stats; }
    Statistics stats;
  };
  Velto::Ptr<Lldp::Transport::Port> open(const Kivo::IntfId& intf, const std::string& device, Receiver) override {
    return port = Velto::make<Port>(intf, device);
  }
  Velto::Ptr<Port> port;
};

TEST(PortSmTest, TransportLossesCountInThePortStatistics) {
  auto transport = Velto::make<LossyTransport>();
  Solo s(transport, 1);
  ASSERT_TRUE(transport->port);
  for (const auto& [overruns, errors, drops, t] : {std::tuple{7u, 2u, 4u, 0.15}, std::tuple{10u, 2u, 5u, 0.25}}) {
    transport->port->stats = {overruns, errors, drops};
    s.clock->runUntil(t);
    EXPECT_EQ(s.sw.port(et1)->receiveOverruns(), overruns);
    EXPECT_EQ(s.sw.port(et1)->receiveErrors(), errors);
    EXPECT_EQ(s.sw.port(et1)->transmitDrops(), drops);
  }
}

}  // namespace

#include "lldp/Codec.h"
#include "tests/lldp/EngineFixture.h"
#include "tests/lldp/Hex.h"

#include "platform/events/Events.h"
#include "platform/trace/Ringlog.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace {

using namespace LldpTest;
using Lldp::VornTlv;

const std::string kTapEth = "0180c200000e 020000000099 88cc";
// Chassis ID: locally assigned "ab" | Port ID: interface name "tap0" | TTL 1 s.
const std::string kTapMandatory = "0203 07 6162 0405 05 74617030 0602 0001";
// Chassis ID claiming 7 bytes with 4 left.
const std::string kPastEnd = kTapEth + "0207 04 0276 6f";
// Reserved type 9 | another organisation's TLV: two unrecognized TLVs.
const std::string kUnknownTlvs = kTapEth + kTapMandatory + "1201 00 fe05 0080c2 01 00 0000";
Zem::Optional<VornTlv> tlvOf(int flags) { return VornTlv{1, Vorn::Role::member, 2, 0, uint8_t(flags)}; }

// What each kind of frame counts, as LLDP-MIB's statistics say (out: sw2's
// own first frame, to the tap); the same frame again counts as the first did.
TEST(PortSmTest, EachFrameCountsWhereTheStandardSays) {
  const std::vector<std::tuple<const char*, std::vector<uint8_t>, Counts, const char*>> cases{
      {"TLV past the end", hex(kPastEnd), {.in = 2, .out = 1, .discarded = 2, .inErrors = 2},
       "frame discarded: tlvPastEnd: Chassis ID TLV at offset 14 has length 7"},
      {"802.1Q tag of VLAN 100", hex("0180c200000e 020000000099 8100 0064 88cc" + kTapMandatory + "0000"),
       {.in = 2, .out = 1, .discarded = 2, .tagged = 2}, "taggedFrame"},
      {"IPv4", hex("0180c200000e 020000000099 0800 4500"), {.in = 2, .out = 1, .discarded = 2}, "notLldp"},
      {"unknown TLVs", hex(kUnknownTlvs), {.in = 2, .out = 1, .unrecognized = 4, .inserts = 1}, "new remote system"},
      // Vorn TLV of 4 bytes | System Capabilities of 3: both left out, the rest used.
      {"malformed optional TLVs", hex(kTapEth + kTapMandatory + "fe08 02766f 01 01010202 0e03 000400 0000"),
       {.in = 2, .out = 1, .tlvsDiscarded = 4, .inserts = 1}, "TLV discarded: badVornTlv"},
      // TTL 0 from a sender never heard: nothing to forget.
      {"shutdown of a stranger", frameOf("ab", 0), {.in = 2, .out = 1}, ""},
  };
  for (const auto& [name, frame, delta, text] : cases) {
    SCOPED_TRACE(name);
    Group g;
    Ringlog::Capture trace;
    for (const double t : {0.02, 0.05}) g.send(frame), g.runUntil(t);
    EXPECT_EQ(counts(g.sw2, et1), delta);
    EXPECT_TRUE(!*text || trace.contains(text)) << text;
    EXPECT_EQ(g.sw2.port(et1)->remoteSystem().size(), delta.inserts);
  }
}

// A sender flooding bad frames gets one level 2 trace a second per port; the
// rest go to level 7 and every frame is counted.
TEST(PortSmTest, AFloodOfBadFramesIsTracedAtLevelTwoOnceASecond) {
  Group g;
  Ringlog::Capture trace;
  for (int i = 0; i < 25; ++i) {
    g.send(hex(kPastEnd));
    g.runUntil(0.1 * (i + 1));  // 2.5 s of ten frames a second
  }
  std::map<int, int> levels;
  for (const auto& r : trace.records()) levels[r.level] += r.message.find("frame discarded") != std::string::npos;
  EXPECT_EQ(levels[2], 3);  // at 0.001, 1.001 (or later) and 2.001 (or later)
  EXPECT_EQ(levels[7], 22);
  EXPECT_EQ(counts(g.sw2, et1).inErrors, 25u);
}

// The statistics move by exactly the frames seen and publish nothing: the
// records' watchers hear of a frame only through the remote system it
// refreshes. Nothing goes out while the link is down; a port that only
// transmits forgets what it heard and goes on sending, without a pause.
TEST(PortSmTest, StatisticsCountEveryFrameAndNothingGoesOutWhileTheLinkIsDown) {
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
  g.wire->cut(Group::end(g.sw1, et1));
  g.runUntil(3.05);
  EXPECT_EQ(counts(g.sw1, et1).out, a.out + 10);
  EXPECT_EQ(counts(g.sw1, et2).out, 0u);  // never cabled
  g.cable(et1, et1);
  g.runUntil(4.05);
  EXPECT_EQ(counts(g.sw1, et1).out, a.out + 20);
  ASSERT_TRUE(g.sw2.remote(et1));
  g.sw2.config->portConfig(et1)->adminStatusIs(Lldp::AdminStatus::enabledTxOnly);
  EXPECT_TRUE(g.sw2.port(et1)->remoteSystem().empty());
  const auto before = counts(g.sw2, et1);
  g.runUntil(5.05);
  EXPECT_EQ(counts(g.sw2, et1) - before, (Counts{.out = 10}));
  EXPECT_TRUE(g.sw2.port(et1)->remoteSystem().empty());
  EXPECT_TRUE(g.sw1.remote(et1));
}

// Regression: eight senders with the longest TTL filled the table before the
// port's peer (the sender of a Vorn TLV naming the member this port expects)
// was heard, and kept it out.
TEST(PortSmTest, ForeignSendersCannotKeepTheExpectedPeerOut) {
  Group g;
  g.sw2.vornTlvTxIs(et1, VornTlv{2, Vorn::Role::member, 1, 0, 0});
  for (int i = 0; i < 8; ++i) g.send("squatter" + std::to_string(i), 65535);
  g.runUntil(0.01);
  auto ps = g.sw2.port(et1);
  ASSERT_EQ(ps->remoteSystem().size(), 8u);
  EXPECT_FALSE(ps->tooManyNeighbors());
  const auto before = counts(g.sw2, et1);
  const auto peer = frameOf("peer", 1, kTlv1, 300);  // member 1, which sw2's Ethernet1 expects
  g.send(peer);
  g.runUntil(0.02);
  ASSERT_EQ(ps->remoteSystem().size(), 8u);
  ASSERT_TRUE(ps->remoteSystem(9));
  EXPECT_EQ(ps->remoteSystem(9)->vornTlv(), Zem::Optional<VornTlv>(kTlv1));
  EXPECT_FALSE(ps->remoteSystem(1)) << "the least recently heard squatter makes room";
  EXPECT_EQ(counts(g.sw2, et1) - before, (Counts{.in = 1, .inserts = 1, .deletes = 1, .drops = 1}));
  EXPECT_TRUE(ps->tooManyNeighbors());
  // More squatters are refused; the peer, refreshed, stays.
  g.send("squatter8", 65535);
  g.send(peer);
  g.runUntil(0.03);
  EXPECT_EQ(counts(g.sw2, et1) - before, (Counts{.in = 3, .discarded = 1, .inserts = 1, .deletes = 1, .drops = 2}));
  EXPECT_TRUE(ps->remoteSystem(9));
  // A shutdown makes room for anyone.
  g.send("squatter1", 0);
  g.send("newcomer");
  g.runUntil(0.04);
  ASSERT_TRUE(ps->remoteSystem(10));
  EXPECT_EQ(ps->remoteSystem(10)->chassisId().bytes(), "newcomer");
}

// A full table refuses newcomers for as long as the longest refused hold
// time; a remote system heard once goes at its exact hold time, not its TTL.
TEST(PortSmTest, TooManyNeighborsLastsAsLongAsTheLongestRefusedHoldTime) {
  Group g;
  g.send(frameOf("once", 1, Zem::none, 300));
  g.runUntil(0.3);  // heard at 0.001
  EXPECT_TRUE(g.sw2.remote(et1));
  const auto before = counts(g.sw2, et1);
  g.runUntil(0.302);
  EXPECT_FALSE(g.sw2.remote(et1));
  const auto aged = counts(g.sw2, et1) - before;
  EXPECT_EQ(aged, (Counts{.out = aged.out, .ageouts = 1, .deletes = 1, .tableAgeouts = 1}));
  for (int i = 0; i < 8; ++i) g.send("neighbour" + std::to_string(i), 30);
  g.runUntil(1);
  auto ps = g.sw2.port(et1);
  for (auto [name, ttl] : {std::pair{"refused-a", 5}, {"refused-b", 10}, {"refused-c", 3}}) g.send(name, ttl);
  g.runUntil(1.001);
  EXPECT_TRUE(ps->tooManyNeighbors());
  EXPECT_EQ(counts(g.sw2, et1).drops, 3u);
  EXPECT_EQ(ps->remoteSystem().size(), 8u);
  g.runUntil(11.001 - 1e-6);  // refused at 1.001, the longest for 10 s
  EXPECT_TRUE(ps->tooManyNeighbors());
  g.runUntil(11.001 + 1e-6);
  EXPECT_FALSE(ps->tooManyNeighbors());
}

// Changes between two regular frames (1.0 and 1.1) go out at once while the
// five credits last, one credit coming back a second; the regular frame
// carries the last change; writes at one time make one frame, and writes
// that leave the frame as last sent are no change.
TEST(PortSmTest, LocalChangeGoesOutAtOnceWhileCreditLasts) {
  Group g;
  g.cable(et1, et1);
  g.runUntil(1.005);
  const std::vector<std::tuple<Velto::Duration, std::vector<int>, int, uint64_t>> steps{
      // at, flags written, flags heard after, frames sent since the first change
      {1.005, {1}, 1, 1}, {1.015, {2}, 2, 2}, {1.025, {3}, 3, 3}, {1.035, {4}, 4, 4}, {1.045, {5}, 5, 5},
      {1.055, {6}, 5, 5}, {1.065, {7}, 5, 5}, {1.102, {}, 7, 6}, {2.05, {8, 9}, 9, 16}, {2.052, {10}, 9, 16},
      {3.05, {11, 10}, 10, 26}};  // the regular frames only since 2.05
  const auto before = counts(g.sw1, et1).out;
  for (const auto& [at, written, heard, sent] : steps) {
    g.runUntil(at);
    for (int flags : written) g.sw1.vornTlvTxIs(et1, tlvOf(flags));
    g.runUntil(at + 0.002);
    EXPECT_EQ(g.sw2.remote(et1)->vornTlv(), tlvOf(heard)) << at;
    EXPECT_EQ(counts(g.sw1, et1).out - before, sent) << at;
  }
}

// What a port sends is encoded once and kept; every change of what it
// carries goes out with the next frame.
TEST(PortSmTest, KeptFrameFollowsEveryChangeOfWhatItCarries) {
  using Pdu = Lldp::Codec::Lldpdu;
  const std::vector<std::tuple<const char*, std::function<void(EngineSwitch&)>, std::function<bool(const Pdu&)>>> cases{
      {"Vorn TLV", [](EngineSwitch& sw) { sw.vornTlvTxIs(et1, kTlv1); },
       [](const Pdu& p) { return p.vornTlv == Zem::Optional<VornTlv>(kTlv1); }},
      {"hold time", [](EngineSwitch& sw) { sw.config->messageTxHoldTimeIs(4000); },
       [](const Pdu& p) { return p.ttl == 4; }},
  };
  for (const auto& [name, change, carried] : cases) {
    SCOPED_TRACE(name);
    Group g;
    g.plugTap();
    auto heard = [&](size_t back) { return Lldp::Codec::decode(g.tapHeard.at(g.tapHeard.size() - back)).lldpdu(); };
    g.runUntil(0.25);
    ASSERT_EQ(g.tapHeard.size(), 3u);
    EXPECT_FALSE(carried(heard(1)));
    change(g.sw2);
    g.runUntil(0.45);  // the change at once or with the frame at 0.3, then 0.4
    ASSERT_GE(g.tapHeard.size(), 5u);
    EXPECT_TRUE(carried(heard(1)) && carried(heard(2)));
  }
}

}  // namespace

namespace {

// A neighbour whose frame changes every time gets one change event a second,
// which says how many changes it stands for: its flapping cannot flush the
// port's history of everything else.
TEST(PortSmEventsTest, ANeighbourChangingEveryFrameGetsOneChangeEventASecond) {
  Group g;
  Events::Recorder recorder("sw2");
  std::vector<Events::Event> changes;
  recorder.subscribe([&](const Events::Event& e) {
    if (e.intf == "Ethernet1" && e.kind == Events::Kind::neighborChanged) changes.push_back(e);
  });
  g.context.eventSinkIs(&recorder);
  // 25 frames at 10 a second, the TLV flag flipping with each, a TTL long
  // enough to keep the neighbour.
  for (int i = 0; i < 25; ++i) {
    g.send(frameOf("ab", 120, tlvOf(i % 2)));
    g.runUntil(0.1 * (i + 1));
  }
  g.context.eventSinkIs(nullptr);
  // Added at 0 s; changed at 0.1 s (the first change), then once a second.
  ASSERT_EQ(changes.size(), 3u);
  EXPECT_EQ(*changes[0].field("changes"), "1");
  EXPECT_EQ(*changes[1].field("changes"), "10");
  EXPECT_EQ(*changes[0].field("what"), "vornTlv");
  EXPECT_EQ(recorder.history().last("Ethernet1", Events::Kind::neighborAdded)->field("chassisId")->substr(0, 2), "ab");
}

}  // namespace

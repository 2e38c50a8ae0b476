#include "VornFabricLldp/LldpCtxMapperSm.h"
#include "tests/VornFabricLldp/RxTestSupport.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace {

using Kivo::IntfId;
using RxTest::peerRs;
using RxTest::tlv;
using VornFabricLldp::CtxForMember;
using VornFabricLldp::LldpCtxMapperSm;
using VornFabricLldp::LldpSelectedRsForMember;
using PeerId = Zem::Optional<Vorn::MemberId>;

const IntfId po1("Port-Channel1");
const IntfId po2("Port-Channel2");
const IntfId et1("Ethernet1");
const IntfId et2("Ethernet2");
const IntfId et3("Ethernet3");

class LldpCtxMapperSmTest : public testing::Test {
 protected:
  void start(bool restoreFromLocalBackup = false) {
    sm = VornFabricLldp::lldpCtxMapperSmFactory({1, scheduler, memberConfig, selection, restoreFromLocalBackup, ctx});
  }

  // A channel arriving whole, as the configuration service writes one.
  void configure(const IntfId& bcIntf, const std::vector<IntfId>& members, PeerId peer = Vorn::MemberId(2)) {
    auto bc = Velto::make<Vorn::BackplaneChannelConfig>(bcIntf);
    for (const auto& m : members) bc->memberIntfIs(m);
    bc->peerMemberIdIs(peer);
    memberConfig->bcConfigPut(bcIntf, bc);
  }
  bool inSet(const IntfId& bcIntf, const IntfId& memberIntf) const {
    auto set = ctx->intfMap(bcIntf);
    return set && set->memberHas(memberIntf);
  }
  // "Po1 peer=2": the context's channel and expected peer.
  std::string ctxOf(const IntfId& memberIntf) const {
    auto c = ctx->ctx(memberIntf);
    return c ? fmt::format("{} peer={}", c->bcIntf(), c->peerMemberId()) : "none";
  }
  Zem::Optional<Lldp::VornTlv> prevTlvOf(const IntfId& memberIntf) const {
    auto c = ctx->ctx(memberIntf);
    if (!c) ADD_FAILURE() << "no context for " << memberIntf.shortName();
    return c ? c->prevTlv() : Zem::none;
  }
  Velto::Ptr<VornFabricLldp::RxInfo> rxInfo(const IntfId& memberIntf) const {
    auto c = ctx->ctx(memberIntf);
    return c ? c->rxInfo() : nullptr;
  }

  Velto::Ptr<Oru::VirtualScheduler> scheduler = Velto::make<Oru::VirtualScheduler>(0.0);
  Velto::Ptr<Vorn::MemberConfig> memberConfig = Velto::make<Vorn::MemberConfig>("1");
  Velto::Ptr<LldpSelectedRsForMember> selection = VornFabricLldp::lldpSelectedRsForMemberFactory();
  Velto::Ptr<CtxForMember> ctx = Velto::make<CtxForMember>("ctxForMember");
  Velto::Ptr<LldpCtxMapperSm> sm;
};

// --- channels and member interfaces ----------------------------------------------------

TEST_F(LldpCtxMapperSmTest, NewChannelMapsEveryMemberWithTheChannelsPeer) {
  start();
  // Peer 0 means none.
  for (const auto& [configured, peer] : {std::pair<PeerId, std::string>{Vorn::MemberId(2), "2"},
                                         {Vorn::MemberId(0), "OptionalNone"}, {Zem::none, "OptionalNone"}}) {
    memberConfig->bcConfigDel(po1);
    configure(po1, {et2, et1}, configured);
    for (const auto& m : {et1, et2}) {
      EXPECT_EQ(ctxOf(m), "Po1 peer=" + peer);
      EXPECT_TRUE(inSet(po1, m));
    }
  }
}

TEST_F(LldpCtxMapperSmTest, MemberInterfacesComeAndGoWithTheirChannel) {
  start();
  configure(po1, {et1, et2});
  auto bc = memberConfig->bcConfig(po1);

  bc->memberIntfDel(et2);
  EXPECT_FALSE(ctx->ctx(et2));
  EXPECT_FALSE(inSet(po1, et2));

  bc->memberIntfIs(et3);
  EXPECT_EQ(ctxOf(et3), "Po1 peer=2");
  EXPECT_TRUE(inSet(po1, et3));

  // Replaced whole: members only the old entry had go, the others stay.
  configure(po1, {et3, et2}, Vorn::MemberId(4));
  EXPECT_FALSE(ctx->ctx(et1));
  EXPECT_EQ(ctxOf(et2), "Po1 peer=4");
  EXPECT_EQ(ctxOf(et3), "Po1 peer=4");

  memberConfig->bcConfigDel(po1);
  EXPECT_FALSE(ctx->intfMap(po1));
  EXPECT_TRUE(ctx->ctx().empty());
}

TEST_F(LldpCtxMapperSmTest, MovedMemberInterface) {
  for (const bool newChannelFirst : {true, false}) {
    SCOPED_TRACE(newChannelFirst ? "new channel handled first" : "old channel handled first");
    memberConfig = Velto::make<Vorn::MemberConfig>("1");
    ctx = Velto::make<CtxForMember>("ctxForMember");
    configure(po1, {et1, et2});
    configure(po2, {et3}, Vorn::MemberId(3));
    start();

    if (newChannelFirst) {
      memberConfig->bcConfig(po2)->memberIntfIs(et2);
      EXPECT_EQ(ctxOf(et2), "Po2 peer=3");
      EXPECT_TRUE(inSet(po1, et2));  // the old channel's set is left to its own removal
      memberConfig->bcConfig(po1)->memberIntfDel(et2);
      // The removal from the old channel takes the context with it, even
      // though it now belongs to the new channel.
      EXPECT_FALSE(ctx->ctx(et2));
      EXPECT_FALSE(inSet(po1, et2));
      EXPECT_TRUE(inSet(po2, et2));
    } else {
      memberConfig->bcConfig(po1)->memberIntfDel(et2);
      memberConfig->bcConfig(po2)->memberIntfIs(et2);
      EXPECT_EQ(ctxOf(et2), "Po2 peer=3");
      EXPECT_FALSE(inSet(po1, et2));
      EXPECT_TRUE(inSet(po2, et2));
    }
  }
}

TEST_F(LldpCtxMapperSmTest, PeerChangeReachesEveryMemberContext) {
  configure(po1, {et1, et2, et3});
  start();
  ctx->ctxDel(et2);  // a member without a context is skipped, not recreated
  memberConfig->bcConfig(po1)->peerMemberIdIs(Vorn::MemberId(5));
  EXPECT_EQ(ctxOf(et1), "Po1 peer=5");
  EXPECT_EQ(ctxOf(et3), "Po1 peer=5");
  EXPECT_FALSE(ctx->ctx(et2));
}

// --- receive information --------------------------------------------------------------------

TEST_F(LldpCtxMapperSmTest, ReceiveInformationFollowsTheSelectionAndKeepsThePreviousTlv) {
  configure(po1, {et1});
  start();
  const auto a = tlv(2, 1, 0), b = tlv(2, 1, 1), c = tlv(3, 1, 1);
  auto rs1 = peerRs(1, 1.0, a);
  auto rs2 = peerRs(2, 3.0, c, 3);

  struct Step {
    const char* name;
    std::function<void()> act;
    int index;  // -1: no rxInfo
    Zem::Optional<Lldp::VornTlv> tlv;
    Zem::Optional<Velto::Duration> refresh;
    Zem::Optional<Lldp::VornTlv> prevTlv;
  };
  const std::vector<Step> steps = {
      {"selected", [&] { selection->remoteSystemIs(et1, rs1); }, 1, a, 1.0, Zem::none},
      {"refreshed", [&] { rs1->lastRefreshTimeIs(2.0); }, 1, a, 2.0, Zem::none},
      {"new TLV", [&] { rs1->vornTlvIs(b); }, 1, b, 2.0, a},
      {"refreshed again", [&] { rs1->lastRefreshTimeIs(2.5); }, 1, b, 2.5, a},
      {"another remote system selected", [&] { selection->remoteSystemIs(et1, rs2); }, 2, c, 3.0, Zem::none},
      {"TLV lost", [&] { rs2->vornTlvIs(Zem::none); }, -1, Zem::none, Zem::none, c},
      {"TLV back", [&] { rs2->vornTlvIs(c); }, 2, c, 3.0, Zem::none},
      {"selection removed", [&] { selection->remoteSystemDel(et1); }, -1, Zem::none, Zem::none, c},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(step.name);
    step.act();
    auto rx = rxInfo(et1);
    ASSERT_EQ(rx ? rx->index() : -1, step.index);
    if (rx) {
      EXPECT_EQ(rx->tlv(), step.tlv);
      EXPECT_EQ(rx->lastRefreshTime(), step.refresh);
    }
    EXPECT_EQ(prevTlvOf(et1), step.prevTlv);
  }
}

TEST_F(LldpCtxMapperSmTest, SelectionWithoutContextChangesNothing) {
  configure(po1, {et1});
  start();
  const IntfId et9("Ethernet9");
  int writes = 0;
  auto reactor = ctx->subscribe([&](const Zem::Change&) { ++writes; });
  selection->remoteSystemIs(et9, peerRs(1, 1.0, tlv(2)));
  EXPECT_EQ(writes, 0);
}

// --- start-up and the hold after a restore ------------------------------------------------------

class LldpCtxMapperSmStartUpTest : public LldpCtxMapperSmTest {
 protected:
  // Context restored from the backup: Et1 and Et2 were receiving, nothing is
  // selected yet.
  void SetUp() override {
    configure(po1, {et1, et2, et3});
    for (const auto& [m, index] : {std::pair{et1, 4}, std::pair{et2, 5}}) {
      auto rx = ctx->ctxIs(po1, m)->rxInfoIs(index);
      rx->tlvIs(restored);
      rx->lastRefreshTimeIs(100.0);
    }
  }
  const Lldp::VornTlv restored = tlv(2, 1, 1);
};

TEST_F(LldpCtxMapperSmStartUpTest, WithoutRestoreStaleReceiveInformationGoesAtOnce) {
  start(false);
  EXPECT_FALSE(rxInfo(et1));
  EXPECT_FALSE(rxInfo(et2));
  EXPECT_EQ(prevTlvOf(et1), Zem::Optional<Lldp::VornTlv>(restored));
  EXPECT_EQ(scheduler->scheduledTaskCount(), 0u);
}

TEST_F(LldpCtxMapperSmStartUpTest, AfterRestoreStaleReceiveInformationIsHeldForThreeSeconds) {
  auto fresh = peerRs(6, 0.5, tlv(3, 1, 1), 3);
  selection->remoteSystemIs(et2, fresh);
  start(true);
  EXPECT_EQ(sm->clearStaleEntriesTask()->dueTime(), 3.0);

  // Held: Et1 has nothing selected. Et2 is brought up to date meanwhile.
  ASSERT_TRUE(rxInfo(et1) && rxInfo(et2));
  EXPECT_EQ(rxInfo(et1)->index(), 4);
  EXPECT_EQ(rxInfo(et2)->index(), 6);
  EXPECT_EQ(rxInfo(et2)->tlv(), Zem::Optional<Lldp::VornTlv>(tlv(3, 1, 1)));
  // A selection that goes during the hold is held as well.
  selection->remoteSystemDel(et2);
  ASSERT_TRUE(rxInfo(et2));
  EXPECT_EQ(rxInfo(et2)->index(), 6);

  scheduler->runUntil(2.5);
  EXPECT_TRUE(rxInfo(et1));
  scheduler->runUntil(3.0);
  EXPECT_FALSE(rxInfo(et1));
  EXPECT_FALSE(rxInfo(et2));
  EXPECT_EQ(prevTlvOf(et1), Zem::Optional<Lldp::VornTlv>(restored));
  EXPECT_EQ(prevTlvOf(et2), Zem::Optional<Lldp::VornTlv>(tlv(3, 1, 1)));
  EXPECT_EQ(scheduler->scheduledTaskCount(), 0u);
}

TEST_F(LldpCtxMapperSmStartUpTest, StartUpRemovesWhatTheConfigurationNoLongerHas) {
  const IntfId et9("Ethernet9"), po7("Port-Channel7");
  ctx->ctxIs(po1, et9);                     // no longer a member of its channel
  ctx->ctxIs(po7, et3);                     // channel gone, interface now in Po1
  ctx->intfMapIs(po7)->memberIs(et3);
  ctx->intfMapIs(po1)->memberIs(et9);
  start();
  EXPECT_FALSE(ctx->ctx(et9));
  EXPECT_EQ(ctxOf(et3), "Po1 peer=2");  // rebuilt for the configured channel
  EXPECT_EQ(ctxOf(et1), "Po1 peer=2");
  EXPECT_FALSE(ctx->intfMap(po7));
  EXPECT_FALSE(inSet(po1, et9));
  EXPECT_TRUE(inSet(po1, et1));
}

TEST_F(LldpCtxMapperSmStartUpTest, TearDownLeavesTheContextAndDropsTheTask) {
  start(true);
  sm = nullptr;
  EXPECT_EQ(scheduler->scheduledTaskCount(), 0u);
  scheduler->runUntil(10.0);
  ASSERT_TRUE(rxInfo(et1));
  EXPECT_EQ(rxInfo(et1)->index(), 4);
  memberConfig->bcConfigDel(po1);
  EXPECT_TRUE(ctx->ctx(et1));
}

}  // namespace

#include "VornFabricLldp/LldpCtxMapperSm.h"
#include "VornFabricLldp/LldpHigigSm.h"
#include "VornFabricLldp/LldpRemoteSystemSelectorSm.h"
#include "tests/VornFabricLldp/RxTestSupport.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace {

using Kivo::IntfId;
using RxTest::messages;
using RxTest::messagesAt;
using RxTest::peerRs;
using RxTest::tlv;
using VornFabricLldp::CtxForMember;
using VornFabricLldp::LldpCtxMapperSm;
using VornFabricLldp::LldpSelectedRsForMember;
using PeerId = Zem::Optional<Vorn::MemberId>;
using Strings = std::vector<std::string>;

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
  struct Case {
    const char* name;
    PeerId configured;
    const char* peerText;
  };
  const std::vector<Case> cases = {
      {"peer 2", Vorn::MemberId(2), "2"},
      {"peer 0 is none", Vorn::MemberId(0), "OptionalNone"},
      {"no peer", Zem::none, "OptionalNone"},
  };
  start();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    memberConfig->bcConfigDel(po1);
    Ringlog::Capture cap;
    configure(po1, {et2, et1}, c.configured);
    EXPECT_EQ(messages(cap), (Strings{"add intfMap for Po1", "add tlv mapping for bcIntf=Po1, memberIntf=Et1",
                                      "add tlv mapping for bcIntf=Po1, memberIntf=Et2",
                                      std::string("bcIntf: Po1, peerMemberId: ") + c.peerText}));
    for (const auto& m : {et1, et2}) {
      EXPECT_EQ(ctxOf(m), std::string("Po1 peer=") + c.peerText);
      EXPECT_TRUE(inSet(po1, m));
    }
  }
}

TEST_F(LldpCtxMapperSmTest, MemberInterfacesComeAndGoWithTheirChannel) {
  start();
  configure(po1, {et1, et2});
  auto bc = memberConfig->bcConfig(po1);

  Ringlog::Capture cap;
  bc->memberIntfDel(et2);
  EXPECT_FALSE(ctx->ctx(et2));
  EXPECT_FALSE(inSet(po1, et2));
  EXPECT_EQ(messagesAt(cap, 0), Strings{"remove tlv mapping for bcIntf=Po1, memberIntf=Et2"});

  bc->memberIntfIs(et3);
  EXPECT_EQ(ctxOf(et3), "Po1 peer=2");
  EXPECT_TRUE(inSet(po1, et3));

  // Replaced whole: members only the old entry had go, the others stay.
  cap.clear();
  configure(po1, {et3, et2}, Vorn::MemberId(4));
  EXPECT_FALSE(ctx->ctx(et1));
  EXPECT_EQ(ctxOf(et2), "Po1 peer=4");
  EXPECT_EQ(ctxOf(et3), "Po1 peer=4");
  EXPECT_EQ(messagesAt(cap, 0), (Strings{"remove tlv mapping for bcIntf=Po1, memberIntf=Et1",
                                         "add tlv mapping for bcIntf=Po1, memberIntf=Et3",
                                         "add tlv mapping for bcIntf=Po1, memberIntf=Et2"}));

  cap.clear();
  memberConfig->bcConfigDel(po1);
  EXPECT_TRUE(cap.contains(6, "del intfMap for Po1"));
  EXPECT_FALSE(ctx->intfMap(po1));
  EXPECT_TRUE(ctx->ctx().empty());
}

TEST_F(LldpCtxMapperSmTest, MovedMemberInterface) {
  struct Case {
    const char* name;
    bool newChannelFirst;
  };
  for (const auto& c : {Case{"new channel handled first", true}, Case{"old channel handled first", false}}) {
    SCOPED_TRACE(c.name);
    memberConfig = Velto::make<Vorn::MemberConfig>("1");
    ctx = Velto::make<CtxForMember>("ctxForMember");
    configure(po1, {et1, et2});
    configure(po2, {et3}, Vorn::MemberId(3));
    start();

    Ringlog::Capture cap;
    if (c.newChannelFirst) {
      memberConfig->bcConfig(po2)->memberIntfIs(et2);
      EXPECT_EQ(messagesAt(cap, 2), Strings{"remove old tlv mapping for bcIntf=Po1, memberIntf=Et2"});
      EXPECT_TRUE(cap.contains(0, "add tlv mapping for bcIntf=Po2, memberIntf=Et2"));
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
      EXPECT_TRUE(messagesAt(cap, 2).empty());
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
  Ringlog::Capture cap;
  memberConfig->bcConfig(po1)->peerMemberIdIs(Vorn::MemberId(5));
  EXPECT_EQ(messages(cap), Strings{"bcIntf: Po1, peerMemberId: 5"});
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
    Strings traced;  // level 0, in order
  };
  const std::vector<Step> steps = {
      {"selected", [&] { selection->remoteSystemIs(et1, rs1); }, 1, a, 1.0, Zem::none,
       {"add rxInfo 1", "set rx TLV - rs: 1, intf: Et1; VornTlv(2, member, 1, OptionalNone)"}},
      {"refreshed", [&] { rs1->lastRefreshTimeIs(2.0); }, 1, a, 2.0, Zem::none, {}},
      {"new TLV", [&] { rs1->vornTlvIs(b); }, 1, b, 2.0, a, {"set rx TLV - rs: 1, intf: Et1; VornTlv(2, member, 1, 1)"}},
      {"refreshed again", [&] { rs1->lastRefreshTimeIs(2.5); }, 1, b, 2.5, a, {}},
      {"another remote system selected", [&] { selection->remoteSystemIs(et1, rs2); }, 2, c, 3.0, Zem::none,
       {"del rxInfo 1 to replace with 2", "add rxInfo 2", "set rx TLV - rs: 2, intf: Et1; VornTlv(3, member, 1, 1)"}},
      {"TLV lost", [&] { rs2->vornTlvIs(Zem::none); }, -1, Zem::none, Zem::none, c, {"del rxInfo 2"}},
      {"TLV back", [&] { rs2->vornTlvIs(c); }, 2, c, 3.0, Zem::none,
       {"add rxInfo 2", "set rx TLV - rs: 2, intf: Et1; VornTlv(3, member, 1, 1)"}},
      {"selection removed", [&] { selection->remoteSystemDel(et1); }, -1, Zem::none, Zem::none, c, {"del rxInfo 2"}},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(step.name);
    Ringlog::Capture cap;
    step.act();
    auto rx = rxInfo(et1);
    ASSERT_EQ(rx ? rx->index() : -1, step.index);
    if (rx) {
      EXPECT_EQ(rx->tlv(), step.tlv);
      EXPECT_EQ(rx->lastRefreshTime(), step.refresh);
    }
    EXPECT_EQ(prevTlvOf(et1), step.prevTlv);
    EXPECT_EQ(messagesAt(cap, 0), step.traced);
  }
}

TEST_F(LldpCtxMapperSmTest, SelectionWithoutContextChangesNothing) {
  configure(po1, {et1});
  start();
  const IntfId et9("Ethernet9");
  int writes = 0;
  auto reactor = ctx->subscribe([&](const Zem::Change&) { ++writes; });
  Ringlog::Capture cap;
  selection->remoteSystemIs(et9, peerRs(1, 1.0, tlv(2)));
  EXPECT_EQ(writes, 0);
  EXPECT_TRUE(cap.contains(6, "memberConfig does not exist for memberIntf=Et9"));
  EXPECT_TRUE(messagesAt(cap, 0).empty());
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
  EXPECT_FALSE(sm->clearStaleEntriesTask()->taskScheduled());
  EXPECT_EQ(scheduler->scheduledTaskCount(), 0u);
}

TEST_F(LldpCtxMapperSmStartUpTest, AfterRestoreStaleReceiveInformationIsHeldForThreeSeconds) {
  auto fresh = peerRs(6, 0.5, tlv(3, 1, 1), 3);
  selection->remoteSystemIs(et2, fresh);
  start(true);
  const auto& task = sm->clearStaleEntriesTask();
  EXPECT_TRUE(task->taskScheduled());
  EXPECT_EQ(task->dueTime(), 3.0);
  EXPECT_EQ(task->taskName(), "ctxForMember");
  EXPECT_EQ(task->taskPriority(), 3);

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
  Ringlog::Capture cap;
  scheduler->runUntil(3.0);
  EXPECT_FALSE(rxInfo(et1));
  EXPECT_FALSE(rxInfo(et2));
  EXPECT_EQ(prevTlvOf(et1), Zem::Optional<Lldp::VornTlv>(restored));
  EXPECT_EQ(prevTlvOf(et2), Zem::Optional<Lldp::VornTlv>(tlv(3, 1, 1)));
  EXPECT_TRUE(cap.contains(0, "del rxInfo 4"));
  EXPECT_TRUE(cap.contains(0, "del rxInfo 6"));
  EXPECT_FALSE(task->taskScheduled());
}

TEST_F(LldpCtxMapperSmStartUpTest, ReplacingOrRemovingTheTaskEndsTheHold) {
  struct Case {
    const char* name;
    std::function<void(LldpCtxMapperSm&)> act;
  };
  const std::vector<Case> cases = {
      {"replaced", [this](LldpCtxMapperSm& m) { m.clearStaleEntriesTaskIs(scheduler, 3, "ctxForMember"); }},
      {"removed", [](LldpCtxMapperSm& m) { m.clearStaleEntriesTaskDel(); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    start(true);
    ASSERT_TRUE(rxInfo(et1));
    c.act(*sm);
    EXPECT_FALSE(rxInfo(et1));
    EXPECT_EQ(scheduler->scheduledTaskCount(), 0u);
  }
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

// --- the receive path end to end -----------------------------------------------------------

TEST_F(LldpCtxMapperSmTest, RemoteSystemHeardOnAPortReachesTheMemberContext) {
  auto status = Velto::make<Lldp::Status>("status");
  configure(po1, {et1});
  start();
  auto selector = VornFabricLldp::lldpRemoteSystemSelectorSmFactory(status, selection);

  const auto peerTlv = tlv(2, 1, 1, Lldp::VornTlv::lodestoreConnectedFlag);
  auto ps = status->portStatusIs(et1, 0);
  auto rs = peerRs(7, 4.0, peerTlv);
  ps->remoteSystemPut(7, rs);
  ASSERT_TRUE(rxInfo(et1));
  EXPECT_EQ(rxInfo(et1)->index(), 7);
  EXPECT_EQ(rxInfo(et1)->tlv(), Zem::Optional<Lldp::VornTlv>(peerTlv));
  EXPECT_EQ(rxInfo(et1)->lastRefreshTime(), Zem::Optional<Velto::Duration>(4.0));

  rs->lastRefreshTimeIs(4.1);
  EXPECT_EQ(rxInfo(et1)->lastRefreshTime(), Zem::Optional<Velto::Duration>(4.1));

  status->portStatusDel(et1);
  EXPECT_FALSE(rxInfo(et1));
  EXPECT_EQ(prevTlvOf(et1), Zem::Optional<Lldp::VornTlv>(peerTlv));
}

// The engine's records alone take a link into backplane mode and out again.
TEST_F(LldpCtxMapperSmTest, EngineRecordsAloneDriveNegotiation) {
  using State = Vorn::HigigNegotiationState;
  auto status = Velto::make<Lldp::Status>("status");
  auto config = Velto::make<Lldp::Config>("config");
  config->isMessageTxTimeInMsIs(true);
  config->messageTxIntervalIs(100);
  configure(po1, {et1});
  start();
  auto selector = VornFabricLldp::lldpRemoteSystemSelectorSmFactory(status, selection);
  const std::string path = "vorn/memberConfig/1";
  auto sync = Velto::make<Vorn::ServiceLocalRemoteSynchronizer>(
      Velto::make<Vorn::ServiceCtx>(memberConfig, path, path, false), nullptr);
  auto bcStatus = Velto::make<Vorn::BackplaneChannelStatus>("bcStatus");
  auto intf = bcStatus->bcMemberStatusIs(po1)->memberIntfStatusIs(et1);
  intf->stateIs(State::ethLinkDown);
  auto higig = VornFabricLldp::lldpHigigMemberIntfSmFactory({1, Vorn::Role::member, scheduler, sync, false,
                                                            ctx->ctx(et1), config, et1, nullptr, intf});

  auto rs = peerRs(7, 0.0, tlv(2, 1, 0));
  status->portStatusIs(et1, 0)->remoteSystemPut(7, rs);
  EXPECT_EQ(intf->state(), State::ethLinkUp);
  double t = 0;
  auto frame = [&](const Velto::Ptr<Lldp::RemoteSystem>& from) {
    scheduler->runUntil(t += 0.1);
    from->lastRefreshTimeIs(t);
  };
  rs->vornTlvIs(tlv(2, 1, 1));  // the peer hears us
  frame(rs);
  EXPECT_EQ(intf->state(), State::higigStarted);
  for (int i = 0; i < 101; ++i) frame(rs);
  EXPECT_EQ(intf->state(), State::higigConfirmed);

  // The peer goes away: the heartbeat is lost.
  status->portStatusDel(et1);
  EXPECT_FALSE(rxInfo(et1));
  EXPECT_EQ(intf->state(), State::ethLinkDown);

  // A whole new port status hears it again: negotiation starts over.
  auto replacement = Velto::make<Lldp::PortStatus>(et1, t);
  replacement->remoteSystemPut(8, peerRs(8, t, tlv(2, 1, 1)));
  status->portStatusPut(et1, replacement);
  ASSERT_TRUE(rxInfo(et1));
  EXPECT_EQ(rxInfo(et1)->index(), 8);
  EXPECT_EQ(intf->state(), State::ethLinkUp);
}

}  // namespace

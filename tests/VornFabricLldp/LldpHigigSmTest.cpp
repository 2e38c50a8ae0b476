#include "tests/VornFabricLldp/HigigTestSupport.h"

#include <set>
#include <string>
#include <vector>

namespace {

using namespace HigigTest;
using VornFabricLldp::LldpHigigMemberIntfSm;
using VornFabricLldp::LldpHigigSm;
using Vorn::Role;
using IntfStatus = LldpHigigMemberIntfSm::IntfStatus;

class LldpHigigSmTest : public HigigFixture {
 protected:
  void SetUp() override {
    HigigFixture::SetUp();
    config->isMessageTxTimeInMsIs(true);
    config->messageTxIntervalIs(100);
  }
  void TearDown() override {
    sm = nullptr;
    HigigFixture::TearDown();
  }

  void start(Role role = Role::member) {
    sm = VornFabricLldp::lldpHigigSmFactory({localId, role, sched, selector, ctxForMember, config, lldpStatus,
                                             asicsWarm, bcStatus});
  }
  // As context mapping configures a channel: contexts first, then the set.
  void configure(const IntfId& bc, std::initializer_list<IntfId> members) {
    for (const auto& m : members) ctxForMember->ctxIs(bc, m)->peerMemberIdIs(Vorn::MemberId(peerId));
    auto set = ctxForMember->intfMapIs(bc);
    for (const auto& m : members) set->memberIs(m);
  }
  Velto::Ptr<IntfStatus> intfStatus(const IntfId& bc, const IntfId& m) const {
    auto b = bcStatus->bcMemberStatus(bc);
    return b ? b->memberIntfStatus(m) : nullptr;
  }
  std::set<IntfId> children() const {
    std::set<IntfId> s;
    for (auto& [intf, child] : sm->higigSmForMemberIntf()) s.insert(intf);
    return s;
  }

  Velto::Ptr<Lldp::Config> config = Velto::make<Lldp::Config>("config");
  Velto::Ptr<Lldp::Status> lldpStatus = Velto::make<Lldp::Status>("status");
  Velto::Ptr<VornFabricLldp::CtxForMember> ctxForMember = Velto::make<VornFabricLldp::CtxForMember>("ctxForMember");
  Velto::Ptr<Vorn::AsicsWarm> asicsWarm = Velto::make<Vorn::AsicsWarm>("asicsWarm");
  Velto::Ptr<Vorn::ServiceCtx> svcCtx = serviceCtx(false, true);
  Velto::Ptr<Vorn::ServiceLocalRemoteSynchronizer> selector = selectorFor(svcCtx);
  Velto::Ptr<Vorn::BackplaneChannelStatus> bcStatus = Velto::make<Vorn::BackplaneChannelStatus>("bcStatus");
  Velto::Ptr<LldpHigigSm> sm;
};

TEST_F(LldpHigigSmTest, ChildExistsExactlyWhileAllFourConditionsHold) {
  start();
  ctxForMember->ctxIs(po1, et1);
  EXPECT_TRUE(children().empty());  // no channel configured
  auto set = ctxForMember->intfMapIs(po1);
  ASSERT_TRUE(bcStatus->bcMemberStatus(po1));
  EXPECT_TRUE(children().empty());  // not a member of the channel yet
  set->memberIs(et1);
  ASSERT_TRUE(intfStatus(po1, et1));
  EXPECT_EQ(children(), std::set<IntfId>{et1});
  EXPECT_EQ(sm->higigSmForMemberIntf(et1)->negotiatedIntfStatus(), intfStatus(po1, et1));
  EXPECT_EQ(intfStatus(po1, et1)->state(), State::ethLinkDown);

  ctxForMember->ctxDel(et1);
  EXPECT_TRUE(children().empty());
  EXPECT_TRUE(intfStatus(po1, et1));  // the status entry follows the set, not the context
  ctxForMember->ctxIs(po1, et1);
  EXPECT_EQ(children(), std::set<IntfId>{et1});

  // Listed in Po1 but its context belongs to Po2: inconsistent, no child.
  ctxForMember->ctxIs(po2, et2);
  set->memberIs(et2);
  EXPECT_TRUE(intfStatus(po1, et2));
  EXPECT_EQ(children(), std::set<IntfId>{et1});
}

TEST_F(LldpHigigSmTest, ChildGoesBeforeItsStatusEntryAndAfterItsChannelEntry) {
  configure(po1, {et1, et2});
  start();
  ASSERT_EQ(children(), (std::set<IntfId>{et1, et2}));
  std::vector<std::string> seen;
  auto watcher = bcStatus->subscribe([&](const Zem::Change& c) {
    if (!c.is(Vorn::BackplaneChannelStatus::bcMemberStatusAttr)) return;
    const auto& bc = c.keyAs<IntfId>();
    if (!c.nested() && !bcStatus->bcMemberStatus(bc)) {
      seen.push_back(fmt::format("del channel {} with {} children", bc, sm->higigSmForMemberIntf().size()));
    } else if (c.nested() && c.inner->is(Vorn::BackplaneChannelMemberStatus::memberIntfStatusAttr) &&
               !intfStatus(bc, c.inner->keyAs<IntfId>())) {
      const auto& m = c.inner->keyAs<IntfId>();
      seen.push_back(fmt::format("del entry {} with child {}", m, sm->higigSmForMemberIntf(m) != nullptr));
    }
  });
  ctxForMember->intfMap(po1)->memberDel(et1);
  EXPECT_EQ(children(), std::set<IntfId>{et2});
  ctxForMember->intfMapDel(po1);
  EXPECT_TRUE(children().empty());
  EXPECT_EQ(seen, (std::vector<std::string>{"del entry Et1 with child false", "del channel Po1 with 1 children"}));
}

TEST_F(LldpHigigSmTest, ReplacedMemberSetReexaminesOldAndNewMembers) {
  configure(po1, {et1, et2});
  start();
  auto replacement = Velto::make<VornFabricLldp::MemberIntfSet>(po1);
  ctxForMember->ctxIs(po1, et3);
  replacement->memberIs(et2);
  replacement->memberIs(et3);
  ctxForMember->intfMapPut(po1, replacement);
  EXPECT_EQ(children(), (std::set<IntfId>{et2, et3}));
  EXPECT_FALSE(intfStatus(po1, et1));
  EXPECT_TRUE(intfStatus(po1, et3));
}

TEST_F(LldpHigigSmTest, RestartKeepsOnlySettledBackplaneStates) {
  struct Row {
    State left;
    State resumed;
  };
  const Row rows[] = {{State::ethLinkDown, State::ethLinkDown},        {State::ethLinkUp, State::ethLinkDown},
                      {State::higigStarted, State::ethLinkDown},       {State::higigPending, State::ethLinkDown},
                      {State::higigConfirmed, State::higigConfirmed},  {State::higigWaitSsr, State::higigWaitSsr},
                      {State::higigWaitAsicsWarm, State::ethLinkDown}};
  configure(po1, {et1});
  for (const Row& row : rows) {
    SCOPED_TRACE(Vorn::stringValue(row.left));
    bcStatus->bcMemberStatusIs(po1)->memberIntfStatusIs(et1)->stateIs(row.left);
    // What a previous instance left for a channel and a member no longer
    // configured.
    bcStatus->bcMemberStatusIs(po2)->memberIntfStatusIs(et2);
    bcStatus->bcMemberStatusIs(po1)->memberIntfStatusIs(et3);
    start();
    EXPECT_EQ(intfStatus(po1, et1)->state(), row.resumed);
    EXPECT_EQ(intfStatus(po1, et1)->fabricMode(), row.resumed != State::ethLinkDown);
    EXPECT_EQ(sm->higigSmForMemberIntf(et1)->higigWaitSsrFailsafeTimerTask()->taskScheduled(),
              row.resumed == State::higigWaitSsr);
    EXPECT_FALSE(bcStatus->bcMemberStatus(po2));
    EXPECT_FALSE(intfStatus(po1, et3));
    EXPECT_EQ(children(), std::set<IntfId>{et1});
    sm = nullptr;
    EXPECT_EQ(sched->scheduledTaskCount(), 0u);  // the children's timers went with them
  }
}

TEST_F(LldpHigigSmTest, ReloadFromLocalStorageWaitsForTheRebootingPeer) {
  struct Row {
    const char* what;
    Role role;
    bool restoreFromLocal;
    bool mountsComplete;
    State expected;
  };
  const Row rows[] = {
      {"reloaded, mounts pending", Role::member, true, false, State::higigWaitSsr},
      {"reloaded on a candidate", Role::candidate, true, false, State::ethLinkDown},
      {"reloaded, mounts complete", Role::member, true, true, State::ethLinkDown},
      {"not reloaded", Role::member, false, false, State::ethLinkDown},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    ctxForMember->intfMapDelAll();
    ctxForMember->ctxDelAll();
    serviceCtxReplace(selector, serviceCtx(row.restoreFromLocal, row.mountsComplete));
    start(row.role);
    configure(po1, {et1});
    auto child = sm->higigSmForMemberIntf(et1);
    ASSERT_TRUE(child);
    EXPECT_EQ(intfStatus(po1, et1)->state(), row.expected);
    EXPECT_EQ(child->initialStateFromPstore(), row.expected == State::higigWaitSsr);
  }
}

TEST_F(LldpHigigSmTest, ReplacedContextRebuildsTheChildFromScratch) {
  configure(po1, {et1});
  start();
  auto first = sm->higigSmForMemberIntf(et1);
  auto ctx = ctxForMember->ctx(et1);
  receive(ctx, tlvFrom(peerId, localId, 0));
  EXPECT_EQ(intfStatus(po1, et1)->state(), State::ethLinkUp);
  EXPECT_EQ(sm->higigSmForMemberIntf(et1), first);  // traffic inside a context is the child's business

  auto fresh = Velto::make<VornFabricLldp::MemberCtx>(et1, po1);
  ctxForMember->ctxPut(et1, fresh);
  auto second = sm->higigSmForMemberIntf(et1);
  ASSERT_TRUE(second);
  EXPECT_NE(second, first);
  EXPECT_EQ(second->ctx(), fresh);
  EXPECT_EQ(intfStatus(po1, et1)->state(), State::ethLinkDown);
  receive(ctx, goodTlv());  // the old context no longer drives anything
  EXPECT_EQ(intfStatus(po1, et1)->state(), State::ethLinkDown);
}

}  // namespace

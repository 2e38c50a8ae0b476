#include "tests/VornFabricLldp/HigigTestSupport.h"

#include "platform/events/Events.h"

#include <set>
#include <string>
#include <vector>

namespace {

using namespace HigigTest;
using VornFabricLldp::LldpHigigSm;
using Vorn::Role;
using enum Vorn::HigigNegotiationState;
using Intfs = std::set<IntfId>;

class LldpHigigSmTest : public HigigFixture {
 protected:
  void TearDown() override { sm = nullptr; }

  void start(Role role = Role::member) {
    sm = VornFabricLldp::lldpHigigSmFactory({localId, role, sched, selector, ctxForMember, config, lldpStatus,
                                             asicsWarm, bcStatus});
  }
  // As context mapping configures a channel: contexts first, then the set.
  Velto::Ptr<VornFabricLldp::MemberIntfSet> configure(const IntfId& bc, std::initializer_list<IntfId> members) {
    for (const auto& m : members) ctxForMember->ctxIs(bc, m)->peerMemberIdIs(Vorn::MemberId(peerId));
    auto set = ctxForMember->intfMapIs(bc);
    for (const auto& m : members) set->memberIs(m);
    return set;
  }
  Velto::Ptr<VornFabricLldp::LldpHigigMemberIntfSm::IntfStatus> intfStatus(const IntfId& bc, const IntfId& m) const {
    return bcStatus->bcMemberStatus(bc) ? bcStatus->bcMemberStatus(bc)->memberIntfStatus(m) : nullptr;
  }
  Intfs children() const {
    Intfs s;
    for (auto& [intf, child] : sm->higigSmForMemberIntf()) s.insert(intf);
    return s;
  }

  Velto::Ptr<Lldp::Config> config = txEvery100ms();
  Velto::Ptr<Lldp::Status> lldpStatus = Velto::make<Lldp::Status>("status");
  Velto::Ptr<VornFabricLldp::CtxForMember> ctxForMember = Velto::make<VornFabricLldp::CtxForMember>("ctxForMember");
  Velto::Ptr<Vorn::AsicsWarm> asicsWarm = Velto::make<Vorn::AsicsWarm>("asicsWarm");
  Velto::Ptr<Vorn::ServiceLocalRemoteSynchronizer> selector = selectorFor(serviceCtx(false, true));
  Velto::Ptr<Vorn::BackplaneChannelStatus> bcStatus = Velto::make<Vorn::BackplaneChannelStatus>("bcStatus");
  Velto::Ptr<LldpHigigSm> sm;
};

// A child exists exactly while the member has a context, is listed in its
// channel's set and has a status entry; the status entry follows the set.
TEST_F(LldpHigigSmTest, ChildExistsExactlyWhileItsContextSetAndStatusEntryDo) {
  start();
  ctxForMember->ctxIs(po1, et1);
  EXPECT_EQ(children(), Intfs{});  // no channel configured
  auto set = ctxForMember->intfMapIs(po1);
  ASSERT_TRUE(bcStatus->bcMemberStatus(po1));
  EXPECT_EQ(children(), Intfs{});  // not a member of the channel yet
  set->memberIs(et1);
  ASSERT_EQ(children(), Intfs{et1});
  EXPECT_EQ(sm->higigSmForMemberIntf(et1)->negotiatedIntfStatus(), intfStatus(po1, et1));
  EXPECT_EQ(intfStatus(po1, et1)->state(), ethLinkDown);
  ctxForMember->ctxDel(et1);
  EXPECT_EQ(children(), Intfs{});
  EXPECT_TRUE(intfStatus(po1, et1));
  ctxForMember->ctxIs(po1, et1);
  EXPECT_EQ(children(), Intfs{et1});
  // Listed in Po1 but its context belongs to Po2: inconsistent, no child.
  ctxForMember->ctxIs(po2, et2);
  set->memberIs(et2);
  EXPECT_TRUE(intfStatus(po1, et2));
  EXPECT_EQ(children(), Intfs{et1});

  // A replaced set re-examines the members of both sets.
  auto replacement = Velto::make<VornFabricLldp::MemberIntfSet>(po1);
  ctxForMember->ctxIs(po1, et3);
  replacement->memberIs(et3);
  ctxForMember->intfMapPut(po1, replacement);
  EXPECT_EQ(children(), Intfs{et3});
  EXPECT_FALSE(intfStatus(po1, et1));
}

TEST_F(LldpHigigSmTest, RestartKeepsOnlySettledBackplaneStates) {
  configure(po1, {et1});
  for (State left : {ethLinkDown, ethLinkUp, higigStarted, higigPending, higigConfirmed, higigWaitSsr,
                     higigWaitAsicsWarm}) {
    SCOPED_TRACE(Vorn::stringValue(left));
    const State resumed = left == higigConfirmed || left == higigWaitSsr ? left : ethLinkDown;
    bcStatus->bcMemberStatusIs(po1)->memberIntfStatusIs(et1)->stateIs(left);
    // What a previous instance left for a channel and a member no longer
    // configured.
    bcStatus->bcMemberStatusIs(po2)->memberIntfStatusIs(et2);
    bcStatus->bcMemberStatusIs(po1)->memberIntfStatusIs(et3);
    start();
    EXPECT_EQ(intfStatus(po1, et1)->state(), resumed);
    EXPECT_EQ(intfStatus(po1, et1)->fabricMode(), resumed != ethLinkDown);
    EXPECT_EQ(sm->higigSmForMemberIntf(et1)->higigWaitSsrFailsafeTimerTask()->taskScheduled(),
              resumed == higigWaitSsr);
    EXPECT_FALSE(bcStatus->bcMemberStatus(po2) || intfStatus(po1, et3));
    EXPECT_EQ(children(), Intfs{et1});
    sm = nullptr;
    EXPECT_EQ(sched->scheduledTaskCount(), 0u);  // the children's timers went with them
  }
}

TEST_F(LldpHigigSmTest, ReloadFromLocalStorageWaitsForTheRebootingPeer) {
  struct Row { Role role; bool restoreFromLocal, mountsComplete; State expected; };
  for (const Row& row : {Row{Role::member, true, false, higigWaitSsr}, Row{Role::candidate, true, false, ethLinkDown},
                         Row{Role::member, true, true, ethLinkDown}, Row{Role::member, false, false, ethLinkDown}}) {
    SCOPED_TRACE(testing::Message() << row.restoreFromLocal << row.mountsComplete << (row.role == Role::member));
    ctxForMember->intfMapDelAll();
    ctxForMember->ctxDelAll();
    selector->serviceCtxIs(serviceCtx(row.restoreFromLocal, row.mountsComplete));
    start(row.role);
    configure(po1, {et1});
    ASSERT_TRUE(sm->higigSmForMemberIntf(et1));
    EXPECT_EQ(intfStatus(po1, et1)->state(), row.expected);
    EXPECT_EQ(sm->higigSmForMemberIntf(et1)->initialStateFromPstore(), row.expected == higigWaitSsr);
  }
}

TEST_F(LldpHigigSmTest, ReplacedContextRebuildsTheChildFromScratch) {
  configure(po1, {et1});
  start();
  const auto first = sm->higigSmForMemberIntf(et1);
  const auto ctx = ctxForMember->ctx(et1);
  receive(ctx, tlvFrom(peerId, localId, 0));
  EXPECT_EQ(intfStatus(po1, et1)->state(), ethLinkUp);
  EXPECT_EQ(sm->higigSmForMemberIntf(et1), first);  // traffic inside a context is the child's business

  ctxForMember->ctxPut(et1, Velto::make<VornFabricLldp::MemberCtx>(et1, po1));
  ASSERT_NE(sm->higigSmForMemberIntf(et1), first);
  EXPECT_EQ(sm->higigSmForMemberIntf(et1)->ctx(), ctxForMember->ctx(et1));
  EXPECT_EQ(intfStatus(po1, et1)->state(), ethLinkDown);
  receive(ctx, goodTlv());  // the old context no longer drives anything
  EXPECT_EQ(intfStatus(po1, et1)->state(), ethLinkDown);
}

// An operator reads a link's state from its event history: the newest
// linkState event says where it is, also after it left its channel (or the
// channel went) and came back.
TEST_F(LldpHigigSmTest, HistoryEndsWhereALinkThatLeftItsChannelIs) {
  Events::Recorder recorder("sw1");
  context_.eventSinkIs(&recorder);
  auto lastTo = [&](const IntfId& m) {
    const Events::Event* e = recorder.history().last(m.stringValue(), Events::Kind::linkState);
    return e && e->field("to") ? *e->field("to") : std::string("none");
  };
  struct Row { const char* how; State left; };
  for (const Row& row : {Row{"member leaves", higigConfirmed}, Row{"channel goes", higigWaitSsr},
                         Row{"member leaves", ethLinkDown}}) {
    SCOPED_TRACE(testing::Message() << row.how << " in " << Vorn::stringValue(row.left));
    bcStatus->bcMemberStatusIs(po1)->memberIntfStatusIs(et1)->stateIs(row.left);
    auto set = configure(po1, {et1});
    start();
    ASSERT_EQ(intfStatus(po1, et1)->state(), row.left);
    const size_t before = recorder.history().of(et1.stringValue()).size();
    if (std::string(row.how) == "member leaves") {
      set->memberDel(et1);
    } else {
      ctxForMember->intfMapDel(po1);
    }
    ASSERT_FALSE(intfStatus(po1, et1));
    if (row.left == ethLinkDown) {
      EXPECT_EQ(recorder.history().of(et1.stringValue()).size(), before);  // nothing ended
    } else {
      EXPECT_EQ(lastTo(et1), "ethLinkDown");
      const Events::Event* mode = recorder.history().last(et1.stringValue(), Events::Kind::fabricMode);
      ASSERT_TRUE(mode);
      EXPECT_EQ(*mode->field("to"), "ethernet");
    }
    configure(po1, {et1});
    ASSERT_EQ(intfStatus(po1, et1)->state(), ethLinkDown);
    EXPECT_TRUE(lastTo(et1) == "ethLinkDown" || lastTo(et1) == "none") << lastTo(et1);
    sm = nullptr;
    ctxForMember->intfMapDelAll();
    ctxForMember->ctxDelAll();
    bcStatus->bcMemberStatusDelAll();
  }
  context_.eventSinkIs(nullptr);
}

}  // namespace

#include "tests/VornFabricLldp/HigigTestSupport.h"

#include <functional>
#include <string>
#include <vector>

namespace {

using namespace HigigTest;
using VornFabricLldp::LldpHigigMemberIntfSm;
using VornFabricLldp::MembershipValidity;
using Vorn::Role;

const std::string ready = "VORN_BACKPLANE_INTF_READY: Switching Ethernet1 in Port-Channel1 to backplane mode";
std::string error(const std::string& reason) {
  return "VORN_BACKPLANE_INTF_ERROR: Switching Ethernet1 in Port-Channel1 to Ethernet mode (" + reason + ")";
}
std::string mismatch(const std::string& reason) {
  return "VORN_BACKPLANE_INTF_MISMATCH: Port-Channel1 member interface Ethernet1 encountered an unexpected member ID (" +
         reason + ")";
}
// A TLV from a member that is not the configured peer.
const Lldp::VornTlv strangerTlv = tlvFrom(3, localId, localId);

// One member interface Et1 of channel Po1 on member 1, facing member 2, with
// its own clock: table rows each get a fresh one.
struct Rig {
  Rig() {
    config->isMessageTxTimeInMsIs(true);
    config->messageTxIntervalIs(100);
    ctx->peerMemberIdIs(Vorn::MemberId(peerId));
  }

  void start(State initial = State::ethLinkDown, Role role = Role::member) {
    status->stateIs(initial);
    sm = VornFabricLldp::lldpHigigMemberIntfSmFactory({localId, role, sched, selector, false, ctx, config, et1,
                                                      asicsWarm, status});
  }
  void send(const Lldp::VornTlv& t = goodTlv()) { receive(ctx, t); }
  void silence() { lose(ctx); }
  void asicsWarmIs(bool local, bool peer) {
    asicsWarm->memberAsicsWarmIs(localId, local);
    asicsWarm->memberAsicsWarmIs(peerId, peer);
  }
  State state() const { return status->state(); }

  // From a fresh start, through the events that lead there.
  void driveTo(State s) {
    switch (s) {
      case State::ethLinkDown:
        break;
      case State::ethLinkUp:
        send(tlvFrom(peerId, localId, 0));
        break;
      case State::higigStarted:
        send(tlvFrom(peerId, localId, 0));
        send();
        break;
      case State::higigPending:
        driveTo(State::higigStarted);
        sched->runFor(0.1);
        break;
      case State::higigConfirmed:
        driveTo(State::higigPending);
        for (uint32_t i = 0; i < sm->higigConfirmedPktsMin(); ++i) send();
        break;
      case State::higigWaitSsr:
        driveTo(State::higigConfirmed);
        send(goodTlv(Role::candidate));  // the peer reboots as a candidate...
        silence();                       // ...and goes quiet
        break;
      case State::higigWaitAsicsWarm:
        driveTo(State::higigWaitSsr);
        send();  // back as a member
        break;
    }
    EXPECT_EQ(state(), s) << "while driving to " << Vorn::stringValue(s);
  }

  Velto::Ptr<Oru::VirtualScheduler> sched = Velto::make<Oru::VirtualScheduler>(0);
  Velto::Ptr<Lldp::Config> config = Velto::make<Lldp::Config>("config");
  Velto::Ptr<VornFabricLldp::CtxForMember> ctxForMember = Velto::make<VornFabricLldp::CtxForMember>("ctxForMember");
  Velto::Ptr<VornFabricLldp::MemberCtx> ctx = ctxForMember->ctxIs(po1, et1);
  Velto::Ptr<Vorn::AsicsWarm> asicsWarm = Velto::make<Vorn::AsicsWarm>("asicsWarm");
  Velto::Ptr<Vorn::ServiceCtx> svcCtx = serviceCtx(false, false);
  Velto::Ptr<Vorn::ServiceLocalRemoteSynchronizer> selector = selectorFor(svcCtx);
  Velto::Ptr<Vorn::BackplaneChannelStatus> bcStatus = Velto::make<Vorn::BackplaneChannelStatus>("bcStatus");
  Velto::Ptr<LldpHigigMemberIntfSm::IntfStatus> status = bcStatus->bcMemberStatusIs(po1)->memberIntfStatusIs(et1);
  Velto::Ptr<LldpHigigMemberIntfSm> sm;
};

class LldpHigigMemberIntfSmTest : public HigigFixture {
 protected:
  std::vector<std::string> takeLog() {
    auto lines = log.rendered();
    log.clear();
    return lines;
  }
  Rig r;
};

TEST_F(LldpHigigMemberIntfSmTest, ConfirmedPktsMinIsWhatThePeerSendsInTheWindow) {
  struct Row {
    bool inMs;
    uint32_t interval;
    uint32_t expected;
  };
  for (const Row& row : {Row{true, 1000, 10}, Row{true, 300, 33}, Row{true, 100, 100}, Row{false, 2, 5}}) {
    Rig rig;
    rig.config->isMessageTxTimeInMsIs(row.inMs);
    rig.config->messageTxIntervalIs(row.interval);
    rig.start();
    EXPECT_EQ(rig.sm->higigConfirmedPktsMin(), row.expected) << row.interval << (row.inMs ? " ms" : " s");
  }
  Rig noConfig;
  noConfig.config = nullptr;
  noConfig.start();
  EXPECT_EQ(noConfig.sm->higigConfirmedPktsMin(), 100u);
}

TEST_F(LldpHigigMemberIntfSmTest, ConstructionMakesFiveIdleTimersAndPublishesTheStartingState) {
  r.status->fabricModeIs(true);  // left over from a previous instance
  r.start();
  const std::vector<std::pair<Velto::Ptr<Oru::TimerTask>, std::string>> tasks{
      {r.sm->higigStartedTask(), "higigStarted-Ethernet1"},
      {r.sm->higigPendingTask(), "higigPending-Ethernet1"},
      {r.sm->higigAsicsWarmFailsafeTimerTask(), "higigAsicsWarmFailsafe-Ethernet1"},
      {r.sm->higigWaitSsrFailsafeTimerTask(), "higigWaitSsrFailsafe-Ethernet1"},
      {r.sm->higigWaitAsicsWarmHoldTimeTask(), "higigWaitAsicsWarmHoldTime-Ethernet1"}};
  for (auto& [task, name] : tasks) {
    ASSERT_TRUE(task);
    EXPECT_EQ(task->taskName(), name);
    EXPECT_EQ(task->taskPriority(), 3);
    EXPECT_FALSE(task->taskScheduled()) << name;
  }
  EXPECT_EQ(r.state(), State::ethLinkDown);
  EXPECT_FALSE(r.status->fabricMode());
  EXPECT_FALSE(r.status->membershipValid());
  EXPECT_EQ(r.sm->higigWaitSsrFailsafeDuration(), 60);
  EXPECT_TRUE(trace.contains("memberIntf: Et1, state: OptionalNone -> ethLinkDown"));
  EXPECT_TRUE(trace.contains("init higig member intf SM for Et1; initialStateFromPstore: false"));
}

TEST_F(LldpHigigMemberIntfSmTest, NegotiatesIntoBackplaneMode) {
  r.start();
  // The peer has not heard us yet: the link only comes up.
  r.send(tlvFrom(peerId, localId, 0, Role::member, Lldp::VornTlv::lodestoreConnectedFlag));
  EXPECT_EQ(r.state(), State::ethLinkUp);
  EXPECT_TRUE(r.status->tlvReceived());
  EXPECT_TRUE(r.status->peerConnectedToLodestore());
  EXPECT_EQ(r.status->peerRole(), Zem::Optional<Role>(Role::member));
  EXPECT_FALSE(r.status->membershipValid());

  r.send();
  EXPECT_EQ(r.state(), State::higigStarted);
  EXPECT_TRUE(r.status->membershipValid());
  EXPECT_FALSE(r.status->fabricMode());
  EXPECT_FALSE(r.status->peerConnectedToLodestore());

  // TLVs during the announcement change nothing; one transmit interval does.
  r.send();
  r.sched->runUntil(0.0999);
  EXPECT_EQ(r.state(), State::higigStarted);
  r.sched->runUntil(0.1);
  EXPECT_EQ(r.state(), State::higigPending);
  EXPECT_TRUE(r.status->fabricMode());
  EXPECT_DOUBLE_EQ(r.sm->higigPendingTask()->dueTime(), 50.1);

  // Every TLV counts, even one from a peer that has stopped hearing us.
  for (int i = 0; i < 50; ++i) r.send(tlvFrom(peerId, localId, 0));
  for (int i = 0; i < 49; ++i) r.send();
  EXPECT_EQ(r.state(), State::higigPending);
  EXPECT_TRUE(takeLog().empty());
  r.send();
  EXPECT_EQ(r.state(), State::higigConfirmed);
  EXPECT_FALSE(r.sm->higigPendingTask()->taskScheduled());
  EXPECT_EQ(takeLog(), std::vector<std::string>{ready});
  EXPECT_TRUE(r.status->fabricMode());
  EXPECT_TRUE(r.status->membershipValid());
}

TEST_F(LldpHigigMemberIntfSmTest, PendingTimesOutWhenTheCountIsBrokenBySilence) {
  r.start();
  r.driveTo(State::higigPending);
  const double entered = r.sched->now();
  for (int i = 0; i < 60; ++i) r.send();
  r.silence();  // the count starts over, the deadline does not move
  EXPECT_EQ(r.sm->higigPendingTlvReceived(), 0u);
  EXPECT_EQ(r.state(), State::higigPending);
  for (int i = 0; i < 60; ++i) r.send();
  r.sched->runUntil(entered + 49.999);
  EXPECT_EQ(r.state(), State::higigPending);
  r.sched->runUntil(entered + 50);
  EXPECT_EQ(r.state(), State::ethLinkDown);
  EXPECT_FALSE(r.status->fabricMode());
  EXPECT_EQ(takeLog(), std::vector<std::string>{error("negotiation timed out")});
  EXPECT_TRUE(trace.contains("higig pending task run for intf Et1"));
}

TEST_F(LldpHigigMemberIntfSmTest, LinkUpGoesDownWhenTheTlvGoes) {
  r.start();
  r.driveTo(State::ethLinkUp);
  r.silence();
  EXPECT_EQ(r.state(), State::ethLinkDown);
  EXPECT_FALSE(r.status->tlvReceived());
  EXPECT_TRUE(takeLog().empty());
}

TEST_F(LldpHigigMemberIntfSmTest, LinkUpStartsNegotiatingOnlyOnAValidVerdict) {
  for (const bool verification : {true, false}) {
    SCOPED_TRACE(verification ? "verification on" : "verification off");
    Rig rig;
    verificationIs(verification);
    rig.start();
    rig.driveTo(State::ethLinkUp);
    // The peer keeps sending without having heard us: membership missing.
    for (int i = 0; i < 5; ++i) rig.send(tlvFrom(peerId, localId, 0));
    EXPECT_EQ(rig.state(), State::ethLinkUp);
    rig.send();
    EXPECT_EQ(rig.state(), State::higigStarted);
  }
}

TEST_F(LldpHigigMemberIntfSmTest, MismatchReasonNamesTheFirstFault) {
  struct Row {
    const char* what;
    Zem::Optional<Vorn::MemberId> configuredPeer;
    Lldp::VornTlv tlv;
    std::string reason;
  };
  const Row rows[] = {
      {"no configured peer", Zem::none, goodTlv(), "expected peer ID: unknown, peer ID: 2"},
      {"another peer configured", Vorn::MemberId(3), goodTlv(), "expected peer ID: 3, peer ID: 2"},
      {"peer and expected both wrong", Vorn::MemberId(2), tlvFrom(4, 5, 0), "expected peer ID: 2, peer ID: 4"},
      {"peer heard someone else", Vorn::MemberId(2), tlvFrom(peerId, localId, 5), "peer received local ID: 5, local ID: 1"},
      {"peer heard and expects others", Vorn::MemberId(2), tlvFrom(peerId, 4, 5),
       "peer received local ID: 5, local ID: 1"},
      {"peer expects nobody", Vorn::MemberId(2), tlvFrom(peerId, 0, localId), "peer expected local ID: unknown, local ID: 1"},
      {"peer expects someone else", Vorn::MemberId(2), tlvFrom(peerId, 4, 0), "peer expected local ID: 4, local ID: 1"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    Rig rig;
    rig.ctx->peerMemberIdIs(row.configuredPeer);
    rig.start();
    rig.send(row.tlv);
    EXPECT_EQ(rig.sm->getMembershipValidity(), MembershipValidity::membershipMismatch);
    EXPECT_EQ(rig.sm->getMembershipMismatchReason(), Zem::Optional<std::string>(row.reason));
    EXPECT_EQ(rig.state(), State::ethLinkUp);
    EXPECT_EQ(takeLog(), std::vector<std::string>{mismatch(row.reason)});
  }
}

TEST_F(LldpHigigMemberIntfSmTest, MismatchDropsEveryStateToLinkUpAndIsReportedOnce) {
  for (State from : {State::ethLinkDown, State::ethLinkUp, State::higigStarted, State::higigPending,
                     State::higigConfirmed, State::higigWaitSsr, State::higigWaitAsicsWarm}) {
    SCOPED_TRACE(Vorn::stringValue(from));
    Rig rig;
    rig.start();
    rig.driveTo(from);
    const bool connected = rig.status->peerConnectedToLodestore();
    const auto peerRole = rig.status->peerRole();
    takeLog();
    rig.send(strangerTlv);
    EXPECT_EQ(rig.state(), State::ethLinkUp);
    EXPECT_FALSE(rig.status->fabricMode());
    const std::vector<std::string> once{mismatch("expected peer ID: 2, peer ID: 3")};
    EXPECT_EQ(takeLog(), from == State::ethLinkUp ? std::vector<std::string>{} : once);
    // Repeats are not reported and do not touch the peer's flags.
    rig.send(tlvFrom(3, localId, localId, Role::candidate));
    EXPECT_TRUE(takeLog().empty());
    EXPECT_EQ(rig.status->peerConnectedToLodestore(), connected);
    EXPECT_EQ(rig.status->peerRole(), peerRole);
  }
}

TEST_F(LldpHigigMemberIntfSmTest, VerificationOffTrustsAnyPeerThatHeardUs) {
  verificationIs(false);
  r.ctx->peerMemberIdIs(Zem::none);
  r.start();
  EXPECT_TRUE(r.status->membershipValid());  // even in ethLinkDown
  r.send(tlvFrom(3, 7, 0));
  EXPECT_EQ(r.state(), State::ethLinkUp);
  EXPECT_TRUE(r.status->membershipValid());
  EXPECT_EQ(r.sm->getMembershipMismatchReason(), Zem::none);
  EXPECT_EQ(r.sm->getMembershipValidity(), MembershipValidity::membershipMissing);
  r.send(tlvFrom(3, 7, 9));
  EXPECT_EQ(r.sm->getMembershipValidity(), MembershipValidity::valid);
  EXPECT_EQ(r.state(), State::higigStarted);
  r.sched->runFor(0.1);
  EXPECT_EQ(r.state(), State::higigPending);
  EXPECT_TRUE(takeLog().empty());
}

TEST_F(LldpHigigMemberIntfSmTest, VerificationOnPublishesMembershipOnlyFromHigigStarted) {
  verificationIs(true);
  const std::pair<State, bool> expected[] = {{State::ethLinkDown, false}, {State::ethLinkUp, false},
                                             {State::higigStarted, true}, {State::higigPending, true},
                                             {State::higigConfirmed, true}, {State::higigWaitSsr, true},
                                             {State::higigWaitAsicsWarm, true}};
  for (auto [s, valid] : expected) {
    Rig rig;
    rig.start();
    rig.driveTo(s);
    EXPECT_EQ(rig.status->membershipValid(), valid) << Vorn::stringValue(s);
  }
}

TEST_F(LldpHigigMemberIntfSmTest, HeartbeatLossInConfirmed) {
  struct Row {
    const char* what;
    Role ownRole;
    bool peerLastCandidate;
    bool tlvStays;  // the peer keeps sending but stops hearing us
    State expected;
    std::string trace;
    std::vector<std::string> log;
  };
  const Row rows[] = {
      {"peer silent", Role::member, false, false, State::ethLinkDown, "falling to ethLinkDown after TLV RX timeout",
       {error("heartbeat timed out")}},
      {"peer deaf", Role::member, false, true, State::ethLinkDown,
       "falling to ethLinkDown after TLV TX not seen by peer", {error("heartbeat timed out")}},
      {"peer rebooting", Role::member, true, false, State::higigWaitSsr,
       "peer is candidate; going to higigWaitSsr after TLV RX timeout", {}},
      {"rebooting peer deaf", Role::member, true, true, State::higigWaitSsr,
       "peer is candidate; going to higigWaitSsr after TLV TX not seen by peer", {}},
      {"we are a candidate", Role::candidate, false, false, State::higigConfirmed,
       "candidate mode; staying in higigConfirmed after TLV RX timeout", {}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    Rig rig;
    rig.start(State::ethLinkDown, row.ownRole);
    rig.driveTo(State::higigConfirmed);
    if (row.peerLastCandidate) rig.send(goodTlv(Role::candidate));
    takeLog();
    trace.clear();
    if (row.tlvStays) {
      rig.send(tlvFrom(peerId, localId, 0));
    } else {
      rig.silence();
    }
    EXPECT_EQ(rig.state(), row.expected);
    EXPECT_TRUE(trace.contains(row.trace));
    EXPECT_EQ(takeLog(), row.log);
  }
  // A rebooting peer keeps the link in backplane mode while it is away.
  Rig rig;
  rig.start();
  rig.driveTo(State::higigWaitSsr);
  EXPECT_TRUE(rig.status->fabricMode());
  EXPECT_DOUBLE_EQ(rig.sm->higigWaitSsrFailsafeTimerTask()->dueTime(), rig.sched->now() + 60);
  EXPECT_TRUE(trace.contains("Entering higigWaitSsr for Et1, waiting for non-candidate TLV"));
}

TEST_F(LldpHigigMemberIntfSmTest, PendingTimerStillArmedInConfirmedIsCancelledByTheNextTlv) {
  // However higigConfirmed was reached, the negotiation deadline must not
  // outlive the negotiation.
  r.start(State::higigPending);
  r.sm->stateIs(State::higigConfirmed);
  ASSERT_TRUE(r.sm->higigPendingTask()->taskScheduled());
  r.send();
  EXPECT_FALSE(r.sm->higigPendingTask()->taskScheduled());
  EXPECT_TRUE(trace.contains("memberIntf: Et1, state: higigConfirmed; cancelling higig pending timer"));
  r.sched->runFor(60);
  EXPECT_EQ(r.state(), State::higigConfirmed);
}

TEST_F(LldpHigigMemberIntfSmTest, PeerMemberIdChange) {
  {
    SCOPED_TRACE("missing in higigStarted");
    Rig rig;
    rig.start();
    rig.driveTo(State::higigStarted);
    rig.silence();  // higigStarted waits for its timer...
    EXPECT_EQ(rig.state(), State::higigStarted);
    rig.ctx->peerMemberIdIs(Vorn::MemberId(3));  // ...but a new peer with nothing heard ends it
    EXPECT_EQ(rig.state(), State::ethLinkDown);
    EXPECT_TRUE(trace.contains("memberIntf: Et1; membership missing"));
    EXPECT_TRUE(takeLog().empty());
  }
  {
    SCOPED_TRACE("missing in a restored higigConfirmed");
    Rig rig;
    rig.start(State::higigConfirmed);
    rig.ctx->peerMemberIdIs(Vorn::MemberId(3));
    EXPECT_EQ(rig.state(), State::ethLinkDown);
    EXPECT_EQ(takeLog(), std::vector<std::string>{error("heartbeat timed out")});
  }
  {
    SCOPED_TRACE("missing in higigConfirmed, the peer last seen as a candidate");
    Rig rig;
    rig.ctx->prevTlvIs(goodTlv(Role::candidate));
    rig.start(State::higigConfirmed);
    rig.ctx->peerMemberIdIs(Vorn::MemberId(3));
    EXPECT_EQ(rig.state(), State::higigWaitSsr);
    EXPECT_TRUE(rig.sm->higigWaitSsrFailsafeTimerTask()->taskScheduled());
    EXPECT_TRUE(takeLog().empty());
  }
  {
    SCOPED_TRACE("mismatch, reported also when already in ethLinkUp");
    Rig rig;
    rig.start();
    rig.driveTo(State::higigConfirmed);
    takeLog();
    rig.ctx->peerMemberIdIs(Vorn::MemberId(3));
    EXPECT_EQ(rig.state(), State::ethLinkUp);
    EXPECT_TRUE(trace.contains("memberIntf: Et1; bcConfig peerMemberId changed from 2 to 3; membership invalid"));
    rig.ctx->peerMemberIdIs(Zem::none);
    EXPECT_TRUE(
        trace.contains("memberIntf: Et1; bcConfig peerMemberId changed from 3 to OptionalNone; membership invalid"));
    EXPECT_EQ(takeLog(), (std::vector<std::string>{mismatch("expected peer ID: 3, peer ID: 2"),
                                                   mismatch("expected peer ID: unknown, peer ID: 2")}));
    rig.ctx->peerMemberIdIs(Vorn::MemberId(peerId));  // valid again: nothing moves by itself
    EXPECT_EQ(rig.state(), State::ethLinkUp);
  }
  {
    SCOPED_TRACE("a set peer runs the ASIC warm check");
    Rig rig;
    rig.asicsWarmIs(true, true);
    rig.ctx->peerMemberIdIs(Zem::none);
    rig.start(State::higigWaitAsicsWarm);
    EXPECT_EQ(rig.state(), State::higigWaitAsicsWarm);  // no peer: not warm
    rig.ctx->peerMemberIdIs(Vorn::MemberId(peerId));
    // Warm, but nothing valid is held: back to Ethernet mode.
    EXPECT_EQ(rig.state(), State::ethLinkDown);
    EXPECT_EQ(takeLog(), std::vector<std::string>{error("heartbeat timed out post peer reboot")});
  }
}

TEST_F(LldpHigigMemberIntfSmTest, RebootingPeerReturnsAndAsicsWarmUp) {
  r.start();
  r.driveTo(State::higigWaitSsr);
  takeLog();  // the confirmation on the way
  r.send(goodTlv(Role::candidate));  // still a candidate: keep waiting
  EXPECT_EQ(r.state(), State::higigWaitSsr);
  r.send(tlvFrom(peerId, localId, 0));  // a member, but has not heard us yet
  EXPECT_EQ(r.state(), State::higigWaitSsr);
  r.send();
  EXPECT_EQ(r.state(), State::higigWaitAsicsWarm);
  EXPECT_FALSE(r.sm->higigWaitSsrFailsafeTimerTask()->taskScheduled());
  EXPECT_TRUE(trace.contains(
      "memberIntf: Et1, state: higigWaitSsr -> higigWaitAsicsWarm (received non-candidate TLV with valid membership)"));
  EXPECT_TRUE(trace.contains("Entering higigWaitAsicsWarm for Et1, schedule 5s hold timer"));
  EXPECT_TRUE(trace.contains("Waiting for lodestoreMountsComplete before starting failsafe timer"));
  EXPECT_TRUE(r.status->fabricMode());

  // Every TLV pushes the hold time out.
  r.sched->runFor(4);
  r.send();
  EXPECT_DOUBLE_EQ(r.sm->higigWaitAsicsWarmHoldTimeTask()->dueTime(), r.sched->now() + 5);
  r.sched->runFor(4);
  EXPECT_EQ(r.state(), State::higigWaitAsicsWarm);

  r.asicsWarmIs(true, false);
  EXPECT_EQ(r.state(), State::higigWaitAsicsWarm);
  r.asicsWarmIs(true, true);
  EXPECT_EQ(r.state(), State::higigConfirmed);
  EXPECT_FALSE(r.sm->higigWaitAsicsWarmHoldTimeTask()->taskScheduled());
  EXPECT_TRUE(trace.contains("Asics are warm for Et1, exiting higigWaitAsicsWarm"));
  EXPECT_TRUE(takeLog().empty());
}

TEST_F(LldpHigigMemberIntfSmTest, PeerThatNeverReturnsFallsBackAfterBothTimers) {
  r.start();
  r.driveTo(State::higigWaitSsr);
  takeLog();  // the confirmation on the way
  const double entered = r.sched->now();
  r.sched->runUntil(entered + 59.999);
  EXPECT_EQ(r.state(), State::higigWaitSsr);
  r.sched->runUntil(entered + 60);
  EXPECT_EQ(r.state(), State::higigWaitAsicsWarm);
  EXPECT_TRUE(trace.contains("higigWaitSsr failsafe timer expired (60s) for intf Et1 in state higigWaitSsr"));
  EXPECT_TRUE(
      trace.contains("higigWaitSsr failsafe: 60s timeout expired, transitioning to higigWaitAsicsWarm for Et1"));
  EXPECT_TRUE(takeLog().empty());
  r.sched->runUntil(entered + 64.999);
  EXPECT_EQ(r.state(), State::higigWaitAsicsWarm);
  r.sched->runUntil(entered + 65);
  EXPECT_EQ(r.state(), State::ethLinkDown);
  EXPECT_TRUE(trace.contains("higigWaitAsicsWarm hold time expired (5s without TLVs) for intf Et1"));
  EXPECT_TRUE(trace.contains("Exiting higigWaitAsicsWarm: higigWaitAsicsWarm -> ? for intf Et1"));
  EXPECT_EQ(takeLog(), std::vector<std::string>{error("heartbeat timed out post peer reboot")});
}

TEST_F(LldpHigigMemberIntfSmTest, WarmAsicsLetAHeldReturnedPeerEndTheWait) {
  // Restored while the returned peer's TLV is still being copied in: only
  // the ASICs warming up moves it on.
  auto rx = r.ctx->rxInfoIs(1);
  rx->tlvIs(goodTlv());
  r.start(State::higigWaitSsr);
  EXPECT_EQ(r.state(), State::higigWaitSsr);
  r.asicsWarmIs(true, true);
  EXPECT_TRUE(trace.contains(
      "memberIntf: Et1, state: higigWaitSsr -> higigWaitAsicsWarm (received non-candidate TLV with valid membership)"));
  EXPECT_EQ(r.state(), State::higigConfirmed);
  EXPECT_EQ(r.sched->scheduledTaskCount(), 0u);
}

TEST_F(LldpHigigMemberIntfSmTest, WarmAsicsOnEntryConfirmAtOnce) {
  r.asicsWarmIs(true, true);
  r.start();
  r.driveTo(State::higigWaitSsr);
  r.send();
  EXPECT_EQ(r.state(), State::higigConfirmed);
  EXPECT_FALSE(r.sm->higigWaitAsicsWarmHoldTimeTask()->taskScheduled());
  EXPECT_TRUE(trace.contains("memberIntf: Et1, state: higigWaitAsicsWarm -> higigConfirmed"));
}

TEST_F(LldpHigigMemberIntfSmTest, AsicsWarmFailsafeStartsOnlyOnceMountsAreComplete) {
  r.start();
  r.driveTo(State::higigWaitAsicsWarm);
  takeLog();  // the confirmation on the way
  EXPECT_FALSE(r.sm->higigAsicsWarmFailsafeTimerTask()->taskScheduled());
  r.svcCtx->lodestoreMountsCompleteIs(true);
  const double armedAt = r.sched->now();
  EXPECT_DOUBLE_EQ(r.sm->higigAsicsWarmFailsafeTimerTask()->dueTime(), armedAt + 300);
  EXPECT_TRUE(trace.contains("lodestoreMountsComplete true, schedule 300 second failsafe timer on Et1"));
  // The peer keeps talking but its ASICs never report warm.
  for (int i = 1; i < 300; ++i) {
    r.sched->runUntil(armedAt + i);
    r.send();
  }
  EXPECT_EQ(r.state(), State::higigWaitAsicsWarm);
  r.sched->runUntil(armedAt + 300);
  EXPECT_EQ(r.state(), State::higigConfirmed);
  EXPECT_TRUE(trace.contains("Failsafe timer expired (5 min) for intf Et1 in state higigWaitAsicsWarm"));
  EXPECT_FALSE(r.sm->higigWaitAsicsWarmHoldTimeTask()->taskScheduled());
  EXPECT_TRUE(takeLog().empty());

  // Completion outside the wait arms nothing; a second completion during it
  // leaves the deadline alone.
  Rig idle;
  idle.start();
  idle.driveTo(State::higigConfirmed);
  idle.svcCtx->lodestoreMountsCompleteIs(true);
  EXPECT_FALSE(idle.sm->higigAsicsWarmFailsafeTimerTask()->taskScheduled());
  Rig again;
  again.svcCtx->lodestoreMountsCompleteIs(true);
  again.start();
  again.driveTo(State::higigWaitAsicsWarm);
  const double due = again.sm->higigAsicsWarmFailsafeTimerTask()->dueTime();
  again.sched->runFor(1);
  again.send();
  again.svcCtx->lodestoreMountsCompleteIs(false);
  again.svcCtx->lodestoreMountsCompleteIs(true);
  EXPECT_DOUBLE_EQ(again.sm->higigAsicsWarmFailsafeTimerTask()->dueTime(), due);

  // A new service context that is already complete arms it too.
  Rig rig;
  rig.start();
  rig.driveTo(State::higigWaitAsicsWarm);
  serviceCtxReplace(rig.selector, serviceCtx(false, true));
  EXPECT_TRUE(rig.sm->higigAsicsWarmFailsafeTimerTask()->taskScheduled());
}

// However higigWaitAsicsWarm is left, both of its timers stop: a failsafe
// left armed would end a later wait five minutes early.
TEST_F(LldpHigigMemberIntfSmTest, LeavingTheAsicsWarmWaitStopsBothItsTimers) {
  struct Row {
    const char* way;
    std::function<void(Rig&)> leave;
    State to;
  };
  const Row rows[] = {
      {"ASICs warm", [](Rig& rig) { rig.asicsWarmIs(true, true); }, State::higigConfirmed},
      {"hold time runs out, the peer still heard", [](Rig& rig) { rig.sched->runFor(5); }, State::higigConfirmed},
      {"hold time runs out, the peer gone quiet",
       [](Rig& rig) {
         rig.silence();
         rig.sched->runFor(5);
       },
       State::ethLinkDown},
      {"mismatch", [](Rig& rig) { rig.send(strangerTlv); }, State::ethLinkUp},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.way);
    Rig rig;
    rig.svcCtx->lodestoreMountsCompleteIs(true);
    rig.start();
    rig.driveTo(State::higigWaitAsicsWarm);
    ASSERT_TRUE(rig.sm->higigAsicsWarmFailsafeTimerTask()->taskScheduled());
    ASSERT_TRUE(rig.sm->higigWaitAsicsWarmHoldTimeTask()->taskScheduled());
    row.leave(rig);
    EXPECT_EQ(rig.state(), row.to);
    if (row.to == State::ethLinkUp) continue;  // a mismatch stops no timer; expiry is ignored
    EXPECT_FALSE(rig.sm->higigAsicsWarmFailsafeTimerTask()->taskScheduled());
    EXPECT_FALSE(rig.sm->higigWaitAsicsWarmHoldTimeTask()->taskScheduled());
  }
}

TEST_F(LldpHigigMemberIntfSmTest, AsicsWarmFailsafeFallsBackWhenThePeerNoLongerHearsUs) {
  r.svcCtx->lodestoreMountsCompleteIs(true);
  r.start();
  r.driveTo(State::higigWaitAsicsWarm);
  takeLog();
  const double armedAt = r.sched->now();
  for (int i = 1; i < 300; ++i) {
    r.sched->runUntil(armedAt + i);
    r.send(tlvFrom(peerId, localId, 0));
  }
  EXPECT_EQ(r.state(), State::higigWaitAsicsWarm);
  r.sched->runUntil(armedAt + 300);
  EXPECT_EQ(r.state(), State::ethLinkDown);
  EXPECT_EQ(takeLog(), std::vector<std::string>{error("heartbeat timed out post peer reboot")});
}

TEST_F(LldpHigigMemberIntfSmTest, TimerExpiryOutsideItsStateIsIgnored) {
  struct Row {
    State armedIn;
    double runFor;
    std::vector<std::string> traces;
  };
  const Row rows[] = {
      {State::higigStarted, 0.1, {}},
      {State::higigPending, 50, {}},
      {State::higigWaitSsr, 60,
       {"higigWaitSsr failsafe timer expired (60s) for intf Et1 in state ethLinkUp",
        "higigWaitSsr failsafe timer fired but state is ethLinkUp, ignore"}},
      {State::higigWaitAsicsWarm, 5, {"higigWaitAsicsWarm hold timer fired but state is ethLinkUp, ignore"}},
      {State::higigWaitAsicsWarm, 300,
       {"Failsafe timer expired (5 min) for intf Et1 in state ethLinkUp",
        "Failsafe timer fired but state is ethLinkUp, ignore"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(Vorn::stringValue(row.armedIn));
    Rig rig;
    rig.svcCtx->lodestoreMountsCompleteIs(true);
    rig.start();
    rig.driveTo(row.armedIn);
    rig.send(strangerTlv);  // leaves by mismatch: timers keep running
    ASSERT_EQ(rig.state(), State::ethLinkUp);
    takeLog();
    trace.clear();
    rig.sched->runFor(row.runFor);
    EXPECT_EQ(rig.state(), State::ethLinkUp);
    EXPECT_TRUE(takeLog().empty());
    for (const auto& t : row.traces) EXPECT_TRUE(trace.contains(t)) << t;
  }
}

TEST_F(LldpHigigMemberIntfSmTest, RestoredStateResumesWithFreshTimers) {
  struct Row {
    State restored;
    Velto::Ptr<Oru::TimerTask> (*task)(const LldpHigigMemberIntfSm&);
    double due;
  };
  const Row rows[] = {
      {State::higigConfirmed, nullptr, 0},
      {State::higigWaitSsr, [](auto& sm) { return sm.higigWaitSsrFailsafeTimerTask(); }, 60},
      {State::higigStarted, [](auto& sm) { return sm.higigStartedTask(); }, 0.1},
      {State::higigPending, [](auto& sm) { return sm.higigPendingTask(); }, 50},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(Vorn::stringValue(row.restored));
    Rig rig;
    rig.sched->runFor(1000);
    rig.start(row.restored);
    EXPECT_EQ(rig.state(), row.restored);
    EXPECT_EQ(rig.status->fabricMode(), row.restored != State::higigStarted);
    int armed = 0;
    for (auto& t : {rig.sm->higigStartedTask(), rig.sm->higigPendingTask(), rig.sm->higigWaitSsrFailsafeTimerTask(),
                    rig.sm->higigAsicsWarmFailsafeTimerTask(), rig.sm->higigWaitAsicsWarmHoldTimeTask()}) {
      armed += t->taskScheduled();
    }
    EXPECT_EQ(armed, row.task ? 1 : 0);
    if (row.task) {
      EXPECT_DOUBLE_EQ(row.task(*rig.sm)->dueTime(), 1000 + row.due);
    }
  }
  // A TLV already held is taken in at once: a rebooting peer still a
  // candidate keeps the restored wait, a returned one ends it.
  for (Role peerRole : {Role::candidate, Role::member}) {
    Rig rig;
    rig.send(goodTlv(peerRole, Lldp::VornTlv::lodestoreConnectedFlag));
    rig.start(State::higigWaitSsr);
    EXPECT_EQ(rig.state(), peerRole == Role::candidate ? State::higigWaitSsr : State::higigWaitAsicsWarm);
    EXPECT_TRUE(rig.status->tlvReceived());
    EXPECT_TRUE(rig.status->peerConnectedToLodestore());
    EXPECT_EQ(rig.status->peerRole(), Zem::Optional<Role>(peerRole));
  }
}

TEST_F(LldpHigigMemberIntfSmTest, RefreshWithoutTlvClearsThePeerFlagsInEveryState) {
  for (State s : {State::ethLinkDown, State::ethLinkUp, State::higigStarted, State::higigPending,
                  State::higigConfirmed, State::higigWaitSsr, State::higigWaitAsicsWarm}) {
    SCOPED_TRACE(Vorn::stringValue(s));
    Rig rig;
    rig.send(goodTlv(Role::member, Lldp::VornTlv::lodestoreConnectedFlag));
    rig.start(s);
    rig.sm->stateIs(s);
    ASSERT_TRUE(rig.status->peerConnectedToLodestore());
    rig.silence();
    EXPECT_FALSE(rig.status->tlvReceived());
    EXPECT_FALSE(rig.status->peerConnectedToLodestore());
    EXPECT_EQ(rig.status->peerRole(), Zem::none);
  }
  // In higigWaitAsicsWarm silence is left to the hold timer.
  EXPECT_TRUE(trace.contains("LLDP timeout in higigWaitAsicsWarm for Et1, waiting for hold timer (5s)"));
}

TEST_F(LldpHigigMemberIntfSmTest, WithoutAsicsWarmRecordOnlyTheTimersEndTheWait) {
  r.asicsWarm = nullptr;
  r.start();
  r.driveTo(State::higigWaitAsicsWarm);
  EXPECT_FALSE(r.sm->asicsWarm());
  EXPECT_TRUE(trace.contains("vornAsicsWarm object not available (null or being destroyed)"));
  r.sched->runFor(5);
  EXPECT_EQ(r.state(), State::higigConfirmed);  // hold time over, the peer is valid
}

}  // namespace

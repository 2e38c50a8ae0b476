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

// The states in which the link is switched to backplane mode.
bool backplane(State s) {
  return s == State::higigPending || s == State::higigConfirmed || s == State::higigWaitSsr ||
         s == State::higigWaitAsicsWarm;
}

using Step = std::function<void(Rig&)>;
Step send(const Lldp::VornTlv& t = goodTlv(), int times = 1) {
  return [t, times](Rig& rig) {
    for (int i = 0; i < times; ++i) rig.send(t);
  };
}
Step silence() {
  return [](Rig& rig) { rig.silence(); };
}
Step wait(double seconds) {
  return [seconds](Rig& rig) { rig.sched->runFor(seconds); };
}
Step warm(bool local, bool peer) {
  return [=](Rig& rig) { rig.asicsWarmIs(local, peer); };
}
Step peerIdIs(Zem::Optional<Vorn::MemberId> id) {
  return [id](Rig& rig) { rig.ctx->peerMemberIdIs(id); };
}

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

// Each row drives a fresh interface to `from` the usual way, then applies
// its steps; 100 TLVs confirm with a 100 ms transmit interval.
TEST_F(LldpHigigMemberIntfSmTest, Transitions) {
  const auto deaf = tlvFrom(peerId, localId, 0);  // the peer has not heard us
  const auto rebooting = goodTlv(Role::candidate);
  const auto good = goodTlv();
  using enum Vorn::HigigNegotiationState;
  struct Row {
    const char* what;
    State from;
    std::vector<Step> steps;
    State to;
    std::vector<std::string> log;
    Role role = Role::member;
  };
  const Row rows[] = {
      {"link up before the peer hears us", ethLinkDown, {send(deaf)}, ethLinkUp, {}},
      {"link goes down with the TLV", ethLinkUp, {silence()}, ethLinkDown, {}},
      {"membership missing keeps waiting", ethLinkUp, {send(deaf, 5)}, ethLinkUp, {}},
      {"heard: announce", ethLinkUp, {send()}, higigStarted, {}},
      {"announcing for one interval", higigStarted, {send(), wait(0.0999)}, higigStarted, {}},
      {"announced", higigStarted, {wait(0.1)}, higigPending, {}},
      {"silence while announcing", higigStarted, {silence()}, higigStarted, {}},
      {"a new peer heard nothing: announcement ends", higigStarted, {silence(), peerIdIs(Vorn::MemberId(3))},
       ethLinkDown, {}},
      {"one TLV short", higigPending, {send(deaf, 50), send(good, 49)}, higigPending, {}},
      {"every TLV counts", higigPending, {send(deaf, 50), send(good, 50)}, higigConfirmed, {ready}},
      {"silence restarts the count", higigPending, {send(good, 60), silence(), send(good, 60)}, higigPending, {}},
      {"pending until the deadline", higigPending, {wait(49.99)}, higigPending, {}},
      {"pending times out", higigPending, {send(good, 60), silence(), send(good, 60), wait(50)},
       ethLinkDown, {error("negotiation timed out")}},
      {"heartbeat lost", higigConfirmed, {silence()}, ethLinkDown, {error("heartbeat timed out")}},
      {"peer deaf", higigConfirmed, {send(deaf)}, ethLinkDown, {error("heartbeat timed out")}},
      {"rebooting peer silent", higigConfirmed, {send(rebooting), silence()}, higigWaitSsr, {}},
      {"rebooting peer deaf", higigConfirmed, {send(rebooting), send(deaf)}, higigWaitSsr, {}},
      {"a candidate keeps its links", higigConfirmed, {silence()}, higigConfirmed, {}, Role::candidate},
      {"configured peer changes", higigConfirmed, {peerIdIs(Vorn::MemberId(3))},
       ethLinkUp, {mismatch("expected peer ID: 3, peer ID: 2")}},
      {"peer still a candidate", higigWaitSsr, {send(rebooting)}, higigWaitSsr, {}},
      {"returned peer has not heard us", higigWaitSsr, {send(deaf)}, higigWaitSsr, {}},
      {"peer returned", higigWaitSsr, {send()}, higigWaitAsicsWarm, {}},
      {"peer returned, ASICs already warm", higigWaitSsr, {warm(true, true), send()}, higigConfirmed, {}},
      {"waiting for the peer", higigWaitSsr, {wait(59.99)}, higigWaitSsr, {}},
      {"peer never returns", higigWaitSsr, {wait(60)}, higigWaitAsicsWarm, {}},
      {"peer never returns, hold time over", higigWaitSsr, {wait(65)},
       ethLinkDown, {error("heartbeat timed out post peer reboot")}},
      {"only the peer's ASICs warm", higigWaitAsicsWarm, {warm(false, true)}, higigWaitAsicsWarm, {}},
      {"only our ASICs warm", higigWaitAsicsWarm, {warm(true, false)}, higigWaitAsicsWarm, {}},
      {"ASICs warm", higigWaitAsicsWarm, {warm(true, true)}, higigConfirmed, {}},
      {"every TLV pushes the hold time out", higigWaitAsicsWarm, {wait(4), send(), wait(4.99)}, higigWaitAsicsWarm, {}},
      {"hold time over, the peer heard", higigWaitAsicsWarm, {wait(5)}, higigConfirmed, {}},
      {"hold time over, the peer gone", higigWaitAsicsWarm, {silence(), wait(5)},
       ethLinkDown, {error("heartbeat timed out post peer reboot")}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    Rig rig;
    rig.start(State::ethLinkDown, row.role);
    rig.driveTo(row.from);
    takeLog();
    for (const auto& step : row.steps) step(rig);
    EXPECT_EQ(rig.state(), row.to);
    EXPECT_EQ(takeLog(), row.log);
    EXPECT_EQ(rig.status->fabricMode(), backplane(row.to));
    // Published from higigStarted on, unless the peer is the wrong one.
    if (rig.sm->getMembershipValidity() != MembershipValidity::membershipMismatch) {
      EXPECT_EQ(rig.status->membershipValid(), row.to != ethLinkDown && row.to != ethLinkUp);
    }
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

// A mismatch stops no timer: each one, expiring after its state is left, is
// ignored.
TEST_F(LldpHigigMemberIntfSmTest, MismatchDropsEveryStateToLinkUpAndIsReportedOnce) {
  for (State from : {State::ethLinkDown, State::ethLinkUp, State::higigStarted, State::higigPending,
                     State::higigConfirmed, State::higigWaitSsr, State::higigWaitAsicsWarm}) {
    SCOPED_TRACE(Vorn::stringValue(from));
    Rig rig;
    rig.svcCtx->lodestoreMountsCompleteIs(true);
    rig.start();
    rig.driveTo(from);
    const bool connected = rig.status->peerConnectedToLodestore();
    const auto peerRole = rig.status->peerRole();
    takeLog();
    rig.send(strangerTlv);
    EXPECT_EQ(rig.state(), State::ethLinkUp);
    EXPECT_FALSE(rig.status->fabricMode());
    EXPECT_FALSE(rig.status->membershipValid());
    const std::vector<std::string> once{mismatch("expected peer ID: 2, peer ID: 3")};
    EXPECT_EQ(takeLog(), from == State::ethLinkUp ? std::vector<std::string>{} : once);
    // Repeats are not reported and do not touch the peer's flags.
    rig.send(tlvFrom(3, localId, localId, Role::candidate));
    EXPECT_TRUE(takeLog().empty());
    EXPECT_EQ(rig.status->peerConnectedToLodestore(), connected);
    EXPECT_EQ(rig.status->peerRole(), peerRole);
    rig.sched->runFor(300);
    EXPECT_EQ(rig.state(), State::ethLinkUp);
    EXPECT_TRUE(takeLog().empty());
  }
}

TEST_F(LldpHigigMemberIntfSmTest, VerificationOffTrustsAnyPeerThatHeardUs) {
  verificationIs(false);
  r.ctx->peerMemberIdIs(Zem::none);
  r.start();
  EXPECT_TRUE(r.status->membershipValid());  // even in ethLinkDown
  r.send(tlvFrom(3, 7, 0));
  EXPECT_EQ(r.state(), State::ethLinkUp);
  EXPECT_EQ(r.sm->getMembershipMismatchReason(), Zem::none);
  EXPECT_EQ(r.sm->getMembershipValidity(), MembershipValidity::membershipMissing);
  r.send(tlvFrom(3, 7, 9));
  EXPECT_EQ(r.state(), State::higigStarted);
  EXPECT_TRUE(takeLog().empty());
}

// However higigConfirmed was reached, the negotiation deadline must not
// outlive the negotiation.
TEST_F(LldpHigigMemberIntfSmTest, PendingTimerStillArmedInConfirmedIsCancelledByTheNextTlv) {
  r.start(State::higigPending);
  r.sm->stateIs(State::higigConfirmed);
  ASSERT_TRUE(r.sm->higigPendingTask()->taskScheduled());
  r.send();
  EXPECT_FALSE(r.sm->higigPendingTask()->taskScheduled());
  r.sched->runFor(60);
  EXPECT_EQ(r.state(), State::higigConfirmed);
}

// Restored while the returned peer's TLV is still being copied in: only the
// ASICs warming up moves it on.
TEST_F(LldpHigigMemberIntfSmTest, WarmAsicsLetAHeldReturnedPeerEndTheWait) {
  r.ctx->rxInfoIs(1)->tlvIs(goodTlv());
  r.start(State::higigWaitSsr);
  EXPECT_EQ(r.state(), State::higigWaitSsr);
  r.asicsWarmIs(true, true);
  EXPECT_EQ(r.state(), State::higigConfirmed);
  EXPECT_EQ(r.sched->scheduledTaskCount(), 0u);
}

// The five-minute failsafe only runs once the state database mounts are
// complete, whatever makes them so; it is armed once per wait.
TEST_F(LldpHigigMemberIntfSmTest, AsicsWarmFailsafe) {
  for (const bool heard : {true, false}) {
    SCOPED_TRACE(heard ? "the peer keeps hearing us" : "the peer no longer hears us");
    Rig rig;
    rig.start();
    rig.driveTo(State::higigWaitAsicsWarm);
    takeLog();
    EXPECT_FALSE(rig.sm->higigAsicsWarmFailsafeTimerTask()->taskScheduled());
    rig.svcCtx->lodestoreMountsCompleteIs(true);
    const double armedAt = rig.sched->now();
    for (int i = 1; i < 300; ++i) {
      rig.sched->runUntil(armedAt + i);
      rig.send(heard ? goodTlv() : tlvFrom(peerId, localId, 0));
      if (i == 1) {  // a second completion leaves the deadline alone
        rig.svcCtx->lodestoreMountsCompleteIs(false);
        rig.svcCtx->lodestoreMountsCompleteIs(true);
      }
    }
    EXPECT_EQ(rig.state(), State::higigWaitAsicsWarm);
    rig.sched->runUntil(armedAt + 300);
    EXPECT_EQ(rig.state(), heard ? State::higigConfirmed : State::ethLinkDown);
    EXPECT_EQ(takeLog(), heard ? std::vector<std::string>{}
                               : std::vector<std::string>{error("heartbeat timed out post peer reboot")});
  }
  // Completion outside the wait arms nothing.
  Rig idle;
  idle.start();
  idle.driveTo(State::higigConfirmed);
  idle.svcCtx->lodestoreMountsCompleteIs(true);
  EXPECT_FALSE(idle.sm->higigAsicsWarmFailsafeTimerTask()->taskScheduled());
  // A new service context that is already complete arms it too.
  Rig rig;
  rig.start();
  rig.driveTo(State::higigWaitAsicsWarm);
  serviceCtxReplace(rig.selector, serviceCtx(false, true));
  EXPECT_DOUBLE_EQ(rig.sm->higigAsicsWarmFailsafeTimerTask()->dueTime(), rig.sched->now() + 300);
}

// However higigWaitAsicsWarm is left, both of its timers stop: a failsafe
// left armed would end a later wait five minutes early.
TEST_F(LldpHigigMemberIntfSmTest, LeavingTheAsicsWarmWaitStopsBothItsTimers) {
  for (const auto& leave : {warm(true, true), wait(5), Step([](Rig& rig) {
                              rig.silence();
                              rig.sched->runFor(5);
                            })}) {
    Rig rig;
    rig.svcCtx->lodestoreMountsCompleteIs(true);
    rig.start();
    rig.driveTo(State::higigWaitAsicsWarm);
    ASSERT_TRUE(rig.sm->higigAsicsWarmFailsafeTimerTask()->taskScheduled());
    ASSERT_TRUE(rig.sm->higigWaitAsicsWarmHoldTimeTask()->taskScheduled());
    leave(rig);
    EXPECT_NE(rig.state(), State::higigWaitAsicsWarm);
    EXPECT_FALSE(rig.sm->higigAsicsWarmFailsafeTimerTask()->taskScheduled());
    EXPECT_FALSE(rig.sm->higigWaitAsicsWarmHoldTimeTask()->taskScheduled());
  }
}

TEST_F(LldpHigigMemberIntfSmTest, RestoredStateResumesWithFreshTimers) {
  struct Row {
    State restored;
    Velto::Ptr<Oru::TimerTask> (*task)(const LldpHigigMemberIntfSm&);
    double due;
  };
  const Row rows[] = {
      {State::ethLinkDown, nullptr, 0},
      {State::higigConfirmed, nullptr, 0},
      {State::higigWaitSsr, [](auto& sm) { return sm.higigWaitSsrFailsafeTimerTask(); }, 60},
      {State::higigStarted, [](auto& sm) { return sm.higigStartedTask(); }, 0.1},
      {State::higigPending, [](auto& sm) { return sm.higigPendingTask(); }, 50},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(Vorn::stringValue(row.restored));
    Rig rig;
    rig.sched->runFor(1000);
    rig.status->fabricModeIs(true);  // left over from a previous instance
    rig.start(row.restored);
    EXPECT_EQ(rig.state(), row.restored);
    EXPECT_EQ(rig.status->fabricMode(), backplane(row.restored));
    EXPECT_EQ(rig.sched->scheduledTaskCount(), row.task ? 1u : 0u);
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

// A restored state has heard nothing yet when the configured peer changes:
// a confirmed link ends as a lost heartbeat (or as a reboot when the peer was
// last seen as a candidate), and a warm wait without a valid peer falls back.
TEST_F(LldpHigigMemberIntfSmTest, PeerChangeInARestoredState) {
  struct Row {
    State restored;
    bool wasCandidate;
    Zem::Optional<Vorn::MemberId> before, after;
    State to;
    std::vector<std::string> log;
  };
  const Row rows[] = {
      {State::higigConfirmed, false, Vorn::MemberId(2), Vorn::MemberId(3), State::ethLinkDown,
       {error("heartbeat timed out")}},
      {State::higigConfirmed, true, Vorn::MemberId(2), Vorn::MemberId(3), State::higigWaitSsr, {}},
      {State::higigWaitAsicsWarm, false, Zem::none, Vorn::MemberId(2), State::ethLinkDown,
       {error("heartbeat timed out post peer reboot")}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(Vorn::stringValue(row.restored));
    Rig rig;
    rig.asicsWarmIs(true, true);
    rig.ctx->peerMemberIdIs(row.before);
    if (row.wasCandidate) rig.ctx->prevTlvIs(goodTlv(Role::candidate));
    rig.start(row.restored);
    EXPECT_EQ(rig.state(), row.restored);  // without a peer the ASICs are not warm
    rig.ctx->peerMemberIdIs(row.after);
    EXPECT_EQ(rig.state(), row.to);
    EXPECT_EQ(takeLog(), row.log);
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
}

TEST_F(LldpHigigMemberIntfSmTest, WithoutAsicsWarmRecordOnlyTheTimersEndTheWait) {
  r.asicsWarm = nullptr;
  r.start();
  r.driveTo(State::higigWaitAsicsWarm);
  r.sched->runFor(5);
  EXPECT_EQ(r.state(), State::higigConfirmed);  // hold time over, the peer is valid
}

}  // namespace

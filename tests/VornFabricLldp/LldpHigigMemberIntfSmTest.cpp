#include "tests/VornFabricLldp/HigigTestSupport.h"

#include <functional>
#include <string>
#include <vector>

namespace {

using namespace HigigTest;
using VornFabricLldp::LldpHigigMemberIntfSm;
using VornFabricLldp::MembershipValidity;
using Validity = MembershipValidity;
using Reason = Zem::Optional<std::string>;
using Vorn::Role;
using enum Vorn::HigigNegotiationState;
using Log = std::vector<std::string>;
using Sm = LldpHigigMemberIntfSm;
using TaskOf = const Velto::Ptr<Oru::TimerTask>& (Sm::*)() const;

const std::string ready = "VORN_BACKPLANE_INTF_READY: Switching Ethernet1 in Port-Channel1 to backplane mode";
std::string error(const std::string& why) {
  return "VORN_BACKPLANE_INTF_ERROR: Switching Ethernet1 in Port-Channel1 to Ethernet mode (" + why + ")";
}
std::string mismatch(const std::string& why) {
  return "VORN_BACKPLANE_INTF_MISMATCH: Port-Channel1 member interface Ethernet1 encountered an unexpected member ID "
         "(" + why + ")";
}
// The peer's TLVs say it is connected to the state database.
const Lldp::VornTlv good = goodTlv(Role::member, Lldp::VornTlv::lodestoreConnectedFlag);
const Lldp::VornTlv rebooting = goodTlv(Role::candidate, Lldp::VornTlv::lodestoreConnectedFlag);
const Lldp::VornTlv deaf = tlvFrom(peerId, localId, 0);  // the peer has not heard us
// The states in which the link is switched to backplane mode.
bool backplane(State s) { return s != ethLinkDown && s != ethLinkUp && s != higigStarted; }

// One member interface Et1 of channel Po1 on member 1, facing member 2, with
// its own clock: table rows each get a fresh one; 100 TLVs confirm with the
// 100 ms transmit interval.
struct Rig {
  Rig() { ctx->peerMemberIdIs(Vorn::MemberId(peerId)); }
  Rig& start(State initial = ethLinkDown) {
    status->stateIs(initial);
    sm = VornFabricLldp::lldpHigigMemberIntfSmFactory({localId, role, sched, selector, false, ctx, config, et1,
                                                      asicsWarm, status});
    return *this;
  }
  void send(const Lldp::VornTlv& t = good, int times = 1) {
    while (times-- > 0) receive(ctx, t);
  }
  State state() const { return status->state(); }
  bool armed(TaskOf task) const { return std::invoke(task, *sm)->taskScheduled(); }

  // From a fresh start, through the events that lead there.
  Rig& driveTo(State s) {
    switch (s) {
      case ethLinkDown: break;
      case ethLinkUp: send(deaf); break;
      case higigStarted: send(deaf); send(); break;
      case higigPending: driveTo(higigStarted); sched->runFor(0.1); break;
      case higigConfirmed: driveTo(higigPending); send(good, static_cast<int>(sm->higigConfirmedPktsMin())); break;
      // The peer reboots as a candidate and goes quiet...
      case higigWaitSsr: driveTo(higigConfirmed); send(rebooting); lose(ctx); break;
      // ...and comes back as a member.
      case higigWaitAsicsWarm: driveTo(higigWaitSsr); send(); break;
    }
    EXPECT_EQ(state(), s) << "while driving to " << Vorn::stringValue(s);
    return *this;
  }

  Role role = Role::member;
  bool restore = false;  // start in the state a previous instance left instead of driving there
  Velto::Ptr<Oru::VirtualScheduler> sched = Velto::make<Oru::VirtualScheduler>(0);
  Velto::Ptr<Lldp::Config> config = txEvery100ms();
  Velto::Ptr<VornFabricLldp::CtxForMember> ctxForMember = Velto::make<VornFabricLldp::CtxForMember>("ctxForMember");
  Velto::Ptr<VornFabricLldp::MemberCtx> ctx = ctxForMember->ctxIs(po1, et1);
  Velto::Ptr<Vorn::AsicsWarm> asicsWarm = Velto::make<Vorn::AsicsWarm>("asicsWarm");
  Velto::Ptr<Vorn::ServiceCtx> svcCtx = serviceCtx(false, false);
  Velto::Ptr<Vorn::ServiceLocalRemoteSynchronizer> selector = selectorFor(svcCtx);
  Velto::Ptr<Vorn::BackplaneChannelStatus> bcStatus = Velto::make<Vorn::BackplaneChannelStatus>("bcStatus");
  Velto::Ptr<Sm::IntfStatus> status = bcStatus->bcMemberStatusIs(po1)->memberIntfStatusIs(et1);
  Velto::Ptr<Sm> sm;
};

using LldpHigigMemberIntfSmTest = HigigFixture;

// What happens to an interface, or (before it starts) how it is set up.
using Step = std::function<void(Rig&)>;
using Steps = std::vector<Step>;
Step send(const Lldp::VornTlv& t = good, int times = 1) { return [t, times](Rig& r) { r.send(t, times); }; }
Step silence() { return [](Rig& r) { lose(r.ctx); }; }
Step wait(double seconds) { return [seconds](Rig& r) { r.sched->runFor(seconds); }; }
Step warm(bool local, bool peer) {
  return [=](Rig& r) { r.asicsWarm->memberAsicsWarmIs(localId, local); r.asicsWarm->memberAsicsWarmIs(peerId, peer); };
}
Step peerIdIs(Zem::Optional<Vorn::MemberId> id) { return [id](Rig& r) { r.ctx->peerMemberIdIs(id); }; }
Step stateIs(State s) { return [s](Rig& r) { r.sm->stateIs(s); }; }
Step expect(State s) { return [s](Rig& r) { EXPECT_EQ(r.state(), s) << "on the way"; }; }
Step armedIs(TaskOf task, bool on = true) { return [=](Rig& r) { EXPECT_EQ(r.armed(task), on) << "on the way"; }; }
Step restored() { return [](Rig& r) { r.restore = true; }; }
Step candidate() { return [](Rig& r) { r.role = Role::candidate; }; }
Step mounted() { return [](Rig& r) { r.svcCtx->lodestoreMountsCompleteIs(true); }; }
Step completeServiceCtx() { return [](Rig& r) { r.selector->serviceCtxIs(serviceCtx(false, true)); }; }
Step leftInBackplaneMode() { return [](Rig& r) { r.status->fabricModeIs(true); }; }
// The peer's TLV every second for `seconds`; the mounts complete again after the first.
Step everySecond(const Lldp::VornTlv& t, int seconds) {
  return [t, seconds](Rig& r) {
    for (int i = 1; i <= seconds; ++i) {
      r.sched->runFor(1);
      r.send(t);
      if (i > 1) continue;
      r.svcCtx->lodestoreMountsCompleteIs(false);
      r.svcCtx->lodestoreMountsCompleteIs(true);
    }
  };
}
Step lastSeenAs(const Lldp::VornTlv& t) { return [t](Rig& r) { r.ctx->prevTlvIs(t); }; }
// A TLV still being copied in: no refresh time yet.
Step copyingIn(const Lldp::VornTlv& t) { return [t](Rig& r) { r.ctx->rxInfoIs(1)->tlvIs(t); }; }

TEST_F(LldpHigigMemberIntfSmTest, ConfirmedPktsMinIsWhatThePeerSendsInTheWindow) {
  struct Row { bool inMs; uint32_t interval, expected; };  // interval 0: no LLDP configuration at all
  for (const Row& row : {Row{true, 1000, 10}, Row{true, 300, 33}, Row{false, 2, 5}, Row{true, 0, 100}}) {
    Rig rig;
    rig.config->isMessageTxTimeInMsIs(row.inMs);
    rig.config->messageTxIntervalIs(row.interval);
    if (row.interval == 0) rig.config = nullptr;
    EXPECT_EQ(rig.start().sm->higigConfirmedPktsMin(), row.expected) << row.interval << (row.inMs ? " ms" : " s");
  }
}

// Each row sets a fresh interface up, drives it to `from` the usual way (or
// starts it there as a previous instance left it), then applies its steps.
TEST_F(LldpHigigMemberIntfSmTest, Transitions) {
  const auto three = Vorn::MemberId(3);
  const std::string lostAfterReboot = error("heartbeat timed out post peer reboot");
  const auto stranger = tlvFrom(3, localId, localId);
  const std::string strangerMismatch = mismatch("expected peer ID: 2, peer ID: 3");
  const TaskOf failsafe = &Sm::higigAsicsWarmFailsafeTimerTask;
  struct Row { const char* what; State from; std::vector<Step> steps; State to; Log log = {}; Steps setup = {}; };
  const Row rows[] = {
      {"link up before the peer hears us", ethLinkDown, {send(deaf)}, ethLinkUp},
      {"link goes down with the TLV", ethLinkUp, {silence()}, ethLinkDown},
      {"membership missing keeps waiting", ethLinkUp, {send(deaf, 5)}, ethLinkUp},
      {"heard: announce", ethLinkUp, {send()}, higigStarted},
      {"announced", higigStarted, {wait(0.1)}, higigPending},
      {"a new peer heard nothing: announcement ends", higigStarted, {silence(), peerIdIs(three)}, ethLinkDown},
      {"every TLV counts", higigPending, {send(deaf, 50), send(good, 50)}, higigConfirmed, {ready}},
      {"silence restarts the count", higigPending, {send(good, 60), silence(), send(good, 60)}, higigPending},
      {"pending times out", higigPending, {send(good, 60), silence(), send(good, 60), wait(50)}, ethLinkDown,
       {error("negotiation timed out")}},
      // However higigConfirmed was reached, the negotiation deadline must not
      // outlive the negotiation.
      {"confirmed with the deadline armed", higigPending, {stateIs(higigConfirmed), send(), wait(60)}, higigConfirmed,
       {}, {restored()}},
      {"heartbeat lost", higigConfirmed, {silence()}, ethLinkDown, {error("heartbeat timed out")}},
      {"peer deaf", higigConfirmed, {send(deaf)}, ethLinkDown, {error("heartbeat timed out")}},
      {"rebooting peer silent", higigConfirmed, {send(rebooting), silence()}, higigWaitSsr},
      {"a candidate keeps its links", higigConfirmed, {silence()}, higigConfirmed, {}, {candidate()}},
      {"configured peer changes", higigConfirmed, {peerIdIs(three)}, ethLinkUp,
       {mismatch("expected peer ID: 3, peer ID: 2")}},
      // A stranger drops any state to ethLinkUp, reported once; a mismatch
      // stops no timer: each one, expiring after its state is left, is ignored.
      {"stranger while pending", higigPending, {send(stranger, 2), wait(300)}, ethLinkUp, {strangerMismatch}},
      {"stranger while waiting for the ASICs", higigWaitAsicsWarm, {send(stranger, 2), wait(300)}, ethLinkUp,
       {strangerMismatch}, {mounted()}},
      // A restored state has heard nothing yet when the configured peer
      // changes: a confirmed link ends as a lost heartbeat (or as a reboot when
      // the peer was last seen as a candidate), and a warm wait without a valid
      // peer falls back; without a peer the ASICs are not warm.
      {"restored: peer changes", higigConfirmed, {peerIdIs(three)}, ethLinkDown, {error("heartbeat timed out")},
       {restored(), warm(true, true)}},
      {"restored: candidate peer changes", higigConfirmed, {peerIdIs(three)}, higigWaitSsr, {},
       {restored(), warm(true, true), lastSeenAs(rebooting)}},
      {"restored: peer configured", higigWaitAsicsWarm, {expect(higigWaitAsicsWarm), peerIdIs(Vorn::MemberId(2))},
       ethLinkDown, {lostAfterReboot}, {restored(), warm(true, true), peerIdIs(Zem::none)}},
      // A restored state resumes with fresh timers, not in the mode the
      // previous instance left.
      {"restored: link down", ethLinkDown, {}, ethLinkDown, {}, {wait(1000), restored(), leftInBackplaneMode()}},
      {"restored: pending", higigPending, {wait(49.99), expect(higigPending), wait(0.01)}, ethLinkDown,
       {error("negotiation timed out")}, {wait(1000), restored()}},
      {"restored: waiting for the peer", higigWaitSsr, {wait(59.99), expect(higigWaitSsr), wait(0.01)},
       higigWaitAsicsWarm, {}, {wait(1000), restored()}},
      {"peer still a candidate", higigWaitSsr, {send(rebooting)}, higigWaitSsr},
      {"peer returned", higigWaitSsr, {send()}, higigWaitAsicsWarm},
      {"peer returned, ASICs already warm", higigWaitSsr, {warm(true, true), send()}, higigConfirmed},
      {"peer never returns, hold time over", higigWaitSsr, {wait(65)}, ethLinkDown, {lostAfterReboot}},
      // A TLV already held is taken in at once.
      {"restored: held TLV of a member", higigWaitSsr, {}, higigWaitAsicsWarm, {}, {restored(), send()}},
      // ...unless it is still being copied in: then only warm ASICs end the wait.
      {"restored: TLV copied in, ASICs warm", higigWaitSsr, {expect(higigWaitSsr), warm(true, true)}, higigConfirmed,
       {}, {restored(), copyingIn(good)}},
      // The five-minute failsafe only runs once the state database mounts are
      // complete; a second completion leaves its deadline alone.
      {"failsafe, the peer hears us", higigWaitAsicsWarm,
       {armedIs(failsafe, false), mounted(), everySecond(good, 299), expect(higigWaitAsicsWarm), wait(1)},
       higigConfirmed},
      {"every TLV pushes the hold time out", higigWaitAsicsWarm, {wait(4), send(), wait(4.99)}, higigWaitAsicsWarm},
      // Leaving the wait stops the failsafe: left armed it would end a later
      // wait five minutes early.
      // Mount completion arms the failsafe in the wait only, also through a
      // new service context that is already complete.
      {"mounts complete outside the wait", higigConfirmed, {mounted()}, higigConfirmed},
      {"complete service context in the wait", higigWaitAsicsWarm, {completeServiceCtx(), armedIs(failsafe)},
       higigWaitAsicsWarm},
      {"ASICs warm", higigWaitAsicsWarm, {armedIs(failsafe), warm(true, true)}, higigConfirmed, {}, {mounted()}},
      {"hold time over, the peer heard", higigWaitAsicsWarm, {wait(5)}, higigConfirmed, {}, {mounted()}},
      {"hold time over, the peer gone", higigWaitAsicsWarm, {silence(), wait(5)}, ethLinkDown, {lostAfterReboot},
       {mounted()}},
  };
  const std::pair<TaskOf, State> waits[] = {{&Sm::higigPendingTask, higigPending},
                                            {&Sm::higigWaitSsrFailsafeTimerTask, higigWaitSsr},
                                            {&Sm::higigWaitAsicsWarmHoldTimeTask, higigWaitAsicsWarm},
                                            {failsafe, higigWaitAsicsWarm}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    Rig rig;
    for (const auto& step : row.setup) step(rig);
    rig.restore ? rig.start(row.from) : rig.start().driveTo(row.from);
    takeLog();
    for (const auto& step : row.steps) step(rig);
    EXPECT_EQ(rig.state(), row.to);
    EXPECT_EQ(takeLog(), row.log);
    EXPECT_EQ(rig.status->fabricMode(), backplane(row.to));
    // What the interface has taken in: nothing while the TLV is still being copied in.
    const auto held = rig.ctx->rxInfo() && !rig.ctx->rxInfoIncomplete() ? rig.ctx->rxInfo()->tlv() : Zem::none;
    EXPECT_EQ(rig.status->tlvReceived(), held.hasValue());
    if (rig.sm->getMembershipValidity() == MembershipValidity::membershipMismatch) continue;
    // Published from higigStarted on, with the flags of the peer's TLV; a
    // wait's timer runs only in its state.
    EXPECT_EQ(rig.status->membershipValid(), row.to != ethLinkDown && row.to != ethLinkUp);
    EXPECT_EQ(rig.status->peerRole(), held ? Zem::Optional<Role>(held->role) : Zem::none);
    EXPECT_EQ(rig.status->peerConnectedToLodestore(), held && held->lodestoreConnected());
    for (const auto& [task, in] : waits) EXPECT_TRUE(rig.armed(task) <= (row.to == in)) << Vorn::stringValue(in);
  }
}

// With verification on, each row is a mismatch with the first fault as its
// reason; with it off no TLV is one, and any peer that heard us (received
// ID set) is trusted, even one not configured.
TEST_F(LldpHigigMemberIntfSmTest, MismatchReasonNamesTheFirstFault) {
  const Zem::Optional<Vorn::MemberId> two = Vorn::MemberId(2);
  struct Row { Zem::Optional<Vorn::MemberId> configuredPeer; Lldp::VornTlv tlv; std::string reason; };
  const Row rows[] = {
      {Zem::none, good, "expected peer ID: unknown, peer ID: 2"},
      {Vorn::MemberId(3), good, "expected peer ID: 3, peer ID: 2"},
      {two, tlvFrom(peerId, localId, 5), "peer received local ID: 5, local ID: 1"},
      {two, tlvFrom(peerId, 0, localId), "peer expected local ID: unknown, local ID: 1"},
      {two, tlvFrom(peerId, 4, 0), "peer expected local ID: 4, local ID: 1"},
  };
  for (const bool verification : {true, false}) {
    verificationIs(verification);
    for (const Row& row : rows) {
      SCOPED_TRACE(testing::Message() << row.reason << (verification ? "" : ", verification off"));
      Rig rig;
      rig.ctx->peerMemberIdIs(row.configuredPeer);
      EXPECT_EQ(rig.start().status->membershipValid(), !verification);  // even in ethLinkDown
      rig.send(row.tlv, 2);
      const auto heard = row.tlv.receivedPeerId.value() ? Validity::valid : Validity::membershipMissing;
      EXPECT_EQ(rig.sm->getMembershipValidity(), verification ? Validity::membershipMismatch : heard);
      EXPECT_EQ(rig.sm->getMembershipMismatchReason(), verification ? Reason(row.reason) : Reason());
      EXPECT_EQ(rig.state(), verification || heard != Validity::valid ? ethLinkUp : higigStarted);
      EXPECT_EQ(takeLog(), verification ? Log{mismatch(row.reason)} : Log{});
    }
  }
}

}  // namespace

#include "VornFabricLldp/LldpHigigSm.h"

#include "platform/events/Events.h"
#include "platform/framework/Assert.h"
#include "platform/log/VornMessages.h"
#include "platform/toggles/Toggles.h"
#include "platform/trace/Ringlog.h"

#include <algorithm>
#include <vector>

namespace VornFabricLldp {

namespace {

const Ringlog::Handle traceHandle{"Vorn::VornFabricLldp::LldpHigigSm"};

using State = Vorn::HigigNegotiationState;

// Read once per process by the toggle cache; shared by every interface.
bool membershipVerification() { return getToggleState("VornMembershipVerification", "VornCore.json", true); }

bool inBackplaneMode(State s) { return static_cast<uint8_t>(s) >= static_cast<uint8_t>(State::higigPending); }

bool inEthernetNegotiation(State s) { return static_cast<uint8_t>(s) <= static_cast<uint8_t>(State::higigStarted); }

std::string memberIdText(const Zem::Optional<Vorn::MemberId>& m) { return m ? m->stringValue() : "unknown"; }

// One change of a link's negotiation state as a watcher sees it: the state
// change, and a change of fabric mode whenever it crosses between the modes.
void reportLinkState(const Kivo::IntfId& bcIntf, const Kivo::IntfId& memberIntf, State from, State to,
                     std::string_view reason) {
  if (!Events::enabled()) return;
  const std::string intf = memberIntf.stringValue();
  const std::string channel = bcIntf.stringValue();
  Events::emit(Events::Kind::linkState, intf,
               {{"channel", channel}, {"from", Vorn::stringValue(from)}, {"to", Vorn::stringValue(to)}, {"reason", std::string(reason)}});
  if (inBackplaneMode(from) != inBackplaneMode(to)) {
    Events::emit(Events::Kind::fabricMode, intf,
                 {{"channel", channel},
                  {"from", inBackplaneMode(from) ? "higig" : "ethernet"},
                  {"to", inBackplaneMode(to) ? "higig" : "ethernet"}});
  }
}

// A member interface that leaves its channel, or whose channel goes, ends
// its negotiation. The end is the last entry of the link's history whenever
// it is not the plain end, as the start is its first whenever it is not the
// plain beginning: a link that comes back starts in ethLinkDown unreported.
void reportNegotiationEnded(const Kivo::IntfId& bcIntf, const Kivo::IntfId& memberIntf, State last) {
  if (last != State::ethLinkDown) reportLinkState(bcIntf, memberIntf, last, State::ethLinkDown, "member removed");
}

template <class Keys>
std::vector<Kivo::IntfId> sorted(Keys keys) {
  std::vector<Kivo::IntfId> v(keys.begin(), keys.end());
  std::sort(v.begin(), v.end());
  return v;
}

}  // namespace

std::string stringValue(MembershipValidity v) {
  switch (v) {
    case MembershipValidity::membershipMissing:
      return "membershipMissing";
    case MembershipValidity::membershipMismatch:
      return "membershipMismatch";
    case MembershipValidity::valid:
      return "valid";
  }
  return std::to_string(static_cast<unsigned>(v));
}

// ===========================================================================
// LldpHigigMemberIntfSm

LldpHigigMemberIntfSm::LldpHigigMemberIntfSm(Params params) : params_(std::move(params)) {
  checkInputs();
  // The status entry carries the state a previous instance reached (or the
  // one the manager chose), so a rebuilt machine resumes from it.
  state_ = negotiatedIntfStatus() ? negotiatedIntfStatus()->state() : State::ethLinkDown;
  higigPendingTlvReceived_ = 0;
  // A task's reactor is bound with the task: binding runs nothing, and no
  // task can fire before the constructor returns.
  const std::string intf = memberIntf().stringValue();
  higigStartedTaskIs(scheduler(), taskPriority, "higigStarted-" + intf);
  higigPendingTaskIs(scheduler(), taskPriority, "higigPending-" + intf);
  higigAsicsWarmFailsafeTimerTaskIs(scheduler(), taskPriority, "higigAsicsWarmFailsafe-" + intf);
  higigWaitSsrFailsafeTimerTaskIs(scheduler(), taskPriority, "higigWaitSsrFailsafe-" + intf);
  higigWaitAsicsWarmHoldTimeTaskIs(scheduler(), taskPriority, "higigWaitAsicsWarmHoldTime-" + intf);

  vornAsicsWarmDispatch_ = watch(vornAsicsWarm(), [this](const Zem::Change& c) {
    if (c.is(Vorn::AsicsWarm::memberAsicsWarmAttr) && !destroying_) handleAsicsWarm();
  });

  // Publish the starting state and arm its timers before looking at inputs.
  handleState(Zem::none);

  ctxReactor_ = watch(ctx(), [this](const Zem::Change& c) { handleCtx(c); });
  if (ctx()->rxInfo()) handleRefreshTime();

  selectorReactor_ = watch(selector(), [this](const Zem::Change& c) { handleSelector(c); });
  bindServiceCtx();
  if (selector() && selector()->serviceCtx()) handleLodestoreMountsComplete();

  handleInitialized();
}

void LldpHigigMemberIntfSm::checkInputs() const {
  ZEM_ASSERT(ctx() != nullptr);
  ZEM_ASSERT(scheduler() != nullptr);
}

LldpHigigMemberIntfSm::~LldpHigigMemberIntfSm() {
  destroying_ = true;
  hasNotificationActiveIs(false);
}

Velto::Ptr<LldpHigigMemberIntfSm> lldpHigigMemberIntfSmFactory(LldpHigigMemberIntfSm::Params params) {
  auto sm = Velto::make<LldpHigigMemberIntfSm>(std::move(params));
  sm->hasNotificationActiveIs(true);
  return sm;
}

void LldpHigigMemberIntfSm::handleInitialized() {
  TRACE0("init higig member intf SM for {}; initialStateFromPstore: {}", memberIntf(), initialStateFromPstore());
  if (!membershipVerification() && negotiatedIntfStatus()) negotiatedIntfStatus()->membershipValidIs(true);
}

// --- Reactors ----------------------------------------------------------------

void LldpHigigMemberIntfSm::handleCtx(const Zem::Change& c) {
  if (const auto* prevPeer = Zem::previous(c, MemberCtx::peerMemberIdAttr)) {
    handlePeerMemberId(*prevPeer);
  } else if (c.is(MemberCtx::rxInfoAttr)) {
    // The receive information appeared, was replaced or went; inside it only
    // a new refresh time counts as a heartbeat.
    if (!c.nested() || c.inner->is(RxInfo::lastRefreshTimeAttr)) handleRefreshTime();
  }
}

void LldpHigigMemberIntfSm::handleSelector(const Zem::Change& c) {
  // Changes inside the context arrive through its own reactor.
  if (!c.is(Vorn::ServiceLocalRemoteSynchronizer::serviceCtxAttr) || c.nested()) return;
  bindServiceCtx();
  if (selector()->serviceCtx()) handleLodestoreMountsComplete();
}

void LldpHigigMemberIntfSm::bindServiceCtx() {
  serviceCtxReactor_.reset();
  if (!selector()) return;
  serviceCtxReactor_ = watch(selector()->serviceCtx(), [this](const Zem::Change& c) {
    if (c.is(Vorn::ServiceCtx::lodestoreMountsCompleteAttr)) handleLodestoreMountsComplete();
  });
}

// --- State ---------------------------------------------------------------------

void LldpHigigMemberIntfSm::stateIs(State s, std::string_view reason) {
  if (s == state_) return;
  const State prev = state_;
  state_ = s;
  reportLinkState(ctx()->bcIntf(), memberIntf(), prev, s, reason);
  handleState(prev);
}

void LldpHigigMemberIntfSm::noteVerdict(MembershipValidity verdict) {
  if (!Events::enabled() || reportedVerdict_ == verdict) return;
  const auto reason = verdict == MembershipValidity::membershipMismatch ? getMembershipMismatchReason() : Zem::none;
  Events::emit(Events::Kind::membership, memberIntf().stringValue(),
               {{"channel", ctx()->bcIntf().stringValue()},
                {"from", reportedVerdict_ ? stringValue(*reportedVerdict_) : "unknown"},
                {"to", stringValue(verdict)},
                {"reason", reason.valueOr("")}});
  reportedVerdict_ = verdict;
}

void LldpHigigMemberIntfSm::handleState(const Zem::Optional<State>& prev) {
  TRACE6("memberIntf: {}, state: {} -> {}", memberIntf(), prev, state_);
  if (auto& out = negotiatedIntfStatus()) {
    out->fabricModeIs(inBackplaneMode(state_));
    // While verification is on, other agents may trust the link only once
    // the peer has been verified and negotiation has begun.
    out->membershipValidIs(membershipVerification() && inEthernetNegotiation(state_) ? state_ == State::higigStarted
                                                                                     : true);
    out->stateIs(state_);
  }
  switch (state_) {
    case State::higigStarted:
      // Announce backplane mode for one transmit interval before switching,
      // so the peer hears it before the link changes under it. The populator
      // always sets the interval in milliseconds.
      higigStarted_.arm((config() ? config()->messageTxInterval() : 100) / 1000.0);
      break;
    case State::higigPending:
      higigPendingTlvReceived_ = 0;
      higigPending_.arm(defaultHigigPendingTimeout_);
      break;
    case State::higigWaitSsr:
      TRACE6("Entering higigWaitSsr for {}, waiting for non-candidate TLV", memberIntf());
      waitSsrFailsafe_.arm(higigWaitSsrFailsafeDuration_);
      break;
    case State::higigWaitAsicsWarm:
      TRACE6("Entering higigWaitAsicsWarm for {}, schedule 5s hold timer", memberIntf());
      asicsWarmHoldTime_.arm(higigWaitAsicsWarmHoldTimeDuration_);
      maybeStartFailsafeTimer();
      maybeExitHigigWaitAsicsWarm();
      break;
    default:
      break;
  }
}

uint32_t LldpHigigMemberIntfSm::higigConfirmedPktsMin() const {
  if (!config()) return higigConfirmedTimeMin_ * 10;
  const uint32_t interval = config()->messageTxInterval();
  ZEM_ASSERT(interval != 0);
  return config()->isMessageTxTimeInMs() ? higigConfirmedTimeMin_ * 1000 / interval : higigConfirmedTimeMin_ / interval;
}

// --- Verdicts ------------------------------------------------------------------

Zem::Optional<Lldp::VornTlv> LldpHigigMemberIntfSm::heldTlv() const {
  const auto& rx = ctx()->rxInfo();
  return rx ? rx->tlv() : Zem::none;
}

Zem::Optional<Velto::String> LldpHigigMemberIntfSm::getMembershipMismatchReason() const {
  const auto tlv = heldTlv();
  if (!tlv) return Zem::none;
  const auto& peer = ctx()->peerMemberId();
  const auto received = Vorn::optionalMemberId(tlv->receivedPeerId);
  const auto expected = Vorn::optionalMemberId(tlv->expectedPeerId);
  const bool peerIdFault = !peer || *peer != tlv->memberId;
  const bool receivedIdFault = received && *received != smid();
  const bool expectedIdFault = !expected || *expected != smid();
  if (!peerIdFault && !receivedIdFault && !expectedIdFault) return Zem::none;
  if (!membershipVerification()) return Zem::none;
  if (peerIdFault) {
    return fmt::format("expected peer ID: {}, peer ID: {}", memberIdText(peer), tlv->memberId.stringValue());
  }
  if (receivedIdFault) {
    return fmt::format("peer received local ID: {}, local ID: {}", memberIdText(received), smid().stringValue());
  }
  return fmt::format("peer expected local ID: {}, local ID: {}", memberIdText(expected), smid().stringValue());
}

MembershipValidity LldpHigigMemberIntfSm::getMembershipValidity() const {
  const auto tlv = heldTlv();
  if (!tlv) return MembershipValidity::membershipMissing;
  if (getMembershipMismatchReason()) return MembershipValidity::membershipMismatch;
  // Valid only once the peer reports having heard this switch.
  return tlv->receivedPeerId.value() != 0 ? MembershipValidity::valid : MembershipValidity::membershipMissing;
}

bool LldpHigigMemberIntfSm::asicsWarm() const {
  if (!vornAsicsWarm() || destroying_) {
    TRACE2("vornAsicsWarm object not available (null or being destroyed)");
    return false;
  }
  const auto& peer = ctx()->peerMemberId();
  if (!peer) return false;
  return vornAsicsWarm()->memberAsicsWarm(smid()) && vornAsicsWarm()->memberAsicsWarm(*peer);
}

bool LldpHigigMemberIntfSm::lodestoreMountsComplete() const {
  return selector() && selector()->serviceCtx() && selector()->serviceCtx()->lodestoreMountsComplete();
}

void LldpHigigMemberIntfSm::logError(const char* reason) const {
  Syslog::log(Syslog::VORN_BACKPLANE_INTF_ERROR, {memberIntf().stringValue(), ctx()->bcIntf().stringValue(), reason});
}

// --- TLV refresh -----------------------------------------------------------------

void LldpHigigMemberIntfSm::handleRefreshTime() {
  if (ctx()->rxInfoIncomplete()) return;
  const auto tlv = heldTlv();
  TRACE7("memberIntf={}, tlvReceived={}", memberIntf(), tlv.hasValue());
  if (negotiatedIntfStatus()) negotiatedIntfStatus()->tlvReceivedIs(tlv.hasValue());

  const MembershipValidity verdict = getMembershipValidity();
  noteVerdict(verdict);
  if (verdict == MembershipValidity::membershipMismatch) {
    // Reported once on the way down; a peer that keeps sending the wrong
    // IDs does not flood the log.
    if (state_ == State::ethLinkUp) return;
    TRACE6("memberIntf: {}, membership mismatch", memberIntf());
    const auto reason = getMembershipMismatchReason();
    Syslog::log(Syslog::VORN_BACKPLANE_INTF_MISMATCH,
                {ctx()->bcIntf().stringValue(), memberIntf().stringValue(), reason.valueOr("")});
    stateIs(State::ethLinkUp, reason.valueOr("membership mismatch"));
    return;
  }

  if (!tlv) {
    switch (state_) {
      case State::ethLinkUp:
        stateIs(State::ethLinkDown, "TLV lost");
        break;
      case State::higigPending:
        // The count must be made of consecutive TLVs; the pending timer
        // keeps running so a silent peer still times out.
        higigPendingTlvReceived_ = 0;
        break;
      case State::higigConfirmed:
        higigConfirmedMembershipMissingHelper();
        break;
      case State::higigWaitAsicsWarm:
        TRACE6("LLDP timeout in higigWaitAsicsWarm for {}, waiting for hold timer (5s)", memberIntf());
        break;
      default:
        break;
    }
    if (negotiatedIntfStatus()) {
      negotiatedIntfStatus()->peerConnectedToLodestoreIs(false);
      negotiatedIntfStatus()->peerRoleIs(Zem::none);
    }
    return;
  }

  switch (state_) {
    case State::ethLinkDown:
      TRACE7("state: {} -> {}", state_, State::ethLinkUp);
      stateIs(State::ethLinkUp, "TLV received");
      break;
    case State::ethLinkUp:
      if (verdict == MembershipValidity::valid) stateIs(State::higigStarted, "membership valid");
      break;
    case State::higigStarted:
      // Backplane mode starts when higigStartedTask fires.
      break;
    case State::higigPending:
      higigPendingTlvReceivedInc(1);
      if (higigPendingTlvReceived_ >= higigConfirmedPktsMin()) {
        Syslog::log(Syslog::VORN_BACKPLANE_INTF_READY, {memberIntf().stringValue(), ctx()->bcIntf().stringValue()});
        stateIs(State::higigConfirmed, "TLVs counted");
        higigPending_.stop();
      }
      break;
    case State::higigConfirmed:
      if (higigPending_.armed()) {
        TRACE2("memberIntf: {}, state: {}; cancelling higig pending timer", memberIntf(), state_);
        higigPending_.stop();
      }
      if (verdict == MembershipValidity::membershipMissing) higigConfirmedMembershipMissingHelper();
      break;
    case State::higigWaitSsr:
      maybeExitHigigWaitSsr();
      break;
    case State::higigWaitAsicsWarm:
      TRACE7("Received TLV in higigWaitAsicsWarm for {}, reset hold timer", memberIntf());
      asicsWarmHoldTime_.arm(higigWaitAsicsWarmHoldTimeDuration_);
      break;
  }
  if (negotiatedIntfStatus()) {
    negotiatedIntfStatus()->peerConnectedToLodestoreIs(tlv->lodestoreConnected());
    negotiatedIntfStatus()->peerRoleIs(tlv->role);
  }
}

void LldpHigigMemberIntfSm::higigConfirmedMembershipMissingHelper() {
  if (state_ != State::higigConfirmed || getMembershipValidity() != MembershipValidity::membershipMissing) return;
  const char* cause = ctx()->rxInfo() ? "TLV TX not seen by peer" : "TLV RX timeout";
  if (role() == Vorn::candidate()) {
    // A candidate cannot decide the link's mode; the group it joins will.
    TRACE6("candidate mode; staying in higigConfirmed after {}", cause);
    return;
  }
  const auto& prevTlv = ctx()->prevTlv();
  if (prevTlv && prevTlv->role == Vorn::candidate()) {
    // A peer last heard as a candidate is rebooting into the group: keep
    // the link in backplane mode until it is back.
    TRACE6("peer is candidate; going to higigWaitSsr after {}", cause);
    stateIs(State::higigWaitSsr, fmt::format("peer rebooting ({})", cause));
    return;
  }
  TRACE6("falling to ethLinkDown after {}", cause);
  logError("heartbeat timed out");
  stateIs(State::ethLinkDown, "heartbeat timed out");
}

void LldpHigigMemberIntfSm::handlePeerMemberId(const Zem::Optional<Vorn::MemberId>& prev) {
  const MembershipValidity verdict = getMembershipValidity();
  noteVerdict(verdict);
  switch (verdict) {
    case MembershipValidity::membershipMissing:
      TRACE6("memberIntf: {}; membership missing", memberIntf());
      if (state_ == State::higigStarted) {
        stateIs(State::ethLinkDown, "peer member ID changed");
      } else if (state_ == State::higigConfirmed) {
        higigConfirmedMembershipMissingHelper();
      }
      break;
    case MembershipValidity::membershipMismatch: {
      TRACE6("memberIntf: {}; bcConfig peerMemberId changed from {} to {}; membership invalid", memberIntf(), prev,
             ctx()->peerMemberId());
      const auto reason = getMembershipMismatchReason();
      Syslog::log(Syslog::VORN_BACKPLANE_INTF_MISMATCH,
                  {ctx()->bcIntf().stringValue(), memberIntf().stringValue(), reason.valueOr("")});
      stateIs(State::ethLinkUp, reason.valueOr("peer member ID changed"));
      break;
    }
    case MembershipValidity::valid:
      break;
  }
  if (ctx()->peerMemberId()) handleAsicsWarm();
}

// --- Peer reboot: waiting for the peer and for the ASICs ------------------------

void LldpHigigMemberIntfSm::maybeExitHigigWaitSsr() {
  if (state_ != State::higigWaitSsr) return;
  const auto tlv = heldTlv();
  if (!tlv || tlv->role == Vorn::candidate() || getMembershipValidity() != MembershipValidity::valid) return;
  waitSsrFailsafe_.stop();
  TRACE6("memberIntf: {}, state: {} -> {} (received non-candidate TLV with valid membership)", memberIntf(), state_,
         State::higigWaitAsicsWarm);
  stateIs(State::higigWaitAsicsWarm, "peer returned");
}

void LldpHigigMemberIntfSm::handleAsicsWarm() {
  if (!asicsWarm()) {
    TRACE7("asicsWarm false for {}, ignoring", memberIntf());
    return;
  }
  if (state_ == State::higigWaitSsr) {
    maybeExitHigigWaitSsr();
  } else if (state_ == State::higigWaitAsicsWarm) {
    maybeExitHigigWaitAsicsWarm();
  }
}

void LldpHigigMemberIntfSm::maybeExitHigigWaitAsicsWarm() {
  if (state_ != State::higigWaitAsicsWarm || !asicsWarm()) return;
  TRACE6("Asics are warm for {}, exiting higigWaitAsicsWarm", memberIntf());
  exitHigigWaitAsicsWarm();
}

void LldpHigigMemberIntfSm::exitHigigWaitAsicsWarm(std::string_view trigger) {
  if (state_ != State::higigWaitAsicsWarm) return;
  TRACE6("Exiting higigWaitAsicsWarm: {} -> ? for intf {}", state_, memberIntf());
  asicsWarmFailsafe_.stop();
  asicsWarmHoldTime_.stop();
  if (getMembershipValidity() == MembershipValidity::valid) {
    stateIs(State::higigConfirmed, trigger);
  } else {
    logError("heartbeat timed out post peer reboot");
    stateIs(State::ethLinkDown, "heartbeat timed out post peer reboot");
  }
}

void LldpHigigMemberIntfSm::maybeStartFailsafeTimer() {
  if (state_ != State::higigWaitAsicsWarm) return;
  // Until the mounts are complete the warm-up record may simply not have
  // arrived yet; timing out then would drop a healthy link.
  if (!lodestoreMountsComplete()) {
    TRACE6("Waiting for lodestoreMountsComplete before starting failsafe timer");
    return;
  }
  if (asicsWarmFailsafe_.armed()) return;
  TRACE6("lodestoreMountsComplete true, schedule {} second failsafe timer on {}", higigAsicsWarmFailsafeDuration_,
         memberIntf());
  asicsWarmFailsafe_.arm(higigAsicsWarmFailsafeDuration_);
}

void LldpHigigMemberIntfSm::handleLodestoreMountsComplete() {
  if (lodestoreMountsComplete() && state_ == State::higigWaitAsicsWarm) maybeStartFailsafeTimer();
}

// --- Timer runs --------------------------------------------------------------------

void LldpHigigMemberIntfSm::handleHigigStartedTaskRun() {
  if (state_ != State::higigStarted) return;
  TRACE6("memberIntf: {}", memberIntf());
  stateIs(State::higigPending, "backplane mode announced");
}

void LldpHigigMemberIntfSm::handleHigigPendingTaskRun() {
  if (state_ != State::higigPending) return;
  TRACE6("higig pending task run for intf {}", memberIntf());
  logError("negotiation timed out");
  stateIs(State::ethLinkDown, "negotiation timed out");
}

void LldpHigigMemberIntfSm::handleHigigWaitSsrFailsafeTaskRun() {
  TRACE6("higigWaitSsr failsafe timer expired ({}s) for intf {} in state {}", higigWaitSsrFailsafeDuration_,
         memberIntf(), state_);
  if (state_ != State::higigWaitSsr) {
    TRACE2("higigWaitSsr failsafe timer fired but state is {}, ignore", state_);
    return;
  }
  TRACE6("higigWaitSsr failsafe: {}s timeout expired, transitioning to higigWaitAsicsWarm for {}",
         higigWaitSsrFailsafeDuration_, memberIntf());
  stateIs(State::higigWaitAsicsWarm, "failsafe timer");
}

void LldpHigigMemberIntfSm::handleHigigWaitAsicsWarmHoldTimeTaskRun() {
  if (state_ != State::higigWaitAsicsWarm) {
    TRACE2("higigWaitAsicsWarm hold timer fired but state is {}, ignore", state_);
    return;
  }
  TRACE6("higigWaitAsicsWarm hold time expired (5s without TLVs) for intf {}", memberIntf());
  exitHigigWaitAsicsWarm("hold time elapsed");
}

void LldpHigigMemberIntfSm::handleHigigAsicsWarmFailsafeTaskRun() {
  TRACE6("Failsafe timer expired (5 min) for intf {} in state {}", memberIntf(), state_);
  if (state_ != State::higigWaitAsicsWarm) {
    TRACE2("Failsafe timer fired but state is {}, ignore", state_);
    return;
  }
  exitHigigWaitAsicsWarm("failsafe timer");
}

// --- Timer tasks --------------------------------------------------------------------

void LldpHigigMemberIntfSm::higigStartedTaskIs(Velto::Ptr<Oru::TaskScheduler> s, Oru::TaskPriority p,
                                               std::string name) {
  timerTaskIs(higigStarted_, std::move(s), p, std::move(name), [this] { handleHigigStartedTaskRun(); });
}
void LldpHigigMemberIntfSm::higigStartedTaskDel() { timerTaskDel(higigStarted_); }

void LldpHigigMemberIntfSm::higigPendingTaskIs(Velto::Ptr<Oru::TaskScheduler> s, Oru::TaskPriority p,
                                               std::string name) {
  timerTaskIs(higigPending_, std::move(s), p, std::move(name), [this] { handleHigigPendingTaskRun(); });
}
void LldpHigigMemberIntfSm::higigPendingTaskDel() { timerTaskDel(higigPending_); }

void LldpHigigMemberIntfSm::higigAsicsWarmFailsafeTimerTaskIs(Velto::Ptr<Oru::TaskScheduler> s,
                                                              Oru::TaskPriority p, std::string name) {
  timerTaskIs(asicsWarmFailsafe_, std::move(s), p, std::move(name), [this] { handleHigigAsicsWarmFailsafeTaskRun(); });
}
void LldpHigigMemberIntfSm::higigAsicsWarmFailsafeTimerTaskDel() { timerTaskDel(asicsWarmFailsafe_); }

void LldpHigigMemberIntfSm::higigWaitSsrFailsafeTimerTaskIs(Velto::Ptr<Oru::TaskScheduler> s, Oru::TaskPriority p,
                                                            std::string name) {
  timerTaskIs(waitSsrFailsafe_, std::move(s), p, std::move(name), [this] { handleHigigWaitSsrFailsafeTaskRun(); });
}
void LldpHigigMemberIntfSm::higigWaitSsrFailsafeTimerTaskDel() { timerTaskDel(waitSsrFailsafe_); }

void LldpHigigMemberIntfSm::higigWaitAsicsWarmHoldTimeTaskIs(Velto::Ptr<Oru::TaskScheduler> s,
                                                             Oru::TaskPriority p, std::string name) {
  timerTaskIs(asicsWarmHoldTime_, std::move(s), p, std::move(name),
              [this] { handleHigigWaitAsicsWarmHoldTimeTaskRun(); });
}
void LldpHigigMemberIntfSm::higigWaitAsicsWarmHoldTimeTaskDel() { timerTaskDel(asicsWarmHoldTime_); }

// ===========================================================================
// LldpHigigSm

LldpHigigSm::LldpHigigSm(Params params) : params_(std::move(params)) {
  checkInputs();
  ctxForMemberReactor_ = watch(ctxForMember(), [this](const Zem::Change& c) { handleCtxForMember(c); });
  handleInitialized();
}

void LldpHigigSm::checkInputs() const {
  ZEM_ASSERT(ctxForMember() != nullptr);
  ZEM_ASSERT(negotiatedBcStatus() != nullptr);
}

LldpHigigSm::~LldpHigigSm() { hasNotificationActiveIs(false); }

Velto::Ptr<LldpHigigSm> lldpHigigSmFactory(LldpHigigSm::Params params) {
  auto sm = Velto::make<LldpHigigSm>(std::move(params));
  sm->hasNotificationActiveIs(true);
  return sm;
}

void LldpHigigSm::hasNotificationActiveIs(bool active) {
  Zem::StateMachine::hasNotificationActiveIs(active);
  for (auto& [intf, child] : higigSmForMemberIntf_) child->hasNotificationActiveIs(active);
}

void LldpHigigSm::handleInitialized() {
  TRACE0("handleInitialized");
  ZEM_ASSERT(selector() != nullptr);
  const auto& intfMap = ctxForMember()->intfMap();

  // Whatever a previous instance left for channels and members that are no
  // longer configured goes first.
  for (const auto& bcIntf : negotiatedBcStatus()->bcMemberStatus().keys()) {
    auto set = ctxForMember()->intfMap(bcIntf);
    if (!set) {
      negotiatedBcStatus()->bcMemberStatusDel(bcIntf);
      continue;
    }
    auto bcStatus = negotiatedBcStatus()->bcMemberStatus(bcIntf);
    for (const auto& memberIntf : bcStatus->memberIntfStatus().keys()) {
      if (!set->memberHas(memberIntf)) bcStatus->memberIntfStatusDel(memberIntf);
    }
  }

  for (const auto& bcIntf : sorted(intfMap.keys())) {
    if (!negotiatedBcStatus()->bcMemberStatus().has(bcIntf)) handleIntfMap(bcIntf);
    auto set = ctxForMember()->intfMap(bcIntf);
    if (!set) continue;
    for (const auto& memberIntf : sorted(set->member().keys())) {
      if (memberIntfStatus(bcIntf, memberIntf)) {
        // A restart: a state the previous instance confirmed, or a peer
        // reboot it was waiting out, carries on.
        maybeAddHigigSm(memberIntf, true);
      } else {
        handleIntfMapMember(bcIntf, memberIntf);
      }
    }
  }
}

void LldpHigigSm::handleCtxForMember(const Zem::Change& c) {
  if (auto ctx = Zem::delta(c, CtxForMember::ctxAttr)) {
    // Changes inside a member context are the child's business.
    if (!ctx->changedInside()) handleCtx(ctx->key);
    return;
  }
  auto set = Zem::delta(c, CtxForMember::intfMapAttr);
  if (!set) return;
  const Kivo::IntfId& bcIntf = set->key;
  if (set->changedInside()) {
    Zem::onDelta(*set->inner, MemberIntfSet::memberAttr,
                 [&](const auto& member) { handleIntfMapMember(bcIntf, member.key); });
    return;
  }
  // The channel's member set appeared, went or was replaced: every member of
  // either set is re-examined, the old set's first.
  const Velto::Ptr<const MemberIntfSet> old(set->prev);
  handleIntfMap(bcIntf);
  Zem::replayDelta(old.get(), ctxForMember()->intfMap(bcIntf).get(), MemberIntfSet::memberAttr,
                   Zem::ReplayOrder::oldFirst(), [&](const auto& member) { handleIntfMapMember(bcIntf, member.key); });
}

bool LldpHigigSm::memberSetHas(const Kivo::IntfId& bcIntf, const Kivo::IntfId& memberIntf) const {
  auto set = ctxForMember()->intfMap(bcIntf);
  return set && set->memberHas(memberIntf);
}

Velto::Ptr<LldpHigigMemberIntfSm::IntfStatus> LldpHigigSm::memberIntfStatus(const Kivo::IntfId& bcIntf,
                                                                            const Kivo::IntfId& memberIntf) const {
  auto bcStatus = negotiatedBcStatus()->bcMemberStatus(bcIntf);
  return bcStatus ? bcStatus->memberIntfStatus(memberIntf) : nullptr;
}

bool LldpHigigSm::childWanted(const Kivo::IntfId& memberIntf) const {
  auto ctx = ctxForMember()->ctx(memberIntf);
  return ctx && memberSetHas(ctx->bcIntf(), memberIntf) && memberIntfStatus(ctx->bcIntf(), memberIntf);
}

void LldpHigigSm::handleIntfMap(const Kivo::IntfId& bcIntf) {
  if (ctxForMember()->intfMap().has(bcIntf)) {
    TRACE0("add bcIntf {}", bcIntf);
    negotiatedBcStatus()->bcMemberStatusIs(bcIntf);
  } else {
    TRACE0("del bcIntf {}", bcIntf);
    if (const auto bcStatus = negotiatedBcStatus()->bcMemberStatus(bcIntf)) {
      for (const auto& [memberIntf, status] : bcStatus->memberIntfStatus()) {
        reportNegotiationEnded(bcIntf, memberIntf, status->state());
      }
    }
    negotiatedBcStatus()->bcMemberStatusDel(bcIntf);
  }
}

void LldpHigigSm::handleIntfMapMember(const Kivo::IntfId& bcIntf, const Kivo::IntfId& memberIntf) {
  auto bcStatus = negotiatedBcStatus()->bcMemberStatus(bcIntf);
  if (!bcStatus) {
    maybeDelHigigSm(memberIntf);
    return;
  }
  if (memberSetHas(bcIntf, memberIntf)) {
    TRACE0("add memberIntf {} to backplaneChannelStatus", memberIntf);
    bcStatus->memberIntfStatusIs(memberIntf);
    maybeAddHigigSm(memberIntf, false);
  } else {
    TRACE0("del memberIntf {} from backplaneChannelStatus", memberIntf);
    // The child goes before its output entry, so it never outlives the
    // entry it writes to in the published record.
    maybeDelHigigSm(memberIntf);
    if (const auto status = bcStatus->memberIntfStatus(memberIntf)) {
      reportNegotiationEnded(bcIntf, memberIntf, status->state());
    }
    bcStatus->memberIntfStatusDel(memberIntf);
  }
}

void LldpHigigSm::handleCtx(const Kivo::IntfId& memberIntf) {
  TRACE0("memberIntf {}", memberIntf);
  auto ctx = ctxForMember()->ctx(memberIntf);
  if (!ctx) {
    maybeDelHigigSm(memberIntf);
    return;
  }
  if (memberSetHas(ctx->bcIntf(), memberIntf) && memberIntfStatus(ctx->bcIntf(), memberIntf)) {
    maybeAddHigigSm(memberIntf, false);
  } else {
    maybeDelHigigSm(memberIntf);
  }
}

void LldpHigigSm::maybeDelHigigSm(const Kivo::IntfId& memberIntf) {
  if (childWanted(memberIntf) || !higigSmForMemberIntf_.count(memberIntf)) return;
  TRACE0("del higig SM for memberIntf={}", memberIntf);
  higigSmForMemberIntfDel(memberIntf);
}

void LldpHigigSm::maybeAddHigigSm(const Kivo::IntfId& memberIntf, bool keepOldState) {
  if (!childWanted(memberIntf)) return;
  auto ctx = ctxForMember()->ctx(memberIntf);
  auto intfStatus = memberIntfStatus(ctx->bcIntf(), memberIntf);

  const auto& serviceCtx = selector()->serviceCtx();
  ZEM_ASSERT(serviceCtx != nullptr);
  const bool mountsComplete = serviceCtx->lodestoreMountsComplete();
  const bool restoreFromLocal = serviceCtx->restoreFromLocal();
  // Reloaded from local storage and not yet in touch with the state
  // database: the peer is most likely rebooting with us, so the links stay
  // in backplane mode while it comes back. A candidate has no say in that.
  const bool initialStateFromPstore = !mountsComplete && restoreFromLocal && role() != Vorn::candidate();

  const State before = intfStatus->state();
  if (!keepOldState) {
    intfStatus->stateIs(initialStateFromPstore ? State::higigWaitSsr : State::ethLinkDown);
  } else if (intfStatus->state() != State::higigConfirmed && intfStatus->state() != State::higigWaitSsr) {
    // Only settled backplane states survive a restart; a negotiation half
    // way through starts over.
    intfStatus->stateIs(State::ethLinkDown);
  }
  // Where the new machine starts is the first entry of the link's history
  // whenever it is not the plain beginning.
  if (Events::enabled() && (keepOldState || intfStatus->state() != before || before != State::ethLinkDown)) {
    Events::emit(Events::Kind::linkState, memberIntf.stringValue(),
                 {{"channel", ctx->bcIntf().stringValue()},
                  {"from", Vorn::stringValue(before)},
                  {"to", Vorn::stringValue(intfStatus->state())},
                  {"reason", initialStateFromPstore ? "reload" : keepOldState ? "agent restart" : "member added"}});
  }

  if (higigSmForMemberIntf_.count(memberIntf)) {
    TRACE0("del stale higig SM for memberIntf={} before adding", memberIntf);
    higigSmForMemberIntfDel(memberIntf);
  }
  TRACE0(
      "add higig SM for memberIntf={}; initialStateFromPstore={}, lodestoreMountsComplete={}, restoreFromLocal={}, "
      "state={}, keepOldState={}",
      memberIntf, initialStateFromPstore, mountsComplete, restoreFromLocal, intfStatus->state(), keepOldState);
  higigSmForMemberIntfIs({.smid = smid(),
                          .role = role(),
                          .scheduler = scheduler(),
                          .selector = selector(),
                          .initialStateFromPstore = initialStateFromPstore,
                          .ctx = ctx,
                          .config = config(),
                          .memberIntf = memberIntf,
                          .vornAsicsWarm = vornAsicsWarm(),
                          .negotiatedIntfStatus = intfStatus});
}

Velto::Ptr<LldpHigigMemberIntfSm> LldpHigigSm::higigSmForMemberIntf(const Kivo::IntfId& memberIntf) const {
  auto it = higigSmForMemberIntf_.find(memberIntf);
  return it == higigSmForMemberIntf_.end() ? nullptr : it->second;
}

Velto::Ptr<LldpHigigMemberIntfSm> LldpHigigSm::higigSmForMemberIntfIs(
    const LldpHigigMemberIntfSm::Params& params) {
  auto child = lldpHigigMemberIntfSmFactory(params);
  if (!hasNotificationActive()) child->hasNotificationActiveIs(false);
  higigSmForMemberIntfDel(params.memberIntf);
  higigSmForMemberIntf_.emplace(params.memberIntf, child);
  return child;
}

void LldpHigigSm::higigSmForMemberIntfDel(const Kivo::IntfId& memberIntf) {
  auto it = higigSmForMemberIntf_.find(memberIntf);
  if (it == higigSmForMemberIntf_.end()) return;
  // Keep the child alive until it is out of the collection, and silence it
  // first, in case a handler of its own is what led here.
  Velto::Ptr<LldpHigigMemberIntfSm> child = std::move(it->second);
  higigSmForMemberIntf_.erase(it);
  child->hasNotificationActiveIs(false);
}

void LldpHigigSm::higigSmForMemberIntfDelAll() {
  std::vector<Kivo::IntfId> keys;
  for (auto& [intf, child] : higigSmForMemberIntf_) keys.push_back(intf);
  for (const auto& intf : keys) higigSmForMemberIntfDel(intf);
}

}  // namespace VornFabricLldp

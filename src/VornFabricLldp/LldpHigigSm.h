#pragma once
// HiGig negotiation of the backplane channel member interfaces.
//
// `LldpHigigMemberIntfSm` drives one member interface between Ethernet mode
// and HiGig backplane mode from what the peer's Vorn TLVs say, and publishes
// the outcome in the interface's entry of the negotiated backplane channel
// status. `LldpHigigSm` keeps one of them for every member interface that is
// configured, has a member context and has a status entry, and decides where
// a new one starts: from scratch, where the previous agent instance left a
// confirmed (or peer-reboot) state, or waiting for a rebooting peer after a
// reload from local storage.

#include "platform/framework/StateMachine.h"
#include "platform/framework/Values.h"
#include "platform/records/LldpRecords.h"
#include "platform/records/VornFabricLldpCtxTypes.h"
#include "platform/records/VornRecords.h"
#include "platform/records/VornTypes.h"
#include "platform/scheduler/Scheduler.h"
#include "platform/vorn/ServiceSync.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>

namespace VornFabricLldp {

// What the held TLV says about the peer at the far end of a member interface.
enum class MembershipValidity : uint8_t {
  membershipMissing = 0,   // no TLV, or the peer has not heard this switch yet
  membershipMismatch = 1,  // the peer is not the one configured, or expects another switch
  valid = 2,
};
std::string stringValue(MembershipValidity v);

class LldpHigigMemberIntfSm : public Zem::StateMachine {
 public:
  using State = Vorn::HigigNegotiationState;
  using IntfStatus = Vorn::BackplaneChannelMemberStatus::IntfStatus;

  static constexpr Oru::TaskPriority taskPriority = 3;
  static constexpr uint32_t defaultHigigConfirmedTimeMin = 10;
  static constexpr Velto::Duration defaultHigigPendingTimeoutDuration = 50;
  static constexpr Velto::Duration defaultHigigAsicsWarmFailsafeDuration = 300;
  // A peer that went away as a candidate normally comes back within a
  // minute. Holding the link in backplane mode longer for one that never
  // returns only delays the ASIC wait (and the fall-back behind it), so the
  // wait for the returning peer is capped at one minute, not at the five of
  // the ASIC failsafe.
  static constexpr Velto::Duration defaultHigigWaitSsrFailsafeDuration = 60;
  static constexpr Velto::Duration defaultHigigWaitAsicsWarmHoldTimeDuration = 5;

  // Inputs, as the negotiation manager hands them over.
  struct Params {
    Vorn::MemberId smid;
    Vorn::Role role;
    Velto::Ptr<Oru::TaskScheduler> scheduler;
    Velto::Ptr<const Vorn::ServiceLocalRemoteSynchronizer> selector;
    bool initialStateFromPstore;
    Velto::Ptr<const MemberCtx> ctx;
    Velto::Ptr<const Lldp::Config> config;
    Kivo::IntfId memberIntf;
    Velto::Ptr<const Vorn::AsicsWarm> vornAsicsWarm;
    Velto::Ptr<IntfStatus> negotiatedIntfStatus;
    bool operator==(const Params&) const = default;
  };

  explicit LldpHigigMemberIntfSm(Params params);
  ~LldpHigigMemberIntfSm() override;

  // --- Inputs and outputs, as constructed.
  Vorn::MemberId smid() const { return params_.smid; }
  Vorn::Role role() const { return params_.role; }
  const Velto::Ptr<Oru::TaskScheduler>& scheduler() const { return params_.scheduler; }
  const Velto::Ptr<const Vorn::ServiceLocalRemoteSynchronizer>& selector() const { return params_.selector; }
  bool initialStateFromPstore() const { return params_.initialStateFromPstore; }
  const Velto::Ptr<const MemberCtx>& ctx() const { return params_.ctx; }
  const Velto::Ptr<const Lldp::Config>& config() const { return params_.config; }
  const Kivo::IntfId& memberIntf() const { return params_.memberIntf; }
  const Velto::Ptr<const Vorn::AsicsWarm>& vornAsicsWarm() const { return params_.vornAsicsWarm; }
  const Velto::Ptr<IntfStatus>& negotiatedIntfStatus() const { return params_.negotiatedIntfStatus; }

  // --- Tunables. A new duration applies the next time its timer is armed.
  uint32_t higigConfirmedTimeMin() const { return higigConfirmedTimeMin_; }
  void higigConfirmedTimeMinIs(uint32_t seconds) { higigConfirmedTimeMin_ = seconds; }
  Velto::Duration defaultHigigPendingTimeout() const { return defaultHigigPendingTimeout_; }
  void defaultHigigPendingTimeoutIs(Velto::Duration d) { defaultHigigPendingTimeout_ = d; }
  Velto::Duration higigAsicsWarmFailsafeDuration() const { return higigAsicsWarmFailsafeDuration_; }
  void higigAsicsWarmFailsafeDurationIs(Velto::Duration d) { higigAsicsWarmFailsafeDuration_ = d; }
  Velto::Duration higigWaitSsrFailsafeDuration() const { return higigWaitSsrFailsafeDuration_; }
  void higigWaitSsrFailsafeDurationIs(Velto::Duration d) { higigWaitSsrFailsafeDuration_ = d; }
  Velto::Duration higigWaitAsicsWarmHoldTimeDuration() const { return higigWaitAsicsWarmHoldTimeDuration_; }
  void higigWaitAsicsWarmHoldTimeDurationIs(Velto::Duration d) { higigWaitAsicsWarmHoldTimeDuration_ = d; }

  // --- Negotiation state.
  State state() const { return state_; }
  // Moves to `s` and runs the entry actions of `s`; staying is a no-op.
  // `reason` is what the operator sees as the cause of the move (the
  // system log's reason where one was logged, else what triggered it).
  void stateIs(State s, std::string_view reason = "set");
  uint32_t higigPendingTlvReceived() const { return higigPendingTlvReceived_; }
  void higigPendingTlvReceivedInc(uint32_t n = 1) { higigPendingTlvReceived_ += n; }
  // TLVs to count in higigPending: what the peer sends in
  // higigConfirmedTimeMin seconds.
  uint32_t higigConfirmedPktsMin() const;

  // --- Verdicts on the held TLV.
  MembershipValidity getMembershipValidity() const;
  // Why the held TLV does not match the configured membership; none when it
  // does, when nothing is held, or while verification is switched off.
  Zem::Optional<Velto::String> getMembershipMismatchReason() const;
  // Both this switch's and the peer's switching ASICs are warm.
  bool asicsWarm() const;

  // --- Timer tasks (priority 3, named by prefix and interface).
  const Velto::Ptr<Oru::TimerTask>& higigStartedTask() const { return higigStarted_.task(); }
  const Velto::Ptr<Oru::TimerTask>& higigPendingTask() const { return higigPending_.task(); }
  const Velto::Ptr<Oru::TimerTask>& higigAsicsWarmFailsafeTimerTask() const { return asicsWarmFailsafe_.task(); }
  const Velto::Ptr<Oru::TimerTask>& higigWaitSsrFailsafeTimerTask() const { return waitSsrFailsafe_.task(); }
  const Velto::Ptr<Oru::TimerTask>& higigWaitAsicsWarmHoldTimeTask() const { return asicsWarmHoldTime_.task(); }
  void higigStartedTaskIs(Velto::Ptr<Oru::TaskScheduler> s, Oru::TaskPriority p, std::string name);
  void higigStartedTaskDel();
  void higigPendingTaskIs(Velto::Ptr<Oru::TaskScheduler> s, Oru::TaskPriority p, std::string name);
  void higigPendingTaskDel();
  void higigAsicsWarmFailsafeTimerTaskIs(Velto::Ptr<Oru::TaskScheduler> s, Oru::TaskPriority p, std::string name);
  void higigAsicsWarmFailsafeTimerTaskDel();
  void higigWaitSsrFailsafeTimerTaskIs(Velto::Ptr<Oru::TaskScheduler> s, Oru::TaskPriority p, std::string name);
  void higigWaitSsrFailsafeTimerTaskDel();
  void higigWaitAsicsWarmHoldTimeTaskIs(Velto::Ptr<Oru::TaskScheduler> s, Oru::TaskPriority p, std::string name);
  void higigWaitAsicsWarmHoldTimeTaskDel();

  // --- Handlers (run by the reactors; public so the owner can replay them).
  void handleRefreshTime();
  void handlePeerMemberId(const Zem::Optional<Vorn::MemberId>& prev);
  void handleAsicsWarm();
  void handleLodestoreMountsComplete();
  void handleHigigStartedTaskRun();
  void handleHigigPendingTaskRun();
  void handleHigigAsicsWarmFailsafeTaskRun();
  void handleHigigWaitSsrFailsafeTaskRun();
  void handleHigigWaitAsicsWarmHoldTimeTaskRun();

  void handleState(const Zem::Optional<State>& prev);
  void handleInitialized();
  void maybeExitHigigWaitSsr();
  void maybeExitHigigWaitAsicsWarm();
  // `trigger`: why the wait ends (the ASICs, the hold time, the failsafe).
  void exitHigigWaitAsicsWarm(std::string_view trigger = "ASICs warm");
  void maybeStartFailsafeTimer();
  void higigConfirmedMembershipMissingHelper();

 private:
  using Timer = TimerTaskSlot;

  void checkInputs() const;
  void handleCtx(const Zem::Change& c);
  void handleSelector(const Zem::Change& c);
  void bindServiceCtx();


  Zem::Optional<Lldp::VornTlv> heldTlv() const;
  bool lodestoreMountsComplete() const;
  void logError(const char* reason) const;
  // Reports a change of the membership verdict to the event sink, if any.
  void noteVerdict(MembershipValidity verdict);

  Params params_;
  uint32_t higigConfirmedTimeMin_ = defaultHigigConfirmedTimeMin;
  Velto::Duration defaultHigigPendingTimeout_ = defaultHigigPendingTimeoutDuration;
  Velto::Duration higigAsicsWarmFailsafeDuration_ = defaultHigigAsicsWarmFailsafeDuration;
  Velto::Duration higigWaitSsrFailsafeDuration_ = defaultHigigWaitSsrFailsafeDuration;
  Velto::Duration higigWaitAsicsWarmHoldTimeDuration_ = defaultHigigWaitAsicsWarmHoldTimeDuration;
  State state_ = State::ethLinkDown;
  uint32_t higigPendingTlvReceived_ = 0;
  // The verdict last reported as an event; only kept while events are on.
  Zem::Optional<MembershipValidity> reportedVerdict_;
  Timer higigStarted_;
  Timer higigPending_;
  Timer asicsWarmFailsafe_;
  Timer waitSsrFailsafe_;
  Timer asicsWarmHoldTime_;

  bool destroying_ = false;
  Zem::Reactor vornAsicsWarmDispatch_;
  Zem::Reactor ctxReactor_;
  Zem::Reactor selectorReactor_;
  Zem::Reactor serviceCtxReactor_;
};

Velto::Ptr<LldpHigigMemberIntfSm> lldpHigigMemberIntfSmFactory(LldpHigigMemberIntfSm::Params params);

// Keeps one LldpHigigMemberIntfSm for every member interface M for which all
// hold: the member context has M, the member set of M's channel has M, the
// negotiated status has that channel, and that channel's status has M.
class LldpHigigSm : public Zem::StateMachine {
 public:
  using Children = std::unordered_map<Kivo::IntfId, Velto::Ptr<LldpHigigMemberIntfSm>>;

  // Inputs, as the root state machine hands them over.
  struct Params {
    Vorn::MemberId smid;
    Vorn::Role role;
    Velto::Ptr<Oru::TaskScheduler> scheduler;
    Velto::Ptr<const Vorn::ServiceLocalRemoteSynchronizer> selector;
    Velto::Ptr<const CtxForMember> ctxForMember;
    Velto::Ptr<const Lldp::Config> config;
    Velto::Ptr<const Lldp::Status> status;
    Velto::Ptr<const Vorn::AsicsWarm> vornAsicsWarm;
    Velto::Ptr<Vorn::BackplaneChannelStatus> negotiatedBcStatus;
    bool operator==(const Params&) const = default;
  };

  explicit LldpHigigSm(Params params);
  ~LldpHigigSm() override;

  // Children follow the manager's notification gate.
  void hasNotificationActiveIs(bool active) override;

  Vorn::MemberId smid() const { return params_.smid; }
  Vorn::Role role() const { return params_.role; }
  const Velto::Ptr<Oru::TaskScheduler>& scheduler() const { return params_.scheduler; }
  const Velto::Ptr<const Vorn::ServiceLocalRemoteSynchronizer>& selector() const { return params_.selector; }
  const Velto::Ptr<const CtxForMember>& ctxForMember() const { return params_.ctxForMember; }
  const Velto::Ptr<const Lldp::Config>& config() const { return params_.config; }
  const Velto::Ptr<const Lldp::Status>& status() const { return params_.status; }
  const Velto::Ptr<const Vorn::AsicsWarm>& vornAsicsWarm() const { return params_.vornAsicsWarm; }
  const Velto::Ptr<Vorn::BackplaneChannelStatus>& negotiatedBcStatus() const { return params_.negotiatedBcStatus; }

  const Children& higigSmForMemberIntf() const { return higigSmForMemberIntf_; }
  Velto::Ptr<LldpHigigMemberIntfSm> higigSmForMemberIntf(const Kivo::IntfId& memberIntf) const;
  Velto::Ptr<LldpHigigMemberIntfSm> higigSmForMemberIntfIs(const LldpHigigMemberIntfSm::Params& params);
  void higigSmForMemberIntfDel(const Kivo::IntfId& memberIntf);
  void higigSmForMemberIntfDelAll();

  void handleCtx(const Kivo::IntfId& memberIntf);
  void handleIntfMap(const Kivo::IntfId& bcIntf);
  void handleIntfMapMember(const Kivo::IntfId& bcIntf, const Kivo::IntfId& memberIntf);
  void maybeAddHigigSm(const Kivo::IntfId& memberIntf, bool keepOldState);
  void maybeDelHigigSm(const Kivo::IntfId& memberIntf);

 private:
  void checkInputs() const;
  void handleInitialized();
  void handleCtxForMember(const Zem::Change& c);
  bool memberSetHas(const Kivo::IntfId& bcIntf, const Kivo::IntfId& memberIntf) const;
  Velto::Ptr<LldpHigigMemberIntfSm::IntfStatus> memberIntfStatus(const Kivo::IntfId& bcIntf,
                                                                 const Kivo::IntfId& memberIntf) const;
  bool childWanted(const Kivo::IntfId& memberIntf) const;

  Params params_;
  Children higigSmForMemberIntf_;
  Zem::Reactor ctxForMemberReactor_;
};

Velto::Ptr<LldpHigigSm> lldpHigigSmFactory(LldpHigigSm::Params params);

}  // namespace VornFabricLldp

template <>
struct fmt::formatter<VornFabricLldp::MembershipValidity> : fmt::formatter<std::string_view> {
  template <class Ctx>
  auto format(VornFabricLldp::MembershipValidity v, Ctx& ctx) const {
    return fmt::formatter<std::string_view>::format(VornFabricLldp::stringValue(v), ctx);
  }
};

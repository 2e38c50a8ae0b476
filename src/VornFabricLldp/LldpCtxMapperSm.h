#pragma once
// Keeps CtxForMember in step with the member configuration and with the
// remote system selected on each member interface: one MemberCtx per
// configured member interface (its channel, the peer expected there and,
// while a Vorn TLV is heard, the RxInfo with that TLV and its refresh time),
// and per configured channel the set of its member interfaces.
//
// After a restart that restored the context from the local backup, receive
// information that finds no selected remote system is held for a while
// instead of being dropped at once: LLDP needs a few frames to hear the peers
// again, and dropping it early would knock negotiated links out of backplane
// mode.

#include "VornFabricLldp/VornFabricLldpLocalTypes.h"
#include "platform/framework/StateMachine.h"
#include "platform/records/VornFabricLldpCtxTypes.h"
#include "platform/records/VornRecords.h"
#include "platform/scheduler/Scheduler.h"

namespace VornFabricLldp {

class LldpCtxMapperSm : public Zem::StateMachine {
 public:
  static constexpr Velto::Duration defaultStaleEntryHoldTime = 3.0;
  static constexpr Oru::TaskPriority clearStaleEntriesTaskPriority = 3;
  static constexpr const char* clearStaleEntriesTaskName = "ctxForMember";

  // Inputs, as the root state machine hands them over.
  struct Params {
    Vorn::MemberId smid;
    Velto::Ptr<Oru::TaskScheduler> scheduler;
    Velto::Ptr<const Vorn::MemberConfig> memberConfig;
    Velto::Ptr<const LldpSelectedRsForMember> selectedRs;
    bool restoreFromLocalBackup;
    Velto::Ptr<CtxForMember> ctxForMember;
    bool operator==(const Params&) const = default;
  };

  explicit LldpCtxMapperSm(Params params);
  ~LldpCtxMapperSm() override;

  Vorn::MemberId smid() const { return params_.smid; }
  const Velto::Ptr<Oru::TaskScheduler>& scheduler() const { return params_.scheduler; }
  const Velto::Ptr<const Vorn::MemberConfig>& memberConfig() const { return params_.memberConfig; }
  const Velto::Ptr<const LldpSelectedRsForMember>& selectedRs() const { return params_.selectedRs; }
  bool restoreFromLocalBackup() const { return params_.restoreFromLocalBackup; }
  const Velto::Ptr<CtxForMember>& ctxForMember() const { return params_.ctxForMember; }

  Velto::Duration staleEntryHoldTime() const { return staleEntryHoldTime_; }
  void staleEntryHoldTimeIs(Velto::Duration holdTime) { staleEntryHoldTime_ = holdTime; }

  const Velto::Ptr<Oru::TimerTask>& clearStaleEntriesTask() const { return clearStaleEntriesTask_; }
  // Replacing or removing the task while running ends the hold at once.
  void clearStaleEntriesTaskIs(const Velto::Ptr<Oru::TaskScheduler>& scheduler, Oru::TaskPriority priority,
                               const std::string& name);
  void clearStaleEntriesTaskDel();

  void handleInitialized();
  void handleBcConfig(Kivo::IntfId bcIntf);
  void handleMemberConfig(Kivo::IntfId bcIntf, Kivo::IntfId memberIntf);
  void handlePeerMemberId(Kivo::IntfId bcIntf);
  void handleVornTlv(Kivo::IntfId intfId);
  void handleLastRefreshTime(Kivo::IntfId intfId);
  void updateRxInfo(Kivo::IntfId intfId);
  void clearStaleEntries();

 private:
  void handleMemberConfigChange(const Zem::Change& c);
  void handleSelectedRsChange(const Zem::Change& c);
  void handleBcConfigReplaced(const Kivo::IntfId& bcIntf, const Vorn::BackplaneChannelConfig* prev);
  void bindClearStaleEntriesTask();
  bool clearStaleEntriesTaskScheduled() const { return clearStaleEntriesTask_ && clearStaleEntriesTask_->taskScheduled(); }

  Params params_;
  Velto::Duration staleEntryHoldTime_ = defaultStaleEntryHoldTime;
  Velto::Ptr<Oru::TimerTask> clearStaleEntriesTask_;
  bool constructed_ = false;

  Zem::Reactor selectedRsReactor_;
  Zem::Reactor memberConfigReactor_;
  Zem::Reactor clearStaleEntriesTaskReactor_;
};

Velto::Ptr<LldpCtxMapperSm> lldpCtxMapperSmFactory(LldpCtxMapperSm::Params params);
inline constexpr auto LldpCtxMapperSmIs = lldpCtxMapperSmFactory;

}  // namespace VornFabricLldp

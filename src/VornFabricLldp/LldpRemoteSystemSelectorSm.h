#pragma once
// Chooses, for each member interface, the one remote system heard there that
// is a plausible group peer, and publishes it in LldpSelectedRsForMember.
// Everything downstream sees exactly one peer per member interface.
//
// A remote system is a plausible peer when its chassis is a MAC address from
// the group's address block, its port is named by interface name and it
// carries a Vorn TLV. Among those, the one refreshed last wins: a newcomer
// takes over when it is not older than the current choice, and a rescan
// picks the greatest refresh time.

#include "VornFabricLldp/VornFabricLldpLocalTypes.h"
#include "platform/framework/StateMachine.h"
#include "platform/records/LldpRecords.h"

namespace VornFabricLldp {

class LldpRemoteSystemSelectorSm : public Zem::StateMachine {
 public:
  static constexpr Velto::Duration defaultExcessiveDelayThreshold = 0.15;
  static inline const Zem::AttrInfo excessiveDelayThresholdAttr{"excessiveDelayThreshold"};

  LldpRemoteSystemSelectorSm(Velto::Ptr<const Lldp::Status> status,
                             Velto::Ptr<LldpSelectedRsForMember> selectedRsForMember);
  ~LldpRemoteSystemSelectorSm() override;

  const Velto::Ptr<const Lldp::Status>& status() const { return status_; }
  // Replacing the status is handled as every port status of the old and the
  // new one being replaced.
  void statusIs(const Velto::Ptr<const Lldp::Status>& status);
  const Velto::Ptr<LldpSelectedRsForMember>& selectedRsForMember() const { return selectedRsForMember_; }

  // Gap between two refreshes of one remote system above which the receive
  // path is reported as late.
  Zem::Seconds excessiveDelayThreshold() const { return excessiveDelayThreshold_; }
  void excessiveDelayThresholdIs(Velto::Duration threshold);

  void handleInitialized();
  void handleVornTlv(Kivo::IntfId memberIntf, int index);
  void handleLastRefreshTime(Kivo::IntfId memberIntf, int index, Zem::Optional<Velto::Duration> prev,
                             Zem::Optional<Velto::Duration> curr);

  bool isValidRemoteSystem(Kivo::IntfId memberIntf, int index) const;
  void maybeSetRsCtx(Kivo::IntfId memberIntf, int index);
  void updateRsCtx(Kivo::IntfId memberIntf);
  void traceExcessiveDelay(Kivo::IntfId memberIntf, Velto::Duration prev, Velto::Duration curr) const;

 private:
  void handleStatusChange(const Zem::Change& c);
  // A port status (or remote system) added, replaced or removed: handled
  // as every remote system of the old and the new one being replaced.
  void handlePortStatusReplaced(const Kivo::IntfId& memberIntf, const Lldp::PortStatus* prevPs,
                                const Lldp::PortStatus* currPs);
  void handleRemoteSystemReplaced(const Kivo::IntfId& memberIntf, int index, const Lldp::RemoteSystem* prevRs,
                                  const Lldp::RemoteSystem* currRs);
  Velto::Ptr<Lldp::RemoteSystem> remoteSystem(const Kivo::IntfId& memberIntf, int index) const;

  Velto::Ptr<const Lldp::Status> status_;
  Velto::Ptr<LldpSelectedRsForMember> selectedRsForMember_;
  Zem::Seconds excessiveDelayThreshold_ = defaultExcessiveDelayThreshold;
  Zem::Reactor statusReactor_;
};

Velto::Ptr<LldpRemoteSystemSelectorSm> lldpRemoteSystemSelectorSmFactory(
    const Velto::Ptr<const Lldp::Status>& status, const Velto::Ptr<LldpSelectedRsForMember>& selectedRsForMember);
inline constexpr auto LldpRemoteSystemSelectorSmIs = lldpRemoteSystemSelectorSmFactory;

}  // namespace VornFabricLldp

#pragma once
// Mirrors what the agent's LLDP engine hears into the Vorn LLDP status, which
// is carried to other agents and to the peer members: per LLDP port, every
// remote system's identity, time-to-live and received Vorn TLV. A one-way
// copy. A change of one port status re-syncs that port; a change of one
// remote system re-syncs that remote system; what the mirror does not carry
// (refresh times, system names, neighbour overflow, statistics) costs
// nothing. So the work per received frame does not grow with the number of
// ports or remote systems, and unchanged writes publish nothing, so only
// real differences travel. A new engine status re-syncs everything.

#include "platform/framework/StateMachine.h"
#include "platform/records/LldpRecords.h"
#include "platform/records/VornRecords.h"

namespace VornFabricLldp {

class LldpStatusSm : public Zem::StateMachine {
 public:
  LldpStatusSm(Velto::Ptr<const Lldp::Status> localStatus, Velto::Ptr<Vorn::Lldp::Status> remoteStatus);
  ~LldpStatusSm() override;

  const Velto::Ptr<const Lldp::Status>& localStatus() const { return localStatus_; }
  // A new engine status re-syncs the mirror from it.
  void localStatusIs(const Velto::Ptr<const Lldp::Status>& localStatus);
  const Velto::Ptr<Vorn::Lldp::Status>& remoteStatus() const { return remoteStatus_; }

  void syncStatus();
  void doSyncPortStatus(const Lldp::PortStatus& localPortStatus);
  void doSyncRemoteSystem(Vorn::Lldp::PortStatus& remotePortStatus, const Lldp::RemoteSystem& localRemoteSystem);

 private:
  void handleLocalStatusReplaced();
  // The port status of `intf` was added, replaced or removed, or changed
  // inside (`inner`, the change within it): that port is re-synced.
  void handlePortStatus(const Kivo::IntfId& intf, const Zem::Change* inner);
  // The remote system `index` of `intf` was added, replaced or removed, or
  // changed inside (`inner`).
  void handleRemoteSystem(const Kivo::IntfId& intf, int index, const Zem::Change* inner);
  void doRemovePortStatus(const Kivo::IntfId& intf);

  Velto::Ptr<const Lldp::Status> localStatus_;
  Velto::Ptr<Vorn::Lldp::Status> remoteStatus_;
  bool destroying_ = false;
  Zem::Reactor localStatusReactor_;
};

// The TLV as peers read it (VornTlv::peerVisible); none stays none.
Zem::Optional<Lldp::VornTlv> peerVisibleTlv(const Zem::Optional<Lldp::VornTlv>& tlv);

Velto::Ptr<LldpStatusSm> lldpStatusSmFactory(const Velto::Ptr<const Lldp::Status>& localStatus,
                                             const Velto::Ptr<Vorn::Lldp::Status>& remoteStatus);
inline constexpr auto LldpStatusSmIs = lldpStatusSmFactory;

}  // namespace VornFabricLldp

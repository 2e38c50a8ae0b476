#include "VornFabricLldp/LldpStatusSm.h"

#include "platform/framework/Assert.h"
#include "platform/trace/Ringlog.h"

namespace VornFabricLldp {

namespace {
const Ringlog::Handle traceHandle{"Vorn::VornFabricLldp"};
}  // namespace

Zem::Optional<Vorn::Lldp::VornTlv> peerVisibleTlv(const Zem::Optional<Lldp::VornTlv>& tlv) {
  if (!tlv) return Zem::none;
  Vorn::Lldp::VornTlv out;
  out.memberId = tlv->memberId;
  out.role = tlv->role;
  out.expectedPeerId = tlv->expectedPeerId;
  out.receivedPeerId = tlv->receivedPeerId;
  out.lodestoreConnected = (tlv->flags & Lldp::VornTlv::lodestoreConnectedFlag) != 0;
  out.singleLink = (tlv->flags & Lldp::VornTlv::singleLinkFlag) != 0;
  return out;
}

LldpStatusSm::LldpStatusSm(Velto::Ptr<const Lldp::Status> localStatus, Velto::Ptr<Vorn::Lldp::Status> remoteStatus)
    : remoteStatus_(std::move(remoteStatus)) {
  ZEM_ASSERT(remoteStatus_ != nullptr);
  localStatusIs(localStatus);
}

LldpStatusSm::~LldpStatusSm() {
  // The mirror stays as it is: it is what peers last saw of this switch.
  destroying_ = true;
  localStatusReactor_.reset();
}

void LldpStatusSm::localStatusIs(const Velto::Ptr<const Lldp::Status>& localStatus) {
  if (localStatus == localStatus_ && localStatusReactor_.active()) return;
  Velto::Ptr<const Lldp::Status> prev = std::move(localStatus_);
  localStatus_ = localStatus;
  localStatusReactor_ = watch(localStatus_, [this](const Zem::Change& c) {
    // Changes of the port statuses, inside them, or inside their remote
    // systems all arrive under the port status collection.
    if (c.is(Lldp::Status::portStatusAttr) && c.key) handlePortStatus(c.keyAs<Kivo::IntfId>());
  });
  handleLocalStatusReplaced(prev);
}

void LldpStatusSm::handleLocalStatusReplaced(const Velto::Ptr<const Lldp::Status>& prev) {
  // As for any replaced input: the status handler, then the port status
  // handler for every key of the new status and every key only the old one
  // had. Each is a full sync, so the repeats change nothing.
  syncStatus();
  if (localStatus_) {
    for (const auto& intf : localStatus_->portStatus().keys()) handlePortStatus(intf);
  }
  if (prev) {
    for (const auto& intf : prev->portStatus().keys()) {
      if (!localStatus_ || !localStatus_->portStatus().has(intf)) handlePortStatus(intf);
    }
  }
}

void LldpStatusSm::handlePortStatus(const Kivo::IntfId&) { syncStatus(); }

void LldpStatusSm::syncStatus() {
  if (destroying_) return;
  TRACE8("");
  if (localStatus_) {
    for (const auto& intf : localStatus_->portStatus().keys()) {
      if (auto ps = localStatus_->portStatus(intf)) doSyncPortStatus(*ps);
    }
  }
  for (const auto& intf : remoteStatus_->portStatus().keys()) {
    if (localStatus_ && localStatus_->portStatus().has(intf)) continue;
    TRACE8("remove PortStatus for intf {}", intf.stringValue());
    remoteStatus_->portStatusDel(intf);
  }
}

void LldpStatusSm::doSyncPortStatus(const Lldp::PortStatus& localPortStatus) {
  const auto& intf = localPortStatus.intf();
  TRACE8("for intf {}", intf);
  auto remotePortStatus = remoteStatus_->portStatusIs(intf);
  for (const auto& index : localPortStatus.remoteSystem().keys()) {
    if (auto rs = localPortStatus.remoteSystem(index)) doSyncRemoteSystem(*remotePortStatus, *rs);
  }
  for (const auto& index : remotePortStatus->remoteSystem().keys()) {
    if (localPortStatus.remoteSystem().has(index)) continue;
    TRACE8("remove RemoteSystem {} from intf {}", index, intf);
    remotePortStatus->remoteSystemDel(index);
  }
}

void LldpStatusSm::doSyncRemoteSystem(Vorn::Lldp::PortStatus& remotePortStatus,
                                      const Lldp::RemoteSystem& localRemoteSystem) {
  const int index = localRemoteSystem.index();
  TRACE8("RemoteSystem {} on intf {}", index, remotePortStatus.intf());
  Vorn::Lldp::RemoteSystem::Msap msap;
  msap.chassisIdSubtype = localRemoteSystem.chassisIdSubtype();
  msap.chassisId = localRemoteSystem.chassisId();
  msap.portIdSubtype = localRemoteSystem.portIdSubtype();
  msap.portId = localRemoteSystem.portId();
  // The identity is the entry's key: a new identity is a new remote system.
  if (auto existing = remotePortStatus.remoteSystem(index); existing && !existing->msap().isEq(msap)) {
    remotePortStatus.remoteSystemDel(index);
  }
  auto remoteRs = remotePortStatus.remoteSystemIs(index, msap);
  ZEM_ASSERT(remoteRs);
  remoteRs->ttlIs(localRemoteSystem.ttl());
  remoteRs->vornTlvRxIs(peerVisibleTlv(localRemoteSystem.vornTlv()));
}

Velto::Ptr<LldpStatusSm> lldpStatusSmFactory(const Velto::Ptr<const Lldp::Status>& localStatus,
                                             const Velto::Ptr<Vorn::Lldp::Status>& remoteStatus) {
  auto sm = Velto::make<LldpStatusSm>(localStatus, remoteStatus);
  sm->hasNotificationActiveIs(true);
  return sm;
}

Velto::Ptr<LldpStatusSm> LldpStatusSmIs(const Velto::Ptr<const Lldp::Status>& localStatus,
                                        const Velto::Ptr<Vorn::Lldp::Status>& remoteStatus) {
  return lldpStatusSmFactory(localStatus, remoteStatus);
}

}  // namespace VornFabricLldp

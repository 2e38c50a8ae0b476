#include "VornFabricLldp/LldpStatusSm.h"

#include "platform/framework/Assert.h"
#include "platform/trace/Ringlog.h"

namespace VornFabricLldp {

namespace {
const Ringlog::Handle traceHandle{"Vorn::VornFabricLldp"};
}  // namespace

Zem::Optional<Lldp::VornTlv> peerVisibleTlv(const Zem::Optional<Lldp::VornTlv>& tlv) {
  if (!tlv) return Zem::none;
  return tlv->peerVisible();
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
  localStatus_ = localStatus;
  localStatusReactor_ = watch(localStatus_, [this](const Zem::Change& c) {
    // Changes of the port statuses, inside them, or inside their remote
    // systems all arrive under the port status collection.
    Zem::onDelta(c, Lldp::Status::portStatusAttr, [this](const auto& d) { handlePortStatus(d.key, d.inner); });
  });
  handleLocalStatusReplaced();
}

void LldpStatusSm::handleLocalStatusReplaced() {
  // Another engine status: what the mirror holds may have come from the old
  // one or from a backup, so it is re-synced as a whole, which also removes
  // every port only the old status had.
  syncStatus();
}

void LldpStatusSm::handlePortStatus(const Kivo::IntfId& intf, const Zem::Change* inner) {
  if (destroying_ || !localStatus_) return;
  if (inner) {
    // Inside the port status only its remote systems are mirrored.
    Zem::onDelta(*inner, Lldp::PortStatus::remoteSystemAttr,
                 [&](const auto& d) { handleRemoteSystem(intf, d.key, d.inner); });
    return;
  }
  // The entry itself was added, replaced or removed: the handler reads the
  // collection as it is now, since an earlier handler may have moved on.
  if (auto ps = localStatus_->portStatus(intf)) {
    doSyncPortStatus(*ps);
  } else {
    doRemovePortStatus(intf);
  }
}

void LldpStatusSm::handleRemoteSystem(const Kivo::IntfId& intf, int index, const Zem::Change* inner) {
  // Refresh times and system names are not mirrored; most received frames
  // change nothing else.
  if (inner && (inner->is(Lldp::RemoteSystem::lastRefreshTimeAttr) || inner->is(Lldp::RemoteSystem::systemNameAttr))) {
    return;
  }
  auto ps = localStatus_->portStatus(intf);
  auto remotePortStatus = remoteStatus_->portStatus(intf);
  if (!ps || !remotePortStatus) {
    // The port came or went under an earlier handler: sync it as a whole.
    handlePortStatus(intf, nullptr);
    return;
  }
  if (auto rs = ps->remoteSystem(index)) {
    doSyncRemoteSystem(*remotePortStatus, *rs);
  } else if (remotePortStatus->remoteSystem().has(index)) {
    TRACE8("remove RemoteSystem {} from intf {}", index, intf);
    remotePortStatus->remoteSystemDel(index);
  }
}

void LldpStatusSm::doRemovePortStatus(const Kivo::IntfId& intf) {
  if (!remoteStatus_->portStatus().has(intf)) return;
  TRACE8("remove PortStatus for intf {}", intf.stringValue());
  remoteStatus_->portStatusDel(intf);
}

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
    doRemovePortStatus(intf);
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

}  // namespace VornFabricLldp

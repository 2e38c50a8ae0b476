#include "VornFabricLldp/VornFabricLldpLocalTypes.h"

namespace VornFabricLldp {

Velto::Ptr<VornFabricLldpCtx> vornFabricLldpCtxFactory() { return Velto::make<VornFabricLldpCtx>(); }
Velto::Ptr<VornFabricLldpCtx> VornFabricLldpCtxIs() { return vornFabricLldpCtxFactory(); }

LldpSelectedRsForMember::RemoteSystemExtKeyCollection::RemoteSystemExtKeyCollection(
    Kivo::IntfId key, Velto::Ptr<const Lldp::RemoteSystem> rs)
    : key_(key), remoteSystem_(std::move(rs)) {
  forward_ = remoteSystem_->subscribe([this](const Zem::Change& c) {
    publish(Zem::Change{this, &remoteSystemAttr, nullptr, nullptr, &c});
  });
}

Velto::Ptr<const Lldp::RemoteSystem> LldpSelectedRsForMember::remoteSystem(const Kivo::IntfId& intfId) const {
  auto entry = remoteSystem_.get(intfId);
  return entry ? entry->remoteSystem() : nullptr;
}

void LldpSelectedRsForMember::remoteSystemIs(const Kivo::IntfId& intfId,
                                             const Velto::Ptr<const Lldp::RemoteSystem>& rs) {
  auto entry = remoteSystem_.get(intfId);
  if (!entry) {
    if (rs) remoteSystem_.put(*this, remoteSystemAttr, intfId, Velto::make<RemoteSystemExtKeyCollection>(intfId, rs));
    return;
  }
  if (entry->remoteSystem() == rs) return;
  if (!rs) {
    remoteSystem_.erase(*this, remoteSystemAttr, intfId);
  } else {
    remoteSystem_.put(*this, remoteSystemAttr, intfId, Velto::make<RemoteSystemExtKeyCollection>(intfId, rs));
  }
}

Velto::Ptr<const Lldp::RemoteSystem> LldpSelectedRsForMember::remoteSystemDel(const Kivo::IntfId& intfId) {
  auto entry = remoteSystem_.erase(*this, remoteSystemAttr, intfId);
  return entry ? entry->remoteSystem() : nullptr;
}

void LldpSelectedRsForMember::remoteSystemDelAll() {
  for (const auto& k : remoteSystem_.keys()) remoteSystemDel(k);
}

Velto::Ptr<LldpSelectedRsForMember> lldpSelectedRsForMemberFactory() {
  return Velto::make<LldpSelectedRsForMember>();
}
Velto::Ptr<LldpSelectedRsForMember> LldpSelectedRsForMemberIs() { return lldpSelectedRsForMemberFactory(); }

}  // namespace VornFabricLldp

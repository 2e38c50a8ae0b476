#pragma once
// The agent's own records, which never leave the process: whether the agent
// is connected to the state database, and the remote system selected for each
// member interface (the hand-over from remote system selection to member
// context mapping).

#include "platform/framework/Record.h"
#include "platform/records/LldpRecords.h"

namespace VornFabricLldp {

class VornFabricLldpCtx : public Zem::Entity {
  ZEM_RECORD(VornFabricLldpCtx, "VornFabricLldp::VornFabricLldpCtx")
 public:
  VornFabricLldpCtx() = default;
  // The agent currently holds a state database connection; sent as bit 0 of
  // every Vorn TLV.
  ZEM_ATTR(bool, lodestoreConnected)
};

Velto::Ptr<VornFabricLldpCtx> vornFabricLldpCtxFactory();
Velto::Ptr<VornFabricLldpCtx> VornFabricLldpCtxIs();

class LldpSelectedRsForMember : public Zem::Entity {
 public:
  // One selection: a read-only reference to the engine's remote system. The
  // entry republishes every change of that remote system as a nested change
  // of itself, so subscribers of the selection learn of new TLVs and refresh
  // times without watching the engine's records.
  class RemoteSystemExtKeyCollection : public Zem::Entity {
   public:
    static inline const Zem::AttrInfo remoteSystemAttr{"remoteSystem"};
    RemoteSystemExtKeyCollection(Kivo::IntfId key, Velto::Ptr<const Lldp::RemoteSystem> rs);
    const Kivo::IntfId& key() const { return key_; }
    const Velto::Ptr<const Lldp::RemoteSystem>& remoteSystem() const { return remoteSystem_; }

   private:
    Kivo::IntfId key_;
    Velto::Ptr<const Lldp::RemoteSystem> remoteSystem_;
    Zem::Reactor forward_;
  };

  using Collection = Zem::EntityMap<Kivo::IntfId, RemoteSystemExtKeyCollection, false>;
  static const Collection& remoteSystemOf(const Zem::Entity& e) {
    return static_cast<const LldpSelectedRsForMember&>(e).remoteSystem_;
  }
  static inline const Zem::CollectionAttr<Collection> remoteSystemAttr{{"remoteSystem"}, &remoteSystemOf};

  LldpSelectedRsForMember() = default;

  const Collection& remoteSystem() const { return remoteSystem_; }
  // The remote system selected for `intfId`, or empty.
  Velto::Ptr<const Lldp::RemoteSystem> remoteSystem(const Kivo::IntfId& intfId) const;
  // Selects `rs` for `intfId`; an empty `rs` deletes the selection. Writing
  // the remote system already selected changes nothing.
  void remoteSystemIs(const Kivo::IntfId& intfId, const Velto::Ptr<const Lldp::RemoteSystem>& rs);
  // Deletes the selection and returns what it held (empty when none).
  Velto::Ptr<const Lldp::RemoteSystem> remoteSystemDel(const Kivo::IntfId& intfId);
  void remoteSystemDelAll();

 private:
  Collection remoteSystem_;
};

Velto::Ptr<LldpSelectedRsForMember> lldpSelectedRsForMemberFactory();
Velto::Ptr<LldpSelectedRsForMember> LldpSelectedRsForMemberIs();

}  // namespace VornFabricLldp

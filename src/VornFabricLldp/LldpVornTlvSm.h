#pragma once
// Decides the Vorn TLV every LLDP local port sends and keeps it current.
//
// The TLV tells the peer who this switch is (member ID and role), whom it
// expects at the far end of the link, whom it hears there, whether it is
// connected to the state database, and whether it wants the link treated as
// a single link because the channel's LAG groups are split locally. Every
// write is a full recomputation from the member context, the agent context
// and the channel's LAG group record.

#include "VornFabricLldp/VornFabricLldpLagInfoTypes.h"
#include "VornFabricLldp/VornFabricLldpLocalTypes.h"
#include "platform/framework/StateMachine.h"
#include "platform/records/LldpRecords.h"
#include "platform/records/VornFabricLldpCtxTypes.h"
#include "platform/records/VornTypes.h"

namespace VornFabricLldp {

class LldpVornTlvSm : public Zem::StateMachine {
 public:
  // Inputs, as the root state machine hands them over.
  struct Params {
    Vorn::MemberId smid;
    Vorn::Role role;
    Velto::Ptr<const CtxForMember> ctxForMember;
    Velto::Ptr<Lldp::LocalSystem> localSystem;
    Velto::Ptr<const VornFabricLldpCtx> vflCtx;
    Velto::Ptr<const VornFabricLldpBcLagGroupInfo> vflBcLagGroupInfo;
    bool operator==(const Params&) const = default;
  };

  explicit LldpVornTlvSm(Params params);

  Vorn::MemberId smid() const { return params_.smid; }
  Vorn::Role role() const { return params_.role; }
  const Velto::Ptr<const CtxForMember>& ctxForMember() const { return params_.ctxForMember; }
  const Velto::Ptr<Lldp::LocalSystem>& localSystem() const { return params_.localSystem; }
  const Velto::Ptr<const VornFabricLldpCtx>& vflCtx() const { return params_.vflCtx; }
  const Velto::Ptr<const VornFabricLldpBcLagGroupInfo>& vflBcLagGroupInfo() const { return params_.vflBcLagGroupInfo; }

  // Recomputes and writes the TLV of the local port of `intf`.
  void updateTlv(const Kivo::IntfId& intf);

  void handleLocalPort(const Kivo::IntfId& intf);
  void handleTlv(const Kivo::IntfId& intf);
  // Every local port.
  void handleTlv();
  void transmitLocalMismatchState();
  void handleInitialized();

 private:
  void assertInputsPresent() const;
  void updateAllTlvs();
  void onLocalSystemChange(const Zem::Change& c);
  void onCtxForMemberChange(const Zem::Change& c);
  void onVflCtxChange(const Zem::Change& c);
  void onBcLagGroupInfoChange(const Zem::Change& c);

  Params params_;

  Zem::Reactor localSystemReactor_;
  // Member contexts and, as nested changes, their peerMemberId, rxInfo and
  // the received TLV.
  Zem::Reactor ctxForMemberReactor_;
  Zem::Reactor vflCtxReactor_;
  // LAG group records and, as nested changes, their mismatch and preferred
  // member.
  Zem::Reactor bcLagGroupInfoReactor_;
};

Velto::Ptr<LldpVornTlvSm> lldpVornTlvSmFactory(LldpVornTlvSm::Params params);

}  // namespace VornFabricLldp

#pragma once
// The per-member-interface context shared by the agents of this family: for
// every configured member interface, its channel, the peer expected there and
// what is being received from it.

#include "platform/framework/Record.h"
#include "platform/records/LldpTypes.h"
#include "platform/records/VornTypes.h"

namespace VornFabricLldp {

// What is being received on a member interface while a Vorn TLV is held.
class RxInfo : public Zem::Entity {
  ZEM_RECORD(RxInfo, "VornFabricLldp::RxInfo")
 public:
  explicit RxInfo(int index) { index_ = index; }
  // The remote system index it was made for.
  ZEM_KEY(int, index)
  ZEM_ATTR(Zem::Optional<Lldp::VornTlv>, tlv)
  // Refresh time of the selected remote system; every refresh writes it.
  ZEM_ATTR(Zem::Optional<Velto::Duration>, lastRefreshTime)

 private:
  RxInfo() = default;
};

class MemberCtx : public Zem::Entity {
  ZEM_RECORD(MemberCtx, "VornFabricLldp::MemberCtx")
 public:
  MemberCtx(Kivo::IntfId memberIntf, Kivo::IntfId bcIntf) {
    memberIntf_ = memberIntf;
    bcIntf_ = bcIntf;
  }
  ZEM_KEY(Kivo::IntfId, memberIntf)
  // The channel of the member interface, fixed at creation.
  ZEM_KEY(Kivo::IntfId, bcIntf)
  // Copy of the channel's configured peer.
  ZEM_ATTR(Zem::Optional<Vorn::MemberId>, peerMemberId)
  ZEM_CHILD(RxInfo, rxInfo)
  // The TLV held before the last change, replacement or removal of rxInfo.
  ZEM_ATTR(Zem::Optional<Lldp::VornTlv>, prevTlv)

  // True while rxInfo exists but its TLV or refresh time has not been
  // written yet; readers leave the context alone meanwhile.
  bool rxInfoIncomplete() const {
    const auto& rx = rxInfo();
    return rx && (!rx->tlv() || !rx->lastRefreshTime());
  }

 private:
  MemberCtx() = default;
};

// The member interfaces of one channel that have a context.
class MemberIntfSet : public Zem::Entity {
  ZEM_RECORD(MemberIntfSet, "VornFabricLldp::MemberIntfSet")
 public:
  explicit MemberIntfSet(Kivo::IntfId bcIntf) { bcIntf_ = bcIntf; }
  ZEM_KEY(Kivo::IntfId, bcIntf)
  ZEM_VALUE_SET(Kivo::IntfId, member)

 private:
  MemberIntfSet() = default;
};

class CtxForMember : public Zem::Entity {
  ZEM_RECORD(CtxForMember, "VornFabricLldp::CtxForMember")
 public:
  explicit CtxForMember(std::string name) { nameIs(std::move(name)); }
  ZEM_ENTITY_MAP_CUSTOM(Kivo::IntfId, MemberCtx, ctx)
  ZEM_ENTITY_MAP(Kivo::IntfId, MemberIntfSet, intfMap)

  // The context of `memberIntf`, made for channel `bcIntf` when there is none.
  Velto::Ptr<MemberCtx> ctxIs(const Kivo::IntfId& bcIntf, const Kivo::IntfId& memberIntf) {
    if (auto cur = ctx(memberIntf)) return cur;
    auto c = Velto::make<MemberCtx>(memberIntf, bcIntf);
    ctxPut(memberIntf, c);
    return c;
  }

 private:
  CtxForMember() = default;
};

}  // namespace VornFabricLldp

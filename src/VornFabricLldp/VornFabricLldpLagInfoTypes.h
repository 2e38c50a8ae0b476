#pragma once
// What the agent knows about the LAG groups carried by each backplane
// channel: the groups of its member interfaces, local and remote LAG group
// mismatch, and the preferred HiGig member on either side. Owned by the agent
// object, so it outlives the state machines that write it.

#include "platform/framework/Record.h"

#include <set>
#include <string>

namespace VornFabricLldp {

// One LAG group of one channel. Not a publisher: its writes notify nobody.
class LagGroupToBcMemberMap : public Zem::Entity {
  ZEM_RECORD(LagGroupToBcMemberMap, "VornFabricLldp::LagGroupToBcMemberMap")
 public:
  explicit LagGroupToBcMemberMap(Velto::String name) { name_ = std::move(name); }
  ZEM_KEY(Velto::String, name)
  // The channel's member interfaces configured in this group, ascending.
  const std::set<Kivo::IntfId>& memberIntf() const { return memberIntf_; }
  void memberIntfIs(const Kivo::IntfId& intf) { memberIntf_.insert(intf); }
  bool memberIntfDel(const Kivo::IntfId& intf) { return memberIntf_.erase(intf) != 0; }
  void memberIntfDelAll() { memberIntf_.clear(); }
  bool memberIntfHas(const Kivo::IntfId& intf) const { return memberIntf_.count(intf) != 0; }

 private:
  LagGroupToBcMemberMap() = default;
  std::set<Kivo::IntfId> memberIntf_;
  ZEM_FIELD_REG_(memberIntf, ::Zem::JsonCodec<std::set<Kivo::IntfId>>::toJson(s_.memberIntf_),
                 s_.memberIntf_ = ::Zem::JsonCodec<std::set<Kivo::IntfId>>::fromJson(j_))
};

// LAG group state of one backplane channel.
class BcLagGroupInfo : public Zem::Entity {
  ZEM_RECORD(BcLagGroupInfo, "VornFabricLldp::BcLagGroupInfo")
 public:
  explicit BcLagGroupInfo(Kivo::IntfId bcIntf) { bcIntf_ = bcIntf; }
  ZEM_KEY(Kivo::IntfId, bcIntf)
  // The channel's named members fall into more than one LAG group.
  ZEM_ATTR(bool, localMismatchExists)
  // The peer signalled a mismatch on one of the channel's links.
  ZEM_ATTR(bool, remoteMismatchExists)
  // Member chosen locally while localMismatchExists; empty otherwise.
  ZEM_ATTR(Kivo::IntfId, preferredHigigMember)
  // Member on which the peer's single-link TLV arrived.
  ZEM_ATTR(Kivo::IntfId, remotePreferredHigigMember)
  ZEM_ENTITY_MAP(Velto::String, LagGroupToBcMemberMap, lagGroupToBcMemberMap)
  // Group name of each grouped member interface.
  ZEM_VALUE_MAP(Kivo::IntfId, Velto::String, bcMemberToLagGroupMap)

 private:
  BcLagGroupInfo() = default;
};

// A member interface through which a remote mismatch was learnt. Not a
// publisher.
class MemberToBpcIntfMap : public Zem::Entity {
  ZEM_RECORD(MemberToBpcIntfMap, "VornFabricLldp::MemberToBpcIntfMap")
 public:
  explicit MemberToBpcIntfMap(Kivo::IntfId memberIntf) { memberIntf_ = memberIntf; }
  ZEM_KEY(Kivo::IntfId, memberIntf)
  // The local channel whose remote mismatch was learnt through this member;
  // it finds the channel when the member's received context is gone.
  ZEM_PLAIN_FIELD(Kivo::IntfId, remoteBaIntf)

 private:
  MemberToBpcIntfMap() = default;
};

class VornFabricLldpBcLagGroupInfo : public Zem::Entity {
  ZEM_RECORD(VornFabricLldpBcLagGroupInfo, "VornFabricLldp::VornFabricLldpBcLagGroupInfo")
 public:
  VornFabricLldpBcLagGroupInfo() = default;
  ZEM_ENTITY_MAP(Kivo::IntfId, BcLagGroupInfo, bcLagGroupInfo)
  ZEM_ENTITY_MAP(Kivo::IntfId, MemberToBpcIntfMap, memberToBpcIntfMap)
};

Velto::Ptr<BcLagGroupInfo> bcLagGroupInfoFactory(const Kivo::IntfId& bcIntf);
Velto::Ptr<MemberToBpcIntfMap> memberToBpcIntfMapFactory(const Kivo::IntfId& memberIntf);
Velto::Ptr<VornFabricLldpBcLagGroupInfo> vornFabricLldpBcLagGroupInfoFactory();
Velto::Ptr<VornFabricLldpBcLagGroupInfo> VornFabricLldpBcLagGroupInfoIs();

}  // namespace VornFabricLldp

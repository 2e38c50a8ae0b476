#pragma once
// Records of the Vorn group shared with other agents and members through the
// state database: member configuration, negotiated backplane channel status,
// ASIC warm-up, group status, the kernel interface map and the peer-visible
// LLDP status.

#include "platform/framework/Record.h"
#include "platform/records/KernelRecords.h"
#include "platform/records/LldpTypes.h"
#include "platform/records/VornTypes.h"

namespace Vorn {

// --- Member configuration (written by the group configuration service) -----

class BaMemberIntfConfig : public Zem::Entity {
  ZEM_RECORD(BaMemberIntfConfig, "Vorn::BaMemberIntfConfig")
 public:
  explicit BaMemberIntfConfig(Kivo::IntfId intf) { intf_ = intf; }
  ZEM_KEY(Kivo::IntfId, intf)
  // LAG group the member interface belongs to; empty for none.
  ZEM_ATTR(std::string, lagGroupName)

 private:
  BaMemberIntfConfig() = default;
};

class BackplaneChannelConfig : public Zem::Entity {
  ZEM_RECORD(BackplaneChannelConfig, "Vorn::BackplaneChannelConfig")
 public:
  explicit BackplaneChannelConfig(Kivo::IntfId intf) { intf_ = intf; }
  ZEM_KEY(Kivo::IntfId, intf)
  ZEM_ORDERED_ENTITY_MAP(Kivo::IntfId, BaMemberIntfConfig, memberIntf)
  // Member expected at the far end of the channel.
  ZEM_ATTR(Zem::Optional<MemberId>, peerMemberId)

 private:
  BackplaneChannelConfig() = default;
};

// The backplane channels of one member.
class MemberConfig : public Zem::Entity {
  ZEM_RECORD(MemberConfig, "Vorn::MemberConfig")
 public:
  explicit MemberConfig(std::string name) { nameIs(std::move(name)); }
  ZEM_ORDERED_ENTITY_MAP(Kivo::IntfId, BackplaneChannelConfig, bcConfig)

 protected:
  MemberConfig() = default;
};

// The member configuration kept in the local backup area.
class LocalMemberConfig : public MemberConfig {
  ZEM_RECORD_DERIVED(LocalMemberConfig, MemberConfig, "Vorn::LocalMemberConfig")
 private:
  LocalMemberConfig() = default;
};

// --- Negotiated backplane channel status -------------------------------------

class BackplaneChannelMemberStatus : public Zem::Entity {
  ZEM_RECORD(BackplaneChannelMemberStatus, "Vorn::BackplaneChannelMemberStatus")
 public:
  // Negotiation outcome of one member interface.
  class IntfStatus : public Zem::Entity {
    ZEM_RECORD(IntfStatus, "Vorn::BackplaneChannelMemberStatus::IntfStatus")
   public:
    explicit IntfStatus(Kivo::IntfId intf) { intf_ = intf; }
    ZEM_KEY(Kivo::IntfId, intf)
    ZEM_ATTR(HigigNegotiationState, state)
    // In backplane mode (states higigPending to higigWaitAsicsWarm).
    ZEM_ATTR(bool, fabricMode)
    ZEM_ATTR(bool, membershipValid)
    // A Vorn TLV is currently held from the peer.
    ZEM_ATTR(bool, tlvReceived)
    ZEM_ATTR(bool, peerConnectedToLodestore)
    ZEM_ATTR(Zem::Optional<Role>, peerRole)

   private:
    IntfStatus() = default;
  };

  explicit BackplaneChannelMemberStatus(Kivo::IntfId intf) { intf_ = intf; }
  ZEM_KEY(Kivo::IntfId, intf)
  ZEM_ENTITY_MAP(Kivo::IntfId, IntfStatus, memberIntfStatus)

  // Some member interface of the channel is in higigConfirmed.
  bool hasHigigConfirmedMember() const {
    for (auto& [intf, st] : memberIntfStatus()) {
      if (st->state() == HigigNegotiationState::higigConfirmed) return true;
    }
    return false;
  }

 private:
  BackplaneChannelMemberStatus() = default;
};

class BackplaneChannelStatus : public Zem::Entity {
  ZEM_RECORD(BackplaneChannelStatus, "Vorn::BackplaneChannelStatus")
 public:
  explicit BackplaneChannelStatus(std::string name) { nameIs(std::move(name)); }
  ZEM_ENTITY_MAP(Kivo::IntfId, BackplaneChannelMemberStatus, bcMemberStatus)

 protected:
  BackplaneChannelStatus() = default;
};

// --- ASICs, group status, kernel interface map -------------------------------

// Written by the group hardware service: whether each member's switching
// ASICs are warm.
class AsicsWarm : public Zem::Entity {
  ZEM_RECORD(AsicsWarm, "Vorn::AsicsWarm")
 public:
  explicit AsicsWarm(std::string name) { nameIs(std::move(name)); }
  ZEM_VALUE_MAP(MemberId, bool, memberAsicsWarm)

 private:
  AsicsWarm() = default;
};

class VornStatus : public Zem::Entity {
  ZEM_RECORD(VornStatus, "Vorn::VornStatus")
 public:
  explicit VornStatus(std::string name) { nameIs(std::move(name)); }
  // The member ID a candidate switch is to receive.
  ZEM_ATTR(Zem::Optional<MemberId>, candidateMemberId)

 private:
  VornStatus() = default;
};

struct KniIntfIdKeyPair {
  Kivo::IntfId intfId;
  KernelNetInfo::InterfaceKey intfKey;
  bool operator==(const KniIntfIdKeyPair&) const = default;
  auto operator<=>(const KniIntfIdKeyPair&) const = default;
};

}  // namespace Vorn

template <>
struct std::hash<Vorn::KniIntfIdKeyPair> {
  size_t operator()(const Vorn::KniIntfIdKeyPair& p) const noexcept {
    return std::hash<Kivo::IntfId>()(p.intfId) * 31 + std::hash<int>()(p.intfKey.ifIndex);
  }
};

namespace Vorn {

// Pairs configured interfaces with kernel interfaces.
class KniIntfMap : public Zem::Entity {
  ZEM_RECORD(KniIntfMap, "Vorn::KniIntfMap")
 public:
  explicit KniIntfMap(std::string name) { nameIs(std::move(name)); }
  ZEM_VALUE_SET(KniIntfIdKeyPair, kniIntfIdKeyPair)
  ZEM_VALUE_MAP(Kivo::IntfId, KernelNetInfo::InterfaceKey, intfIdToIntfKey)

 private:
  KniIntfMap() = default;
};

// --- Peer-visible LLDP status --------------------------------------------------

namespace Lldp {

// A remote system's identity, fixed when its entry is made.
struct RemoteSystemMsap {
  ::Lldp::ChassisIdSubtype chassisIdSubtype = ::Lldp::ChassisIdSubtype::macAddress;
  ::Lldp::ChassisId chassisId;
  ::Lldp::PortIdSubtype portIdSubtype = ::Lldp::PortIdSubtype::interfaceName;
  ::Lldp::PortId portId;
  bool isEq(const RemoteSystemMsap& o) const { return *this == o; }
  bool operator==(const RemoteSystemMsap&) const = default;
};

}  // namespace Lldp
}  // namespace Vorn

namespace Zem {
template <>
struct JsonCodec<Vorn::Lldp::RemoteSystemMsap> {
  using Msap = Vorn::Lldp::RemoteSystemMsap;
  static Json toJson(const Msap& m) {
    return Json{{"chassisIdSubtype", static_cast<int>(m.chassisIdSubtype)},
                {"chassisId", m.chassisId.hex()},
                {"portIdSubtype", static_cast<int>(m.portIdSubtype)},
                {"portId", m.portId.hex()}};
  }
  static Msap fromJson(const Json& j) {
    if (!j.is_object()) throw JsonError("expected an MSAP object");
    Msap m;
    m.chassisIdSubtype = JsonCodec<::Lldp::ChassisIdSubtype>::fromJson(requiredField(j, "chassisIdSubtype", "MSAP"));
    m.chassisId = JsonCodec<::Lldp::ChassisId>::fromJson(requiredField(j, "chassisId", "MSAP"));
    m.portIdSubtype = JsonCodec<::Lldp::PortIdSubtype>::fromJson(requiredField(j, "portIdSubtype", "MSAP"));
    m.portId = JsonCodec<::Lldp::PortId>::fromJson(requiredField(j, "portId", "MSAP"));
    return m;
  }
};
}  // namespace Zem

namespace Vorn {
namespace Lldp {

class RemoteSystem : public Zem::Entity {
  ZEM_RECORD(RemoteSystem, "Vorn::Lldp::RemoteSystem")
 public:
  using Msap = RemoteSystemMsap;

  RemoteSystem(int index, const Msap& msap) {
    index_ = index;
    msap_ = msap;
  }
  ZEM_KEY(int, index)
  ZEM_KEY(Msap, msap)
  ZEM_ATTR(uint16_t, ttl)
  ZEM_ATTR(Zem::Optional<::Lldp::VornTlv>, vornTlvRx)  // as peerVisible() gives it

 private:
  RemoteSystem() = default;
};

class PortStatus : public Zem::Entity {
  ZEM_RECORD(PortStatus, "Vorn::Lldp::PortStatus")
 public:
  explicit PortStatus(Kivo::IntfId intf) { intf_ = intf; }
  ZEM_KEY(Kivo::IntfId, intf)
  ZEM_ENTITY_MAP(int, RemoteSystem, remoteSystem)

 private:
  PortStatus() = default;
};

class Status : public Zem::Entity {
  ZEM_RECORD(Status, "Vorn::Lldp::Status")
 public:
  explicit Status(std::string name) { nameIs(std::move(name)); }
  ZEM_ENTITY_MAP(Kivo::IntfId, PortStatus, portStatus)

 protected:
  Status() = default;
};

// The LLDP status kept in the local backup area.
class LocalStatus : public Status {
  ZEM_RECORD_DERIVED(LocalStatus, Status, "Vorn::Lldp::LocalStatus")
 private:
  LocalStatus() = default;
};

}  // namespace Lldp
}  // namespace Vorn


namespace Zem {
template <>
struct JsonCodec<Vorn::KniIntfIdKeyPair> {
  static Json toJson(const Vorn::KniIntfIdKeyPair& p) {
    return Json{{"intfId", p.intfId.stringValue()}, {"intfKey", p.intfKey.ifIndex}};
  }
  static Vorn::KniIntfIdKeyPair fromJson(const Json& j) {
    if (!j.is_object() || !j.contains("intfId") || !j.contains("intfKey")) throw JsonError("expected {intfId, intfKey}");
    return {JsonCodec<Kivo::IntfId>::fromJson(j["intfId"]), JsonCodec<KernelNetInfo::InterfaceKey>::fromJson(j["intfKey"])};
  }
};
}  // namespace Zem

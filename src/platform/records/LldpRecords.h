#pragma once
// Records of the LLDP protocol engine: what it is told (configuration, local
// system, per-port Vorn TLV to send) and what it learns (per-port status with
// the remote systems heard).

#include "platform/framework/Record.h"
#include "platform/records/LldpTypes.h"

namespace Lldp {

// LLDP switched on or off for the engine as a whole.
class CliConfig : public Zem::Entity {
  ZEM_RECORD(CliConfig, "Lldp::CliConfig")
 public:
  explicit CliConfig(std::string name) { nameIs(std::move(name)); }
  ZEM_ATTR(bool, enabled)

 private:
  CliConfig() = default;
};

class PortConfig : public Zem::Entity {
  ZEM_RECORD(PortConfig, "Lldp::PortConfig")
 public:
  explicit PortConfig(Kivo::IntfId intf) { intf_ = intf; }
  ZEM_KEY(Kivo::IntfId, intf)
  ZEM_ATTR_D(bool, rxRateLimitingEnabled, true)
  // Whether the port sends and hears LLDP. Leaving a state that transmits
  // sends a shutdown LLDPDU; the port then waits `reinitDelayMs` before it
  // starts again.
  ZEM_ATTR_D(AdminStatus, adminStatus, AdminStatus::enabledRxTx)

 private:
  PortConfig() = default;
};

class Config : public Zem::Entity {
  ZEM_RECORD(Config, "Lldp::Config")
 public:
  explicit Config(std::string name) { nameIs(std::move(name)); }
  // Ports that run LLDP.
  ZEM_ENTITY_MAP(Kivo::IntfId, PortConfig, portConfig)
  // When set, messageTxInterval and messageTxHoldTime are milliseconds,
  // otherwise seconds.
  ZEM_ATTR(bool, isMessageTxTimeInMs)
  ZEM_ATTR_D(uint32_t, messageTxInterval, 30)
  // How long a receiver keeps what it heard from us.
  ZEM_ATTR_D(uint32_t, messageTxHoldTime, 120)
  ZEM_ATTR(uint32_t, txDelay)
  ZEM_ATTR(bool, syslogsEnabled)
  // Fast start: when a new neighbour appears, `txFastInit` frames go out at
  // this interval (or at messageTxInterval when that is shorter).
  ZEM_ATTR_D(uint32_t, msgFastTxMs, 1000)
  ZEM_ATTR_D(uint32_t, txFastInit, 4)
  // Frames sent ahead of the regular schedule (local changes, fast start)
  // each spend a credit; one comes back per second, up to this many.
  ZEM_ATTR_D(uint32_t, txCreditMax, 5)
  // How long a port that stopped waits before it starts again.
  ZEM_ATTR_D(uint32_t, reinitDelayMs, 2000)

 private:
  Config() = default;
};

class LocalPort : public Zem::Entity {
  ZEM_RECORD(LocalPort, "Lldp::LocalPort")
 public:
  explicit LocalPort(Kivo::IntfId intf) { intf_ = intf; }
  ZEM_KEY(Kivo::IntfId, intf)
  ZEM_ATTR(PortId, portId)
  ZEM_ATTR_D(PortIdSubtype, portIdSubtype, PortIdSubtype::interfaceName)
  // The Vorn TLV sent on this port; none sends none.
  ZEM_ATTR(Zem::Optional<VornTlv>, vornTlvTx)

 private:
  LocalPort() = default;
};

class LocalSystem : public Zem::Entity {
  ZEM_RECORD(LocalSystem, "Lldp::LocalSystem")
 public:
  explicit LocalSystem(std::string name) { nameIs(std::move(name)); }
  ZEM_ATTR(ChassisId, chassisId)
  ZEM_ATTR_D(ChassisIdSubtype, chassisIdSubtype, ChassisIdSubtype::macAddress)
  ZEM_ENTITY_MAP(Kivo::IntfId, LocalPort, localPort)

 private:
  LocalSystem() = default;
};

// One remote system heard on a port, identified by its MSAP (chassis and
// port identity).
class RemoteSystem : public Zem::Entity {
  ZEM_RECORD(RemoteSystem, "Lldp::RemoteSystem")
 public:
  explicit RemoteSystem(int index) { index_ = index; }
  // Key under its port status; never changes.
  ZEM_KEY(int, index)
  ZEM_ATTR_D(ChassisIdSubtype, chassisIdSubtype, ChassisIdSubtype::macAddress)
  ZEM_ATTR(ChassisId, chassisId)
  ZEM_ATTR_D(PortIdSubtype, portIdSubtype, PortIdSubtype::interfaceName)
  ZEM_ATTR(PortId, portId)
  // Time-to-live of the last frame, seconds.
  ZEM_ATTR(uint16_t, ttl)
  // Scheduler time of the last frame, seconds.
  ZEM_ATTR(Velto::Duration, lastRefreshTime)
  // Vorn TLV of the last frame.
  ZEM_ATTR(Zem::Optional<VornTlv>, vornTlv)
  ZEM_ATTR(std::string, systemName)

 private:
  RemoteSystem() = default;
};

// A statistic of a port: read as `x()`, advanced with `xAdd(n)`, set with
// `xIs(v)`. Statistics change with nearly every frame and nobody reacts to
// them, so writing one publishes nothing; they are read when wanted and are
// part of the record's JSON.
#define LLDP_PORT_STATISTIC(name)                                                                   \
 public:                                                                                           \
  uint64_t name() const { return name##_; }                                                        \
  void name##Add(uint64_t n = 1) { name##_ += n; }                                                 \
  void name##Is(uint64_t v) { name##_ = v; }                                                       \
                                                                                                   \
 private:                                                                                          \
  uint64_t name##_ = 0;                                                                            \
  ZEM_FIELD_REG_(name, ::Zem::JsonCodec<uint64_t>::toJson(s_.name##_),                             \
                 s_.name##_ = ::Zem::JsonCodec<uint64_t>::fromJson(j_))                            \
 public:

// Per-port LLDP status and statistics (those of LLDP-MIB, per port).
class PortStatus : public Zem::Entity {
  ZEM_RECORD(PortStatus, "Lldp::PortStatus")
 public:
  PortStatus(Kivo::IntfId intf, Velto::Duration created) {
    intf_ = intf;
    created_ = created;
  }
  ZEM_KEY(Kivo::IntfId, intf)
  ZEM_KEY(Velto::Duration, created)
  ZEM_ENTITY_MAP(int, RemoteSystem, remoteSystem)
  // Remote systems were refused for want of room within the last hold time
  // of any refused frame.
  ZEM_ATTR(bool, tooManyNeighbors)

  // LLDPDUs sent.
  LLDP_PORT_STATISTIC(framesOut)
  // Frames handed to the engine.
  LLDP_PORT_STATISTIC(framesIn)
  // Frames not used: in error, tagged, or refused for want of room.
  LLDP_PORT_STATISTIC(framesDiscarded)
  // Frames that are no valid LLDPDU.
  LLDP_PORT_STATISTIC(framesInErrors)
  // Frames with a VLAN tag (LLDPDUs travel untagged).
  LLDP_PORT_STATISTIC(framesTagged)
  // Malformed or repeated optional TLVs left out of frames otherwise used.
  LLDP_PORT_STATISTIC(tlvsDiscarded)
  // Well-formed TLVs this engine does not know.
  LLDP_PORT_STATISTIC(tlvsUnrecognized)
  // Remote systems whose hold time ran out.
  LLDP_PORT_STATISTIC(ageouts)
  // Remote systems added to, and removed from (for any reason), the table.
  LLDP_PORT_STATISTIC(remoteTablesInserts)
  LLDP_PORT_STATISTIC(remoteTablesDeletes)
  // New remote systems refused, or pushed out for the port's peer, for want
  // of room.
  LLDP_PORT_STATISTIC(remoteTablesDrops)
  // Remote systems removed because their hold time ran out.
  LLDP_PORT_STATISTIC(remoteTablesAgeouts)
  // Frames the transport lost before the engine saw them (socket overruns)
  // and errors reading frames.
  LLDP_PORT_STATISTIC(receiveOverruns)
  LLDP_PORT_STATISTIC(receiveErrors)
  // Frames the engine sent that the transport could not hand to the device
  // (device down or gone, transmit queue full).
  LLDP_PORT_STATISTIC(transmitDrops)

 private:
  PortStatus() = default;
};

class Status : public Zem::Entity {
  ZEM_RECORD(Status, "Lldp::Status")
 public:
  explicit Status(std::string name) { nameIs(std::move(name)); }
  ZEM_ENTITY_MAP_CUSTOM(Kivo::IntfId, PortStatus, portStatus)
  // The status of `intf`, made (as of `now`) when there is none.
  Velto::Ptr<PortStatus> portStatusIs(const Kivo::IntfId& intf, Velto::Duration now) {
    if (auto cur = portStatus(intf)) return cur;
    auto ps = Velto::make<PortStatus>(intf, now);
    portStatusPut(intf, ps);
    return ps;
  }

 private:
  Status() = default;
};

}  // namespace Lldp

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

// Per-port LLDP status and counters.
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
  ZEM_ATTR(uint64_t, framesIn)
  ZEM_ATTR(uint64_t, framesOut)
  ZEM_ATTR(uint64_t, framesDiscarded)
  ZEM_ATTR(uint64_t, tlvsUnrecognized)
  ZEM_ATTR(uint64_t, ageouts)

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

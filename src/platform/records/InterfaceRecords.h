#pragma once
// Interface status records: the private directories the LLDP engine works
// from, and the Ethernet LAG status of the switch.

#include "platform/framework/Record.h"

#include <cstdint>
#include <string>

namespace Interface {

enum class LinkStatus : uint8_t { unknown = 0, down = 1, up = 2 };

class IntfConfig : public Zem::Entity {
  ZEM_RECORD(IntfConfig, "Interface::IntfConfig")
 public:
  explicit IntfConfig(Kivo::IntfId intfId) { intfId_ = intfId; }
  ZEM_KEY(Kivo::IntfId, intfId)

 private:
  IntfConfig() = default;
};

class IntfStatus : public Zem::Entity {
  ZEM_RECORD(IntfStatus, "Interface::IntfStatus")
 public:
  explicit IntfStatus(Kivo::IntfId intfId) { intfId_ = intfId; }
  ZEM_KEY(Kivo::IntfId, intfId)
  // Kernel device name of the interface.
  ZEM_ATTR(std::string, deviceName)

 protected:
  IntfStatus() = default;
};

class EthIntfStatus : public IntfStatus {
  ZEM_RECORD_DERIVED(EthIntfStatus, IntfStatus, "Interface::EthIntfStatus")
 public:
  explicit EthIntfStatus(Kivo::IntfId intfId) : IntfStatus(intfId) {}
  ZEM_ATTR(LinkStatus, linkStatus)
  ZEM_ATTR(Kivo::EthAddr, addr)

 protected:
  EthIntfStatus() = default;
};

class EthPhyIntfStatus : public EthIntfStatus {
  ZEM_RECORD_DERIVED(EthPhyIntfStatus, EthIntfStatus, "Interface::EthPhyIntfStatus")
 public:
  EthPhyIntfStatus(Kivo::IntfId intfId, Velto::Ptr<IntfConfig> intfConfig, uint32_t generation,
                   Kivo::EthAddr burnedInAddr, uint32_t relativeIfindex)
      : EthIntfStatus(intfId), intfConfig_(std::move(intfConfig)) {
    generation_ = generation;
    burnedInAddr_ = burnedInAddr;
    relativeIfindex_ = relativeIfindex;
  }
  const Velto::Ptr<IntfConfig>& intfConfig() const { return intfConfig_; }
  // A generation number of the status record; the agent passes 0.
  ZEM_KEY(uint32_t, generation)
  ZEM_KEY(Kivo::EthAddr, burnedInAddr)
  ZEM_KEY(uint32_t, relativeIfindex)

 private:
  EthPhyIntfStatus() = default;
  // The status's own copy of the interface's configuration (made with it,
  // shared with nobody): plain data in the JSON, fixed like the keys.
  Velto::Ptr<IntfConfig> intfConfig_;
  static void assignIntfConfig(EthPhyIntfStatus& s, const Zem::Json& j, bool fresh) {
    Velto::Ptr<IntfConfig> config = j.is_null() ? nullptr : Zem::makeEntry<IntfConfig>(j);
    if (fresh) {
      s.intfConfig_ = std::move(config);
    } else if (bool(config) != bool(s.intfConfig_) || (config && Zem::toJson(*config) != Zem::toJson(*s.intfConfig_))) {
      throw Zem::JsonError("is fixed when the status is made and cannot change");
    }
  }
  ZEM_FIELD_REG_(intfConfig, s_.intfConfig_ ? ::Zem::toJson(*s_.intfConfig_) : ::Zem::Json(),
                 assignIntfConfig(s_, j_, fresh_))
};

class AllEthPhyIntfStatusDir : public Zem::Entity {
  ZEM_RECORD(AllEthPhyIntfStatusDir, "Interface::AllEthPhyIntfStatusDir")
 public:
  explicit AllEthPhyIntfStatusDir(std::string name) { nameIs(std::move(name)); }
  ZEM_ENTITY_MAP_CUSTOM(Kivo::IntfId, EthPhyIntfStatus, intfStatus)
  void intfStatusIs(const Velto::Ptr<EthPhyIntfStatus>& s) { intfStatusPut(s->intfId(), s); }

 private:
  AllEthPhyIntfStatusDir() = default;
};

// A directory of references to interface statuses owned elsewhere.
class IntfStatusPtrDir : public Zem::Entity {
  ZEM_RECORD(IntfStatusPtrDir, "Interface::IntfStatusPtrDir")
 public:
  explicit IntfStatusPtrDir(std::string name) { nameIs(std::move(name)); }
  ZEM_PTR_MAP(Kivo::IntfId, IntfStatus, intfStatus)
  void intfStatusIs(const Velto::Ptr<IntfStatus>& s) { intfStatusPut(s->intfId(), s); }

 protected:
  IntfStatusPtrDir() = default;
};

class AllIntfStatusDir : public IntfStatusPtrDir {
  ZEM_RECORD_DERIVED(AllIntfStatusDir, IntfStatusPtrDir, "Interface::AllIntfStatusDir")
 public:
  explicit AllIntfStatusDir(std::string name) : IntfStatusPtrDir(std::move(name)) {}

 private:
  AllIntfStatusDir() = default;
};

class AllIntfStatusLocalDir : public IntfStatusPtrDir {
  ZEM_RECORD_DERIVED(AllIntfStatusLocalDir, IntfStatusPtrDir, "Interface::AllIntfStatusLocalDir")
 public:
  explicit AllIntfStatusLocalDir(std::string name) : IntfStatusPtrDir(std::move(name)) {}

 private:
  AllIntfStatusLocalDir() = default;
};

// Interfaces the LLDP engine is to run on.
class PamDesiredIntfDir : public Zem::Entity {
  ZEM_RECORD(PamDesiredIntfDir, "Interface::PamDesiredIntfDir")
 public:
  explicit PamDesiredIntfDir(std::string name) { nameIs(std::move(name)); }
  ZEM_VALUE_MAP(Kivo::IntfId, bool, intfDesired)

 private:
  PamDesiredIntfDir() = default;
};

// Status of one Ethernet LAG (a backplane channel seen as a LAG) and of its
// member interfaces.
class EthLagIntfStatus : public EthIntfStatus {
  ZEM_RECORD_DERIVED(EthLagIntfStatus, EthIntfStatus, "Interface::EthLagIntfStatus")
 public:
  explicit EthLagIntfStatus(Kivo::IntfId intfId) : EthIntfStatus(intfId) {}
  ZEM_ORDERED_ENTITY_MAP(Kivo::IntfId, EthIntfStatus, member)

 private:
  EthLagIntfStatus() = default;
};

class EthLagIntfStatusDir : public Zem::Entity {
  ZEM_RECORD(EthLagIntfStatusDir, "Interface::EthLagIntfStatusDir")
 public:
  explicit EthLagIntfStatusDir(std::string name) { nameIs(std::move(name)); }
  ZEM_ENTITY_MAP(Kivo::IntfId, EthLagIntfStatus, intfStatus)

 private:
  EthLagIntfStatusDir() = default;
};

}  // namespace Interface

template <>
struct fmt::formatter<Interface::LinkStatus> : fmt::formatter<int> {
  template <class Ctx>
  auto format(Interface::LinkStatus s, Ctx& ctx) const {
    return fmt::formatter<int>::format(static_cast<int>(s), ctx);
  }
};

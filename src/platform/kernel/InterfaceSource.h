#pragma once
// Where the kernel interface tables come from. The agent reads each network
// namespace's interfaces as a `KernelNetInfo::Status`; an interface source
// owns those tables and keeps them in step with whatever it watches:
//
//  - `SimInterfaceSource`: the simulator and the tests add, remove and rename
//    interfaces by hand;
//  - a netlink source (later) dumps the kernel's links when it starts and
//    applies each link message it receives afterwards.
//
// A source publishes `namespacesAttr` on itself when the set of namespaces it
// knows changes, and edits a table only through the table's writers, so every
// reader sees ordinary changes of `KernelNetInfo::Status::interface`.
//
// Hosts hand the source to the kernel components through the switch's context
// (`Oru::SwitchContext::interfaceSourceIs`); the components take the active
// context's source when they are made and keep it.

#include "platform/framework/Entity.h"
#include "platform/kernel/NamespaceName.h"
#include "platform/records/KernelRecords.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace KernelNetNsInfo {

// Which kernel events a source that talks to the kernel subscribes to. A
// field is on when it is not 0.
struct NetlinkConfig {
  // Link events: interfaces appearing, disappearing, renamed, re-addressed.
  uint32_t linkEvents = 0;
  // Address events: IP addresses added and removed. The interface tables hold
  // no addresses yet, so sources only record this setting.
  uint32_t addressEvents = 0;
  bool operator==(const NetlinkConfig&) const = default;
};

}  // namespace KernelNetNsInfo

namespace KernelNetInfo {

class InterfaceSource : public Zem::Entity {
 public:
  static inline const Zem::AttrInfo namespacesAttr{"namespaces"};

  // The namespaces whose tables this source keeps (the default one always).
  virtual std::vector<Kivo::NamespaceName> namespaces() const = 0;
  // The table of `ns`, the same object for as long as the namespace is
  // known; empty for a namespace the source does not know.
  virtual Velto::Ptr<Status> status(const Kivo::NamespaceName& ns) const = 0;
  // The kernel events to follow, handed over by the namespace manager.
  virtual void netlinkConfigIs(const KernelNetNsInfo::NetlinkConfig& config) = 0;
};

// The active context's source, which kernel components take when they are
// made; may be empty, in which case each namespace gets an empty table of its
// own.
Velto::Ptr<InterfaceSource> currentSource();

// Interfaces made by hand. Interface indexes are handed out in increasing
// order, one sequence per source, and never reused, as the kernel does for a
// long-running switch. Device names follow the kernel's rules: 1 to 15
// bytes, no '/', no white space, not "." or "..", unique within a namespace.
class SimInterfaceSource : public InterfaceSource {
 public:
  SimInterfaceSource();

  std::vector<Kivo::NamespaceName> namespaces() const override;
  Velto::Ptr<Status> status(const Kivo::NamespaceName& ns) const override;
  void netlinkConfigIs(const KernelNetNsInfo::NetlinkConfig& config) override { netlinkConfig_ = config; }
  const KernelNetNsInfo::NetlinkConfig& netlinkConfig() const { return netlinkConfig_; }

  // Adds an interface (making its namespace when new) and returns its key.
  // Throws std::invalid_argument for a bad or already used device name.
  InterfaceKey addInterface(const std::string& deviceName, Kivo::EthAddr hwAddr,
                            const Kivo::NamespaceName& ns = Kivo::NamespaceName::defaultNamespace());
  // Removes the interface; false when there is none of that name.
  bool removeInterface(const std::string& deviceName,
                       const Kivo::NamespaceName& ns = Kivo::NamespaceName::defaultNamespace());
  // Renames the interface, keeping its index and address; false when there
  // is none of that name. Throws std::invalid_argument for a bad or used
  // new name.
  bool renameInterface(const std::string& deviceName, const std::string& newName,
                       const Kivo::NamespaceName& ns = Kivo::NamespaceName::defaultNamespace());
  // Removes every interface of `ns`, then the namespace itself. The default
  // namespace stays (emptied).
  void removeNamespace(const Kivo::NamespaceName& ns);
  // The key of the interface named `deviceName`, if any.
  Zem::Optional<InterfaceKey> interfaceKey(const std::string& deviceName,
                                           const Kivo::NamespaceName& ns = Kivo::NamespaceName::defaultNamespace()) const;

 private:
  Velto::Ptr<Status> table(const Kivo::NamespaceName& ns);

  std::map<Kivo::NamespaceName, Velto::Ptr<Status>> tables_;
  int nextIfIndex_ = 1;
  KernelNetNsInfo::NetlinkConfig netlinkConfig_;
};

}  // namespace KernelNetInfo

template <>
struct fmt::formatter<KernelNetNsInfo::NetlinkConfig> : fmt::formatter<std::string_view> {
  template <class Ctx>
  auto format(const KernelNetNsInfo::NetlinkConfig& c, Ctx& ctx) const {
    return fmt::format_to(ctx.out(), "linkEvents={} addressEvents={}", c.linkEvents, c.addressEvents);
  }
};

namespace Zem {
template <>
struct JsonCodec<KernelNetNsInfo::NetlinkConfig> {
  static Json toJson(const KernelNetNsInfo::NetlinkConfig& c) {
    return Json{{"linkEvents", c.linkEvents}, {"addressEvents", c.addressEvents}};
  }
  static KernelNetNsInfo::NetlinkConfig fromJson(const Json& j) {
    if (!j.is_object()) throw JsonError("expected a netlink configuration object");
    return {JsonCodec<uint32_t>::fromJson(j.value("linkEvents", Json(0))),
            JsonCodec<uint32_t>::fromJson(j.value("addressEvents", Json(0)))};
  }
};
}  // namespace Zem

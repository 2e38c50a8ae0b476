#include "platform/kernel/InterfaceSource.h"

#include "platform/scheduler/SwitchContext.h"
#include "platform/trace/Ringlog.h"

#include <cctype>
#include <stdexcept>

namespace {
const Ringlog::Handle traceHandle{"KernelNetInfo::InterfaceSource"};

// The kernel's own rule for device names (IFNAMSIZ is 16 with the NUL).
void checkDeviceName(const std::string& name) {
  bool ok = !name.empty() && name.size() <= 15 && name != "." && name != "..";
  for (char ch : name) ok = ok && ch != '/' && ch != ':' && !std::isspace(static_cast<unsigned char>(ch)) && ch != '\0';
  if (!ok) throw std::invalid_argument("bad kernel device name '" + name + "'");
}

// The interface of `table` named `deviceName`, or the default (empty) record.
KernelNetInfo::Interface findByName(const KernelNetInfo::Status& table, const std::string& deviceName) {
  for (const auto& [key, intf] : table.interface()) {
    if (intf.deviceName == deviceName) return intf;
  }
  return {};
}
}  // namespace

namespace KernelNetInfo {

Velto::Ptr<InterfaceSource> currentSource() {
  const Oru::SwitchContext* context = Oru::SwitchContext::active();
  return context != nullptr ? context->interfaceSource() : Velto::Ptr<InterfaceSource>();
}

SimInterfaceSource::SimInterfaceSource() { tables_[Kivo::NamespaceName::defaultNamespace()] = Velto::make<Status>(); }

std::vector<Kivo::NamespaceName> SimInterfaceSource::namespaces() const {
  std::vector<Kivo::NamespaceName> names;
  for (const auto& [ns, table] : tables_) names.push_back(ns);
  return names;
}

Velto::Ptr<Status> SimInterfaceSource::status(const Kivo::NamespaceName& ns) const {
  auto it = tables_.find(ns);
  return it == tables_.end() ? Velto::Ptr<Status>() : it->second;
}

Velto::Ptr<Status> SimInterfaceSource::table(const Kivo::NamespaceName& ns) {
  auto& t = tables_[ns];
  if (!t) {
    t = Velto::make<Status>();
    TRACE4("namespace {} appears", ns);
    publish(Zem::Change{this, &namespacesAttr, &ns, nullptr, nullptr});
  }
  return t;
}

InterfaceKey SimInterfaceSource::addInterface(const std::string& deviceName, Kivo::EthAddr hwAddr,
                                              const Kivo::NamespaceName& ns) {
  checkDeviceName(deviceName);
  if (auto it = tables_.find(ns); it != tables_.end() && !findByName(*it->second, deviceName).deviceName.empty()) {
    throw std::invalid_argument("kernel device '" + deviceName + "' already exists in namespace " + ns.stringValue());
  }
  auto t = table(ns);
  Interface intf{InterfaceKey{nextIfIndex_++}, deviceName, hwAddr};
  TRACE6("add {} ifIndex {} hwAddr {} in {}", deviceName, intf.key, hwAddr, ns);
  t->interfaceIs(intf.key, intf);
  return intf.key;
}

bool SimInterfaceSource::removeInterface(const std::string& deviceName, const Kivo::NamespaceName& ns) {
  auto t = status(ns);
  if (!t) return false;
  Interface intf = findByName(*t, deviceName);
  if (intf.deviceName.empty()) return false;
  TRACE6("remove {} ifIndex {} in {}", deviceName, intf.key, ns);
  t->interfaceDel(intf.key);
  return true;
}

bool SimInterfaceSource::renameInterface(const std::string& deviceName, const std::string& newName,
                                         const Kivo::NamespaceName& ns) {
  auto t = status(ns);
  if (!t) return false;
  Interface intf = findByName(*t, deviceName);
  if (intf.deviceName.empty()) return false;
  if (newName == deviceName) return true;
  checkDeviceName(newName);
  if (!findByName(*t, newName).deviceName.empty()) {
    throw std::invalid_argument("kernel device '" + newName + "' already exists in namespace " + ns.stringValue());
  }
  TRACE6("rename {} to {} ifIndex {} in {}", deviceName, newName, intf.key, ns);
  intf.deviceName = newName;
  t->interfaceIs(intf.key, intf);
  return true;
}

void SimInterfaceSource::removeNamespace(const Kivo::NamespaceName& name) {
  const Kivo::NamespaceName ns = name;  // `name` may be a key of tables_
  auto it = tables_.find(ns);
  if (it == tables_.end()) return;
  Velto::Ptr<Status> t = it->second;
  t->interfaceDelAll();
  if (ns.isDefault()) return;
  tables_.erase(ns);
  TRACE4("namespace {} disappears", ns);
  publish(Zem::Change{this, &namespacesAttr, &ns, nullptr, nullptr});
}

Zem::Optional<InterfaceKey> SimInterfaceSource::interfaceKey(const std::string& deviceName,
                                                             const Kivo::NamespaceName& ns) const {
  auto t = status(ns);
  if (!t) return Zem::none;
  Interface intf = findByName(*t, deviceName);
  if (intf.deviceName.empty()) return Zem::none;
  return intf.key;
}

}  // namespace KernelNetInfo

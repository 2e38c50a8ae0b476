#pragma once
// The engine's view of the kernel devices behind its interfaces. The
// interface status directories name each interface's kernel device; the
// manager of a network namespace finds those devices in the namespace's
// kernel interface table and keeps, per device, which interface it backs and
// its kernel index and address: what frame I/O on a real switch binds to.

#include "platform/framework/Record.h"
#include "platform/framework/StateMachine.h"
#include "platform/kernel/NamespaceName.h"
#include "platform/records/InterfaceRecords.h"
#include "platform/records/KernelRecords.h"

#include <map>
#include <string>

namespace Interface {

// A kernel device of the namespace that backs an interface status.
class DeviceIntfStatus : public Zem::Entity {
  ZEM_RECORD(DeviceIntfStatus, "Interface::DeviceIntfStatus")
 public:
  explicit DeviceIntfStatus(std::string deviceName) { deviceName_ = std::move(deviceName); }
  ZEM_KEY(std::string, deviceName)
  // The interface whose status names this device.
  ZEM_ATTR(Kivo::IntfId, intfId)
  // The device's kernel interface index.
  ZEM_ATTR(int, ifIndex)
  ZEM_ATTR(Kivo::EthAddr, hwAddr)

 private:
  DeviceIntfStatus() = default;
};

class DeviceIntfStatusDir : public Zem::Entity {
  ZEM_RECORD(DeviceIntfStatusDir, "Interface::DeviceIntfStatusDir")
 public:
  explicit DeviceIntfStatusDir(std::string name) { nameIs(std::move(name)); }
  // By kernel device name.
  ZEM_ENTITY_MAP(std::string, DeviceIntfStatus, device)

 private:
  DeviceIntfStatusDir() = default;
};

// Keeps `deviceDir` equal to the devices of one namespace's kernel table
// that back an interface status of `allIntfStatusDir`; with a `localDir`,
// also keeps there the interface statuses whose device is in the namespace.
class NetNsIntfStatusManager : public Zem::StateMachine {
 public:
  NetNsIntfStatusManager(Velto::Ptr<const IntfStatusPtrDir> allIntfStatusDir, Velto::Ptr<IntfStatusPtrDir> localDir,
                         Velto::Ptr<DeviceIntfStatusDir> deviceDir, Velto::Ptr<const KernelNetInfo::Status> kniStatus,
                         Kivo::NamespaceName ns);

  const Velto::Ptr<DeviceIntfStatusDir>& deviceDir() const { return deviceDir_; }
  const Kivo::NamespaceName& ns() const { return ns_; }

  void handleInitialized();

 private:
  Velto::Ptr<const IntfStatusPtrDir> allIntfStatusDir_;
  Velto::Ptr<IntfStatusPtrDir> localDir_;
  Velto::Ptr<DeviceIntfStatusDir> deviceDir_;
  Velto::Ptr<const KernelNetInfo::Status> kniStatus_;
  Kivo::NamespaceName ns_;
  Zem::Reactor intfStatusReactor_;
  Zem::Reactor kniReactor_;
};

Velto::Ptr<NetNsIntfStatusManager> netNsIntfStatusManagerFactory(
    Velto::Ptr<const IntfStatusPtrDir> allIntfStatusDir, Velto::Ptr<IntfStatusPtrDir> localDir,
    Velto::Ptr<DeviceIntfStatusDir> deviceDir, Velto::Ptr<const KernelNetInfo::Status> kniStatus,
    Kivo::NamespaceName ns);

// The interface status managers of the engine, one per network namespace.
class NetNsIntfStatusManagerRoot : public Zem::Entity {
 public:
  // `sharedDirs`: the directories are shared with other agents, which keep
  // the local directory themselves; a private engine passes false and its
  // managers keep the local directory.
  NetNsIntfStatusManagerRoot(Velto::Ptr<AllIntfStatusDir> allIntfStatusDir,
                             Velto::Ptr<AllIntfStatusLocalDir> allIntfStatusLocalDir, bool sharedDirs);

  // The manager of namespace `ns`, writing `deviceDir` from `kniStatus`;
  // the same arguments keep the present one.
  Velto::Ptr<NetNsIntfStatusManager> intfStatusManagerIs(const Velto::Ptr<DeviceIntfStatusDir>& deviceDir,
                                                         const Velto::Ptr<const KernelNetInfo::Status>& kniStatus,
                                                         const Kivo::NamespaceName& ns);
  Velto::Ptr<NetNsIntfStatusManager> intfStatusManager(const Kivo::NamespaceName& ns) const;
  void intfStatusManagerDel(const Kivo::NamespaceName& ns);

  const Velto::Ptr<AllIntfStatusDir>& allIntfStatusDir() const { return allIntfStatusDir_; }
  const Velto::Ptr<AllIntfStatusLocalDir>& allIntfStatusLocalDir() const { return allIntfStatusLocalDir_; }
  bool sharedDirs() const { return sharedDirs_; }

 private:
  using Slot = Zem::ChildSlot<NetNsIntfStatusManager, Velto::Ptr<const IntfStatusPtrDir>,
                              Velto::Ptr<IntfStatusPtrDir>, Velto::Ptr<DeviceIntfStatusDir>,
                              Velto::Ptr<const KernelNetInfo::Status>, Kivo::NamespaceName>;
  Velto::Ptr<AllIntfStatusDir> allIntfStatusDir_;
  Velto::Ptr<AllIntfStatusLocalDir> allIntfStatusLocalDir_;
  bool sharedDirs_;
  std::map<Kivo::NamespaceName, Slot> managers_;
};

}  // namespace Interface

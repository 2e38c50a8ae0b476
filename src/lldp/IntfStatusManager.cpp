#include "lldp/IntfStatusManager.h"

#include "platform/trace/Ringlog.h"

#include <unordered_map>

namespace {
const Ringlog::Handle traceHandle{"Lldp::Agent::Protocol"};
}

namespace Interface {

NetNsIntfStatusManager::NetNsIntfStatusManager(Velto::Ptr<const IntfStatusPtrDir> allIntfStatusDir,
                                               Velto::Ptr<IntfStatusPtrDir> localDir,
                                               Velto::Ptr<DeviceIntfStatusDir> deviceDir,
                                               Velto::Ptr<const KernelNetInfo::Status> kniStatus,
                                               Kivo::NamespaceName ns)
    : allIntfStatusDir_(std::move(allIntfStatusDir)), localDir_(std::move(localDir)),
      deviceDir_(std::move(deviceDir)), kniStatus_(std::move(kniStatus)), ns_(std::move(ns)) {
  // Interfaces and kernel devices come and go rarely: each change
  // reconciles the whole directory.
  intfStatusReactor_ = watch(allIntfStatusDir_, [this](const Zem::Change& c) {
    if (c.is(IntfStatusPtrDir::intfStatusAttr)) handleInitialized();
  });
  kniReactor_ = watch(kniStatus_, [this](const Zem::Change& c) {
    if (c.is(KernelNetInfo::Status::interfaceAttr)) handleInitialized();
  });
  handleInitialized();
}

void NetNsIntfStatusManager::handleInitialized() {
  if (!deviceDir_) return;
  std::unordered_map<std::string, KernelNetInfo::Interface> kernel;
  if (kniStatus_) {
    for (auto& [key, intf] : kniStatus_->interface()) {
      if (!intf.deviceName.empty()) kernel[intf.deviceName] = intf;
    }
  }
  struct Backed {
    Velto::Ptr<IntfStatus> status;
    KernelNetInfo::Interface device;
  };
  std::map<std::string, Backed> backed;
  if (allIntfStatusDir_) {
    for (auto& [intfId, status] : allIntfStatusDir_->intfStatus()) {
      auto k = kernel.find(status->deviceName());
      if (k != kernel.end()) backed[k->first] = Backed{status, k->second};
    }
  }
  for (const auto& name : deviceDir_->device().keys()) {
    if (!backed.count(name)) {
      TRACE0("device {} gone from namespace {}", name, ns_);
      deviceDir_->deviceDel(name);
    }
  }
  for (auto& [name, b] : backed) {
    auto dev = deviceDir_->device(name);
    const bool added = !dev;
    if (added) dev = Velto::make<DeviceIntfStatus>(name);
    dev->intfIdIs(b.status->intfId());
    dev->ifIndexIs(b.device.key.ifIndex);
    dev->hwAddrIs(b.device.hwAddr);
    if (added) {
      TRACE0("device {} of namespace {} backs {}", name, ns_, b.status->intfId());
      deviceDir_->devicePut(name, dev);
    }
  }
  if (localDir_) {
    for (const auto& intfId : localDir_->intfStatus().keys()) {
      bool keep = false;
      for (auto& [name, b] : backed) keep = keep || b.status->intfId() == intfId;
      if (!keep) localDir_->intfStatusDel(intfId);
    }
    for (auto& [name, b] : backed) localDir_->intfStatusIs(b.status);
  }
}

Velto::Ptr<NetNsIntfStatusManager> netNsIntfStatusManagerFactory(
    Velto::Ptr<const IntfStatusPtrDir> allIntfStatusDir, Velto::Ptr<IntfStatusPtrDir> localDir,
    Velto::Ptr<DeviceIntfStatusDir> deviceDir, Velto::Ptr<const KernelNetInfo::Status> kniStatus,
    Kivo::NamespaceName ns) {
  auto sm = Velto::make<NetNsIntfStatusManager>(std::move(allIntfStatusDir), std::move(localDir),
                                                std::move(deviceDir), std::move(kniStatus), std::move(ns));
  sm->hasNotificationActiveIs(true);
  return sm;
}

// ---------------------------------------------------------------------------

NetNsIntfStatusManagerRoot::NetNsIntfStatusManagerRoot(Velto::Ptr<AllIntfStatusDir> allIntfStatusDir,
                                                       Velto::Ptr<AllIntfStatusLocalDir> allIntfStatusLocalDir,
                                                       bool sharedDirs)
    : allIntfStatusDir_(std::move(allIntfStatusDir)), allIntfStatusLocalDir_(std::move(allIntfStatusLocalDir)),
      sharedDirs_(sharedDirs) {}

Velto::Ptr<NetNsIntfStatusManager> NetNsIntfStatusManagerRoot::intfStatusManagerIs(
    const Velto::Ptr<DeviceIntfStatusDir>& deviceDir, const Velto::Ptr<const KernelNetInfo::Status>& kniStatus,
    const Kivo::NamespaceName& ns) {
  Velto::Ptr<IntfStatusPtrDir> localDir;
  if (!sharedDirs_) localDir = allIntfStatusLocalDir_;
  return managers_[ns].is(netNsIntfStatusManagerFactory, allIntfStatusDir_, localDir, deviceDir, kniStatus, ns);
}

Velto::Ptr<NetNsIntfStatusManager> NetNsIntfStatusManagerRoot::intfStatusManager(const Kivo::NamespaceName& ns) const {
  auto it = managers_.find(ns);
  return it == managers_.end() ? nullptr : it->second.get();
}

void NetNsIntfStatusManagerRoot::intfStatusManagerDel(const Kivo::NamespaceName& ns) {
  auto it = managers_.find(ns);
  if (it == managers_.end()) return;
  it->second.del();
  managers_.erase(it);
}

}  // namespace Interface

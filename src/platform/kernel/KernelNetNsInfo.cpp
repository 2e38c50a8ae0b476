#include "platform/kernel/KernelNetNsInfo.h"

#include "platform/framework/Assert.h"
#include "platform/trace/Ringlog.h"

#include <algorithm>

namespace {
const Ringlog::Handle traceHandle{"KernelNetNsInfo::Manager"};
}

namespace KernelNetNsInfo {

Velto::Ptr<Manager> Manager::ManagerIs(Velto::Ptr<Root> root) {
  auto sm = Velto::make<Manager>(std::move(root), KernelNetInfo::currentSource());
  sm->hasNotificationActiveIs(true);
  return sm;
}

Manager::Manager(Velto::Ptr<Root> root, Velto::Ptr<KernelNetInfo::InterfaceSource> source)
    : root_(std::move(root)), source_(std::move(source)) {
  ZEM_ASSERT(root_);
  rootReactor_ = watch(root_, [this](const Zem::Change& c) {
    if (c.is(Root::netlinkConfigAttr)) handleNetlinkConfig();
  });
  sourceReactor_ = watch(source_, [this](const Zem::Change& c) {
    if (c.is(KernelNetInfo::InterfaceSource::namespacesAttr)) handleSourceNamespaces();
  });
  handleInitialized();
}

void Manager::handleInitialized() {
  TRACE0("root {} source {}", root_->name(), source_ ? "present" : "none");
  handleNetlinkConfig();
  handleSourceNamespaces();
}

void Manager::handleNetlinkConfig() {
  TRACE6("netlink config {}", root_->netlinkConfig());
  if (source_) source_->netlinkConfigIs(root_->netlinkConfig());
}

void Manager::handleSourceNamespaces() {
  std::vector<Kivo::NamespaceName> wanted{Kivo::NamespaceName::defaultNamespace()};
  if (source_) {
    for (const auto& ns : source_->namespaces()) wanted.push_back(ns);
  }
  for (const auto& ns : root_->netNs().keys()) {
    if (std::find(wanted.begin(), wanted.end(), ns) == wanted.end()) {
      TRACE0("namespace {} gone", ns);
      root_->netNsDel(ns);
    }
  }
  for (const auto& ns : wanted) {
    if (!root_->netNsHas(ns)) TRACE0("namespace {} followed", ns);
    root_->netNsIs(ns);
  }
}

}  // namespace KernelNetNsInfo

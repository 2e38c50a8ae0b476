#include "platform/kernel/KernelNetInfo.h"

#include "platform/framework/Assert.h"
#include "platform/trace/Ringlog.h"

namespace {
const Ringlog::Handle traceHandle{"KernelNetInfo::KniSm"};
}

namespace KernelNetInfo {

KniNsSm::KniNsSm(Kivo::NamespaceName ns, const Velto::Ptr<InterfaceSource>& source) : ns_(std::move(ns)) {
  if (source) status_ = source->status(ns_);
  if (!status_) {
    TRACE2("no interface source table for namespace {}; it has no interfaces", ns_);
    status_ = Velto::make<Status>();
  }
}

Velto::Ptr<KniSm> KniSm::KniSmIs(Velto::Ptr<KernelNetNsInfo::Root> root, Velto::Ptr<Zem::Entity> em) {
  (void)em;
  auto sm = Velto::make<KniSm>(std::move(root), currentSource());
  sm->hasNotificationActiveIs(true);
  return sm;
}

KniSm::KniSm(Velto::Ptr<KernelNetNsInfo::Root> root, Velto::Ptr<InterfaceSource> source)
    : root_(std::move(root)), source_(std::move(source)) {
  ZEM_ASSERT(root_);
  rootReactor_ = watch(root_, [this](const Zem::Change& c) {
    if (c.is(KernelNetNsInfo::Root::netNsAttr)) handleNetNs(c.keyAs<Kivo::NamespaceName>());
  });
  handleInitialized();
}

void KniSm::handleInitialized() {
  TRACE0("root {}", root_->name());
  handleNetNs(Kivo::NamespaceName::defaultNamespace());
  for (const auto& ns : root_->netNs().keys()) handleNetNs(ns);
}

void KniSm::handleNetNs(const Kivo::NamespaceName& ns) {
  // The agent reads the default namespace's table right after making the
  // KniSm, so that entry is kept whatever the root says.
  const bool wanted = root_->netNsHas(ns) || ns.isDefault();
  auto it = kniNsSm_.find(ns);
  if (wanted && it == kniNsSm_.end()) {
    TRACE0("follow namespace {}", ns);
    auto child = Velto::make<KniNsSm>(ns, source_);
    kniNsSm_.emplace(ns, child);
    child->hasNotificationActiveIs(hasNotificationActive());
  } else if (!wanted && it != kniNsSm_.end()) {
    TRACE0("drop namespace {}", ns);
    Velto::Ptr<KniNsSm> old = std::move(it->second);
    kniNsSm_.erase(it);
    old->hasNotificationActiveIs(false);
  }
}

Velto::Ptr<KniNsSm> KniSm::kniNsSm(const Kivo::NamespaceName& ns) const {
  auto it = kniNsSm_.find(ns);
  return it == kniNsSm_.end() ? Velto::Ptr<KniNsSm>() : it->second;
}

void KniSm::hasNotificationActiveIs(bool active) {
  if (active == hasNotificationActive()) return;
  Zem::StateMachine::hasNotificationActiveIs(active);
  for (const auto& [ns, child] : kniNsSm_) child->hasNotificationActiveIs(active);
}

}  // namespace KernelNetInfo

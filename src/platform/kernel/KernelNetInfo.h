#pragma once
// The kernel interface tables of a switch, one per network namespace that
// the namespace root (KernelNetNsInfo.h) follows. Each table is a
// `KernelNetInfo::Status` owned and kept in step by the interface source
// that was current when the `KniSm` was made (InterfaceSource.h); with no
// source, each namespace gets an empty table of its own.
//
//   auto kniSm = KernelNetInfo::KniSm::KniSmIs(netNsRoot, em);
//   auto kniStatus = kniSm->kniNsSm(Kivo::NamespaceName::defaultNamespace())->status();
//
// The default namespace's entry exists from the moment the `KniSm` is made,
// whether or not a namespace manager has filled the root yet.

#include "platform/framework/StateMachine.h"
#include "platform/kernel/InterfaceSource.h"
#include "platform/kernel/KernelNetNsInfo.h"
#include "platform/records/KernelRecords.h"

#include <map>

namespace KernelNetInfo {

// The interface table of one namespace.
class KniNsSm : public Zem::StateMachine {
 public:
  KniNsSm(Kivo::NamespaceName ns, const Velto::Ptr<InterfaceSource>& source);
  const Kivo::NamespaceName& ns() const { return ns_; }
  const Velto::Ptr<Status>& status() const { return status_; }

 private:
  Kivo::NamespaceName ns_;
  Velto::Ptr<Status> status_;
};

class KniSm : public Zem::StateMachine {
 public:
  // A KniSm following `root` on the current interface source, notifications
  // on. `em`, the host's entity manager, is accepted for the host's sake;
  // the tables are not published in the state database.
  static Velto::Ptr<KniSm> KniSmIs(Velto::Ptr<KernelNetNsInfo::Root> root, Velto::Ptr<Zem::Entity> em);

  KniSm(Velto::Ptr<KernelNetNsInfo::Root> root, Velto::Ptr<InterfaceSource> source);

  // The entry of `ns`; empty for a namespace that is not followed.
  Velto::Ptr<KniNsSm> kniNsSm(const Kivo::NamespaceName& ns) const;
  const std::map<Kivo::NamespaceName, Velto::Ptr<KniNsSm>>& kniNsSms() const { return kniNsSm_; }
  const Velto::Ptr<KernelNetNsInfo::Root>& root() const { return root_; }

  void hasNotificationActiveIs(bool active) override;

 private:
  void handleInitialized();
  void handleNetNs(const Kivo::NamespaceName& ns);

  Velto::Ptr<KernelNetNsInfo::Root> root_;
  Velto::Ptr<InterfaceSource> source_;
  std::map<Kivo::NamespaceName, Velto::Ptr<KniNsSm>> kniNsSm_;
  Zem::Reactor rootReactor_;
};

}  // namespace KernelNetInfo

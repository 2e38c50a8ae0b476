#pragma once
// The kernel network namespaces of a switch. `Root` lists the namespaces the
// agent follows and the kernel events to follow in them; `Manager` keeps
// that list: the default namespace always, and every namespace the current
// interface source knows (InterfaceSource.h).

#include "platform/framework/Record.h"
#include "platform/framework/StateMachine.h"
#include "platform/kernel/InterfaceSource.h"
#include "platform/kernel/NamespaceName.h"

#include <string>

namespace KernelNetNsInfo {

class Root : public Zem::Entity {
  ZEM_RECORD(Root, "KernelNetNsInfo::Root")
 public:
  explicit Root(std::string name) { nameIs(std::move(name)); }
  // The kernel events to follow; the manager hands it to the source.
  ZEM_ATTR(NetlinkConfig, netlinkConfig)
  // The namespaces being followed; written by the manager.
  ZEM_ORDERED_VALUE_SET(Kivo::NamespaceName, netNs)

 private:
  Root() = default;
};

class Manager : public Zem::StateMachine {
 public:
  // A manager of `root` on the current interface source, notifications on.
  static Velto::Ptr<Manager> ManagerIs(Velto::Ptr<Root> root);

  Manager(Velto::Ptr<Root> root, Velto::Ptr<KernelNetInfo::InterfaceSource> source);
  const Velto::Ptr<Root>& root() const { return root_; }
  const Velto::Ptr<KernelNetInfo::InterfaceSource>& source() const { return source_; }

 private:
  void handleInitialized();
  void handleNetlinkConfig();
  void handleSourceNamespaces();

  Velto::Ptr<Root> root_;
  Velto::Ptr<KernelNetInfo::InterfaceSource> source_;
  Zem::Reactor rootReactor_;
  Zem::Reactor sourceReactor_;
};

}  // namespace KernelNetNsInfo

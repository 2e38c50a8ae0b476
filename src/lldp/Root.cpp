#include "lldp/Root.h"

#include "platform/trace/Ringlog.h"

namespace {
const Ringlog::Handle traceHandle{"Lldp::Agent::Protocol"};
}

namespace Lldp::Agent::Protocol {

Root::Root(std::string name)
    : scheduler_(Oru::currentScheduler()), transport_(currentTransport()) {
  nameIs(std::move(name));
  TRACE0("LLDP engine {}: scheduler {}, transport {}", this->name(), scheduler_ ? "present" : "missing",
         transport_ ? "present" : "missing");
}

Root::~Root() {
  // The switch first, the port I/O last: nothing stops with a frame half done.
  onOffSwitchSm_.del();
  protocolSm_.del();
  ethDevPamManager_.del();
}

Velto::Ptr<Interface::DeviceIntfStatusDir> Root::deviceIntfStatusDirIs(const std::string& name) {
  if (!deviceIntfStatusDir_ || deviceIntfStatusDir_->name() != name) {
    deviceIntfStatusDir_ = Velto::make<Interface::DeviceIntfStatusDir>(name);
  }
  return deviceIntfStatusDir_;
}

Velto::Ptr<Interface::NetNsIntfStatusManagerRoot> Root::intfStatusManagerRootIs(
    const Velto::Ptr<Interface::AllIntfStatusDir>& allIntfStatusDir,
    const Velto::Ptr<Interface::AllIntfStatusLocalDir>& allIntfStatusLocalDir, bool sharedDirs) {
  auto& cur = intfStatusManagerRoot_;
  if (!cur || cur->allIntfStatusDir() != allIntfStatusDir || cur->allIntfStatusLocalDir() != allIntfStatusLocalDir ||
      cur->sharedDirs() != sharedDirs) {
    cur = Velto::make<Interface::NetNsIntfStatusManagerRoot>(allIntfStatusDir, allIntfStatusLocalDir, sharedDirs);
  }
  return cur;
}

Velto::Ptr<Interface::PamDesiredIntfDir> Root::desiredIntfDirIs(const std::string& name) {
  if (!desiredIntfDir_ || desiredIntfDir_->name() != name) {
    desiredIntfDir_ = Velto::make<Interface::PamDesiredIntfDir>(name);
  }
  return desiredIntfDir_;
}

Velto::Ptr<PamCollection> Root::pamCollectionIs(const std::string& name) {
  if (!pamCollection_ || pamCollection_->name() != name) pamCollection_ = Velto::make<PamCollection>(name);
  return pamCollection_;
}

void Root::doInitializePamMan() {
  ZEM_ASSERT(desiredIntfDir_);
  ZEM_ASSERT(ethPhyIntfStatusDir_);
  ZEM_ASSERT(pamCollection_);
  ethDevPamManager_.is(ethDevPamManagerFactory, desiredIntfDir_, ethPhyIntfStatusDir_, pamCollection_, transport_);
}

Velto::Ptr<ProtocolSm> Root::protocolSmIs(const Velto::Ptr<PamCollection>& pamCollection,
                                          const Velto::Ptr<const LocalSystem>& localSystem,
                                          const Velto::Ptr<Root>& root,
                                          const Velto::Ptr<const Interface::AllEthPhyIntfStatusDir>& ethPhyIntfStatusDir,
                                          const Velto::Ptr<const Config>& config, const Velto::Ptr<Status>& status) {
  // The root is kept as a plain pointer: the engine owns this child, and a
  // reference back would keep the engine alive for ever.
  auto factory = [](Velto::Ptr<PamCollection> pams, Velto::Ptr<const LocalSystem> ls, Root* r,
                    Velto::Ptr<const Interface::AllEthPhyIntfStatusDir> eth, Velto::Ptr<const Config> cfg,
                    Velto::Ptr<Status> st) {
    return protocolSmFactory(std::move(pams), std::move(ls), r ? r->scheduler() : nullptr, std::move(eth),
                             std::move(cfg), std::move(st));
  };
  return protocolSm_.is(factory, pamCollection, localSystem, root.get(), ethPhyIntfStatusDir, config, status);
}

Velto::Ptr<OnOffSwitchSm> Root::onOffSwitchSmIs(const Velto::Ptr<const CliConfig>& cliConfig,
                                                const Velto::Ptr<EthDevPamManager>& ethDevPamManager) {
  return onOffSwitchSm_.is(onOffSwitchSmFactory, cliConfig, ethDevPamManager);
}

}  // namespace Lldp::Agent::Protocol

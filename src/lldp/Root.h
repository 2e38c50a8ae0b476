#pragma once
// The LLDP protocol engine of one agent. The agent's root state machine makes
// it, points it at the records it works from (configuration, local system,
// Ethernet interface statuses) and writes to (status), and has it build its
// parts in this order: the device directory and interface status managers,
// the desired-interface directory, the PAM collection and the Ethernet device
// PAM manager, the protocol state machine, and the on/off switch.
//
// The engine runs on the scheduler and sends through the transport of the
// switch context that was active when the engine was made. Without a scheduler the protocol does not run; without
// a transport no port opens. Either way the records stay as they are.

#include "lldp/IntfStatusManager.h"
#include "lldp/Pam.h"
#include "lldp/ProtocolSm.h"
#include "lldp/Transport.h"
#include "platform/framework/Entity.h"
#include "platform/framework/StateMachine.h"
#include "platform/records/InterfaceRecords.h"
#include "platform/records/KernelRecords.h"
#include "platform/records/LldpRecords.h"
#include "platform/scheduler/Scheduler.h"

#include <string>

namespace Lldp::Agent::Protocol {

class Root : public Zem::Entity {
 public:
  explicit Root(std::string name);
  ~Root() override;

  // The host's scheduler and transport, taken when the engine was made.
  const Velto::Ptr<Oru::TaskScheduler>& scheduler() const { return scheduler_; }
  const Velto::Ptr<Transport>& transport() const { return transport_; }

  // Inputs and output; set before the parts that use them are built.
  void ethPhyIntfStatusDirIs(Velto::Ptr<const Interface::AllEthPhyIntfStatusDir> dir) {
    ethPhyIntfStatusDir_ = std::move(dir);
  }
  void configIs(Velto::Ptr<const Config> config) { config_ = std::move(config); }
  void statusIs(Velto::Ptr<Status> status) { status_ = std::move(status); }
  void localSystemIs(Velto::Ptr<const LocalSystem> localSystem) { localSystem_ = std::move(localSystem); }
  const Velto::Ptr<const Interface::AllEthPhyIntfStatusDir>& ethPhyIntfStatusDir() const {
    return ethPhyIntfStatusDir_;
  }
  const Velto::Ptr<const Config>& config() const { return config_; }
  const Velto::Ptr<Status>& status() const { return status_; }
  const Velto::Ptr<const LocalSystem>& localSystem() const { return localSystem_; }

  // Kernel devices behind the engine's interfaces (written by the interface
  // status managers). Made by name; the same name keeps the present one.
  Velto::Ptr<Interface::DeviceIntfStatusDir> deviceIntfStatusDirIs(const std::string& name);
  const Velto::Ptr<Interface::DeviceIntfStatusDir>& deviceIntfStatusDir() const { return deviceIntfStatusDir_; }

  // The interface status managers over the engine's interface directories;
  // the same arguments keep the present root.
  Velto::Ptr<Interface::NetNsIntfStatusManagerRoot> intfStatusManagerRootIs(
      const Velto::Ptr<Interface::AllIntfStatusDir>& allIntfStatusDir,
      const Velto::Ptr<Interface::AllIntfStatusLocalDir>& allIntfStatusLocalDir, bool sharedDirs);
  const Velto::Ptr<Interface::NetNsIntfStatusManagerRoot>& intfStatusManagerRoot() const {
    return intfStatusManagerRoot_;
  }

  // Interfaces LLDP is to run on (written by the agent). Made by name.
  Velto::Ptr<Interface::PamDesiredIntfDir> desiredIntfDirIs(const std::string& name);
  const Velto::Ptr<Interface::PamDesiredIntfDir>& desiredIntfDir() const { return desiredIntfDir_; }

  // The open frame I/O of the ports. Made by name.
  Velto::Ptr<PamCollection> pamCollectionIs(const std::string& name);
  const Velto::Ptr<PamCollection>& pamCollection() const { return pamCollection_; }

  // Makes the Ethernet device PAM manager over the desired-interface
  // directory, the Ethernet interface statuses and the PAM collection (all
  // set before; asserted).
  void doInitializePamMan();
  const Velto::Ptr<EthDevPamManager>& ethDevPamManager() const { return ethDevPamManager_.get(); }

  // The protocol state machine; `root` is this engine (its scheduler). The
  // same arguments keep the present one.
  Velto::Ptr<ProtocolSm> protocolSmIs(const Velto::Ptr<PamCollection>& pamCollection,
                                      const Velto::Ptr<const LocalSystem>& localSystem, const Velto::Ptr<Root>& root,
                                      const Velto::Ptr<const Interface::AllEthPhyIntfStatusDir>& ethPhyIntfStatusDir,
                                      const Velto::Ptr<const Config>& config, const Velto::Ptr<Status>& status);
  const Velto::Ptr<ProtocolSm>& protocolSm() const { return protocolSm_.get(); }

  // Runs the protocol while `cliConfig` says LLDP is enabled.
  Velto::Ptr<OnOffSwitchSm> onOffSwitchSmIs(const Velto::Ptr<const CliConfig>& cliConfig,
                                            const Velto::Ptr<EthDevPamManager>& ethDevPamManager);
  const Velto::Ptr<OnOffSwitchSm>& onOffSwitchSm() const { return onOffSwitchSm_.get(); }

 private:
  Velto::Ptr<Oru::TaskScheduler> scheduler_;
  Velto::Ptr<Transport> transport_;
  Velto::Ptr<const Interface::AllEthPhyIntfStatusDir> ethPhyIntfStatusDir_;
  Velto::Ptr<const Config> config_;
  Velto::Ptr<Status> status_;
  Velto::Ptr<const LocalSystem> localSystem_;
  Velto::Ptr<Interface::DeviceIntfStatusDir> deviceIntfStatusDir_;
  Velto::Ptr<Interface::NetNsIntfStatusManagerRoot> intfStatusManagerRoot_;
  Velto::Ptr<Interface::PamDesiredIntfDir> desiredIntfDir_;
  Velto::Ptr<PamCollection> pamCollection_;
  Zem::ChildSlot<EthDevPamManager, Velto::Ptr<const Interface::PamDesiredIntfDir>,
                 Velto::Ptr<const Interface::AllEthPhyIntfStatusDir>, Velto::Ptr<PamCollection>, Velto::Ptr<Transport>>
      ethDevPamManager_;
  Zem::ChildSlot<ProtocolSm, Velto::Ptr<PamCollection>, Velto::Ptr<const LocalSystem>, Root*,
                 Velto::Ptr<const Interface::AllEthPhyIntfStatusDir>, Velto::Ptr<const Config>, Velto::Ptr<Status>>
      protocolSm_;
  Zem::ChildSlot<OnOffSwitchSm, Velto::Ptr<const CliConfig>, Velto::Ptr<EthDevPamManager>> onOffSwitchSm_;
};

}  // namespace Lldp::Agent::Protocol

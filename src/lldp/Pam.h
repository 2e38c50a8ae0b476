#pragma once
// Frame I/O of the engine's ports. A PAM (port access) is the open frame I/O
// of one LLDP interface; the Ethernet device PAM manager opens one for every
// interface that is desired and has an Ethernet status, while LLDP is on, and
// closes it when any of that stops. The protocol state machine sends and
// hears frames only through the PAMs of the collection.

#include "lldp/Transport.h"
#include "platform/framework/Record.h"
#include "platform/framework/StateMachine.h"
#include "platform/records/InterfaceRecords.h"
#include "platform/records/LldpRecords.h"

#include <span>
#include <string>

namespace Lldp::Agent::Protocol {

class Pam : public Zem::Entity {
  ZEM_RECORD(Pam, "Lldp::Agent::Protocol::Pam")
 public:
  Pam(Kivo::IntfId intf, std::string deviceName);
  ~Pam() override;
  ZEM_KEY(Kivo::IntfId, intf)
  // Kernel device the I/O runs on.
  ZEM_KEY(std::string, deviceName)

  // Opens the frame I/O on `transport`; throws TransportError.
  void open(Transport& transport);
  bool isOpen() const { return static_cast<bool>(io_); }
  // Sends one Ethernet frame; nothing while closed.
  void send(std::span<const uint8_t> frame);
  // The link of the open I/O is up; false while closed.
  bool linkUp() const { return io_ && io_->linkUp(); }
  // What the transport lost on the way in; nothing while closed.
  Transport::Port::Statistics ioStatistics() const { return io_ ? io_->statistics() : Transport::Port::Statistics{}; }
  // Who hears the frames received; empty drops them.
  void receiverIs(Transport::Receiver receiver) { receiver_ = std::move(receiver); }

 private:
  Pam() = default;
  // What the transport calls; it outlives the PAM only while a frame is
  // being delivered, and drops frames once the PAM is gone.
  struct Inbox : Velto::RefCounted {
    Pam* pam = nullptr;
  };
  void frameReceived(std::span<const uint8_t> frame);

  Velto::Ptr<Inbox> inbox_;
  Velto::Ptr<Transport::Port> io_;
  Transport::Receiver receiver_;
};

class PamCollection : public Zem::Entity {
  ZEM_RECORD(PamCollection, "Lldp::Agent::Protocol::PamCollection")
 public:
  explicit PamCollection(std::string name) { nameIs(std::move(name)); }
  // The open PAMs, by interface.
  ZEM_ENTITY_MAP_CUSTOM(Kivo::IntfId, Pam, pam)

 private:
  PamCollection() = default;
};

// Opens a PAM for each interface that is desired (`intfDesired` true) and has
// an Ethernet physical interface status, while enabled; closes it when that
// ends. Starts disabled: LLDP runs only once the on/off switch says so.
class EthDevPamManager : public Zem::StateMachine {
 public:
  EthDevPamManager(Velto::Ptr<const Interface::PamDesiredIntfDir> desiredIntfDir,
                   Velto::Ptr<const Interface::AllEthPhyIntfStatusDir> ethPhyIntfStatusDir,
                   Velto::Ptr<PamCollection> pamCollection, Velto::Ptr<Transport> transport);

  bool enabled() const { return enabled_; }
  void enabledIs(bool enabled);

  void handleInitialized();
  void handleIntf(const Kivo::IntfId& intf);

 private:
  void maybeOpen(const Kivo::IntfId& intf, const std::string& deviceName);

  Velto::Ptr<const Interface::PamDesiredIntfDir> desiredIntfDir_;
  Velto::Ptr<const Interface::AllEthPhyIntfStatusDir> ethPhyIntfStatusDir_;
  Velto::Ptr<PamCollection> pamCollection_;
  Velto::Ptr<Transport> transport_;
  bool enabled_ = false;
  Zem::Reactor desiredReactor_;
  Zem::Reactor ethPhyReactor_;
};

Velto::Ptr<EthDevPamManager> ethDevPamManagerFactory(
    Velto::Ptr<const Interface::PamDesiredIntfDir> desiredIntfDir,
    Velto::Ptr<const Interface::AllEthPhyIntfStatusDir> ethPhyIntfStatusDir, Velto::Ptr<PamCollection> pamCollection,
    Velto::Ptr<Transport> transport);

// Runs the protocol only while `CliConfig::enabled`: passes the switch on to
// the PAM manager, which opens or closes every port's I/O.
class OnOffSwitchSm : public Zem::StateMachine {
 public:
  OnOffSwitchSm(Velto::Ptr<const CliConfig> cliConfig, Velto::Ptr<EthDevPamManager> ethDevPamManager);
  void handleEnabled();

 private:
  Velto::Ptr<const CliConfig> cliConfig_;
  Velto::Ptr<EthDevPamManager> ethDevPamManager_;
  Zem::Reactor cliConfigReactor_;
};

Velto::Ptr<OnOffSwitchSm> onOffSwitchSmFactory(Velto::Ptr<const CliConfig> cliConfig,
                                               Velto::Ptr<EthDevPamManager> ethDevPamManager);

}  // namespace Lldp::Agent::Protocol

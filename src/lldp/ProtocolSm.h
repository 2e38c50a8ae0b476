#pragma once
// The LLDP protocol of the engine: transmission and reception on every port
// that has a port configuration, an Ethernet physical interface status and
// open frame I/O (a PAM).
//
// Transmit: right when a port starts and then every `messageTxInterval`, an
// LLDPDU with the local system's chassis identity, the local port's identity,
// the hold time as TTL (and exactly, in milliseconds, for our own engines),
// the port's Vorn TLV when it has one, from the interface's MAC address.
// Changes of what a port sends go out with its next frame. A port that stops
// while the engine runs sends a shutdown LLDPDU (TTL 0) so its neighbour
// forgets it at once.
//
// Receive: every frame counts in `framesIn`; a frame the codec refuses counts
// in `framesDiscarded` and its reason is traced. A valid frame refreshes (or
// adds, under the port's next index) the remote system of its MSAP (chassis
// and port identity): every attribute is written, `lastRefreshTime` last, with
// the scheduler's time. A remote system not refreshed within its hold time is
// aged out (`ageouts`); a shutdown LLDPDU deletes it at once. A port keeps at
// most `maxRemoteSystemsPerPort` remote systems; frames of further MSAPs are
// discarded and counted. A port that stops forgets its remote systems.
//
// Everything runs on the activity thread; time only from the scheduler.

#include "lldp/Pam.h"
#include "platform/framework/StateMachine.h"
#include "platform/records/InterfaceRecords.h"
#include "platform/records/LldpRecords.h"
#include "platform/scheduler/Scheduler.h"

#include <map>

namespace Lldp::Agent::Protocol {

class PortSm;
struct ProtocolCtx;

class ProtocolSm : public Zem::StateMachine {
 public:
  static constexpr uint32_t defaultMaxRemoteSystemsPerPort = 8;

  ProtocolSm(Velto::Ptr<PamCollection> pamCollection, Velto::Ptr<const LocalSystem> localSystem,
             Velto::Ptr<Oru::TaskScheduler> scheduler,
             Velto::Ptr<const Interface::AllEthPhyIntfStatusDir> ethPhyIntfStatusDir, Velto::Ptr<const Config> config,
             Velto::Ptr<Status> status);
  ~ProtocolSm() override;

  void hasNotificationActiveIs(bool active) override;

  // Remote systems a port keeps at most; applies to the next new MSAP.
  uint32_t maxRemoteSystemsPerPort() const;
  void maxRemoteSystemsPerPortIs(uint32_t n);
  // The port transmits and receives.
  bool portRunning(const Kivo::IntfId& intf) const { return ports_.count(intf) != 0; }

  void handleInitialized();
  // Starts or stops the port of `intf` to match its inputs.
  void handleIntf(const Kivo::IntfId& intf);
  void handleTxTiming();

 private:
  Velto::Ptr<PamCollection> pamCollection_;
  Velto::Ptr<const Interface::AllEthPhyIntfStatusDir> ethPhyIntfStatusDir_;
  Velto::Ptr<const Config> config_;
  Velto::Ptr<ProtocolCtx> ctx_;
  std::map<Kivo::IntfId, Velto::Ptr<PortSm>> ports_;
  Zem::Reactor pamReactor_;
  Zem::Reactor configReactor_;
  Zem::Reactor ethPhyReactor_;
};

Velto::Ptr<ProtocolSm> protocolSmFactory(Velto::Ptr<PamCollection> pamCollection,
                                         Velto::Ptr<const LocalSystem> localSystem,
                                         Velto::Ptr<Oru::TaskScheduler> scheduler,
                                         Velto::Ptr<const Interface::AllEthPhyIntfStatusDir> ethPhyIntfStatusDir,
                                         Velto::Ptr<const Config> config, Velto::Ptr<Status> status);

}  // namespace Lldp::Agent::Protocol

#pragma once
// The LLDP protocol of the engine: transmission and reception on every port
// that has a port configuration whose admin status is not disabled, an
// Ethernet physical interface status and open frame I/O (a PAM). PortSm
// says what each running port does.
//
// A port that stops while the engine runs (its configuration removed, its
// admin status disabled, LLDP switched off, its I/O closed) sends a shutdown
// LLDPDU (TTL 0), when it transmits, so its neighbour forgets it at once; it
// starts again no sooner than `reinitDelayMs` later. The engine going away
// (the agent stopping or restarting) sends nothing: neighbours keep what
// they heard until it ages, so a peer keeps its links through a restart.
//
// Everything runs on the activity thread; time only from the scheduler.

#include "lldp/Pam.h"
#include "lldp/PortSm.h"
#include "platform/framework/StateMachine.h"
#include "platform/records/InterfaceRecords.h"
#include "platform/records/LldpRecords.h"
#include "platform/scheduler/Scheduler.h"

#include <map>

namespace Lldp::Agent::Protocol {

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
  // Whether a frame equal to the last of its remote system only refreshes
  // it (on by default; the records are the same either way).
  bool refreshUnchangedFrames() const;
  void refreshUnchangedFramesIs(bool on);
  // The port transmits and receives.
  bool portRunning(const Kivo::IntfId& intf) const { return ports_.count(intf) != 0; }

  void handleInitialized();
  // Starts or stops the port of `intf` to match its inputs.
  void handleIntf(const Kivo::IntfId& intf);
  void handleTxTiming();
  // Something every port sends may have changed.
  void handleLocalChange();

 private:
  Velto::Ptr<PamCollection> pamCollection_;
  Velto::Ptr<const Interface::AllEthPhyIntfStatusDir> ethPhyIntfStatusDir_;
  Velto::Ptr<const Config> config_;
  Velto::Ptr<ProtocolCtx> ctx_;
  std::map<Kivo::IntfId, Velto::Ptr<PortSm>> ports_;
  // When each port that stopped stopped, for its re-initialisation delay.
  std::map<Kivo::IntfId, Velto::Duration> stoppedAt_;
  Zem::Reactor pamReactor_;
  Zem::Reactor localSystemReactor_;
  Zem::Reactor configReactor_;
  Zem::Reactor ethPhyReactor_;
};

Velto::Ptr<ProtocolSm> protocolSmFactory(Velto::Ptr<PamCollection> pamCollection,
                                         Velto::Ptr<const LocalSystem> localSystem,
                                         Velto::Ptr<Oru::TaskScheduler> scheduler,
                                         Velto::Ptr<const Interface::AllEthPhyIntfStatusDir> ethPhyIntfStatusDir,
                                         Velto::Ptr<const Config> config, Velto::Ptr<Status> status);

}  // namespace Lldp::Agent::Protocol

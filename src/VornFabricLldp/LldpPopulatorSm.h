#pragma once
// Makes every configured Ethernet member interface that has a kernel
// interface an LLDP port of the agent's private LLDP engine, and sets the
// engine's timing and the local chassis identity.
//
// A member interface is populated while three things hold together: some
// backplane channel of the member configuration lists it, it is an Ethernet
// interface, and the kernel interface map pairs it with a kernel interface.
// Populated means six output entries exist for it: the LLDP port
// configuration, the LLDP port status, the Ethernet and generic interface
// status entries (one shared record), the LLDP local port and the desired
// interface entry. They are made and deleted together.

#include "platform/framework/StateMachine.h"
#include "platform/records/InterfaceRecords.h"
#include "platform/records/KernelRecords.h"
#include "platform/records/LldpRecords.h"
#include "platform/records/VornRecords.h"

#include <cstdint>

namespace VornFabricLldp {

class LldpPopulatorSm : public Zem::StateMachine {
 public:
  // Inputs, as the root state machine hands them over.
  struct Params {
    Vorn::MemberId smid;
    Velto::Ptr<const KernelNetInfo::Status> kniStatus;
    Velto::Ptr<const Vorn::KniIntfMap> kniIntfMap;
    Velto::Ptr<const Vorn::MemberConfig> memberConfig;
    Velto::Ptr<Lldp::Config> config;
    Velto::Ptr<Lldp::Status> status;
    Velto::Ptr<Interface::AllEthPhyIntfStatusDir> allEthPhyIntfStatusDir;
    Velto::Ptr<Interface::AllIntfStatusDir> allIntfStatusDir;
    Velto::Ptr<Lldp::LocalSystem> localSystem;
    Velto::Ptr<Interface::PamDesiredIntfDir> desiredIntfDir;
    bool operator==(const Params&) const = default;
  };

  explicit LldpPopulatorSm(Params params);

  // LLDP timing, milliseconds. The hold time is short while the
  // "VornFabricLldpLowTxHt" toggle is on, so a peer that goes silent is
  // noticed within a few transmit intervals.
  uint32_t txIntervalMs() const { return txIntervalMs_; }
  void txIntervalMsIs(uint32_t v) { txIntervalMs_ = v; }
  uint32_t txHoldTimeMs() const { return txHoldTimeMs_; }
  void txHoldTimeMsIs(uint32_t v) { txHoldTimeMs_ = v; }
  uint32_t lowTxHoldTimeMs() const { return lowTxHoldTimeMs_; }
  void lowTxHoldTimeMsIs(uint32_t v) { lowTxHoldTimeMs_ = v; }

  Vorn::MemberId smid() const { return params_.smid; }
  const Velto::Ptr<const KernelNetInfo::Status>& kniStatus() const { return params_.kniStatus; }
  const Velto::Ptr<const Vorn::KniIntfMap>& kniIntfMap() const { return params_.kniIntfMap; }
  const Velto::Ptr<const Vorn::MemberConfig>& memberConfig() const { return params_.memberConfig; }
  const Velto::Ptr<Lldp::Config>& config() const { return params_.config; }
  const Velto::Ptr<Lldp::Status>& status() const { return params_.status; }
  const Velto::Ptr<Interface::AllEthPhyIntfStatusDir>& allEthPhyIntfStatusDir() const {
    return params_.allEthPhyIntfStatusDir;
  }
  const Velto::Ptr<Interface::AllIntfStatusDir>& allIntfStatusDir() const { return params_.allIntfStatusDir; }
  const Velto::Ptr<Lldp::LocalSystem>& localSystem() const { return params_.localSystem; }
  const Velto::Ptr<Interface::PamDesiredIntfDir>& desiredIntfDir() const { return params_.desiredIntfDir; }

  // Some channel of the member configuration lists `intfId`.
  bool memberConfigHasMember(const Kivo::IntfId& intfId) const;
  // Populates `intfId` from kernel interface `intfKey`; does nothing when the
  // interface is not a configured member, the pair is not (or no longer) in
  // the kernel interface map, or the interface is populated already.
  void addIntf(const Kivo::IntfId& intfId, const KernelNetInfo::InterfaceKey& intfKey);
  // Deletes whatever outputs `intfId` has.
  void delIntf(const Kivo::IntfId& intfId);

  void handleKniIntfMap(const Vorn::KniIntfIdKeyPair& pair);
  void handleMemberConfig(const Kivo::IntfId& bcIntf, const Kivo::IntfId& memberIntf);
  void handleInitialized();

  // The six outputs of `intfId` exist all together or not at all.
  void assertOutputsConsistent(const Kivo::IntfId& intfId) const;

 private:
  void assertInputsPresent() const;
  void onMemberConfigChange(const Zem::Change& c);
  void onKniIntfMapChange(const Zem::Change& c);
  void removeStaleOutputs();

  uint32_t txIntervalMs_ = 100;
  uint32_t txHoldTimeMs_ = 1200;
  uint32_t lowTxHoldTimeMs_ = 300;
  Params params_;

  Zem::Reactor kniIntfMapReactor_;
  // Sees channels added, removed and replaced, and, as nested changes,
  // member interfaces added to or removed from a channel.
  Zem::Reactor memberConfigReactor_;
};

Velto::Ptr<LldpPopulatorSm> lldpPopulatorSmFactory(LldpPopulatorSm::Params params);

}  // namespace VornFabricLldp

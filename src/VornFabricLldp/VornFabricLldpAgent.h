#pragma once
// The agent objects and their root state machine.
//
// `Agent` runs on a switch that is already a group member: it restores its
// records from the local backup, builds `AgentSm` during initialisation and
// mounts the Ethernet LAG status on every connect to build the LAG group state
// machine. `CandidateAgent` runs on a switch about to join a group: it waits
// for the state database to publish its future member ID and then builds the
// same `AgentSm` on records made under that ID. `AgentSm` builds, in one fixed
// order, the private LLDP engine records and the engine, every state machine
// of the agent, the four state synchronizers and the peer state-sync
// listener, and afterwards only starts and stops the synchronizers as the
// state database connects and disconnects.

#include "VornFabricLldp/LldpCtxMapperSm.h"
#include "VornFabricLldp/LldpHigigSm.h"
#include "VornFabricLldp/LldpPopulatorSm.h"
#include "VornFabricLldp/LldpRemoteSystemSelectorSm.h"
#include "VornFabricLldp/LldpStatusSm.h"
#include "VornFabricLldp/LldpVornTlvSm.h"
#include "VornFabricLldp/VornFabricLldpBcLagGroupSm.h"
#include "VornFabricLldp/VornFabricLldpLagInfoTypes.h"
#include "VornFabricLldp/VornFabricLldpLocalTypes.h"
#include "lldp/Root.h"
#include "platform/framework/Dir.h"
#include "platform/framework/StateMachine.h"
#include "platform/host/CAgent.h"
#include "platform/kernel/KernelNetInfo.h"
#include "platform/kernel/KernelNetNsInfo.h"
#include "platform/lodestore/EntityManager.h"
#include "platform/q7relay/Q7Relay.h"
#include "platform/records/InterfaceRecords.h"
#include "platform/records/LldpRecords.h"
#include "platform/records/VornFabricLldpCtxTypes.h"
#include "platform/records/VornRecords.h"
#include "platform/scheduler/Scheduler.h"
#include "platform/vorn/KniIntfMapperSm.h"
#include "platform/vorn/ServiceSync.h"
#include "platform/vorn/VornMemberFileMgrSm.h"

#include <string>

namespace VornBootConstants {
// The member configuration file on flash.
inline constexpr const char* vornConfigFilePath = "/mnt/flash/vorn-config";
}  // namespace VornBootConstants

namespace VornFabricLldp {

class AgentSm : public Zem::StateMachine {
 public:
  using MemberConfigPtr = Velto::Ptr<Vorn::MemberConfig>;
  using SyncPtr = Velto::Ptr<Vorn::ServiceLocalRemoteSynchronizer>;

  // Inputs, as the agent object hands them over.
  struct Params {
    Vorn::MemberId memberId;
    Velto::Ptr<Oru::TaskScheduler> scheduler;
    Velto::Ptr<KernelNetInfo::Status> kniStatus;
    MemberConfigPtr memberConfig;
    Velto::Ptr<Vorn::AsicsWarm> vornAsicsWarm;
    Velto::Ptr<CtxForMember> ctxForMember;
    Velto::Ptr<Vorn::BackplaneChannelStatus> backplaneChannelStatus;
    Velto::Ptr<Vorn::Lldp::Status> vornLldpStatus;
    bool restoreFromLocal;
    Velto::Ptr<VornFabricLldpCtx> vflCtx;
    Velto::Ptr<VornFabricLldpBcLagGroupInfo> vflBcLagGroupInfo;
    bool operator==(const Params&) const = default;
  };

  explicit AgentSm(Params params);
  ~AgentSm() override;

  void handleInitialized();
  void handleLodestoreConnect(const Velto::Ptr<Lodestore::EntityManager>& em);
  void handleLodestoreDisconnect();
  void hasNotificationActiveIs(bool active) override;

  // The LAG group state machine; made by the agent object once the Ethernet
  // LAG status is mounted.
  const Velto::Ptr<VornFabricLldpBcLagGroupSm>& vflBcLagGroupSmIs(const VornFabricLldpBcLagGroupSm::Params& p) {
    return vflBcLagGroupSm_.is(vornFabricLldpBcLagGroupSmFactory, p);
  }
  void vflBcLagGroupSmDel() { vflBcLagGroupSm_.del(); }

  // One operation pair per owned record, child and synchronizer: equal
  // arguments keep the present one, other arguments replace it (the old one
  // is deactivated and released). A synchronizer whose service context is
  // unchanged is kept and only handed the new entity manager.
  const auto& cliConfigIs(const std::string& n) { return cliConfig_.is(makeNamed<Lldp::CliConfig>, n); }
  void cliConfigDel() { cliConfig_.del(); }
  const auto& configIs(const std::string& n) { return config_.is(makeNamed<Lldp::Config>, n); }
  void configDel() { config_.del(); }
  const auto& statusIs(const std::string& n) { return status_.is(makeNamed<Lldp::Status>, n); }
  void statusDel() { status_.del(); }
  const auto& allEthPhyIntfStatusDirIs(const std::string& n) {
    return allEthPhyIntfStatusDir_.is(makeNamed<Interface::AllEthPhyIntfStatusDir>, n);
  }
  void allEthPhyIntfStatusDirDel() { allEthPhyIntfStatusDir_.del(); }
  const auto& allIntfStatusDirIs(const std::string& n) {
    return allIntfStatusDir_.is(makeNamed<Interface::AllIntfStatusDir>, n);
  }
  void allIntfStatusDirDel() { allIntfStatusDir_.del(); }
  const auto& allIntfStatusLocalDirIs(const std::string& n) {
    return allIntfStatusLocalDir_.is(makeNamed<Interface::AllIntfStatusLocalDir>, n);
  }
  void allIntfStatusLocalDirDel() { allIntfStatusLocalDir_.del(); }
  const auto& localSystemIs(const std::string& n) { return localSystem_.is(makeNamed<Lldp::LocalSystem>, n); }
  void localSystemDel() { localSystem_.del(); }
  const auto& vornKniIntfMapIs() { return vornKniIntfMap_.is(makeNamed<Vorn::KniIntfMap>, std::string("vornKniIntfMap")); }
  void vornKniIntfMapDel() { vornKniIntfMap_.del(); }
  const auto& lldpSelectedRsForMemberIs() { return lldpSelectedRsForMember_.is(lldpSelectedRsForMemberFactory); }
  void lldpSelectedRsForMemberDel() { lldpSelectedRsForMember_.del(); }
  const auto& protocolRootIs(const std::string& n) {
    return protocolRoot_.is(makeNamed<Lldp::Agent::Protocol::Root>, n);
  }
  void protocolRootDel() { protocolRoot_.del(); }

  template <class... A>
  const auto& vornKniIntfMapperSmIs(const A&... a) {
    return vornKniIntfMapperSm_.is(Vorn::kniIntfMapperSmFactory, a...);
  }
  void vornKniIntfMapperSmDel() { vornKniIntfMapperSm_.del(); }
  const auto& lldpCtxMapperSmIs(const LldpCtxMapperSm::Params& p) {
    return lldpCtxMapperSm_.is(lldpCtxMapperSmFactory, p);
  }
  void lldpCtxMapperSmDel() { lldpCtxMapperSm_.del(); }
  const auto& lldpPopulatorSmIs(const LldpPopulatorSm::Params& p) {
    return lldpPopulatorSm_.is(lldpPopulatorSmFactory, p);
  }
  void lldpPopulatorSmDel() { lldpPopulatorSm_.del(); }
  template <class... A>
  const auto& lldpRemoteSystemSelectorSmIs(const A&... a) {
    return lldpRemoteSystemSelectorSm_.is(lldpRemoteSystemSelectorSmFactory, a...);
  }
  void lldpRemoteSystemSelectorSmDel() { lldpRemoteSystemSelectorSm_.del(); }
  const auto& lldpVornTlvSmIs(const LldpVornTlvSm::Params& p) { return lldpVornTlvSm_.is(lldpVornTlvSmFactory, p); }
  void lldpVornTlvSmDel() { lldpVornTlvSm_.del(); }
  const auto& lldpHigigSmIs(const LldpHigigSm::Params& p) { return lldpHigigSm_.is(lldpHigigSmFactory, p); }
  void lldpHigigSmDel() { lldpHigigSm_.del(); }
  template <class... A>
  const auto& vornMemberFileMgrSmIs(const A&... a) {
    return vornMemberFileMgrSm_.is(Vorn::vornMemberFileMgrSmFactory, a...);
  }
  void vornMemberFileMgrSmDel() { vornMemberFileMgrSm_.del(); }
  template <class... A>
  const auto& lldpStatusSmIs(const A&... a) {
    return lldpStatusSm_.is(lldpStatusSmFactory, a...);
  }
  void lldpStatusSmDel() { lldpStatusSm_.del(); }

  using CtxPtr = Velto::Ptr<Vorn::ServiceCtx>;
  using EmPtr = Velto::Ptr<Lodestore::EntityManager>;
  const SyncPtr& selectorIs(const CtxPtr& c, const EmPtr& em) { return synchronizerIs(selector_, c, em); }
  void selectorDel() { selector_ = nullptr; }
  const SyncPtr& asicsWarmSelectorIs(const CtxPtr& c, const EmPtr& em) {
    return synchronizerIs(asicsWarmSelector_, c, em);
  }
  void asicsWarmSelectorDel() { asicsWarmSelector_ = nullptr; }
  const SyncPtr& bcmsLodestoreSynchronizerIs(const CtxPtr& c, const EmPtr& em) {
    return synchronizerIs(bcmsLodestoreSynchronizer_, c, em);
  }
  void bcmsLodestoreSynchronizerDel() { bcmsLodestoreSynchronizer_ = nullptr; }
  const SyncPtr& lldpStatusLodestoreSynchronizerIs(const CtxPtr& c, const EmPtr& em) {
    return synchronizerIs(lldpStatusLodestoreSynchronizer_, c, em);
  }
  void lldpStatusLodestoreSynchronizerDel() { lldpStatusLodestoreSynchronizer_ = nullptr; }

  // Inputs.
  const Velto::Ptr<Lodestore::EntityManager>& lodestoreEm() const { return lodestoreEm_; }
  Vorn::MemberId memberId() const { return params_.memberId; }
  const Velto::Ptr<Oru::TaskScheduler>& scheduler() const { return params_.scheduler; }
  const Velto::Ptr<KernelNetInfo::Status>& kniStatus() const { return params_.kniStatus; }
  const MemberConfigPtr& memberConfig() const { return params_.memberConfig; }
  bool restoreFromLocal() const { return params_.restoreFromLocal; }
  const Velto::Ptr<VornFabricLldpCtx>& vflCtx() const { return params_.vflCtx; }
  const Velto::Ptr<Vorn::AsicsWarm>& vornAsicsWarm() const { return params_.vornAsicsWarm; }
  const Velto::Ptr<CtxForMember>& ctxForMember() const { return params_.ctxForMember; }
  const Velto::Ptr<Vorn::BackplaneChannelStatus>& backplaneChannelStatus() const {
    return params_.backplaneChannelStatus;
  }
  const Velto::Ptr<Vorn::Lldp::Status>& vornLldpStatus() const { return params_.vornLldpStatus; }
  const Velto::Ptr<VornFabricLldpBcLagGroupInfo>& vflBcLagGroupInfo() const { return params_.vflBcLagGroupInfo; }

  // Owned records and the engine.
  const Velto::Ptr<Lldp::CliConfig>& cliConfig() const { return cliConfig_.get(); }
  const Velto::Ptr<Lldp::Config>& config() const { return config_.get(); }
  const Velto::Ptr<Lldp::Status>& status() const { return status_.get(); }
  const Velto::Ptr<Interface::AllEthPhyIntfStatusDir>& allEthPhyIntfStatusDir() const {
    return allEthPhyIntfStatusDir_.get();
  }
  const Velto::Ptr<Interface::AllIntfStatusDir>& allIntfStatusDir() const { return allIntfStatusDir_.get(); }
  const Velto::Ptr<Interface::AllIntfStatusLocalDir>& allIntfStatusLocalDir() const {
    return allIntfStatusLocalDir_.get();
  }
  const Velto::Ptr<Lldp::LocalSystem>& localSystem() const { return localSystem_.get(); }
  const Velto::Ptr<Vorn::KniIntfMap>& vornKniIntfMap() const { return vornKniIntfMap_.get(); }
  const Velto::Ptr<LldpSelectedRsForMember>& lldpSelectedRsForMember() const { return lldpSelectedRsForMember_.get(); }
  const Velto::Ptr<Lldp::Agent::Protocol::Root>& protocolRoot() const { return protocolRoot_.get(); }

  // Children.
  const Velto::Ptr<Vorn::KniIntfMapperSm>& vornKniIntfMapperSm() const { return vornKniIntfMapperSm_.get(); }
  const Velto::Ptr<LldpCtxMapperSm>& lldpCtxMapperSm() const { return lldpCtxMapperSm_.get(); }
  const Velto::Ptr<LldpPopulatorSm>& lldpPopulatorSm() const { return lldpPopulatorSm_.get(); }
  const Velto::Ptr<LldpRemoteSystemSelectorSm>& lldpRemoteSystemSelectorSm() const {
    return lldpRemoteSystemSelectorSm_.get();
  }
  const Velto::Ptr<LldpVornTlvSm>& lldpVornTlvSm() const { return lldpVornTlvSm_.get(); }
  const Velto::Ptr<LldpHigigSm>& lldpHigigSm() const { return lldpHigigSm_.get(); }
  const Velto::Ptr<Vorn::VornMemberFileMgrSm>& vornMemberFileMgrSm() const { return vornMemberFileMgrSm_.get(); }
  const Velto::Ptr<VornFabricLldpBcLagGroupSm>& vflBcLagGroupSm() const { return vflBcLagGroupSm_.get(); }
  const SyncPtr& selector() const { return selector_; }
  const SyncPtr& asicsWarmSelector() const { return asicsWarmSelector_; }
  const SyncPtr& bcmsLodestoreSynchronizer() const { return bcmsLodestoreSynchronizer_; }
  const SyncPtr& lldpStatusLodestoreSynchronizer() const { return lldpStatusLodestoreSynchronizer_; }
  const Velto::Ptr<Q7Relay::ZemUtils::ListenStatus>& q7ServerStatus() const { return q7ServerStatus_; }
  const Velto::Ptr<LldpStatusSm>& lldpStatusSm() const { return lldpStatusSm_.get(); }

 private:
  // A synchronizer keeps its identity while its service context is the same:
  // a new entity manager is only handed over.
  static const SyncPtr& synchronizerIs(SyncPtr& slot, const CtxPtr& ctx, const EmPtr& em);
  template <class T>
  static Velto::Ptr<T> makeNamed(const std::string& name) {
    return Velto::make<T>(name);
  }
  static std::string memberPath(const char* base, Vorn::MemberId memberId);

  void buildLldpEngine();
  void buildSynchronizers();
  void listenForPeers();

  // Declaration order is the order of notification propagation and
  // destruction.
  Velto::Ptr<Lodestore::EntityManager> lodestoreEm_;
  Params params_;

  Zem::ChildSlot<Lldp::CliConfig, std::string> cliConfig_;
  Zem::ChildSlot<Lldp::Config, std::string> config_;
  Zem::ChildSlot<Lldp::Status, std::string> status_;
  Zem::ChildSlot<Interface::AllEthPhyIntfStatusDir, std::string> allEthPhyIntfStatusDir_;
  Zem::ChildSlot<Interface::AllIntfStatusDir, std::string> allIntfStatusDir_;
  Zem::ChildSlot<Interface::AllIntfStatusLocalDir, std::string> allIntfStatusLocalDir_;
  Zem::ChildSlot<Lldp::LocalSystem, std::string> localSystem_;
  Zem::ChildSlot<Vorn::KniIntfMap, std::string> vornKniIntfMap_;
  Zem::ChildSlot<LldpSelectedRsForMember> lldpSelectedRsForMember_;
  Zem::ChildSlot<Lldp::Agent::Protocol::Root, std::string> protocolRoot_;

  Zem::ChildSlot<Vorn::KniIntfMapperSm, Velto::Ptr<const KernelNetInfo::Status>, Velto::Ptr<Vorn::KniIntfMap>>
      vornKniIntfMapperSm_;
  Zem::ChildSlot<LldpCtxMapperSm, LldpCtxMapperSm::Params> lldpCtxMapperSm_;
  Zem::ChildSlot<LldpPopulatorSm, LldpPopulatorSm::Params> lldpPopulatorSm_;
  Zem::ChildSlot<LldpRemoteSystemSelectorSm, Velto::Ptr<const Lldp::Status>, Velto::Ptr<LldpSelectedRsForMember>>
      lldpRemoteSystemSelectorSm_;
  Zem::ChildSlot<LldpVornTlvSm, LldpVornTlvSm::Params> lldpVornTlvSm_;
  Zem::ChildSlot<LldpHigigSm, LldpHigigSm::Params> lldpHigigSm_;
  Zem::ChildSlot<Vorn::VornMemberFileMgrSm, std::string, Velto::Ptr<const Vorn::MemberConfig>> vornMemberFileMgrSm_;
  Zem::ChildSlot<VornFabricLldpBcLagGroupSm, VornFabricLldpBcLagGroupSm::Params> vflBcLagGroupSm_;
  SyncPtr selector_;
  Velto::Ptr<Q7Relay::ZemUtils::ListenStatus> q7ServerStatus_;
  SyncPtr asicsWarmSelector_;
  SyncPtr bcmsLodestoreSynchronizer_;
  SyncPtr lldpStatusLodestoreSynchronizer_;
  Zem::ChildSlot<LldpStatusSm, Velto::Ptr<const Lldp::Status>, Velto::Ptr<Vorn::Lldp::Status>> lldpStatusSm_;
};

Velto::Ptr<AgentSm> agentSmFactory(AgentSm::Params params);
// The creator other units know the root state machine by; the same as the factory.
inline constexpr auto AgentSmIs = agentSmFactory;

// What the two agent classes share: kernel namespace plumbing, the agent's
// own records and the root state machine.
class AgentBase : public ::AgentBase::CAgent {
 public:
  explicit AgentBase(std::string name) : ::AgentBase::CAgent(std::move(name)) {}
  ~AgentBase() override;

  void doPreInit() override;
  void doInitCommon();
  void handleLodestoreConnectCommon(const Velto::Ptr<Lodestore::EntityManager>& em);

  // Equal inputs keep the present root.
  const Velto::Ptr<AgentSm>& rootSmIs(const AgentSm::Params& p) { return rootSm_.is(agentSmFactory, p); }
  void rootSmDel() { rootSm_.del(); }
  const Velto::Ptr<AgentSm>& rootSm() const { return rootSm_.get(); }

  const Velto::Ptr<Lodestore::EntityManager>& lodestoreEm() const { return lodestoreEm_; }
  void lodestoreEmIs(Velto::Ptr<Lodestore::EntityManager> em) { lodestoreEm_ = std::move(em); }
  const Velto::Ptr<KernelNetNsInfo::Root>& netNsRoot() const { return netNsRoot_; }
  void netNsRootIs(const std::string& name);
  void netNsRootDel() { netNsRoot_ = nullptr; }
  const Velto::Ptr<KernelNetNsInfo::Manager>& netNsManager() const { return netNsManager_; }
  void netNsManagerIs(const Velto::Ptr<KernelNetNsInfo::Root>& root);
  void netNsManagerDel() { netNsManager_ = nullptr; }
  const Velto::Ptr<KernelNetInfo::KniSm>& kniSm() const { return kniSm_; }
  void kniSmIs(const Velto::Ptr<KernelNetNsInfo::Root>& root, const Velto::Ptr<Zem::Entity>& em);
  void kniSmDel() { kniSm_ = nullptr; }
  const KernelNetNsInfo::NetlinkConfig& netlinkConfig() const { return netlinkConfig_; }
  void netlinkConfigIs(const KernelNetNsInfo::NetlinkConfig& c) { netlinkConfig_ = c; }
  const Velto::Ptr<KernelNetInfo::Status>& kniStatus() const { return kniStatus_; }
  void kniStatusIs(Velto::Ptr<KernelNetInfo::Status> s) { kniStatus_ = std::move(s); }
  const Velto::Ptr<Vorn::MemberConfig>& memberConfig() const { return memberConfig_; }
  void memberConfigIs(Velto::Ptr<Vorn::MemberConfig> c) { memberConfig_ = std::move(c); }
  const Velto::Ptr<Vorn::BackplaneChannelStatus>& backplaneChannelStatus() const { return backplaneChannelStatus_; }
  void backplaneChannelStatusIs(Velto::Ptr<Vorn::BackplaneChannelStatus> s) { backplaneChannelStatus_ = std::move(s); }
  const Velto::Ptr<Vorn::AsicsWarm>& vornAsicsWarm() const { return vornAsicsWarm_; }
  void vornAsicsWarmIs(Velto::Ptr<Vorn::AsicsWarm> w) { vornAsicsWarm_ = std::move(w); }
  const Velto::Ptr<Vorn::Lldp::Status>& vornLldpStatus() const { return vornLldpStatus_; }
  void vornLldpStatusIs(Velto::Ptr<Vorn::Lldp::Status> s) { vornLldpStatus_ = std::move(s); }
  const Velto::Ptr<VornFabricLldpCtx>& vflCtx() const { return vflCtx_; }
  void vflCtxIs() { vflCtx_ = vornFabricLldpCtxFactory(); }
  void vflCtxDel() { vflCtx_ = nullptr; }
  const Velto::Ptr<VornFabricLldpBcLagGroupInfo>& vflBcLagGroupInfo() const { return vflBcLagGroupInfo_; }
  void vflBcLagGroupInfoIs() { vflBcLagGroupInfo_ = vornFabricLldpBcLagGroupInfoFactory(); }
  void vflBcLagGroupInfoDel() { vflBcLagGroupInfo_ = nullptr; }
  const Velto::Ptr<Interface::EthLagIntfStatusDir>& ethLagIntfStatusDir() const { return ethLagIntfStatusDir_; }
  void ethLagIntfStatusDirIs(Velto::Ptr<Interface::EthLagIntfStatusDir> d) { ethLagIntfStatusDir_ = std::move(d); }

 protected:
  // Releases the root state machine, then the kernel plumbing and the
  // agent's own records; a derived agent calls it before dropping its own.
  void tearDown();

 private:
  Velto::Ptr<Lodestore::EntityManager> lodestoreEm_;
  Zem::ChildSlot<AgentSm, AgentSm::Params> rootSm_;
  Velto::Ptr<KernelNetNsInfo::Root> netNsRoot_;
  Velto::Ptr<KernelNetNsInfo::Manager> netNsManager_;
  Velto::Ptr<KernelNetInfo::KniSm> kniSm_;
  KernelNetNsInfo::NetlinkConfig netlinkConfig_{};
  Velto::Ptr<KernelNetInfo::Status> kniStatus_;
  Velto::Ptr<Vorn::MemberConfig> memberConfig_;
  Velto::Ptr<Vorn::BackplaneChannelStatus> backplaneChannelStatus_;
  Velto::Ptr<Vorn::AsicsWarm> vornAsicsWarm_;
  Velto::Ptr<Vorn::Lldp::Status> vornLldpStatus_;
  Velto::Ptr<VornFabricLldpCtx> vflCtx_;
  Velto::Ptr<VornFabricLldpBcLagGroupInfo> vflBcLagGroupInfo_;
  Velto::Ptr<Interface::EthLagIntfStatusDir> ethLagIntfStatusDir_;
};

// The agent of a group member.
class Agent : public AgentBase {
 public:
  explicit Agent(std::string name) : AgentBase(std::move(name)) {}
  ~Agent() override;

  void doInit() override;
  void doMountsComplete(Lodestore::MountStatus mountStatus, const Velto::Ptr<Lodestore::EntityManager>& em) override;
  void handleLodestoreConnect(const Velto::Ptr<Lodestore::EntityManager>& em) override;
  void handleLodestoreDisconnect() override;

  const Velto::Ptr<CtxForMember>& ctxForMember() const { return ctxForMember_; }
  void ctxForMemberIs(Velto::Ptr<CtxForMember> c) { ctxForMember_ = std::move(c); }

 private:
  Velto::Ptr<CtxForMember> ctxForMember_;
};

// The agent of a switch about to join a group.
class CandidateAgent : public AgentBase {
 public:
  explicit CandidateAgent(std::string name) : AgentBase(std::move(name)) {}
  ~CandidateAgent() override;

  void doInit() override;
  void doMountsComplete(Lodestore::MountStatus mountStatus, const Velto::Ptr<Lodestore::EntityManager>& em) override;
  void handleLodestoreConnect(const Velto::Ptr<Lodestore::EntityManager>& em) override;
  void handleLodestoreDisconnect() override;

  void maybeCreateAgentSm();

  const Velto::Ptr<const Vorn::VornStatus>& vornStatus() const { return vornStatus_; }
  void vornStatusIs(const Velto::Ptr<const Vorn::VornStatus>& s);
  const Velto::Ptr<Zem::Dir>& memberConfigDir() const { return memberConfigDir_; }
  void memberConfigDirIs(const Velto::Ptr<Zem::Dir>& d);
  const Velto::Ptr<Zem::Dir>& bcStatusDir() const { return bcStatusDir_; }
  void bcStatusDirIs(const Velto::Ptr<Zem::Dir>& d) { bcStatusDir_ = d; }
  const Velto::Ptr<Zem::Dir>& vornLldpStatusDir() const { return vornLldpStatusDir_; }
  void vornLldpStatusDirIs(const Velto::Ptr<Zem::Dir>& d);
  static inline const Zem::AttrInfo vornLldpStatusDirAttr{"vornLldpStatusDir"};
  const Velto::Ptr<CtxForMember>& ctxForMember() const { return ctxForMember_; }
  void ctxForMemberIs(const std::string& name);
  void ctxForMemberDel() { ctxForMember_ = nullptr; }

 private:
  static bool isMemberConfig(const Zem::Entity* e);

  Velto::Ptr<const Vorn::VornStatus> vornStatus_;
  Velto::Ptr<Zem::Dir> memberConfigDir_;
  Velto::Ptr<Zem::Dir> bcStatusDir_;
  Velto::Ptr<Zem::Dir> vornLldpStatusDir_;
  Velto::Ptr<CtxForMember> ctxForMember_;
  Zem::Reactor vornStatusReactor_;
  Zem::Reactor memberConfigDirReactor_;
};

}  // namespace VornFabricLldp

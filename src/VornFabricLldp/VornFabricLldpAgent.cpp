#include "VornFabricLldp/VornFabricLldpAgent.h"

#include "platform/events/Events.h"
#include "platform/framework/Assert.h"
#include "platform/toggles/Toggles.h"
#include "platform/trace/Ringlog.h"
#include "platform/vorn/Group.h"

namespace VornFabricLldp {
namespace {
const Ringlog::Handle traceHandle{"Vorn::VornFabricLldp"};
}  // namespace

// ===========================================================================
// AgentSm

AgentSm::AgentSm(Params params) : params_(std::move(params)) {
  handleInitialized();
}

AgentSm::~AgentSm() {
  hasNotificationActiveIs(false);
  // Owned records first, in declaration order; the children still hold what
  // they use, so nothing disappears under a running state machine.
  cliConfig_.del();
  config_.del();
  status_.del();
  allEthPhyIntfStatusDir_.del();
  allIntfStatusDir_.del();
  allIntfStatusLocalDir_.del();
  localSystem_.del();
  vornKniIntfMap_.del();
  lldpSelectedRsForMember_.del();
  protocolRoot_.del();
  // Then the state machines, each deactivated and released in turn.
  vornKniIntfMapperSm_.del();
  lldpCtxMapperSm_.del();
  lldpPopulatorSm_.del();
  lldpRemoteSystemSelectorSm_.del();
  lldpVornTlvSm_.del();
  lldpHigigSm_.del();
  vornMemberFileMgrSm_.del();
  vflBcLagGroupSm_.del();
  // Synchronizers go without being stopped: the state database keeps the
  // last published copy for the next instance.
  selector_ = nullptr;
  asicsWarmSelector_ = nullptr;
  bcmsLodestoreSynchronizer_ = nullptr;
  lldpStatusLodestoreSynchronizer_ = nullptr;
  lldpStatusSm_.del();
  q7ServerStatus_ = nullptr;
}

void AgentSm::hasNotificationActiveIs(bool active) {
  if (active == hasNotificationActive()) return;
  Zem::StateMachine::hasNotificationActiveIs(active);
  auto pass = [active](const auto& child) {
    if (child) child->hasNotificationActiveIs(active);
  };
  pass(vornKniIntfMapperSm());
  pass(lldpCtxMapperSm());
  pass(lldpPopulatorSm());
  pass(lldpRemoteSystemSelectorSm());
  pass(lldpVornTlvSm());
  pass(lldpHigigSm());
  pass(vornMemberFileMgrSm());
  pass(vflBcLagGroupSm());
  pass(lldpStatusSm());
}

std::string AgentSm::memberPath(const char* base, Vorn::MemberId memberId) {
  return fmt::format("{}/{}", base, memberId.stringValue());
}

const AgentSm::SyncPtr& AgentSm::synchronizerIs(SyncPtr& slot, const CtxPtr& ctx, const EmPtr& em) {
  if (slot && slot->serviceCtx() == ctx) {
    slot->lodestoreEmIs(em);
  } else {
    slot = Velto::make<Vorn::ServiceLocalRemoteSynchronizer>(ctx, em);
  }
  return slot;
}

void AgentSm::buildLldpEngine() {
  const auto& root = protocolRootIs("protocolRoot");
  root->ethPhyIntfStatusDirIs(allEthPhyIntfStatusDir());
  root->configIs(config());
  root->statusIs(status());
  root->localSystemIs(localSystem());
  root->deviceIntfStatusDirIs("deviceIntfStatusDir");
  auto managerRoot = root->intfStatusManagerRootIs(allIntfStatusDir(), allIntfStatusLocalDir(), false);
  managerRoot->intfStatusManagerIs(root->deviceIntfStatusDir(), kniStatus(), Kivo::NamespaceName::defaultNamespace());
  root->desiredIntfDirIs("desiredIntfDir");
  root->pamCollectionIs("pamCollection");
  root->doInitializePamMan();
  root->protocolSmIs(root->pamCollection(), localSystem(), root, allEthPhyIntfStatusDir(), config(), status());
}

void AgentSm::handleInitialized() {
  TRACE0("");
  cliConfigIs("cliConfig")->enabledIs(true);
  configIs("config");
  statusIs("status");
  allEthPhyIntfStatusDirIs("allEthPhyIntfStatusDir");
  allIntfStatusDirIs("allIntfStatusDir");
  allIntfStatusLocalDirIs("allIntfStatusLocalDir");
  localSystemIs("localSystem");
  buildLldpEngine();

  lldpSelectedRsForMemberIs();
  vornKniIntfMapIs();
  vornKniIntfMapperSmIs(kniStatus(), vornKniIntfMap());

  const auto role = Vorn::role();
  ZEM_ASSERT(role.hasValue());
  // After a restart on a member switch the state database still holds the
  // published context, so stale receive information is held for a while;
  // a candidate never restores anything.
  const bool restoreFromLocalBackup = *role != Vorn::candidate() && !restoreFromLocal();
  lldpCtxMapperSmIs({.smid = memberId(),
                     .scheduler = scheduler(),
                     .memberConfig = memberConfig(),
                     .selectedRs = lldpSelectedRsForMember(),
                     .restoreFromLocalBackup = restoreFromLocalBackup,
                     .ctxForMember = ctxForMember()});
  lldpPopulatorSmIs({.smid = memberId(),
                     .kniStatus = kniStatus(),
                     .kniIntfMap = vornKniIntfMap(),
                     .memberConfig = memberConfig(),
                     .config = config(),
                     .status = status(),
                     .allEthPhyIntfStatusDir = allEthPhyIntfStatusDir(),
                     .allIntfStatusDir = allIntfStatusDir(),
                     .localSystem = localSystem(),
                     .desiredIntfDir = protocolRoot()->desiredIntfDir()});
  lldpRemoteSystemSelectorSmIs(status(), lldpSelectedRsForMember());
  lldpVornTlvSmIs({.smid = memberId(),
                   .role = *role,
                   .ctxForMember = ctxForMember(),
                   .localSystem = localSystem(),
                   .vflCtx = vflCtx(),
                   .vflBcLagGroupInfo = vflBcLagGroupInfo()});
  if (Vorn::isMember()) {
    vornMemberFileMgrSmIs(std::string(VornBootConstants::vornConfigFilePath), memberConfig());
  }
  protocolRoot()->onOffSwitchSmIs(cliConfig(), protocolRoot()->ethDevPamManager());
  lldpStatusSmIs(status(), vornLldpStatus());
  TRACE0("restoreFromLocal={}", restoreFromLocal());

  buildSynchronizers();
  lldpHigigSmIs({.smid = memberId(),
                 .role = *role,
                 .scheduler = scheduler(),
                 .selector = selector_,
                 .ctxForMember = ctxForMember(),
                 .config = config(),
                 .status = status(),
                 .vornAsicsWarm = vornAsicsWarm(),
                 .negotiatedBcStatus = backplaneChannelStatus()});
  listenForPeers();
}

void AgentSm::buildSynchronizers() {
  ZEM_ASSERT(memberConfig() != nullptr);
  const std::string configPath = fmt::format("{}/{}", "vorn/memberConfig", memberConfig()->name());
  auto configCtx = Velto::make<Vorn::ServiceCtx>(memberConfig(), configPath, configPath, restoreFromLocal());
  configCtx->localStateReaderIs(Velto::make<Vorn::VornConfigLocalReader>(configCtx));
  selectorIs(configCtx, nullptr);
  selector_->initialize();

  if (vornAsicsWarm()) {
    auto ctx =
        Velto::make<Vorn::ServiceCtx>(vornAsicsWarm(), vornAsicsWarm()->fullName(), "vorn/hardware/asicsWarm", false);
    ctx->localStateReaderIs(Velto::make<Vorn::NoopStateReader>());
    asicsWarmSelectorIs(ctx, nullptr);
    asicsWarmSelector_->initialize();
  }

  // This switch writes its backplane channel status and LLDP status; the
  // state database only carries them to the others.
  auto bcCtx = Velto::make<Vorn::ServiceCtx>(backplaneChannelStatus(), memberPath("vorn/bcStatus", memberId()),
                                             memberPath("vorn/dtd/bcStatus", memberId()), false);
  bcCtx->remoteIsWriterIs(false);
  bcCtx->localStateReaderIs(Velto::make<Vorn::NoopStateReader>());
  bcmsLodestoreSynchronizerIs(bcCtx, nullptr);
  bcmsLodestoreSynchronizer_->initialize();

  const std::string lldpPath = memberPath("vorn/lldp/status", memberId());
  auto lldpCtx = Velto::make<Vorn::ServiceCtx>(vornLldpStatus(), lldpPath, lldpPath, false);
  lldpCtx->remoteIsWriterIs(false);
  lldpCtx->localStateReaderIs(Velto::make<Vorn::NoopStateReader>());
  lldpStatusLodestoreSynchronizerIs(lldpCtx, nullptr);
  lldpStatusLodestoreSynchronizer_->initialize();
}

void AgentSm::listenForPeers() {
  const auto key = Q7Relay::ZemUtils::ConnectionKey::ipAndPort("0.0.0.0", 5546);
  const Q7Relay::ZemUtils::TcpConfig tcp(key, std::nullopt, 0.0, 1, 9, 3, 0.1, 2.0, 3600.0, false);
  q7ServerStatus_ = Q7Relay::ZemUtils::Api::listen(tcp);
}

void AgentSm::handleLodestoreConnect(const Velto::Ptr<Lodestore::EntityManager>& em) {
  TRACE0("");
  ZEM_ASSERT(em);
  lodestoreEm_ = em;
  ZEM_ASSERT(selector());
  selector_->startLodestoreSync(lodestoreEm_);
  ZEM_ASSERT(asicsWarmSelector());
  asicsWarmSelector_->startLodestoreSync(lodestoreEm_);
  ZEM_ASSERT(bcmsLodestoreSynchronizer());
  bcmsLodestoreSynchronizer_->startLodestoreSync(lodestoreEm_);
  ZEM_ASSERT(lldpStatusLodestoreSynchronizer());
  lldpStatusLodestoreSynchronizer_->startLodestoreSync(lodestoreEm_);
}

void AgentSm::handleLodestoreDisconnect() {
  TRACE0("");
  for (const auto* sync : {&selector_, &asicsWarmSelector_, &bcmsLodestoreSynchronizer_,
                           &lldpStatusLodestoreSynchronizer_}) {
    if (*sync) (*sync)->stopLodestoreSync();
  }
}

Velto::Ptr<AgentSm> agentSmFactory(AgentSm::Params params) {
  auto sm = Velto::make<AgentSm>(std::move(params));
  sm->hasNotificationActiveIs(true);
  return sm;
}

// ===========================================================================
// AgentBase

AgentBase::~AgentBase() { tearDown(); }

void AgentBase::tearDown() {
  rootSmDel();
  netNsRootDel();
  netNsManagerDel();
  kniSmDel();
  vflCtxDel();
  vflBcLagGroupInfoDel();
}

void AgentBase::doPreInit() { agentLodestoreNameIs("VornFabricLldp-" + agentName()); }

void AgentBase::doInitCommon() {
  Ringlog::initialize();
  TRACE0("Initialize agent");
  vflCtxIs();
  vflBcLagGroupInfoIs();
  netlinkConfigIs(KernelNetNsInfo::NetlinkConfig{1, 1});
  netNsRootIs("netNsRoot");
  netNsManagerIs(netNsRoot());
  kniSmIs(netNsRoot(), entityManager());
  kniStatusIs(kniSm()->kniNsSm(Kivo::NamespaceName::defaultNamespace())->status());
}

void AgentBase::netNsRootIs(const std::string& name) {
  netNsRoot_ = Velto::make<KernelNetNsInfo::Root>(name);
  netNsRoot_->netlinkConfigIs(netlinkConfig_);
}

void AgentBase::netNsManagerIs(const Velto::Ptr<KernelNetNsInfo::Root>& root) {
  netNsManager_ = KernelNetNsInfo::Manager::ManagerIs(root);
}

void AgentBase::kniSmIs(const Velto::Ptr<KernelNetNsInfo::Root>& root, const Velto::Ptr<Zem::Entity>& em) {
  kniSm_ = KernelNetInfo::KniSm::KniSmIs(root, em);
}

void AgentBase::handleLodestoreConnectCommon(const Velto::Ptr<Lodestore::EntityManager>& em) {
  TRACE0("Connected to Lodestore");
  lodestoreEmIs(em);
  Events::emit(Events::Kind::stateDatabase, "", {{"connected", "true"}});
  if (getToggleState("VornLldpLodestoreConnectTlv", "VornCore.json", true)) vflCtx()->lodestoreConnectedIs(true);
}

// ===========================================================================
// Agent

namespace {
constexpr const char* kBackupMemberConfigDir = "/backup/vorn/memberConfig";
constexpr const char* kBackupContext = "/backup/vorn/lldp/context";
constexpr const char* kBackupLldpStatusDir = "/backup/vorn/lldp/status";
constexpr const char* kEthLagStatus = "interface/status/eth/lag";

bool lagGroupMismatchEnabled() { return getToggleState("VornLagGroupMismatch", "VornCore.json", true); }
}  // namespace

Agent::~Agent() {
  // The root goes before the records it runs on, as in the base.
  tearDown();
  ctxForMember_ = nullptr;
}

void Agent::doInit() {
  TRACE0("Initialize Agent");
  doInitCommon();
  const auto& em = entityManager();
  const std::string bcStatusPath = fmt::format("/backup/{}/{}", "vorn/bcStatus", agentName());
  auto group = em->mountGroup();
  auto mount = [&group](const std::string& path, const char* type, const char* flagString) {
    Lodestore::MountFlags flags;
    flags.mountFlagsIs(0);
    flags.mountFlagsIs(flagString);
    group->doMount(path, type, flags);
  };
  mount(fmt::format("/backup/{}", "vorn/memberConfig"), "Zem::Dir", "L");
  mount("vorn/hardware/asicsWarm", "Vorn::AsicsWarm", "rc");
  mount(fmt::format("/backup/{}", "vorn/lldp/context"), "VornFabricLldp::CtxForMember", "L");
  mount(bcStatusPath, "Vorn::BackplaneChannelStatus", "L");
  mount(kBackupLldpStatusDir, "Zem::Dir", "L");
  group->doClose(true, "mounting local backed up entity", 10.0);

  ctxForMemberIs(Velto::dynamicPtrCast<CtxForMember>(em->getEntity(kBackupContext)));
  backplaneChannelStatusIs(Velto::dynamicPtrCast<Vorn::BackplaneChannelStatus>(em->getEntity(bcStatusPath)));
  const bool restoreFromLocal = !em->stateDatabaseAvailable();
  if (auto dir = Velto::dynamicPtrCast<Zem::Dir>(em->getEntity(kBackupMemberConfigDir))) {
    memberConfigIs(
        Velto::dynamicPtrCast<Vorn::MemberConfig>(dir->createEntity(agentName(), "Vorn::LocalMemberConfig")));
  }
  vornAsicsWarmIs(Velto::dynamicPtrCast<Vorn::AsicsWarm>(em->getEntity("vorn/hardware/asicsWarm")));
  if (auto dir = Velto::dynamicPtrCast<Zem::Dir>(em->getEntity(kBackupLldpStatusDir))) {
    vornLldpStatusIs(Velto::dynamicPtrCast<Vorn::Lldp::Status>(dir->createEntity(agentName(), "Vorn::Lldp::LocalStatus")));
  }
  ZEM_ASSERT(Vorn::role() != Vorn::candidate());
  TRACE0("Using memberId={}", Vorn::memberId());
  rootSmIs({.memberId = Vorn::memberId(),
            .scheduler = taskScheduler(),
            .kniStatus = kniStatus(),
            .memberConfig = memberConfig(),
            .vornAsicsWarm = vornAsicsWarm(),
            .ctxForMember = ctxForMember_,
            .backplaneChannelStatus = backplaneChannelStatus(),
            .vornLldpStatus = vornLldpStatus(),
            .restoreFromLocal = restoreFromLocal,
            .vflCtx = vflCtx(),
            .vflBcLagGroupInfo = vflBcLagGroupInfo()});
}

void Agent::handleLodestoreConnect(const Velto::Ptr<Lodestore::EntityManager>& em) {
  TRACE0("");
  handleLodestoreConnectCommon(em);
  auto group = em->mountGroup();
  group->doMountPath(kEthLagStatus);
  group->doClose(false, "", 0);
  ZEM_ASSERT(rootSm());
  rootSm()->handleLodestoreConnect(em);
}

void Agent::doMountsComplete(Lodestore::MountStatus mountStatus, const Velto::Ptr<Lodestore::EntityManager>& em) {
  TRACE0("");
  ZEM_ASSERT(mountStatus == Lodestore::mountSuccess());
  ethLagIntfStatusDirIs(Velto::dynamicPtrCast<Interface::EthLagIntfStatusDir>(em->getEntity(kEthLagStatus)));
  if (lagGroupMismatchEnabled()) {
    rootSm()->vflBcLagGroupSmIs({.smid = Vorn::memberId(),
                                 .role = Vorn::role().valueOr(Vorn::candidate()),
                                 .memberConfig = memberConfig(),
                                 .ctxForMember = rootSm()->ctxForMember(),
                                 .bcStatus = rootSm()->backplaneChannelStatus(),
                                 .ethLagIntfStatusDir = ethLagIntfStatusDir(),
                                 .vflBcLagGroupInfo = vflBcLagGroupInfo()});
  }
}

void Agent::handleLodestoreDisconnect() {
  TRACE0("");
  lodestoreEmIs(nullptr);
  Events::emit(Events::Kind::stateDatabase, "", {{"connected", "false"}});
  vflCtx()->lodestoreConnectedIs(false);
  ZEM_ASSERT(rootSm());
  rootSm()->handleLodestoreDisconnect();
}

// ===========================================================================
// CandidateAgent

CandidateAgent::~CandidateAgent() {
  vornStatusReactor_.reset();
  memberConfigDirReactor_.reset();
  ctxForMemberDel();
}

void CandidateAgent::doInit() {
  TRACE0("Initialize CandidateAgent");
  doInitCommon();
  ZEM_ASSERT(Vorn::role() == Vorn::candidate());
  TRACE0("Waiting for the candidate member ID");
}

void CandidateAgent::handleLodestoreConnect(const Velto::Ptr<Lodestore::EntityManager>& em) {
  TRACE0("");
  handleLodestoreConnectCommon(em);
  auto group = em->mountGroup();
  for (const char* path : {"vorn/status", "vorn/dtd/bcStatus", "vorn/memberConfig", "vorn/lldp/status", kEthLagStatus}) {
    group->doMountPath(path);
  }
  group->doClose(false, "", 0);
}

void CandidateAgent::handleLodestoreDisconnect() {
  // The candidate keeps running on what it has; the flag still follows the
  // connection so peers are told the truth.
  TRACE0("");
  lodestoreEmIs(nullptr);
  Events::emit(Events::Kind::stateDatabase, "", {{"connected", "false"}});
  vflCtx()->lodestoreConnectedIs(false);
}

void CandidateAgent::doMountsComplete(Lodestore::MountStatus mountStatus,
                                      const Velto::Ptr<Lodestore::EntityManager>& em) {
  TRACE0("");
  ZEM_ASSERT(mountStatus == Lodestore::mountSuccess());
  ethLagIntfStatusDirIs(Velto::dynamicPtrCast<Interface::EthLagIntfStatusDir>(em->getEntity(kEthLagStatus)));
  memberConfigDirIs(Velto::dynamicPtrCast<Zem::Dir>(em->getEntity("vorn/memberConfig")));
  bcStatusDirIs(Velto::dynamicPtrCast<Zem::Dir>(em->getEntity("vorn/dtd/bcStatus")));
  vornLldpStatusDirIs(Velto::dynamicPtrCast<Zem::Dir>(em->getEntity("vorn/lldp/status")));
  vornStatusIs(Velto::dynamicPtrCast<Vorn::VornStatus>(em->getEntity("vorn/status")));
}

bool CandidateAgent::isMemberConfig(const Zem::Entity* e) {
  return dynamic_cast<const Vorn::MemberConfig*>(e) != nullptr;
}

void CandidateAgent::vornLldpStatusDirIs(const Velto::Ptr<Zem::Dir>& d) {
  if (d == vornLldpStatusDir_) return;
  Velto::Ptr<Zem::Dir> prev = std::move(vornLldpStatusDir_);
  vornLldpStatusDir_ = d;
  maybeCreateAgentSm();
  // Subscribers hear of the directory only once the root that mirrors into
  // it exists.
  publish(Zem::Change{this, &vornLldpStatusDirAttr, nullptr, &prev, nullptr});
}

void CandidateAgent::vornStatusIs(const Velto::Ptr<const Vorn::VornStatus>& s) {
  if (s == vornStatus_) return;
  const bool either = s || vornStatus_;
  vornStatus_ = s;
  vornStatusReactor_ = s ? s->subscribe([this](const Zem::Change& c) {
    if (c.is(Vorn::VornStatus::candidateMemberIdAttr)) maybeCreateAgentSm();
  })
                         : Zem::Reactor();
  if (either) maybeCreateAgentSm();
}

void CandidateAgent::memberConfigDirIs(const Velto::Ptr<Zem::Dir>& d) {
  if (d == memberConfigDir_) return;
  auto old = std::move(memberConfigDir_);
  memberConfigDir_ = d;
  memberConfigDirReactor_ = d ? d->subscribe([this](const Zem::Change& c) {
    auto entry = Zem::delta(c, Zem::Dir::entryAttr);
    if (!entry || entry->changedInside()) return;
    if (isMemberConfig(entry->prev) || isMemberConfig(entry->now)) maybeCreateAgentSm();
  })
                              : Zem::Reactor();
  // Every entry of the new directory, then every one only the old one had.
  Zem::replayDelta(old.get(), d.get(), Zem::Dir::entryAttr, Zem::ReplayOrder::newFirst(), [this](const auto& entry) {
    if (isMemberConfig(entry.now ? entry.now : entry.prev)) maybeCreateAgentSm();
  });
}

void CandidateAgent::ctxForMemberIs(const std::string& name) { ctxForMember_ = Velto::make<CtxForMember>(name); }

void CandidateAgent::maybeCreateAgentSm() {
  TRACE6("");
  if (rootSm()) {
    TRACE6("Root SM already exists; returning");
    return;
  }
  if (!vornStatus_) {
    TRACE6("No vornStatus; returning");
    return;
  }
  const auto candidateMemberId = vornStatus_->candidateMemberId();
  TRACE6("candidateMemberId={}", candidateMemberId);
  if (!candidateMemberId) {
    TRACE6("No candidateMemberId; returning");
    return;
  }
  const Vorn::MemberId memberId = *candidateMemberId;
  const std::string name = memberId.stringValue();
  ZEM_ASSERT(bcStatusDir_);
  auto bcStatus = Velto::dynamicPtrCast<Vorn::BackplaneChannelStatus>(
      bcStatusDir_->createEntity(name, "Vorn::BackplaneChannelStatus"));
  ZEM_ASSERT(bcStatus != nullptr);
  auto memberConfig = memberConfigDir_ ? Velto::dynamicPtrCast<Vorn::MemberConfig>(memberConfigDir_->entry(name))
                                       : Velto::Ptr<Vorn::MemberConfig>();
  if (!memberConfig) {
    TRACE6("No memberConfig; returning");
    return;
  }
  ZEM_ASSERT(vornLldpStatusDir_);
  vornLldpStatusIs(
      Velto::dynamicPtrCast<Vorn::Lldp::Status>(vornLldpStatusDir_->createEntity(name, "Vorn::Lldp::Status")));
  ZEM_ASSERT(vornLldpStatus() != nullptr);
  ctxForMemberIs("ctxForMember");
  TRACE6("Using memberId={}", memberId);
  rootSmIs({.memberId = memberId,
            .scheduler = taskScheduler(),
            .kniStatus = kniStatus(),
            .memberConfig = memberConfig,
            .vornAsicsWarm = vornAsicsWarm(),
            .ctxForMember = ctxForMember_,
            .backplaneChannelStatus = bcStatus,
            .vornLldpStatus = vornLldpStatus(),
            .restoreFromLocal = false,
            .vflCtx = vflCtx(),
            .vflBcLagGroupInfo = vflBcLagGroupInfo()});
  if (lagGroupMismatchEnabled()) {
    rootSm()->vflBcLagGroupSmIs({.smid = memberId,
                                 .role = Vorn::role().valueOr(Vorn::candidate()),
                                 .memberConfig = memberConfig,
                                 .ctxForMember = rootSm()->ctxForMember(),
                                 .bcStatus = rootSm()->backplaneChannelStatus(),
                                 .ethLagIntfStatusDir = ethLagIntfStatusDir(),
                                 .vflBcLagGroupInfo = vflBcLagGroupInfo()});
  }
}

}  // namespace VornFabricLldp

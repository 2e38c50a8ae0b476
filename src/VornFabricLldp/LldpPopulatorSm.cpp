#include "VornFabricLldp/LldpPopulatorSm.h"

#include "platform/framework/Assert.h"
#include "platform/scheduler/Scheduler.h"
#include "platform/toggles/Toggles.h"
#include "platform/trace/Ringlog.h"
#include "platform/vorn/Group.h"

#include <string>
#include <unordered_set>
#include <vector>

namespace VornFabricLldp {

namespace {
const Ringlog::Handle traceHandle{"Vorn::VornFabricLldp"};

// The six bytes of a MAC address as an LLDP chassis ID.
Lldp::ChassisId chassisIdOf(const Kivo::EthAddr& addr) {
  const auto& b = addr.bytes();
  return Lldp::ChassisId(std::string_view(reinterpret_cast<const char*>(b.data()), b.size()));
}
}  // namespace

LldpPopulatorSm::LldpPopulatorSm(Vorn::MemberId smid, Velto::Ptr<const KernelNetInfo::Status> kniStatus,
                                 Velto::Ptr<const Vorn::KniIntfMap> kniIntfMap,
                                 Velto::Ptr<const Vorn::MemberConfig> memberConfig, Velto::Ptr<Lldp::Config> config,
                                 Velto::Ptr<Lldp::Status> status,
                                 Velto::Ptr<Interface::AllEthPhyIntfStatusDir> allEthPhyIntfStatusDir,
                                 Velto::Ptr<Interface::AllIntfStatusDir> allIntfStatusDir,
                                 Velto::Ptr<Lldp::LocalSystem> localSystem,
                                 Velto::Ptr<Interface::PamDesiredIntfDir> desiredIntfDir)
    : smid_(smid),
      kniStatus_(std::move(kniStatus)),
      kniIntfMap_(std::move(kniIntfMap)),
      memberConfig_(std::move(memberConfig)),
      config_(std::move(config)),
      status_(std::move(status)),
      allEthPhyIntfStatusDir_(std::move(allEthPhyIntfStatusDir)),
      allIntfStatusDir_(std::move(allIntfStatusDir)),
      localSystem_(std::move(localSystem)),
      desiredIntfDir_(std::move(desiredIntfDir)) {
  assertInputsPresent();

  kniIntfMapReactor_ = watch(kniIntfMap_, [this](const Zem::Change& c) { onKniIntfMapChange(c); });
  for (const auto& pair : kniIntfMap_->kniIntfIdKeyPair().keys()) handleKniIntfMap(pair);

  memberConfigReactor_ = watch(memberConfig_, [this](const Zem::Change& c) { onMemberConfigChange(c); });
  for (const auto& bcIntf : memberConfig_->bcConfig().keys()) {
    auto channel = memberConfig_->bcConfig(bcIntf);
    for (const auto& memberIntf : channel->memberIntf().keys()) handleMemberConfig(bcIntf, memberIntf);
  }

  handleInitialized();
}

void LldpPopulatorSm::assertInputsPresent() const {
  ZEM_ASSERT(kniStatus() != nullptr);
  ZEM_ASSERT(kniIntfMap() != nullptr);
  ZEM_ASSERT(memberConfig() != nullptr);
  ZEM_ASSERT(config() != nullptr);
  ZEM_ASSERT(status() != nullptr);
  ZEM_ASSERT(allEthPhyIntfStatusDir() != nullptr);
  ZEM_ASSERT(allIntfStatusDir() != nullptr);
  ZEM_ASSERT(localSystem() != nullptr);
  ZEM_ASSERT(desiredIntfDir() != nullptr);
}

bool LldpPopulatorSm::memberConfigHasMember(const Kivo::IntfId& intfId) const {
  for (const auto& [bcIntf, channel] : memberConfig_->bcConfig()) {
    if (channel->memberIntf().has(intfId)) return true;
  }
  return false;
}

void LldpPopulatorSm::addIntf(const Kivo::IntfId& intfId, const KernelNetInfo::InterfaceKey& intfKey) {
  if (!memberConfigHasMember(intfId)) {
    TRACE6("memberIntf {} not in memberConfig; skipping addition", intfId);
    return;
  }
  if (!kniIntfMap_->kniIntfIdKeyPairHas(Vorn::KniIntfIdKeyPair{intfId, intfKey})) {
    TRACE6("intfKey {} not in kniIntfMap; skipping addition", intfKey);
    return;
  }
  assertOutputsConsistent(intfId);
  if (localSystem_->localPort().has(intfId)) {
    TRACE6("memberIntf {} already populated; skipping addition", intfId);
    return;
  }
  const KernelNetInfo::Interface kni = kniStatus_->interface(intfKey);
  ZEM_ASSERT_MSG(kni != KernelNetInfo::Interface{}, "kni status for intfKey {} does not exist", intfKey);
  // Built before any output is written: a name too long for an LLDP port ID
  // throws here and leaves the interface unpopulated rather than half-made.
  const Lldp::PortId portId(intfId.stringValue());

  TRACE0("add intf {} with ifIndex {}", intfId, kni.key.ifIndex);
  config_->portConfigIs(intfId)->rxRateLimitingEnabledIs(false);
  status_->portStatusIs(intfId, Oru::currentTime());

  auto intfStatus = Velto::make<Interface::EthPhyIntfStatus>(intfId, Velto::make<Interface::IntfConfig>(Kivo::IntfId()),
                                                             0, kni.hwAddr, 0);
  intfStatus->linkStatusIs(Interface::LinkStatus::up);
  intfStatus->addrIs(Vorn::memberMacAddr(smid_));
  intfStatus->deviceNameIs(kni.deviceName);
  allEthPhyIntfStatusDir_->intfStatusIs(intfStatus);
  allIntfStatusDir_->intfStatusIs(intfStatus);

  auto localPort = localSystem_->localPortIs(intfId);
  localPort->portIdIs(portId);
  localPort->portIdSubtypeIs(Lldp::PortIdSubtype::interfaceName);

  desiredIntfDir_->intfDesiredIs(intfId, true);
}

void LldpPopulatorSm::delIntf(const Kivo::IntfId& intfId) {
  TRACE0("del intf {}", intfId);
  config_->portConfigDel(intfId);
  status_->portStatusDel(intfId);
  localSystem_->localPortDel(intfId);
  desiredIntfDir_->intfDesiredDel(intfId);
  allEthPhyIntfStatusDir_->intfStatusDel(intfId);
  allIntfStatusDir_->intfStatusDel(intfId);
}

void LldpPopulatorSm::assertOutputsConsistent(const Kivo::IntfId& intfId) const {
  const bool hasConfig = config_->portConfig().has(intfId);
  const bool hasStatus = status_->portStatus().has(intfId);
  const bool hasEthPhyIntfStatus = allEthPhyIntfStatusDir_->intfStatus().has(intfId);
  const bool hasIntfStatus = allIntfStatusDir_->intfStatus().has(intfId);
  const bool hasLocalPort = localSystem_->localPort().has(intfId);
  const bool hasDesiredIntf = desiredIntfDir_->intfDesiredHas(intfId);
  const bool all = hasConfig && hasStatus && hasEthPhyIntfStatus && hasIntfStatus && hasLocalPort && hasDesiredIntf;
  const bool none =
      !hasConfig && !hasStatus && !hasEthPhyIntfStatus && !hasIntfStatus && !hasLocalPort && !hasDesiredIntf;
  ZEM_ASSERT_MSG(all || none, "config={}, status={}, aepis={}, ais={}, localSystem={}, desiredIntf={}", hasConfig,
                 hasStatus, hasEthPhyIntfStatus, hasIntfStatus, hasLocalPort, hasDesiredIntf);
}

void LldpPopulatorSm::handleKniIntfMap(const Vorn::KniIntfIdKeyPair& pair) {
  TRACE0("kni intf intfId={}, intfKey={}", pair.intfId, pair.intfKey);
  if (!kniIntfMap_->kniIntfIdKeyPairHas(pair)) {
    delIntf(pair.intfId);
  } else if (pair.intfId.typeCode() == Kivo::IntfId::ethernet) {
    addIntf(pair.intfId, pair.intfKey);
  } else {
    TRACE2("IntfId type {} for {} is not ethernet. Skipping addition", pair.intfId.typeCode(), pair.intfId);
  }
}

void LldpPopulatorSm::handleMemberConfig(const Kivo::IntfId& bcIntf, const Kivo::IntfId& memberIntf) {
  TRACE6("bcintf: {}, memberIntf: {}", bcIntf, memberIntf);
  ZEM_ASSERT_MSG(memberIntf.typeCode() == Kivo::IntfId::ethernet, "memberIntf {} not ethernet", memberIntf);
  auto channel = memberConfig_->bcConfig(bcIntf);
  if (!channel || !channel->memberIntf().has(memberIntf)) {
    // The configuration lists each member under one channel, so a removal
    // from this channel is final; other channels are not consulted.
    delIntf(memberIntf);
    return;
  }
  if (auto intfKey = kniIntfMap_->intfIdToIntfKeyGet(memberIntf)) addIntf(memberIntf, *intfKey);
}

void LldpPopulatorSm::handleInitialized() {
  TRACE0("");
  localSystem_->chassisIdIs(chassisIdOf(Vorn::memberMacAddr(smid_)));
  localSystem_->chassisIdSubtypeIs(Lldp::ChassisIdSubtype::macAddress);

  config_->isMessageTxTimeInMsIs(true);
  config_->txDelayIs(0);
  config_->messageTxIntervalIs(txIntervalMs_);
  const bool lowHoldTime = getToggleState("VornFabricLldpLowTxHt", "VornCore.json", true);
  config_->messageTxHoldTimeIs(lowHoldTime ? lowTxHoldTimeMs_ : txHoldTimeMs_);
  config_->syslogsEnabledIs(false);

  removeStaleOutputs();
}

// Outputs an earlier instance of the agent left behind for interfaces that
// are no longer configured members with a kernel interface. Valid outputs are
// left as they are, so the engine keeps its port state across a restart.
void LldpPopulatorSm::removeStaleOutputs() {
  std::unordered_set<Kivo::IntfId> valid;
  for (const auto& [bcIntf, channel] : memberConfig_->bcConfig()) {
    for (const auto& [memberIntf, memberConfig] : channel->memberIntf()) {
      if (kniIntfMap_->intfIdToIntfKeyHas(memberIntf)) valid.insert(memberIntf);
    }
  }
  auto stale = [&valid](const std::vector<Kivo::IntfId>& present) {
    std::vector<Kivo::IntfId> out;
    for (const auto& intf : present) {
      if (!valid.count(intf)) out.push_back(intf);
    }
    return out;
  };
  for (const auto& intf : stale(config_->portConfig().keys())) {
    TRACE0("del stale portConfig {}", intf);
    config_->portConfigDel(intf);
  }
  for (const auto& intf : stale(status_->portStatus().keys())) {
    TRACE0("del stale portStatus {}", intf);
    status_->portStatusDel(intf);
  }
  for (const auto& intf : stale(allEthPhyIntfStatusDir_->intfStatus().keys())) {
    TRACE0("del stale ethPhyIntfStatus {}", intf);
    allEthPhyIntfStatusDir_->intfStatusDel(intf);
  }
  for (const auto& intf : stale(allIntfStatusDir_->intfStatus().keys())) {
    TRACE0("del stale intfStatus {}", intf);
    allIntfStatusDir_->intfStatusDel(intf);
  }
  for (const auto& intf : stale(localSystem_->localPort().keys())) {
    TRACE0("del stale localPort {}", intf);
    localSystem_->localPortDel(intf);
  }
  for (const auto& intf : stale(desiredIntfDir_->intfDesired().keys())) {
    TRACE0("del stale intfDesired {}", intf);
    desiredIntfDir_->intfDesiredDel(intf);
  }
}

void LldpPopulatorSm::onKniIntfMapChange(const Zem::Change& c) {
  Zem::onDelta(c, Vorn::KniIntfMap::kniIntfIdKeyPairAttr, [this](const auto& d) { handleKniIntfMap(d.key); });
}

void LldpPopulatorSm::onMemberConfigChange(const Zem::Change& c) {
  auto bc = Zem::delta(c, Vorn::MemberConfig::bcConfigAttr);
  if (!bc) return;
  const Kivo::IntfId& bcIntf = bc->key;
  if (bc->changedInside()) {
    // Only membership matters here; changes inside a member's own entry
    // (its LAG group) or of the channel's peer do not.
    auto member = Zem::delta(*bc->inner, Vorn::BackplaneChannelConfig::memberIntfAttr);
    if (member && !member->changedInside()) handleMemberConfig(bcIntf, member->key);
    return;
  }
  // A whole channel came, went or was replaced: every member of the old
  // entry, then every member only the new entry has.
  Zem::replayDelta(bc->prev, bc->now, Vorn::BackplaneChannelConfig::memberIntfAttr, Zem::ReplayOrder::oldFirst(),
                   [&](const auto& member) { handleMemberConfig(bcIntf, member.key); });
}

Velto::Ptr<LldpPopulatorSm> lldpPopulatorSmFactory(
    Vorn::MemberId smid, Velto::Ptr<const KernelNetInfo::Status> kniStatus,
    Velto::Ptr<const Vorn::KniIntfMap> kniIntfMap, Velto::Ptr<const Vorn::MemberConfig> memberConfig,
    Velto::Ptr<Lldp::Config> config, Velto::Ptr<Lldp::Status> status,
    Velto::Ptr<Interface::AllEthPhyIntfStatusDir> allEthPhyIntfStatusDir,
    Velto::Ptr<Interface::AllIntfStatusDir> allIntfStatusDir, Velto::Ptr<Lldp::LocalSystem> localSystem,
    Velto::Ptr<Interface::PamDesiredIntfDir> desiredIntfDir) {
  auto sm = Velto::make<LldpPopulatorSm>(smid, std::move(kniStatus), std::move(kniIntfMap), std::move(memberConfig),
                                         std::move(config), std::move(status), std::move(allEthPhyIntfStatusDir),
                                         std::move(allIntfStatusDir), std::move(localSystem),
                                         std::move(desiredIntfDir));
  sm->hasNotificationActiveIs(true);
  return sm;
}

}  // namespace VornFabricLldp

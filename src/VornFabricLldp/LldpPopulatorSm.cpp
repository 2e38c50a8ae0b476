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

LldpPopulatorSm::LldpPopulatorSm(Params params) : params_(std::move(params)) {
  assertInputsPresent();

  kniIntfMapReactor_ = watch(kniIntfMap(), [this](const Zem::Change& c) { onKniIntfMapChange(c); });
  for (const auto& pair : kniIntfMap()->kniIntfIdKeyPair().keys()) handleKniIntfMap(pair);

  memberConfigReactor_ = watch(memberConfig(), [this](const Zem::Change& c) { onMemberConfigChange(c); });
  for (const auto& bcIntf : memberConfig()->bcConfig().keys()) {
    auto channel = memberConfig()->bcConfig(bcIntf);
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
  for (const auto& [bcIntf, channel] : memberConfig()->bcConfig()) {
    if (channel->memberIntf().has(intfId)) return true;
  }
  return false;
}

void LldpPopulatorSm::addIntf(const Kivo::IntfId& intfId, const KernelNetInfo::InterfaceKey& intfKey) {
  if (!memberConfigHasMember(intfId)) {
    TRACE6("memberIntf {} not in memberConfig; skipping addition", intfId);
    return;
  }
  if (!kniIntfMap()->kniIntfIdKeyPairHas(Vorn::KniIntfIdKeyPair{intfId, intfKey})) {
    TRACE6("intfKey {} not in kniIntfMap; skipping addition", intfKey);
    return;
  }
  assertOutputsConsistent(intfId);
  if (localSystem()->localPort().has(intfId)) {
    TRACE6("memberIntf {} already populated; skipping addition", intfId);
    return;
  }
  const KernelNetInfo::Interface kni = kniStatus()->interface(intfKey);
  ZEM_ASSERT_MSG(kni != KernelNetInfo::Interface{}, "kni status for intfKey {} does not exist", intfKey);
  // Built before any output is written: a name too long for an LLDP port ID
  // throws here and leaves the interface unpopulated rather than half-made.
  const Lldp::PortId portId(intfId.stringValue());

  TRACE0("add intf {} with ifIndex {}", intfId, kni.key.ifIndex);
  config()->portConfigIs(intfId)->rxRateLimitingEnabledIs(false);
  status()->portStatusIs(intfId, Oru::currentTime());

  auto intfStatus = Velto::make<Interface::EthPhyIntfStatus>(intfId, Velto::make<Interface::IntfConfig>(Kivo::IntfId()),
                                                             0, kni.hwAddr, 0);
  intfStatus->linkStatusIs(Interface::LinkStatus::up);
  intfStatus->addrIs(Vorn::memberMacAddr(smid()));
  intfStatus->deviceNameIs(kni.deviceName);
  allEthPhyIntfStatusDir()->intfStatusIs(intfStatus);
  allIntfStatusDir()->intfStatusIs(intfStatus);

  auto localPort = localSystem()->localPortIs(intfId);
  localPort->portIdIs(portId);
  localPort->portIdSubtypeIs(Lldp::PortIdSubtype::interfaceName);

  desiredIntfDir()->intfDesiredIs(intfId, true);
}

void LldpPopulatorSm::delIntf(const Kivo::IntfId& intfId) {
  TRACE0("del intf {}", intfId);
  config()->portConfigDel(intfId);
  status()->portStatusDel(intfId);
  localSystem()->localPortDel(intfId);
  desiredIntfDir()->intfDesiredDel(intfId);
  allEthPhyIntfStatusDir()->intfStatusDel(intfId);
  allIntfStatusDir()->intfStatusDel(intfId);
}

void LldpPopulatorSm::assertOutputsConsistent(const Kivo::IntfId& intfId) const {
  const bool hasConfig = config()->portConfig().has(intfId);
  const bool hasStatus = status()->portStatus().has(intfId);
  const bool hasEthPhyIntfStatus = allEthPhyIntfStatusDir()->intfStatus().has(intfId);
  const bool hasIntfStatus = allIntfStatusDir()->intfStatus().has(intfId);
  const bool hasLocalPort = localSystem()->localPort().has(intfId);
  const bool hasDesiredIntf = desiredIntfDir()->intfDesiredHas(intfId);
  const bool all = hasConfig && hasStatus && hasEthPhyIntfStatus && hasIntfStatus && hasLocalPort && hasDesiredIntf;
  const bool none =
      !hasConfig && !hasStatus && !hasEthPhyIntfStatus && !hasIntfStatus && !hasLocalPort && !hasDesiredIntf;
  ZEM_ASSERT_MSG(all || none, "config={}, status={}, aepis={}, ais={}, localSystem={}, desiredIntf={}", hasConfig,
                 hasStatus, hasEthPhyIntfStatus, hasIntfStatus, hasLocalPort, hasDesiredIntf);
}

void LldpPopulatorSm::handleKniIntfMap(const Vorn::KniIntfIdKeyPair& pair) {
  TRACE0("kni intf intfId={}, intfKey={}", pair.intfId, pair.intfKey);
  if (!kniIntfMap()->kniIntfIdKeyPairHas(pair)) {
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
  auto channel = memberConfig()->bcConfig(bcIntf);
  if (!channel || !channel->memberIntf().has(memberIntf)) {
    // The configuration lists each member under one channel, so a removal
    // from this channel is final; other channels are not consulted.
    delIntf(memberIntf);
    return;
  }
  if (auto intfKey = kniIntfMap()->intfIdToIntfKeyGet(memberIntf)) addIntf(memberIntf, *intfKey);
}

void LldpPopulatorSm::handleInitialized() {
  TRACE0("");
  localSystem()->chassisIdIs(chassisIdOf(Vorn::memberMacAddr(smid())));
  localSystem()->chassisIdSubtypeIs(Lldp::ChassisIdSubtype::macAddress);

  config()->isMessageTxTimeInMsIs(true);
  config()->txDelayIs(0);
  config()->messageTxIntervalIs(txIntervalMs_);
  const bool lowHoldTime = getToggleState("VornFabricLldpLowTxHt", "VornCore.json", true);
  config()->messageTxHoldTimeIs(lowHoldTime ? lowTxHoldTimeMs_ : txHoldTimeMs_);
  config()->syslogsEnabledIs(false);

  removeStaleOutputs();
}

// Outputs an earlier instance of the agent left behind for interfaces that
// are no longer configured members with a kernel interface. Valid outputs are
// left as they are, so the engine keeps its port state across a restart.
void LldpPopulatorSm::removeStaleOutputs() {
  std::unordered_set<Kivo::IntfId> valid;
  for (const auto& [bcIntf, channel] : memberConfig()->bcConfig()) {
    for (const auto& [memberIntf, memberConfig] : channel->memberIntf()) {
      if (kniIntfMap()->intfIdToIntfKeyHas(memberIntf)) valid.insert(memberIntf);
    }
  }
  auto stale = [&valid](const std::vector<Kivo::IntfId>& present) {
    std::vector<Kivo::IntfId> out;
    for (const auto& intf : present) {
      if (!valid.count(intf)) out.push_back(intf);
    }
    return out;
  };
  for (const auto& intf : stale(config()->portConfig().keys())) {
    TRACE0("del stale portConfig {}", intf);
    config()->portConfigDel(intf);
  }
  for (const auto& intf : stale(status()->portStatus().keys())) {
    TRACE0("del stale portStatus {}", intf);
    status()->portStatusDel(intf);
  }
  for (const auto& intf : stale(allEthPhyIntfStatusDir()->intfStatus().keys())) {
    TRACE0("del stale ethPhyIntfStatus {}", intf);
    allEthPhyIntfStatusDir()->intfStatusDel(intf);
  }
  for (const auto& intf : stale(allIntfStatusDir()->intfStatus().keys())) {
    TRACE0("del stale intfStatus {}", intf);
    allIntfStatusDir()->intfStatusDel(intf);
  }
  for (const auto& intf : stale(localSystem()->localPort().keys())) {
    TRACE0("del stale localPort {}", intf);
    localSystem()->localPortDel(intf);
  }
  for (const auto& intf : stale(desiredIntfDir()->intfDesired().keys())) {
    TRACE0("del stale intfDesired {}", intf);
    desiredIntfDir()->intfDesiredDel(intf);
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

Velto::Ptr<LldpPopulatorSm> lldpPopulatorSmFactory(LldpPopulatorSm::Params params) {
  auto sm = Velto::make<LldpPopulatorSm>(std::move(params));
  sm->hasNotificationActiveIs(true);
  return sm;
}

}  // namespace VornFabricLldp

#include "platform/vorn/KniIntfMapperSm.h"

#include "platform/framework/Assert.h"
#include "platform/scheduler/SwitchContext.h"
#include "platform/trace/Ringlog.h"

#include <cctype>
#include <vector>

namespace {
const Ringlog::Handle traceHandle{"Vorn::KniIntfMapperSm"};

// A positive decimal number without leading zeros, as the rule writes it.
bool isRuleNumber(std::string_view s) {
  if (s.empty() || s.size() > 6 || s[0] == '0') return false;
  for (char ch : s) {
    if (!std::isdigit(static_cast<unsigned char>(ch))) return false;
  }
  return true;
}
}  // namespace

namespace Vorn {

void KniIntfOverrideTable::tableIs(Overrides table) {
  if (table == table_) return;
  auto prev = std::move(table_);
  table_ = std::move(table);
  publish(Zem::Change{this, &tableAttr, nullptr, &prev, nullptr});
}

Kivo::IntfId KniIntfMapperSm::ruleIntfId(std::string_view name) {
  if (name.starts_with("po") && isRuleNumber(name.substr(2))) {
    return Kivo::IntfId("Port-Channel" + std::string(name.substr(2)));
  }
  if (!name.starts_with("et")) return {};
  std::string_view rest = name.substr(2);
  size_t sep = rest.find('_');
  if (sep == std::string_view::npos) {
    return isRuleNumber(rest) ? Kivo::IntfId("Ethernet" + std::string(rest)) : Kivo::IntfId();
  }
  std::string_view slot = rest.substr(0, sep), port = rest.substr(sep + 1);
  if (!isRuleNumber(slot) || !isRuleNumber(port)) return {};
  return Kivo::IntfId("Ethernet" + std::string(slot) + "/" + std::string(port));
}

std::string KniIntfMapperSm::ruleDeviceName(Kivo::IntfId intf) {
  const std::string& full = intf.stringValue();
  std::string name;
  if (intf.typeCode() == Kivo::IntfId::ethernet) {
    name = "et" + full.substr(std::string_view("Ethernet").size());
    if (auto slash = name.find('/'); slash != std::string::npos) name[slash] = '_';
  } else if (intf.typeCode() == Kivo::IntfId::portChannel) {
    name = "po" + full.substr(std::string_view("Port-Channel").size());
  }
  // Only names that map back to the same interface belong to the rule.
  return !name.empty() && ruleIntfId(name) == intf ? name : std::string();
}

Velto::Ptr<KniIntfMapperSm> kniIntfMapperSmFactory(Velto::Ptr<const KernelNetInfo::Status> kniStatus,
                                                   Velto::Ptr<KniIntfMap> kniIntfMap) {
  auto sm = Velto::make<KniIntfMapperSm>(std::move(kniStatus), std::move(kniIntfMap));
  sm->hasNotificationActiveIs(true);
  return sm;
}

KniIntfMapperSm::KniIntfMapperSm(Velto::Ptr<const KernelNetInfo::Status> kniStatus, Velto::Ptr<KniIntfMap> kniIntfMap)
    : kniStatus_(std::move(kniStatus)), kniIntfMap_(std::move(kniIntfMap)) {
  Oru::SwitchContext* context = Oru::SwitchContext::active();
  overrides_ = context != nullptr ? Velto::Ptr<const KniIntfOverrideTable>(&context->intfNameOverrides())
                                  : Velto::make<KniIntfOverrideTable>();
  ZEM_ASSERT(kniStatus_);
  ZEM_ASSERT(kniIntfMap_);
  kniStatusReactor_ = watch(kniStatus_, [this](const Zem::Change& c) {
    Zem::onDelta(c, KernelNetInfo::Status::interfaceAttr, [this](const auto& d) { handleKernelInterface(d.key); });
  });
  overridesReactor_ = watch(overrides_, [this](const Zem::Change& c) {
    if (c.is(KniIntfOverrideTable::tableAttr)) handleOverrides();
  });
  handleInitialized();
}

Zem::Optional<KniIntfMapperSm::Claim> KniIntfMapperSm::claimOf(const KernelNetInfo::Interface& intf) {
  const auto& table = overrides_->table();
  if (auto it = table.find(intf.deviceName); it != table.end()) {
    if (it->second.empty()) return Zem::none;
    return Claim{it->second, true};
  }
  Kivo::IntfId byRule = ruleIntfId(intf.deviceName);
  if (byRule.empty()) return Zem::none;
  return Claim{byRule, false};
}

void KniIntfMapperSm::handleInitialized() {
  TRACE0("{} kernel interfaces, {} pairs", kniStatus_->interface().size(), kniIntfMap_->kniIntfIdKeyPair().size());
  for (const auto& key : kniStatus_->interface().keys()) {
    if (auto claim = claimOf(kniStatus_->interface(key))) {
      claimByKey_[key] = *claim;
      claimants_[claim->intf].emplace(claim->byOverride ? 0 : 1, key.ifIndex);
    }
  }
  // Pairs left by an earlier mapper that no longer hold go first, so that
  // the updates below start from a map where every entry is a winner.
  auto winner = [this](Kivo::IntfId intf) -> Zem::Optional<KernelNetInfo::InterfaceKey> {
    auto it = claimants_.find(intf);
    if (it == claimants_.end() || it->second.empty()) return Zem::none;
    return KernelNetInfo::InterfaceKey{it->second.begin()->second};
  };
  for (const auto& intf : kniIntfMap_->intfIdToIntfKey().keys()) {
    if (winner(intf) != kniIntfMap_->intfIdToIntfKeyGet(intf)) {
      TRACE0("stale intfId {} ifIndex {}", intf, kniIntfMap_->intfIdToIntfKey(intf));
      kniIntfMap_->intfIdToIntfKeyDel(intf);
    }
  }
  for (const auto& pair : kniIntfMap_->kniIntfIdKeyPair().keys()) {
    if (winner(pair.intfId) != Zem::Optional<KernelNetInfo::InterfaceKey>(pair.intfKey)) {
      TRACE0("stale pair intfId {} ifIndex {}", pair.intfId, pair.intfKey);
      kniIntfMap_->kniIntfIdKeyPairDel(pair);
    }
  }
  std::vector<Kivo::IntfId> claimed;
  for (const auto& [intf, who] : claimants_) claimed.push_back(intf);
  for (const auto& intf : claimed) maybeUpdatePair(intf);
}

void KniIntfMapperSm::handleKernelInterface(KernelNetInfo::InterfaceKey key) {
  Zem::Optional<Claim> before;
  if (auto it = claimByKey_.find(key); it != claimByKey_.end()) before = it->second;
  Zem::Optional<Claim> now;
  if (auto intf = kniStatus_->interfaceGet(key)) now = claimOf(*intf);
  if (before == now) return;
  TRACE6("ifIndex {} claims {} (was {})", key, now ? now->intf : Kivo::IntfId(), before ? before->intf : Kivo::IntfId());
  if (before) {
    auto it = claimants_.find(before->intf);
    it->second.erase({before->byOverride ? 0 : 1, key.ifIndex});
    if (it->second.empty()) claimants_.erase(it);
    claimByKey_.erase(key);
  }
  if (now) {
    claimByKey_[key] = *now;
    claimants_[now->intf].emplace(now->byOverride ? 0 : 1, key.ifIndex);
  }
  if (before) maybeUpdatePair(before->intf);
  if (now && (!before || before->intf != now->intf)) maybeUpdatePair(now->intf);
}

void KniIntfMapperSm::handleOverrides() {
  TRACE0("{} overrides", overrides_->table().size());
  std::vector<KernelNetInfo::InterfaceKey> keys = kniStatus_->interface().keys();
  for (const auto& [key, claim] : claimByKey_) keys.push_back(key);
  for (const auto& key : keys) handleKernelInterface(key);
}

void KniIntfMapperSm::maybeUpdatePair(Kivo::IntfId intf) {
  Zem::Optional<KernelNetInfo::InterfaceKey> desired;
  if (auto it = claimants_.find(intf); it != claimants_.end()) {
    desired = KernelNetInfo::InterfaceKey{it->second.begin()->second};
    if (it->second.size() > 1) TRACE2("{} kernel interfaces claim {}; ifIndex {} wins", it->second.size(), intf, *desired);
  }
  auto current = kniIntfMap_->intfIdToIntfKeyGet(intf);
  if (current && current != desired) {
    TRACE0("unpair intfId {} ifIndex {}", intf, *current);
    kniIntfMap_->intfIdToIntfKeyDel(intf);
    kniIntfMap_->kniIntfIdKeyPairDel(KniIntfIdKeyPair{intf, *current});
  }
  if (desired && current != desired) {
    TRACE0("pair intfId {} ifIndex {} device {}", intf, *desired, kniStatus_->interface(*desired).deviceName);
  }
  if (desired) {
    kniIntfMap_->intfIdToIntfKeyIs(intf, *desired);
    kniIntfMap_->kniIntfIdKeyPairIs(KniIntfIdKeyPair{intf, *desired});
  }
}

}  // namespace Vorn

#include "VornFabricLldp/VornFabricLldpBcLagGroupSm.h"

#include "platform/events/Events.h"
#include "platform/toggles/Toggles.h"
#include "platform/trace/Ringlog.h"

#include <algorithm>
#include <vector>

namespace VornFabricLldp {

namespace {
const Ringlog::Handle traceHandle{"Vorn::VornFabricLldp"};

const Kivo::IntfId noIntf{};

// Hash collections are walked in key order so that a restart replays the
// same decisions (and traces) for the same records.
template <class Collection>
auto sortedKeys(const Collection& c) {
  auto keys = c.keys();
  std::sort(keys.begin(), keys.end());
  return keys;
}
}  // namespace

VornFabricLldpBcLagGroupSm::VornFabricLldpBcLagGroupSm(Params params) : params_(std::move(params)) {
  // First, so that what the start-up below decides is reported too.
  if (Events::enabled()) {
    onLagInfo_ = watch(vflBcLagGroupInfo(), [this](const Zem::Change& c) {
      if (auto bc = Zem::delta(c, VornFabricLldpBcLagGroupInfo::bcLagGroupInfoAttr)) reportLagInfo(bc->key);
    });
  }
  onMemberConfig_ = watch(memberConfig(), [this](const Zem::Change& c) { onMemberConfig(c); });
  if (memberConfig()) {
    for (const auto& bcIntf : memberConfig()->bcConfig().keys()) {
      auto bcConfig = memberConfig()->bcConfig(bcIntf);
      for (const auto& memberIntf : bcConfig->memberIntf().keys()) handleMemberConfig(bcIntf, memberIntf);
    }
  }

  onBcStatus_ = watch(bcStatus(), [this](const Zem::Change& c) { onBcStatus(c); });
  if (bcStatus()) {
    // Once for the channel's entry and once for each of its member entries,
    // as their changes would.
    for (const auto& bcIntf : sortedKeys(bcStatus()->bcMemberStatus())) {
      pickPreferredMember(bcIntf);
      if (auto memberStatus = bcStatus()->bcMemberStatus(bcIntf)) {
        for ([[maybe_unused]] const auto& member : sortedKeys(memberStatus->memberIntfStatus())) {
          pickPreferredMember(bcIntf);
        }
      }
    }
  }

  onEthLagIntfStatusDir_ = watch(ethLagIntfStatusDir(), [this](const Zem::Change& c) { onEthLagIntfStatus(c); });
  if (ethLagIntfStatusDir()) {
    for (const auto& bcIntf : sortedKeys(ethLagIntfStatusDir()->intfStatus())) pickPreferredMember(bcIntf);
  }

  onCtxForMember_ = watch(ctxForMember(), [this](const Zem::Change& c) { onCtxForMember(c); });
  if (ctxForMember()) {
    for (const auto& memberIntf : sortedKeys(ctxForMember()->ctx())) {
      auto ctx = ctxForMember()->ctx(memberIntf);
      if (ctx && ctx->rxInfo()) handleRemoteTlv(memberIntf);
    }
  }

  handleInitialized();
}

bool VornFabricLldpBcLagGroupSm::enabled() const {
  if (!getToggleState("VornLagGroupMismatch", "VornCore.json", true)) return false;
  if (!vflBcLagGroupInfo()) {
    TRACE2("No LAG group record to write");
    return false;
  }
  return true;
}

// --- Reactors ----------------------------------------------------------------

void VornFabricLldpBcLagGroupSm::onMemberConfig(const Zem::Change& c) {
  auto bc = Zem::delta(c, Vorn::MemberConfig::bcConfigAttr);
  if (!bc) return;
  const Kivo::IntfId& bcIntf = bc->key;
  if (!bc->changedInside()) {
    // A channel came, went or was replaced: every member it had or has now
    // is reconsidered, which drops the record of a channel that went.
    Zem::replayDelta(bc->prev, bc->now, Vorn::BackplaneChannelConfig::memberIntfAttr,
                     Zem::ReplayOrder::allAscending(),
                     [&](const auto& member) { handleMemberConfig(bcIntf, member.key); });
    return;
  }
  Zem::onDelta(*bc->inner, Vorn::BackplaneChannelConfig::memberIntfAttr,
               [&](const auto& member) { handleMemberConfig(bcIntf, member.key); });
}

void VornFabricLldpBcLagGroupSm::onCtxForMember(const Zem::Change& c) {
  auto ctx = Zem::delta(c, CtxForMember::ctxAttr);
  if (!ctx) return;
  if (ctx->changedInside()) {
    // Only the received TLV matters: refresh times change with every frame.
    const Zem::Change& inCtx = *ctx->inner;
    if (!inCtx.is(MemberCtx::rxInfoAttr)) return;
    if (inCtx.nested() && !inCtx.inner->is(RxInfo::tlvAttr)) return;
  }
  handleRemoteTlv(ctx->key);
}

void VornFabricLldpBcLagGroupSm::onBcStatus(const Zem::Change& c) {
  auto bc = Zem::delta(c, Vorn::BackplaneChannelStatus::bcMemberStatusAttr);
  if (!bc) return;
  if (bc->changedInside() && !bc->inner->is(Vorn::BackplaneChannelMemberStatus::memberIntfStatusAttr)) return;
  pickPreferredMember(bc->key);
}

void VornFabricLldpBcLagGroupSm::onEthLagIntfStatus(const Zem::Change& c) {
  auto lag = Zem::delta(c, Interface::EthLagIntfStatusDir::intfStatusAttr);
  if (!lag) return;
  if (lag->changedInside()) {
    // The selection reads the LAG's link, its member set and each member's
    // link; names and addresses do not matter to it.
    const Zem::Change& inLag = *lag->inner;
    const bool lagLink = inLag.is(Interface::EthIntfStatus::linkStatusAttr);
    const bool memberSet = inLag.is(Interface::EthLagIntfStatus::memberAttr) && !inLag.nested();
    const bool memberLink = inLag.is(Interface::EthLagIntfStatus::memberAttr) && inLag.nested() &&
                            inLag.inner->is(Interface::EthIntfStatus::linkStatusAttr);
    if (!lagLink && !memberSet && !memberLink) return;
  }
  pickPreferredMember(lag->key);
}

void VornFabricLldpBcLagGroupSm::reportLagInfo(const Kivo::IntfId& bcIntf) {
  auto info = vflBcLagGroupInfo() ? vflBcLagGroupInfo()->bcLagGroupInfo(bcIntf) : nullptr;
  LagSeen now;
  if (info) {
    now = {info->localMismatchExists(), info->remoteMismatchExists(), info->preferredHigigMember(),
           info->remotePreferredHigigMember()};
  }
  LagSeen& seen = lagSeen_[bcIntf];
  const std::string channel = bcIntf.stringValue();
  auto mismatch = [&](bool before, bool after, const char* side) {
    if (before == after) return;
    std::string groups;
    if (info && after && std::string_view(side) == "local") {
      for (const auto& name : sortedKeys(info->lagGroupToBcMemberMap())) groups += (groups.empty() ? "" : " ") + name;
    }
    Events::emit(after ? Events::Kind::lagMismatch : Events::Kind::lagMismatchCleared, channel,
                 {{"channel", channel}, {"side", side}, {"groups", groups}});
  };
  auto preferred = [&](const Kivo::IntfId& before, const Kivo::IntfId& after, const char* side) {
    if (before == after) return;
    Events::emit(Events::Kind::preferredMember, channel,
                 {{"channel", channel}, {"side", side}, {"from", before.stringValue()}, {"to", after.stringValue()}});
  };
  mismatch(seen.localMismatch, now.localMismatch, "local");
  preferred(seen.preferred, now.preferred, "local");
  mismatch(seen.remoteMismatch, now.remoteMismatch, "remote");
  preferred(seen.remotePreferred, now.remotePreferred, "remote");
  if (info) {
    seen = now;
  } else {
    lagSeen_.erase(bcIntf);
  }
}

// --- Local LAG groups ----------------------------------------------------------

bool VornFabricLldpBcLagGroupSm::leaveGroup(BcLagGroupInfo& info, const Kivo::IntfId& memberIntf,
                                            const Velto::String& name) {
  auto group = info.lagGroupToBcMemberMap(name);
  if (!group || !group->memberIntfHas(memberIntf)) return false;
  group->memberIntfDel(memberIntf);
  if (group->memberIntf().empty()) info.lagGroupToBcMemberMapDel(name);
  return true;
}

void VornFabricLldpBcLagGroupSm::maybeClearLocalMismatch(BcLagGroupInfo& info) {
  if (!info.localMismatchExists() || info.lagGroupToBcMemberMap().size() > 1) return;
  TRACE0("Local mismatch cleared for bcintf {}", info.bcIntf());
  info.preferredHigigMemberIs(noIntf);
  info.localMismatchExistsIs(false);
}

void VornFabricLldpBcLagGroupSm::handleIntfDeleteHelper(const Kivo::IntfId& bcIntf, const Kivo::IntfId& memberIntf) {
  if (!enabled()) return;
  TRACE0("member: {} bcintf: {}", memberIntf, bcIntf);
  auto info = vflBcLagGroupInfo()->bcLagGroupInfo(bcIntf);
  if (!info) return;
  const Velto::String name = info->bcMemberToLagGroupMap(memberIntf);
  if (name.empty()) return;
  info->bcMemberToLagGroupMapDel(memberIntf);
  if (!leaveGroup(*info, memberIntf, name)) return;
  maybeClearLocalMismatch(*info);
}

void VornFabricLldpBcLagGroupSm::handleMemberConfig(const Kivo::IntfId& bcIntf, const Kivo::IntfId& memberIntf) {
  if (!enabled()) return;
  TRACE0("member: {} bcintf: {}", memberIntf, bcIntf);
  if (!memberConfig()) return;
  auto bcConfig = memberConfig()->bcConfig(bcIntf);
  if (!bcConfig) {
    TRACE0("bpc do not exists for bcintf: {}", bcIntf);
    vflBcLagGroupInfo()->bcLagGroupInfoDel(bcIntf);
    return;
  }
  auto memberIntfConfig = bcConfig->memberIntf(memberIntf);
  if (!memberIntfConfig || memberIntfConfig->lagGroupName().empty()) {
    handleIntfDeleteHelper(bcIntf, memberIntf);
    return;
  }

  for (const auto& member : bcConfig->memberIntf().keys()) {
    auto cfg = bcConfig->memberIntf(member);
    if (!cfg) continue;
    const Velto::String name = cfg->lagGroupName();
    TRACE0("Processing bcIntf: {}, memberIntf {}, lagGroupName {}", bcIntf, member, name);
    if (name.empty()) continue;
    auto info = vflBcLagGroupInfo()->bcLagGroupInfoIs(bcIntf);
    // A renamed member leaves its old group, or that group could never
    // empty and the mismatch never clear. It moves in one step: whether a
    // mismatch remains is judged once it has joined its new group, so a
    // rename between two names that leaves the channel split keeps its
    // confirmed preferred member.
    const Velto::String previous = info->bcMemberToLagGroupMap(member);
    if (!previous.empty() && previous != name) leaveGroup(*info, member, previous);
    info->lagGroupToBcMemberMapIs(name)->memberIntfIs(member);
    info->bcMemberToLagGroupMapIs(member, name);
  }

  auto info = vflBcLagGroupInfo()->bcLagGroupInfo(bcIntf);
  if (!info) return;
  if (info->lagGroupToBcMemberMap().size() <= 1) {
    maybeClearLocalMismatch(*info);
    return;
  }
  info->localMismatchExistsIs(true);
  Velto::String groups;
  for (const auto& [name, group] : info->lagGroupToBcMemberMap()) groups += name + " ";
  TRACE0("lagGroup mismatch exists for bcintf: {} groups: {}", bcIntf, groups);
  pickPreferredMember(bcIntf);
}

// --- Preferred member ------------------------------------------------------------

void VornFabricLldpBcLagGroupSm::pickPreferredMember(const Kivo::IntfId& bcIntf) {
  if (!enabled()) return;
  TRACE0("bcIntf {}", bcIntf);
  if (bcIntf.empty()) {
    TRACE0("Did not find valid bcIntf");
    return;
  }
  auto info = vflBcLagGroupInfo()->bcLagGroupInfo(bcIntf);
  if (!info || !info->localMismatchExists()) {
    TRACE0("No mismatch exists for {}", bcIntf);
    return;
  }
  auto lag = ethLagIntfStatusDir() ? ethLagIntfStatusDir()->intfStatus(bcIntf) : nullptr;
  if (!lag) {
    TRACE0("{} has no eth Lag status", bcIntf);
    return;
  }
  if (lag->linkStatus() != Interface::LinkStatus::up) {
    TRACE0("{} linkStatus {} is not UP", bcIntf, lag->linkStatus());
    return;
  }
  auto memberStatus = bcStatus() ? bcStatus()->bcMemberStatus(bcIntf) : nullptr;
  if (!memberStatus) {
    TRACE0("No bcStatus for {}", bcIntf);
    return;
  }
  if (!memberStatus->hasHigigConfirmedMember()) {
    TRACE0("{} has no higig member", bcIntf);
    return;
  }
  // A confirmed choice is kept: moving the single link to another member
  // would make the peer re-form the channel for nothing.
  const Kivo::IntfId current = info->preferredHigigMember();
  if (auto st = memberStatus->memberIntfStatus(current);
      st && st->state() == Vorn::HigigNegotiationState::higigConfirmed) {
    TRACE0("Preferred higig member {} already exists for {}", current, bcIntf);
    return;
  }

  auto bcConfig = memberConfig() ? memberConfig()->bcConfig(bcIntf) : nullptr;
  for (const auto& member : lag->member().keys()) {
    auto memberLag = lag->member(member);
    if (!memberLag) continue;
    if (memberLag->linkStatus() != Interface::LinkStatus::up) {
      TRACE0("bcIntf={} member={} linkStatus={} is not UP", bcIntf, member, memberLag->linkStatus());
      continue;
    }
    if (!memberStatus->memberIntfStatus(member)) {
      TRACE0("memberStatus for {} does not have member {}", bcIntf, member);
      continue;
    }
    if (bcConfig && !bcConfig->memberIntf(member)) {
      TRACE0("memberConfig for {} does not have member {}", bcIntf, member);
      continue;
    }
    info->preferredHigigMemberIs(member);
    TRACE0("Selected preferred higig member as {} for {}", member, bcIntf);
    return;
  }
}

// --- Remote mismatch -------------------------------------------------------------

void VornFabricLldpBcLagGroupSm::clearRemoteMismatch(BcLagGroupInfo& info, const Kivo::IntfId& memberIntf) {
  info.remotePreferredHigigMemberIs(noIntf);
  info.remoteMismatchExistsIs(false);
  vflBcLagGroupInfo()->memberToBpcIntfMapDel(memberIntf);
}

void VornFabricLldpBcLagGroupSm::handleRemoteTlv(const Kivo::IntfId& memberIntf) {
  if (!enabled()) return;
  TRACE0("memberIntf: {}", memberIntf);
  if (!memberConfig()) return;

  auto ctx = ctxForMember() ? ctxForMember()->ctx(memberIntf) : nullptr;
  if (ctx && ctx->rxInfo()) {
    const Kivo::IntfId bcIntf = ctx->bcIntf();
    auto info = vflBcLagGroupInfo()->bcLagGroupInfoIs(bcIntf);
    const auto tlv = ctx->rxInfo()->tlv();
    if (!tlv) return;
    if (tlv->singleLink()) {
      info->remotePreferredHigigMemberIs(memberIntf);
      info->remoteMismatchExistsIs(true);
      vflBcLagGroupInfo()->memberToBpcIntfMapIs(memberIntf)->remoteBaIntf = bcIntf;
      TRACE0("Remote mismatch exists, remote preferred member {} for {}", memberIntf, bcIntf);
    } else if (info->remotePreferredHigigMember() == memberIntf) {
      clearRemoteMismatch(*info, memberIntf);
      TRACE0("Remote mismatch cleared for {}", bcIntf);
    }
    return;
  }

  // The context is gone: the channel is only known from the record kept
  // when the mismatch was learnt.
  TRACE0("No ctx for memberIntf={}", memberIntf);
  auto learnt = vflBcLagGroupInfo()->memberToBpcIntfMap(memberIntf);
  if (!learnt) {
    TRACE0("Did not find valid bcIntf for {}", memberIntf);
    return;
  }
  const Kivo::IntfId bcIntf = learnt->remoteBaIntf;
  auto info = vflBcLagGroupInfo()->bcLagGroupInfo(bcIntf);
  if (!info || !info->remoteMismatchExists()) return;
  const Kivo::IntfId remotePreferred = info->remotePreferredHigigMember();
  if (!remotePreferred.empty() && remotePreferred != memberIntf) {
    TRACE0("Remote's non preferred member {}, return", memberIntf);
    return;
  }
  TRACE0("No remote mismatch for {}", bcIntf);
  clearRemoteMismatch(*info, memberIntf);
}

// --- Start ---------------------------------------------------------------------

void VornFabricLldpBcLagGroupSm::handleInitialized() {
  if (!enabled()) return;
  for (const auto& memberIntf : sortedKeys(vflBcLagGroupInfo()->memberToBpcIntfMap())) handleRemoteTlv(memberIntf);

  // Without a configuration there is nothing to judge the records by; they
  // are left for an instance that has one.
  if (!memberConfig()) return;
  for (const auto& bcIntf : sortedKeys(vflBcLagGroupInfo()->bcLagGroupInfo())) {
    auto info = vflBcLagGroupInfo()->bcLagGroupInfo(bcIntf);
    if (!info) continue;
    auto bcConfig = memberConfig()->bcConfig(bcIntf);
    if (!bcConfig) {
      vflBcLagGroupInfo()->bcLagGroupInfoDel(bcIntf);
      continue;
    }
    for (const auto& member : sortedKeys(info->bcMemberToLagGroupMap())) {
      if (!bcConfig->memberIntf(member)) handleIntfDeleteHelper(bcIntf, member);
    }
    for (const auto& member : bcConfig->memberIntf().keys()) handleMemberConfig(bcIntf, member);
  }
}

Velto::Ptr<VornFabricLldpBcLagGroupSm> vornFabricLldpBcLagGroupSmFactory(VornFabricLldpBcLagGroupSm::Params params) {
  auto sm = Velto::make<VornFabricLldpBcLagGroupSm>(std::move(params));
  sm->hasNotificationActiveIs(true);
  return sm;
}

}  // namespace VornFabricLldp

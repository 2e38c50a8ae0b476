#include "VornFabricLldp/LldpCtxMapperSm.h"

#include "platform/framework/Assert.h"
#include "platform/trace/Ringlog.h"

namespace VornFabricLldp {

namespace {
const Ringlog::Handle traceHandle{"Vorn::VornFabricLldp"};

// The configuration carries "no peer" either as none or as member 0.
Zem::Optional<Vorn::MemberId> peerOf(const Vorn::BackplaneChannelConfig& bc) {
  return Vorn::optionalMemberId(Vorn::memberIdByte(bc.peerMemberId()));
}
}  // namespace

LldpCtxMapperSm::LldpCtxMapperSm(Params params) : params_(std::move(params)) {
  ZEM_ASSERT(scheduler() != nullptr);
  ZEM_ASSERT(ctxForMember() != nullptr);
  staleEntryHoldTime_ = defaultStaleEntryHoldTime;
  clearStaleEntriesTaskIs(scheduler(), clearStaleEntriesTaskPriority, clearStaleEntriesTaskName);

  handleInitialized();

  selectedRsReactor_ = watch(selectedRs(), [this](const Zem::Change& c) { handleSelectedRsChange(c); });
  memberConfigReactor_ = watch(memberConfig(), [this](const Zem::Change& c) { handleMemberConfigChange(c); });
  // Binding the configuration brings every configured member interface in.
  if (memberConfig()) {
    for (const auto& bcIntf : memberConfig()->bcConfig().keys()) handleBcConfigReplaced(bcIntf, nullptr);
  }
  bindClearStaleEntriesTask();
  constructed_ = true;
}

LldpCtxMapperSm::~LldpCtxMapperSm() {
  // The context outlives this state machine; the next one repairs it.
  hasNotificationActiveIs(false);
  clearStaleEntriesTaskReactor_.reset();
  memberConfigReactor_.reset();
  selectedRsReactor_.reset();
  clearStaleEntriesTask_ = nullptr;
}

// --- timer task ------------------------------------------------------------------

void LldpCtxMapperSm::bindClearStaleEntriesTask() {
  clearStaleEntriesTaskReactor_ = watch(clearStaleEntriesTask_, [this](const Zem::Change& c) {
    if (c.is(Oru::TimerTask::runAttr)) clearStaleEntries();
  });
}

void LldpCtxMapperSm::clearStaleEntriesTaskIs(const Velto::Ptr<Oru::TaskScheduler>& scheduler,
                                              Oru::TaskPriority priority, const std::string& name) {
  clearStaleEntriesTask_ = Velto::make<Oru::TimerTask>(scheduler, priority, name);
  if (!constructed_) return;
  bindClearStaleEntriesTask();
  if (hasNotificationActive()) clearStaleEntries();
}

void LldpCtxMapperSm::clearStaleEntriesTaskDel() {
  if (!clearStaleEntriesTask_) return;
  clearStaleEntriesTaskReactor_.reset();
  clearStaleEntriesTask_ = nullptr;
  if (constructed_ && hasNotificationActive()) clearStaleEntries();
}

// --- configuration -------------------------------------------------------------------

void LldpCtxMapperSm::handleMemberConfigChange(const Zem::Change& c) {
  auto bc = Zem::delta(c, Vorn::MemberConfig::bcConfigAttr);
  if (!bc) return;
  if (!bc->changedInside()) {
    handleBcConfigReplaced(bc->key, bc->prev);
    return;
  }
  const Zem::Change& inBc = *bc->inner;
  if (auto member = Zem::delta(inBc, Vorn::BackplaneChannelConfig::memberIntfAttr)) {
    handleMemberConfig(bc->key, member->key);
  } else if (inBc.is(Vorn::BackplaneChannelConfig::peerMemberIdAttr)) {
    handlePeerMemberId(bc->key);
  }
}

void LldpCtxMapperSm::handleBcConfigReplaced(const Kivo::IntfId& bcIntf, const Vorn::BackplaneChannelConfig* prev) {
  handleBcConfig(bcIntf);
  // The members of the old channel, then those only the new one has.
  const Vorn::BackplaneChannelConfig* curr = memberConfig() ? memberConfig()->bcConfig().find(bcIntf) : nullptr;
  Zem::replayDelta(prev, curr, Vorn::BackplaneChannelConfig::memberIntfAttr, Zem::ReplayOrder::oldFirst(),
                   [&](const auto& d) { handleMemberConfig(bcIntf, d.key); });
  handlePeerMemberId(bcIntf);
}

void LldpCtxMapperSm::handleBcConfig(Kivo::IntfId bcIntf) {
  if (memberConfig() && memberConfig()->bcConfig().has(bcIntf)) {
    TRACE6("add intfMap for {}", bcIntf);
    ctxForMember()->intfMapIs(bcIntf);
  } else {
    TRACE6("del intfMap for {}", bcIntf);
    ctxForMember()->intfMapDel(bcIntf);
  }
}

void LldpCtxMapperSm::handleMemberConfig(Kivo::IntfId bcIntf, Kivo::IntfId memberIntf) {
  auto set = ctxForMember()->intfMap(bcIntf);
  auto bc = memberConfig() ? memberConfig()->bcConfig(bcIntf) : nullptr;
  if (bc && bc->memberIntf().has(memberIntf)) {
    auto existing = ctxForMember()->ctx(memberIntf);
    if (existing && existing->bcIntf() != bcIntf) {
      // The interface moved channel; its context names the channel for good.
      TRACE2("remove old tlv mapping for bcIntf={}, memberIntf={}", existing->bcIntf(), memberIntf);
      ctxForMember()->ctxDel(memberIntf);
    }
    TRACE0("add tlv mapping for bcIntf={}, memberIntf={}", bcIntf, memberIntf);
    auto ctx = ctxForMember()->ctxIs(bcIntf, memberIntf);
    if (set) set->memberIs(memberIntf);
    ctx->peerMemberIdIs(peerOf(*bc));
    updateRxInfo(memberIntf);
  } else {
    ctxForMember()->ctxDel(memberIntf);
    if (set) set->memberDel(memberIntf);
    TRACE0("remove tlv mapping for bcIntf={}, memberIntf={}", bcIntf, memberIntf);
  }
}

void LldpCtxMapperSm::handlePeerMemberId(Kivo::IntfId bcIntf) {
  auto bc = memberConfig() ? memberConfig()->bcConfig(bcIntf) : nullptr;
  if (!bc) return;
  const auto peer = peerOf(*bc);
  TRACE6("bcIntf: {}, peerMemberId: {}", bcIntf, peer);
  for (const auto& memberIntf : bc->memberIntf().keys()) {
    if (auto ctx = ctxForMember()->ctx(memberIntf)) ctx->peerMemberIdIs(peer);
  }
}

// --- selection ----------------------------------------------------------------------

void LldpCtxMapperSm::handleSelectedRsChange(const Zem::Change& c) {
  auto selected = Zem::delta(c, LldpSelectedRsForMember::remoteSystemAttr);
  if (!selected) return;
  if (!selected->changedInside()) {
    handleVornTlv(selected->key);
    handleLastRefreshTime(selected->key);
    return;
  }
  // The selection entry republishes its remote system's changes.
  const Zem::Change& entry = *selected->inner;
  if (!entry.is(LldpSelectedRsForMember::RemoteSystemExtKeyCollection::remoteSystemAttr) || !entry.inner) return;
  const Zem::Change& rs = *entry.inner;
  if (rs.is(Lldp::RemoteSystem::vornTlvAttr)) {
    handleVornTlv(selected->key);
  } else if (rs.is(Lldp::RemoteSystem::lastRefreshTimeAttr)) {
    handleLastRefreshTime(selected->key);
  }
}

void LldpCtxMapperSm::handleVornTlv(Kivo::IntfId intfId) {
  TRACE6("intfId: {}", intfId);
  updateRxInfo(intfId);
}

void LldpCtxMapperSm::handleLastRefreshTime(Kivo::IntfId intfId) {
  auto ctx = ctxForMember()->ctx(intfId);
  if (!ctx || !ctx->rxInfo()) return;
  auto rs = selectedRs() ? selectedRs()->remoteSystem(intfId) : nullptr;
  if (!rs) return;
  ctx->rxInfo()->lastRefreshTimeIs(rs->lastRefreshTime());
}

void LldpCtxMapperSm::updateRxInfo(Kivo::IntfId intfId) {
  TRACE0("");
  auto ctx = ctxForMember()->ctx(intfId);
  auto rs = selectedRs() ? selectedRs()->remoteSystem(intfId) : nullptr;
  if (!ctx) {
    TRACE6("memberConfig does not exist for memberIntf={}", intfId);
    return;
  }
  if (!rs || !rs->vornTlv()) {
    if (!ctx->rxInfo()) return;
    // Still in the hold time after a restore: the peer may not have been
    // heard again yet.
    if (clearStaleEntriesTaskScheduled()) return;
    TRACE0("del rxInfo {}", ctx->rxInfo()->index());
    ctx->prevTlvIs(ctx->rxInfo()->tlv());
    ctx->rxInfoDel();
    return;
  }
  if (ctx->rxInfo() && ctx->rxInfo()->index() != rs->index()) {
    TRACE0("del rxInfo {} to replace with {}", ctx->rxInfo()->index(), rs->index());
    ctx->prevTlvIs(ctx->rxInfo()->tlv());
    ctx->rxInfoDel();
  }
  auto rxInfo = ctx->rxInfo();
  if (!rxInfo) {
    TRACE0("add rxInfo {}", rs->index());
    rxInfo = ctx->rxInfoIs(rs->index());
  }
  const Lldp::VornTlv& tlv = *rs->vornTlv();
  if (rxInfo->tlv() && *rxInfo->tlv() == tlv) {
    rxInfo->lastRefreshTimeIs(rs->lastRefreshTime());
    return;
  }
  TRACE0("set rx TLV - rs: {}, intf: {}; VornTlv({}, {}, {}, {})", rs->index(), intfId, tlv.memberId, tlv.role,
         Vorn::optionalMemberId(tlv.expectedPeerId), Vorn::optionalMemberId(tlv.receivedPeerId));
  ctx->prevTlvIs(rxInfo->tlv());
  rxInfo->tlvIs(tlv);
  rxInfo->lastRefreshTimeIs(rs->lastRefreshTime());
}

void LldpCtxMapperSm::clearStaleEntries() {
  TRACE0("");
  for (const auto& memberIntf : ctxForMember()->ctx().keys()) updateRxInfo(memberIntf);
}

void LldpCtxMapperSm::handleInitialized() {
  TRACE0("");
  // Contexts and sets left by an earlier instance for configuration that has
  // gone since.
  for (const auto& memberIntf : ctxForMember()->ctx().keys()) {
    auto ctx = ctxForMember()->ctx(memberIntf);
    auto bc = memberConfig() ? memberConfig()->bcConfig(ctx->bcIntf()) : nullptr;
    if (!bc || !bc->memberIntf().has(memberIntf)) ctxForMember()->ctxDel(memberIntf);
  }
  for (const auto& bcIntf : ctxForMember()->intfMap().keys()) {
    auto bc = memberConfig() ? memberConfig()->bcConfig(bcIntf) : nullptr;
    if (!bc) {
      ctxForMember()->intfMapDel(bcIntf);
      continue;
    }
    auto set = ctxForMember()->intfMap(bcIntf);
    for (const auto& m : set->member().keys()) {
      if (!bc->memberIntf().has(m)) set->memberDel(m);
    }
  }
  if (restoreFromLocalBackup()) {
    if (clearStaleEntriesTask_) clearStaleEntriesTask_->scheduleTaskDelay(staleEntryHoldTime_);
  } else {
    clearStaleEntries();
  }
}

Velto::Ptr<LldpCtxMapperSm> lldpCtxMapperSmFactory(LldpCtxMapperSm::Params params) {
  auto sm = Velto::make<LldpCtxMapperSm>(std::move(params));
  sm->hasNotificationActiveIs(true);
  return sm;
}

}  // namespace VornFabricLldp

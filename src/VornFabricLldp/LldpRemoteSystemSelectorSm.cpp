#include "VornFabricLldp/LldpRemoteSystemSelectorSm.h"

#include "platform/framework/Assert.h"
#include "platform/trace/Ringlog.h"
#include "platform/vorn/Group.h"

#include <algorithm>
#include <vector>

namespace VornFabricLldp {

namespace {
const Ringlog::Handle traceHandle{"Vorn::VornFabricLldp"};

// Remote systems are walked in ascending index order, so that a tie in a
// rescan always goes to the same (lowest) index.
// Remote systems are walked in ascending index order, so that a tie in a
// rescan always goes to the same (lowest) index.
std::vector<int> sortedIndexes(const Lldp::PortStatus& ps) {
  auto indexes = ps.remoteSystem().keys();
  std::sort(indexes.begin(), indexes.end());
  return indexes;
}

std::vector<Kivo::IntfId> sortedIntfs(const Lldp::Status& status) {
  auto intfs = status.portStatus().keys();
  std::sort(intfs.begin(), intfs.end());
  return intfs;
}

Zem::Optional<Velto::Duration> refreshTimeOf(const Lldp::RemoteSystem* rs) {
  return rs ? Zem::Optional<Velto::Duration>(rs->lastRefreshTime()) : Zem::none;
}
}  // namespace

LldpRemoteSystemSelectorSm::LldpRemoteSystemSelectorSm(Velto::Ptr<const Lldp::Status> status,
                                                       Velto::Ptr<LldpSelectedRsForMember> selectedRsForMember)
    : status_(std::move(status)), selectedRsForMember_(std::move(selectedRsForMember)) {
  ZEM_ASSERT(selectedRsForMember_);
  excessiveDelayThreshold_ = defaultExcessiveDelayThreshold;
  statusReactor_ = watch(status_, [this](const Zem::Change& c) { handleStatusChange(c); });
  handleInitialized();
}

LldpRemoteSystemSelectorSm::~LldpRemoteSystemSelectorSm() {
  // The selection belongs to the root state machine; the next selector
  // cleans it up when it starts.
  hasNotificationActiveIs(false);
  statusReactor_.reset();
}

void LldpRemoteSystemSelectorSm::statusIs(const Velto::Ptr<const Lldp::Status>& status) {
  if (status == status_) return;
  Velto::Ptr<const Lldp::Status> prev = std::move(status_);
  status_ = status;
  statusReactor_ = watch(status_, [this](const Zem::Change& c) { handleStatusChange(c); });
  if (!hasNotificationActive()) return;
  // Every port status of the old and the new status, as if each had been
  // replaced; remote systems are walked in ascending index order, so that a
  // tie in a rescan always goes to the same (lowest) index.
  Zem::replayDelta(prev.get(), status_.get(), Lldp::Status::portStatusAttr, Zem::ReplayOrder::oldFirstAscending(),
                   [this](const auto& d) { handlePortStatusReplaced(d.key, d.prev, d.now); });
}

void LldpRemoteSystemSelectorSm::excessiveDelayThresholdIs(Velto::Duration threshold) {
  Zem::assignAttr(*this, excessiveDelayThreshold_, threshold, excessiveDelayThresholdAttr);
}

// --- event fan-out -------------------------------------------------------------

void LldpRemoteSystemSelectorSm::handleStatusChange(const Zem::Change& c) {
  auto ps = Zem::delta(c, Lldp::Status::portStatusAttr);
  if (!ps) return;
  const Kivo::IntfId& memberIntf = ps->key;
  if (!ps->changedInside()) {
    handlePortStatusReplaced(memberIntf, ps->prev, ps->now);
    return;
  }
  auto rs = Zem::delta(*ps->inner, Lldp::PortStatus::remoteSystemAttr);
  if (!rs) return;
  if (!rs->changedInside()) {
    handleRemoteSystemReplaced(memberIntf, rs->key, rs->prev, rs->now);
    return;
  }
  const Zem::Change& rsChange = *rs->inner;
  if (rsChange.is(Lldp::RemoteSystem::vornTlvAttr)) {
    handleVornTlv(memberIntf, rs->key);
  } else if (const auto* prevRefresh = Zem::previous(rsChange, Lldp::RemoteSystem::lastRefreshTimeAttr)) {
    handleLastRefreshTime(memberIntf, rs->key, *prevRefresh, rs->prev->lastRefreshTime());
  }
}

void LldpRemoteSystemSelectorSm::handlePortStatusReplaced(const Kivo::IntfId& memberIntf,
                                                          const Lldp::PortStatus* prevPs,
                                                          const Lldp::PortStatus* currPs) {
  Zem::replayDelta(prevPs, currPs, Lldp::PortStatus::remoteSystemAttr, Zem::ReplayOrder::oldFirstAscending(),
                   [&](const auto& d) { handleRemoteSystemReplaced(memberIntf, d.key, d.prev, d.now); });
}

void LldpRemoteSystemSelectorSm::handleRemoteSystemReplaced(const Kivo::IntfId& memberIntf, int index,
                                                            const Lldp::RemoteSystem* prevRs,
                                                            const Lldp::RemoteSystem* currRs) {
  handleVornTlv(memberIntf, index);
  handleLastRefreshTime(memberIntf, index, refreshTimeOf(prevRs), refreshTimeOf(currRs));
}

// --- selection -------------------------------------------------------------------

Velto::Ptr<Lldp::RemoteSystem> LldpRemoteSystemSelectorSm::remoteSystem(const Kivo::IntfId& memberIntf,
                                                                       int index) const {
  if (!status_) return nullptr;
  auto ps = status_->portStatus(memberIntf);
  return ps ? ps->remoteSystem(index) : nullptr;
}

bool LldpRemoteSystemSelectorSm::isValidRemoteSystem(Kivo::IntfId memberIntf, int index) const {
  if (!status_) return false;
  auto ps = status_->portStatus(memberIntf);
  if (!ps) return false;
  auto rs = ps->remoteSystem(index);
  if (!rs) return false;
  if (rs->chassisIdSubtype() != Lldp::ChassisIdSubtype::macAddress || rs->chassisId().size() != 6) return false;
  if (rs->portIdSubtype() != Lldp::PortIdSubtype::interfaceName) return false;
  // Every member's address shares the group's first four bytes; the last two
  // name the member.
  const auto groupMac = Vorn::memberMacAddr(1);
  const auto& chassis = rs->chassisId().bytes();
  for (size_t i = 0; i < 4; ++i) {
    if (static_cast<uint8_t>(chassis[i]) != groupMac[i]) return false;
  }
  return rs->vornTlv().hasValue();
}

void LldpRemoteSystemSelectorSm::maybeSetRsCtx(Kivo::IntfId memberIntf, int index) {
  TRACE6("memberIntf={} index={}", memberIntf, index);
  auto cur = selectedRsForMember_->remoteSystem(memberIntf);
  if (!isValidRemoteSystem(memberIntf, index)) {
    if (cur && cur->index() == index) {
      TRACE6("remote system {} became invalid for intf {}", index, memberIntf);
      updateRsCtx(memberIntf);
    }
    return;
  }
  auto newRs = remoteSystem(memberIntf, index);
  ZEM_ASSERT(newRs);
  if (cur) {
    if (cur->index() == index) return;
    if (cur->lastRefreshTime() > newRs->lastRefreshTime()) {
      TRACE6("curRs has higher refresh time - skipping update; intfId={}, curRs=({}, {}), newRs=({}, {})",
             memberIntf, cur->index(), cur->lastRefreshTime(), newRs->index(), newRs->lastRefreshTime());
      return;
    }
    TRACE2("superceding {} VORN instance ({}, [{}, {}]) with ({}, [{}, {}]);", memberIntf, cur->index(),
           cur->chassisId(), cur->portId(), newRs->index(), newRs->chassisId(), newRs->portId());
  }
  selectedRsForMember_->remoteSystemIs(memberIntf, newRs);
}

void LldpRemoteSystemSelectorSm::updateRsCtx(Kivo::IntfId memberIntf) {
  auto cur = selectedRsForMember_->remoteSystem(memberIntf);
  auto ps = status_ ? status_->portStatus(memberIntf) : nullptr;
  if (!ps) {
    if (cur) {
      TRACE0("del selectedRsForMember; memberIntf={} rs={}; no portStatus", memberIntf, cur->index());
      selectedRsForMember_->remoteSystemDel(memberIntf);
    }
    return;
  }
  Velto::Ptr<Lldp::RemoteSystem> best;
  Velto::Duration bestTime = -1.0;
  int replaced = 0;
  for (int index : sortedIndexes(*ps)) {
    if (!isValidRemoteSystem(memberIntf, index)) continue;
    auto rs = ps->remoteSystem(index);
    if (rs->lastRefreshTime() > bestTime) {
      best = rs;
      bestTime = rs->lastRefreshTime();
      ++replaced;
    }
  }
  if (replaced == 0) {
    if (cur) {
      TRACE0("del selectedRsForMember; memberIntf={} rs={}; no valid remote system", memberIntf, cur->index());
      selectedRsForMember_->remoteSystemDel(memberIntf);
    }
    return;
  }
  if (replaced > 1) {
    const Zem::Optional<int> prevIndex = cur ? Zem::Optional<int>(cur->index()) : Zem::none;
    TRACE2("multiple VORN instances ({}) coming from the same port on {}; new=({}, [{}, {}]) prevRs={}", replaced,
           memberIntf, best->index(), best->chassisId(), best->portId(), prevIndex);
  }
  selectedRsForMember_->remoteSystemIs(memberIntf, best);
}

// --- handlers ----------------------------------------------------------------------

void LldpRemoteSystemSelectorSm::handleVornTlv(Kivo::IntfId memberIntf, int index) {
  TRACE6("memberIntf={} rs={}", memberIntf, index);
  auto cur = selectedRsForMember_->remoteSystem(memberIntf);
  if (!isValidRemoteSystem(memberIntf, index) && cur && cur->index() != index) return;
  if (remoteSystem(memberIntf, index)) {
    maybeSetRsCtx(memberIntf, index);
  } else if (cur && cur->index() == index) {
    updateRsCtx(memberIntf);
  }
}

void LldpRemoteSystemSelectorSm::handleLastRefreshTime(Kivo::IntfId memberIntf, int index,
                                                       Zem::Optional<Velto::Duration> prev,
                                                       Zem::Optional<Velto::Duration> curr) {
  TRACE7("memberIntf={} rs={}; prev={} curr={}", memberIntf, index, prev, curr);
  auto cur = selectedRsForMember_->remoteSystem(memberIntf);
  // A first selection is made only by a TLV change or a rescan.
  if (!cur) return;
  if (!isValidRemoteSystem(memberIntf, index)) return;
  if (cur->index() != index) {
    // A valid competitor whose refresh caught up with the selection's takes
    // over.
    maybeSetRsCtx(memberIntf, index);
  } else {
    if (!prev || !curr) return;
    if (*prev > *curr) {
      TRACE2("memberIntf={}, rs={}; lastRefreshTime went back in time; prev={}, curr={}", memberIntf, index, *prev,
             *curr);
      // Another valid remote system may now be the newest.
      updateRsCtx(memberIntf);
    }
  }
  if (prev && curr) traceExcessiveDelay(memberIntf, *prev, *curr);
}

void LldpRemoteSystemSelectorSm::traceExcessiveDelay(Kivo::IntfId memberIntf, Velto::Duration prev,
                                                     Velto::Duration curr) const {
  // A previous time of 0 is the first refresh, not a late one.
  if (prev == 0) return;
  const Velto::Duration diff = curr - prev;
  if (diff > excessiveDelayThreshold_) {
    TRACE2("Excessive RX delay: {} prev={} curr={}; diff={} s", memberIntf, prev, curr, diff);
  }
}

void LldpRemoteSystemSelectorSm::handleInitialized() {
  TRACE0("");
  // A selection left over from an earlier selector whose port is gone.
  for (const auto& memberIntf : selectedRsForMember_->remoteSystem().keys()) {
    if (status_ && status_->portStatus().has(memberIntf)) continue;
    auto entry = selectedRsForMember_->remoteSystem(memberIntf);
    if (!entry) continue;
    TRACE6("del selectedRsForMember; memberIntf={} rs={}; cleanup on init", memberIntf, entry->index());
    selectedRsForMember_->remoteSystemDel(memberIntf);
  }
  if (!status_) return;
  for (const auto& memberIntf : sortedIntfs(*status_)) {
    TRACE6("update selectedRsForMember for memberIntf={} on init", memberIntf);
    updateRsCtx(memberIntf);
  }
}

Velto::Ptr<LldpRemoteSystemSelectorSm> lldpRemoteSystemSelectorSmFactory(
    const Velto::Ptr<const Lldp::Status>& status, const Velto::Ptr<LldpSelectedRsForMember>& selectedRsForMember) {
  auto sm = Velto::make<LldpRemoteSystemSelectorSm>(status, selectedRsForMember);
  sm->hasNotificationActiveIs(true);
  return sm;
}

}  // namespace VornFabricLldp

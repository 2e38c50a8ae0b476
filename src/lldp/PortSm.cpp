#include "lldp/PortSm.h"

#include "platform/events/Events.h"
#include "platform/trace/Ringlog.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace {
const Ringlog::Handle traceHandle{"Lldp::Agent::Protocol"};

// Refused frames are traced at level 2 at most this often per port (the
// rest at level 7), so a sender flooding bad frames cannot wash everything
// else out of the level's ring; the statistics count every one.
constexpr Velto::Duration kNoticeInterval = 1.0;
// At most one change event a second for each remote system.
constexpr Velto::Duration kChangeEventInterval = 1.0;

// The Vorn TLV as an event shows it: "member 1 (member), expects 2, heard -, flags 0x01".
std::string tlvText(const Zem::Optional<Lldp::VornTlv>& tlv) {
  if (!tlv) return "";
  auto id = [](Vorn::MemberId m) { return m.value() != 0 ? m.stringValue() : std::string("-"); };
  return fmt::format("member {} ({}), expects {}, heard {}, flags 0x{:02x}", tlv->memberId.stringValue(),
                     Vorn::stringValue(tlv->role), id(tlv->expectedPeerId), id(tlv->receivedPeerId), tlv->flags);
}

// Times within this of each other are the same time: re-arming a timer for a
// due time adds and subtracts the clock, which may round by a unit in the
// last place.
constexpr Velto::Duration kSlack = 1e-9;
}  // namespace

namespace Lldp::Agent::Protocol {

Velto::Duration ProtocolCtx::txTimeUnit() const { return config->isMessageTxTimeInMs() ? 0.001 : 1.0; }

Velto::Duration ProtocolCtx::txInterval() const {
  // An interval of 0 would transmit without end at one instant.
  return std::max(0.001, config->messageTxInterval() * txTimeUnit());
}

Velto::Duration ProtocolCtx::fastTxInterval() const { return std::max(0.001, config->msgFastTxMs() / 1000.0); }

Velto::Duration ProtocolCtx::reinitDelay() const { return config->reinitDelayMs() / 1000.0; }

Velto::Duration ProtocolCtx::txPhase(const Kivo::IntfId& intf) const {
  // FNV-1a over the name, then a finaliser that spreads close names apart.
  uint64_t h = 0xcbf29ce484222325ull ^ txPhaseSeed;
  for (unsigned char c : intf.stringValue()) h = (h ^ c) * 0x100000001b3ull;
  h ^= h >> 33;
  h *= 0xff51afd7ed558ccdull;
  h ^= h >> 33;
  const double fraction = static_cast<double>(h >> 11) / static_cast<double>(uint64_t{1} << 53);
  return std::floor(fraction * txInterval() * 1000) / 1000;
}

uint32_t ProtocolCtx::holdTimeMs() const {
  const uint64_t hold = config->messageTxHoldTime();
  const uint64_t ms = config->isMessageTxTimeInMs() ? hold : hold * 1000;
  return static_cast<uint32_t>(std::min<uint64_t>(ms, std::numeric_limits<uint32_t>::max()));
}

namespace {
bool sameMsap(const RemoteSystem& rs, const Codec::Lldpdu& pdu) {
  return rs.chassisIdSubtype() == pdu.chassisIdSubtype && rs.chassisId() == pdu.chassisId &&
         rs.portIdSubtype() == pdu.portIdSubtype && rs.portId() == pdu.portId;
}

Velto::Ptr<RemoteSystem> findMsap(const PortStatus& ps, const Codec::Lldpdu& pdu) {
  for (auto& [index, rs] : ps.remoteSystem()) {
    if (sameMsap(*rs, pdu)) return rs;
  }
  return nullptr;
}
}  // namespace

PortSm::PortSm(Velto::Ptr<ProtocolCtx> ctx, Kivo::IntfId intf, Velto::Ptr<Pam> pam, AdminStatus adminStatus,
               Velto::Duration firstTxAt)
    : ctx_(std::move(ctx)), intf_(intf), pam_(std::move(pam)), adminStatus_(adminStatus),
      txCredit_(ctx_->config->txCreditMax()), nextCreditAt_(ctx_->scheduler->now() + 1), txBlockedUntil_(firstTxAt) {
  const auto name = intf_.stringValue();
  txTask_ = Velto::make<Oru::TimerTask>(ctx_->scheduler, 0, "lldpTx:" + name);
  changeTask_ = Velto::make<Oru::TimerTask>(ctx_->scheduler, 0, "lldpTxChange:" + name);
  tooManyNeighborsTask_ = Velto::make<Oru::TimerTask>(ctx_->scheduler, 0, "lldpTooManyNeighbors:" + name);
  txReactor_ = watch(txTask_, [this](const Zem::Change&) { handleTxTask(); });
  changeReactor_ = watch(changeTask_, [this](const Zem::Change&) { handleChangeTask(); });
  tooManyNeighborsReactor_ = watch(tooManyNeighborsTask_, [this](const Zem::Change&) { handleTooManyNeighborsTask(); });
  pam_->receiverIs([this](std::span<const uint8_t> frame) { handleFrame(frame); });
  // First frame as soon as the changes that started the port are done, or
  // when a stop a moment ago has been followed by the re-initialisation delay.
  txTask_->scheduleTaskDelay(std::max(0.0, txBlockedUntil_ - ctx_->scheduler->now()));
  TRACE0("{}: LLDP running on {}, {}", intf_, pam_->deviceName(), adminStatus_);
}

PortSm::~PortSm() {
  if (!stopped_) pam_->receiverIs(nullptr);
}

// ---------------------------------------------------------------------------
// Transmission.

void PortSm::handleTxTask() {
  syncIoStatistics();
  const auto now = ctx_->scheduler->now();
  const bool blocked = now + kSlack < txBlockedUntil_;
  if (transmitting() && !blocked) {
    if (txFast_ > 0) {
      // A fast-start frame comes ahead of the regular schedule.
      --txFast_;
      if (maybeSpendCredit()) {
        if (const auto* f = frameToSend()) send(*f);
      }
    } else if (const auto* f = frameToSend()) {
      send(*f);
    }
  }
  Velto::Duration next = txFast_ > 0 ? ctx_->fastTxInterval() : ctx_->txInterval();
  if (transmitting() && blocked) next = txBlockedUntil_ - now;
  txTask_->scheduleTaskDelay(next);
}

void PortSm::handleTxTiming() {
  const auto interval = txFast_ > 0 ? ctx_->fastTxInterval() : ctx_->txInterval();
  const auto now = ctx_->scheduler->now();
  if (txTask_->taskScheduled() && txTask_->dueTime() > now + interval && txTask_->dueTime() > txBlockedUntil_) {
    txTask_->scheduleTaskDelay(std::max(interval, txBlockedUntil_ - now));
  }
}

void PortSm::handleLocalChange() {
  txFrameStale_ = true;
  // Several writes in one go make one frame.
  if (!stopped_ && !changeTask_->taskScheduled()) changeTask_->scheduleTaskDelay(0);
}

void PortSm::handleChangeTask() {
  // Before the first frame there is nothing to update.
  if (!transmitting() || lastSent_.empty()) return;
  const auto* frame = frameToSend();
  if (!frame || *frame == lastSent_) return;
  if (!maybeSpendCredit()) {
    TRACE6("{}: local change waits for the next frame: no transmit credit", intf_);
    return;
  }
  TRACE6("{}: local change sent at once", intf_);
  send(*frame);
}

void PortSm::maybeStartFastTx() {
  if (!transmitting() || lastSent_.empty()) return;
  const auto fast = ctx_->fastTxInterval();
  // Our regular interval may already be the faster of the two.
  if (fast >= ctx_->txInterval()) return;
  if (txFast_ == 0) txFast_ = ctx_->config->txFastInit();
  if (txFast_ == 0) return;
  TRACE6("{}: new neighbour: fast transmission, {} frames", intf_, txFast_);
  txTask_->scheduleTaskDelay(0);
}

bool PortSm::maybeSpendCredit() {
  const auto now = ctx_->scheduler->now();
  const uint32_t max = ctx_->config->txCreditMax();
  if (now + kSlack >= nextCreditAt_) {
    const auto n = std::floor(now + kSlack - nextCreditAt_) + 1;
    txCredit_ = static_cast<uint32_t>(std::min<double>(max, txCredit_ + n));
    nextCreditAt_ += n;
  }
  txCredit_ = std::min(txCredit_, max);
  if (txCredit_ == 0) return false;
  --txCredit_;
  return true;
}

const std::vector<uint8_t>* PortSm::frameToSend() {
  if (txFrameStale_) {
    auto frame = encodeFrame(false);
    // Incomplete records are looked at again next time: what completes them
    // need not be a change the port hears of.
    if (!frame) return nullptr;
    txFrame_ = std::move(*frame);
    txFrameStale_ = false;
  }
  return &txFrame_;
}

Zem::Optional<std::vector<uint8_t>> PortSm::shutdownFrame() { return encodeFrame(true); }

Zem::Optional<std::vector<uint8_t>> PortSm::encodeFrame(bool shutdown) {
  const auto& ls = ctx_->localSystem;
  auto lp = ls ? ls->localPort(intf_) : nullptr;
  auto eth = ctx_->ethPhyIntfStatusDir->intfStatus(intf_);
  if (!lp || !eth || ls->chassisId().size() == 0 || lp->portId().size() == 0) {
    // Said once per stretch, not every interval.
    if (!incompleteTraced_) {
      TRACE2("{}: nothing sent: local port {}, chassis ID of {} bytes, port ID of {} bytes", intf_,
             lp ? "present" : "missing", ls ? ls->chassisId().size() : 0, lp ? lp->portId().size() : 0);
    }
    incompleteTraced_ = true;
    return Zem::none;
  }
  incompleteTraced_ = false;
  Codec::Lldpdu pdu;
  pdu.src = eth->addr();
  pdu.chassisIdSubtype = ls->chassisIdSubtype();
  pdu.chassisId = ls->chassisId();
  pdu.portIdSubtype = lp->portIdSubtype();
  pdu.portId = lp->portId();
  if (!shutdown) {
    const uint32_t holdMs = ctx_->holdTimeMs();
    pdu.ttl = Codec::ttlForHoldTimeMs(holdMs);
    pdu.holdTimeMs = holdMs;
    pdu.vornTlv = lp->vornTlvTx();
  }
  return Codec::encode(pdu);
}

bool PortSm::send(std::span<const uint8_t> frame) {
  // Nothing goes out on a link that is down: no one would hear it.
  if (!pam_->linkUp()) return false;
  pam_->send(frame);
  lastSent_.assign(frame.begin(), frame.end());
  if (auto ps = ctx_->status->portStatus(intf_)) ps->framesOutAdd();
  return true;
}

void PortSm::adminStatusIs(AdminStatus status) {
  if (status == adminStatus_ || stopped_) return;
  Velto::Ptr<PortSm> self(this);
  const AdminStatus old = adminStatus_;
  TRACE0("{}: admin status {} -> {}", intf_, old, status);
  if (transmits(old) && !transmits(status)) {
    if (auto f = shutdownFrame()) send(*f);
    txFast_ = 0;
    lastSent_.clear();
    txBlockedUntil_ = ctx_->scheduler->now() + ctx_->reinitDelay();
  }
  adminStatus_ = status;
  if (!transmits(old) && transmits(status)) {
    txTask_->scheduleTaskDelay(std::max(0.0, txBlockedUntil_ - ctx_->scheduler->now()));
  }
  if (receives(old) && !receives(status)) forgetRemoteSystems();
}

void PortSm::stop() {
  if (stopped_) return;
  Velto::Ptr<PortSm> self(this);
  const bool goodbye = transmitting() && pam_->isOpen();
  stopped_ = true;
  pam_->receiverIs(nullptr);
  txTask_->stopTimerTask();
  changeTask_->stopTimerTask();
  if (goodbye) {
    if (auto f = shutdownFrame()) send(*f);
  }
  forgetRemoteSystems();
  TRACE0("{}: LLDP stopped", intf_);
}

// ---------------------------------------------------------------------------
// Reception.

void PortSm::handleFrame(std::span<const uint8_t> frame) {
  if (stopped_ || !hasNotificationActive() || !receives(adminStatus_)) return;
  // Handlers of what this writes may stop the port or drop the protocol.
  Velto::Ptr<PortSm> self(this);
  auto ps = ctx_->status->portStatus(intf_);
  if (!ps) {
    TRACE2("{}: frame received without a port status; dropped", intf_);
    return;
  }
  syncIoStatistics();
  ps->framesInAdd();
  if (ctx_->refreshUnchangedFrames && maybeRefreshUnchanged(*ps, frame)) return;
  const auto result = Codec::decode(frame);
  if (!result.ok()) {
    handleRefused(*ps, result);
    return;
  }
  const auto& decoded = result.decoded();
  ps->tlvsUnrecognizedAdd(decoded.unrecognizedTlvs);
  ps->tlvsDiscardedAdd(decoded.discardedTlvs.size());
  if (!decoded.discardedTlvs.empty()) {
    const bool notice = maybeNotice();
    for (const auto& t : decoded.discardedTlvs) {
      if (notice) {
        TRACE2("{}: TLV discarded: {}: {}", intf_, t.reason, t.text);
      } else {
        TRACE7("{}: TLV discarded: {}: {}", intf_, t.reason, t.text);
      }
    }
  }
  const auto& pdu = decoded.lldpdu;
  if (pdu.isShutdown()) {
    handleShutdown(*ps, pdu);
    return;
  }
  auto rs = findMsap(*ps, pdu);
  if (rs) {
    // Only frames that differ from the last one come this way; what an
    // operator sees changing is reported.
    if (Events::enabled()) reportChanged(*rs, pdu);
    refresh(*rs, pdu);
    if (stopped_) return;
    maybeArmAgeout(rs->index(), pdu.holdTime());
    rememberFrame(rs, frame, decoded);
    return;
  }
  if (!maybeMakeRoom(*ps, pdu) || stopped_) return;
  const int index = ++ctx_->lastIndex[intf_];
  rs = Velto::make<RemoteSystem>(index);
  refresh(*rs, pdu);
  TRACE6("{}: new remote system {} (chassis {}, port {}, hold {}s)", intf_, index, pdu.chassisId, pdu.portId,
         pdu.holdTime());
  ps->remoteTablesInsertsAdd();
  ps->remoteSystemPut(index, rs);
  if (Events::enabled()) {
    Events::emit(Events::Kind::neighborAdded, intf_.stringValue(),
                 {{"index", std::to_string(index)},
                  {"chassisId", pdu.chassisId.displayText()},
                  {"portId", pdu.portId.displayText()},
                  {"systemName", pdu.systemName.valueOr("")},
                  {"ttl", std::to_string(pdu.ttl)},
                  {"vornTlv", tlvText(pdu.vornTlv)}});
  }
  if (stopped_) return;
  maybeArmAgeout(index, pdu.holdTime());
  rememberFrame(rs, frame, decoded);
  maybeStartFastTx();
}

bool PortSm::maybeRefreshUnchanged(PortStatus& ps, std::span<const uint8_t> frame) {
  auto it = std::find_if(heard_.begin(), heard_.end(), [&](const auto& h) {
    return std::equal(frame.begin(), frame.end(), h.second.frame.begin(), h.second.frame.end());
  });
  if (it == heard_.end()) return false;
  const int index = it->first;
  // Taken out of the entry: the refresh's handlers may forget it.
  const auto rs = it->second.rs;
  const auto hold = it->second.hold;
  if (ps.remoteSystem(index) != rs) {
    heard_.erase(it);
    return false;
  }
  // The same bytes decode to the same values: of everything a refresh
  // writes only the time changes, and the frame counts what it counted.
  ps.tlvsUnrecognizedAdd(it->second.unrecognizedTlvs);
  rs->lastRefreshTimeIs(ctx_->scheduler->now());
  if (!stopped_) maybeArmAgeout(index, hold);
  return true;
}

void PortSm::rememberFrame(const Velto::Ptr<RemoteSystem>& rs, std::span<const uint8_t> frame,
                           const Codec::Decoded& decoded) {
  // A frame with TLVs left out is traced each time it comes; it takes the
  // whole way.
  if (!decoded.discardedTlvs.empty()) {
    heard_.erase(rs->index());
    return;
  }
  auto& h = heard_[rs->index()];
  h.frame.assign(frame.begin(), frame.end());
  h.rs = rs;
  h.hold = decoded.lldpdu.holdTime();
  h.unrecognizedTlvs = decoded.unrecognizedTlvs;
}

bool PortSm::maybeNotice() {
  const auto now = ctx_->scheduler->now();
  if (noticedAt_ && now < *noticedAt_ + kNoticeInterval) return false;
  noticedAt_ = now;
  return true;
}

void PortSm::handleRefused(PortStatus& ps, const Codec::Result& result) {
  const auto& r = result.rejection();
  if (maybeNotice()) {
    TRACE2("{}: frame discarded: {}: {}", intf_, r.reason, r.text);
  } else {
    TRACE7("{}: frame discarded: {}: {}", intf_, r.reason, r.text);
  }
  ps.framesDiscardedAdd();
  if (r.reason == Codec::Reason::taggedFrame) {
    ps.framesTaggedAdd();
  } else if (r.reason != Codec::Reason::notLldp) {
    ps.framesInErrorsAdd();
  }
}

void PortSm::handleShutdown(PortStatus& ps, const Codec::Lldpdu& pdu) {
  auto rs = findMsap(ps, pdu);
  if (!rs) return;
  TRACE0("{}: remote system {} shut down (chassis {}, port {})", intf_, rs->index(), rs->chassisId(), rs->portId());
  reportGone(Events::Kind::neighborDeleted, *rs, "shutdown");
  removeRemoteSystem(ps, rs->index());
}

bool PortSm::maybeMakeRoom(PortStatus& ps, const Codec::Lldpdu& pdu) {
  if (ps.remoteSystem().size() < ctx_->maxRemoteSystemsPerPort) return true;
  if (isExpectedPeer(pdu.vornTlv)) {
    // The least recently heard entry that is not the peer (the lower index
    // among equals, so the choice does not depend on the table's order).
    Velto::Ptr<RemoteSystem> out;
    for (const auto& [index, rs] : ps.remoteSystem()) {
      if (isExpectedPeer(rs->vornTlv())) continue;
      if (!out || std::pair(rs->lastRefreshTime(), index) < std::pair(out->lastRefreshTime(), out->index())) out = rs;
    }
    if (out) {
      TRACE2("{}: remote table full: remote system {} (chassis {}, port {}) pushed out for the peer (chassis {}, "
             "port {})",
             intf_, out->index(), out->chassisId(), out->portId(), pdu.chassisId, pdu.portId);
      Velto::Duration left = 0;
      if (auto it = ageouts_.find(out->index()); it != ageouts_.end() && it->second.task->taskScheduled()) {
        left = it->second.task->dueTime() - ctx_->scheduler->now();
      }
      ps.remoteTablesDropsAdd();
      noteTooManyNeighbors(ps, left);
      reportGone(Events::Kind::neighborDeleted, *out, "pushed out by the peer");
      removeRemoteSystem(ps, out->index());
      return true;
    }
  }
  if (maybeNotice()) {
    TRACE2("{}: already {} remote systems; frame of chassis {}, port {} discarded", intf_, ps.remoteSystem().size(),
           pdu.chassisId, pdu.portId);
  } else {
    TRACE7("{}: already {} remote systems; frame of chassis {}, port {} discarded", intf_, ps.remoteSystem().size(),
           pdu.chassisId, pdu.portId);
  }
  ps.framesDiscardedAdd();
  ps.remoteTablesDropsAdd();
  noteTooManyNeighbors(ps, pdu.holdTime());
  return false;
}

bool PortSm::isExpectedPeer(const Zem::Optional<VornTlv>& tlv) const {
  if (!tlv || !ctx_->localSystem) return false;
  auto lp = ctx_->localSystem->localPort(intf_);
  if (!lp || !lp->vornTlvTx()) return false;
  const auto expected = lp->vornTlvTx()->expectedPeerId;
  return expected.value() != 0 && tlv->memberId == expected;
}

void PortSm::noteTooManyNeighbors(PortStatus& ps, Velto::Duration hold) {
  const auto until = ctx_->scheduler->now() + hold;
  if (!tooManyNeighborsTask_->taskScheduled() || tooManyNeighborsTask_->dueTime() < until) {
    tooManyNeighborsTask_->scheduleTaskDelay(hold);
  }
  ps.tooManyNeighborsIs(true);
}

void PortSm::handleTooManyNeighborsTask() {
  TRACE6("{}: no refused information is current any more", intf_);
  if (auto ps = ctx_->status->portStatus(intf_)) ps->tooManyNeighborsIs(false);
}

void PortSm::removeRemoteSystem(PortStatus& ps, int index) {
  ageouts_.erase(index);
  heard_.erase(index);
  changeNotes_.erase(index);
  ps.remoteTablesDeletesAdd();
  ps.remoteSystemDel(index);
}

void PortSm::forgetRemoteSystems() {
  ageouts_.clear();
  heard_.clear();
  changeNotes_.clear();
  tooManyNeighborsTask_->stopTimerTask();
  auto ps = ctx_->status->portStatus(intf_);
  if (!ps) return;
  for (int index : ps->remoteSystem().keys()) removeRemoteSystem(*ps, index);
  ps->tooManyNeighborsIs(false);
}

void PortSm::handleAgeout(int index) {
  Velto::Ptr<PortSm> self(this);
  ageouts_.erase(index);
  auto ps = ctx_->status->portStatus(intf_);
  auto rs = ps ? ps->remoteSystem(index) : nullptr;
  if (!rs) return;
  TRACE0("{}: remote system {} aged out (chassis {}, port {}, last heard at {})", intf_, index, rs->chassisId(),
         rs->portId(), rs->lastRefreshTime());
  ps->ageoutsAdd();
  ps->remoteTablesAgeoutsAdd();
  reportGone(Events::Kind::neighborAgedOut, *rs, "TTL expired");
  removeRemoteSystem(*ps, index);
}

void PortSm::reportGone(Events::Kind kind, const RemoteSystem& rs, const char* reason) const {
  if (!Events::enabled()) return;
  Events::emit(kind, intf_.stringValue(),
               {{"index", std::to_string(rs.index())},
                {"chassisId", rs.chassisId().displayText()},
                {"portId", rs.portId().displayText()},
                {"reason", reason}});
}

void PortSm::reportChanged(const RemoteSystem& rs, const Codec::Lldpdu& pdu) {
  std::string what;
  for (const auto& [differs, name] : {std::pair(rs.vornTlv() != pdu.vornTlv, "vornTlv"),
                                      std::pair(rs.systemName() != pdu.systemName.valueOr(""), "systemName"),
                                      std::pair(rs.ttl() != pdu.ttl, "ttl")}) {
    if (!differs) continue;
    if (!what.empty()) what.push_back(' ');
    what.append(name);
  }
  if (what.empty()) return;
  const Velto::Duration now = ctx_->scheduler->now();
  auto [notes, first] = changeNotes_.try_emplace(rs.index());
  if (!first && now < notes->second.lastAt + kChangeEventInterval) {
    ++notes->second.unreported;
    return;
  }
  Events::emit(Events::Kind::neighborChanged, intf_.stringValue(),
               {{"index", std::to_string(rs.index())},
                {"chassisId", rs.chassisId().displayText()},
                {"portId", rs.portId().displayText()},
                {"what", what},
                {"vornTlv", tlvText(pdu.vornTlv)},
                {"changes", std::to_string(notes->second.unreported + 1)}});
  notes->second = {now, 0};
}

// Every attribute is written on each frame; only changes publish. The
// refresh time comes last, so whoever watches it sees the frame whole.
void PortSm::refresh(RemoteSystem& rs, const Codec::Lldpdu& pdu) {
  rs.chassisIdSubtypeIs(pdu.chassisIdSubtype);
  rs.chassisIdIs(pdu.chassisId);
  rs.portIdSubtypeIs(pdu.portIdSubtype);
  rs.portIdIs(pdu.portId);
  rs.ttlIs(pdu.ttl);
  rs.vornTlvIs(pdu.vornTlv);
  rs.systemNameIs(pdu.systemName.valueOr(""));
  rs.lastRefreshTimeIs(ctx_->scheduler->now());
}

void PortSm::maybeArmAgeout(int index, Velto::Duration hold) {
  auto& ageout = ageouts_[index];
  if (!ageout.task) {
    ageout.task =
        Velto::make<Oru::TimerTask>(ctx_->scheduler, 0, fmt::format("lldpAgeout:{}:{}", intf_.stringValue(), index));
    ageout.reactor = watch(ageout.task, [this, index](const Zem::Change&) { handleAgeout(index); });
  }
  ageout.task->scheduleTaskDelay(hold);
}

void PortSm::syncIoStatistics() {
  auto ps = ctx_->status->portStatus(intf_);
  if (!ps) return;
  const auto now = pam_->ioStatistics();
  if (now.overruns > ioSeen_.overruns) ps->receiveOverrunsAdd(now.overruns - ioSeen_.overruns);
  if (now.receiveErrors > ioSeen_.receiveErrors) ps->receiveErrorsAdd(now.receiveErrors - ioSeen_.receiveErrors);
  if (now.transmitDrops > ioSeen_.transmitDrops) ps->transmitDropsAdd(now.transmitDrops - ioSeen_.transmitDrops);
  ioSeen_ = now;
}

}  // namespace Lldp::Agent::Protocol

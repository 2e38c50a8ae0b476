#include "lldp/ProtocolSm.h"

#include "lldp/Codec.h"
#include "platform/trace/Ringlog.h"

#include <algorithm>
#include <limits>
#include <set>
#include <unordered_map>

namespace {
const Ringlog::Handle traceHandle{"Lldp::Agent::Protocol"};
}

namespace Lldp::Agent::Protocol {

// What every port of one protocol state machine shares. Ports hold it rather
// than their state machine, so a port still delivering a frame stays sound
// when a handler drops the whole protocol.
struct ProtocolCtx : Velto::RefCounted {
  Velto::Ptr<Oru::TaskScheduler> scheduler;
  Velto::Ptr<const LocalSystem> localSystem;
  Velto::Ptr<const Interface::AllEthPhyIntfStatusDir> ethPhyIntfStatusDir;
  Velto::Ptr<const Config> config;
  Velto::Ptr<Status> status;
  uint32_t maxRemoteSystemsPerPort = ProtocolSm::defaultMaxRemoteSystemsPerPort;
  // Last remote system index given out per port; indexes are never reused
  // while the engine runs, so an index always names one MSAP.
  std::unordered_map<Kivo::IntfId, int> lastIndex;

  // Seconds per unit of the configured transmit times.
  Velto::Duration txTimeUnit() const { return config->isMessageTxTimeInMs() ? 0.001 : 1.0; }
  Velto::Duration txInterval() const {
    // An interval of 0 would transmit without end at one instant.
    return std::max(0.001, config->messageTxInterval() * txTimeUnit());
  }
  uint32_t holdTimeMs() const {
    const uint64_t hold = config->messageTxHoldTime();
    const uint64_t ms = config->isMessageTxTimeInMs() ? hold : hold * 1000;
    return static_cast<uint32_t>(std::min<uint64_t>(ms, std::numeric_limits<uint32_t>::max()));
  }
};

namespace {
// Adds to one of a port's counters, when the port has a status.
void bump(const Velto::Ptr<PortStatus>& ps, const uint64_t& (PortStatus::*get)() const,
          void (PortStatus::*set)(const uint64_t&), uint64_t by = 1) {
  if (ps) (ps.get()->*set)((ps.get()->*get)() + by);
}
}  // namespace

// One running LLDP port.
class PortSm : public Zem::StateMachine {
 public:
  PortSm(Velto::Ptr<ProtocolCtx> ctx, Kivo::IntfId intf, Velto::Ptr<Pam> pam)
      : ctx_(std::move(ctx)), intf_(intf), pam_(std::move(pam)) {
    txTask_ = Velto::make<Oru::TimerTask>(ctx_->scheduler, 0, "lldpTx:" + intf_.stringValue());
    txReactor_ = watch(txTask_, [this](const Zem::Change&) { handleTxTask(); });
    pam_->receiverIs([this](std::span<const uint8_t> frame) { handleFrame(frame); });
    // First frame as soon as the changes that started the port are done.
    txTask_->scheduleTaskDelay(0);
    TRACE0("{}: LLDP running on {}", intf_, pam_->deviceName());
  }
  ~PortSm() override {
    if (!stopped_) pam_->receiverIs(nullptr);
  }

  const Velto::Ptr<Pam>& pam() const { return pam_; }

  void handleTxTask() {
    transmit(false);
    txTask_->scheduleTaskDelay(ctx_->txInterval());
  }

  // The transmit interval changed: a shorter one takes effect now, a longer
  // one after the frame already due.
  void handleTxTiming() {
    const auto interval = ctx_->txInterval();
    if (txTask_->taskScheduled() && txTask_->dueTime() > ctx_->scheduler->now() + interval) {
      txTask_->scheduleTaskDelay(interval);
    }
  }

  void handleFrame(std::span<const uint8_t> frame) {
    if (stopped_ || !hasNotificationActive()) return;
    // Handlers of what this writes may stop the port or drop the protocol.
    Velto::Ptr<PortSm> self(this);
    auto ps = ctx_->status->portStatus(intf_);
    if (!ps) {
      TRACE2("{}: frame received without a port status; dropped", intf_);
      return;
    }
    bump(ps, &PortStatus::framesIn, &PortStatus::framesInIs);
    const auto result = Codec::decode(frame);
    if (!result.ok()) {
      const auto& r = result.rejection();
      TRACE2("{}: frame discarded: {}: {}", intf_, r.reason, r.text);
      bump(ps, &PortStatus::framesDiscarded, &PortStatus::framesDiscardedIs);
      return;
    }
    if (auto n = result.decoded().unrecognizedTlvs) {
      bump(ps, &PortStatus::tlvsUnrecognized, &PortStatus::tlvsUnrecognizedIs, n);
    }
    if (stopped_) return;
    const auto& pdu = result.lldpdu();
    auto rs = findMsap(*ps, pdu);
    if (pdu.isShutdown()) {
      if (rs) {
        TRACE0("{}: remote system {} shut down (chassis {}, port {})", intf_, rs->index(), rs->chassisId(),
               rs->portId());
        ageouts_.erase(rs->index());
        ps->remoteSystemDel(rs->index());
      }
      return;
    }
    if (!rs) {
      if (ps->remoteSystem().size() >= ctx_->maxRemoteSystemsPerPort) {
        TRACE2("{}: already {} remote systems; frame of chassis {}, port {} discarded", intf_,
               ps->remoteSystem().size(), pdu.chassisId, pdu.portId);
        bump(ps, &PortStatus::framesDiscarded, &PortStatus::framesDiscardedIs);
        return;
      }
      const int index = ++ctx_->lastIndex[intf_];
      rs = Velto::make<RemoteSystem>(index);
      refresh(*rs, pdu);
      TRACE6("{}: new remote system {} (chassis {}, port {}, hold {}s)", intf_, index, pdu.chassisId, pdu.portId,
             pdu.holdTime());
      ps->remoteSystemPut(index, rs);
    } else {
      refresh(*rs, pdu);
    }
    if (stopped_) return;
    maybeArmAgeout(rs->index(), pdu.holdTime());
  }

  void handleAgeout(int index) {
    Velto::Ptr<PortSm> self(this);
    ageouts_.erase(index);
    auto ps = ctx_->status->portStatus(intf_);
    auto rs = ps ? ps->remoteSystem(index) : nullptr;
    if (!rs) return;
    TRACE0("{}: remote system {} aged out (chassis {}, port {}, last heard at {})", intf_, index, rs->chassisId(),
           rs->portId(), rs->lastRefreshTime());
    ps->remoteSystemDel(index);
    bump(ps, &PortStatus::ageouts, &PortStatus::ageoutsIs);
  }

  // Stops the port for good: the neighbour is told when `sayGoodbye` and the
  // I/O is still open; what the port heard is forgotten.
  void stop(bool sayGoodbye) {
    if (stopped_) return;
    Velto::Ptr<PortSm> self(this);
    stopped_ = true;
    pam_->receiverIs(nullptr);
    txTask_->stopTimerTask();
    ageouts_.clear();
    if (sayGoodbye && pam_->isOpen()) transmit(true);
    if (auto ps = ctx_->status->portStatus(intf_)) {
      for (int index : ps->remoteSystem().keys()) ps->remoteSystemDel(index);
    }
    TRACE0("{}: LLDP stopped", intf_);
  }

 private:
  static bool sameMsap(const RemoteSystem& rs, const Codec::Lldpdu& pdu) {
    return rs.chassisIdSubtype() == pdu.chassisIdSubtype && rs.chassisId() == pdu.chassisId &&
           rs.portIdSubtype() == pdu.portIdSubtype && rs.portId() == pdu.portId;
  }

  static Velto::Ptr<RemoteSystem> findMsap(const PortStatus& ps, const Codec::Lldpdu& pdu) {
    for (auto& [index, rs] : ps.remoteSystem()) {
      if (sameMsap(*rs, pdu)) return rs;
    }
    return nullptr;
  }

  // Every attribute is written on each frame; only changes publish. The
  // refresh time comes last, so whoever watches it sees the frame whole.
  void refresh(RemoteSystem& rs, const Codec::Lldpdu& pdu) {
    rs.chassisIdSubtypeIs(pdu.chassisIdSubtype);
    rs.chassisIdIs(pdu.chassisId);
    rs.portIdSubtypeIs(pdu.portIdSubtype);
    rs.portIdIs(pdu.portId);
    rs.ttlIs(pdu.ttl);
    rs.vornTlvIs(pdu.vornTlv);
    rs.systemNameIs(pdu.systemName.valueOr(""));
    rs.lastRefreshTimeIs(ctx_->scheduler->now());
  }

  void maybeArmAgeout(int index, Velto::Duration hold) {
    auto& ageout = ageouts_[index];
    if (!ageout.task) {
      ageout.task = Velto::make<Oru::TimerTask>(ctx_->scheduler, 0,
                                                fmt::format("lldpAgeout:{}:{}", intf_.stringValue(), index));
      ageout.reactor = watch(ageout.task, [this, index](const Zem::Change&) { handleAgeout(index); });
    }
    ageout.task->scheduleTaskDelay(hold);
  }

  void transmit(bool shutdown) {
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
      return;
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
    pam_->send(Codec::encode(pdu));
    bump(ctx_->status->portStatus(intf_), &PortStatus::framesOut, &PortStatus::framesOutIs);
  }

  struct Ageout {
    Velto::Ptr<Oru::TimerTask> task;
    Zem::Reactor reactor;
  };

  Velto::Ptr<ProtocolCtx> ctx_;
  Kivo::IntfId intf_;
  Velto::Ptr<Pam> pam_;
  Velto::Ptr<Oru::TimerTask> txTask_;
  Zem::Reactor txReactor_;
  std::map<int, Ageout> ageouts_;
  bool stopped_ = false;
  bool incompleteTraced_ = false;
};

// ---------------------------------------------------------------------------

ProtocolSm::ProtocolSm(Velto::Ptr<PamCollection> pamCollection, Velto::Ptr<const LocalSystem> localSystem,
                       Velto::Ptr<Oru::TaskScheduler> scheduler,
                       Velto::Ptr<const Interface::AllEthPhyIntfStatusDir> ethPhyIntfStatusDir,
                       Velto::Ptr<const Config> config, Velto::Ptr<Status> status)
    : pamCollection_(std::move(pamCollection)), ethPhyIntfStatusDir_(ethPhyIntfStatusDir), config_(config),
      ctx_(Velto::make<ProtocolCtx>()) {
  ZEM_ASSERT(pamCollection_);
  ctx_->scheduler = std::move(scheduler);
  ctx_->localSystem = std::move(localSystem);
  ctx_->ethPhyIntfStatusDir = std::move(ethPhyIntfStatusDir);
  ctx_->config = std::move(config);
  ctx_->status = std::move(status);
  if (!ctx_->scheduler) TRACE2("no scheduler: LLDP ports will not run");

  pamReactor_ = watch(pamCollection_, [this](const Zem::Change& c) {
    if (c.is(PamCollection::pamAttr) && !c.nested()) handleIntf(c.keyAs<Kivo::IntfId>());
  });
  configReactor_ = watch(config_, [this](const Zem::Change& c) {
    if (c.is(Config::portConfigAttr) && !c.nested()) {
      handleIntf(c.keyAs<Kivo::IntfId>());
    } else if (c.is(Config::messageTxIntervalAttr) || c.is(Config::isMessageTxTimeInMsAttr)) {
      handleTxTiming();
    }
  });
  ethPhyReactor_ = watch(ethPhyIntfStatusDir_, [this](const Zem::Change& c) {
    if (c.is(Interface::AllEthPhyIntfStatusDir::intfStatusAttr) && !c.nested()) handleIntf(c.keyAs<Kivo::IntfId>());
  });
  handleInitialized();
}

ProtocolSm::~ProtocolSm() {
  // Destruction sends and writes nothing: the records may outlive the engine
  // (an agent restart) and the neighbours keep what they heard until it ages.
  ports_.clear();
}

void ProtocolSm::hasNotificationActiveIs(bool active) {
  if (active == hasNotificationActive()) return;
  Zem::StateMachine::hasNotificationActiveIs(active);
  for (auto& [intf, port] : ports_) port->hasNotificationActiveIs(active);
}

uint32_t ProtocolSm::maxRemoteSystemsPerPort() const { return ctx_->maxRemoteSystemsPerPort; }
void ProtocolSm::maxRemoteSystemsPerPortIs(uint32_t n) { ctx_->maxRemoteSystemsPerPort = n; }

void ProtocolSm::handleInitialized() {
  std::set<Kivo::IntfId> intfs;
  for (const auto& k : pamCollection_->pam().keys()) intfs.insert(k);
  for (const auto& [k, port] : ports_) intfs.insert(k);
  for (const auto& intf : intfs) handleIntf(intf);
}

void ProtocolSm::handleIntf(const Kivo::IntfId& intf) {
  auto pam = pamCollection_->pam(intf);
  const bool wanted = pam && pam->isOpen() && config_ && config_->portConfig(intf) && ethPhyIntfStatusDir_ &&
                      ethPhyIntfStatusDir_->intfStatus(intf) && ctx_->scheduler && ctx_->status;
  auto it = ports_.find(intf);
  if (it != ports_.end() && (!wanted || it->second->pam() != pam)) {
    // Out of the map first: stopping publishes, and handlers may come back here.
    auto port = std::move(it->second);
    ports_.erase(it);
    port->stop(true);
  }
  if (wanted && !ports_.count(intf)) {
    auto port = Velto::make<PortSm>(ctx_, intf, pam);
    port->hasNotificationActiveIs(hasNotificationActive());
    ports_.emplace(intf, std::move(port));
  }
}

void ProtocolSm::handleTxTiming() {
  for (auto& [intf, port] : ports_) port->handleTxTiming();
}

Velto::Ptr<ProtocolSm> protocolSmFactory(Velto::Ptr<PamCollection> pamCollection,
                                         Velto::Ptr<const LocalSystem> localSystem,
                                         Velto::Ptr<Oru::TaskScheduler> scheduler,
                                         Velto::Ptr<const Interface::AllEthPhyIntfStatusDir> ethPhyIntfStatusDir,
                                         Velto::Ptr<const Config> config, Velto::Ptr<Status> status) {
  auto sm = Velto::make<ProtocolSm>(std::move(pamCollection), std::move(localSystem), std::move(scheduler),
                                    std::move(ethPhyIntfStatusDir), std::move(config), std::move(status));
  sm->hasNotificationActiveIs(true);
  return sm;
}

}  // namespace Lldp::Agent::Protocol

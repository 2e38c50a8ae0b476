#include "lldp/ProtocolSm.h"

#include "lldp/Codec.h"
#include "platform/trace/Ringlog.h"

#include <algorithm>
#include <set>

namespace {
const Ringlog::Handle traceHandle{"Lldp::Agent::Protocol"};
}

namespace Lldp::Agent::Protocol {

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
  ctx_->maxRemoteSystemsPerPort = defaultMaxRemoteSystemsPerPort;
  if (!ctx_->scheduler) TRACE2("no scheduler: LLDP ports will not run");

  pamReactor_ = watch(pamCollection_, [this](const Zem::Change& c) {
    auto d = Zem::delta(c, PamCollection::pamAttr);
    if (d && !d->changedInside()) handleIntf(d->key);
  });
  configReactor_ = watch(config_, [this](const Zem::Change& c) {
    if (auto port = Zem::delta(c, Config::portConfigAttr)) {
      if (!port->inner || port->inner->is(PortConfig::adminStatusAttr)) handleIntf(port->key);
    } else if (c.is(Config::messageTxIntervalAttr) || c.is(Config::isMessageTxTimeInMsAttr) ||
               c.is(Config::msgFastTxMsAttr)) {
      handleTxTiming();
      handleLocalChange();  // the hold time follows the time unit
    } else if (c.is(Config::messageTxHoldTimeAttr)) {
      handleLocalChange();
    }
  });
  // What the ports send: the chassis identity for all, a local port's own
  // identity and Vorn TLV for that port.
  if (ctx_->localSystem) {
    localSystemReactor_ = watch(ctx_->localSystem, [this](const Zem::Change& c) {
      if (auto port = Zem::delta(c, LocalSystem::localPortAttr)) {
        if (auto it = ports_.find(port->key); it != ports_.end()) it->second->handleLocalChange();
      } else {
        handleLocalChange();
      }
    });
  }
  ethPhyReactor_ = watch(ethPhyIntfStatusDir_, [this](const Zem::Change& c) {
    auto d = Zem::delta(c, Interface::AllEthPhyIntfStatusDir::intfStatusAttr);
    if (!d) return;
    if (!d->changedInside()) {
      handleIntf(d->key);
    } else if (d->inner->is(Interface::EthIntfStatus::addrAttr)) {
      if (auto it = ports_.find(d->key); it != ports_.end()) it->second->handleSourceAddrChange();
    }
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
bool ProtocolSm::refreshUnchangedFrames() const { return ctx_->refreshUnchangedFrames; }
void ProtocolSm::refreshUnchangedFramesIs(bool on) { ctx_->refreshUnchangedFrames = on; }

void ProtocolSm::handleInitialized() {
  std::set<Kivo::IntfId> intfs;
  for (const auto& k : pamCollection_->pam().keys()) intfs.insert(k);
  for (const auto& [k, port] : ports_) intfs.insert(k);
  for (const auto& intf : intfs) handleIntf(intf);
}

void ProtocolSm::handleIntf(const Kivo::IntfId& intf) {
  auto pam = pamCollection_->pam(intf);
  auto portConfig = config_ ? config_->portConfig(intf) : nullptr;
  const AdminStatus admin = portConfig ? portConfig->adminStatus() : AdminStatus::disabled;
  const bool wanted = pam && pam->isOpen() && admin != AdminStatus::disabled && ethPhyIntfStatusDir_ &&
                      ethPhyIntfStatusDir_->intfStatus(intf) && ctx_->scheduler && ctx_->status;
  auto it = ports_.find(intf);
  if (it != ports_.end() && (!wanted || it->second->pam() != pam)) {
    // Out of the map first: stopping publishes, and handlers may come back here.
    auto port = std::move(it->second);
    ports_.erase(it);
    stoppedAt_[intf] = ctx_->scheduler->now();
    port->stop();
  }
  if (!wanted) return;
  if (auto running = ports_.find(intf); running != ports_.end()) {
    auto port = running->second;
    port->adminStatusIs(admin);
    return;
  }
  Velto::Duration firstTxAt = 0;
  if (auto stopped = stoppedAt_.find(intf); stopped != stoppedAt_.end()) {
    firstTxAt = stopped->second + ctx_->reinitDelay();
  }
  if (ports_.size() >= ProtocolCtx::portsStartedAtOnce) {
    firstTxAt = std::max(firstTxAt, ctx_->scheduler->now() + ctx_->txPhase(intf));
  }
  auto port = Velto::make<PortSm>(ctx_, intf, pam, admin, firstTxAt);
  port->hasNotificationActiveIs(hasNotificationActive());
  ports_.emplace(intf, std::move(port));
}

void ProtocolSm::handleTxTiming() {
  for (auto& [intf, port] : ports_) port->handleTxTiming();
}

void ProtocolSm::handleLocalChange() {
  for (auto& [intf, port] : ports_) port->handleLocalChange();
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

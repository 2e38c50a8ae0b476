#include "lldp/Pam.h"

#include "platform/trace/Ringlog.h"

#include <set>

namespace {
const Ringlog::Handle traceHandle{"Lldp::Agent::Protocol"};
}

namespace Lldp::Agent::Protocol {

Pam::Pam(Kivo::IntfId intf, std::string deviceName) : inbox_(Velto::make<Inbox>()) {
  intf_ = intf;
  deviceName_ = std::move(deviceName);
  inbox_->pam = this;
}

Pam::~Pam() {
  if (inbox_) inbox_->pam = nullptr;
}

void Pam::open(Transport& transport) {
  if (io_) return;
  if (!inbox_) {
    inbox_ = Velto::make<Inbox>();
    inbox_->pam = this;
  }
  io_ = transport.open(intf_, deviceName_, [inbox = inbox_](std::span<const uint8_t> frame) {
    if (inbox->pam) inbox->pam->frameReceived(frame);
  });
}

void Pam::send(std::span<const uint8_t> frame) {
  if (io_) io_->send(frame);
}

void Pam::frameReceived(std::span<const uint8_t> frame) {
  // The receiver may replace itself or close this PAM while it runs.
  if (auto receiver = receiver_) receiver(frame);
}

// ---------------------------------------------------------------------------

EthDevPamManager::EthDevPamManager(Velto::Ptr<const Interface::PamDesiredIntfDir> desiredIntfDir,
                                   Velto::Ptr<const Interface::AllEthPhyIntfStatusDir> ethPhyIntfStatusDir,
                                   Velto::Ptr<PamCollection> pamCollection, Velto::Ptr<Transport> transport)
    : desiredIntfDir_(std::move(desiredIntfDir)), ethPhyIntfStatusDir_(std::move(ethPhyIntfStatusDir)),
      pamCollection_(std::move(pamCollection)), transport_(std::move(transport)) {
  ZEM_ASSERT(pamCollection_);
  desiredReactor_ = watch(desiredIntfDir_, [this](const Zem::Change& c) {
    Zem::onDelta(c, Interface::PamDesiredIntfDir::intfDesiredAttr, [this](const auto& d) { handleIntf(d.key); });
  });
  ethPhyReactor_ = watch(ethPhyIntfStatusDir_, [this](const Zem::Change& c) {
    auto d = Zem::delta(c, Interface::AllEthPhyIntfStatusDir::intfStatusAttr);
    // A new status, a status gone, or its device renamed.
    if (d && (!d->inner || d->inner->is(Interface::IntfStatus::deviceNameAttr))) handleIntf(d->key);
  });
  if (!transport_) TRACE2("no frame transport: LLDP ports will not open");
  handleInitialized();
}

void EthDevPamManager::enabledIs(bool enabled) {
  if (enabled == enabled_) return;
  TRACE0("LLDP port access {}", enabled ? "enabled" : "disabled");
  enabled_ = enabled;
  handleInitialized();
}

void EthDevPamManager::handleInitialized() {
  std::set<Kivo::IntfId> intfs;
  for (const auto& k : pamCollection_->pam().keys()) intfs.insert(k);
  if (desiredIntfDir_) {
    for (const auto& k : desiredIntfDir_->intfDesired().keys()) intfs.insert(k);
  }
  for (const auto& intf : intfs) handleIntf(intf);
}

void EthDevPamManager::handleIntf(const Kivo::IntfId& intf) {
  Velto::Ptr<Interface::EthPhyIntfStatus> status;
  if (ethPhyIntfStatusDir_) status = ethPhyIntfStatusDir_->intfStatus(intf);
  const bool desired = desiredIntfDir_ && desiredIntfDir_->intfDesired(intf);
  const bool wanted = enabled_ && desired && status && transport_;
  auto pam = pamCollection_->pam(intf);
  if (pam && (!wanted || pam->deviceName() != status->deviceName())) {
    TRACE0("close port access {} on {}", intf, pam->deviceName());
    pamCollection_->pamDel(intf);
  }
  if (wanted && !pamCollection_->pam(intf)) maybeOpen(intf, status->deviceName());
}

void EthDevPamManager::maybeOpen(const Kivo::IntfId& intf, const std::string& deviceName) {
  auto pam = Velto::make<Pam>(intf, deviceName);
  try {
    pam->open(*transport_);
  } catch (const TransportError& e) {
    TRACE2("cannot open port access {} on {}: {}", intf, deviceName, e.what());
    return;
  }
  TRACE0("open port access {} on {}", intf, deviceName);
  pamCollection_->pamPut(intf, pam);
}

Velto::Ptr<EthDevPamManager> ethDevPamManagerFactory(
    Velto::Ptr<const Interface::PamDesiredIntfDir> desiredIntfDir,
    Velto::Ptr<const Interface::AllEthPhyIntfStatusDir> ethPhyIntfStatusDir, Velto::Ptr<PamCollection> pamCollection,
    Velto::Ptr<Transport> transport) {
  auto sm = Velto::make<EthDevPamManager>(std::move(desiredIntfDir), std::move(ethPhyIntfStatusDir),
                                          std::move(pamCollection), std::move(transport));
  sm->hasNotificationActiveIs(true);
  return sm;
}

// ---------------------------------------------------------------------------

OnOffSwitchSm::OnOffSwitchSm(Velto::Ptr<const CliConfig> cliConfig, Velto::Ptr<EthDevPamManager> ethDevPamManager)
    : cliConfig_(std::move(cliConfig)), ethDevPamManager_(std::move(ethDevPamManager)) {
  cliConfigReactor_ = watch(cliConfig_, [this](const Zem::Change& c) {
    if (c.is(CliConfig::enabledAttr)) handleEnabled();
  });
  handleEnabled();
}

void OnOffSwitchSm::handleEnabled() {
  if (!ethDevPamManager_) return;
  const bool enabled = cliConfig_ && cliConfig_->enabled();
  TRACE0("LLDP {}", enabled ? "on" : "off");
  ethDevPamManager_->enabledIs(enabled);
}

Velto::Ptr<OnOffSwitchSm> onOffSwitchSmFactory(Velto::Ptr<const CliConfig> cliConfig,
                                               Velto::Ptr<EthDevPamManager> ethDevPamManager) {
  auto sm = Velto::make<OnOffSwitchSm>(std::move(cliConfig), std::move(ethDevPamManager));
  sm->hasNotificationActiveIs(true);
  return sm;
}

}  // namespace Lldp::Agent::Protocol

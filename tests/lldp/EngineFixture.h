#pragma once
// Switches with an LLDP engine each, on one simulated wire and one virtual
// clock. Each engine is built with the calls, in the order, the agent's root
// state machine makes; ports are added and removed the way the agent's port
// population does.

#include "lldp/Codec.h"
#include "lldp/Root.h"
#include "lldp/SimWire.h"
#include "platform/records/InterfaceRecords.h"
#include "platform/records/KernelRecords.h"
#include "platform/records/LldpRecords.h"
#include "platform/scheduler/Scheduler.h"
#include "platform/scheduler/SwitchContext.h"
#include "platform/vorn/Group.h"
#include "tests/IntfNames.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <tuple>
#include <utility>

namespace LldpTest {

using Kivo::IntfId;
using Lldp::SimWire;

using TestIntfs::et1;
using TestIntfs::et2;
using TestIntfs::et3;
// What member 1 sends when it expects member 2 and is connected to the state database.
inline const Lldp::VornTlv kTlv1{1, Vorn::Role::member, 2, 0, Lldp::VornTlv::lodestoreConnectedFlag};

struct EngineSwitch {
  std::string name;
  Vorn::MemberId memberId;
  Velto::Ptr<Lldp::CliConfig> cliConfig = Velto::make<Lldp::CliConfig>("cliConfig");
  Velto::Ptr<Lldp::Config> config = Velto::make<Lldp::Config>("config");
  Velto::Ptr<Lldp::Status> status = Velto::make<Lldp::Status>("status");
  Velto::Ptr<Interface::AllEthPhyIntfStatusDir> ethPhy =
      Velto::make<Interface::AllEthPhyIntfStatusDir>("allEthPhyIntfStatusDir");
  Velto::Ptr<Interface::AllIntfStatusDir> allIntf = Velto::make<Interface::AllIntfStatusDir>("allIntfStatusDir");
  Velto::Ptr<Interface::AllIntfStatusLocalDir> localIntf =
      Velto::make<Interface::AllIntfStatusLocalDir>("allIntfStatusLocalDir");
  Velto::Ptr<Lldp::LocalSystem> localSystem = Velto::make<Lldp::LocalSystem>("localSystem");
  Velto::Ptr<KernelNetInfo::Status> kni = Velto::make<KernelNetInfo::Status>();
  Velto::Ptr<Lldp::Agent::Protocol::Root> root;

  EngineSwitch(std::string n, uint8_t id) : name(std::move(n)), memberId(id) {}

  Kivo::EthAddr mac() const { return Vorn::memberMacAddr(memberId); }

  // Built with Ethernet1..`ports` as LLDP ports.
  void build(int ports) {
    cliConfig->enabledIs(true);
    root = Velto::make<Lldp::Agent::Protocol::Root>("protocolRoot");
    root->ethPhyIntfStatusDirIs(ethPhy);
    root->configIs(config);
    root->statusIs(status);
    root->localSystemIs(localSystem);
    root->deviceIntfStatusDirIs("deviceIntfStatusDir");
    root->intfStatusManagerRootIs(allIntf, localIntf, false)
        ->intfStatusManagerIs(root->deviceIntfStatusDir(), kni, Kivo::NamespaceName::defaultNamespace());
    root->desiredIntfDirIs("desiredIntfDir");
    root->pamCollectionIs("pamCollection");
    root->doInitializePamMan();
    root->protocolSmIs(root->pamCollection(), localSystem, root, ethPhy, config, status);
    // What the port population sets at start.
    const auto b = mac().bytes();
    localSystem->chassisIdIs(Lldp::ChassisId(std::string(b.begin(), b.end())));
    localSystem->chassisIdSubtypeIs(Lldp::ChassisIdSubtype::macAddress);
    config->isMessageTxTimeInMsIs(true);
    config->messageTxIntervalIs(100);
    config->messageTxHoldTimeIs(300);
    root->onOffSwitchSmIs(cliConfig, root->ethDevPamManager());
    for (int i = 1; i <= ports; ++i) addPort(IntfId("Ethernet" + std::to_string(i)), i);
  }

  void addPort(const IntfId& intf, int ifIndex) {
    const std::string device = "et" + std::to_string(ifIndex);
    const Kivo::EthAddr hw({0x52, 0x54, 0, 0, memberId.value(), static_cast<uint8_t>(ifIndex)});
    kni->interfaceIs({ifIndex}, KernelNetInfo::Interface{{ifIndex}, device, hw});
    config->portConfigIs(intf)->rxRateLimitingEnabledIs(false);
    status->portStatusIs(intf, Oru::currentTime());
    auto st = Velto::make<Interface::EthPhyIntfStatus>(intf, Velto::make<Interface::IntfConfig>(IntfId()), 0, hw, 0);
    st->linkStatusIs(Interface::LinkStatus::up);
    st->addrIs(mac());
    st->deviceNameIs(device);
    ethPhy->intfStatusIs(st);
    allIntf->intfStatusIs(st);
    auto lp = localSystem->localPortIs(intf);
    lp->portIdIs(Lldp::PortId(intf.stringValue()));
    lp->portIdSubtypeIs(Lldp::PortIdSubtype::interfaceName);
    root->desiredIntfDir()->intfDesiredIs(intf, true);
  }

  void delPort(const IntfId& intf) {
    config->portConfigDel(intf);
    status->portStatusDel(intf);
    localSystem->localPortDel(intf);
    root->desiredIntfDir()->intfDesiredDel(intf);
    ethPhy->intfStatusDel(intf);
    allIntf->intfStatusDel(intf);
  }

  void vornTlvTxIs(const IntfId& i, Zem::Optional<Lldp::VornTlv> tlv) { localSystem->localPort(i)->vornTlvTxIs(tlv); }

  Velto::Ptr<Lldp::PortStatus> port(const IntfId& intf) const { return status->portStatus(intf); }
  // The one remote system heard on `intf`, or empty (a test failure when
  // there are several).
  Velto::Ptr<Lldp::RemoteSystem> remote(const IntfId& intf) const {
    auto ps = port(intf);
    if (!ps || ps->remoteSystem().size() == 0) return nullptr;
    EXPECT_EQ(ps->remoteSystem().size(), 1u) << name << " " << intf.shortName();
    return ps->remoteSystem().begin()->second;
  }
};

// A port's statistics, to compare as deltas.
struct Counts {
  uint64_t in = 0, out = 0, discarded = 0, unrecognized = 0, ageouts = 0, inErrors = 0, tagged = 0,
           tlvsDiscarded = 0, inserts = 0, deletes = 0, drops = 0, tableAgeouts = 0;
  bool operator==(const Counts&) const = default;
  static constexpr std::pair<const char*, uint64_t Counts::*> fields[] = {{"in", &Counts::in}, {"out", &Counts::out},
      {"discarded", &Counts::discarded}, {"unrecognized", &Counts::unrecognized}, {"ageouts", &Counts::ageouts},
      {"inErrors", &Counts::inErrors}, {"tagged", &Counts::tagged}, {"tlvsDiscarded", &Counts::tlvsDiscarded},
      {"inserts", &Counts::inserts}, {"deletes", &Counts::deletes}, {"drops", &Counts::drops},
      {"tableAgeouts", &Counts::tableAgeouts}};
  Counts operator-(const Counts& b) const {
    Counts d = *this;
    for (auto [name, f] : fields) d.*f -= b.*f;
    return d;
  }
};

inline std::ostream& operator<<(std::ostream& os, const Counts& c) {
  for (auto [name, f] : Counts::fields) os << name << " " << c.*f << ", ";
  return os;
}

inline Counts counts(const EngineSwitch& sw, const IntfId& intf) {
  auto ps = sw.port(intf);
  if (!ps) return {};
  return {ps->framesIn(), ps->framesOut(), ps->framesDiscarded(), ps->tlvsUnrecognized(), ps->ageouts(),
          ps->framesInErrors(), ps->framesTagged(), ps->tlvsDiscarded(), ps->remoteTablesInserts(),
          ps->remoteTablesDeletes(), ps->remoteTablesDrops(), ps->remoteTablesAgeouts()};
}

// A frame of a locally assigned chassis ID and port "tap0".
inline std::vector<uint8_t> frameOf(const std::string& chassis, uint16_t ttl = 1,
                                    Zem::Optional<Lldp::VornTlv> tlv = Zem::none,
                                    Zem::Optional<uint32_t> holdMs = Zem::none) {
  Lldp::Codec::Lldpdu pdu;
  pdu.src = Kivo::EthAddr::fromString("02:00:00:00:00:99");
  pdu.chassisIdSubtype = Lldp::ChassisIdSubtype::locallyAssigned;
  pdu.chassisId = Lldp::ChassisId(chassis);
  pdu.portId = Lldp::PortId("tap0");
  std::tie(pdu.ttl, pdu.vornTlv, pdu.holdTimeMs) = std::tuple(ttl, tlv, holdMs);
  return Lldp::Codec::encode(pdu);
}

// Two switches, each with Ethernet1..3 as LLDP ports, and their wire; a
// test tap on sw2's Ethernet1 sends frames by hand and keeps what it hears.
struct Group {
  Oru::SwitchContext context;
  Oru::SwitchContext::Scope active{context};
  Velto::Ptr<Oru::VirtualScheduler> clock = Velto::make<Oru::VirtualScheduler>(0.0);
  Velto::Ptr<SimWire> wire;
  EngineSwitch sw1{"sw1", 1};
  EngineSwitch sw2{"sw2", 2};

  explicit Group(uint64_t seed = 7) : wire(Velto::make<SimWire>(clock, seed)) {
    context.schedulerIs(clock.get());
    for (auto* sw : {&sw1, &sw2}) {
      context.transportIs(wire->transportFor(sw->name));
      sw->build(3);
    }
    context.transportIs(nullptr);
  }

  static SimWire::End end(const EngineSwitch& sw, const IntfId& intf) { return {sw.name, intf}; }
  void cable(const IntfId& a, const IntfId& b, SimWire::CableSpec c = {}) { wire->connect({sw1.name, a}, end(sw2, b), c); }
  void runUntil(Velto::Duration t) { clock->runUntil(t); }
  Velto::Ptr<Lldp::Transport::Port> tap;
  std::vector<std::vector<uint8_t>> tapHeard;
  void plugTap() {
    tap = wire->transportFor("tap")->open(et1, "tap0", [this](auto f) { tapHeard.emplace_back(f.begin(), f.end()); });
    wire->connect({"tap", et1}, end(sw2, et1));
  }
  void send(const std::vector<uint8_t>& frame) {
    if (!tap) plugTap();
    tap->send(frame);
  }
  void send(const std::string& chassis, uint16_t ttl = 1) { send(frameOf(chassis, ttl)); }
};

// A transport of the test's own: its ports note when they send.
struct FakeTransport : Lldp::Transport {
  struct Port : Lldp::Transport::Port {
    Port(const IntfId& intf, const std::string& device, FakeTransport& t) : Lldp::Transport::Port(intf, device), t(t) {}
    void send(std::span<const uint8_t>) override { t.sent.push_back({Oru::currentTime(), intf()}); }
    Statistics statistics() const override { return {}; }
    FakeTransport& t;
  };
  Velto::Ptr<Lldp::Transport::Port> open(const IntfId& intf, const std::string& device, Receiver) override {
    return Velto::make<Port>(intf, device, *this);
  }
  std::vector<std::pair<Velto::Duration, IntfId>> sent;
};

// One switch with Ethernet1..`ports` as LLDP ports on a fake transport.
struct Solo {
  Oru::SwitchContext context;
  Oru::SwitchContext::Scope active{context};
  Velto::Ptr<Oru::VirtualScheduler> clock = Velto::make<Oru::VirtualScheduler>(0.0);
  Velto::Ptr<FakeTransport> transport = Velto::make<FakeTransport>();
  EngineSwitch sw{"sw1", 1};

  explicit Solo(int ports) {
    context.schedulerIs(clock.get());
    context.transportIs(transport);
    sw.build(ports);
    context.transportIs(nullptr);
  }
  ~Solo() { sw.root = nullptr; }
};

}  // namespace LldpTest

#include "VornFabricLldp/LldpPopulatorSm.h"
#include "tests/VornFabricLldp/RxTestSupport.h"

#include "platform/scheduler/Scheduler.h"
#include "platform/vorn/Group.h"
#include "tests/platform/toggles/ScopedToggleDir.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <tuple>
#include <vector>

namespace {

using namespace RxTest;

const Kivo::EthAddr hw1 = Kivo::EthAddr::fromString("00:1c:73:00:00:11");

// One populator's inputs and outputs; the scheduler is made current so port
// statuses are stamped with its time.
struct PopulatorRig {
  PopulatorRig() { context.schedulerIs(clock.get()); }
  ~PopulatorRig() { sm = nullptr; }
  void start() {
    sm = VornFabricLldp::lldpPopulatorSmFactory({Vorn::MemberId(3), kniStatus, kniIntfMap, memberConfig, config, status,
                                                ethDir, intfDir, localSystem, desiredDir});
  }
  // A kernel interface "x<ifIndex>", paired with `intf` unless that is empty.
  void kernelIntf(int ifIndex, const IntfId& intf = IntfId()) {
    kniStatus->interfaceIs({ifIndex}, KernelNetInfo::Interface{{ifIndex}, fmt::format("x{}", ifIndex), hw1});
    if (!intf.empty()) pair(intf, ifIndex);
  }
  void pair(const IntfId& intf, int ifIndex) {
    kniIntfMap->intfIdToIntfKeyIs(intf, {ifIndex});
    kniIntfMap->kniIntfIdKeyPairIs({intf, {ifIndex}});
  }
  void member(const IntfId& bcIntf, const IntfId& intf) { memberConfig->bcConfigIs(bcIntf)->memberIntfIs(intf); }
  // How many of the six outputs `intf` has: 6 populated, 0 not.
  int outputs(const IntfId& i) const {
    return config->portConfig().has(i) + status->portStatus().has(i) + ethDir->intfStatus().has(i) +
           intfDir->intfStatus().has(i) + localSystem->localPort().has(i) + desiredDir->intfDesiredHas(i);
  }
  // "6 0 0 0": the outputs of Et1, Et2, Et3 and Et4.
  std::string populated() const {
    return fmt::format("{} {} {} {}", outputs(et1), outputs(et2), outputs(et3), outputs(et4));
  }

  Oru::SwitchContext context;
  Oru::SwitchContext::Scope active{context};
  Velto::Ptr<Oru::VirtualScheduler> clock = Velto::make<Oru::VirtualScheduler>(42.5);
  Velto::Ptr<KernelNetInfo::Status> kniStatus = Velto::make<KernelNetInfo::Status>();
  Velto::Ptr<Vorn::KniIntfMap> kniIntfMap = Velto::make<Vorn::KniIntfMap>("kniIntfMap");
  Velto::Ptr<Vorn::MemberConfig> memberConfig = Velto::make<Vorn::MemberConfig>("memberConfig");
  Velto::Ptr<Lldp::Config> config = Velto::make<Lldp::Config>("config");
  Velto::Ptr<Lldp::Status> status = Velto::make<Lldp::Status>("status");
  Velto::Ptr<Interface::AllEthPhyIntfStatusDir> ethDir = Velto::make<Interface::AllEthPhyIntfStatusDir>("ethPhy");
  Velto::Ptr<Interface::AllIntfStatusDir> intfDir = Velto::make<Interface::AllIntfStatusDir>("all");
  Velto::Ptr<Lldp::LocalSystem> localSystem = Velto::make<Lldp::LocalSystem>("localSystem");
  Velto::Ptr<Interface::PamDesiredIntfDir> desiredDir = Velto::make<Interface::PamDesiredIntfDir>("desired");
  Velto::Ptr<VornFabricLldp::LldpPopulatorSm> sm;
};

class LldpPopulatorSmTest : public ::testing::Test, public PopulatorRig {};

TEST_F(LldpPopulatorSmTest, PopulatedInterfaceCarriesTheIdentitiesAndIgnoresFurtherAdds) {
  member(po1, et1);
  for (int ifIndex : {10, 11}) kernelIntf(ifIndex);
  start();
  EXPECT_EQ(outputs(et1), 0);  // configured, no kernel interface yet
  clock->runFor(2);
  pair(et1, 10);
  ASSERT_EQ(outputs(et1), 6);
  const auto eth = ethDir->intfStatus(et1);
  EXPECT_EQ(intfDir->intfStatus(et1), eth);  // one record in both directories
  EXPECT_EQ(std::tuple(eth->linkStatus(), eth->addr(), eth->burnedInAddr(), eth->deviceName()),
            std::tuple(Interface::LinkStatus::up, Vorn::memberMacAddr(3), hw1, std::string("x10")));
  const auto port = localSystem->localPort(et1);
  // The port's full name, not "Et1", and the member's address as chassis ID.
  EXPECT_EQ(std::tuple(port->portId().bytes(), int(port->portIdSubtype()), localSystem->chassisId().bytes(),
                       int(localSystem->chassisIdSubtype()), desiredDir->intfDesired(et1)),
            std::tuple("Ethernet1", 5, macBytes(Vorn::memberMacAddr(3)), 4, true));
  EXPECT_EQ(status->portStatus(et1)->created(), 44.5);

  // Populated once: further adds and key pairs (the kernel re-made the
  // interface under another index) change nothing.
  clock->runFor(2);
  sm->addIntf(et1, {10});
  pair(et1, 11);
  EXPECT_EQ(std::tuple(localSystem->localPort(et1), ethDir->intfStatus(et1), status->portStatus(et1)->created()),
            std::tuple(port, eth, 44.5));
  // The old pair going takes the outputs with it, new pair or not.
  kniIntfMap->kniIntfIdKeyPairDel({et1, {10}});
  EXPECT_EQ(outputs(et1), 0);
}

// Starting from et1 (po1) and et3 (po2) populated, et2 paired but not
// configured and et4 configured (po2) but not paired: one change, then the
// outputs of each.
TEST_F(LldpPopulatorSmTest, PopulationFollowsConfigurationAndKernelMap) {
  auto channelOf = [](const IntfId& bcIntf, const IntfId& intf) {
    auto channel = Velto::make<Vorn::BackplaneChannelConfig>(bcIntf);
    channel->memberIntfIs(intf);
    return channel;
  };
  const std::vector<std::tuple<const char*, std::function<void(PopulatorRig&)>, std::string>> cases{
      {"member removed, key pair stays", [](auto& t) { t.memberConfig->bcConfig(po1)->memberIntfDel(et1); }, "0 0 6 0"},
      {"channel replaced by one listing et2", [&](auto& t) { t.memberConfig->bcConfigPut(po1, channelOf(po1, et2)); },
       "0 6 6 0"},
      {"channel replaced, member kept", [&](auto& t) { t.memberConfig->bcConfigPut(po1, channelOf(po1, et1)); },
       "6 0 6 0"},
      {"paired interface added to a channel", [](auto& t) { t.member(po1, et2); }, "6 6 6 0"},
      {"channel arriving whole", [&](auto& t) { t.memberConfig->bcConfigPut(po9, channelOf(po9, et2)); }, "6 6 6 0"},
      {"key pair for a configured member", [](auto& t) { t.kernelIntf(40, et4); }, "6 0 6 6"},
      {"key pair of a channel", [](auto& t) { t.kernelIntf(50, po5); }, "6 0 6 0"},
  };
  for (const auto& [name, change, expected] : cases) {
    SCOPED_TRACE(name);
    PopulatorRig t;
    for (const auto& [bc, m] : {std::pair{po1, et1}, {po2, et3}, {po2, et4}}) t.member(bc, m);
    for (int i : {1, 2, 3}) t.kernelIntf(10 * i, IntfId(fmt::format("Ethernet{}", i)));
    t.start();
    change(t);
    EXPECT_EQ(t.populated(), expected);
    EXPECT_EQ(t.outputs(po5), 0);
  }
}

// A restart: outputs of interfaces still configured with a kernel key stay
// as they are; the rest go.
TEST_F(LldpPopulatorSmTest, StartRemovesStaleOutputsAndKeepsValidOnes) {
  for (const auto& [bc, m] : {std::pair{po1, et1}, {po1, et2}, {po2, et3}}) member(bc, m);
  for (const auto& [i, intf] : {std::pair{10, et1}, std::pair{20, et2}, std::pair{30, et3}}) kernelIntf(i, intf);
  start();
  sm = nullptr;
  memberConfig->bcConfig(po1)->memberIntfDel(et2);
  kniIntfMap->kniIntfIdKeyPairDel({et3, {30}});
  kniIntfMap->intfIdToIntfKeyDel(et3);
  localSystem->localPortIs(et4);  // half of a crashed instance's work
  desiredDir->intfDesiredIs(et4, true);
  const auto et1Port = localSystem->localPort(et1);
  start();
  EXPECT_EQ(populated(), "6 0 0 0");
  EXPECT_EQ(localSystem->localPort(et1), et1Port);
}

TEST_F(LldpPopulatorSmTest, HoldTimeFollowsTheLowHoldTimeToggle) {
  using Row = std::pair<const char*, uint32_t>;
  for (auto [file, holdTime] : {Row{R"({"VornFabricLldpLowTxHt": true})", 300}, Row{nullptr, 300},
                                Row{R"({"VornFabricLldpLowTxHt": false})", 1200}}) {
    SCOPED_TRACE(file ? file : "no toggle file");
    TogglesTesting::ScopedToggleDir toggles(file);
    config = Velto::make<Lldp::Config>("config");
    config->txDelayIs(7);
    config->syslogsEnabledIs(true);
    start();
    EXPECT_EQ(std::tuple(config->messageTxHoldTime(), config->messageTxInterval(), config->isMessageTxTimeInMs(),
                         config->txDelay(), config->syslogsEnabled()),
              std::tuple(holdTime, 100u, true, 0u, false));
  }
}

}  // namespace

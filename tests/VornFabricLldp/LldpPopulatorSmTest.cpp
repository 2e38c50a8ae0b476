#include "VornFabricLldp/LldpPopulatorSm.h"

#include "platform/scheduler/Scheduler.h"
#include "platform/trace/Ringlog.h"
#include "platform/vorn/Group.h"
#include "tests/platform/toggles/ScopedToggleDir.h"

#include <fmt/ranges.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

namespace {

using Kivo::IntfId;

const IntfId bc1("Port-Channel1"), bc2("Port-Channel2");
const IntfId et1("Ethernet1/1"), et2("Ethernet2/1"), et3("Ethernet3/1"), et4("Ethernet4/1");
const Kivo::EthAddr hw1 = Kivo::EthAddr::fromString("00:1c:73:00:00:11");
const Kivo::EthAddr hw2 = Kivo::EthAddr::fromString("00:1c:73:00:00:22");

// One populator's inputs and outputs; the scheduler is made current so port
// statuses are stamped with its time.
struct PopulatorRig {
  PopulatorRig() { context.schedulerIs(clock.get()); }
  ~PopulatorRig() { sm = nullptr; }
  void start() {
    sm = VornFabricLldp::lldpPopulatorSmFactory({Vorn::MemberId(3), kniStatus, kniIntfMap, memberConfig, config, status,
                                                ethDir, intfDir, localSystem, desiredDir});
  }
  void kernelIntf(int ifIndex, const std::string& name, const Kivo::EthAddr& hw) {
    kniStatus->interfaceIs({ifIndex}, KernelNetInfo::Interface{{ifIndex}, name, hw});
  }
  void pair(const IntfId& intf, int ifIndex) {
    kniIntfMap->intfIdToIntfKeyIs(intf, {ifIndex});
    kniIntfMap->kniIntfIdKeyPairIs({intf, {ifIndex}});
  }
  void unpair(const IntfId& intf, int ifIndex) {
    kniIntfMap->kniIntfIdKeyPairDel({intf, {ifIndex}});
    kniIntfMap->intfIdToIntfKeyDel(intf);
  }
  void member(const IntfId& bcIntf, const IntfId& intf) { memberConfig->bcConfigIs(bcIntf)->memberIntfIs(intf); }
  // How many of the six outputs `intf` has: 6 populated, 0 not.
  int outputs(const IntfId& intf) const {
    return config->portConfig().has(intf) + status->portStatus().has(intf) + ethDir->intfStatus().has(intf) +
           intfDir->intfStatus().has(intf) + localSystem->localPort().has(intf) + desiredDir->intfDesiredHas(intf);
  }
  // Logs every keyed change of the outputs as "rank:collection[intf]", rank
  // being the collection's place in the stale sweep; '.' marks a change
  // inside an entry.
  void recordOutputs() {
    int rank = 0;
    for (auto [entity, label] : std::vector<std::pair<const Zem::Entity*, const char*>>{
             {config.get(), "portConfig"}, {status.get(), "portStatus"}, {ethDir.get(), "ethPhyIntfStatus"},
             {intfDir.get(), "intfStatus"}, {localSystem.get(), "localPort"}, {desiredDir.get(), "intfDesired"}}) {
      reactors.push_back(entity->subscribe([this, r = rank++, label = label](const Zem::Change& c) {
        if (c.key) log.push_back(fmt::format("{}:{}[{}]{}", r, label, c.keyAs<IntfId>(), c.nested() ? "." : ""));
      }));
    }
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
  std::vector<Zem::Reactor> reactors;
  std::vector<std::string> log;
};

class LldpPopulatorSmTest : public ::testing::Test, public PopulatorRig {};

TEST_F(LldpPopulatorSmTest, PopulatedInterfaceCarriesTheIdentities) {
  member(bc1, et1);
  kernelIntf(10, "et1_1", hw1);
  start();
  EXPECT_EQ(outputs(et1), 0);  // configured, no kernel interface yet
  clock->runFor(2);
  pair(et1, 10);
  ASSERT_EQ(outputs(et1), 6);

  EXPECT_EQ(status->portStatus(et1)->created(), 44.5);
  const auto eth = ethDir->intfStatus(et1);
  EXPECT_EQ(intfDir->intfStatus(et1), eth);  // one record in both directories
  EXPECT_EQ(eth->linkStatus(), Interface::LinkStatus::up);
  EXPECT_EQ(eth->addr(), Vorn::memberMacAddr(3));
  EXPECT_EQ(eth->deviceName(), "et1_1");
  EXPECT_EQ(eth->burnedInAddr(), hw1);
  EXPECT_EQ(localSystem->localPort(et1)->portId().bytes(), "Ethernet1/1");  // full name, not "Et1/1"
  EXPECT_EQ(static_cast<int>(localSystem->localPort(et1)->portIdSubtype()), 5);
  EXPECT_TRUE(desiredDir->intfDesired(et1));
  const auto mac = Vorn::memberMacAddr(3).bytes();
  EXPECT_EQ(localSystem->chassisId().bytes(), std::string(mac.begin(), mac.end()));
  EXPECT_EQ(static_cast<int>(localSystem->chassisIdSubtype()), 4);
}

// Starting from et1 (bc1) and et3 (bc2) populated, et2 paired but not
// configured and et4 configured (bc2) but not paired: one change, then the
// outputs of et1, et2 and et4.
TEST_F(LldpPopulatorSmTest, PopulationFollowsConfigurationAndKernelMap) {
  struct Case {
    const char* name;
    std::function<void(PopulatorRig&)> change;
    std::vector<int> outputs;
  };
  auto channelOf = [](const IntfId& bcIntf, const IntfId& intf) {
    auto channel = Velto::make<Vorn::BackplaneChannelConfig>(bcIntf);
    channel->memberIntfIs(intf);
    return channel;
  };
  const std::vector<Case> cases{
      {"key pair removed, still configured", [](auto& t) { t.unpair(et1, 10); }, {0, 0, 0}},
      {"member removed, key pair stays", [](auto& t) { t.memberConfig->bcConfig(bc1)->memberIntfDel(et1); }, {0, 0, 0}},
      {"channel removed", [](auto& t) { t.memberConfig->bcConfigDel(bc1); }, {0, 0, 0}},
      {"channel replaced by one listing et2",
       [&](auto& t) { t.memberConfig->bcConfigPut(bc1, channelOf(bc1, et2)); }, {0, 6, 0}},
      {"channel replaced, member kept", [&](auto& t) { t.memberConfig->bcConfigPut(bc1, channelOf(bc1, et1)); }, {6, 0, 0}},
      {"paired interface added to a channel", [](auto& t) { t.member(bc1, et2); }, {6, 6, 0}},
      {"channel arriving whole", [&](auto& t) { t.memberConfig->bcConfigPut(IntfId("Po9"), channelOf(IntfId("Po9"), et2)); },
       {6, 6, 0}},
      {"key pair for a configured member", [](auto& t) { t.pair(et4, 40); }, {6, 0, 6}},
      {"LAG group and peer of the channel change",
       [](auto& t) {
         t.memberConfig->bcConfig(bc1)->memberIntf(et1)->lagGroupNameIs("g1");
         t.memberConfig->bcConfig(bc1)->peerMemberIdIs(Vorn::MemberId(2));
       },
       {6, 0, 0}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    PopulatorRig t;
    for (int i : {10, 20, 30, 40}) t.kernelIntf(i, fmt::format("et{}", i / 10), hw1);
    t.member(bc1, et1);
    t.member(bc2, et3);
    t.member(bc2, et4);
    t.pair(et1, 10);
    t.pair(et2, 20);
    t.pair(et3, 30);
    t.start();
    c.change(t);
    EXPECT_EQ((std::vector<int>{t.outputs(et1), t.outputs(et2), t.outputs(et4)}), c.outputs);
    EXPECT_EQ(t.outputs(et3), 6);
  }
}

TEST_F(LldpPopulatorSmTest, PopulatedInterfaceIgnoresFurtherAddsAndKeyPairs) {
  member(bc1, et1);
  kernelIntf(10, "et1_1", hw1);
  kernelIntf(11, "et1_1new", hw2);
  pair(et1, 10);
  start();
  recordOutputs();
  sm->addIntf(et1, {10});
  pair(et1, 11);  // the kernel re-made the interface under another index
  EXPECT_TRUE(log.empty()) << fmt::format("{}", fmt::join(log, " "));
  EXPECT_EQ(ethDir->intfStatus(et1)->deviceName(), "et1_1");
  // The old pair going takes the outputs with it, new pair or not.
  kniIntfMap->kniIntfIdKeyPairDel({et1, {10}});
  EXPECT_EQ(outputs(et1), 0);
}

TEST_F(LldpPopulatorSmTest, UnqualifiedInputsAreSkipped) {
  member(bc1, et1);
  for (int i : {10, 20, 50}) kernelIntf(i, "x", hw1);
  start();
  pair(et2, 20);                       // not configured
  pair(IntfId("Port-Channel5"), 50);  // not an Ethernet interface
  sm->addIntf(et1, {10});              // no kernel key pair
  EXPECT_EQ(outputs(et1) + outputs(et2) + outputs(IntfId("Port-Channel5")), 0);
}

// A restart: outputs of interfaces still configured with a kernel key stay
// as they are; the rest go, each collection swept in full before the next.
TEST_F(LldpPopulatorSmTest, StartRemovesStaleOutputsAndKeepsValidOnes) {
  for (int i : {10, 20, 30}) kernelIntf(i, "x", hw1);
  member(bc1, et1);
  member(bc1, et2);
  member(bc2, et3);
  pair(et1, 10);
  pair(et2, 20);
  pair(et3, 30);
  start();
  sm = nullptr;
  memberConfig->bcConfig(bc1)->memberIntfDel(et2);
  unpair(et3, 30);
  localSystem->localPortIs(et4);  // half of a crashed instance's work
  desiredDir->intfDesiredIs(et4, true);
  const auto et1Port = localSystem->localPort(et1);
  recordOutputs();

  start();
  EXPECT_EQ(outputs(et1), 6);
  EXPECT_EQ(localSystem->localPort(et1), et1Port);
  std::vector<std::string> ranks;
  for (const auto& entry : log) ranks.push_back(entry.substr(0, 1));
  EXPECT_TRUE(std::is_sorted(ranks.begin(), ranks.end())) << fmt::format("{}", fmt::join(log, " "));
  std::sort(log.begin(), log.end());
  EXPECT_EQ(log, (std::vector<std::string>{
                     "0:portConfig[Et2/1]", "0:portConfig[Et3/1]", "1:portStatus[Et2/1]", "1:portStatus[Et3/1]",
                     "2:ethPhyIntfStatus[Et2/1]", "2:ethPhyIntfStatus[Et3/1]", "3:intfStatus[Et2/1]",
                     "3:intfStatus[Et3/1]", "4:localPort[Et2/1]", "4:localPort[Et3/1]", "4:localPort[Et4/1]",
                     "5:intfDesired[Et2/1]", "5:intfDesired[Et3/1]", "5:intfDesired[Et4/1]"}));
}

TEST_F(LldpPopulatorSmTest, HoldTimeFollowsTheLowHoldTimeToggle) {
  for (auto [file, holdTime] : std::vector<std::pair<const char*, uint32_t>>{
           {R"({"VornFabricLldpLowTxHt": true})", 300}, {nullptr, 300}, {R"({"VornFabricLldpLowTxHt": false})", 1200}}) {
    SCOPED_TRACE(file ? file : "no toggle file");
    TogglesTesting::ScopedToggleDir toggles(file);
    config = Velto::make<Lldp::Config>("config");
    config->txDelayIs(7);
    config->syslogsEnabledIs(true);
    start();
    EXPECT_EQ(config->messageTxHoldTime(), holdTime);
    EXPECT_EQ(config->messageTxInterval(), 100u);
    EXPECT_TRUE(config->isMessageTxTimeInMs());
    EXPECT_EQ(config->txDelay(), 0u);
    EXPECT_FALSE(config->syslogsEnabled());
  }
}

}  // namespace

#include "VornFabricLldp/LldpPopulatorSm.h"

#include "platform/scheduler/Scheduler.h"
#include "platform/toggles/Toggles.h"
#include "platform/trace/Ringlog.h"
#include "platform/vorn/Group.h"

#include <fmt/ranges.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace {

using Kivo::IntfId;
using VornFabricLldp::LldpPopulatorSm;

const IntfId bc1("Port-Channel1");
const IntfId bc2("Port-Channel2");
const IntfId et1("Ethernet1/1");
const IntfId et2("Ethernet2/1");
const IntfId et3("Ethernet3/1");
const Vorn::MemberId smid(3);

// A temporary toggle directory; `text` null leaves VornCore.json absent.
class ToggleFile {
 public:
  explicit ToggleFile(const char* text) {
    std::string pattern = (std::filesystem::temp_directory_path() / "populator-toggles-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    dir_ = pattern;
    previous_ = Toggles::directory();
    if (text) std::ofstream(dir_ / "VornCore.json") << text;
    Toggles::directoryIs(dir_.string());
    Toggles::resetCache();
  }
  ~ToggleFile() {
    Toggles::directoryIs(previous_);
    Toggles::resetCache();
    std::filesystem::remove_all(dir_);
  }

 private:
  std::filesystem::path dir_;
  std::string previous_;
};

// The inputs and outputs of one populator, with the scheduler made current
// so port statuses are stamped with its time.
struct PopulatorRig {
  PopulatorRig() { Oru::currentSchedulerIs(clock.get()); }
  ~PopulatorRig() {
    sm = nullptr;
    Oru::currentSchedulerIs(nullptr);
  }

  void start() {
    sm = VornFabricLldp::lldpPopulatorSmFactory(smid, kniStatus, kniIntfMap, memberConfig, config, status, ethDir,
                                                intfDir, localSystem, desiredDir);
  }

  // The kernel has interface `ifIndex`, and the kernel interface map pairs it
  // with `intf`.
  void kernelIntf(int ifIndex, const std::string& deviceName, const Kivo::EthAddr& hwAddr) {
    kniStatus->interfaceIs({ifIndex}, KernelNetInfo::Interface{{ifIndex}, deviceName, hwAddr});
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

  // Records every keyed change of the six outputs, as "rank:collection[intf]"
  // (rank = position in the stale sweep; a trailing '.' marks a change
  // inside an entry).
  void recordOutputs() {
    auto on = [this](const Zem::Entity& e, int rank, const char* label) {
      reactors.push_back(e.subscribe([this, rank, label](const Zem::Change& c) {
        if (!c.key) return;
        log.push_back(fmt::format("{}:{}[{}]{}", rank, label, c.keyAs<IntfId>(), c.nested() ? "." : ""));
      }));
    };
    on(*config, 0, "portConfig");
    on(*status, 1, "portStatus");
    on(*ethDir, 2, "ethPhyIntfStatus");
    on(*intfDir, 3, "intfStatus");
    on(*localSystem, 4, "localPort");
    on(*desiredDir, 5, "intfDesired");
  }

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
  Velto::Ptr<LldpPopulatorSm> sm;
  std::vector<Zem::Reactor> reactors;
  std::vector<std::string> log;
};

class LldpPopulatorSmTest : public ::testing::Test, public PopulatorRig {};

const Kivo::EthAddr hw1 = Kivo::EthAddr::fromString("00:1c:73:00:00:11");
const Kivo::EthAddr hw2 = Kivo::EthAddr::fromString("00:1c:73:00:00:22");

TEST_F(LldpPopulatorSmTest, KeyPairArrivalPopulatesWithTheInterfaceIdentity) {
  member(bc1, et1);
  kernelIntf(10, "et1_1", hw1);
  start();
  EXPECT_EQ(outputs(et1), 0);  // configured, but no kernel interface yet

  clock->runFor(2);
  pair(et1, 10);
  ASSERT_EQ(outputs(et1), 6);

  EXPECT_FALSE(config->portConfig(et1)->rxRateLimitingEnabled());
  EXPECT_EQ(status->portStatus(et1)->created(), 44.5);  // the scheduler's time, not the system clock
  const auto eth = ethDir->intfStatus(et1);
  EXPECT_EQ(intfDir->intfStatus(et1), eth);  // one record in both directories
  EXPECT_EQ(eth->linkStatus(), Interface::LinkStatus::up);
  EXPECT_EQ(eth->addr(), Vorn::memberMacAddr(smid));
  EXPECT_EQ(eth->deviceName(), "et1_1");
  EXPECT_EQ(eth->burnedInAddr(), hw1);
  EXPECT_EQ(eth->generation(), 0u);
  EXPECT_EQ(eth->relativeIfindex(), 0u);
  EXPECT_TRUE(eth->intfConfig()->intfId().empty());
  const auto port = localSystem->localPort(et1);
  EXPECT_EQ(port->portId().bytes(), "Ethernet1/1");  // the full name, not "Et1/1"
  EXPECT_EQ(port->portIdSubtype(), Lldp::PortIdSubtype::interfaceName);
  EXPECT_TRUE(desiredDir->intfDesired(et1));

  const auto mac = Vorn::memberMacAddr(smid).bytes();
  EXPECT_EQ(localSystem->chassisId().bytes(), std::string(mac.begin(), mac.end()));
  EXPECT_EQ(localSystem->chassisIdSubtype(), Lldp::ChassisIdSubtype::macAddress);
  EXPECT_EQ(static_cast<int>(localSystem->chassisIdSubtype()), 4);
  EXPECT_EQ(static_cast<int>(port->portIdSubtype()), 5);
}

// Each way one of the three conditions stops holding unpopulates the
// interface; changes that keep all three leave it populated.
TEST_F(LldpPopulatorSmTest, PopulationFollowsConfigurationAndKernelMap) {
  struct Case {
    const char* name;
    std::function<void(PopulatorRig&)> change;
    int et1Outputs;
  };
  const std::vector<Case> cases{
      {"key pair removed while still configured", [](auto& t) { t.unpair(et1, 10); }, 0},
      {"key pair removed from the set only", [](auto& t) { t.kniIntfMap->kniIntfIdKeyPairDel({et1, {10}}); }, 0},
      {"member removed while the key pair stays", [](auto& t) { t.memberConfig->bcConfig(bc1)->memberIntfDel(et1); }, 0},
      {"channel removed", [](auto& t) { t.memberConfig->bcConfigDel(bc1); }, 0},
      {"channel replaced without the member",
       [](auto& t) {
         auto fresh = Velto::make<Vorn::BackplaneChannelConfig>(bc1);
         fresh->memberIntfIs(et2);
         t.memberConfig->bcConfigPut(bc1, fresh);
       },
       0},
      {"channel replaced still listing the member",
       [](auto& t) {
         auto fresh = Velto::make<Vorn::BackplaneChannelConfig>(bc1);
         fresh->memberIntfIs(et1);
         t.memberConfig->bcConfigPut(bc1, fresh);
       },
       6},
      {"member's LAG group and channel peer change",
       [](auto& t) {
         t.memberConfig->bcConfig(bc1)->memberIntf(et1)->lagGroupNameIs("g1");
         t.memberConfig->bcConfig(bc1)->peerMemberIdIs(Vorn::MemberId(2));
       },
       6},
      {"another channel removed", [](auto& t) { t.memberConfig->bcConfigDel(bc2); }, 6},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    PopulatorRig t;
    t.kernelIntf(10, "et1_1", hw1);
    t.kernelIntf(30, "et3_1", hw2);
    t.member(bc1, et1);
    t.member(bc2, et3);
    t.pair(et1, 10);
    t.pair(et3, 30);
    t.start();
    ASSERT_EQ(t.outputs(et1), 6);
    c.change(t);
    EXPECT_EQ(t.outputs(et1), c.et1Outputs);
  }
}

TEST_F(LldpPopulatorSmTest, MemberArrivalPopulatesWhenTheKeyPairIsThere) {
  kernelIntf(10, "et1_1", hw1);
  kernelIntf(20, "et2_1", hw1);
  kernelIntf(30, "et3_1", hw2);
  pair(et1, 10);
  pair(et2, 20);
  pair(et3, 30);
  start();
  EXPECT_EQ(outputs(et1) + outputs(et2) + outputs(et3), 0);

  member(bc1, et1);  // into a new channel
  EXPECT_EQ(outputs(et1), 6);

  // A channel arriving whole, with its members already in it.
  auto channel = Velto::make<Vorn::BackplaneChannelConfig>(bc2);
  channel->memberIntfIs(et2);
  channel->memberIntfIs(et3);
  memberConfig->bcConfigPut(bc2, channel);
  EXPECT_EQ(outputs(et2), 6);
  EXPECT_EQ(outputs(et3), 6);

  // Replacing it runs every member of the old and of the new entry.
  auto replacement = Velto::make<Vorn::BackplaneChannelConfig>(bc2);
  replacement->memberIntfIs(et3);
  memberConfig->bcConfigPut(bc2, replacement);
  EXPECT_EQ(outputs(et2), 0);
  EXPECT_EQ(outputs(et3), 6);
  EXPECT_EQ(outputs(et1), 6);
}

TEST_F(LldpPopulatorSmTest, SecondAddChangesNothing) {
  member(bc1, et1);
  kernelIntf(10, "et1_1", hw1);
  pair(et1, 10);
  start();
  ASSERT_EQ(outputs(et1), 6);
  recordOutputs();
  Ringlog::Capture cap;
  sm->addIntf(et1, {10});
  sm->handleMemberConfig(bc1, et1);
  EXPECT_TRUE(cap.contains(6, "memberIntf Et1/1 already populated; skipping addition"));
  EXPECT_TRUE(log.empty()) << fmt::format("{}", fmt::join(log, " "));
}

TEST_F(LldpPopulatorSmTest, NewKeyPairForPopulatedInterfaceChangesNothing) {
  member(bc1, et1);
  kernelIntf(10, "et1_1", hw1);
  kernelIntf(11, "et1_1new", hw2);
  pair(et1, 10);
  start();
  recordOutputs();

  pair(et1, 11);  // the kernel interface was re-made under a new index
  EXPECT_TRUE(log.empty()) << fmt::format("{}", fmt::join(log, " "));
  EXPECT_EQ(ethDir->intfStatus(et1)->deviceName(), "et1_1");
  EXPECT_EQ(ethDir->intfStatus(et1)->burnedInAddr(), hw1);

  // The old pair going takes the outputs with it, new pair or not.
  kniIntfMap->kniIntfIdKeyPairDel({et1, {10}});
  EXPECT_EQ(outputs(et1), 0);
}

TEST_F(LldpPopulatorSmTest, UnqualifiedInputsAreSkippedWithATrace) {
  member(bc1, et1);
  kernelIntf(10, "et1_1", hw1);
  kernelIntf(20, "et2_1", hw1);
  kernelIntf(40, "po5", hw1);
  start();
  Ringlog::Capture cap;

  pair(et2, 20);  // not a configured member
  EXPECT_TRUE(cap.contains(6, "memberIntf Et2/1 not in memberConfig; skipping addition"));
  pair(IntfId("Port-Channel5"), 40);
  EXPECT_TRUE(cap.contains(2, "IntfId type 1 for Po5 is not ethernet. Skipping addition"));
  sm->addIntf(et1, {10});  // the pair is not in the map
  EXPECT_TRUE(cap.contains(6, "intfKey 10 not in kniIntfMap; skipping addition"));
  EXPECT_EQ(outputs(et1) + outputs(et2) + outputs(IntfId("Port-Channel5")), 0);

  // Deleting what was never made is harmless.
  sm->delIntf(et3);
  EXPECT_TRUE(cap.contains(0, "del intf Et3/1"));
}

// A restart: the earlier instance's outputs for interfaces that are still
// configured members with a kernel key stay as they are; the others go,
// collection by collection in the sweep order.
TEST_F(LldpPopulatorSmTest, StartRemovesStaleOutputsAndKeepsValidOnes) {
  kernelIntf(10, "et1_1", hw1);
  kernelIntf(20, "et2_1", hw1);
  kernelIntf(30, "et3_1", hw1);
  member(bc1, et1);
  member(bc1, et2);
  member(bc2, et3);
  pair(et1, 10);
  pair(et2, 20);
  pair(et3, 30);
  start();
  ASSERT_EQ(outputs(et1) + outputs(et2) + outputs(et3), 18);
  sm = nullptr;

  // While no instance runs, et2 leaves the configuration and et3 loses its
  // key; a crash left half of et4's outputs behind.
  memberConfig->bcConfig(bc1)->memberIntfDel(et2);
  unpair(et3, 30);
  const IntfId et4("Ethernet4/1");
  localSystem->localPortIs(et4);
  desiredDir->intfDesiredIs(et4, true);
  const auto et1Port = localSystem->localPort(et1);
  const auto et1Status = ethDir->intfStatus(et1);
  const auto et1PortStatus = status->portStatus(et1);
  recordOutputs();

  start();
  EXPECT_EQ(outputs(et1), 6);
  EXPECT_EQ(outputs(et2), 0);
  EXPECT_EQ(outputs(et3), 0);
  EXPECT_EQ(outputs(et4), 0);
  EXPECT_EQ(localSystem->localPort(et1), et1Port);
  EXPECT_EQ(ethDir->intfStatus(et1), et1Status);
  EXPECT_EQ(status->portStatus(et1), et1PortStatus);

  // Only deletions, each collection swept in full before the next.
  std::vector<std::string> ranks;
  for (const auto& entry : log) ranks.push_back(entry.substr(0, 1));
  EXPECT_TRUE(std::is_sorted(ranks.begin(), ranks.end())) << fmt::format("{}", fmt::join(log, " "));
  auto sorted = log;
  std::sort(sorted.begin(), sorted.end());
  EXPECT_EQ(sorted, (std::vector<std::string>{
                        "0:portConfig[Et2/1]", "0:portConfig[Et3/1]", "1:portStatus[Et2/1]", "1:portStatus[Et3/1]",
                        "2:ethPhyIntfStatus[Et2/1]", "2:ethPhyIntfStatus[Et3/1]", "3:intfStatus[Et2/1]",
                        "3:intfStatus[Et3/1]", "4:localPort[Et2/1]", "4:localPort[Et3/1]", "4:localPort[Et4/1]",
                        "5:intfDesired[Et2/1]", "5:intfDesired[Et3/1]", "5:intfDesired[Et4/1]"}));
}

TEST_F(LldpPopulatorSmTest, TimingFollowsTheLowHoldTimeToggle) {
  struct Case {
    const char* toggleFile;
    uint32_t holdTime;
  };
  for (const Case& c : {Case{R"({"VornFabricLldpLowTxHt": true})", 300}, Case{nullptr, 300},
                        Case{R"({"OtherToggle": false})", 300}, Case{R"({"VornFabricLldpLowTxHt": false})", 1200}}) {
    SCOPED_TRACE(c.toggleFile ? c.toggleFile : "no toggle file");
    ToggleFile toggles(c.toggleFile);
    auto cfg = Velto::make<Lldp::Config>("config");
    cfg->txDelayIs(7);
    cfg->syslogsEnabledIs(true);
    config = cfg;
    start();
    EXPECT_EQ(cfg->messageTxHoldTime(), c.holdTime);
    EXPECT_EQ(cfg->messageTxInterval(), 100u);
    EXPECT_TRUE(cfg->isMessageTxTimeInMs());
    EXPECT_EQ(cfg->txDelay(), 0u);
    EXPECT_FALSE(cfg->syslogsEnabled());
    sm = nullptr;
  }
}

TEST_F(LldpPopulatorSmTest, DestructionLeavesOutputsAndStopsReacting) {
  member(bc1, et1);
  kernelIntf(10, "et1_1", hw1);
  pair(et1, 10);
  start();
  sm = nullptr;
  EXPECT_EQ(outputs(et1), 6);
  unpair(et1, 10);
  EXPECT_EQ(outputs(et1), 6);
}

using LldpPopulatorSmDeathTest = LldpPopulatorSmTest;

TEST_F(LldpPopulatorSmDeathTest, BrokenInvariantsOfTheInputsAreReported) {
  // The kernel interface map names an interface the kernel table lacks.
  member(bc1, et1);
  pair(et1, 10);
  EXPECT_DEATH(start(), "kni status for intfKey 10 does not exist");

  // A channel configured with a member that is not Ethernet.
  kernelIntf(10, "et1_1", hw1);
  member(bc1, IntfId("Port-Channel7"));
  EXPECT_DEATH(start(), "memberIntf Po7 not ethernet");
}

TEST_F(LldpPopulatorSmDeathTest, PartialOutputsOfAnInterfaceAreReported) {
  member(bc1, et1);
  kernelIntf(10, "et1_1", hw1);
  start();
  localSystem->localPortIs(et1);
  desiredDir->intfDesiredIs(et1, true);
  EXPECT_DEATH(pair(et1, 10),
               "config=false, status=false, aepis=false, ais=false, localSystem=true, desiredIntf=true");
}

}  // namespace

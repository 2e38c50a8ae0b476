#include "platform/vorn/KniIntfMapperSm.h"

#include "platform/kernel/InterfaceSource.h"
#include "platform/scheduler/SwitchContext.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

using KernelNetInfo::InterfaceKey;
using Kivo::IntfId;
using Vorn::KniIntfIdKeyPair;
using Vorn::KniIntfMapperSm;

const Kivo::EthAddr mac = Kivo::EthAddr::fromString("02:00:00:00:00:01");

TEST(KniIntfMapperSmRuleTest, DeviceNamesAndInterfacesPairOneToOne) {
  struct Row {
    const char* device;
    const char* intf;
  };
  const Row paired[] = {{"et1", "Ethernet1"}, {"et48", "Ethernet48"}, {"et3_1", "Ethernet3/1"},
                        {"et10_12", "Ethernet10/12"}, {"po1", "Port-Channel1"}, {"po1000", "Port-Channel1000"}};
  for (const auto& row : paired) {
    SCOPED_TRACE(row.device);
    EXPECT_EQ(KniIntfMapperSm::ruleIntfId(row.device), IntfId(row.intf));
    EXPECT_EQ(KniIntfMapperSm::ruleDeviceName(IntfId(row.intf)), row.device);
  }
  const char* outside[] = {"et0",   "et01",  "et1_0", "et1_",   "et_1", "et1_2_3", "eth0", "Et1", "veth0",
                           "po",    "po0",   "po1a",  "et1a",   "lo",   "ma1",     "et",   "",    "et1_02"};
  for (const char* device : outside) {
    SCOPED_TRACE(device);
    EXPECT_TRUE(KniIntfMapperSm::ruleIntfId(device).empty());
  }
  for (const char* intf : {"Management1", "Vlan10", "Ethernet1/2/3", "Ethernet0", "Loopback0"}) {
    SCOPED_TRACE(intf);
    EXPECT_EQ(KniIntfMapperSm::ruleDeviceName(IntfId(intf)), "");
  }
  EXPECT_EQ(KniIntfMapperSm::ruleDeviceName(IntfId()), "");
}

class KniIntfMapperSmTest : public ::testing::Test {
 protected:
  Oru::SwitchContext context_;
  Oru::SwitchContext::Scope active_{context_};

  void start() {
    mapper = Vorn::kniIntfMapperSmFactory(source->status(Kivo::NamespaceName()), map);
    // Whoever reads the pairs must find the map agreeing with them.
    pairWatch = map->subscribe([this](const Zem::Change& c) {
      if (!c.is(Vorn::KniIntfMap::kniIntfIdKeyPairAttr)) return;
      const auto& pair = c.keyAs<KniIntfIdKeyPair>();
      const bool present = map->kniIntfIdKeyPairHas(pair);
      const bool mapped = map->intfIdToIntfKeyGet(pair.intfId) == Zem::Optional<InterfaceKey>(pair.intfKey);
      if (present != mapped) inconsistent.push_back(pair.intfId.shortName());
      events.push_back(fmt::format("{}{}:{}", present ? "+" : "-", pair.intfId, pair.intfKey));
    });
  }

  // The map's pairs as "Et1:3", sorted; checks the two collections agree.
  std::vector<std::string> pairs() const {
    std::vector<std::string> out;
    for (const auto& p : map->kniIntfIdKeyPair()) out.push_back(fmt::format("{}:{}", p.intfId, p.intfKey));
    std::sort(out.begin(), out.end());
    EXPECT_EQ(map->kniIntfIdKeyPair().size(), map->intfIdToIntfKey().size());
    for (const auto& p : map->kniIntfIdKeyPair()) EXPECT_EQ(map->intfIdToIntfKey(p.intfId), p.intfKey);
    return out;
  }
  std::string key(const std::string& device) const { return std::to_string(source->interfaceKey(device)->ifIndex); }

  Velto::Ptr<KernelNetInfo::SimInterfaceSource> source = Velto::make<KernelNetInfo::SimInterfaceSource>();
  Velto::Ptr<Vorn::KniIntfMap> map = Velto::make<Vorn::KniIntfMap>("kniIntfMap");
  Velto::Ptr<KniIntfMapperSm> mapper;
  Zem::Reactor pairWatch;
  std::vector<std::string> inconsistent;
  std::vector<std::string> events;
};

TEST_F(KniIntfMapperSmTest, FollowsKernelInterfacesAppearingDisappearingAndRenamed) {
  source->addInterface("et1", mac);
  source->addInterface("eth0", mac);
  start();
  EXPECT_EQ(pairs(), std::vector<std::string>{"Et1:" + key("et1")});

  source->addInterface("et2_1", mac);
  source->addInterface("po5", mac);
  EXPECT_EQ(pairs(), (std::vector<std::string>{"Et1:" + key("et1"), "Et2/1:" + key("et2_1"), "Po5:" + key("po5")}));

  const std::string k = key("et2_1");
  source->renameInterface("et2_1", "et2_2");
  EXPECT_EQ(pairs(), (std::vector<std::string>{"Et1:" + key("et1"), "Et2/2:" + k, "Po5:" + key("po5")}));
  // Renamed out of the rule: unpaired.
  source->renameInterface("po5", "bond0");
  source->removeInterface("et1");
  EXPECT_EQ(pairs(), std::vector<std::string>{"Et2/2:" + k});
  // Renamed into the rule: paired.
  source->renameInterface("eth0", "et7");
  EXPECT_EQ(pairs(), (std::vector<std::string>{"Et2/2:" + k, "Et7:" + key("et7")}));
  EXPECT_TRUE(inconsistent.empty()) << inconsistent.size();
}

TEST_F(KniIntfMapperSmTest, OverridesComeBeforeTheRule) {
  source->addInterface("et1", mac);
  source->addInterface("veth0", mac);
  source->addInterface("et2", mac);
  context_.intfNameOverrides().tableIs({{"veth0", IntfId("Ethernet1")}, {"et2", IntfId()}});
  start();
  EXPECT_EQ(pairs(), std::vector<std::string>{"Et1:" + key("veth0")});

  // The rule's claim takes over when the override's device goes.
  source->removeInterface("veth0");
  EXPECT_EQ(pairs(), std::vector<std::string>{"Et1:" + key("et1")});
  source->addInterface("veth0", mac);
  EXPECT_EQ(pairs(), std::vector<std::string>{"Et1:" + key("veth0")});

  // A new table applies at once: "veth0" now stands for Ethernet3, and
  // "et2" is no longer kept out.
  events.clear();
  context_.intfNameOverrides().tableIs({{"veth0", IntfId("Ethernet3")}});
  EXPECT_EQ(pairs(), (std::vector<std::string>{"Et1:" + key("et1"), "Et2:" + key("et2"), "Et3:" + key("veth0")}));
  // Each pair moved once: no churn for interfaces that stayed.
  EXPECT_EQ(events.size(), 4u);
  EXPECT_TRUE(inconsistent.empty()) << inconsistent.size();
}

TEST_F(KniIntfMapperSmTest, OneDevicePerInterfaceLowestIndexFirst) {
  context_.intfNameOverrides().tableIs({{"a", IntfId("Ethernet4")}, {"b", IntfId("Ethernet4")}});
  start();
  source->addInterface("et4", mac);
  source->addInterface("b", mac);
  source->addInterface("a", mac);
  // Both overrides beat the rule; of the two, "b" came first.
  EXPECT_EQ(pairs(), std::vector<std::string>{"Et4:" + key("b")});
  source->removeInterface("b");
  EXPECT_EQ(pairs(), std::vector<std::string>{"Et4:" + key("a")});
  source->removeInterface("a");
  EXPECT_EQ(pairs(), std::vector<std::string>{"Et4:" + key("et4")});
  source->removeInterface("et4");
  EXPECT_TRUE(pairs().empty());
  EXPECT_TRUE(inconsistent.empty()) << inconsistent.size();
}

TEST_F(KniIntfMapperSmTest, StartUpRepairsWhatAnEarlierMapperLeft) {
  source->addInterface("et1", mac);
  source->addInterface("et2", mac);
  const InterfaceKey et1 = *source->interfaceKey("et1");
  const InterfaceKey et2 = *source->interfaceKey("et2");
  // Et1 paired with the wrong device, Et9 with a device that is gone, and a
  // pair without its map entry.
  map->intfIdToIntfKeyIs(IntfId("Ethernet1"), et2);
  map->kniIntfIdKeyPairIs({IntfId("Ethernet1"), et2});
  map->intfIdToIntfKeyIs(IntfId("Ethernet9"), InterfaceKey{99});
  map->kniIntfIdKeyPairIs({IntfId("Ethernet9"), InterfaceKey{99}});
  map->kniIntfIdKeyPairIs({IntfId("Ethernet2"), et1});
  start();
  EXPECT_EQ(pairs(), (std::vector<std::string>{fmt::format("Et1:{}", et1), fmt::format("Et2:{}", et2)}));
}

}  // namespace

#include "platform/vorn/KniIntfMapperSm.h"

#include "platform/kernel/InterfaceSource.h"
#include "platform/scheduler/SwitchContext.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

using KernelNetInfo::InterfaceKey;
using Kivo::IntfId;
using Vorn::KniIntfMapperSm;
using Strings = std::vector<std::string>;

const Kivo::EthAddr mac = Kivo::EthAddr::fromString("02:00:00:00:00:01");

TEST(KniIntfMapperSmRuleTest, DeviceNamesAndInterfacesPairOneToOne) {
  const std::pair<const char*, const char*> paired[] = {
      {"et1", "Ethernet1"}, {"et10_12", "Ethernet10/12"}, {"po1000", "Port-Channel1000"}};
  for (auto [device, intf] : paired) {
    EXPECT_EQ(KniIntfMapperSm::ruleIntfId(device), IntfId(intf)) << device;
    EXPECT_EQ(KniIntfMapperSm::ruleDeviceName(IntfId(intf)), device);
  }
  for (const char* device : {"et0", "et01", "et1_0", "et1_", "et_1", "et1_2_3", "eth0", "Et1", "po", "po0", "po1a",
                             "et1a", "lo", "et", "", "et1_02"})
    EXPECT_TRUE(KniIntfMapperSm::ruleIntfId(device).empty()) << device;
}

class KniIntfMapperSmTest : public ::testing::Test {
 protected:
  void start() {
    mapper = Vorn::kniIntfMapperSmFactory(source->status(Kivo::NamespaceName()), map);
    // Whoever reads the pairs must find the map agreeing with them.
    pairWatch = map->subscribe([this](const Zem::Change& c) {
      if (!c.is(Vorn::KniIntfMap::kniIntfIdKeyPairAttr)) return;
      const auto& pair = c.keyAs<Vorn::KniIntfIdKeyPair>();
      EXPECT_EQ(map->kniIntfIdKeyPairHas(pair), map->intfIdToIntfKeyGet(pair.intfId) == Zem::Optional(pair.intfKey));
      ++events;
    });
  }
  // The map's pairs as "Et1:3", sorted; checks the two collections agree.
  Strings pairs() const {
    Strings out;
    for (const auto& p : map->kniIntfIdKeyPair()) out.push_back(fmt::format("{}:{}", p.intfId, p.intfKey));
    std::sort(out.begin(), out.end());
    EXPECT_EQ(map->kniIntfIdKeyPair().size(), map->intfIdToIntfKey().size());
    for (const auto& p : map->kniIntfIdKeyPair()) EXPECT_EQ(map->intfIdToIntfKey(p.intfId), p.intfKey);
    return out;
  }
  // "Et1:<index of device>".
  std::string pair(const char* intf, const std::string& device) const {
    return fmt::format("{}:{}", intf, source->interfaceKey(device)->ifIndex);
  }
  void add(std::initializer_list<const char*> devices) { for (const char* d : devices) source->addInterface(d, mac); }

  Oru::SwitchContext context_;
  Oru::SwitchContext::Scope active_{context_};
  Velto::Ptr<KernelNetInfo::SimInterfaceSource> source = Velto::make<KernelNetInfo::SimInterfaceSource>();
  Velto::Ptr<Vorn::KniIntfMap> map = Velto::make<Vorn::KniIntfMap>("kniIntfMap");
  Velto::Ptr<KniIntfMapperSm> mapper;
  Zem::Reactor pairWatch;
  int events = 0;
};

TEST_F(KniIntfMapperSmTest, FollowsKernelInterfacesAppearingDisappearingAndRenamed) {
  add({"et1", "eth0"});
  start();
  EXPECT_EQ(pairs(), Strings{pair("Et1", "et1")});
  add({"et2_1", "po5"});
  EXPECT_EQ(pairs(), (Strings{pair("Et1", "et1"), pair("Et2/1", "et2_1"), pair("Po5", "po5")}));
  source->renameInterface("et2_1", "et2_2");
  EXPECT_EQ(pairs(), (Strings{pair("Et1", "et1"), pair("Et2/2", "et2_2"), pair("Po5", "po5")}));
  source->renameInterface("po5", "bond0");  // renamed out of the rule: unpaired
  source->removeInterface("et1");
  EXPECT_EQ(pairs(), Strings{pair("Et2/2", "et2_2")});
  source->renameInterface("eth0", "et7");  // renamed into the rule: paired
  EXPECT_EQ(pairs(), (Strings{pair("Et2/2", "et2_2"), pair("Et7", "et7")}));
}

TEST_F(KniIntfMapperSmTest, OverridesComeBeforeTheRule) {
  add({"et1", "veth0", "et2"});
  context_.intfNameOverrides().tableIs({{"veth0", IntfId("Ethernet1")}, {"et2", IntfId()}});
  start();
  EXPECT_EQ(pairs(), Strings{pair("Et1", "veth0")});
  source->removeInterface("veth0");  // the rule's claim takes over when the override's device goes
  EXPECT_EQ(pairs(), Strings{pair("Et1", "et1")});
  add({"veth0"});
  EXPECT_EQ(pairs(), Strings{pair("Et1", "veth0")});
  // A new table applies at once: "veth0" now stands for Ethernet3, and "et2" is no longer kept out.
  events = 0;
  context_.intfNameOverrides().tableIs({{"veth0", IntfId("Ethernet3")}});
  EXPECT_EQ(pairs(), (Strings{pair("Et1", "et1"), pair("Et2", "et2"), pair("Et3", "veth0")}));
  EXPECT_EQ(events, 4);  // each pair moved once: no churn for interfaces that stayed
}

TEST_F(KniIntfMapperSmTest, OneDevicePerInterfaceLowestIndexFirst) {
  context_.intfNameOverrides().tableIs({{"a", IntfId("Ethernet4")}, {"b", IntfId("Ethernet4")}});
  start();
  add({"et4", "b", "a"});
  // Both overrides beat the rule; of the two, "b" came first.
  for (const char* device : {"b", "a", "et4"}) {
    EXPECT_EQ(pairs(), Strings{pair("Et4", device)});
    source->removeInterface(device);
  }
  EXPECT_TRUE(pairs().empty());
}

TEST_F(KniIntfMapperSmTest, StartUpRepairsWhatAnEarlierMapperLeft) {
  add({"et1", "et2"});
  const InterfaceKey et1 = *source->interfaceKey("et1"), et2 = *source->interfaceKey("et2");
  // Et1 paired with the wrong device, Et9 with a device that is gone, and a pair without its map entry.
  for (auto [intf, key] : {std::pair("Ethernet1", et2), {"Ethernet9", InterfaceKey{99}}}) {
    map->intfIdToIntfKeyIs(IntfId(intf), key), map->kniIntfIdKeyPairIs({IntfId(intf), key});
  }
  map->kniIntfIdKeyPairIs({IntfId("Ethernet2"), et1});
  start();
  EXPECT_EQ(pairs(), (Strings{pair("Et1", "et1"), pair("Et2", "et2")}));
}

}  // namespace

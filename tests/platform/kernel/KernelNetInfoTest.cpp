#include "platform/kernel/KernelNetInfo.h"
#include "platform/kernel/KernelNetNsInfo.h"
#include "platform/scheduler/SwitchContext.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace {

using KernelNetInfo::InterfaceKey;
using KernelNetInfo::SimInterfaceSource;
using Kivo::NamespaceName;
using Strings = std::vector<std::string>;

const Kivo::EthAddr mac1 = Kivo::EthAddr::fromString("02:00:00:00:00:01");
const Kivo::EthAddr mac2 = Kivo::EthAddr::fromString("02:00:00:00:00:02");
const NamespaceName mgmt("mgmt");

Strings deviceNames(const KernelNetInfo::Status& table) {
  Strings names;
  for (const auto& [key, intf] : table.interface()) names.push_back(intf.deviceName);
  return std::sort(names.begin(), names.end()), names;
}

TEST(SimInterfaceSourceTest, AddRenameRemoveKeepIndexesAndPublish) {
  auto source = Velto::make<SimInterfaceSource>();
  auto table = source->status(NamespaceName::defaultNamespace());
  std::vector<int> changedKeys;
  auto reactor = table->subscribe([&](const Zem::Change& c) {
    if (c.is(KernelNetInfo::Status::interfaceAttr)) changedKeys.push_back(c.keyAs<InterfaceKey>().ifIndex);
  });

  InterfaceKey et1 = source->addInterface("et1", mac1), et2 = source->addInterface("et2", mac2);
  EXPECT_TRUE(source->renameInterface("et2", "et3"));
  EXPECT_EQ(table->interface(et2), (KernelNetInfo::Interface{et2, "et3", mac2}));
  EXPECT_TRUE(source->removeInterface("et1"));
  EXPECT_FALSE(source->removeInterface("et1") || source->renameInterface("et1", "et9"));
  InterfaceKey again = source->addInterface("et1", mac1);
  EXPECT_GT(again.ifIndex, et2.ifIndex);  // indexes are never reused
  EXPECT_EQ(deviceNames(*table), (Strings{"et1", "et3"}));
  EXPECT_EQ(changedKeys, (std::vector<int>{et1.ifIndex, et2.ifIndex, et2.ifIndex, et1.ifIndex, again.ifIndex}));
}

TEST(SimInterfaceSourceTest, BadOrDuplicateDeviceNamesAreRefused) {
  auto source = Velto::make<SimInterfaceSource>();
  source->addInterface("et1", mac1);
  source->addInterface("et2", mac2);
  for (const char* name : {"", "abcdefghijklmnop", "a/b", "..", "et1"}) {
    EXPECT_THROW(source->addInterface(name, mac1), std::invalid_argument) << name;
  }
  EXPECT_THROW(source->renameInterface("et1", "et2"), std::invalid_argument);
  // Fifteen bytes is the longest name the kernel takes.
  EXPECT_NO_THROW(source->addInterface("abcdefghijklmno", mac1));
  // Nothing refused left a trace in the table.
  EXPECT_EQ(deviceNames(*source->status(NamespaceName())), (Strings{"abcdefghijklmno", "et1", "et2"}));
}

class KernelComponentsTest : public ::testing::Test {
 protected:
  void SetUp() override { context_.interfaceSourceIs(source); }
  Oru::SwitchContext context_;
  Oru::SwitchContext::Scope active_{context_};

  Velto::Ptr<SimInterfaceSource> source = Velto::make<SimInterfaceSource>();
  Velto::Ptr<KernelNetNsInfo::Root> root = Velto::make<KernelNetNsInfo::Root>("netNsRoot");
};

TEST_F(KernelComponentsTest, AgentStartUpFindsTheDefaultTableOfTheSource) {
  source->addInterface("et1", mac1);
  root->netlinkConfigIs(KernelNetNsInfo::NetlinkConfig{1, 1});
  auto manager = KernelNetNsInfo::Manager::ManagerIs(root);
  auto kniSm = KernelNetInfo::KniSm::KniSmIs(root, nullptr);

  EXPECT_EQ(root->netNs().keys(), std::vector<NamespaceName>{NamespaceName::defaultNamespace()});
  EXPECT_EQ(source->netlinkConfig(), (KernelNetNsInfo::NetlinkConfig{1, 1}));
  auto kniStatus = kniSm->kniNsSm(NamespaceName::defaultNamespace())->status();
  EXPECT_EQ(kniStatus, source->status(NamespaceName()));  // the source's own table: later interfaces show up in it
}

TEST_F(KernelComponentsTest, NamespacesOfTheSourceComeAndGo) {
  auto manager = KernelNetNsInfo::Manager::ManagerIs(root);
  auto kniSm = KernelNetInfo::KniSm::KniSmIs(root, nullptr);
  EXPECT_FALSE(kniSm->kniNsSm(mgmt));

  source->addInterface("eth0", mac1, mgmt);
  EXPECT_TRUE(root->netNsHas(mgmt));
  auto mgmtSm = kniSm->kniNsSm(mgmt);
  ASSERT_EQ(deviceNames(*mgmtSm->status()), Strings{"eth0"});
  // The namespaces keep separate tables; the same name may exist in both.
  source->addInterface("eth0", mac2);
  EXPECT_EQ(deviceNames(*kniSm->kniNsSm(NamespaceName())->status()), Strings{"eth0"});

  source->removeNamespace(mgmt);
  EXPECT_FALSE(root->netNsHas(mgmt) || kniSm->kniNsSm(mgmt) || !mgmtSm->status()->interface().empty());
}

}  // namespace

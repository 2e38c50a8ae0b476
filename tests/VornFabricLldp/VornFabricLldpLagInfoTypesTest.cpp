#include "VornFabricLldp/VornFabricLldpLagInfoTypes.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Kivo::IntfId;
using namespace VornFabricLldp;

const IntfId po1("Port-Channel1");
const IntfId et1("Ethernet1");
const IntfId et2("Ethernet2");

TEST(LagInfoTypesTest, ChannelEntryKeepsItsStateUntilDeleted) {
  auto root = VornFabricLldpBcLagGroupInfoIs();
  auto info = root->bcLagGroupInfoIs(po1);
  info->lagGroupToBcMemberMapIs("A")->memberIntfIs(et1);
  info->bcMemberToLagGroupMapIs(et1, "A");
  info->remotePreferredHigigMemberIs(et2);
  info->remoteMismatchExistsIs(true);

  EXPECT_EQ(root->bcLagGroupInfoIs(po1), info);
  EXPECT_TRUE(info->lagGroupToBcMemberMap("A")->memberIntfHas(et1));

  EXPECT_EQ(root->bcLagGroupInfoDel(po1), info);
  EXPECT_EQ(root->bcLagGroupInfo(po1), nullptr);
  EXPECT_EQ(root->bcLagGroupInfoDel(po1), nullptr);
  auto fresh = root->bcLagGroupInfoIs(po1);
  EXPECT_NE(fresh, info);
  EXPECT_TRUE(fresh->lagGroupToBcMemberMap().empty());
  EXPECT_FALSE(fresh->remoteMismatchExists());
  EXPECT_TRUE(fresh->remotePreferredHigigMember().empty());
}

TEST(LagInfoTypesTest, OnlyChangesOfPublishedAttributesNotify) {
  auto root = VornFabricLldpBcLagGroupInfoIs();
  auto info = root->bcLagGroupInfoIs(po1);
  auto group = info->lagGroupToBcMemberMapIs("A");
  auto learnt = root->memberToBpcIntfMapIs(et1);
  std::vector<std::string> seen;
  auto reactor = root->subscribe([&](const Zem::Change& c) {
    seen.push_back(c.nested() ? c.inner->attr->name : c.attr->name);
  });

  info->preferredHigigMemberIs(IntfId());  // unchanged default
  info->preferredHigigMemberIs(et1);
  info->preferredHigigMemberIs(et1);
  info->bcMemberToLagGroupMapIs(et1, "A");
  info->bcMemberToLagGroupMapIs(et1, "A");
  info->bcMemberToLagGroupMapIs(et1, "B");
  // Group member sets and the learnt channel are not published.
  group->memberIntfIs(et1);
  group->memberIntfIs(et1);
  EXPECT_TRUE(group->memberIntfDel(et1));
  EXPECT_FALSE(group->memberIntfDel(et1));
  learnt->remoteBaIntf = po1;
  EXPECT_EQ(seen, (std::vector<std::string>{"preferredHigigMember", "bcMemberToLagGroupMap", "bcMemberToLagGroupMap"}));
}

}  // namespace

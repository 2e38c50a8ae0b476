#include "VornFabricLldp/VornFabricLldpLocalTypes.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Kivo::IntfId;
using VornFabricLldp::LldpSelectedRsForMember;

const IntfId et1("Ethernet1");
const IntfId et2("Ethernet2");

// Records each notification of the selection as its member key, followed by
// the attribute that changed inside the selected remote system, if any.
struct SelectionRecorder {
  std::vector<std::string> seen;
  Zem::Reactor on(const LldpSelectedRsForMember& sel) {
    return sel.subscribe([this](const Zem::Change& c) {
      EXPECT_TRUE(c.is(LldpSelectedRsForMember::remoteSystemAttr));
      std::string s = c.keyAs<IntfId>().shortName();
      const Zem::Change* innermost = &c;
      while (innermost->inner) innermost = innermost->inner;
      if (innermost != &c) s += std::string(".") + innermost->attr->name;
      seen.push_back(s);
    });
  }
};

TEST(LldpSelectedRsForMemberTest, WritesNotifyOnlyWhatTheyChange) {
  auto sel = VornFabricLldp::LldpSelectedRsForMemberIs();
  auto rs = Velto::make<Lldp::RemoteSystem>(1);
  SelectionRecorder r;
  auto reactor = r.on(*sel);

  sel->remoteSystemIs(et2, nullptr);  // missing key: nothing
  sel->remoteSystemIs(et1, rs);
  sel->remoteSystemIs(et1, rs);
  EXPECT_EQ(sel->remoteSystem(et1), rs);
  EXPECT_EQ(sel->remoteSystemDel(et2), nullptr);
  sel->remoteSystemIs(et1, nullptr);  // present key: deleted
  EXPECT_EQ(sel->remoteSystem(et1), nullptr);
  EXPECT_FALSE(sel->remoteSystem().has(et1));

  sel->remoteSystemIs(et2, rs);
  EXPECT_EQ(sel->remoteSystemDel(et2), rs);
  EXPECT_EQ(r.seen, (std::vector<std::string>{"Et1", "Et1", "Et2", "Et2"}));
}

TEST(LldpSelectedRsForMemberTest, ChangesOfTheSelectedRemoteSystemReachSubscribers) {
  auto sel = VornFabricLldp::LldpSelectedRsForMemberIs();
  auto first = Velto::make<Lldp::RemoteSystem>(1);
  auto second = Velto::make<Lldp::RemoteSystem>(2);
  SelectionRecorder r;
  auto reactor = r.on(*sel);

  sel->remoteSystemIs(et1, first);
  first->lastRefreshTimeIs(1.0);
  sel->remoteSystemIs(et1, second);  // replaced: the first one is no longer heard
  first->lastRefreshTimeIs(2.0);
  second->vornTlvIs(Lldp::VornTlv{});
  sel->remoteSystemDel(et1);
  second->lastRefreshTimeIs(3.0);
  EXPECT_EQ(r.seen, (std::vector<std::string>{"Et1", "Et1.lastRefreshTime", "Et1", "Et1.vornTlv", "Et1"}));
}

}  // namespace

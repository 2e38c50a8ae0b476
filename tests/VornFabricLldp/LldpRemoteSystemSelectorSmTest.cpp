#include "VornFabricLldp/LldpRemoteSystemSelectorSm.h"
#include "tests/VornFabricLldp/RxTestSupport.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace {

using Kivo::IntfId;
using RxTest::messagesAt;
using RxTest::peerRs;
using RxTest::tlv;
using Strings = std::vector<std::string>;

const IntfId et1("Ethernet1");
const IntfId et2("Ethernet2");


class LldpRemoteSystemSelectorSmTest : public testing::Test {
 protected:
  void SetUp() override { start(); }
  void start() { sm = VornFabricLldp::lldpRemoteSystemSelectorSmFactory(status, selection); }

  // The engine hearing a remote system on `intf` for the first time.
  Velto::Ptr<Lldp::RemoteSystem> hear(const IntfId& intf, const Velto::Ptr<Lldp::RemoteSystem>& rs) {
    status->portStatusIs(intf, 0)->remoteSystemPut(rs->index(), rs);
    return rs;
  }
  int selectedIndex(const IntfId& intf) const {
    auto rs = selection->remoteSystem(intf);
    return rs ? rs->index() : -1;
  }

  Velto::Ptr<Lldp::Status> status = Velto::make<Lldp::Status>("status");
  Velto::Ptr<VornFabricLldp::LldpSelectedRsForMember> selection = VornFabricLldp::lldpSelectedRsForMemberFactory();
  Velto::Ptr<VornFabricLldp::LldpRemoteSystemSelectorSm> sm;
};

TEST_F(LldpRemoteSystemSelectorSmTest, OnlyRemoteSystemsThatLookLikeGroupPeersAreSelected) {
  const auto group = RxTest::macBytes(Vorn::memberMacAddr(1));
  auto chassis = [](std::string bytes) { return [bytes](Lldp::RemoteSystem& rs) { rs.chassisIdIs(Lldp::ChassisId(bytes)); }; };
  auto flipped = [&](size_t i, char mask) { auto b = group; b[i] ^= mask; return b; };
  struct Case {
    const char* name;
    std::function<void(Lldp::RemoteSystem&)> change;
    bool selected;
  };
  const std::vector<Case> cases = {
      {"as sent by a member", [](Lldp::RemoteSystem&) {}, true},
      {"no Vorn TLV", [](Lldp::RemoteSystem& rs) { rs.vornTlvIs(Zem::none); }, false},
      {"chassis is not a MAC", [](Lldp::RemoteSystem& rs) { rs.chassisIdSubtypeIs(Lldp::ChassisIdSubtype::locallyAssigned); }, false},
      {"chassis of 5 bytes", chassis(group.substr(0, 5)), false},
      {"chassis of 7 bytes", chassis(group + '\x01'), false},
      {"port is not an interface name", [](Lldp::RemoteSystem& rs) { rs.portIdSubtypeIs(Lldp::PortIdSubtype::macAddress); }, false},
      {"first byte outside the group", chassis(flipped(0, 0x01)), false},
      {"fourth byte outside the group", chassis(flipped(3, 0x40)), false},
      {"only the member bytes differ", chassis(flipped(4, 0x7e)), true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    status->portStatusDel(et1);
    auto rs = peerRs(1, 5.0, tlv(2));
    c.change(*rs);
    hear(et1, rs);
    EXPECT_EQ(selectedIndex(et1), c.selected ? 1 : -1);
  }
  status->portStatusDel(et1);
  auto late = hear(et1, peerRs(1, 5.0, Zem::none));
  late->vornTlvIs(tlv(2));
  EXPECT_EQ(selection->remoteSystem(et1), late);  // its TLV arriving later makes it a peer
}

TEST_F(LldpRemoteSystemSelectorSmTest, ChangesInsideTheSelectedRemoteSystemKeepTheSelection) {
  auto rs = hear(et1, peerRs(1, 5.0, tlv(2)));
  int replaced = 0;
  auto reactor = selection->subscribe([&](const Zem::Change& c) { replaced += c.nested() ? 0 : 1; });
  rs->vornTlvIs(tlv(2, 1, 1));
  rs->lastRefreshTimeIs(5.1);
  EXPECT_EQ(replaced, 0);  // the entry already points at the remote system itself
}

TEST_F(LldpRemoteSystemSelectorSmTest, DepartureDeletesTheSelection) {
  for (const bool wholePort : {false, true}) {
    hear(et1, peerRs(1, 5.0, tlv(2)));
    ASSERT_EQ(selectedIndex(et1), 1);
    if (wholePort) {
      status->portStatusDel(et1);
    } else {
      status->portStatus(et1)->remoteSystemDel(1);  // aged out
    }
    EXPECT_EQ(selectedIndex(et1), -1);
  }
}

TEST_F(LldpRemoteSystemSelectorSmTest, NewcomerNotOlderTakesOverAndOlderIsRefused) {
  hear(et1, peerRs(1, 5.0, tlv(2)));
  auto tie = hear(et1, peerRs(2, 5.0, tlv(3), 3));
  EXPECT_EQ(selection->remoteSystem(et1), tie);
  hear(et1, peerRs(3, 4.5, tlv(2)));
  EXPECT_EQ(selectedIndex(et1), 2);
  // The refused one takes over once its refresh catches up.
  status->portStatus(et1)->remoteSystem(3)->lastRefreshTimeIs(5.0);
  EXPECT_EQ(selectedIndex(et1), 3);
}

TEST_F(LldpRemoteSystemSelectorSmTest, SelectedLosingItsTlvIsReplacedByARescan) {
  auto first = hear(et1, peerRs(1, 5.0, tlv(2)));
  auto second = hear(et1, peerRs(2, 4.0, tlv(3), 3));
  auto stranger = peerRs(3, 9.0, tlv(2));  // newest, but not from the group
  stranger->chassisIdSubtypeIs(Lldp::ChassisIdSubtype::locallyAssigned);
  hear(et1, stranger);
  stranger->vornTlvIs(tlv(4));
  ASSERT_EQ(selection->remoteSystem(et1), first);

  first->vornTlvIs(Zem::none);
  EXPECT_EQ(selection->remoteSystem(et1), second);
  second->vornTlvIs(Zem::none);
  EXPECT_EQ(selectedIndex(et1), -1);
}

TEST_F(LldpRemoteSystemSelectorSmTest, RescanPicksTheNewest) {
  struct Case {
    const char* name;
    Velto::Duration first, second;  // refresh times of remote systems 1 and 2
    int selected;
  };
  for (const auto& c : {Case{"equal times keep the first met", 5.0, 5.0, 1}, Case{"newest first", 5.0, 3.0, 1},
                        Case{"newest last", 3.0, 5.0, 2}}) {
    SCOPED_TRACE(c.name);
    sm = nullptr;
    status->portStatusDel(et1);
    selection->remoteSystemDelAll();
    hear(et1, peerRs(1, c.first, tlv(2)));
    hear(et1, peerRs(2, c.second, tlv(2)));
    start();
    EXPECT_EQ(selectedIndex(et1), c.selected);
  }
}

TEST_F(LldpRemoteSystemSelectorSmTest, RefreshGoingBackInTimeRescans) {
  auto selected = hear(et1, peerRs(1, 10.0, tlv(2)));
  auto older = hear(et1, peerRs(2, 8.0, tlv(3), 3));
  ASSERT_EQ(selection->remoteSystem(et1), selected);
  selected->lastRefreshTimeIs(7.0);
  EXPECT_EQ(selection->remoteSystem(et1), older);
}

TEST_F(LldpRemoteSystemSelectorSmTest, RefreshWithoutSelectionSelectsNothing) {
  auto rs = hear(et1, peerRs(1, 5.0, tlv(2)));
  selection->remoteSystemDel(et1);
  rs->lastRefreshTimeIs(6.0);
  EXPECT_EQ(selectedIndex(et1), -1);
}

TEST_F(LldpRemoteSystemSelectorSmTest, ExcessiveDelayIsTracedOnlyAboveTheThreshold) {
  EXPECT_EQ(sm->excessiveDelayThreshold(), 0.15);
  struct Case {
    Velto::Duration threshold, prev, curr;
    const char* traced;  // null: nothing
  };
  const std::vector<Case> cases = {
      {0.15, 2.0, 2.125, nullptr},
      {0.15, 2.0, 2.25, "Excessive RX delay: Et1 prev=2 curr=2.25; diff=0.25 s"},
      {0.25, 2.0, 2.25, nullptr},  // exactly the threshold
      {0.25, 2.0, 2.25 + 1.0 / 1024, "Excessive RX delay: Et1 prev=2 curr=2.2509765625; diff=0.2509765625 s"},
      {0.15, 0.0, 30.0, nullptr},  // the first refresh
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(fmt::format("threshold {} from {} to {}", c.threshold, c.prev, c.curr));
    sm->excessiveDelayThresholdIs(c.threshold);
    status->portStatusDel(et1);
    auto rs = hear(et1, peerRs(1, c.prev, tlv(2)));
    Ringlog::Capture cap;
    rs->lastRefreshTimeIs(c.curr);
    EXPECT_EQ(messagesAt(cap, 2), c.traced ? Strings{c.traced} : Strings{});
  }
}

TEST_F(LldpRemoteSystemSelectorSmTest, ReplacedPortStatusIsHandledRemoteSystemByRemoteSystem) {
  hear(et1, peerRs(1, 5.0, tlv(2)));
  auto fresh = Velto::make<Lldp::PortStatus>(et1, 1.0);
  fresh->remoteSystemPut(1, peerRs(1, 6.0, Zem::none));  // same index, no longer a peer
  auto newcomer = peerRs(4, 6.0, tlv(3), 3);
  fresh->remoteSystemPut(4, newcomer);
  status->portStatusPut(et1, fresh);
  EXPECT_EQ(selection->remoteSystem(et1), newcomer);

  status->portStatusPut(et1, Velto::make<Lldp::PortStatus>(et1, 2.0));
  EXPECT_EQ(selectedIndex(et1), -1);
}

TEST_F(LldpRemoteSystemSelectorSmTest, ReplacedStatusIsHandledPortByPort) {
  hear(et1, peerRs(1, 5.0, tlv(2)));
  auto next = Velto::make<Lldp::Status>("next");
  auto onEt2 = peerRs(1, 1.0, tlv(2));
  next->portStatusIs(et2, 0)->remoteSystemPut(1, onEt2);
  sm->statusIs(next);
  EXPECT_EQ(selectedIndex(et1), -1);
  EXPECT_EQ(selection->remoteSystem(et2), onEt2);
  hear(et1, peerRs(2, 9.0, tlv(2)));  // the old status is no longer followed
  EXPECT_EQ(selectedIndex(et1), -1);
}

TEST_F(LldpRemoteSystemSelectorSmTest, StartUpCleansUpAndRescansEveryPort) {
  sm = nullptr;
  auto kept = hear(et1, peerRs(1, 5.0, tlv(2)));
  selection->remoteSystemIs(et2, peerRs(7, 5.0, tlv(2)));  // left over; Et2 has no port status
  status->portStatusIs(IntfId("Ethernet3"), 0);             // nothing heard yet
  start();
  EXPECT_EQ(selection->remoteSystem(et1), kept);
  EXPECT_EQ(selection->remoteSystem().size(), 1u);
}

TEST_F(LldpRemoteSystemSelectorSmTest, TearDownLeavesTheSelectionAndStopsReacting) {
  auto rs = hear(et1, peerRs(1, 5.0, tlv(2)));
  sm = nullptr;
  status->portStatusDel(et1);
  hear(et2, peerRs(1, 5.0, tlv(2)));
  EXPECT_EQ(selection->remoteSystem(et1), rs);
  EXPECT_FALSE(selection->remoteSystem().has(et2));
}

}  // namespace

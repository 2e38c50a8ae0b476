#include "VornFabricLldp/LldpRemoteSystemSelectorSm.h"
#include "tests/VornFabricLldp/RxTestSupport.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace {

using namespace RxTest;
using Rs = Lldp::RemoteSystem;
using Strings = std::vector<std::string>;

class LldpRemoteSystemSelectorSmTest : public testing::Test {
 protected:
  void SetUp() override { start(); }
  void start() { sm = VornFabricLldp::lldpRemoteSystemSelectorSmFactory(status, selection); }

  // The engine hearing a remote system on `intf` for the first time.
  Velto::Ptr<Rs> hear(const IntfId& intf, const Velto::Ptr<Rs>& rs) {
    status->portStatusIs(intf, 0)->remoteSystemPut(rs->index(), rs);
    return rs;
  }
  // Remote system `index` from member `peer`, last refreshed at `refresh`.
  Velto::Ptr<Rs> hear(int index, Velto::Duration refresh, uint8_t peer = 2) {
    return hear(et1, peerRs(index, refresh, tlv(peer), peer));
  }
  int selected() const { return selection->remoteSystem(et1) ? selection->remoteSystem(et1)->index() : -1; }

  Velto::Ptr<Lldp::Status> status = Velto::make<Lldp::Status>("status");
  Velto::Ptr<VornFabricLldp::LldpSelectedRsForMember> selection = VornFabricLldp::lldpSelectedRsForMemberFactory();
  Velto::Ptr<VornFabricLldp::LldpRemoteSystemSelectorSm> sm;
};

TEST_F(LldpRemoteSystemSelectorSmTest, OnlyRemoteSystemsThatLookLikeGroupPeersAreSelected) {
  const auto group = RxTest::macBytes(Vorn::memberMacAddr(1));
  auto chassis = [](std::string bytes) { return [bytes](Rs& rs) { rs.chassisIdIs(Lldp::ChassisId(bytes)); }; };
  auto flipped = [&](size_t i, char mask) { return group.substr(0, i) + char(group[i] ^ mask) + group.substr(i + 1); };
  const std::vector<std::tuple<const char*, std::function<void(Rs&)>, bool>> cases = {
      {"as sent by a member", [](Rs&) {}, true},
      {"no Vorn TLV", [](Rs& rs) { rs.vornTlvIs(Zem::none); }, false},
      {"chassis is not a MAC", [](Rs& rs) { rs.chassisIdSubtypeIs(Lldp::ChassisIdSubtype::locallyAssigned); }, false},
      {"chassis of 5 bytes", chassis(group.substr(0, 5)), false},
      {"port is not an interface name", [](Rs& rs) { rs.portIdSubtypeIs(Lldp::PortIdSubtype::macAddress); }, false},
      {"fourth byte outside the group", chassis(flipped(3, 0x40)), false},
      {"only the member bytes differ", chassis(flipped(4, 0x7e)), true},
  };
  for (const auto& [name, change, isPeer] : cases) {
    SCOPED_TRACE(name);
    status->portStatusDel(et1);
    auto rs = peerRs(1, 5.0, tlv(2));
    change(*rs);
    hear(et1, rs);
    EXPECT_EQ(selected(), isPeer ? 1 : -1);
  }
  status->portStatusDel(et1);
  hear(et1, peerRs(1, 5.0, Zem::none))->vornTlvIs(tlv(2));
  EXPECT_EQ(selected(), 1);  // its TLV arriving later makes it a peer
}

// A selection goes with its remote system, its port status or its TLV (a
// rescan then finds the next group peer); a refresh of a remote system no
// longer selected selects nothing.
TEST_F(LldpRemoteSystemSelectorSmTest, SelectedThatLeavesIsReplacedByARescan) {
  auto first = hear(1, 5.0);
  auto second = hear(2, 4.0, 3);
  auto stranger = peerRs(3, 9.0, tlv(2));  // newest, but not from the group
  stranger->chassisIdSubtypeIs(Lldp::ChassisIdSubtype::locallyAssigned);
  hear(et1, stranger)->vornTlvIs(tlv(4));
  ASSERT_EQ(selected(), 1);
  first->vornTlvIs(Zem::none);
  EXPECT_EQ(selected(), 2);
  status->portStatus(et1)->remoteSystemDel(2);  // aged out
  EXPECT_EQ(selected(), -1);
  hear(1, 5.0);
  status->portStatusDel(et1);
  EXPECT_EQ(selected(), -1);
  auto rs = hear(1, 5.0);
  selection->remoteSystemDel(et1);
  rs->lastRefreshTimeIs(6.0);
  EXPECT_EQ(selected(), -1);
}

TEST_F(LldpRemoteSystemSelectorSmTest, NewcomerNotOlderTakesOverAndOlderIsRefused) {
  hear(1, 5.0);
  hear(2, 5.0, 3);
  EXPECT_EQ(selected(), 2);
  hear(3, 4.5);
  EXPECT_EQ(selected(), 2);
  // The refused one takes over once its refresh catches up.
  status->portStatus(et1)->remoteSystem(3)->lastRefreshTimeIs(5.0);
  EXPECT_EQ(selected(), 3);
  // A refresh going back in time rescans: 1 is the first of the newest.
  status->portStatus(et1)->remoteSystem(3)->lastRefreshTimeIs(4.0);
  EXPECT_EQ(selected(), 1);
}

TEST_F(LldpRemoteSystemSelectorSmTest, RescanAtStartPicksTheNewestAndCleansUp) {
  // Refresh times of remote systems 1 and 2, and the one selected.
  using Row = std::tuple<double, double, int>;
  for (const auto& [first, second, expected] : {Row{5, 5, 1}, Row{5, 3, 1}, Row{3, 5, 2}}) {
    SCOPED_TRACE(testing::Message() << first << " " << second);
    sm = nullptr;
    status->portStatusDel(et1);
    selection->remoteSystemDelAll();
    hear(1, first);
    hear(2, second);
    selection->remoteSystemIs(et2, peerRs(7, 5.0, tlv(2)));  // left over; Et2 has no port status
    status->portStatusIs(IntfId("Ethernet3"), 0);             // nothing heard yet
    start();
    EXPECT_EQ(selected(), expected);  // equal times keep the first met
    EXPECT_EQ(selection->remoteSystem().size(), 1u);
  }
}

TEST_F(LldpRemoteSystemSelectorSmTest, ExcessiveDelayIsTracedOnlyAboveTheThreshold) {
  EXPECT_EQ(sm->excessiveDelayThreshold(), 0.15);
  const std::string traced = "Excessive RX delay: Et1 prev=2 curr=";
  // Threshold, previous and current refresh time: what is traced.
  const std::vector<std::tuple<Velto::Duration, Velto::Duration, Velto::Duration, std::string>> cases = {
      {0.15, 2.0, 2.125, ""},
      {0.15, 2.0, 2.25, traced + "2.25; diff=0.25 s"},
      {0.15, 0.0, 30.0, ""},  // the first refresh
  };
  for (const auto& [threshold, prev, curr, message] : cases) {
    sm->excessiveDelayThresholdIs(threshold);
    status->portStatusDel(et1);
    auto rs = hear(1, prev);
    Ringlog::Capture cap;
    rs->lastRefreshTimeIs(curr);
    EXPECT_EQ(RxTest::messagesAt(cap, 2), message.empty() ? Strings{} : Strings{message}) << threshold << " " << curr;
  }
}

}  // namespace

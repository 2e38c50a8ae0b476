#include "VornFabricLldp/LldpStatusSm.h"
#include "tests/VornFabricLldp/RxTestSupport.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Kivo::IntfId;
using RxTest::peerRs;
using RxTest::tlv;
using VornFabricLldp::LldpStatusSm;
using VornFabricLldp::peerVisibleTlv;

const IntfId et1("Ethernet1");
const IntfId et2("Ethernet2");

class LldpStatusSmTest : public testing::Test {
 protected:
  void start() { sm = VornFabricLldp::lldpStatusSmFactory(status, mirror); }

  Velto::Ptr<Vorn::Lldp::RemoteSystem> mirrored(const IntfId& intf, int index) const {
    auto ps = mirror->portStatus(intf);
    return ps ? ps->remoteSystem(index) : nullptr;
  }

  Velto::Ptr<Lldp::Status> status = Velto::make<Lldp::Status>("status");
  Velto::Ptr<Vorn::Lldp::Status> mirror = Velto::make<Vorn::Lldp::Status>("1");
  Velto::Ptr<LldpStatusSm> sm;
};

TEST_F(LldpStatusSmTest, RemoteSystemsAreCopiedWithIdentityTtlAndTlv) {
  start();
  auto rs = peerRs(3, 1.0, tlv(2, 1, 1, 0x03), 2, "Ethernet7");
  rs->ttlIs(120);
  status->portStatusIs(et1, 0)->remoteSystemPut(3, rs);
  status->portStatusIs(et2, 0)->remoteSystemPut(1, peerRs(1, 1.0, Zem::none));

  auto copy = mirrored(et1, 3);
  ASSERT_TRUE(copy);
  EXPECT_EQ(copy->index(), 3);
  EXPECT_EQ(copy->msap().chassisIdSubtype, Lldp::ChassisIdSubtype::macAddress);
  EXPECT_EQ(copy->msap().chassisId, rs->chassisId());
  EXPECT_EQ(copy->msap().portIdSubtype, Lldp::PortIdSubtype::interfaceName);
  EXPECT_EQ(copy->msap().portId, Lldp::PortId(std::string("Ethernet7")));
  EXPECT_EQ(copy->ttl(), 120);
  ASSERT_TRUE(copy->vornTlvRx());
  EXPECT_EQ(copy->vornTlvRx()->memberId, Vorn::MemberId(2));
  EXPECT_EQ(copy->vornTlvRx()->role, Vorn::Role::member);
  EXPECT_EQ(copy->vornTlvRx()->expectedPeerId, Vorn::MemberId(1));
  EXPECT_EQ(copy->vornTlvRx()->receivedPeerId, Vorn::MemberId(1));
  ASSERT_TRUE(mirrored(et2, 1));
  EXPECT_FALSE(mirrored(et2, 1)->vornTlvRx());

  rs->ttlIs(90);
  rs->vornTlvIs(Zem::none);
  EXPECT_EQ(mirrored(et1, 3), copy);  // same identity: updated in place
  EXPECT_EQ(copy->ttl(), 90);
  EXPECT_FALSE(copy->vornTlvRx());
}

TEST_F(LldpStatusSmTest, FlagBitsBecomeTheTwoBooleans) {
  struct Case {
    uint8_t flags;
    bool lodestoreConnected;
    bool singleLink;
  };
  const std::vector<Case> cases = {
      {0x00, false, false}, {0x01, true, false}, {0x02, false, true},
      {0x03, true, true},   {0x06, false, true}, {0xfc, false, false},
  };
  start();
  auto rs = peerRs(1, 1.0, Zem::none);
  status->portStatusIs(et1, 0)->remoteSystemPut(1, rs);
  for (const auto& c : cases) {
    SCOPED_TRACE(fmt::format("flags 0x{:02x}", c.flags));
    rs->vornTlvIs(tlv(2, 1, 0, c.flags));
    ASSERT_TRUE(mirrored(et1, 1));
    auto rx = mirrored(et1, 1)->vornTlvRx();
    ASSERT_TRUE(rx);
    EXPECT_EQ(rx->lodestoreConnected, c.lodestoreConnected);
    EXPECT_EQ(rx->singleLink, c.singleLink);
    EXPECT_EQ(rx->receivedPeerId, Vorn::MemberId(0));
  }
}

TEST_F(LldpStatusSmTest, ChangedIdentityGivesAFreshEntry) {
  start();
  auto rs = peerRs(1, 1.0, tlv(2));
  status->portStatusIs(et1, 0)->remoteSystemPut(1, rs);
  auto before = mirrored(et1, 1);
  rs->portIdIs(Lldp::PortId(std::string("Ethernet9")));
  auto after = mirrored(et1, 1);
  ASSERT_TRUE(after);
  EXPECT_NE(after, before);
  EXPECT_EQ(after->msap().portId, Lldp::PortId(std::string("Ethernet9")));
  EXPECT_EQ(after->vornTlvRx(), peerVisibleTlv(tlv(2)));
}

TEST_F(LldpStatusSmTest, WhatTheEngineDropsIsDroppedFromTheMirror) {
  start();
  auto ps = status->portStatusIs(et1, 0);
  ps->remoteSystemPut(1, peerRs(1, 1.0, tlv(2)));
  ps->remoteSystemPut(2, peerRs(2, 1.0, tlv(3), 3));
  status->portStatusIs(et2, 0);  // nothing heard yet: mirrored empty
  ASSERT_TRUE(mirror->portStatus(et2));
  EXPECT_TRUE(mirror->portStatus(et2)->remoteSystem().empty());

  Ringlog::Capture cap;
  ps->remoteSystemDel(2);
  EXPECT_FALSE(mirrored(et1, 2));
  EXPECT_TRUE(mirrored(et1, 1));
  EXPECT_TRUE(cap.contains(8, "remove RemoteSystem 2 from intf Et1"));

  cap.clear();
  status->portStatusDel(et1);
  EXPECT_FALSE(mirror->portStatus(et1));
  EXPECT_TRUE(cap.contains(8, "remove PortStatus for intf Ethernet1"));
  for (const auto& r : cap.records()) EXPECT_EQ(r.level, 8) << r.message;
}

TEST_F(LldpStatusSmTest, ConstructionSyncsAndSyncingAgainChangesNothing) {
  auto ps = status->portStatusIs(et1, 0);
  ps->remoteSystemPut(1, peerRs(1, 1.0, tlv(2)));
  // Left over in the backed-up mirror from before the restart.
  mirror->portStatusIs(et2)->remoteSystemIs(4, Vorn::Lldp::RemoteSystem::Msap{});
  mirror->portStatusIs(et1)->remoteSystemIs(9, Vorn::Lldp::RemoteSystem::Msap{});
  start();
  EXPECT_FALSE(mirror->portStatus(et2));
  EXPECT_FALSE(mirrored(et1, 9));
  EXPECT_TRUE(mirrored(et1, 1));

  int published = 0;
  auto reactor = mirror->subscribe([&](const Zem::Change&) { ++published; });
  Ringlog::Capture cap;
  ps->framesInIs(10);  // a change the mirror does not carry
  sm->syncStatus();
  EXPECT_TRUE(cap.contains(8, "for intf Et1"));
  EXPECT_EQ(published, 0);
}

TEST_F(LldpStatusSmTest, NewEngineStatusReplacesTheMirrorContents) {
  status->portStatusIs(et1, 0)->remoteSystemPut(1, peerRs(1, 1.0, tlv(2)));
  start();
  ASSERT_TRUE(mirrored(et1, 1));

  auto next = Velto::make<Lldp::Status>("next");
  next->portStatusIs(et2, 0)->remoteSystemPut(5, peerRs(5, 1.0, tlv(3), 3));
  sm->localStatusIs(next);
  EXPECT_FALSE(mirror->portStatus(et1));
  EXPECT_TRUE(mirrored(et2, 5));
  status->portStatusIs(IntfId("Ethernet3"), 0);  // the old status is no longer followed
  EXPECT_EQ(mirror->portStatus().size(), 1u);

  sm->localStatusIs(Velto::make<Lldp::Status>("empty"));
  EXPECT_TRUE(mirror->portStatus().empty());
}

TEST_F(LldpStatusSmTest, DestroyedMirrorStaysAsItWas) {
  status->portStatusIs(et1, 0)->remoteSystemPut(1, peerRs(1, 1.0, tlv(2)));
  start();
  sm = nullptr;
  status->portStatusDel(et1);
  EXPECT_TRUE(mirrored(et1, 1));
}

}  // namespace

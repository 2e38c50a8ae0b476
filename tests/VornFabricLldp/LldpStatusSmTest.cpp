#include "VornFabricLldp/LldpStatusSm.h"
#include "tests/VornFabricLldp/RxTestSupport.h"

#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <string>
#include <vector>

namespace {

using Kivo::IntfId;
using RxTest::peerRs;
using RxTest::tlv;
using VornFabricLldp::LldpStatusSm;

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
  const Vorn::Lldp::RemoteSystem::Msap msap{Lldp::ChassisIdSubtype::macAddress, rs->chassisId(),
                                            Lldp::PortIdSubtype::interfaceName, Lldp::PortId(std::string("Ethernet7"))};
  EXPECT_EQ(copy->msap(), msap);
  EXPECT_EQ(copy->ttl(), 120);
  const auto mirroredTlv = Lldp::VornTlv{2, Vorn::Role::member, 1, 1, 0}.lodestoreConnectedIs(true).singleLinkIs(true);
  EXPECT_EQ(copy->vornTlvRx(), Zem::Optional<Lldp::VornTlv>(mirroredTlv));
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
    EXPECT_EQ(rx->lodestoreConnected(), c.lodestoreConnected);
    EXPECT_EQ(rx->singleLink(), c.singleLink);
    EXPECT_EQ(rx->flags & ~(Lldp::VornTlv::lodestoreConnectedFlag | Lldp::VornTlv::singleLinkFlag), 0);
    EXPECT_EQ(rx->receivedPeerId, Vorn::MemberId(0));
  }
}

// The identity is the entry's key: a remote system that changes it is a
// new entry, on the incremental path and in a full sync alike.
TEST_F(LldpStatusSmTest, ChangedIdentityGivesAFreshEntry) {
  start();
  auto rs = peerRs(1, 1.0, tlv(2));
  status->portStatusIs(et1, 0)->remoteSystemPut(1, rs);
  auto before = mirrored(et1, 1);
  rs->portIdIs(Lldp::PortId(std::string("Ethernet9")));
  ASSERT_TRUE(mirrored(et1, 1));
  EXPECT_NE(mirrored(et1, 1), before);
  EXPECT_EQ(mirrored(et1, 1)->msap().portId, Lldp::PortId(std::string("Ethernet9")));
  before = mirrored(et1, 1);
  rs->chassisIdSubtypeIs(Lldp::ChassisIdSubtype::locallyAssigned);
  sm->syncStatus();
  ASSERT_TRUE(mirrored(et1, 1));
  EXPECT_NE(mirrored(et1, 1), before);
  EXPECT_EQ(mirrored(et1, 1)->msap().chassisIdSubtype, Lldp::ChassisIdSubtype::locallyAssigned);
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

TEST_F(LldpStatusSmTest, DestroyedMirrorStaysAsItWas) {
  status->portStatusIs(et1, 0)->remoteSystemPut(1, peerRs(1, 1.0, tlv(2)));
  start();
  sm = nullptr;
  status->portStatusDel(et1);
  EXPECT_TRUE(mirrored(et1, 1));
}

TEST_F(LldpStatusSmTest, WhatTheMirrorDoesNotCarryCostsNoWrite) {
  auto ps = status->portStatusIs(et1, 0);
  auto rs = peerRs(1, 1.0, tlv(2));
  ps->remoteSystemPut(1, rs);
  start();
  const std::vector<std::pair<const char*, std::function<void()>>> writes = {
      {"refresh time", [&] { rs->lastRefreshTimeIs(2.0); }},
      {"system name", [&] { rs->systemNameIs("peer"); }},
      {"neighbour overflow", [&] { ps->tooManyNeighborsIs(true); }},
      {"statistic", [&] { ps->framesInAdd(); }},
  };
  for (const auto& [what, write] : writes) {
    SCOPED_TRACE(what);
    Ringlog::Capture cap;
    const auto before = Zem::workCounters.writes;
    write();
    // The write itself at most; the mirror wrote nothing.
    EXPECT_LE(Zem::workCounters.writes - before, 1u);
    EXPECT_TRUE(RxTest::messagesAt(cap, 8).empty());
  }
}

// The engine status is changed at random, step by step; after every step
// the incremental mirror must equal a mirror re-synced in full from the
// same status.
TEST_F(LldpStatusSmTest, IncrementalMirrorEqualsAFullResyncAfterEveryStep) {
  std::mt19937 rng(12);
  auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
  const std::vector<IntfId> intfs = {et1, et2, IntfId("Ethernet3"), IntfId("Ethernet4")};
  auto anyIntf = [&] { return intfs[static_cast<size_t>(pick(4))]; };
  auto anyTlv = [&]() -> Zem::Optional<Lldp::VornTlv> {
    if (pick(4) == 0) return Zem::none;
    return tlv(static_cast<uint8_t>(1 + pick(3)), static_cast<uint8_t>(pick(3)), static_cast<uint8_t>(pick(3)),
               static_cast<uint8_t>(pick(8)));
  };
  auto newRs = [&](int index) {
    auto rs = peerRs(index, 1.0, anyTlv(), static_cast<uint8_t>(2 + pick(3)), pick(2) ? "Ethernet1" : "Ethernet2");
    rs->ttlIs(static_cast<uint16_t>(pick(3) * 60));
    return rs;
  };
  auto newPs = [&](const IntfId& intf) {
    auto ps = Velto::make<Lldp::PortStatus>(intf, 0.0);
    for (int i = pick(3); i > 0; --i) {
      // The engine files a remote system under its own index.
      const int index = 1 + pick(4);
      ps->remoteSystemPut(index, newRs(index));
    }
    return ps;
  };
  // A remote system of some port, or null when there is none.
  auto anyRs = [&]() -> Velto::Ptr<Lldp::RemoteSystem> {
    auto ps = status->portStatus(anyIntf());
    if (!ps || ps->remoteSystem().empty()) return nullptr;
    auto keys = ps->remoteSystem().keys();
    return ps->remoteSystem(keys[static_cast<size_t>(pick(static_cast<int>(keys.size())))]);
  };

  auto fullMirror = Velto::make<Vorn::Lldp::Status>("full");
  // Notifications stay off: this one syncs only when told.
  auto full = Velto::make<LldpStatusSm>(status, fullMirror);
  start();

  using Step = std::pair<const char*, std::function<void()>>;
  const std::vector<Step> steps = {
      {"add port status", [&] { status->portStatusIs(anyIntf(), 0); }},
      {"replace port status", [&] { auto i = anyIntf(); status->portStatusPut(i, newPs(i)); }},
      {"remove port status", [&] { status->portStatusDel(anyIntf()); }},
      {"add or replace remote system",
       [&] {
         auto ps = status->portStatusIs(anyIntf(), 0);
         const int index = 1 + pick(4);
         ps->remoteSystemPut(index, newRs(index));
       }},
      {"remove remote system",
       [&] {
         if (auto ps = status->portStatus(anyIntf())) ps->remoteSystemDel(1 + pick(4));
       }},
      {"change chassis", [&] { if (auto rs = anyRs()) rs->chassisIdIs(Lldp::ChassisId(std::string(1 + pick(2), 'c'))); }},
      {"change chassis subtype",
       [&] { if (auto rs = anyRs()) rs->chassisIdSubtypeIs(pick(2) ? Lldp::ChassisIdSubtype::macAddress : Lldp::ChassisIdSubtype::locallyAssigned); }},
      {"change port", [&] { if (auto rs = anyRs()) rs->portIdIs(Lldp::PortId(std::string(pick(2) ? "Ethernet5" : "Ethernet6"))); }},
      {"change port subtype",
       [&] { if (auto rs = anyRs()) rs->portIdSubtypeIs(pick(2) ? Lldp::PortIdSubtype::interfaceName : Lldp::PortIdSubtype::locallyAssigned); }},
      {"change ttl", [&] { if (auto rs = anyRs()) rs->ttlIs(static_cast<uint16_t>(pick(4) * 30)); }},
      {"change tlv", [&] { if (auto rs = anyRs()) rs->vornTlvIs(anyTlv()); }},
      {"refresh", [&] { if (auto rs = anyRs()) rs->lastRefreshTimeIs(pick(100)); }},
      {"system name", [&] { if (auto rs = anyRs()) rs->systemNameIs(pick(2) ? "a" : "b"); }},
      {"neighbour overflow", [&] { if (auto ps = status->portStatus(anyIntf())) ps->tooManyNeighborsIs(pick(2)); }},
      {"replace engine status",
       [&] {
         auto next = Velto::make<Lldp::Status>("next");
         for (const auto& intf : intfs) {
           if (pick(2)) next->portStatusPut(intf, newPs(intf));
         }
         status = next;
         full->localStatusIs(status);
         sm->localStatusIs(status);
       }},
  };
  for (int i = 0; i < 3000; ++i) {
    // Replacing the whole status is rare, as it is in the agent.
    const size_t k = pick(60) == 0 ? steps.size() - 1 : static_cast<size_t>(pick(static_cast<int>(steps.size()) - 1));
    const auto& [what, run] = steps[k];
    run();
    full->syncStatus();
    ASSERT_EQ(Zem::toJson(*mirror).dump(), Zem::toJson(*fullMirror).dump()) << "step " << i << ": " << what;
  }
  EXPECT_FALSE(mirror->portStatus().empty());
}

}  // namespace

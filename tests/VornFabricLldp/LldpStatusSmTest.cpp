#include "VornFabricLldp/LldpStatusSm.h"
#include "tests/VornFabricLldp/RxTestSupport.h"

#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <string>
#include <vector>

namespace {

using namespace RxTest;
using VornFabricLldp::LldpStatusSm;
using Tlv = Zem::Optional<Lldp::VornTlv>;


class LldpStatusSmTest : public testing::Test {
 protected:
  void start() { sm = VornFabricLldp::lldpStatusSmFactory(status, mirror); }

  static Lldp::PortId portId(const char* name) { return Lldp::PortId(std::string(name)); }
  Velto::Ptr<Vorn::Lldp::RemoteSystem> mirrored(const IntfId& intf, int index) const {
    auto ps = mirror->portStatus(intf);
    return ps ? ps->remoteSystem(index) : nullptr;
  }

  Velto::Ptr<Lldp::Status> status = Velto::make<Lldp::Status>("status");
  Velto::Ptr<Vorn::Lldp::Status> mirror = Velto::make<Vorn::Lldp::Status>("1");
  Velto::Ptr<LldpStatusSm> sm;
};

TEST_F(LldpStatusSmTest, RemoteSystemsAreMirroredWithIdentityTtlAndPeerVisibleFlags) {
  start();
  auto ps = status->portStatusIs(et1, 0);
  auto rs = peerRs(3, 1.0, tlv(2, 1, 1), 2, "Ethernet7");
  rs->ttlIs(120);
  ps->remoteSystemPut(3, rs);
  status->portStatusIs(et2, 0)->remoteSystemPut(1, peerRs(1, 1.0, Zem::none));
  const auto copy = mirrored(et1, 3);
  ASSERT_TRUE(copy && mirrored(et2, 1));
  EXPECT_EQ(copy->msap(), (Vorn::Lldp::RemoteSystem::Msap{Lldp::ChassisIdSubtype::macAddress, rs->chassisId(),
                                                          Lldp::PortIdSubtype::interfaceName, portId("Ethernet7")}));
  EXPECT_EQ(copy->ttl(), 120);
  EXPECT_FALSE(mirrored(et2, 1)->vornTlvRx());
  // Of the flags only the two the peer may see are mirrored.
  for (const auto& [flags, visible] : std::vector<std::pair<uint8_t, uint8_t>>{
           {0x00, 0x00}, {0x01, 0x01}, {0x02, 0x02}, {0x03, 0x03}, {0x06, 0x02}, {0xfc, 0x00}}) {
    rs->vornTlvIs(tlv(2, 1, 0, flags));
    EXPECT_EQ(copy->vornTlvRx(), Tlv(tlv(2, 1, 0, visible))) << fmt::format("flags 0x{:02x}", flags);
  }
  // The same identity is updated in place.
  rs->ttlIs(90);
  rs->vornTlvIs(Zem::none);
  EXPECT_EQ(mirrored(et1, 3), copy);
  EXPECT_EQ(copy->ttl(), 90);
  EXPECT_FALSE(copy->vornTlvRx());

  // What the mirror does not carry costs it no write: the write itself at most.
  for (const auto& write : std::vector<std::function<void()>>{[&] { rs->lastRefreshTimeIs(2.0); },
                                                              [&] { rs->systemNameIs("peer"); },
                                                              [&] { ps->tooManyNeighborsIs(true); },
                                                              [&] { ps->framesInAdd(); }}) {
    Ringlog::Capture cap;
    const auto before = Zem::workCounters.writes;
    write();
    EXPECT_LE(Zem::workCounters.writes - before, 1u);
    EXPECT_TRUE(RxTest::messagesAt(cap, 8).empty());
  }

  // The identity is the entry's key: a remote system that changes it is a
  // new entry, on the incremental path and in a full sync alike.
  rs->portIdIs(portId("Ethernet9"));
  ASSERT_TRUE(mirrored(et1, 3));
  EXPECT_NE(mirrored(et1, 3), copy);
  EXPECT_EQ(mirrored(et1, 3)->msap().portId, portId("Ethernet9"));
  const auto before = mirrored(et1, 3);
  rs->chassisIdSubtypeIs(Lldp::ChassisIdSubtype::locallyAssigned);
  sm->syncStatus();
  ASSERT_TRUE(mirrored(et1, 3));
  EXPECT_NE(mirrored(et1, 3), before);
  EXPECT_EQ(mirrored(et1, 3)->msap().chassisIdSubtype, Lldp::ChassisIdSubtype::locallyAssigned);
}

// The engine status is changed at random, step by step; after every step
// the incremental mirror must equal a mirror re-synced in full from the
// same status.
TEST_F(LldpStatusSmTest, IncrementalMirrorEqualsAFullResyncAfterEveryStep) {
  std::mt19937 rng(12);
  auto pick = [&](int n) { return static_cast<uint8_t>(rng() % static_cast<unsigned>(n)); };
  const IntfId intfs[] = {et1, et2, et3, et4};
  auto anyIntf = [&] { return intfs[pick(4)]; };
  auto anyTlv = [&] { return pick(4) ? Tlv(tlv(1 + pick(3), pick(3), pick(3), pick(8))) : Tlv(); };
  // The engine files a remote system under its own index.
  auto putRs = [&](Lldp::PortStatus& ps) {
    const int index = 1 + pick(4);
    auto rs = peerRs(index, 1.0, anyTlv(), 2 + pick(3), pick(2) ? "Ethernet1" : "Ethernet2");
    rs->ttlIs(pick(3) * 60);
    ps.remoteSystemPut(index, rs);
  };
  auto newPs = [&](const IntfId& intf) {
    auto ps = Velto::make<Lldp::PortStatus>(intf, 0.0);
    for (int i = pick(3); i > 0; --i) putRs(*ps);
    return ps;
  };
  // A change to a remote system of some port, when there is one.
  auto withRs = [&](std::function<void(Lldp::RemoteSystem&)> change) -> std::function<void()> {
    return [&, change] {
      auto ps = status->portStatus(anyIntf());
      if (!ps || ps->remoteSystem().empty()) return;
      auto keys = ps->remoteSystem().keys();
      change(*ps->remoteSystem(keys[pick(static_cast<int>(keys.size()))]));
    };
  };
  auto fullMirror = Velto::make<Vorn::Lldp::Status>("full");
  auto full = Velto::make<LldpStatusSm>(status, fullMirror);  // notifications off: syncs only when told
  start();
  using Step = std::pair<const char*, std::function<void()>>;
  const std::vector<Step> steps = {
      {"replace port status", [&] { auto i = anyIntf(); status->portStatusPut(i, newPs(i)); }},
      {"remove port status", [&] { status->portStatusDel(anyIntf()); }},
      {"add or replace remote system", [&] { putRs(*status->portStatusIs(anyIntf(), 0)); }},
      {"remove remote system", [&] { if (auto ps = status->portStatus(anyIntf())) ps->remoteSystemDel(1 + pick(4)); }},
      {"change chassis", withRs([&](auto& rs) { rs.chassisIdIs(Lldp::ChassisId(std::string(1 + pick(2), 'c'))); })},
      {"change port subtype", withRs([&](auto& rs) {
         rs.portIdSubtypeIs(pick(2) ? Lldp::PortIdSubtype::interfaceName : Lldp::PortIdSubtype::locallyAssigned);
       })},
      {"change ttl", withRs([&](auto& rs) { rs.ttlIs(pick(4) * 30); })},
      {"change tlv", withRs([&](auto& rs) { rs.vornTlvIs(anyTlv()); })},
      {"refresh", withRs([&](auto& rs) { rs.lastRefreshTimeIs(pick(100)); })},
      {"system name", withRs([&](auto& rs) { rs.systemNameIs(pick(2) ? "a" : "b"); })},
      {"neighbour overflow", [&] { if (auto ps = status->portStatus(anyIntf())) ps->tooManyNeighborsIs(pick(2)); }},
      {"replace engine status", [&] {
         auto next = Velto::make<Lldp::Status>("next");
         for (const auto& intf : intfs) if (pick(2)) next->portStatusPut(intf, newPs(intf));
         status = next;
         full->localStatusIs(status);
         sm->localStatusIs(status);
       }},
  };
  for (int i = 0; i < 3000; ++i) {
    // Replacing the whole status is rare, as it is in the agent.
    const auto& [what, run] = steps[pick(60) == 0 ? steps.size() - 1 : pick(static_cast<int>(steps.size()) - 1)];
    run();
    full->syncStatus();
    ASSERT_EQ(Zem::toJson(*mirror).dump(), Zem::toJson(*fullMirror).dump()) << "step " << i << ": " << what;
  }
  EXPECT_FALSE(mirror->portStatus().empty());
}

}  // namespace

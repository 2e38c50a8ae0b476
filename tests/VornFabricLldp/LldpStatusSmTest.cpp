#include "VornFabricLldp/LldpStatusSm.h"
#include "tests/VornFabricLldp/RxTestSupport.h"

#include <gtest/gtest.h>

#include <functional>
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
  EXPECT_TRUE(copy->ttl() == 120 && !mirrored(et2, 1)->vornTlvRx());
  // Of the flags only the two the peer may see are mirrored.
  for (const auto& [flags, visible] : std::vector<std::pair<uint8_t, uint8_t>>{
           {0x00, 0x00}, {0x01, 0x01}, {0x02, 0x02}, {0x03, 0x03}, {0x06, 0x02}, {0xfc, 0x00}}) {
    rs->vornTlvIs(tlv(2, 1, 0, flags));
    EXPECT_EQ(copy->vornTlvRx(), Tlv(tlv(2, 1, 0, visible))) << fmt::format("flags 0x{:02x}", flags);
  }
  // The same identity is updated in place.
  rs->ttlIs(90);
  rs->vornTlvIs(Zem::none);
  EXPECT_TRUE(mirrored(et1, 3) == copy && copy->ttl() == 90 && !copy->vornTlvRx());

  // What the mirror does not carry costs it no write: the write itself at most.
  for (const auto& write : std::vector<std::function<void()>>{[&] { rs->lastRefreshTimeIs(2.0); },
           [&] { rs->systemNameIs("peer"); }, [&] { ps->tooManyNeighborsIs(true); }, [&] { ps->framesInAdd(); }}) {
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
  // A replaced engine status is synced in full: what it no longer holds goes.
  auto next = Velto::make<Lldp::Status>("next");
  next->portStatusIs(et1, 0)->remoteSystemPut(4, peerRs(4, 1.0, Zem::none));
  sm->localStatusIs(next);
  EXPECT_TRUE(mirrored(et1, 4) && !mirrored(et1, 3) && !mirror->portStatus(et2));
}

}  // namespace

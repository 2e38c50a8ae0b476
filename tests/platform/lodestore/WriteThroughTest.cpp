// Write-through of the local backup: a change of a named attribute inside a
// backed-up path is written by writeThrough() at once; every other change,
// in the same record or elsewhere, waits for the coalesced flush.

#include "platform/lodestore/StateDatabase.h"
#include "platform/records/VornFabricLldpCtxTypes.h"
#include "platform/records/VornRecords.h"
#include "tests/platform/lodestore/LodestoreTestUtil.h"
#include "tests/IntfNames.h"

#include <gtest/gtest.h>

namespace {

using Lodestore::MountStatus;
using LodestoreTest::ScratchDir;
using LodestoreTest::Switch;
using IntfStatus = Vorn::BackplaneChannelMemberStatus::IntfStatus;
using State = Vorn::HigigNegotiationState;

using namespace TestIntfs;

// A switch whose backplane channel status and member context are backed
// up, both on disk as they stand, with the negotiation state and fabric mode
// written through.
struct BackedUpSwitch {
  explicit BackedUpSwitch(const ScratchDir& dir) : sw(dir.path()) {
    EXPECT_EQ(sw.mount("/backup/vorn/bcStatus/1", "Vorn::BackplaneChannelStatus", "L"), MountStatus::success);
    EXPECT_EQ(sw.mount("/backup/vorn/lldp/context", "VornFabricLldp::CtxForMember", "L"), MountStatus::success);
    sw.db->writeThroughAttrIs(IntfStatus::stateAttr), sw.db->writeThroughAttrIs(IntfStatus::fabricModeAttr);
    bc = sw.em->getEntityAs<Vorn::BackplaneChannelStatus>("/backup/vorn/bcStatus/1");
    intf = bc->bcMemberStatusIs(po1)->memberIntfStatusIs(et1);
    ctx = sw.em->getEntityAs<VornFabricLldp::CtxForMember>("/backup/vorn/lldp/context")->ctxIs(po1, et1);
    rx = ctx->rxInfoIs(1);
    sw.scheduler->runFor(1.0);
  }

  Switch sw;
  Velto::Ptr<Vorn::BackplaneChannelStatus> bc;
  Velto::Ptr<IntfStatus> intf;
  Velto::Ptr<VornFabricLldp::MemberCtx> ctx;
  Velto::Ptr<VornFabricLldp::RxInfo> rx;
};

TEST(LodestoreWriteThroughTest, OnlyNamedAttributesAreWrittenThrough) {
  // file: that of the changed record; onDisk: a text it holds once the change is on disk.
  using Change = std::function<void(BackedUpSwitch&)>;
  const struct { const char* name; Change change; bool writtenThrough; const char *file, *onDisk; } cases[] = {
      {"negotiation state", [](BackedUpSwitch& s) { s.intf->stateIs(State::higigConfirmed); }, true,
       "vorn.bcStatus.1.json", "higigConfirmed"},
      {"another attribute of the same record", [](BackedUpSwitch& s) { s.intf->tlvReceivedIs(true); }, false,
       "vorn.bcStatus.1.json", "\"tlvReceived\": true"},
      {"a refresh time", [](BackedUpSwitch& s) { s.rx->lastRefreshTimeIs(1234.5); }, false, "vorn.lldp.context.json",
       "1234.5"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir dir;
    BackedUpSwitch s(dir);
    const uint64_t writes = s.sw.db->backupWriteCount();
    c.change(s);
    EXPECT_EQ(s.sw.db->writeThroughPending(), c.writtenThrough);
    EXPECT_TRUE(s.sw.db->writeThrough());
    EXPECT_EQ(std::tuple(s.sw.db->backupWriteCount(), dir.read(c.file).find(c.onDisk) != std::string::npos),
              std::tuple(writes + (c.writtenThrough ? 1 : 0), c.writtenThrough));
    // Whatever waits is written by the flush, half a second after it.
    s.sw.scheduler->runFor(0.5);
    EXPECT_TRUE(dir.read(c.file).find(c.onDisk) != std::string::npos && !s.sw.db->backupPending());
  }
}

// The refresh time every frame rewrites costs no write of its own; it goes
// to disk with the next change that does.
TEST(LodestoreWriteThroughTest, RideAlongChangesWaitForAnotherWrite) {
  ScratchDir dir;
  BackedUpSwitch s(dir);
  s.sw.db->rideAlongAttrIs(VornFabricLldp::RxInfo::lastRefreshTimeAttr);
  s.rx->lastRefreshTimeIs(100.0);
  s.sw.scheduler->runFor(1.0);
  const uint64_t writes = s.sw.db->backupWriteCount();
  for (int frame = 1; frame <= 20; ++frame) {
    s.rx->lastRefreshTimeIs(100.0 + frame);
    s.sw.scheduler->runFor(1.0);
  }
  EXPECT_EQ(
      std::tuple(s.sw.db->backupWriteCount(), s.sw.db->backupPending(), dir.read("vorn.lldp.context.json").find("120")),
      std::tuple(writes, false, std::string::npos));

  // A change of the same record that is not riding along takes the latest
  // refresh time with it.
  s.ctx->peerMemberIdIs(Vorn::MemberId(2));
  s.sw.scheduler->runFor(0.5);
  EXPECT_TRUE(s.sw.db->backupWriteCount() == writes + 1 &&
              dir.read("vorn.lldp.context.json").find("120") != std::string::npos);
}

}  // namespace

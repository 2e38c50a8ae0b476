#include "platform/vorn/ServiceSync.h"

#include "platform/records/VornRecords.h"
#include "platform/vorn/GroupRecords.h"
#include "tests/platform/lodestore/LodestoreTestUtil.h"
#include "tests/IntfNames.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace {

using LodestoreTest::Switch;
using Vorn::MemberId;
using Vorn::ServiceCtx;
using Vorn::ServiceLocalRemoteSynchronizer;
using Intfs = std::vector<Kivo::IntfId>;
using LldpStatus = Vorn::Lldp::Status;

using namespace TestIntfs;

Velto::Ptr<Vorn::MemberConfig> memberConfigWith(const std::string& name, Intfs channels) {
  auto c = Velto::make<Vorn::MemberConfig>(name);
  for (auto& bc : channels) c->bcConfigIs(bc)->peerMemberIdIs(MemberId(2));
  return c;
}

Intfs channelsOf(const Vorn::MemberConfig& c) { return c.bcConfig().keys(); }

// A context of `local` and `remotePath`; the local copy is the writer when `localWriter`.
Velto::Ptr<ServiceCtx> ctxOf(Velto::Ptr<Zem::Entity> local, const std::string& localPath, const std::string& remotePath,
                             bool localWriter, bool restoreFromLocal = false) {
  auto ctx = Velto::make<ServiceCtx>(local, localPath, remotePath, restoreFromLocal);
  if (localWriter) ctx->remoteIsWriterIs(false);
  return ctx;
}

// A synchronizer started on `sw`; its first mount done when `run`.
Velto::Ptr<ServiceLocalRemoteSynchronizer> started(Switch& sw, Velto::Ptr<ServiceCtx> ctx, bool run = true) {
  auto sync = Velto::make<ServiceLocalRemoteSynchronizer>(ctx, nullptr);
  sync->initialize();
  sync->startLodestoreSync(sw.em);
  if (run) sw.scheduler->runReady();
  return sync;
}

TEST(ServiceSyncTest, TheStateDatabaseCopyFlowsIntoTheLocalCopy) {
  Switch sw;
  auto remoteDir = sw.db->mkdirAt("vorn/memberConfig");
  remoteDir->entryPut("1", memberConfigWith("1", {po10}));
  auto local = memberConfigWith("1", {});
  auto ctx = ctxOf(local, "vorn/memberConfig/1", "vorn/memberConfig/1", false);
  auto sync = started(sw, ctx, false);
  // Nothing moves before the mount completes on the activity thread.
  EXPECT_TRUE(local->bcConfig().empty());
  EXPECT_FALSE(ctx->lodestoreMountsComplete());
  sw.scheduler->runReady();
  EXPECT_EQ(channelsOf(*local), Intfs{po10});
  EXPECT_TRUE(ctx->lodestoreMountsComplete());
  // Later changes of the remote copy, including nested ones, follow at once.
  auto remote = sw.em->getEntityAs<Vorn::MemberConfig>("vorn/memberConfig/1");
  remote->bcConfigIs(po20);
  remote->bcConfig(po10)->memberIntfIs(et1)->lagGroupNameIs("lag1");
  EXPECT_EQ(channelsOf(*local), (Intfs{po10, po20}));
  EXPECT_EQ(local->bcConfig(po10)->memberIntf(et1)->lagGroupName(), "lag1");
  remoteDir->entryPut("1", memberConfigWith("1", {po20}));  // a replaced remote entity is followed
  EXPECT_EQ(channelsOf(*local), Intfs{po20});
  // Stopped: no more copies; the completion flag stays.
  sync->stopLodestoreSync();
  sw.em->getEntityAs<Vorn::MemberConfig>("vorn/memberConfig/1")->bcConfigIs(po10);
  EXPECT_EQ(channelsOf(*local), Intfs{po20});
  EXPECT_TRUE(ctx->lodestoreMountsComplete());
  EXPECT_FALSE(sync->syncStarted());
}

TEST(ServiceSyncTest, TheLocalCopyIsPublishedToTheStateDatabase) {
  Switch sw;
  auto local = Velto::make<Vorn::BackplaneChannelStatus>("agent");
  local->bcMemberStatusIs(po10)->memberIntfStatusIs(et1)->stateIs(Vorn::HigigNegotiationState::higigConfirmed);
  auto ctx = ctxOf(local, "vorn/bcStatus/1", "vorn/dtd/bcStatus/1", true);
  auto sync = started(sw, ctx, false);
  EXPECT_FALSE(sw.db->entityAt("vorn/dtd/bcStatus/1"));
  sw.scheduler->runReady();
  // Made with the local copy's type, holding the local copy.
  auto remote = sw.em->getEntityAs<Vorn::BackplaneChannelStatus>("vorn/dtd/bcStatus/1");
  ASSERT_TRUE(remote);
  EXPECT_EQ(remote->typeInfo(), local->typeInfo());
  EXPECT_EQ(Zem::toJson(*remote), Zem::toJson(*local));
  EXPECT_TRUE(ctx->lodestoreMountsComplete());
  local->bcMemberStatus(po10)->memberIntfStatus(et1)->stateIs(Vorn::HigigNegotiationState::ethLinkDown);
  local->bcMemberStatusIs(po20);
  EXPECT_EQ(Zem::toJson(*remote), Zem::toJson(*local));
  // Deleted from the state database: made again at once.
  sw.em->getEntityAs<Zem::Dir>("vorn/dtd/bcStatus")->entryDel("1");
  auto again = sw.em->getEntityAs<Vorn::BackplaneChannelStatus>("vorn/dtd/bcStatus/1");
  ASSERT_TRUE(again);
  EXPECT_EQ(Zem::toJson(*again), Zem::toJson(*local));
}

TEST(ServiceSyncTest, ARestartMovesToTheNewEntityManager) {
  Switch first, second;
  auto local = Velto::make<LldpStatus>("agent");
  auto sync = started(first, ctxOf(local, "vorn/lldp/status/1", "vorn/lldp/status/1", true));
  local->portStatusIs(et1);
  sync->stopLodestoreSync();
  local->portStatusIs(Kivo::IntfId("Ethernet2"));
  sync->startLodestoreSync(second.em);
  second.scheduler->runReady();
  auto remote = second.em->getEntityAs<LldpStatus>("vorn/lldp/status/1");
  ASSERT_TRUE(remote);
  EXPECT_EQ(remote->portStatus().size(), 2u);
  local->portStatusDel(et1);  // the first session hears nothing more
  EXPECT_FALSE(remote->portStatus(et1));
  EXPECT_TRUE(first.em->getEntityAs<LldpStatus>("vorn/lldp/status/1")->portStatus(et1));
}

TEST(ServiceSyncTest, ACompletionAfterStopOrDestructionIsIgnored) {
  for (bool destroy : {false, true}) {
    Switch sw;
    auto local = Velto::make<LldpStatus>("agent");
    auto ctx = ctxOf(local, "vorn/lldp/status/1", "vorn/lldp/status/1", true);
    auto sync = started(sw, ctx, false);
    destroy ? (void)(sync = nullptr) : sync->stopLodestoreSync();
    sw.scheduler->runReady();
    local->portStatusIs(et1);
    EXPECT_FALSE(ctx->lodestoreMountsComplete() || sw.db->entityAt("vorn/lldp/status/1")) << destroy;
  }
}

TEST(ServiceSyncTest, TheMemberConfigurationReaderKeepsTheBackupUntilTheStateDatabaseIsRepublished) {
  const struct { bool restoreFromLocal; Intfs remoteAtMount, localAfterMount; } rows[] = {
      {true, {}, {po10}},  // reload, nothing published yet
      {false, {}, {}},  // agent restart, empty configuration
      {false, {po20}, {po20}},
  };
  for (auto& r : rows) {
    SCOPED_TRACE(fmt::format("{} {}", r.restoreFromLocal, r.remoteAtMount.size()));
    Switch sw;
    sw.db->mkdirAt("vorn/memberConfig")->entryPut("1", memberConfigWith("1", r.remoteAtMount));
    auto local = memberConfigWith("1", {po10});
    auto ctx = ctxOf(local, "vorn/memberConfig/1", "vorn/memberConfig/1", false, r.restoreFromLocal);
    ctx->localStateReaderIs(Velto::make<Vorn::VornConfigLocalReader>(ctx));
    auto sync = started(sw, ctx);
    EXPECT_EQ(channelsOf(*local), r.localAfterMount);
    EXPECT_TRUE(ctx->lodestoreMountsComplete());
    // Once the configuration is republished it flows, emptied or not.
    auto remote = sw.em->getEntityAs<Vorn::MemberConfig>("vorn/memberConfig/1");
    remote->bcConfigIs(po20);
    EXPECT_EQ(channelsOf(*local), channelsOf(*remote));
    remote->bcConfigDelAll();
    EXPECT_TRUE(local->bcConfig().empty());
  }
}

// Rewritten with one channel fewer, the member configuration loses that channel.
TEST(GroupRecordsTest, ARewrittenMemberConfigurationLosesTheChannelsNoLongerPlanned) {
  Switch sw;
  Vorn::GroupRecords::writeMemberConfig(*sw.db, MemberId(1), {{po10, MemberId(2), {}}, {po20, MemberId(2), {}}});
  Vorn::GroupRecords::writeMemberConfig(*sw.db, MemberId(1), {{po20, MemberId(2), {}}});
  EXPECT_EQ(channelsOf(*sw.db->entityAtAs<Vorn::MemberConfig>("vorn/memberConfig/1")), Intfs{po20});
}

// --- Carrying only what changed ---

Kivo::IntfId ethernet(int i) { return Kivo::IntfId("Ethernet" + std::to_string(i)); }

Vorn::Lldp::RemoteSystem::Msap msapOf(int peer) {
  return {Lldp::ChassisIdSubtype::macAddress, Lldp::ChassisId(std::string("\x02vor\x00", 5) + char(peer)),
          Lldp::PortIdSubtype::interfaceName, Lldp::PortId("Ethernet" + std::to_string(peer))};
}

Lldp::VornTlv tlvWith(int peer, bool connected) {
  return Lldp::VornTlv{MemberId(peer), Vorn::Role::member, {}, {}, 0}.lodestoreConnectedIs(connected);
}

// A local LLDP status published at "vorn/lldp/status/1" by a started synchronizer, its first copy done.
struct PublishedStatus {
  Switch sw;
  Velto::Ptr<LldpStatus> local = Velto::make<LldpStatus>("agent");
  Velto::Ptr<ServiceLocalRemoteSynchronizer> sync;

  explicit PublishedStatus(int ports) {
    for (int i = 1; i <= ports; ++i)
      local->portStatusIs(ethernet(i))->remoteSystemIs(1, msapOf(i))->vornTlvRxIs(tlvWith(i, false));
    sync = started(sw, ctxOf(local, "vorn/lldp/status/1", "vorn/lldp/status/1", true));
  }
  Velto::Ptr<LldpStatus> remote() const { return sw.em->getEntityAs<LldpStatus>("vorn/lldp/status/1"); }
  // Runs `work` as one step of the activity thread.
  void step(std::function<void()> work) { sw.scheduler->post(std::move(work)), sw.scheduler->runReady(); }
};

TEST(ServiceSyncTest, ChangesOfOneStepReachTheStateDatabaseOnceWhenTheStepEnds) {
  PublishedStatus p(4);
  auto remote = p.remote();
  std::vector<std::string> published;
  auto reactor = remote->subscribe([&](const Zem::Change& c) {
    published.push_back(fmt::format("{}[{}]", c.attr->name, c.keyAs<Kivo::IntfId>().shortName()));
  });
  bool copiedDuringStep = true;
  p.step([&] {
    auto rs = p.local->portStatus(ethernet(2))->remoteSystem(1);
    for (int ttl = 1; ttl <= 10; ++ttl) rs->ttlIs(static_cast<uint16_t>(ttl));
    rs->vornTlvRxIs(tlvWith(2, true));
    copiedDuringStep = remote->portStatus(ethernet(2))->remoteSystem(1)->ttl() != 0;
  });
  EXPECT_FALSE(copiedDuringStep);
  EXPECT_EQ(Zem::toJson(*remote), Zem::toJson(*p.local));
  // Ten TTL writes and a TLV: the state database hears the final TTL and the TLV, once each.
  EXPECT_EQ(published, (std::vector<std::string>{"portStatus[Et2]", "portStatus[Et2]"}));
}

// One random write of a status mirror: ports and remote systems come and go (replaced under the same key too),
// TTLs and TLVs change.
void randomStatusWrite(LldpStatus& s, std::mt19937& rng) {
  auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
  const auto port = ethernet(pick(10) + 1);
  const int index = pick(3) + 1;
  switch (pick(7)) {
    case 0: s.portStatusIs(port); break;
    case 1: s.portStatusDel(port); break;
    case 2: s.portStatusIs(port)->remoteSystemIs(index, msapOf(pick(4))); break;
    case 3: if (auto ps = s.portStatus(port)) ps->remoteSystemDel(index); break;
    case 4: {  // a new neighbour under a reused index: the copy cannot bring the old one in place (its identity is a
               // key)
      auto ps = s.portStatusIs(port);
      ps->remoteSystemDel(index);
      ps->remoteSystemIs(index, msapOf(pick(4) + 10))->ttlIs(static_cast<uint16_t>(pick(3)));
      break;
    }
    case 5: if (auto rs = s.portStatusIs(port)->remoteSystem(index)) rs->ttlIs(static_cast<uint16_t>(pick(3))); break;
    case 6:
      if (auto rs = s.portStatusIs(port)->remoteSystem(index)) {
        pick(4) == 0 ? rs->vornTlvRxIs(Zem::none) : rs->vornTlvRxIs(tlvWith(pick(3), pick(2) == 0));
      }
      break;
  }
}

TEST(ServiceSyncTest, RandomChangesLeaveTheStateDatabaseAsAWholeCopyWouldAfterEveryStep) {
  for (unsigned seed : {11u, 12u, 13u, 14u, 15u}) {
    SCOPED_TRACE(::testing::Message() << "seed " << seed);
    std::mt19937 rng(seed);
    PublishedStatus p(3);
    auto remote = p.remote();
    // What the state database held when every change was copied whole as it was made.
    auto wholeCopy = Velto::make<LldpStatus>("reference");
    Zem::assignFromJson(*wholeCopy, Zem::toJson(*p.local));
    auto copyEachChange =
        p.local->subscribe([&](const Zem::Change&) { Zem::assignFromJson(*wholeCopy, Zem::toJson(*p.local)); });
    for (int step = 0; step < 400; ++step) {
      p.step([&, writes = 1 + rng() % 5] {
        for (unsigned i = 0; i < writes; ++i) randomStatusWrite(*p.local, rng);
      });
      ASSERT_EQ(Zem::toJson(*remote).dump(), Zem::toJson(*wholeCopy).dump()) << "step " << step;
      ASSERT_EQ(remote, p.remote());
    }
    EXPECT_EQ(p.sync->wholeCopies(), 1u);  // each step went through the delta, never back to a whole copy
  }
}

}  // namespace

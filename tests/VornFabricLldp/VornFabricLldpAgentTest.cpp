#include "VornFabricLldp/VornFabricLldpAgent.h"

#include "lldp/SimWire.h"
#include "platform/host/Host.h"
#include "platform/kernel/InterfaceSource.h"
#include "platform/log/Syslog.h"
#include "platform/trace/Ringlog.h"
#include "platform/vorn/Group.h"
#include "tests/platform/lodestore/LodestoreTestUtil.h"
#include "tests/platform/toggles/ScopedToggleDir.h"

#include <fmt/format.h>
#include <fmt/ranges.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>


namespace {

using Kivo::IntfId;
using Vorn::HigigNegotiationState;
using TogglesTesting::ScopedToggleDir;

const IntfId po1("Port-Channel1"), et1("Ethernet1"), et2("Ethernet2"), et3("Ethernet3");

// One switch's surroundings: the clock, its state database with a backup
// directory, its kernel interfaces, a wire and a flash directory, all made
// current the way a host does before it builds an agent.
class SwitchWorld {
 public:
  explicit SwitchWorld(Vorn::Role role = Vorn::Role::member, Vorn::MemberId id = 1) : role_(role), id_(id) {
    // The toggles the test set up, if any.
    context.toggles().directoryIs(Toggles::directory());
    // Timers made from here on belong to this switch.
    context.activate();
    db = newDatabase();
    kernel = Velto::make<KernelNetInfo::SimInterfaceSource>();
    wire = Velto::make<Lldp::SimWire>(clock, 1);
    activate();
  }
  // Callbacks still posted hold the clock and what they captured.
  ~SwitchWorld() { host.reset(), clock->postedDelAll(); }

  Velto::Ptr<Lodestore::StateDatabase> newDatabase() {
    auto d = Velto::make<Lodestore::StateDatabase>(clock);
    d->backupDirIs(dir_.file("backup"));
    d->connectedIs(true);
    return d;
  }
  void activate() {
    context.activate();
    context.identityIs({role_, id_});
    context.schedulerIs(clock.get());
    context.interfaceSourceIs(kernel);
    context.transportIs(wire->transportFor("sw" + id_.stringValue()));
    context.flashRootIs(dir_.file("flash"));
    context.syslogSinkIs(&log);
  }

  // What the group configuration service publishes for this member.
  void configure() {
    auto config = db->createEntityAt("vorn/memberConfig/1", "Vorn::MemberConfig");
    auto channel = Velto::dynamicPtrCast<Vorn::MemberConfig>(config)->bcConfigIs(po1);
    channel->peerMemberIdIs(Vorn::MemberId(2));
    for (const auto& m : {et1, et2}) channel->memberIntfIs(m);
    auto warm = db->createEntityAt("vorn/hardware/asicsWarm", "Vorn::AsicsWarm");
    for (int m : {1, 2}) Velto::dynamicPtrCast<Vorn::AsicsWarm>(warm)->memberAsicsWarmIs(m, true);
    db->createEntityAt("interface/status/eth/lag", "Interface::EthLagIntfStatusDir");
    for (int i = 1; i <= 4; ++i) {
      const auto device = fmt::format("et{}", i);
      const auto mac = Kivo::EthAddr::fromString(fmt::format("02:00:00:00:01:0{}", i));
      if (!kernel->interfaceKey(device)) kernel->addInterface(device, mac);
    }
  }

  // The member agent, or the candidate agent.
  template <class A = VornFabricLldp::Agent>
  Velto::Ptr<A> startAgent() {
    activate();
    auto agent = Velto::make<A>(id_ == Vorn::MemberId(0) ? std::string("candidate") : id_.stringValue());
    host = std::make_unique<AgentHost::Host>(clock, db);
    host->start(agent);
    clock->runReady();
    return agent;
  }

  // Timers made while it is active belong to this switch.
  Oru::SwitchContext context;
  Velto::Ptr<Oru::VirtualScheduler> clock = Velto::make<Oru::VirtualScheduler>();
  Velto::Ptr<Lodestore::StateDatabase> db;
  Velto::Ptr<KernelNetInfo::SimInterfaceSource> kernel;
  Velto::Ptr<Lldp::SimWire> wire;
  Syslog::MemorySink log;
  std::unique_ptr<AgentHost::Host> host;

 private:
  LodestoreTest::ScratchDir dir_;
  Vorn::Role role_;
  Vorn::MemberId id_;
};

// A configured member with the default toggles.
class AgentTest : public ::testing::Test {
 protected:
  void SetUp() override { w.configure(); }
  ScopedToggleDir toggles{nullptr};
  SwitchWorld w;
};

TEST_F(AgentTest, StartBuildsTheRootStateMachineOnTheLocalBackup) {
  auto agent = w.startAgent();
  EXPECT_EQ(agent->agentLodestoreName(), "VornFabricLldp-1");
  const auto root = agent->rootSm();
  ASSERT_TRUE(root);
  EXPECT_EQ(root->backplaneChannelStatus(), w.db->entityAt("/backup/vorn/bcStatus/1"));
  EXPECT_FALSE(root->restoreFromLocal());
  // Exactly the agent's own records are kept in the local backup.
  EXPECT_THAT(w.db->backedUpPaths(),
              testing::UnorderedElementsAre("backup/vorn/bcStatus/1", "backup/vorn/lldp/context",
                                            "backup/vorn/lldp/status", "backup/vorn/memberConfig"));
  // A member restarting on a live state database holds stale receive
  // information for a while.
  EXPECT_TRUE(root->lldpCtxMapperSm()->restoreFromLocalBackup());
  // The configuration arrives through the synchronizer and the member
  // interfaces become LLDP ports with the member's TLV.
  ASSERT_TRUE(root->localSystem()->localPort(et1));
  const Lldp::VornTlv sent{1, Vorn::Role::member, 2, 0, Lldp::VornTlv::lodestoreConnectedFlag};
  EXPECT_EQ(root->localSystem()->localPort(et1)->vornTlvTx(), Zem::Optional<Lldp::VornTlv>(sent));
  // The LAG status mount completes on the activity thread and brings the LAG
  // group state machine.
  EXPECT_TRUE(root->vflBcLagGroupSm());
}

TEST_F(AgentTest, DisconnectStopsSynchronizersAndReconnectRestartsThem) {
  auto agent = w.startAgent();
  const auto root = agent->rootSm();
  const auto selector = root->selector();
  const auto lagSm = root->vflBcLagGroupSm();
  ASSERT_TRUE(selector->syncStarted());
  w.db->connectedIs(false);
  w.clock->runReady();
  EXPECT_FALSE(selector->syncStarted() || root->bcmsLodestoreSynchronizer()->syncStarted());
  EXPECT_FALSE(agent->vflCtx()->lodestoreConnected() || agent->lodestoreEm());
  EXPECT_FALSE(root->localSystem()->localPort(et1)->vornTlvTx()->lodestoreConnected());

  w.db->connectedIs(true);
  w.clock->runReady();
  // Nothing is rebuilt: the same synchronizers and state machines carry on.
  EXPECT_EQ(std::tuple(agent->rootSm(), root->selector(), root->vflBcLagGroupSm()), std::tuple(root, selector, lagSm));
  EXPECT_TRUE(agent->vflCtx()->lodestoreConnected());
  EXPECT_EQ(root->lodestoreEm(), w.host->entityManager());
  // All four synchronizers carry on with the new session.
  for (const auto& sync : {root->selector(), root->asicsWarmSelector(), root->bcmsLodestoreSynchronizer(),
                           root->lldpStatusLodestoreSynchronizer()}) {
    EXPECT_EQ(sync->lodestoreEm(), w.host->entityManager());
    EXPECT_TRUE(sync->syncStarted());
  }
}

TEST_F(AgentTest, TogglesTurnOffTheConnectionFlagAndTheLagGroupStateMachine) {
  toggles.coreIs(R"({"VornLldpLodestoreConnectTlv": false, "VornLagGroupMismatch": false})");
  auto agent = w.startAgent();
  w.db->connectedIs(false);
  w.db->connectedIs(true);
  w.clock->runReady();
  EXPECT_FALSE(agent->vflCtx()->lodestoreConnected() || agent->rootSm()->vflBcLagGroupSm());
  EXPECT_TRUE(agent->rootSm()->lldpPopulatorSm());
}

TEST_F(AgentTest, ReloadFromLocalBackupStartsNewMembersWaitingForThePeer) {
  w.startAgent();
  w.host->stop();
  // The switch reloads: only the local backup survives, and the new state
  // database answers the agent's mounts late.
  w.db = w.newDatabase();
  w.db->restoredFromScratchIs(true);
  w.configure();
  w.db->mountLatencyIs(5.0);
  const auto root = w.startAgent()->rootSm();
  EXPECT_TRUE(root->restoreFromLocal() && !root->lldpCtxMapperSm()->restoreFromLocalBackup());
  // A member interface that joins before the mounts complete waits for its
  // rebooting peer in backplane mode.
  w.db->entityAtAs<Vorn::MemberConfig>("vorn/memberConfig/1")->bcConfig(po1)->memberIntfIs(et3);
  root->memberConfig()->bcConfig(po1)->memberIntfIs(et3);
  auto status = root->backplaneChannelStatus()->bcMemberStatus(po1);
  ASSERT_TRUE(status && status->memberIntfStatus(et3));
  EXPECT_EQ(status->memberIntfStatus(et3)->state(), HigigNegotiationState::higigWaitSsr);
  EXPECT_TRUE(status->memberIntfStatus(et3)->fabricMode());
}

// A candidate's member ID and configuration come from the group's records:
// the member ID first, the configuration later (the other order is the
// candidate joining in the examples); a later member ID rebuilds nothing.
TEST(CandidateTest, RootIsBuiltOnceFromTheFirstMemberId) {
  ScopedToggleDir toggles{nullptr};
  SwitchWorld w(Vorn::Role::candidate, 0);
  auto publishCandidateId = [&](uint8_t id) {  // in the group status record
    Velto::dynamicPtrCast<Vorn::VornStatus>(w.db->createEntityAt("vorn/status", "Vorn::VornStatus"))
        ->candidateMemberIdIs(Vorn::optionalMemberId(id));
  };
  for (auto path : {"vorn/dtd/bcStatus", "vorn/lldp/status", "vorn/memberConfig"}) w.db->mkdirAt(path);
  publishCandidateId(3);
  auto agent = w.startAgent<VornFabricLldp::CandidateAgent>();
  EXPECT_FALSE(agent->rootSm());
  // The backplane channel status is made once, waiting for the configuration.
  const auto bcStatus = w.db->entityAt("vorn/dtd/bcStatus/3");
  EXPECT_TRUE(bcStatus);
  auto config = Velto::make<Vorn::MemberConfig>("3");
  config->bcConfigIs(po1)->memberIntfIs(et1);
  w.db->mkdirAt("vorn/memberConfig")->entryPut("3", config);
  const auto root = agent->rootSm();
  ASSERT_TRUE(root);
  EXPECT_EQ(std::tuple(root->memberId(), root->backplaneChannelStatus(), root->vornLldpStatus()),
            std::tuple(Vorn::MemberId(3), bcStatus, w.db->entityAt("vorn/lldp/status/3")));
  EXPECT_TRUE(root->vflBcLagGroupSm());
  // A candidate never synchronizes, holds nothing stale and keeps no member file.
  EXPECT_FALSE(root->asicsWarmSelector() || root->selector()->syncStarted() || root->vornMemberFileMgrSm() ||
               root->lldpCtxMapperSm()->restoreFromLocalBackup());
  publishCandidateId(5);
  EXPECT_EQ(agent->rootSm(), root);
  EXPECT_FALSE(w.db->entityAt("vorn/dtd/bcStatus/5") || w.db->entityAt("vorn/lldp/status/5"));
}

}  // namespace

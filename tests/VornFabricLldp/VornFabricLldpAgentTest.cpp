#include "VornFabricLldp/VornFabricLldpAgent.h"

#include "lldp/SimWire.h"
#include "platform/host/Host.h"
#include "platform/kernel/InterfaceSource.h"
#include "platform/log/Syslog.h"
#include "platform/trace/Ringlog.h"
#include "platform/vorn/Group.h"
#include "tests/platform/toggles/ScopedToggleDir.h"

#include <fmt/format.h>
#include <fmt/ranges.h>
#include <gtest/gtest.h>

#include <stdlib.h>

#include <algorithm>
#include <filesystem>

namespace {

using Kivo::IntfId;
using Vorn::HigigNegotiationState;
using TogglesTesting::ScopedToggleDir;
namespace fs = std::filesystem;

const IntfId po1("Port-Channel1");
const IntfId et1("Ethernet1");
const IntfId et2("Ethernet2");

// One switch's surroundings: the clock, its state database with a backup
// directory, its kernel interfaces, a wire and a flash directory, all made
// current the way a host does before it builds an agent.
class SwitchWorld {
 public:
  explicit SwitchWorld(Vorn::Role role = Vorn::Role::member, Vorn::MemberId id = 1)
      : role_(role), id_(id) {
    std::string pattern = (fs::temp_directory_path() / "vorn-agent-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    dir_ = pattern;
    // The toggles the test set up, if any.
    context.toggles().directoryIs(Toggles::directory());
    // Timers made from here on belong to this switch.
    context.activate();
    name_ = "sw" + id.stringValue();
    db = newDatabase();
    kernel = Velto::make<KernelNetInfo::SimInterfaceSource>();
    wire = Velto::make<Lldp::SimWire>(clock, 1);
    activate();
  }
  ~SwitchWorld() {
    host.reset();
    // Callbacks still posted hold the clock and what they captured.
    clock->postedDelAll();
    fs::remove_all(dir_);
  }

  Velto::Ptr<Lodestore::StateDatabase> newDatabase() {
    auto d = Velto::make<Lodestore::StateDatabase>(clock);
    d->backupDirIs((dir_ / "backup").string());
    d->connectedIs(true);
    return d;
  }

  void activate() {
    context.activate();
    context.identityIs({role_, id_});
    context.schedulerIs(clock.get());
    context.interfaceSourceIs(kernel);
    context.transportIs(wire->transportFor(name_));
    context.flashRootIs((dir_ / "flash").string());
    context.syslogSinkIs(&log);
  }

  // What the group configuration service publishes for this member.
  void configure(Vorn::MemberId peer = 2) {
    auto config = Velto::dynamicPtrCast<Vorn::MemberConfig>(
        db->createEntityAt("vorn/memberConfig/" + id_.stringValue(), "Vorn::MemberConfig"));
    auto channel = config->bcConfigIs(po1);
    channel->peerMemberIdIs(peer);
    channel->memberIntfIs(et1);
    channel->memberIntfIs(et2);
    auto warm = Velto::dynamicPtrCast<Vorn::AsicsWarm>(db->createEntityAt("vorn/hardware/asicsWarm", "Vorn::AsicsWarm"));
    warm->memberAsicsWarmIs(1, true);
    warm->memberAsicsWarmIs(2, true);
    db->createEntityAt("interface/status/eth/lag", "Interface::EthLagIntfStatusDir");
    for (auto [device, mac] : {std::pair{"et1", "02:00:00:00:01:01"}, std::pair{"et2", "02:00:00:00:01:02"},
                               std::pair{"et3", "02:00:00:00:01:03"}, std::pair{"et4", "02:00:00:00:01:04"}}) {
      if (!kernel->interfaceKey(device)) kernel->addInterface(device, Kivo::EthAddr::fromString(mac));
    }
  }

  Velto::Ptr<VornFabricLldp::Agent> startAgent() {
    activate();
    auto agent = Velto::make<VornFabricLldp::Agent>(id_.stringValue());
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
  Vorn::Role role_;
  Vorn::MemberId id_;
  std::string name_;
  fs::path dir_;
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
  const auto& root = agent->rootSm();
  ASSERT_TRUE(root);
  EXPECT_EQ(root->backplaneChannelStatus(), w.db->entityAt("/backup/vorn/bcStatus/1"));
  EXPECT_FALSE(root->restoreFromLocal());
  // The peer listener opens with its fixed settings, and equal arguments
  // keep the root state machine that exists.
  EXPECT_TRUE(root->q7ServerStatus()->config() ==
              Q7Relay::ZemUtils::TcpConfig(Q7Relay::ZemUtils::ConnectionKey::ipAndPort("0.0.0.0", 5546), std::nullopt,
                                           0.0, 1, 9, 3, 0.1, 2.0, 3600.0, false));
  EXPECT_EQ(agent->rootSmIs({root->memberId(), root->scheduler(), root->kniStatus(), root->memberConfig(),
                             root->vornAsicsWarm(), root->ctxForMember(), root->backplaneChannelStatus(),
                             root->vornLldpStatus(), root->restoreFromLocal(), root->vflCtx(),
                             root->vflBcLagGroupInfo()}),
            root);
  // Exactly the agent's own records are kept in the local backup.
  auto backedUp = w.db->backedUpPaths();
  std::sort(backedUp.begin(), backedUp.end());
  EXPECT_EQ(backedUp, (std::vector<std::string>{"backup/vorn/bcStatus/1", "backup/vorn/lldp/context",
                                                "backup/vorn/lldp/status", "backup/vorn/memberConfig"}));
  // A member restarting on a live state database holds stale receive
  // information for a while.
  EXPECT_TRUE(root->lldpCtxMapperSm()->restoreFromLocalBackup());
  EXPECT_EQ(root->bcmsLodestoreSynchronizer()->serviceCtx()->remotePath(), "vorn/dtd/bcStatus/1");

  // The configuration arrives through the synchronizer and the member
  // interfaces become LLDP ports with the member's TLV.
  auto port = root->localSystem()->localPort(et1);
  ASSERT_TRUE(port && port->vornTlvTx());
  EXPECT_EQ(port->vornTlvTx()->memberId, Vorn::MemberId(1));
  EXPECT_EQ(port->vornTlvTx()->expectedPeerId, Vorn::MemberId(2));
  EXPECT_TRUE(port->vornTlvTx()->lodestoreConnected());
  EXPECT_TRUE(agent->vflCtx()->lodestoreConnected());
  // The LAG status mount completes on the activity thread and brings the LAG
  // group state machine.
  EXPECT_TRUE(root->vflBcLagGroupSm());
}

TEST_F(AgentTest, DisconnectStopsSynchronizersAndReconnectRestartsThem) {
  auto agent = w.startAgent();
  const auto root = agent->rootSm();
  const auto selector = root->selector();
  const auto populator = root->lldpPopulatorSm();
  const auto lagSm = root->vflBcLagGroupSm();
  ASSERT_TRUE(selector->syncStarted());

  w.db->connectedIs(false);
  w.clock->runReady();
  EXPECT_FALSE(selector->syncStarted());
  EXPECT_FALSE(root->bcmsLodestoreSynchronizer()->syncStarted());
  EXPECT_FALSE(agent->vflCtx()->lodestoreConnected());
  EXPECT_FALSE(agent->lodestoreEm());
  EXPECT_FALSE(root->localSystem()->localPort(et1)->vornTlvTx()->lodestoreConnected());

  w.db->connectedIs(true);
  w.clock->runReady();
  // Nothing is rebuilt: the same synchronizers and state machines carry on.
  EXPECT_EQ(agent->rootSm(), root);
  EXPECT_EQ(root->selector(), selector);
  EXPECT_EQ(root->lldpPopulatorSm(), populator);
  EXPECT_EQ(root->vflBcLagGroupSm(), lagSm);
  EXPECT_TRUE(selector->syncStarted());
  EXPECT_EQ(root->lodestoreEm(), w.host->entityManager());
  EXPECT_TRUE(agent->vflCtx()->lodestoreConnected());

  // A connect with another entity manager hands it to all four synchronizers.
  auto em2 = Velto::make<Lodestore::EntityManager>(w.db, w.clock);
  root->handleLodestoreConnect(em2);
  w.clock->runReady();
  for (const auto& sync : {root->selector(), root->asicsWarmSelector(), root->bcmsLodestoreSynchronizer(),
                           root->lldpStatusLodestoreSynchronizer()}) {
    EXPECT_EQ(sync->lodestoreEm(), em2);
    EXPECT_TRUE(sync->syncStarted());
  }
  EXPECT_EQ(root->lodestoreEm(), em2);
  EXPECT_EQ(root->selector(), selector);
}

TEST_F(AgentTest, TogglesTurnOffTheConnectionFlagAndTheLagGroupStateMachine) {
  toggles.coreIs(R"({"VornLldpLodestoreConnectTlv": false, "VornLagGroupMismatch": false})");
  auto agent = w.startAgent();
  EXPECT_FALSE(agent->vflCtx()->lodestoreConnected());
  EXPECT_FALSE(agent->rootSm()->vflBcLagGroupSm());
  w.db->connectedIs(false);
  w.db->connectedIs(true);
  w.clock->runReady();
  EXPECT_FALSE(agent->vflCtx()->lodestoreConnected());
  EXPECT_FALSE(agent->rootSm()->vflBcLagGroupSm());
  EXPECT_TRUE(agent->rootSm()->lldpPopulatorSm());
}

TEST_F(AgentTest, RestartKeepsConfirmedLinksAndRestartsTheOthers) {
  auto agent = w.startAgent();
  auto status = agent->rootSm()->backplaneChannelStatus()->bcMemberStatus(po1);
  ASSERT_TRUE(status);
  // Stand in for a negotiation that had confirmed Ethernet1 and was pending
  // on Ethernet2 when the agent process ended.
  status->memberIntfStatus(et1)->stateIs(HigigNegotiationState::higigConfirmed);
  status->memberIntfStatus(et2)->stateIs(HigigNegotiationState::higigPending);
  agent = nullptr;
  w.host->stop();

  auto restarted = w.startAgent();
  auto after = restarted->rootSm()->backplaneChannelStatus()->bcMemberStatus(po1);
  EXPECT_EQ(after->memberIntfStatus(et1)->state(), HigigNegotiationState::higigConfirmed);
  EXPECT_TRUE(after->memberIntfStatus(et1)->fabricMode());
  EXPECT_EQ(after->memberIntfStatus(et2)->state(), HigigNegotiationState::ethLinkDown);
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
  auto agent = w.startAgent();
  const auto& root = agent->rootSm();
  EXPECT_TRUE(root->restoreFromLocal());
  EXPECT_FALSE(root->lldpCtxMapperSm()->restoreFromLocalBackup());

  // A member interface that joins before the mounts complete waits for its
  // rebooting peer in backplane mode; one that joins afterwards starts from
  // Ethernet mode.
  const IntfId et3("Ethernet3"), et4("Ethernet4");
  auto published = w.db->entityAtAs<Vorn::MemberConfig>("vorn/memberConfig/1");
  published->bcConfig(po1)->memberIntfIs(et3);
  root->memberConfig()->bcConfig(po1)->memberIntfIs(et3);
  auto status = root->backplaneChannelStatus()->bcMemberStatus(po1);
  ASSERT_TRUE(status && status->memberIntfStatus(et3));
  EXPECT_EQ(status->memberIntfStatus(et3)->state(), HigigNegotiationState::higigWaitSsr);
  EXPECT_TRUE(status->memberIntfStatus(et3)->fabricMode());
  ASSERT_FALSE(root->selector()->serviceCtx()->lodestoreMountsComplete());
  w.clock->runFor(6.0);
  ASSERT_TRUE(root->selector()->serviceCtx()->lodestoreMountsComplete());
  published->bcConfig(po1)->memberIntfIs(et4);
  ASSERT_TRUE(status->memberIntfStatus(et4));
  EXPECT_EQ(status->memberIntfStatus(et4)->state(), HigigNegotiationState::ethLinkDown);
}

// A candidate: its member ID and configuration come from the group's
// records, in either order.
class CandidateTest : public ::testing::Test {
 protected:
  CandidateTest() : w(Vorn::Role::candidate, 0) {}

  Velto::Ptr<VornFabricLldp::CandidateAgent> startCandidate() {
    auto agent = Velto::make<VornFabricLldp::CandidateAgent>("candidate");
    w.host = std::make_unique<AgentHost::Host>(w.clock, w.db);
    w.host->start(agent);
    w.clock->runReady();
    return agent;
  }
  void publishConfig(const char* name) {
    auto config = Velto::make<Vorn::MemberConfig>(name);
    config->bcConfigIs(po1)->memberIntfIs(et1);
    w.db->mkdirAt("vorn/memberConfig")->entryPut(name, config);
  }
  // The group status record; the candidate member ID comes later (0: none).
  void publishCandidateId(uint8_t id) {
    auto status = Velto::dynamicPtrCast<Vorn::VornStatus>(w.db->createEntityAt("vorn/status", "Vorn::VornStatus"));
    status->candidateMemberIdIs(Vorn::optionalMemberId(id));
  }

  ScopedToggleDir toggles{nullptr};
  SwitchWorld w;
};

TEST_F(CandidateTest, StatusBeforeConfiguration) {
  for (auto path : {"vorn/dtd/bcStatus", "vorn/lldp/status", "vorn/memberConfig"}) w.db->mkdirAt(path);
  publishCandidateId(3);
  auto agent = startCandidate();
  EXPECT_FALSE(agent->rootSm());
  // The backplane channel status is made once, waiting for the configuration.
  const auto bcStatus = w.db->entityAt("vorn/dtd/bcStatus/3");
  EXPECT_TRUE(bcStatus);
  publishConfig("3");
  ASSERT_TRUE(agent->rootSm());
  EXPECT_EQ(w.db->entityAt("vorn/dtd/bcStatus/3"), bcStatus);
  EXPECT_EQ(agent->rootSm()->memberId(), Vorn::MemberId(3));
  EXPECT_EQ(agent->rootSm()->backplaneChannelStatus(), w.db->entityAt("vorn/dtd/bcStatus/3"));
  EXPECT_EQ(agent->rootSm()->vornLldpStatus(), w.db->entityAt("vorn/lldp/status/3"));
  EXPECT_FALSE(agent->rootSm()->asicsWarmSelector());
  EXPECT_FALSE(agent->rootSm()->selector()->syncStarted());  // a candidate never synchronizes
  EXPECT_FALSE(agent->rootSm()->lldpCtxMapperSm()->restoreFromLocalBackup());
  EXPECT_FALSE(agent->rootSm()->vornMemberFileMgrSm());
}

TEST_F(CandidateTest, ConfigurationBeforeStatusAndLaterIdChangesRebuildNothing) {
  for (auto path : {"vorn/dtd/bcStatus", "vorn/lldp/status"}) w.db->mkdirAt(path);
  publishConfig("4");
  publishCandidateId(0);
  Ringlog::Capture trace;
  auto agent = startCandidate();
  EXPECT_FALSE(agent->rootSm());
  publishCandidateId(4);
  const auto root = agent->rootSm();
  ASSERT_TRUE(root) << fmt::format("{}", fmt::join(trace.messages(), "\n"));
  EXPECT_TRUE(root->vflBcLagGroupSm());
  publishCandidateId(5);
  EXPECT_EQ(agent->rootSm(), root);
  EXPECT_EQ(root->memberId(), Vorn::MemberId(4));
  EXPECT_FALSE(w.db->entityAt("vorn/dtd/bcStatus/5"));
  EXPECT_FALSE(w.db->entityAt("vorn/lldp/status/5"));
}

}  // namespace

// The shipped example scenarios, run end to end: every switch's agent, LLDP
// engine and state database on the simulated wire, checked from the state
// document and the system log as `vorn-sim --json` reports them.

#include "SimTestSupport.h"

#include "platform/records/VornRecords.h"

#include <fmt/ranges.h>

#include <fstream>
#include <map>
#include <set>
#include <sstream>

namespace {

using SimTest::State;
using SimTest::Outcome;

const char* const kReady = "VORN_BACKPLANE_INTF_READY";
const char* const kError = "VORN_BACKPLANE_INTF_ERROR";
const char* const kMismatch = "VORN_BACKPLANE_INTF_MISMATCH";

TEST(ExamplesTest, twoMembersConfirmEveryLinkAboutTenSecondsAfterStart) {
  const Outcome o = SimTest::runExample("two-members.json");
  const std::map<std::string, std::string> channelOf{
      {"Ethernet1", "Port-Channel1"}, {"Ethernet2", "Port-Channel1"},
      {"Ethernet3", "Port-Channel2"}, {"Ethernet4", "Port-Channel2"}};
  for (const std::string sw : {"sw1", "sw2"}) {
    const uint8_t self = sw == "sw1" ? 1 : 2;
    const uint8_t peer = sw == "sw1" ? 2 : 1;
    for (const auto& [intf, channel] : channelOf) {
      SCOPED_TRACE(sw + " " + intf);
      const State m = o.member(sw, channel, intf);
      EXPECT_EQ(m.value("state", ""), "higigConfirmed");
      EXPECT_EQ(m.value("fabricMode", false), true);
      EXPECT_EQ(m.value("membershipValid", false), true);
      // One confirmation per link end, about ten seconds in: one transmit
      // interval announced, then ten seconds of counted TLVs.
      auto ready = o.messages(kReady, sw);
      const std::string text = "Switching " + intf + " in " + channel + " to backplane mode";
      auto it = std::find_if(ready.begin(), ready.end(), [&](const auto& e) {
        return e.text == text;
      });
      ASSERT_NE(it, ready.end());
      EXPECT_GE(it->time, 10.0);
      EXPECT_LE(it->time, 11.5);
      EXPECT_EQ(o.count(kReady, sw, intf + " "), 1u);
      // The TLV sent names this member, its expected peer, the peer heard,
      // and the state database connection.
      const State tlv = o.tlvTx(sw, intf);
      EXPECT_EQ(tlv.value("memberId", 0), self);
      EXPECT_EQ(tlv.value("role", ""), "member");
      EXPECT_EQ(tlv.value("expectedPeerId", 0), peer);
      EXPECT_EQ(tlv.value("receivedPeerId", 0), peer);
      EXPECT_EQ(tlv.value("flags", 0), 1);
      // The Vorn LLDP status mirrors the peer's TLV on the port.
      const State ps = o.sw(sw)["vornLldpStatus"]["portStatus"].value(intf, State());
      ASSERT_TRUE(ps.is_object());
      ASSERT_EQ(ps["remoteSystem"].size(), 1u);
      EXPECT_EQ(ps["remoteSystem"].begin().value()["vornTlvRx"]["memberId"], peer);
    }
    EXPECT_EQ(o.messages(kReady, sw).size(), 4u);
  }
  EXPECT_TRUE(o.messages(kError).empty());
  EXPECT_TRUE(o.messages(kMismatch).empty());
  // Frames flowed the whole run on all four cables, both ways, ten a second.
  EXPECT_GT(o.state["frames"]["carried"].get<uint64_t>(), 4u * 2u * 10u * 29u);
}

TEST(ExamplesTest, cableMovedToTheWrongMemberIsAMismatchBackInEthernetMode) {
  const Outcome o = SimTest::runExample("wrong-cable.json");
  // sw1 expects member 2 on Ethernet2 and hears member 3.
  ASSERT_EQ(o.count(kMismatch, "sw1", "Port-Channel1 member interface Ethernet2"), 1u);
  EXPECT_EQ(o.count(kMismatch, "sw1", "expected peer ID: 2, peer ID: 3"), 1u);
  const State et2 = o.member("sw1", "Port-Channel1", "Ethernet2");
  EXPECT_EQ(et2.value("state", ""), "ethLinkUp");
  EXPECT_EQ(et2.value("fabricMode", true), false);
  // sw3 hears the member it expects, but that member expects someone else.
  // sw1's first frame there still echoes member 2.
  EXPECT_EQ(o.count(kMismatch, "sw3", "Port-Channel1 member interface Ethernet1"), 1u);
  EXPECT_EQ(o.count(kMismatch, "sw3", "(peer received local ID: 2, local ID: 3)"), 1u);
  EXPECT_EQ(o.state_("sw3", "Port-Channel1", "Ethernet1"), "ethLinkUp");
  // The link that stays where it was is unaffected; sw2 lost its peer.
  EXPECT_EQ(o.state_("sw1", "Port-Channel1", "Ethernet1"), "higigConfirmed");
  EXPECT_EQ(o.count(kError, "sw2", "Switching Ethernet2 in Port-Channel1 to Ethernet mode (heartbeat timed out)"), 1u);
  EXPECT_EQ(o.state_("sw2", "Port-Channel1", "Ethernet2"), "ethLinkDown");
  // The mismatch was reported after the move, once per side.
  for (const auto& e : o.messages(kMismatch)) {
    EXPECT_GE(e.time, 15.0);
  }
  EXPECT_EQ(o.messages(kMismatch).size(), 2u);
}

TEST(ExamplesTest, silentPeerTimesOutAndALossyLinkNeverCompletesNegotiation) {
  const Outcome o = SimTest::runExample("silent-peer.json");
  // Ethernet1 was confirmed, then its cable was cut at 20 s: both ends notice
  // within the hold time.
  for (const std::string sw : {"sw1", "sw2"}) {
    SCOPED_TRACE(sw);
    EXPECT_EQ(o.count(kReady, sw, "Ethernet1 "), 1u);
    auto errors = o.messages(kError, sw);
    auto hb = std::find_if(errors.begin(), errors.end(), [](const auto& e) {
      return e.text == "Switching Ethernet1 in Port-Channel1 to Ethernet mode (heartbeat timed out)";
    });
    ASSERT_NE(hb, errors.end());
    EXPECT_GE(hb->time, 20.0);
    EXPECT_LE(hb->time, 20.5);
    EXPECT_EQ(o.state_(sw, "Port-Channel1", "Ethernet1"), "ethLinkDown");
    // Ethernet2 loses half its frames: the count of TLVs never reaches a
    // confirmation before the pending timer (50 s) ends the attempt.
    EXPECT_EQ(o.count(kReady, sw, "Ethernet2 "), 0u);
    EXPECT_GE(o.count(kError, sw, "Switching Ethernet2 in Port-Channel1 to Ethernet mode (negotiation timed out)"), 1u);
    EXPECT_EQ(o.member(sw, "Port-Channel1", "Ethernet2").value("fabricMode", true),
              o.state_(sw, "Port-Channel1", "Ethernet2") == "higigPending");
  }
  EXPECT_GT(o.state["frames"]["lost"].get<uint64_t>(), 0u);
}

TEST(ExamplesTest, peerReloadKeepsLinksInBackplaneModeUntilItsAsicsAreWarm) {
  // sw2 reloads at 20 s: silent until 23 s, a candidate until 38 s, its
  // member agent from 40.05 s, its ASICs warm at 55 s.
  VornSim::Simulation sim(VornSim::loadScenario(SimTest::examplePath("peer-reload.json")));
  sim.runUntil(19.9);
  for (const auto& row : sim.memberRows()) {
    EXPECT_EQ(row.state, "higigConfirmed") << row.switchName << " " << row.member;
  }
  struct Sample {
    double t;
    std::string state;
    bool fabricMode;
  };
  std::map<std::string, std::vector<Sample>> samples;  // "sw:intf" -> every 50 ms
  SimTest::runSampled(sim, sim.scenario().runFor, 0.05, [&](VornSim::Simulation& s) {
    for (const auto& row : s.memberRows()) samples[row.switchName + ":" + row.member].push_back({s.now(), row.state, row.fabricMode});
  });
  const Outcome o = SimTest::outcomeOf(sim);
  for (const std::string intf : {"Ethernet1", "Ethernet2"}) {
    SCOPED_TRACE(intf);
    // The silent member falls out of backplane mode once; the candidate that
    // comes back negotiates the link again.
    EXPECT_EQ(o.count(kError, "sw1", "Switching " + intf + " in Port-Channel1 to Ethernet mode (heartbeat timed out)"), 1u);
    auto ready = o.messages(kReady, "sw1");
    std::erase_if(ready, [&](const auto& e) { return e.text.find(intf + " ") == std::string::npos || e.time < 20; });
    ASSERT_EQ(ready.size(), 1u);
    const double reconfirmed = ready[0].time;
    EXPECT_GT(reconfirmed, 33.0);
    EXPECT_LT(reconfirmed, 35.0);
    // From then on sw1 keeps the link in backplane mode: it waits for the
    // candidate to return as a member, then for the member's ASICs.
    std::vector<std::string> states;
    for (const auto& smp : samples["sw1:" + intf]) {
      if (smp.t < reconfirmed) continue;
      EXPECT_TRUE(smp.fabricMode) << smp.state << " at " << smp.t;
      if (states.empty() || states.back() != smp.state) states.push_back(smp.state);
      if (smp.state == "higigWaitSsr") {
        EXPECT_GT(smp.t, 38.0);  // the candidate's agent has stopped
        EXPECT_LT(smp.t, 40.3);  // until the member's TLVs echo sw1
      }
      if (smp.state == "higigWaitAsicsWarm") {
        EXPECT_GT(smp.t, 40.05);
        EXPECT_LT(smp.t, 55.0);  // sw2's ASICs are warm at 55 s
      }
    }
    EXPECT_EQ(states, (std::vector<std::string>{"higigConfirmed", "higigWaitSsr", "higigWaitAsicsWarm", "higigConfirmed"}));
    // sw2's member agent resumes from its backup in backplane mode.
    for (const auto& smp : samples["sw2:" + intf]) {
      if (smp.t > 40.05) {
        EXPECT_TRUE(smp.fabricMode) << smp.state << " at " << smp.t;
      }
    }
    EXPECT_EQ(o.state_("sw1", "Port-Channel1", intf), "higigConfirmed");
    EXPECT_EQ(o.state_("sw2", "Port-Channel1", intf), "higigConfirmed");
  }
  EXPECT_EQ(o.count(kError, "", "post peer reboot"), 0u);
  EXPECT_TRUE(o.messages(kMismatch).empty());
  EXPECT_EQ(o.sw("sw2")["agent"], "Agent");
  EXPECT_EQ(o.sw("sw2")["role"], "member");
}

TEST(ExamplesTest, lagGroupSplitSetsTheSingleLinkBitOnThePreferredMemberOnly) {
  const Outcome o = SimTest::runExample("lag-split.json");
  const State local = o.lagGroup("sw1", "Port-Channel1");
  ASSERT_TRUE(local.is_object()) << o.sw("sw1")["lagGroups"].dump();
  EXPECT_EQ(local.value("localMismatchExists", false), true);
  const std::string preferred = local.value("preferredHigigMember", "");
  ASSERT_TRUE(preferred == "Ethernet1" || preferred == "Ethernet2") << preferred;
  const std::string other = preferred == "Ethernet1" ? "Ethernet2" : "Ethernet1";
  EXPECT_EQ(o.tlvTx("sw1", preferred).value("flags", 0), 3);  // connected + single link
  EXPECT_EQ(o.tlvTx("sw1", other).value("flags", 0), 1);
  // The peer records the remote mismatch and where it arrived.
  const State remote = o.lagGroup("sw2", "Port-Channel1");
  ASSERT_TRUE(remote.is_object()) << o.sw("sw2")["lagGroups"].dump();
  EXPECT_EQ(remote.value("remoteMismatchExists", false), true);
  EXPECT_EQ(remote.value("remotePreferredHigigMember", ""), preferred);
  EXPECT_EQ(remote.value("localMismatchExists", true), false);
  for (const std::string intf : {"Ethernet1", "Ethernet2"}) {
    EXPECT_EQ(o.tlvTx("sw2", intf).value("flags", 0), 1) << intf;
  }
}

TEST(ExamplesTest, candidateJoinsOnceItLearnsItsMemberId) {
  VornSim::Simulation sim(VornSim::loadScenario(SimTest::examplePath("candidate-join.json")));
  sim.runUntil(4.9);
  // Without its member ID the candidate sends nothing: sw1 hears no one.
  for (const auto& row : sim.memberRows()) {
    EXPECT_EQ(row.peer, "-") << row.switchName << " " << row.member;
    if (row.switchName == "sw1") {
      EXPECT_EQ(row.state, "ethLinkDown");
    }
  }
  sim.run();
  const Outcome o = SimTest::outcomeOf(sim);
  const State& cand = o.sw("new");
  EXPECT_EQ(cand["role"], "candidate");
  EXPECT_EQ(cand["agent"], "CandidateAgent");
  for (const std::string intf : {"Ethernet1", "Ethernet2"}) {
    SCOPED_TRACE(intf);
    EXPECT_EQ(o.state_("sw1", "Port-Channel3", intf), "higigConfirmed");
    EXPECT_EQ(o.member("sw1", "Port-Channel3", intf).value("peerRole", ""), "candidate");
    EXPECT_EQ(o.state_("new", "Port-Channel1", intf), "higigConfirmed");
    for (const auto& e : o.messages(kReady)) {
      EXPECT_GT(e.time, 15.0);
    }
    // The candidate speaks with the member ID it was given.
    const State tlv = o.tlvTx("new", intf);
    EXPECT_EQ(tlv.value("memberId", 0), 3);
    EXPECT_EQ(tlv.value("role", ""), "candidate");
    EXPECT_EQ(tlv.value("receivedPeerId", 0), 1);
  }
  EXPECT_EQ(o.messages(kReady).size(), 4u);
  // The candidate's records are the ones the group reads, under its ID.
  auto db = sim.stateDatabase("new");
  ASSERT_TRUE(db);
  auto bc = db->entityAtAs<Vorn::BackplaneChannelStatus>("vorn/dtd/bcStatus/3");
  ASSERT_TRUE(bc);
  EXPECT_TRUE(bc->bcMemberStatus(Kivo::IntfId("Port-Channel1"))->hasHigigConfirmedMember());
  EXPECT_TRUE(db->entityAtAs<Vorn::Lldp::Status>("vorn/lldp/status/3"));
}

TEST(ExamplesTest, agentRestartKeepsLinksConfirmed) {
  VornSim::Simulation sim(VornSim::loadScenario(SimTest::examplePath("agent-restart.json")));
  sim.runUntil(19.9);
  auto* before = sim.agent("sw2");
  ASSERT_NE(before, nullptr);
  SimTest::runSampled(sim, sim.scenario().runFor, 0.05, [&](VornSim::Simulation& s) {
    for (const auto& row : s.memberRows()) {
      EXPECT_EQ(row.state, "higigConfirmed") << row.switchName << " " << row.member << " at " << s.now();
    }
  });
  const Outcome o = SimTest::outcomeOf(sim);
  EXPECT_EQ(o.messages(kReady).size(), 4u);  // the first negotiation only
  EXPECT_TRUE(o.messages(kError).empty());
  EXPECT_TRUE(o.messages(kMismatch).empty());
  ASSERT_EQ(sim.notes().size(), 1u);
  EXPECT_EQ(sim.notes()[0].text, "restart the agent");
}

// Every example prints exactly what it printed when its golden file was
// written: the same system log messages, in the same order, at the same
// virtual times, and the same final table. A change that moves a message by
// one millisecond shows here as a diff to be looked at, not as a drift the
// range checks above would let through. `vorn-sim EXAMPLE | sed '$d'`
// rewrites a golden file after a deliberate change.
class ExamplesGoldenTest : public testing::TestWithParam<std::string> {};

TEST_P(ExamplesGoldenTest, printsItsGoldenOutput) {
  const std::string name = GetParam();
  std::ifstream golden(std::string(VORN_SOURCE_DIR) + "/tests/tools/golden/" + name + ".out");
  ASSERT_TRUE(golden) << "no golden output for " << name;
  std::stringstream expected;
  expected << golden.rdbuf();

  VornSim::Scenario scenario = VornSim::loadScenario(SimTest::examplePath(name + ".json"));
  std::ostringstream out;
  if (!scenario.description.empty()) out << "# " << scenario.description << "\n";
  VornSim::Options options;
  options.out = &out;
  VornSim::Simulation sim(std::move(scenario), options);
  sim.run();
  out << "\n" << VornSim::Simulation::memberTable(sim.memberRows()) << "\n";
  EXPECT_EQ(out.str(), expected.str());
}

INSTANTIATE_TEST_SUITE_P(Examples, ExamplesGoldenTest,
                         testing::Values("agent-restart", "candidate-join", "lag-split", "peer-reload",
                                         "silent-peer", "two-members", "wrong-cable"),
                         [](const testing::TestParamInfo<std::string>& p) {
                           std::string n = p.param;
                           std::replace(n.begin(), n.end(), '-', '_');
                           return n;
                         });

}  // namespace

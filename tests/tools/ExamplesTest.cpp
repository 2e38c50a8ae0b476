// The shipped example scenarios, run end to end: every switch's agent, LLDP
// engine and state database on the simulated wire. The golden files pin
// what `vorn-sim` prints (the system log with its virtual times and the
// final table); the tests before them check what the printout leaves out:
// the TLVs sent and heard, the LAG group records and the states between the
// log lines.

#include "SimTestSupport.h"

#include "platform/records/VornRecords.h"

#include <fstream>
#include <regex>
#include <functional>
#include <map>
#include <sstream>

namespace {

using SimTest::Outcome;
using SimTest::State;

// The TLV `sw` sends on `intf`, as "memberId/role/expectedPeerId/receivedPeerId/flags".
std::string tlvSent(const Outcome& o, const std::string& sw, const std::string& intf) {
  const State t = o.tlvTx(sw, intf);
  return fmt::format("{}/{}/{}/{}/{}", t.value("memberId", 0), t.value("role", ""), t.value("expectedPeerId", 0),
                     t.value("receivedPeerId", 0), t.value("flags", 0));
}

// The preferred link of a split LAG group says connected + single link; the
// peer records the remote mismatch and where it arrived.
TEST(ExamplesTest, lagSplitMarksThePreferredLinkAndThePeerRecordsIt) {
  const Outcome o = SimTest::runExample("lag-split.json");
  const State local = o.at("sw1", {"lagGroups", "bcLagGroupInfo", "Port-Channel1"});
  const State remote = o.at("sw2", {"lagGroups", "bcLagGroupInfo", "Port-Channel1"});
  const std::string preferred = local.value("preferredHigigMember", "");
  ASSERT_TRUE(preferred == "Ethernet1" || preferred == "Ethernet2") << preferred;
  EXPECT_EQ(tlvSent(o, "sw1", "Ethernet1") + " " + tlvSent(o, "sw1", "Ethernet2") + " " +
                tlvSent(o, "sw2", "Ethernet1"),
            preferred == "Ethernet1" ? "1/member/2/2/3 1/member/2/2/1 2/member/1/1/1"
                                     : "1/member/2/2/1 1/member/2/2/3 2/member/1/1/1");
  EXPECT_EQ(std::tuple(local.value("localMismatchExists", false), remote.value("remoteMismatchExists", false),
                       remote.value("localMismatchExists", true)),
            std::tuple(true, true, false));
  EXPECT_EQ(remote.value("remotePreferredHigigMember", ""), preferred);
}

// A candidate says nothing until it has its member ID, then speaks with it;
// its records are the ones the group reads, under that ID.
TEST(ExamplesTest, candidateIsSilentUntilItLearnsItsMemberId) {
  VornSim::Simulation sim(VornSim::loadScenario(SimTest::examplePath("candidate-join.json")));
  sim.runUntil(4.9);
  for (const auto& row : sim.memberRows()) EXPECT_EQ(row.peer, "-") << row.switchName << " " << row.member;
  sim.run();
  const Outcome o(sim);
  EXPECT_EQ(o.sw("new")["role"], "candidate");
  EXPECT_EQ(o.sw("new")["agent"], "CandidateAgent");
  for (const std::string intf : {"Ethernet1", "Ethernet2"}) {
    EXPECT_EQ(o.member("sw1", "Port-Channel3", intf).value("peerRole", ""), "candidate");
    EXPECT_EQ(tlvSent(o, "new", intf), "3/candidate/1/1/1");
  }
  auto db = sim.stateDatabase("new");
  auto bc = db->entityAtAs<Vorn::BackplaneChannelStatus>("vorn/dtd/bcStatus/3");
  ASSERT_TRUE(bc);
  EXPECT_TRUE(bc->bcMemberStatus(Kivo::IntfId("Port-Channel1"))->hasHigigConfirmedMember());
  EXPECT_TRUE(db->entityAtAs<Vorn::Lldp::Status>("vorn/lldp/status/3"));
}

// sw2 reloads at 20 s: silent until 23 s, a candidate until 38 s, its member
// agent from 40.05 s, its ASICs warm at 55 s. Once the candidate confirms
// the links again sw1 keeps them in backplane mode through every step.
TEST(ExamplesTest, peerReloadKeepsLinksInBackplaneModeUntilItsAsicsAreWarm) {
  VornSim::Simulation sim(VornSim::loadScenario(SimTest::examplePath("peer-reload.json")));
  sim.runUntil(34.5);  // reconfirmed at 33.9 (the golden file pins it)
  std::map<std::string, std::vector<std::string>> states;  // "sw:intf" -> every change
  SimTest::runSampled(sim, sim.scenario().runFor, 0.05, [&](VornSim::Simulation& s) {
    for (const auto& row : s.memberRows()) {
      if (row.switchName == "sw2" && s.now() <= 40.05) continue;  // sw2's member agent is not back yet
      auto& seen = states[row.switchName + ":" + row.member];
      const std::string now = fmt::format("{}{}", row.state, row.fabricMode ? "" : " (Ethernet mode)");
      if (seen.empty() || seen.back() != now) seen.push_back(now);
      // Waiting for SSR once the candidate's agent has stopped, for the ASICs until they are warm.
      EXPECT_TRUE(row.state != "higigWaitSsr" || s.now() > 38.0) << s.now();
      EXPECT_TRUE(row.state != "higigWaitAsicsWarm" || s.now() < 55.0) << s.now();
    }
  });
  for (const std::string intf : {"Ethernet1", "Ethernet2"}) {
    EXPECT_EQ(states["sw1:" + intf],
              (std::vector<std::string>{"higigConfirmed", "higigWaitSsr", "higigWaitAsicsWarm", "higigConfirmed"}));
    for (const auto& s : states["sw2:" + intf]) EXPECT_EQ(s.find("Ethernet mode"), std::string::npos) << s;
  }
}

// Every example prints exactly what it printed when its golden file was
// written: the same system log messages, in the same order, at the same
// virtual times, and the same final table. `vorn-sim EXAMPLE | sed '$d'`
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
                         [](const auto& p) { return std::regex_replace(p.param, std::regex("-"), "_"); });

}  // namespace

// The shipped example scenarios, run end to end: every switch's agent, LLDP
// engine and state database on the simulated wire. The golden files pin
// what `vorn-sim` prints (the system log with its virtual times and the
// final table); the test before them checks what the printout leaves out:
// the states between the log lines.

#include "SimTestSupport.h"

#include <fstream>
#include <regex>
#include <map>
#include <sstream>

namespace {


// sw2 reloads at 20 s: silent until 23 s, a candidate until 38 s, its member
// agent from 40.05 s, its ASICs warm at 55 s. Once the candidate confirms
// the links again sw1 keeps them in backplane mode through every step.
TEST(ExamplesTest, peerReloadKeepsLinksInBackplaneModeUntilItsAsicsAreWarm) {
  VornSim::Simulation sim(VornSim::loadScenario(SimTest::examplePath("peer-reload.json")));
  sim.runUntil(34.5);  // reconfirmed at 33.9 (the golden file pins it)
  std::map<std::string, std::vector<std::string>> states;  // "sw:intf" -> every change
  while (sim.now() + 1e-9 < sim.scenario().runFor) {
    sim.runUntil(std::min(sim.scenario().runFor, sim.now() + 0.05));
    for (const auto& row : sim.memberRows()) {
      if (row.switchName == "sw2" && sim.now() <= 40.05) continue;  // sw2's member agent is not back yet
      auto& seen = states[row.switchName + ":" + row.member];
      const std::string now = fmt::format("{}{}", row.state, row.fabricMode ? "" : " (Ethernet mode)");
      if (seen.empty() || seen.back() != now) seen.push_back(now);
      // Waiting for SSR once the candidate's agent has stopped, for the ASICs until they are warm.
      EXPECT_TRUE(row.state != "higigWaitSsr" || sim.now() > 38.0) << sim.now();
      EXPECT_TRUE(row.state != "higigWaitAsicsWarm" || sim.now() < 55.0) << sim.now();
    }
  }
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

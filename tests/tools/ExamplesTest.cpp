// The shipped example scenarios, run end to end: every switch's agent, LLDP
// engine and state database on the simulated wire. The golden files pin
// what `vorn-sim` prints (the system log with its virtual times and the
// final table).

#include "SimTestSupport.h"

#include <fstream>
#include <regex>
#include <sstream>

namespace {

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

// The simulator's notes on events, and events on a switch that is down.

#include "SimTestSupport.h"

#include "VornFabricLldp/VornFabricLldpAgent.h"

#include <gmock/gmock.h>

namespace {

using SimTest::Json;
using VornSim::Simulation;

// sw1 and sw2, one channel of two links; `extra` is merged into the document.
VornSim::Scenario pair(double runFor, const Json& extra = Json::object()) {
  Json doc = Json::parse(R"({ "switches": [
    { "name": "sw1", "memberId": 1,
      "channels": [ { "intf": "Po1", "peerMemberId": 2, "members": [ { "intf": "Et1" }, { "intf": "Et2" } ] } ] },
    { "name": "sw2", "memberId": 2,
      "channels": [ { "intf": "Po1", "peerMemberId": 1, "members": [ { "intf": "Et1" }, { "intf": "Et2" } ] } ] } ],
    "links": [ { "a": "sw1:Ethernet1", "b": "sw2:Ethernet1" }, { "a": "sw1:Ethernet2", "b": "sw2:Ethernet2" } ] })");
  doc["runFor"] = runFor;
  doc.update(extra);
  return VornSim::parseScenario(doc, "pair.json");
}

TEST(SimulationTest, eventsOnASwitchThatIsDownAreNotedAndIgnored) {
  const Json events = Json::array({
      {{"at", 1}, {"do", "reload"}, {"switch", "sw2"}, {"downFor", 3}, {"candidateFor", 1}, {"asicsWarmAfter", 6}},
      {{"at", 2}, {"do", "restartAgent"}, {"switch", "sw2"}},
      {{"at", 2}, {"do", "disconnectStateDb"}, {"switch", "sw2"}},
  });
  Simulation sim(pair(8, {{"events", events}}));
  sim.run();
  std::vector<std::string> texts;
  for (const auto& n : sim.notes()) texts.push_back(fmt::format("{:.1f} {} {}", n.time, n.switchName, n.text));
  EXPECT_THAT(texts, testing::ElementsAre(
                         "1.0 sw2 reload: silent for 3.000 s, candidate for 1.000 s, member agent 0.000 s later, "
                         "ASICs warm at 7.000",
                         "2.0 sw2 restart the agent: ignored, no agent runs",
                         "2.0 sw2 disconnect the state database: ignored, the switch is down",
                         "4.0 sw2 boots as a candidate", "5.0 sw2 candidate agent stops",
                         "5.0 sw2 member agent starts from the local backup", "7.0 sw2 ASICs warm"));
  EXPECT_NE(dynamic_cast<VornFabricLldp::Agent*>(sim.agent("sw2")), nullptr);
  EXPECT_TRUE(sim.stateDatabase("sw2")->connected());
}

}  // namespace

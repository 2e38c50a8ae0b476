// The simulator's part of the group: configuration events reach the agents,
// and its notes on events.

#include "SimTestSupport.h"

#include "VornFabricLldp/VornFabricLldpAgent.h"

#include <gmock/gmock.h>
#include <map>

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

// The agents follow the configuration events: sw2 negotiates the added member
// (no cable: no peer), sw1 no longer takes the peer it does not expect.
TEST(SimulationTest, agentsFollowConfigurationEvents) {
  const Json events = Json::array({
      {{"at", 1}, {"do", "setPeerMemberId"}, {"switch", "sw1"}, {"channel", "Po1"}, {"peerMemberId", 0}},
      {{"at", 1}, {"do", "removeMember"}, {"switch", "sw2"}, {"channel", "Po1"}, {"intf", "Et2"}},
      {{"at", 2}, {"do", "addMember"}, {"switch", "sw2"}, {"channel", "Po1"}, {"intf", "Et3"}, {"lagGroup", "G"}},
  });
  Simulation sim(pair(3, {{"events", events}}));
  sim.run();
  std::map<std::string, std::string> rows;  // "switch member" -> "state cable"
  for (const auto& r : sim.memberRows()) rows[r.switchName + " " + r.member] = r.state + " " + r.cable;
  EXPECT_EQ(rows["sw2 Ethernet3"], "ethLinkDown -");
  EXPECT_FALSE(rows.count("sw2 Ethernet2"));
  EXPECT_TRUE(rows["sw1 Ethernet1"].starts_with("ethLinkUp ")) << rows["sw1 Ethernet1"];
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
  EXPECT_NE(sim.reportLine().find("simulated 8.000 s of virtual time"), std::string::npos) << sim.reportLine();
}

}  // namespace

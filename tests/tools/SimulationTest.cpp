// The simulator's part of the group: records it publishes as the group's
// services would, and its notes on events.

#include "SimTestSupport.h"

#include "VornFabricLldp/VornFabricLldpAgent.h"
#include "platform/records/VornRecords.h"

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

TEST(SimulationTest, publishesTheGroupRecordsAndFollowsConfigurationEvents) {
  const Json events = Json::array({
      {{"at", 1}, {"do", "setPeerMemberId"}, {"switch", "sw1"}, {"channel", "Po1"}, {"peerMemberId", 0}},
      {{"at", 1}, {"do", "removeMember"}, {"switch", "sw2"}, {"channel", "Po1"}, {"intf", "Et2"}},
      {{"at", 1}, {"do", "asicsWarm"}, {"switch", "sw2"}, {"member", 1}, {"warm", false}},
      {{"at", 2}, {"do", "addMember"}, {"switch", "sw2"}, {"channel", "Po1"}, {"intf", "Et3"}, {"lagGroup", "G"}},
  });
  Simulation sim(pair(3, {{"events", events}}));
  sim.runUntil(0.5);
  auto po1 = [&](const std::string& sw) {
    auto config = sim.stateDatabase(sw)->entityAtAs<Vorn::MemberConfig>(fmt::format("vorn/memberConfig/{}", sw[2]));
    return config ? config->bcConfig(Kivo::IntfId("Port-Channel1")) : nullptr;
  };
  auto warm = [&](const std::string& sw, int member) {
    auto record = sim.stateDatabase(sw)->entityAtAs<Vorn::AsicsWarm>("vorn/hardware/asicsWarm");
    return record && record->memberAsicsWarm(Vorn::MemberId(member));
  };
  ASSERT_TRUE(po1("sw1"));
  EXPECT_EQ(Vorn::memberIdByte(po1("sw1")->peerMemberId()), 2);
  EXPECT_EQ(po1("sw1")->memberIntf().size(), 2u);
  EXPECT_TRUE(warm("sw1", 1) && warm("sw1", 2) && warm("sw2", 1) && warm("sw2", 2));
  sim.run();
  EXPECT_FALSE(po1("sw1")->peerMemberId().hasValue());
  EXPECT_FALSE(po1("sw2")->memberIntf(Kivo::IntfId("Ethernet2")));
  ASSERT_TRUE(po1("sw2")->memberIntf(Kivo::IntfId("Ethernet3")));
  EXPECT_EQ(po1("sw2")->memberIntf(Kivo::IntfId("Ethernet3"))->lagGroupName(), "G");
  EXPECT_TRUE(!warm("sw2", 1) && warm("sw1", 1)) << "one switch's ASIC record changed, the other's did not";
  // The agents saw it: sw2 negotiates the added member (no cable: no peer),
  // sw1 no longer takes the peer it does not expect.
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

TEST(SimulationTest, aSimulationThatCannotStartLeavesNothingBehind) {
  VornSim::Options options;
  options.traceDir = "/dev/null/trace";  // below a file
  EXPECT_THROW(Simulation(pair(1), options), std::runtime_error);
  // The hooks were given back: the next simulation runs.
  Simulation sim(pair(12));
  sim.run();
  EXPECT_EQ(sim.log().size(), 4u);
}

}  // namespace

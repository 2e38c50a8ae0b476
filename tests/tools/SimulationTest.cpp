// The simulator's notes on events, and events on a switch that is down.

#include "SimTestSupport.h"

#include "VornFabricLldp/VornFabricLldpAgent.h"
#include "tests/ScratchDir.h"

#include <gmock/gmock.h>

#include <filesystem>
#include <functional>

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

// The first object below `j` (depth first, `j` too) that has `key`.
Json* holderOf(Json& j, const std::string& key) {
  if (j.is_object() && j.contains(key)) return &j;
  if (!j.is_structured()) return nullptr;
  for (auto& v : j) {
    if (auto* found = holderOf(v, key)) return found;
  }
  return nullptr;
}

// A backup that is damaged but still JSON, whether the damage is refused
// (the file kept aside, the record started empty) or taken: the agents
// start from it and the group negotiates every link into backplane mode
// again. None of these may keep a link down or stop the agent.
TEST(SimulationTest, AGroupStartedFromADamagedBackupNegotiatesAgain) {
  TestSupport::ScratchDir base("vorn-sim-backup");
  {
    VornSim::Options options;
    options.workDir = base.path();
    Simulation sim(pair(12), options);
    sim.run();
  }
  const struct {
    const char* what;
    const char* file;
    std::function<void(Json&)> damage;
    bool refused;
  } rows[] = {
      {"a state out of range", "vorn.bcStatus.1.json", [](Json& j) { (*holderOf(j, "state"))["state"] = 7; }, true},
      {"a link stored under another interface's name", "vorn.bcStatus.1.json",
       [](Json& j) {
         Json& links = (*holderOf(j, "memberIntfStatus"))["memberIntfStatus"];
         const std::string first = links.begin().key();
         links["Ethernet99"] = links[first];
         links.erase(first);
       },
       true},
      {"a confirmed link on an interface nobody configures", "vorn.bcStatus.1.json",
       [](Json& j) {
         Json& links = (*holderOf(j, "memberIntfStatus"))["memberIntfStatus"];
         const std::string first = links.begin().key();
         links["Ethernet99"] = links[first];
         links["Ethernet99"]["intf"] = "Ethernet99";
         links.erase(first);
       },
       false},
      {"a TLV's member ID out of range", "vorn.lldp.context.json",
       [](Json& j) { (*holderOf(j, "memberId"))["memberId"] = 256; }, true},
      {"a link's peer that is not the configured one", "vorn.lldp.context.json",
       [](Json& j) { (*holderOf(j, "peerMemberId"))["peerMemberId"] = 7; }, false},
      {"a chassis ID that is not hex", "vorn.lldp.status.json",
       [](Json& j) { (*holderOf(j, "chassisId"))["chassisId"] = "zz"; }, true},
      {"our own member ID as the channel's peer", "vorn.memberConfig.json",
       [](Json& j) { (*holderOf(j, "peerMemberId"))["peerMemberId"] = 1; }, false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    TestSupport::ScratchDir work("vorn-sim-backup");
    std::filesystem::copy(base.path(), work.path(), std::filesystem::copy_options::recursive |
                                                        std::filesystem::copy_options::overwrite_existing);
    const std::string file = "sw1/backup/" + std::string(row.file);
    Json doc = Json::parse(work.read(file));
    row.damage(doc);
    work.write(file, doc.dump());

    VornSim::Options options;
    options.workDir = work.path();
    Simulation sim(pair(25), options);
    sim.run();
    EXPECT_EQ(work.exists(file + ".corrupt"), row.refused);
    for (const auto& r : sim.memberRows()) {
      EXPECT_EQ(r.state, "higigConfirmed") << r.switchName << " " << r.member << ": " << r.reason;
    }
  }
}

}  // namespace

// The simulator's part of the group: records it publishes as the group's
// services would, the Ethernet LAG status it derives from the cabling, the
// files it writes, its output and its determinism.

#include "SimTestSupport.h"

#include "VornFabricLldp/VornFabricLldpAgent.h"
#include "platform/records/InterfaceRecords.h"
#include "platform/records/VornRecords.h"
#include "platform/trace/Ringlog.h"

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using SimTest::Json;
using VornSim::Simulation;

// sw1 and sw2, one channel of two links; `extra` is merged into the document.
VornSim::Scenario pair(double runFor, const Json& extra = Json::object()) {
  Json doc = Json::parse(R"({
    "switches": [
      { "name": "sw1", "memberId": 1,
        "channels": [ { "intf": "Port-Channel1", "peerMemberId": 2,
                        "members": [ { "intf": "Ethernet1" }, { "intf": "Ethernet2" } ] } ] },
      { "name": "sw2", "memberId": 2,
        "channels": [ { "intf": "Port-Channel1", "peerMemberId": 1,
                        "members": [ { "intf": "Ethernet1" }, { "intf": "Ethernet2" } ] } ] } ],
    "links": [ { "a": "sw1:Ethernet1", "b": "sw2:Ethernet1" }, { "a": "sw1:Ethernet2", "b": "sw2:Ethernet2" } ]
  })");
  doc["runFor"] = runFor;
  doc.update(extra);
  return VornSim::parseScenario(doc, "pair.json");
}

struct TempDir {
  fs::path path = fs::temp_directory_path() / fmt::format("vorn-sim-test-{}", ::getpid());
  TempDir() { fs::remove_all(path); fs::create_directories(path); }
  ~TempDir() { fs::remove_all(path); }
};

// "up"/"down" of the channel and its members in a switch's LAG status.
std::string lagStatus(Simulation& sim, const std::string& sw) {
  auto dir = sim.stateDatabase(sw)->entityAtAs<Interface::EthLagIntfStatusDir>("interface/status/eth/lag");
  if (!dir) return "(none)";
  auto po = dir->intfStatus(Kivo::IntfId("Port-Channel1"));
  if (!po) return "(no channel)";
  auto text = [](Interface::LinkStatus s) { return s == Interface::LinkStatus::up ? "up" : "down"; };
  std::string out = text(po->linkStatus());
  for (auto& [intf, m] : po->member()) out += fmt::format(" {}={}", intf.shortName(), text(m->linkStatus()));
  return out;
}

TEST(SimulationTest, lagStatusFollowsTheCablingAndTheFarSwitch) {
  Json events = Json::array();
  auto at = [&](double t, Json e) {
    e["at"] = t;
    events.push_back(e);
  };
  at(2, {{"do", "cut"}, {"link", "sw2:Ethernet1"}});
  at(4, {{"do", "cut"}, {"link", "sw1:Ethernet2"}});
  at(6, {{"do", "connect"}, {"a", "sw1:Ethernet1"}, {"b", "sw2:Ethernet1"}});
  at(8, {{"do", "reload"}, {"switch", "sw2"}, {"downFor", 2}, {"candidateFor", 1}, {"asicsWarmAfter", 5}});
  Simulation sim(pair(20, {{"events", events}}));
  const struct {
    double t;
    const char* sw1;
  } expected[] = {
      {1, "up Et1=up Et2=up"},   {3, "up Et1=down Et2=up"}, {5, "down Et1=down Et2=down"},
      {7, "up Et1=up Et2=down"}, {9, "down Et1=down Et2=down"},  // sw2 is powered off
      {11, "up Et1=up Et2=down"},
  };
  for (const auto& e : expected) {
    sim.runUntil(e.t);
    EXPECT_EQ(lagStatus(sim, "sw1"), e.sw1) << "at " << e.t;
  }
  // sw2's database is new after the reload, and holds the cabling as it is.
  EXPECT_EQ(lagStatus(sim, "sw2"), "up Et1=up Et2=down");
}

TEST(SimulationTest, publishesTheGroupRecordsAndFollowsConfigurationEvents) {
  const Json events = Json::array({
      Json{{"at", 1}, {"do", "setPeerMemberId"}, {"switch", "sw1"}, {"channel", "Po1"}, {"peerMemberId", 0}},
      Json{{"at", 1}, {"do", "removeMember"}, {"switch", "sw2"}, {"channel", "Po1"}, {"intf", "Et2"}},
      Json{{"at", 1}, {"do", "asicsWarm"}, {"switch", "sw2"}, {"member", 1}, {"warm", false}},
      Json{{"at", 2}, {"do", "addMember"}, {"switch", "sw2"}, {"channel", "Po1"}, {"intf", "Et3"}, {"lagGroup", "G"}},
  });
  Simulation sim(pair(3, {{"events", events}}));
  sim.runUntil(0.5);
  auto config = sim.stateDatabase("sw1")->entityAtAs<Vorn::MemberConfig>("vorn/memberConfig/1");
  ASSERT_TRUE(config);
  auto po1 = config->bcConfig(Kivo::IntfId("Port-Channel1"));
  ASSERT_TRUE(po1);
  EXPECT_EQ(Vorn::memberIdByte(po1->peerMemberId()), 2);
  EXPECT_EQ(po1->memberIntf().size(), 2u);
  for (const std::string sw : {"sw1", "sw2"}) {
    auto warm = sim.stateDatabase(sw)->entityAtAs<Vorn::AsicsWarm>("vorn/hardware/asicsWarm");
    ASSERT_TRUE(warm);
    EXPECT_TRUE(warm->memberAsicsWarm(Vorn::MemberId(1)) && warm->memberAsicsWarm(Vorn::MemberId(2))) << sw;
    EXPECT_TRUE(sim.stateDatabase(sw)->entityAtAs<Vorn::VornStatus>("vorn/status")) << sw;
    for (const char* dir : {"vorn/dtd/bcStatus", "vorn/lldp/status", "vorn/memberConfig"}) {
      EXPECT_TRUE(sim.stateDatabase(sw)->entityAtAs<Zem::Dir>(dir)) << sw << " " << dir;
    }
  }
  sim.run();
  EXPECT_FALSE(po1->peerMemberId().hasValue());
  auto sw2 = sim.stateDatabase("sw2")->entityAtAs<Vorn::MemberConfig>("vorn/memberConfig/2");
  auto sw2po1 = sw2->bcConfig(Kivo::IntfId("Port-Channel1"));
  EXPECT_FALSE(sw2po1->memberIntf(Kivo::IntfId("Ethernet2")));
  ASSERT_TRUE(sw2po1->memberIntf(Kivo::IntfId("Ethernet3")));
  EXPECT_EQ(sw2po1->memberIntf(Kivo::IntfId("Ethernet3"))->lagGroupName(), "G");
  // One switch's ASIC record changed, the other's did not.
  EXPECT_FALSE(sim.stateDatabase("sw2")->entityAtAs<Vorn::AsicsWarm>("vorn/hardware/asicsWarm")->memberAsicsWarm(1));
  EXPECT_TRUE(sim.stateDatabase("sw1")->entityAtAs<Vorn::AsicsWarm>("vorn/hardware/asicsWarm")->memberAsicsWarm(1));
  // The agents saw it: sw2 negotiates the added member (no cable: no peer),
  // sw1 drops the peer it no longer expects.
  auto rows = sim.memberRows();
  auto row = [&](const std::string& sw, const std::string& intf) {
    auto it = std::find_if(rows.begin(), rows.end(), [&](auto& r) { return r.switchName == sw && r.member == intf; });
    return it == rows.end() ? VornSim::MemberRow{} : *it;
  };
  EXPECT_EQ(row("sw2", "Ethernet3").state, "ethLinkDown");
  EXPECT_EQ(row("sw2", "Ethernet3").cable, "-");
  EXPECT_EQ(row("sw2", "Ethernet2").switchName, "");
  EXPECT_EQ(row("sw1", "Ethernet1").state, "ethLinkUp");
  const auto o = SimTest::outcomeOf(sim);
  EXPECT_EQ(o.count("VORN_BACKPLANE_INTF_MISMATCH", "sw1", "(expected peer ID: unknown, peer ID: 2)"), 2u);
}

TEST(SimulationTest, stateDatabaseConnectionReachesTheTlvs) {
  const Json events = Json::array({
      Json{{"at", 3}, {"do", "disconnectStateDb"}, {"switch", "sw1"}},
      Json{{"at", 5}, {"do", "connectStateDb"}, {"switch", "sw1"}},
  });
  Simulation sim(pair(6, {{"events", events}}));
  auto flags = [&](const std::string& sw) {
    return SimTest::outcomeOf(sim).tlvTx(sw, "Ethernet1").value("flags", -1);
  };
  auto peerConnected = [&] {
    return SimTest::outcomeOf(sim).member("sw2", "Port-Channel1", "Ethernet1").value("peerConnectedToLodestore", false);
  };
  sim.runUntil(2.9);
  EXPECT_EQ(flags("sw1"), 1);
  EXPECT_TRUE(peerConnected());
  sim.runUntil(4);
  EXPECT_EQ(flags("sw1"), 0);
  EXPECT_FALSE(peerConnected());
  EXPECT_EQ(flags("sw2"), 1);
  sim.run();
  EXPECT_EQ(flags("sw1"), 1);
  EXPECT_TRUE(peerConnected());
}

TEST(SimulationTest, scenarioTogglesReachTheAgentsForOneRunOnly) {
  {
    Simulation sim(pair(2, {{"toggles", {{"VornLldpLodestoreConnectTlv", false}}}}));
    sim.run();
    EXPECT_EQ(SimTest::outcomeOf(sim).tlvTx("sw1", "Ethernet1").value("flags", -1), 0);
  }
  Simulation sim(pair(2));
  sim.run();
  EXPECT_EQ(SimTest::outcomeOf(sim).tlvTx("sw1", "Ethernet1").value("flags", -1), 1);
}

TEST(SimulationTest, eventsOnASwitchThatIsDownAreNotedAndIgnored) {
  const Json events = Json::array({
      Json{{"at", 1}, {"do", "reload"}, {"switch", "sw2"}, {"downFor", 3}, {"candidateFor", 1}, {"asicsWarmAfter", 6}},
      Json{{"at", 2}, {"do", "restartAgent"}, {"switch", "sw2"}},
      Json{{"at", 2}, {"do", "disconnectStateDb"}, {"switch", "sw2"}},
  });
  Simulation sim(pair(8, {{"events", events}}));
  sim.run();
  std::vector<std::string> texts;
  for (const auto& n : sim.notes()) texts.push_back(fmt::format("{:.1f} {} {}", n.time, n.switchName, n.text));
  const std::vector<std::string> expected{
      "1.0 sw2 reload: silent for 3.000 s, candidate for 1.000 s, member agent 0.000 s later, ASICs warm at 7.000",
      "2.0 sw2 restart the agent: ignored, no agent runs",
      "2.0 sw2 disconnect the state database: ignored, the switch is down",
      "4.0 sw2 boots as a candidate",
      "5.0 sw2 candidate agent stops",
      "5.0 sw2 member agent starts from the local backup",
      "7.0 sw2 ASICs warm",
  };
  EXPECT_EQ(texts, expected);
  EXPECT_NE(dynamic_cast<VornFabricLldp::Agent*>(sim.agent("sw2")), nullptr);
  EXPECT_TRUE(sim.stateDatabase("sw2")->connected());
  EXPECT_NE(sim.reportLine().find("simulated 8.000 s of virtual time"), std::string::npos) << sim.reportLine();
}

TEST(SimulationTest, writesTraceFilesAndACaptureOfEveryFrame) {
  TempDir dir;
  VornSim::Options options;
  options.traceDir = (dir.path / "trace").string();
  options.pcapPath = (dir.path / "frames.pcap").string();
  uint64_t carried = 0;
  {
    Simulation sim(pair(3), options);
    sim.run();
    carried = sim.report().frames.carried;
  }
  EXPECT_GT(carried, 2u * 2u * 10u * 2u);
  for (const char* sw : {"sw1", "sw2"}) {
    const auto records = Ringlog::readFile((dir.path / "trace" / fmt::format("VornFabricLldp-{}.rl", sw)).string());
    EXPECT_FALSE(records.empty()) << sw;
    for (const auto& r : records) EXPECT_LE(r.time, 3.0) << "stamped with virtual time: " << r.message;
  }
  // The capture's format is the pcap writer's business; here every frame carried is in it.
  std::ifstream in(options.pcapPath, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  size_t frames = 0;
  for (size_t pos = 24; pos + 16 <= bytes.size(); ++frames) {
    uint32_t length = 0;
    std::memcpy(&length, bytes.data() + pos + 8, 4);
    pos += 16 + length;
  }
  EXPECT_EQ(frames, carried);
}

// Random events of every kind on three switches: whatever the order, the
// run completes and every switch ends with a running agent.
TEST(SimulationTest, randomEventsNeverBreakTheRun) {
  Json base = Json::parse(R"({
    "runFor": 25,
    "switches": [
      { "name": "a", "memberId": 1, "channels": [
          { "intf": "Po1", "peerMemberId": 2, "members": [ { "intf": "Et1" }, { "intf": "Et2", "lagGroup": "x" } ] },
          { "intf": "Po2", "peerMemberId": 3, "members": [ { "intf": "Et3" } ] } ] },
      { "name": "b", "memberId": 2, "channels": [
          { "intf": "Po1", "peerMemberId": 1, "members": [ { "intf": "Et1" }, { "intf": "Et2" } ] } ] },
      { "name": "c", "memberId": 3, "role": "candidate", "candidateMemberIdAt": 1, "channels": [
          { "intf": "Po1", "peerMemberId": 1, "members": [ { "intf": "Et1" }, { "intf": "Et4" } ] } ] } ],
    "links": [ { "a": "a:Et1", "b": "b:Et1" }, { "a": "a:Et2", "b": "b:Et2", "loss": 0.2 }, { "a": "a:Et3", "b": "c:Et1" } ],
    "events": []
  })");
  const std::vector<std::string> ends{"a:Et1", "a:Et2", "a:Et3", "a:Et4", "b:Et1", "b:Et2", "b:Et3", "c:Et1", "c:Et4"};
  uint64_t rng = 12345;
  auto next = [&](uint64_t n) {
    rng = rng * 6364136223846793005ull + 1442695040888963407ull;
    return (rng >> 33) % n;
  };
  for (int round = 0; round < 4; ++round) {
    SCOPED_TRACE(round);
    Json doc = base;
    for (int i = 0; i < 25; ++i) {
      const std::string sw = std::string(1, static_cast<char>('a' + next(3)));
      const std::string intf = fmt::format("Et{}", 1 + next(4));
      const double at = static_cast<double>(next(240)) / 10;
      const Json candidates[] = {
          {{"do", "cut"}, {"link", ends[next(ends.size())]}},
          {{"do", "connect"}, {"a", ends[next(ends.size())]}, {"b", ends[next(ends.size())]}, {"latencyMs", next(5)}},
          {{"do", "setPeerMemberId"}, {"switch", sw}, {"channel", "Po1"}, {"peerMemberId", next(4)}},
          {{"do", "setLagGroup"}, {"switch", sw}, {"intf", intf}, {"lagGroup", next(2) ? "x" : "y"}},
          {{"do", "addMember"}, {"switch", sw}, {"channel", "Po1"}, {"intf", intf}},
          {{"do", "removeMember"}, {"switch", sw}, {"channel", "Po1"}, {"intf", intf}},
          {{"do", "restartAgent"}, {"switch", sw}},
          {{"do", "reload"}, {"switch", sw}, {"downFor", next(3)}, {"candidateFor", next(4)}, {"memberDelay", next(2)},
           {"asicsWarmAfter", next(10)}},
          {{"do", "asicsWarm"}, {"switch", sw}, {"member", 1 + next(3)}, {"warm", next(2) == 1}},
          {{"do", "disconnectStateDb"}, {"switch", sw}},
          {{"do", "connectStateDb"}, {"switch", sw}},
      };
      Json event = candidates[next(std::size(candidates))];
      // A reload is over before the end: every switch runs an agent then.
      event["at"] = event["do"] == "reload" ? std::min(at, 17.0) : at;
      doc["events"].push_back(event);
      try {
        VornSim::parseScenario(doc, "random.json");
      } catch (const VornSim::ScenarioError&) {
        doc["events"].erase(doc["events"].size() - 1);  // keep the scenario valid
      }
    }
    ASSERT_GT(doc["events"].size(), 5u);
    Simulation sim(VornSim::parseScenario(doc, "random.json"));
    sim.run();
    for (const char* sw : {"a", "b", "c"}) {
      EXPECT_NE(sim.agent(sw), nullptr) << sw << "\n" << doc["events"].dump();
    }
    const auto state = sim.stateJson();
    EXPECT_EQ(state["switches"].size(), 3u);
  }
}

TEST(SimulationTest, aSimulationThatCannotStartLeavesNothingBehind) {
  TempDir dir;
  std::ofstream(dir.path / "file") << "x";
  VornSim::Options options;
  options.traceDir = (dir.path / "file" / "trace").string();  // below a file
  EXPECT_THROW(Simulation(pair(1), options), std::runtime_error);
  // The hooks were given back: the next simulation runs.
  Simulation sim(pair(12));
  sim.run();
  EXPECT_EQ(sim.log().size(), 4u);
}

}  // namespace

// Scenario files: every mistake stops with the file, the JSON path of the
// field and the reason; no input crashes the reader.

#include "SimTestSupport.h"

#include "tests/platform/config/HostileFiles.h"

#include <functional>

namespace {

using SimTest::Json;
using VornSim::ScenarioError;

Json baseScenario() {
  return Json::parse(R"({
    "runFor": 20,
    "switches": [
      { "name": "sw1", "memberId": 1,
        "channels": [ { "intf": "Port-Channel1", "peerMemberId": 2,
                        "members": [ { "intf": "Ethernet1" }, { "intf": "Ethernet2", "lagGroup": "A" } ] } ] },
      { "name": "sw2", "memberId": 2,
        "channels": [ { "intf": "Po1", "peerMemberId": 1,
                        "members": [ { "intf": "Et1" }, { "intf": "Ethernet2" } ] } ] }
    ],
    "links": [ { "a": "sw1:Ethernet1", "b": "sw2:Ethernet1", "latencyMs": 2, "loss": 0.1 } ],
    "events": [ { "at": 5, "do": "removeMember", "switch": "sw2", "channel": "Port-Channel1", "intf": "Ethernet2" } ]
  })");
}

struct BadCase {
  const char* name;
  std::function<void(Json&)> edit;
  const char* field;
  const char* reason;  // part of the reason
};

const BadCase kBadCases[] = {
    {"runFor missing", [](Json& j) { j.erase("runFor"); }, "runFor", "missing"},
    {"runFor zero", [](Json& j) { j["runFor"] = 0; }, "runFor", "must be above 0"},
    {"misspelt top-level field", [](Json& j) { j["swiches"] = j["switches"]; }, "swiches", "unknown field"},
    {"unknown toggle", [](Json& j) { j["toggles"] = {{"VornFastStart", true}}; }, "toggles.VornFastStart", "unknown toggle"},
    {"member ID too big", [](Json& j) { j["switches"][1]["memberId"] = 256; }, "switches[1].memberId", "outside 1..255"},
    {"member ID taken", [](Json& j) { j["switches"][1]["memberId"] = 1; }, "switches[1].memberId", "already taken by switches[0]"},
    {"switch name taken", [](Json& j) { j["switches"][1]["name"] = "sw1"; }, "switches[1].name", "already the name"},
    {"switch name with a colon", [](Json& j) { j["switches"][1]["name"] = "sw:2"; }, "switches[1].name", "not a switch name"},
    {"unknown role", [](Json& j) { j["switches"][0]["role"] = "leader"; }, "switches[0].role", "neither"},
    {"member waiting for an ID", [](Json& j) { j["switches"][0]["candidateMemberIdAt"] = 3; },
     "switches[0].candidateMemberIdAt", "only a candidate"},
    {"channel that is not a channel", [](Json& j) { j["switches"][0]["channels"][0]["intf"] = "Ethernet9"; },
     "switches[0].channels[0].intf", "not a channel name: Port-Channel<N>"},
    {"channel configured twice",
     [](Json& j) { j["switches"][0]["channels"].push_back({{"intf", "Port-Channel1"}, {"members", Json::array()}}); },
     "switches[0].channels[1].intf", "configured twice"},
    {"own peer", [](Json& j) { j["switches"][0]["channels"][0]["peerMemberId"] = 1; },
     "switches[0].channels[0].peerMemberId", "its own peer"},
    {"member that is a channel", [](Json& j) { j["switches"][1]["channels"][0]["members"][1]["intf"] = "Port-Channel3"; },
     "switches[1].channels[0].members[1].intf", "not an Ethernet interface"},
    {"member number beyond the device naming rule",
     [](Json& j) { j["switches"][1]["channels"][0]["members"][1]["intf"] = "Ethernet1234567"; },
     "switches[1].channels[0].members[1].intf", "1 to 6 digits"},
    {"member in two channels",
     [](Json& j) {
       j["switches"][0]["channels"].push_back(
           Json{{"intf", "Port-Channel2"}, {"members", Json::array({Json{{"intf", "Et2"}}})}});
     },
     "switches[0].channels[1].members[0].intf", "already a member at switches[0].channels[0].members[1].intf"},
    {"link end without a switch", [](Json& j) { j["links"][0]["a"] = "Ethernet1"; }, "links[0].a", "switch:interface"},
    {"link to an unknown switch", [](Json& j) { j["links"][0]["b"] = "sw9:Ethernet1"; }, "links[0].b", "no switch is named"},
    {"link to a port the switch lacks", [](Json& j) { j["links"][0]["b"] = "sw2:Ethernet7"; }, "links[0].b",
     "sw2 has no member interface Ethernet7"},
    {"link end cabled twice", [](Json& j) { j["links"].push_back({{"a", "sw2:Et1"}, {"b", "sw1:Ethernet2"}}); }, "links[1].a",
     "already cabled by links[0]"},
    {"cable to itself", [](Json& j) { j["links"][0]["b"] = "sw1:Et1"; }, "links[0].b", "to itself"},
    {"negative latency", [](Json& j) { j["links"][0]["latencyMs"] = -1; }, "links[0].latencyMs", "outside"},
    {"loss above one", [](Json& j) { j["links"][0]["loss"] = 1.5; }, "links[0].loss", "outside 0..1"},
    {"unknown event", [](Json& j) { j["events"][0]["do"] = "explode"; }, "events[0].do", "unknown event \"explode\""},
    {"event without its switch", [](Json& j) { j["events"][0].erase("switch"); }, "events[0].switch", "missing"},
    {"event field of another event", [](Json& j) { j["events"][0]["downFor"] = 1; }, "events[0].downFor", "unknown field"},
    {"event after the run", [](Json& j) { j["events"][0]["at"] = 21; }, "events[0].at", "after the end of the run"},
    {"event on an unknown switch", [](Json& j) { j["events"][0]["switch"] = "sw7"; }, "events[0].switch", "no switch"},
    {"removing a member that is not one", [](Json& j) { j["events"][0]["intf"] = "Ethernet5"; }, "events[0].intf",
     "not a member of Port-Channel1"},
    {"adding a member twice",
     [](Json& j) {
       j["events"][0] = {{"at", 1}, {"do", "addMember"}, {"switch", "sw1"}, {"channel", "Po1"}, {"intf", "Et2"}};
     },
     "events[0].intf", "already a member of Port-Channel1"},
    {"peer of an unknown channel",
     [](Json& j) {
       j["events"][0] = {{"at", 1}, {"do", "setPeerMemberId"}, {"switch", "sw1"}, {"channel", "Po9"}, {"peerMemberId", 2}};
     },
     "events[0].channel", "sw1 has no channel Port-Channel9"},
    {"LAG group of a non-member",
     [](Json& j) {
       // Ethernet2 of sw2 left its channel at 5 s.
       j["events"].push_back({{"at", 6}, {"do", "setLagGroup"}, {"switch", "sw2"}, {"intf", "Et2"}, {"lagGroup", "B"}});
     },
     "events[1].intf", "not a member of any channel of sw2 at 6 s"},
    {"overlapping reloads",
     [](Json& j) {
       const Json reload{{"do", "reload"}, {"switch", "sw2"}, {"downFor", 1}, {"candidateFor", 2}, {"asicsWarmAfter", 5}};
       j["events"] = Json::array({reload, reload});
       j["events"][0]["at"] = 1;
       j["events"][1]["at"] = 3;
     },
     "events[1].at", "still reloading (events[0] until 4 s)"},
    {"reload of a candidate",
     [](Json& j) {
       j["switches"][1]["role"] = "candidate";
       j["events"][0] = {{"at", 1}, {"do", "reload"}, {"switch", "sw2"}, {"downFor", 1}, {"candidateFor", 2}, {"asicsWarmAfter", 5}};
     },
     "events[0].switch", "sw2 is a candidate"},
};

TEST(ScenarioTest, everyMistakeNamesTheFieldAndTheReason) {
  for (const auto& c : kBadCases) {
    SCOPED_TRACE(c.name);
    Json doc = baseScenario();
    c.edit(doc);
    try {
      VornSim::parseScenario(doc, "bad.json");
      ADD_FAILURE() << "accepted";
    } catch (const ScenarioError& e) {
      EXPECT_EQ(e.file(), "bad.json");
      EXPECT_EQ(e.field(), c.field) << e.what();
      EXPECT_NE(e.reason().find(c.reason), std::string::npos) << e.what();
      EXPECT_EQ(std::string(e.what()), "bad.json: " + e.field() + ": " + e.reason());
    }
  }
}

TEST(ScenarioTest, readsEveryField) {
  Json doc = baseScenario();
  doc["seed"] = 99;
  doc["toggles"] = {{"VornLagGroupMismatch", false}};
  doc["switches"].push_back({{"name", "cand"}, {"memberId", 3}, {"role", "candidate"}, {"candidateMemberIdAt", 4},
                             {"channels", Json::array()}});
  doc["events"].push_back({{"at", 8}, {"do", "reload"}, {"switch", "sw1"}, {"downFor", 0.5}, {"candidateFor", 3},
                           {"memberDelay", 1}, {"asicsWarmAfter", 9}});
  const auto sc = VornSim::parseScenario(doc, "good.json");
  EXPECT_EQ(sc.runFor, 20);
  EXPECT_EQ(sc.seed, 99u);
  EXPECT_EQ(sc.toggles.at("VornLagGroupMismatch"), false);
  ASSERT_EQ(sc.switches.size(), 3u);
  const auto& sw2 = sc.switches[1];
  EXPECT_EQ(sw2.channels[0].intf, Kivo::IntfId("Port-Channel1"));  // short names are the same interfaces
  EXPECT_EQ(sw2.channels[0].members[0].intf, Kivo::IntfId("Ethernet1"));
  EXPECT_EQ(sc.switches[0].channels[0].members[1].lagGroup, "A");
  EXPECT_EQ(sc.switches[2].role, Vorn::Role::candidate);
  EXPECT_EQ(sc.switches[2].candidateMemberIdAt, 4);
  ASSERT_EQ(sc.links.size(), 1u);
  EXPECT_DOUBLE_EQ(sc.links[0].cable.latency, 0.002);
  EXPECT_DOUBLE_EQ(sc.links[0].cable.loss, 0.1);
  ASSERT_EQ(sc.events.size(), 2u);
  EXPECT_EQ(sc.events[1].kind, VornSim::EventKind::reload);
  EXPECT_EQ(sc.events[1].memberDelay, 1);
  EXPECT_EQ(sc.events[1].asicsWarmAfter, 9);
}

TEST(ScenarioTest, eventsMeetTheConfigurationInTimeOrder) {
  Json doc = baseScenario();
  // Listed first but later in time: the member is back by then.
  doc["events"].insert(doc["events"].begin(),
                       Json{{"at", 9}, {"do", "addMember"}, {"switch", "sw2"}, {"channel", "Po1"}, {"intf", "Et2"}});
  EXPECT_NO_THROW(VornSim::parseScenario(doc, "order.json"));
  doc["events"][0]["at"] = 4;  // now before the removal: a second add
  EXPECT_THROW(VornSim::parseScenario(doc, "order.json"), ScenarioError);
}

// A file that cannot be read or parsed is refused with the file, "(file)"
// or "(document)" and the reason; what files the reader refuses unread is
// the configuration reader's own test.
TEST(ScenarioTest, filesThatCannotBeReadOrParsed) {
  const ConfigTesting::HostileDir dir;
  const std::string broken = dir.file("broken.json", "{ \"runFor\": 10,\n  \"switches\": [ }");
  const struct {
    std::string path;
    const char* field;
    const char* reason;
  } cases[] = {
      {"/nonexistent/scenario.json", "(file)", "cannot be read"},
      {VORN_SOURCE_DIR "/examples", "(file)", "directory"},
      {dir.fifo("fifo.json"), "(file)", "is a FIFO"},
      {broken, "(document)", "line 2"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    const ConfigTesting::HangGuard guard("loading a scenario");
    try {
      VornSim::loadScenario(c.path);
      ADD_FAILURE() << "accepted";
    } catch (const ScenarioError& e) {
      EXPECT_EQ(e.file(), c.path);
      EXPECT_EQ(e.field(), c.field);
      EXPECT_NE(e.reason().find(c.reason), std::string::npos) << e.what();
    }
  }
}

}  // namespace

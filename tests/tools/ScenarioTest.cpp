// Scenario files: every mistake stops with the file, the JSON path of the
// field and the reason; no input crashes the reader.

#include "SimTestSupport.h"

#include "tests/platform/config/HostileFiles.h"

#include <functional>

namespace {

using SimTest::Json;
using VornSim::ScenarioError;

Json baseScenario() {
  return Json::parse(R"({ "runFor": 20, "switches": [
    { "name": "sw1", "memberId": 1, "channels": [ { "intf": "Port-Channel1", "peerMemberId": 2,
        "members": [ { "intf": "Ethernet1" }, { "intf": "Ethernet2", "lagGroup": "A" } ] } ] },
    { "name": "sw2", "memberId": 2,
      "channels": [ { "intf": "Po1", "peerMemberId": 1, "members": [ { "intf": "Et1" }, { "intf": "Et2" } ] } ] } ],
    "links": [ { "a": "sw1:Ethernet1", "b": "sw2:Ethernet1", "latencyMs": 2, "loss": 0.1 } ],
    "events": [ { "at": 5, "do": "removeMember", "switch": "sw2", "channel": "Po1", "intf": "Ethernet2" } ] })");
}

TEST(ScenarioTest, everyMistakeNamesTheFieldAndTheReason) {
  using Edit = std::function<void(Json&)>;
  auto set = [](const char* path, Json v) { return Edit([=](Json& j) { j[Json::json_pointer(path)] = v; }); };
  auto add = [](const char* path, Json v) { return Edit([=](Json& j) { j[Json::json_pointer(path)].push_back(v); }); };
  const Json reload{{"at", 1},       {"do", "reload"},    {"switch", "sw2"},
                    {"downFor", 1}, {"candidateFor", 2}, {"asicsWarmAfter", 5}};
  const Json po2{{"intf", "Po2"}, {"members", Json::array({Json{{"intf", "Et2"}}})}};
  const Json lagGroup{{"at", 6}, {"do", "setLagGroup"}, {"switch", "sw2"}, {"intf", "Et2"}, {"lagGroup", "B"}};
  const std::vector<std::tuple<Edit, const char*, const char*>> cases{  // the edit, the field, part of the reason
      {[](Json& j) { j.erase("runFor"); }, "runFor", "missing"},
      {set("/swiches", Json::array()), "swiches", "unknown field"},
      {set("/toggles", {{"VornFastStart", true}}), "toggles.VornFastStart", "unknown toggle"},
      {set("/switches/1/memberId", 256), "switches[1].memberId", "outside 1..255"},
      {set("/switches/1/memberId", 1), "switches[1].memberId", "already taken by switches[0]"},
      {set("/switches/0/channels/0/peerMemberId", 1), "switches[0].channels[0].peerMemberId", "its own peer"},
      {set("/switches/1/channels/0/members/1/intf", "Po3"), "switches[1].channels[0].members[1].intf", "not an Eth"},
      {add("/switches/0/channels", po2), "switches[0].channels[1].members[0].intf",
       "already a member at switches[0].channels[0].members[1].intf"},
      {set("/links/0/b", "sw2:Ethernet7"), "links[0].b", "sw2 has no member interface Ethernet7"},
      {add("/links", {{"a", "sw2:Et1"}, {"b", "sw1:Ethernet2"}}), "links[1].a", "already cabled by links[0]"},
      {set("/links/0/b", "sw1:Et1"), "links[0].b", "to itself"},
      {set("/events/0/do", "explode"), "events[0].do", "unknown event \"explode\""},
      {set("/events/0/at", 21), "events[0].at", "after the end of the run"},
      // Ethernet2 of sw2 left its channel at 5 s.
      {add("/events", lagGroup), "events[1].intf", "not a member of any channel of sw2 at 6 s"},
      {[&](Json& j) { (j["events"] = {reload, reload})[1]["at"] = 3; }, "events[1].at", "(events[0] until 4 s)"},
      {[&](Json& j) { j["switches"][1]["role"] = "candidate"; j["events"][0] = reload; }, "events[0].switch",
       "sw2 is a candidate"},
  };

  for (const auto& [edit, field, reason] : cases) {
    SCOPED_TRACE(field);
    Json doc = baseScenario();
    edit(doc);
    try {
      VornSim::parseScenario(doc, "bad.json");
      ADD_FAILURE() << "accepted";
    } catch (const ScenarioError& e) {
      EXPECT_EQ(std::pair(e.file(), e.field()), std::pair(std::string("bad.json"), std::string(field))) << e.what();
      EXPECT_NE(e.reason().find(reason), std::string::npos) << e.what();
      EXPECT_EQ(std::string(e.what()), "bad.json: " + e.field() + ": " + e.reason());
    }
  }
}

// The examples pin what every other field does.
TEST(ScenarioTest, readsTogglesAndShortInterfaceNames) {
  Json doc = baseScenario();
  doc["toggles"] = {{"VornLagGroupMismatch", false}};
  const auto sc = VornSim::parseScenario(doc, "good.json");
  EXPECT_FALSE(sc.toggles.at("VornLagGroupMismatch"));
  EXPECT_EQ(sc.switches[1].channels[0].intf, Kivo::IntfId("Port-Channel1"));
  EXPECT_EQ(sc.switches[1].channels[0].members[0].intf, Kivo::IntfId("Ethernet1"));
}

// A file that cannot be read or parsed is refused with the file, "(file)"
// or "(document)" and the reason; what files the reader refuses unread (a
// FIFO, a huge file) is the configuration reader's own test.
TEST(ScenarioTest, filesThatCannotBeReadOrParsed) {
  const ConfigTesting::HostileDir dir;
  const std::tuple<std::string, const char*, const char*> cases[] = {  // path, field, part of the reason
      {"/nonexistent/scenario.json", "(file)", "cannot be read"},
      {dir.file("broken.json", "{ \"runFor\": 10,\n  \"switches\": [ }"), "(document)", "line 2"},
  };
  for (const auto& [path, field, reason] : cases) {
    try {
      VornSim::loadScenario(path);
      ADD_FAILURE() << "accepted " << path;
    } catch (const ScenarioError& e) {
      EXPECT_EQ(std::pair(e.file(), e.field()), std::pair(path, std::string(field)));
      EXPECT_NE(e.reason().find(reason), std::string::npos) << e.what();
    }
  }
}

}  // namespace

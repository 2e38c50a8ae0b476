// What vornctl and the metrics file show, read from a simulated group: the
// answers the daemon gives on its control socket are made from the same
// agent records and event history.
#include "../SimTestSupport.h"
#include "tests/ScratchDir.h"

#include "ControlAnswers.h"
#include "Metrics.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <regex>
#include <set>
#include <sstream>

namespace {

using OrderedJson = nlohmann::ordered_json;

class ControlAnswersTest : public ::testing::Test {
 protected:
  void run(const std::string& example) {
    sim_ = std::make_unique<VornSim::Simulation>(VornSim::loadScenario(SimTest::examplePath(example)));
    sim_->run();
  }
  VornDaemon::SwitchView view(const std::string& name) {
    VornDaemon::SwitchView v;
    v.agent = sim_->agent(name);
    v.history = &sim_->history(name);
    v.switchName = name;
    v.now = sim_->now();
    for (const auto& s : sim_->scenario().switches) {
      if (s.name == name) v.channels = &s.channels;
    }
    return v;
  }
  OrderedJson ask(const std::string& name, const OrderedJson& request) {
    const auto answer = VornDaemon::answerRequest(view(name), request.dump());
    EXPECT_FALSE(answer.watch);
    return OrderedJson::parse(answer.line);
  }
  std::unique_ptr<VornSim::Simulation> sim_;
};

TEST_F(ControlAnswersTest, LinksShowStatePeersAndTheLastReason) {
  run("two-members.json");
  const OrderedJson answer = ask("sw1", {{"command", "show"}, {"what", "links"}});
  ASSERT_TRUE(answer["ok"].get<bool>()) << answer.dump();
  ASSERT_EQ(answer["links"].size(), 4u);
  for (const auto& l : answer["links"]) {
    SCOPED_TRACE(l.dump());
    EXPECT_EQ(l["state"], "higigConfirmed");
    EXPECT_EQ(l["fabricMode"], "higig");
    EXPECT_EQ(l["configuredPeer"], 2);
    EXPECT_EQ(l["heardPeer"], 2);
    EXPECT_EQ(l["membership"], "valid");
    EXPECT_EQ(l["reason"], "TLVs counted");
    EXPECT_GT(l["since"].get<double>(), 0);
    EXPECT_LT(l["since"].get<double>(), 30);
  }
  const OrderedJson one = ask("sw1", {{"command", "show"}, {"what", "links"}, {"intf", "Ethernet3"}});
  ASSERT_EQ(one["links"].size(), 1u);
  EXPECT_EQ(one["links"][0]["channel"], "Port-Channel2");
}

TEST_F(ControlAnswersTest, AWrongCableShowsTheMismatchAndItsReason) {
  run("wrong-cable.json");
  // Whatever the example miscables, some link must say why it is not in
  // backplane mode, and its history must hold the same reason.
  bool seen = false;
  for (const auto& s : sim_->scenario().switches) {
    const OrderedJson links = ask(s.name, {{"command", "show"}, {"what", "links"}});
    for (const auto& l : links["links"]) {
      if (l["membership"] != "membershipMismatch") continue;
      seen = true;
      EXPECT_NE(l["state"], "higigConfirmed") << l.dump();
      const OrderedJson h = ask(s.name, {{"command", "history"}, {"intf", l["intf"]}});
      const auto& events = h["history"][0]["events"];
      ASSERT_FALSE(events.empty());
      bool reasonInHistory = false;
      for (const auto& e : events) reasonInHistory |= e["type"] == "linkState" && e["reason"] == l["reason"];
      EXPECT_TRUE(reasonInHistory) << h.dump();
    }
  }
  EXPECT_TRUE(seen);
}

TEST_F(ControlAnswersTest, NeighborsCountersLagGroupsAndToggles) {
  run("two-members.json");
  const OrderedJson n = ask("sw1", {{"command", "show"}, {"what", "neighbors"}, {"intf", "Ethernet1"}});
  ASSERT_EQ(n["neighbors"].size(), 1u);
  ASSERT_EQ(n["neighbors"][0]["neighbors"].size(), 1u);
  const OrderedJson& rs = n["neighbors"][0]["neighbors"][0];
  EXPECT_EQ(rs["portId"], "Ethernet1");
  EXPECT_EQ(rs["vornTlv"]["memberId"], 2);
  EXPECT_EQ(rs["vornTlv"]["role"], "member");
  EXPECT_EQ(rs["vornTlv"]["expectedPeer"], 1);
  EXPECT_EQ(rs["vornTlv"]["receivedPeer"], 1);
  EXPECT_LE(rs["ttlLeft"].get<double>(), rs["ttl"].get<double>());

  const OrderedJson c = ask("sw1", {{"command", "show"}, {"what", "counters"}, {"intf", "Ethernet1"}});
  ASSERT_EQ(c["counters"].size(), 1u);
  // 30 s at 100 ms: some 300 frames each way.
  EXPECT_GT(c["counters"][0]["framesOut"].get<int>(), 200);
  EXPECT_GT(c["counters"][0]["framesIn"].get<int>(), 200);
  EXPECT_EQ(c["counters"][0]["neighborsInserted"], 1);

  EXPECT_TRUE(ask("sw1", {{"command", "show"}, {"what", "lag-groups"}})["lagGroups"].is_array());
  const OrderedJson t = ask("sw1", {{"command", "show"}, {"what", "toggles"}});
  ASSERT_EQ(t["toggles"].size(), 4u);
  EXPECT_EQ(t["toggles"][0]["name"], "VornMembershipVerification");
}

TEST_F(ControlAnswersTest, BadRequestsAreRefusedWithOneLine) {
  run("two-members.json");
  const struct {
    std::string request;
    std::string error;
  } cases[] = {
      {"garbage", "a request is one JSON object per line"},
      {"[1]", "a request is one JSON object per line"},
      {R"({"command":1})", "\"command\", \"what\" and \"intf\" are strings"},
      {R"({"command":"reboot"})", "unknown command \"reboot\""},
      {R"({"command":"show","what":"secrets"})", "nothing to show called \"secrets\""},
      {R"({"command":"show","what":"links","intf":"Ethernet9"})", "unknown interface Ethernet9"},
      {R"({"command":"history","intf":"Ethernet9"})", "unknown interface Ethernet9"},
      {R"({"command":"show","what":"links","intf":")" + std::string(100, 'x') + "\"}",
       "interface name longer than 64 bytes"},
      // Which of two commands would be meant is not guessed.
      {R"({"command":"show","what":"links","command":"watch"})",
       "command: duplicate key \"command\"; a key is given once"},
  };
  for (const auto& c : cases) {
    const auto answer = VornDaemon::answerRequest(view("sw1"), c.request);
    EXPECT_EQ(answer.line, OrderedJson({{"ok", false}, {"error", c.error}}).dump()) << c.request;
  }
  // Nothing deeper than a request can need is built.
  const auto deep = OrderedJson::parse(
      VornDaemon::answerRequest(view("sw1"), R"({"command":)" + std::string(100, '[') + std::string(100, ']') + "}").line);
  EXPECT_FALSE(deep["ok"].get<bool>());
  EXPECT_TRUE(deep["error"].get<std::string>().ends_with("nested deeper than 64 levels")) << deep;
  // A channel has a history (LAG events), not a link row.
  EXPECT_TRUE(ask("sw1", {{"command", "history"}, {"intf", "Port-Channel1"}})["ok"].get<bool>());
  EXPECT_TRUE(VornDaemon::answerRequest(view("sw1"), R"({"command":"watch"})").watch);
}

// The exposition format, checked strictly: every sample belongs to a family
// declared before it with HELP and TYPE, counters end in _total, names and
// labels are well formed, no series twice, values are numbers.
std::map<std::string, double> parseExposition(const std::string& text) {
  static const std::regex help(R"(# HELP ([a-zA-Z_:][a-zA-Z0-9_:]*) .+)");
  static const std::regex type(R"(# TYPE ([a-zA-Z_:][a-zA-Z0-9_:]*) (counter|gauge))");
  static const std::regex sample(
      R"(([a-zA-Z_:][a-zA-Z0-9_:]*)(\{([a-zA-Z_][a-zA-Z0-9_]*="([^"\\\n]|\\[\\"n])*")(,[a-zA-Z_][a-zA-Z0-9_]*="([^"\\\n]|\\[\\"n])*")*\})? (-?[0-9.e+]+))");
  std::map<std::string, std::string> types;
  std::set<std::string> helped;
  std::map<std::string, double> series;
  std::istringstream in(text);
  std::string line;
  std::smatch m;
  while (std::getline(in, line)) {
    if (std::regex_match(line, m, help)) {
      helped.insert(m[1]);
    } else if (std::regex_match(line, m, type)) {
      EXPECT_TRUE(helped.count(m[1])) << line;
      EXPECT_FALSE(types.count(m[1])) << "declared twice: " << line;
      types[m[1]] = m[2];
      if (m[2] == "counter") {
        EXPECT_TRUE(std::string(m[1]).ends_with("_total")) << line;
      }
    } else if (std::regex_match(line, m, sample)) {
      EXPECT_TRUE(types.count(m[1])) << "no TYPE before " << line;
      const std::string key = line.substr(0, line.rfind(' '));
      EXPECT_FALSE(series.count(key)) << "twice: " << line;
      series[key] = std::stod(m[m.size() - 1]);
    } else {
      ADD_FAILURE() << "not exposition format: " << line;
    }
  }
  return series;
}

TEST_F(ControlAnswersTest, MetricsAreStrictExpositionOfWhatTheAgentKnows) {
  run("two-members.json");
  VornDaemon::MetricsCounts counts;
  for (const auto& e : sim_->events()) {
    if (e.switchName == "sw1") counts.take(e);
  }
  const auto series = parseExposition(VornDaemon::renderMetrics(view("sw1"), counts));
  const std::string link = R"(channel="Port-Channel1",intf="Ethernet2")";
  EXPECT_EQ(series.at("vornfabriclldp_link_state{" + link + R"(,state="higigConfirmed"})"), 1);
  EXPECT_EQ(series.at("vornfabriclldp_link_state{" + link + R"(,state="ethLinkDown"})"), 0);
  EXPECT_EQ(series.at("vornfabriclldp_link_fabric_mode_higig{" + link + "}"), 1);
  EXPECT_EQ(series.at("vornfabriclldp_link_transitions_total{" + link + R"(,to="higigConfirmed",reason="TLVs counted"})"),
            1);
  EXPECT_GT(series.at(R"(vornfabriclldp_lldp_frames_out_total{intf="Ethernet2"})"), 200);
  EXPECT_EQ(series.at(R"(vornfabriclldp_lldp_neighbors{intf="Ethernet2"})"), 1);
  EXPECT_EQ(series.at("vornfabriclldp_state_database_connected"), 1);
}

TEST(MetricsTest, LabelValuesAreEscaped) {
  EXPECT_EQ(VornDaemon::metricsLabel("a\"b\\c\nd"), "a\\\"b\\\\c\\nd");
}

// The collector's directory may be writable by others: whatever stands at the temporary name is replaced, and a link
// there neither receives the text nor stops the file from being written.
TEST(MetricsTest, WhatStandsAtTheTemporaryNameIsReplacedNotFollowed) {
  TestSupport::ScratchDir dir;
  dir.write("victim", "untouched");
  std::filesystem::create_symlink(dir.file("victim"), dir.file("vorn.prom.tmp"));
  std::string error;
  ASSERT_TRUE(VornDaemon::writeMetricsFile(dir.file("vorn.prom"), "up 1\n", error)) << error;
  EXPECT_EQ(dir.read("victim"), "untouched");
  EXPECT_EQ(dir.read("vorn.prom"), "up 1\n");
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(dir.file("vorn.prom.tmp"))));
}

}  // namespace

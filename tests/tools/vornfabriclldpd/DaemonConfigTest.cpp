#include "DaemonConfig.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

namespace {

using Json = nlohmann::json;
using VornDaemon::parseDaemonConfig;

Json goodConfig() {
  return Json::parse(R"({
    "memberId": 1,
    "channels": [
      { "intf": "Port-Channel1", "peerMemberId": 2,
        "members": [ { "intf": "Ethernet1", "lagGroup": "A" }, { "intf": "Ethernet2" } ] }
    ],
    "interfaceNames": { "veth1": "Ethernet1", "eth0": "" },
    "backupDir": "/tmp/b", "peerSyncPort": 0
  })");
}

TEST(DaemonConfigTest, readsAWholeConfiguration) {
  const auto c = parseDaemonConfig(goodConfig().dump(), "d.json");
  EXPECT_EQ(c.memberId, Vorn::MemberId(1));
  EXPECT_EQ(c.role, Vorn::Role::member);
  ASSERT_EQ(c.channels.size(), 1u);
  EXPECT_EQ(c.channels[0].peerMemberId, Vorn::MemberId(2));
  ASSERT_EQ(c.channels[0].members.size(), 2u);
  EXPECT_EQ(c.channels[0].members[0].lagGroup, "A");
  EXPECT_EQ(c.backupDir, "/tmp/b");
  EXPECT_EQ(c.peerSyncPort, 0);
  EXPECT_EQ(c.toggleDir, "/etc/vorn/toggles") << "unset directories keep their defaults";
  // Overrides come before the naming rule, and an empty name keeps a device out.
  EXPECT_EQ(c.deviceOf(Kivo::IntfId("Ethernet1")), "veth1");
  EXPECT_EQ(c.deviceOf(Kivo::IntfId("Ethernet2")), "et2");
  EXPECT_TRUE(c.interfaceNames.at("eth0").empty());
}

TEST(DaemonConfigTest, badFilesNameTheFieldAndTheReason) {
  struct Case {
    const char* name;
    std::function<void(Json&)> edit;
    const char* field;
    const char* reason;
  };
  const std::vector<Case> cases{
      {"member ID missing", [](Json& j) { j.erase("memberId"); }, "memberId", "missing"},
      {"member ID 0", [](Json& j) { j["memberId"] = 0; }, "memberId", "outside 1..255"},
      {"unknown role", [](Json& j) { j["role"] = "leader"; }, "role", "neither"},
      {"unknown field", [](Json& j) { j["memberID"] = 3; }, "memberID", "unknown field"},
      {"no channels", [](Json& j) { j.erase("channels"); }, "channels", "missing"},
      {"channels twice", [](Json& j) { j["channelsFile"] = "c.json"; }, "channelsFile", "not both"},
      {"not a channel", [](Json& j) { j["channels"][0]["intf"] = "Ethernet9"; }, "channels[0].intf", "not a channel name"},
      {"channel twice", [](Json& j) { j["channels"].push_back(j["channels"][0]); }, "channels[1].intf", "configured twice"},
      {"member in two channels",
       [](Json& j) {
         j["channels"].push_back(Json::parse(R"({"intf": "Port-Channel2", "members": [{"intf": "Ethernet2"}]})"));
       },
       "channels[1].members[0].intf", "already a member of Port-Channel1"},
      {"peer is this switch", [](Json& j) { j["channels"][0]["peerMemberId"] = 1; }, "channels[0].peerMemberId",
       "own member ID"},
      {"bad device name", [](Json& j) { j["interfaceNames"]["a/b"] = "Ethernet3"; }, "interfaceNames.a/b",
       "not a kernel device name"},
      {"device name too long", [](Json& j) { j["interfaceNames"]["abcdefghijklmnop"] = "Ethernet3"; },
       "interfaceNames.abcdefghijklmnop", "1 to 15 bytes"},
      {"two devices, one interface", [](Json& j) { j["interfaceNames"]["veth9"] = "Ethernet1"; },
       "interfaceNames.veth9", "already the name of device veth1"},
      {"port out of range", [](Json& j) { j["peerSyncPort"] = 70000; }, "peerSyncPort", "outside 0..65535"},
      {"empty directory", [](Json& j) { j["backupDir"] = ""; }, "backupDir", "empty directory"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Json j = goodConfig();
    c.edit(j);
    try {
      parseDaemonConfig(j.dump(), "d.json");
      ADD_FAILURE() << "accepted";
    } catch (const Config::FieldError& e) {
      EXPECT_EQ(e.file(), "d.json");
      EXPECT_EQ(e.field(), c.field);
      EXPECT_NE(e.reason().find(c.reason), std::string::npos) << e.reason();
    }
  }
}

TEST(DaemonConfigTest, channelsComeFromTheirOwnFileWhoseErrorsNameIt) {
  const auto dir = std::filesystem::temp_directory_path() / ("vorn-daemon-config-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  Json config = goodConfig();
  const Json channels = {{"channels", config["channels"]}};
  config.erase("channels");
  config["channelsFile"] = "channels.json";
  std::ofstream(dir / "daemon.json") << config.dump();
  std::ofstream(dir / "channels.json") << channels.dump();

  const auto c = VornDaemon::loadDaemonConfig((dir / "daemon.json").string());
  ASSERT_EQ(c.channels.size(), 1u) << "a relative name is read beside the configuration file";
  EXPECT_EQ(c.channels[0].members.size(), 2u);

  std::ofstream(dir / "channels.json") << R"({"channels": [ {"intf": "Port-Channel1"} ]})";
  try {
    VornDaemon::loadDaemonConfig((dir / "daemon.json").string());
    ADD_FAILURE() << "accepted";
  } catch (const Config::FieldError& e) {
    EXPECT_EQ(e.file(), (dir / "channels.json").string());
    EXPECT_EQ(e.field(), "channels[0].members");
  }
  std::filesystem::remove(dir / "channels.json");
  EXPECT_THROW(VornDaemon::loadDaemonConfig((dir / "daemon.json").string()), Config::FieldError);
  std::filesystem::remove_all(dir);
}

TEST(DaemonConfigTest, notJsonNamesTheDocument) {
  try {
    parseDaemonConfig("{\"memberId\": 1,", "d.json");
    ADD_FAILURE() << "accepted";
  } catch (const Config::FieldError& e) {
    EXPECT_EQ(e.field(), "(document)");
    EXPECT_NE(e.reason().find("not valid JSON"), std::string::npos);
  }
}

}  // namespace

namespace {

// The example shipped beside the systemd unit must stay a valid file.
TEST(DaemonConfigTest, shippedExampleReads) {
  const auto c = VornDaemon::loadDaemonConfig(std::string(VORN_SOURCE_DIR) + "/tools/vornfabriclldpd/vornfabriclldpd.json.example");
  EXPECT_EQ(c.memberId, Vorn::MemberId(1));
  EXPECT_EQ(c.deviceOf(Kivo::IntfId("Ethernet2")), "enp3s0f1");
}

}  // namespace

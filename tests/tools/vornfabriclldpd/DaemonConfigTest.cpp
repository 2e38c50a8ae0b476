#include "DaemonConfig.h"

#include "tests/platform/config/HostileFiles.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using Json = nlohmann::json;
using ConfigTesting::HangGuard;
using ConfigTesting::HostileDir;
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

// The good configuration with the value at `path` set (or, null, removed), as text.
std::string with(const char* path, const Json& value) {
  Json j = goodConfig();
  const Json::json_pointer p(path);
  if (value.is_null()) j[p.parent_pointer()].erase(p.back());
  else j[p] = value;
  return j.dump();
}

TEST(DaemonConfigTest, readsAWholeConfiguration) {
  const auto c = parseDaemonConfig(goodConfig().dump(), "d.json");
  EXPECT_EQ(std::pair(c.memberId, c.role), std::pair(Vorn::MemberId(1), Vorn::Role::member));
  ASSERT_EQ(c.channels.size(), 1u);
  EXPECT_EQ(c.channels[0].peerMemberId, Vorn::MemberId(2));
  ASSERT_EQ(c.channels[0].members.size(), 2u);
  EXPECT_EQ(c.channels[0].members[0].lagGroup, "A");
  EXPECT_EQ(std::pair(c.backupDir, c.peerSyncPort), std::pair(std::string("/tmp/b"), std::optional(0)));
  EXPECT_EQ(c.toggleDir, "/etc/vorn/toggles") << "unset directories keep their defaults";
  // Overrides come before the naming rule, and an empty name keeps a device out.
  EXPECT_EQ(c.deviceOf(Kivo::IntfId("Ethernet1")) + " " + c.deviceOf(Kivo::IntfId("Ethernet2")), "veth1 et2");
  EXPECT_TRUE(c.interfaceNames.at("eth0").empty());
  // The example shipped beside the systemd unit stays a valid file.
  const std::string example = VORN_SOURCE_DIR "/tools/vornfabriclldpd/vornfabriclldpd.json.example";
  EXPECT_EQ(VornDaemon::loadDaemonConfig(example).deviceOf(Kivo::IntfId("Ethernet2")), "enp3s0f1");
}

// Every refusal names the file, the field and the reason in a message of a
// line (the fuzzing corpus replays what an attacker would write).
TEST(DaemonConfigTest, badFilesNameTheFieldAndTheReason) {
  const Json secondChannel = Json::parse(R"({"intf": "Port-Channel2", "members": [{"intf": "Ethernet2"}]})");
  const std::vector<std::tuple<std::string, const char*, const char*>> cases{  // text, field's start, reason
      {with("/memberId", 0), "memberId", "outside 1..255"},
      {with("/memberID", 3), "memberID", "unknown field"},
      {with("/channels", nullptr), "channels", "missing"},
      {with("/channelsFile", "c.json"), "channelsFile", "not both"},
      {with("/channels/1", secondChannel), "channels[1].members[0].intf", "already a member of Port-Channel1"},
      {with("/interfaceNames/abcdefghijklmnop", "Ethernet3"), "interfaceNames.abcdefghijklmnop", "1 to 15 bytes"},
      {with("/interfaceNames/veth9", "Ethernet1"), "interfaceNames.veth9", "already the name of device veth1"},
      {with("/backupDir", ""), "backupDir", "empty directory"},
      {with("/syslogIdent", "a\nb"), "syslogIdent", "control character"},
      {R"({"memberId": 1,)", "(document)", "not valid JSON"},
  };

  for (const auto& [text, field, reason] : cases) {
    SCOPED_TRACE(field);
    try {
      parseDaemonConfig(text, "d.json");
      ADD_FAILURE() << "accepted";
    } catch (const Config::FieldError& e) {
      EXPECT_EQ(e.file(), "d.json");
      EXPECT_TRUE(e.field().starts_with(field)) << e.field();
      EXPECT_NE(e.reason().find(reason), std::string::npos) << e.reason().substr(0, 200);
      EXPECT_LE(std::string(e.what()).size(), 300u);
    }
  }
}

// A channels file is read beside the configuration file; its errors name
// it, and one that is not a small regular file is refused for what it is,
// without a read that blocks or fills the memory.
TEST(DaemonConfigTest, channelsComeFromTheirOwnFileWhoseErrorsNameIt) {
  const HostileDir dir;
  Json config = goodConfig();
  dir.file("channels.json", Json{{"channels", config["channels"]}}.dump());
  config.erase("channels");
  config["channelsFile"] = "channels.json";
  EXPECT_EQ(VornDaemon::loadDaemonConfig(dir.file("daemon.json", config.dump())).channels.size(), 1u);
  auto cases = ConfigTesting::unusableFiles(dir);
  cases.push_back({"a channel without members", dir.file("broken.json", R"({"channels": [{"intf": "Po1"}]})"),
                   "members: missing"});
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const HangGuard guard(c.name);
    config["channelsFile"] = c.path;
    try {
      VornDaemon::loadDaemonConfig(dir.file("daemon.json", config.dump()));
      ADD_FAILURE() << "accepted";
    } catch (const Config::FieldError& e) {
      EXPECT_EQ(e.file(), c.path);
      EXPECT_NE(std::string(e.what()).find(c.reason), std::string::npos) << e.what();
    }
  }
}

TEST(DaemonConfigTest, traceFileComesFromTheEnvironmentTheConfigurationOrTheProcess) {
  const std::tuple<const char*, const char*, const char*, const char*> cases[] = {
      // traceDir, $RLFILE, $RINGLOGDIR: the file. Nothing set: a file of this
      // process's own, not one in the current directory.
      {"", nullptr, nullptr, "/tmp/VornFabricLldp-4242.rl"},
      {"", nullptr, "/run/rl", "/run/rl/VornFabricLldp.rl"},
      {"/var/trace", nullptr, "/run/rl", "/var/trace/VornFabricLldp.rl"},
      {"/var/trace", "/x/mine.rl", nullptr, "/x/mine.rl"},
  };
  for (const auto& [traceDir, rlfile, ringlogdir, expected] : cases) {
    VornDaemon::DaemonConfig config;
    config.traceDir = traceDir;
    EXPECT_EQ(config.traceFile(rlfile, ringlogdir, 4242), expected) << traceDir << " " << (rlfile ? rlfile : "-");
  }
}

}  // namespace

#include "DaemonConfig.h"

#include "platform/log/Syslog.h"
#include "platform/scheduler/SwitchContext.h"
#include "tests/platform/config/HostileFiles.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <functional>
#include <sstream>
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

// The good configuration with one change, as text.
std::string edited(const std::function<void(Json&)>& edit) {
  Json j = goodConfig();
  edit(j);
  return j.dump();
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
  // The example shipped beside the systemd unit stays a valid file.
  const auto shipped =
      VornDaemon::loadDaemonConfig(std::string(VORN_SOURCE_DIR) + "/tools/vornfabriclldpd/vornfabriclldpd.json.example");
  EXPECT_EQ(shipped.deviceOf(Kivo::IntfId("Ethernet2")), "enp3s0f1");
}

// Every refusal names the file, the field and the reason in a message of a
// line (the fuzzing corpus replays what an attacker would write).
TEST(DaemonConfigTest, badFilesNameTheFieldAndTheReason) {
  struct Case {
    const char* name;
    std::string text;
    const char* field;  // the start of the field's path
    const char* reason;
  };
  const std::vector<Case> cases{
      {"member ID missing", edited([](Json& j) { j.erase("memberId"); }), "memberId", "missing"},
      {"member ID 0", edited([](Json& j) { j["memberId"] = 0; }), "memberId", "outside 1..255"},
      {"unknown role", edited([](Json& j) { j["role"] = "leader"; }), "role", "neither"},
      {"unknown field", edited([](Json& j) { j["memberID"] = 3; }), "memberID", "unknown field"},
      {"no channels", edited([](Json& j) { j.erase("channels"); }), "channels", "missing"},
      {"channels twice", edited([](Json& j) { j["channelsFile"] = "c.json"; }), "channelsFile", "not both"},
      {"not a channel", edited([](Json& j) { j["channels"][0]["intf"] = "Ethernet9"; }), "channels[0].intf",
       "not a channel name"},
      {"channel twice", edited([](Json& j) { j["channels"].push_back(j["channels"][0]); }), "channels[1].intf",
       "configured twice"},
      {"member in two channels",
       edited([](Json& j) {
         j["channels"].push_back(Json::parse(R"({"intf": "Port-Channel2", "members": [{"intf": "Ethernet2"}]})"));
       }),
       "channels[1].members[0].intf", "already a member of Port-Channel1"},
      {"peer is this switch", edited([](Json& j) { j["channels"][0]["peerMemberId"] = 1; }),
       "channels[0].peerMemberId", "own member ID"},
      {"bad device name", edited([](Json& j) { j["interfaceNames"]["a/b"] = "Ethernet3"; }), "interfaceNames.a/b",
       "not a kernel device name"},
      {"device name of 16 bytes", edited([](Json& j) { j["interfaceNames"]["abcdefghijklmnop"] = "Ethernet3"; }),
       "interfaceNames.abcdefghijklmnop", "1 to 15 bytes"},
      {"two devices, one interface", edited([](Json& j) { j["interfaceNames"]["veth9"] = "Ethernet1"; }),
       "interfaceNames.veth9", "already the name of device veth1"},
      {"port out of range", edited([](Json& j) { j["peerSyncPort"] = 70000; }), "peerSyncPort", "outside 0..65535"},
      {"empty directory", edited([](Json& j) { j["backupDir"] = ""; }), "backupDir", "empty directory"},
      {"directory name with a newline", edited([](Json& j) { j["backupDir"] = "/tmp/b\nx"; }), "backupDir",
       "control character"},
      {"syslog identity with a newline", edited([](Json& j) { j["syslogIdent"] = "a\nb"; }), "syslogIdent",
       "control character"},
      {"channels file name with a NUL", R"({"memberId": 1, "channelsFile": "c.json\u0000.txt"})", "channelsFile",
       "control character"},
      {"channels file name beyond PATH_MAX", R"({"memberId": 1, "channelsFile": ")" + std::string(5000, 'c') + "\"}",
       "channelsFile", "longer than 4095 bytes"},
      {"not JSON", R"({"memberId": 1,)", "(document)", "not valid JSON"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    try {
      parseDaemonConfig(c.text, "d.json");
      ADD_FAILURE() << "accepted";
    } catch (const Config::FieldError& e) {
      EXPECT_EQ(e.file(), "d.json");
      EXPECT_EQ(e.field().substr(0, std::strlen(c.field)), c.field);
      EXPECT_NE(e.reason().find(c.reason), std::string::npos) << e.reason().substr(0, 200);
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
  const std::string channels = dir.file("channels.json", Json{{"channels", config["channels"]}}.dump());
  config.erase("channels");
  config["channelsFile"] = "channels.json";
  const std::string path = dir.file("daemon.json", config.dump());
  EXPECT_EQ(VornDaemon::loadDaemonConfig(path).channels.size(), 1u);

  std::vector<ConfigTesting::FileCase> cases{
      {"a channel without members", dir.file("broken.json", R"({"channels": [ {"intf": "Port-Channel1"} ]})"),
       "members: missing"}};
  for (const auto& c : ConfigTesting::unusableFiles(dir)) cases.push_back(c);
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

// SIGHUP: a file that no longer reads keeps the running configuration and
// says why on stderr and in the system log; a good one is taken.
TEST(DaemonConfigTest, rereadingRefusesABadFileAndReportsIt) {
  const HostileDir dir;
  const std::string path = dir.file("daemon.json", goodConfig().dump());
  const VornDaemon::DaemonConfig running = VornDaemon::loadDaemonConfig(path);
  Syslog::MemorySink log;
  Oru::SwitchContext context;
  Oru::SwitchContext::Scope active(context);
  context.syslogSinkIs(&log);
  const std::pair<std::function<void()>, const char*> cases[] = {  // spoil, "<field>: <reason>" reported
      {[&] { dir.file("daemon.json", R"({"memberId":1,"memberId":2,"channels":[]})"); },
       "memberId: duplicate key \"memberId\""},
      {[&] {
         std::filesystem::remove(path);
         dir.fifo("daemon.json");
       },
       "(file): is a FIFO, not a regular file"},
  };
  for (const auto& [spoil, reported] : cases) {
    SCOPED_TRACE(reported);
    spoil();
    log.clear();
    std::ostringstream err;
    {
      const HangGuard guard(reported);
      EXPECT_FALSE(VornDaemon::rereadDaemonConfig(running, err).has_value());
    }
    EXPECT_EQ(err.str().rfind("vornfabriclldpd: keeping the running configuration: " + path + ": " + reported, 0), 0u)
        << err.str();
    ASSERT_EQ(log.entries().size(), 1u);
    const Syslog::Entry& entry = log.entries()[0];
    EXPECT_EQ(entry.message, &VornDaemon::VORN_FABRIC_LLDP_CONFIG_REJECTED);
    EXPECT_EQ(entry.message->severity, 3) << "an error";
    EXPECT_EQ(std::count(Syslog::registeredMessages().begin(), Syslog::registeredMessages().end(), entry.message), 1);
    EXPECT_NE(entry.text.find(path), std::string::npos) << entry.text;
    EXPECT_NE(entry.text.find(reported), std::string::npos) << entry.text;
  }
  std::filesystem::remove(path);
  dir.file("daemon.json", edited([](Json& j) { j["channels"][0]["members"].erase(1); }));
  log.clear();
  std::ostringstream err;
  const auto fresh = VornDaemon::rereadDaemonConfig(running, err);
  ASSERT_TRUE(fresh.has_value());
  EXPECT_EQ(fresh->channels[0].members.size(), 1u);
  EXPECT_EQ(err.str(), "");
  EXPECT_TRUE(log.entries().empty());
}

TEST(DaemonConfigTest, traceFileComesFromTheEnvironmentTheConfigurationOrTheProcess) {
  struct Case {
    const char* traceDir;
    const char* rlfile;
    const char* ringlogdir;
    const char* expected;
  };
  const Case cases[] = {
      // Nothing set: a file of this process's own, not one in the current directory.
      {"", nullptr, nullptr, "/tmp/VornFabricLldp-4242.rl"},
      {"", "", nullptr, "/tmp/VornFabricLldp-4242.rl"},
      {"", nullptr, "/run/rl", "/run/rl/VornFabricLldp.rl"},
      {"/var/trace", nullptr, "/run/rl", "/var/trace/VornFabricLldp.rl"},
      {"/var/trace", "/x/mine.rl", nullptr, "/x/mine.rl"},
  };
  for (const auto& c : cases) {
    VornDaemon::DaemonConfig config;
    config.traceDir = c.traceDir;
    EXPECT_EQ(config.traceFile(c.rlfile, c.ringlogdir, 4242), c.expected)
        << "traceDir '" << c.traceDir << "' RLFILE " << (c.rlfile ? c.rlfile : "(unset)") << " RINGLOGDIR "
        << (c.ringlogdir ? c.ringlogdir : "(unset)");
  }
}

}  // namespace

#include "DaemonConfig.h"

#include "platform/log/Syslog.h"
#include "tests/platform/config/HostileFiles.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
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

namespace {

using ConfigTesting::HangGuard;
using ConfigTesting::HostileDir;

// The error loading `path` throws; a failure when it loads.
Config::FieldError loadRefusal(const std::string& path) {
  try {
    VornDaemon::loadDaemonConfig(path);
  } catch (const Config::FieldError& e) {
    return e;
  }
  ADD_FAILURE() << path << " accepted";
  return Config::FieldError("", "", "");
}

// A configuration, or a channels file, that is not a small regular file is
// refused for what it is, without a read that blocks or fills the memory.
TEST(DaemonConfigTest, unusableFilesAreRefusedUnread) {
  const HostileDir dir;
  for (const auto& c : ConfigTesting::unusableFiles(dir)) {
    SCOPED_TRACE(c.name);
    const HangGuard guard(c.name);
    for (const bool asChannelsFile : {false, true}) {
      std::string path = c.path;
      if (asChannelsFile) {
        Json config = goodConfig();
        config.erase("channels");
        config["channelsFile"] = c.path;
        path = dir.file("daemon.json", config.dump());
      }
      const Config::FieldError e = loadRefusal(path);
      EXPECT_EQ(e.file(), c.path);
      EXPECT_EQ(e.field(), "(file)");
      EXPECT_NE(e.reason().find(c.reason), std::string::npos) << e.what();
    }
  }
}

// What an attacker writes into the file: every refusal names the file, the
// field and the reason, in a message of a line.
TEST(DaemonConfigTest, hostileDocumentsAreRefusedWithAShortMessage) {
  const std::string deep = ConfigTesting::nestedLists(100'000);
  const std::string big(1 << 20, 'x');
  const struct {
    const char* name;
    std::string text;
    const char* field;  // ending in "...": the start of a path cut in the middle
    const char* reason;
  } cases[] = {
      {"member ID nested 100,000 deep", R"({"channels": [], "memberId": )" + deep + "}", "memberId[0][0][0]...",
       "nested deeper than 64 levels"},
      {"role nested 100,000 deep", R"({"memberId": 1, "channels": [], "role": )" + deep + "}", "role[0][0]...",
       "nested deeper than 64 levels"},
      {"duplicate member ID", R"({"memberId":0,"memberId":1})", "memberId", "duplicate key \"memberId\""},
      {"duplicate key in a member",
       R"({"memberId": 1, "channels": [{"intf": "Po1", "members": [{"intf": "Et1", "intf": "Et2"}]}]})",
       "channels[0].members[0].intf", "duplicate key \"intf\""},
      {"member ID too large for a double", R"({"memberId": 1e999, "channels": []})", "(document)", "number overflow"},
      {"role of a megabyte", R"({"memberId": 1, "channels": [], "role": ")" + big + "\"}", "role", "is neither"},
      {"unknown field of a megabyte", R"({"memberId": 1, "channels": [], ")" + big + "\": 1}", "xxxxxxxxx...",
       "unknown field"},
      {"device name of a megabyte", R"({"memberId": 1, "channels": [], "interfaceNames": {")" + big + "\": \"\"}}",
       "interfaceNames.xxxxxxx...", "not a kernel device name"},
      {"channels file name with a NUL", R"({"memberId": 1, "channelsFile": "c.json\u0000.txt"})", "channelsFile",
       "control character"},
      {"channels file name beyond PATH_MAX", R"({"memberId": 1, "channelsFile": ")" + std::string(5000, 'c') + "\"}",
       "channelsFile", "longer than 4095 bytes"},
      {"directory name with a newline", R"({"memberId": 1, "channels": [], "backupDir": "/tmp/b\nx"})", "backupDir",
       "control character"},
      {"syslog identity with a newline", R"({"memberId": 1, "channels": [], "syslogIdent": "a\nb"})", "syslogIdent",
       "control character"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    try {
      parseDaemonConfig(c.text, "d.json");
      ADD_FAILURE() << "accepted";
    } catch (const Config::FieldError& e) {
      EXPECT_EQ(e.file(), "d.json");
      const std::string field = c.field;
      if (field.ends_with("...")) {
        EXPECT_EQ(e.field().substr(0, field.size() - 3), field.substr(0, field.size() - 3)) << e.field();
      } else {
        EXPECT_EQ(e.field(), field);
      }
      EXPECT_NE(e.reason().find(c.reason), std::string::npos) << e.reason().substr(0, 200);
      EXPECT_LE(std::string(e.what()).size(), 300u);
    }
  }
}

// SIGHUP: a file that no longer reads keeps the running configuration and
// says why on stderr and in the system log; a good one is taken.
TEST(DaemonConfigTest, rereadingRefusesAHostileFileAndReportsIt) {
  const HostileDir dir;
  const std::string path = dir.file("daemon.json", goodConfig().dump());
  const VornDaemon::DaemonConfig running = VornDaemon::loadDaemonConfig(path);
  Syslog::MemorySink log;
  Oru::SwitchContext context;
  Oru::SwitchContext::Scope active(context);
  context.syslogSinkIs(&log);

  const struct {
    const char* name;
    std::function<void()> spoil;
    const char* reported;  // "<field>: <reason>" in the messages
  } cases[] = {
      {"duplicate key", [&] { dir.file("daemon.json", R"({"memberId":1,"memberId":2,"channels":[]})"); },
       "memberId: duplicate key \"memberId\""},
      {"replaced by a FIFO",
       [&] {
         std::filesystem::remove(path);
         dir.fifo("daemon.json");
       },
       "(file): is a FIFO, not a regular file"},
      {"nested 100,000 deep",
       [&] {
         std::filesystem::remove(path);
         dir.file("daemon.json", R"({"channels": [], "memberId": )" + ConfigTesting::nestedLists(100'000) + "}");
       },
       "memberId[0][0]"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    c.spoil();
    log.clear();
    std::ostringstream err;
    {
      const HangGuard guard(c.name);
      EXPECT_FALSE(VornDaemon::rereadDaemonConfig(running, err).has_value());
    }
    EXPECT_EQ(err.str().rfind("vornfabriclldpd: keeping the running configuration: " + path + ": " + c.reported, 0), 0u)
        << err.str();
    ASSERT_EQ(log.entries().size(), 1u);
    const Syslog::Entry& entry = log.entries()[0];
    EXPECT_EQ(entry.message, &VornDaemon::VORN_FABRIC_LLDP_CONFIG_REJECTED);
    EXPECT_EQ(entry.message->severity, 3) << "an error";
    EXPECT_EQ(std::count(Syslog::registeredMessages().begin(), Syslog::registeredMessages().end(), entry.message), 1);
    EXPECT_NE(entry.text.find(path), std::string::npos) << entry.text;
    EXPECT_NE(entry.text.find(c.reported), std::string::npos) << entry.text;
  }

  std::filesystem::remove(path);
  Json changed = goodConfig();
  changed["channels"][0]["members"].erase(1);
  dir.file("daemon.json", changed.dump());
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
      // Nothing set: a file of this process's own, not one in the current
      // directory.
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

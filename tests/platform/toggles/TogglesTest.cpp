#include "platform/toggles/Toggles.h"

#include "tests/platform/config/HostileFiles.h"
#include "tests/platform/toggles/ScopedToggleDir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

class TogglesTest : public ::testing::Test {
 protected:
  void writeFile(const std::string& name, const std::string& text) const { toggles_.write(name, text); }

  TogglesTesting::ScopedToggleDir toggles_;
  const std::filesystem::path& dir_ = toggles_.path();
};

TEST_F(TogglesTest, MissingFileOrKeyGivesTheDefault) {
  writeFile("lldp.json", R"({"FastStart": true, "SlowStart": false})");
  for (bool defaultValue : {false, true}) {
    EXPECT_EQ(Toggles::getToggleState("FastStart", "absent.json", defaultValue), defaultValue);
    EXPECT_EQ(Toggles::getToggleState("Unknown", "lldp.json", defaultValue), defaultValue);
    EXPECT_TRUE(Toggles::getToggleState("FastStart", "lldp.json", defaultValue));
    EXPECT_FALSE(Toggles::getToggleState("SlowStart", "lldp.json", defaultValue));
  }
  EXPECT_TRUE(Toggles::errors().empty());
  // Files are read from the current directory.
  std::filesystem::create_directory(dir_ / "other");
  std::ofstream(dir_ / "other" / "lldp.json") << R"({"FastStart": false})";
  Oru::SwitchContext::active()->toggles().directoryIs((dir_ / "other").string());
  EXPECT_EQ(Toggles::directory(), (dir_ / "other").string());
  EXPECT_FALSE(VornFabricLldp::getToggleState("FastStart", "lldp.json", true));
}

TEST_F(TogglesTest, MalformedFileIsReportedOnceAndGivesDefaults) {
  const char* malformed[] = {"", "{\"FastStart\": tru", "[true]", "true", "{\"FastStart\": true} trailing"};
  for (const char* text : malformed) {
    SCOPED_TRACE(testing::Message() << "file text: " << text);
    Oru::SwitchContext::active()->toggles().resetCache();
    writeFile("bad.json", text);
    testing::internal::CaptureStderr();
    EXPECT_TRUE(Toggles::getToggleState("FastStart", "bad.json", true));
    EXPECT_FALSE(Toggles::getToggleState("FastStart", "bad.json", false));
    EXPECT_FALSE(Toggles::getToggleState("Other", "bad.json", false));
    const std::string stderrText = testing::internal::GetCapturedStderr();
    const auto errors = Toggles::errors();
    ASSERT_EQ(errors.size(), 1u);
    const std::string path = (dir_ / "bad.json").string();
    EXPECT_NE(errors[0].find(path), std::string::npos) << errors[0];
    EXPECT_EQ(stderrText, errors[0] + "\n");
  }
  Oru::SwitchContext::active()->toggles().resetCache();
  EXPECT_TRUE(Toggles::errors().empty());
}

TEST_F(TogglesTest, NonBooleanValueIsReportedOnceForThatToggleOnly) {
  writeFile("lldp.json", R"({"FastStart": 1, "SlowStart": true})");
  testing::internal::CaptureStderr();
  EXPECT_FALSE(Toggles::getToggleState("FastStart", "lldp.json", false));
  EXPECT_TRUE(Toggles::getToggleState("FastStart", "lldp.json", true));
  EXPECT_TRUE(Toggles::getToggleState("SlowStart", "lldp.json", false));
  testing::internal::GetCapturedStderr();
  const auto errors = Toggles::errors();
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_NE(errors[0].find("FastStart"), std::string::npos) << errors[0];
}

TEST_F(TogglesTest, ValuesAreReadOnceUntilTheCacheIsReset) {
  writeFile("lldp.json", R"({"FastStart": true})");
  EXPECT_TRUE(Toggles::getToggleState("FastStart", "lldp.json", false));

  writeFile("lldp.json", R"({"FastStart": false, "SlowStart": true})");
  EXPECT_TRUE(Toggles::getToggleState("FastStart", "lldp.json", false));
  // The file was parsed before SlowStart existed, and is not parsed again.
  EXPECT_FALSE(Toggles::getToggleState("SlowStart", "lldp.json", false));

  Oru::SwitchContext::active()->toggles().resetCache();
  EXPECT_FALSE(Toggles::getToggleState("FastStart", "lldp.json", true));
  EXPECT_TRUE(Toggles::getToggleState("SlowStart", "lldp.json", false));
}

// A toggle file that is no small regular file, nests too deep or repeats a
// key is one clear error: every toggle in it takes its default.
TEST_F(TogglesTest, HostileFileIsReportedOnceAndGivesDefaults) {
  const ConfigTesting::HostileDir dir;
  struct Case {
    std::string name;
    std::string path;
    std::string reason;
  };
  std::vector<Case> cases;
  for (const auto& c : ConfigTesting::unusableFiles(dir)) cases.push_back({c.name, c.path, c.reason});
  const auto text = [&](const std::string& name, const std::string& content, const std::string& reason) {
    cases.push_back({name, dir.file(name + ".json", content), reason});
  };
  // "Other" alone would read as true; the file as a whole is refused.
  text("deep", R"({"Other": true, "FastStart": )" + ConfigTesting::nestedLists(100'000) + "}",
       "FastStart[0][0]");
  text("duplicate", R"({"Other": true, "FastStart": true, "FastStart": false})",
       "FastStart: duplicate key \"FastStart\"");
  text("duplicate-deep", R"({"Other": true, "Notes": {"a": [{"b": 1, "b": 2}]}})", "Notes.a[0].b: duplicate key");

  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Oru::SwitchContext::active()->toggles().resetCache();
    const std::filesystem::path path(c.path);
    Oru::SwitchContext::active()->toggles().directoryIs(path.parent_path().string());
    testing::internal::CaptureStderr();
    {
      const ConfigTesting::HangGuard guard("reading a toggle file");
      EXPECT_FALSE(Toggles::getToggleState("Other", path.filename().string(), false));
      EXPECT_TRUE(Toggles::getToggleState("FastStart", path.filename().string(), true));
    }
    const std::string stderrText = testing::internal::GetCapturedStderr();
    const auto errors = Toggles::errors();
    ASSERT_EQ(errors.size(), 1u) << stderrText;
    EXPECT_EQ(errors[0].rfind("toggle file " + c.path + ": ", 0), 0u) << errors[0];
    EXPECT_NE(errors[0].find(c.reason), std::string::npos) << errors[0].substr(0, 200);
    EXPECT_LE(errors[0].size(), 300u);
    EXPECT_EQ(stderrText, errors[0] + "\n");
  }
}

}  // namespace

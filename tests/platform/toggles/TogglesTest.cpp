#include "platform/toggles/Toggles.h"

#include "tests/platform/config/HostileFiles.h"
#include "tests/platform/toggles/ScopedToggleDir.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace {

using testing::HasSubstr;

class TogglesTest : public ::testing::Test {
 protected:
  static bool get(const char* name, const std::string& file, bool defaultValue) {
    return Toggles::getToggleState(name, file, defaultValue);
  }
  // Reads `file` afresh; what was reported goes to `err` and the errors are returned.
  static std::vector<std::string> readAfresh(const std::string& file, std::string& err, bool otherTrue = false) {
    Oru::SwitchContext::active()->toggles().resetCache();
    testing::internal::CaptureStderr();
    {
      const ConfigTesting::HangGuard guard("reading a toggle file");
      EXPECT_TRUE(get("FastStart", file, true));
      EXPECT_FALSE(get("FastStart", file, false));
      EXPECT_EQ(get("Other", file, false), otherTrue);
    }
    err = testing::internal::GetCapturedStderr();
    return Toggles::errors();
  }

  TogglesTesting::ScopedToggleDir toggles_;
  const std::filesystem::path& dir_ = toggles_.path();
};

TEST_F(TogglesTest, MissingFileOrKeyGivesTheDefaultAndValuesAreReadOnceUntilTheCacheIsReset) {
  toggles_.write("lldp.json", R"({"FastStart": true, "SlowStart": false})");
  for (bool defaultValue : {false, true}) {
    EXPECT_EQ(get("FastStart", "absent.json", defaultValue), defaultValue);
    EXPECT_EQ(get("Unknown", "lldp.json", defaultValue), defaultValue);
    EXPECT_TRUE(get("FastStart", "lldp.json", defaultValue));
    EXPECT_FALSE(get("SlowStart", "lldp.json", defaultValue));
  }
  EXPECT_TRUE(Toggles::errors().empty());
  toggles_.write("lldp.json", R"({"FastStart": false, "NewStart": true})");
  EXPECT_TRUE(get("FastStart", "lldp.json", false) &&
              !get("NewStart", "lldp.json", false));  // the file is not parsed again
  Oru::SwitchContext::active()->toggles().resetCache();
  EXPECT_TRUE(!get("FastStart", "lldp.json", true) && get("NewStart", "lldp.json", false));
}

TEST_F(TogglesTest, MalformedFileOrValueIsReportedOnceAndGivesDefaults) {
  for (const char* text : {"", "{\"FastStart\": tru", "[true]", "true", "{\"FastStart\": true} trailing"}) {
    toggles_.write("bad.json", text);
    std::string err;
    EXPECT_THAT(readAfresh("bad.json", err), testing::ElementsAre(HasSubstr((dir_ / "bad.json").string()))) << text;
    EXPECT_EQ(err, Toggles::errors().at(0) + "\n");
  }
  // A value that is no boolean is reported for that toggle only.
  toggles_.write("lldp.json", R"({"FastStart": 1, "Other": true})");
  std::string err;
  EXPECT_THAT(readAfresh("lldp.json", err, true), testing::ElementsAre(HasSubstr("FastStart")));
}

// A toggle file that is no small regular file, nests too deep or repeats a key is one clear error: every toggle in
// it takes its default.
TEST_F(TogglesTest, HostileFileIsReportedOnceAndGivesDefaults) {
  const ConfigTesting::HostileDir dir;
  std::vector<std::pair<std::string, std::string>> cases;  // path, reason
  for (const auto& c : ConfigTesting::unusableFiles(dir)) cases.emplace_back(c.path, c.reason);
  // "Other" alone would read as true; the file as a whole is refused.
  cases.emplace_back(
      dir.file("deep.json", R"({"Other": true, "FastStart": )" + ConfigTesting::nestedLists(100'000) + "}"),
      "FastStart[0][0]");
  for (const auto& [path, reason] : cases) {
    SCOPED_TRACE(path);
    Oru::SwitchContext::active()->toggles().directoryIs(std::filesystem::path(path).parent_path().string());
    std::string err;
    const auto errors = readAfresh(std::filesystem::path(path).filename().string(), err);
    ASSERT_EQ(errors.size(), 1u) << err;
    EXPECT_THAT(errors[0], testing::AllOf(testing::StartsWith("toggle file " + path + ": "), HasSubstr(reason),
                                          testing::SizeIs(testing::Le(300u))));
    EXPECT_EQ(err, errors[0] + "\n");
  }
}

}  // namespace

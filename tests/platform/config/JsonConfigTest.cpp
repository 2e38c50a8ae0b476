// Reading an operator's JSON file: whatever the path names and whatever the
// file holds, the reader returns promptly with the document or a FieldError
// naming the file, the field and the reason.

#include "platform/config/JsonConfig.h"

#include "tests/platform/config/HostileFiles.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace {

using Config::FieldError;
using ConfigTesting::HangGuard;
using ConfigTesting::HostileDir;

// The error `call` throws; a failure when it throws none.
FieldError refusal(const std::function<void()>& call) {
  try {
    call();
  } catch (const FieldError& e) {
    return e;
  }
  return ADD_FAILURE() << "accepted", FieldError("", "", "");
}

TEST(JsonConfigTest, fileThatIsNotASmallRegularFileIsRefusedUnread) {
  const HostileDir dir;
  for (const auto& c : ConfigTesting::unusableFiles(dir)) {
    SCOPED_TRACE(c.name);
    const HangGuard guard(c.name);
    const FieldError e = refusal([&] { Config::readFile(c.path); });
    EXPECT_EQ(std::pair(e.file(), e.field()), std::pair(c.path, std::string("(file)")));
    EXPECT_NE(e.reason().find(c.reason), std::string::npos) << e.what();
    // The same for a file that may be missing.
    EXPECT_EQ(refusal([&] { Config::readFileIfPresent(c.path); }).reason(), e.reason());
  }
}

TEST(JsonConfigTest, fileUpToTheLimitIsReadWholeAndAMissingOneIsAnErrorOnlyWhereRequired) {
  const HostileDir dir;
  EXPECT_EQ(Config::readFile(dir.sparse("limit.json", Config::kMaxFileBytes)).size(), Config::kMaxFileBytes);
  EXPECT_EQ(Config::readFileIfPresent(dir.file("empty.json", "")), std::string());
  const std::string path = (dir.path() / "absent.json").string();
  EXPECT_EQ(Config::readFileIfPresent(path), std::nullopt);
  const FieldError e = refusal([&] { Config::readFile(path); });
  EXPECT_EQ(std::pair(e.field(), e.reason()),
            std::pair(std::string("(file)"), std::string("cannot be read: No such file or directory")));
}

TEST(JsonConfigTest, documentsThatAreRefusedWhileParsing) {
  // field ending in "...": the start of a path cut in the middle.
  const struct { const char* name; std::string text, field, reason; } cases[] = {
      {"lists 100,000 deep", ConfigTesting::nestedLists(100'000), "[0][0][0][0][0][0][0][0]...",
       "nested deeper than 64 levels"},
      {"one level too deep", "{\"a\":" + ConfigTesting::nestedLists(64) + "}", "a[0][0][0]...",
       "nested deeper than 64 levels"},
      {"duplicate key at the top", R"({"memberId":0,"memberId":1})", "memberId", "duplicate key \"memberId\""},
      {"duplicate key deep inside", R"({"a":[{"b":1},{"c":{"d":1,"e":[],"d":2}}]})", "a[1].c.d", "duplicate key \"d\""},
      {"trailing text", "{} {}", "(document)", "not valid JSON: parse error at line 1, column 4"},
      // The parser quotes the token it last read: only its start is shown.
      {"unterminated string of a megabyte", std::string("[\"").append(1 << 20, 'a'), "(document)", "line 1"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const FieldError e = refusal([&] { Config::parseText(c.text, "f.json"); });
    EXPECT_EQ(e.file(), "f.json");
    const bool cut = c.field.ends_with("...") && c.field != e.field();  // a cut path may end anywhere in a key
    EXPECT_EQ(e.field().substr(0, cut ? c.field.size() - 3 : std::string::npos),
              cut ? c.field.substr(0, c.field.size() - 3) : c.field);
    EXPECT_LE(e.field().size(), 100u) << e.field();
    EXPECT_LE(e.reason().size(), 200u);
    EXPECT_NE(e.reason().find(c.reason), std::string::npos) << e.reason();
  }
  // At the limit, and keys repeated in different objects, are fine.
  EXPECT_EQ(Config::parseText(ConfigTesting::nestedLists(Config::kMaxDepth), "f.json").dump(),
            ConfigTesting::nestedLists(Config::kMaxDepth));
  EXPECT_EQ(Config::parseText(R"({"a":{"a":1},"b":{"a":[{"a":2},{"a":3}]}})", "f.json")["b"]["a"][1]["a"], 3);
}

// Builds [[...[0]...]] in code, `depth` lists deep, without copying it.
Config::Json deepList(size_t depth) {
  Config::Json j = 0;
  for (size_t i = 0; i < depth; ++i) j = Config::Json::array({std::move(j)});
  return j;
}

TEST(JsonConfigTest, shownValuesAreShortAndPrintable) {
  const struct { const char* name; Config::Json value; std::string shown; } cases[] = {
      {"string", "Ethernet1", "\"Ethernet1\""},
      {"object cut", Config::Json::parse(R"({"intf":"Port-Channel1","members":[{"intf":"Ethernet1"}]})"),
       R"({"intf":"Port-Channel1","members":[{"...)"},
      {"long string", std::string(1 << 20, 'x'), fmt::format("\"{}...", std::string(36, 'x'))},
      {"control characters", "a\nb\x01", R"("a\nb\u0001")"},
      {"list 100,000 deep", deepList(100'000), std::string(37, '[') + "..."},
  };
  for (const auto& c : cases) EXPECT_EQ(Config::shown(c.value), c.shown) << c.name;
}

TEST(JsonConfigTest, keysInFieldPathsAreShortAndPrintable) {
  const struct { std::string parent, key, path; } rows[] = {
      {"", "memberId", "memberId"},
      {"toggles", "bad\nkey\x7f", "toggles.bad?key?"},
      {"toggles", std::string(1 << 20, 'k'), "toggles." + std::string(37, 'k') + "..."},
  };
  for (const auto& r : rows) EXPECT_EQ(Config::Reader::sub(r.parent, r.key), r.path);
}

}  // namespace

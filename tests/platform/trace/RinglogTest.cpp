#include "platform/trace/Ringlog.h"

#include "platform/framework/Values.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <regex>
#include <string>
#include <vector>

namespace {

const Ringlog::Handle traceHandle{"Vorn::VornFabricLldp::RinglogTest"};

class RinglogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "ringlog-test-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    std::filesystem::remove_all(dir_);
  }
  std::string path(const std::string& name) const { return (dir_ / name).string(); }

  std::filesystem::path dir_;
  Oru::SwitchContext context_;
  Oru::SwitchContext::Scope active_{context_};
};

std::vector<Ringlog::Record> ofLevel(const std::vector<Ringlog::Record>& records, int level) {
  std::vector<Ringlog::Record> result;
  for (const auto& r : records) {
    if (r.level == level) {
      result.push_back(r);
    }
  }
  return result;
}

TEST_F(RinglogTest, RecordWrittenIsReadBackWithItsSource) {
  auto file = Ringlog::File::open(path("a.rl"));
  context_.traceFileIs(file.get());
  context_.traceClockIs([] { return 1234.5; });

  const int firstLine = __LINE__ + 1;
  TRACE3("member {} has id {}", "Ethernet3/1", 42);
  int secondLine = 0;
  {
    // The macro picks up whichever traceHandle is in scope.
    const Ringlog::Handle traceHandle{"Vorn::VornFabricLldp::Other"};
    secondLine = __LINE__ + 1;
    TRACE9("");
  }
  Ringlog::write(traceHandle, 5, "/src/a/b/Direct.cpp", "direct", 7, "{:04x}", 255);

  const auto records = Ringlog::readFile(file->path());
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[0].level, 3);
  EXPECT_EQ(records[0].handle, "Vorn::VornFabricLldp::RinglogTest");
  EXPECT_EQ(records[0].unit, "RinglogTest.cpp");
  EXPECT_EQ(records[0].function, "TestBody");
  EXPECT_EQ(records[0].line, firstLine);
  EXPECT_EQ(records[0].time, 1234.5);
  EXPECT_EQ(records[0].message, "member Ethernet3/1 has id 42");

  EXPECT_EQ(records[1].level, 9);
  EXPECT_EQ(records[1].handle, "Vorn::VornFabricLldp::Other");
  EXPECT_EQ(records[1].line, secondLine);
  EXPECT_EQ(records[1].message, "");

  EXPECT_EQ(records[2].handle, "Vorn::VornFabricLldp::RinglogTest");
  EXPECT_EQ(records[2].unit, "Direct.cpp");
  EXPECT_EQ(records[2].function, "direct");
  EXPECT_EQ(records[2].message, "00ff");
}

// Flooding one level must keep exactly its newest records, in order, and
// must not disturb any other level's ring.
TEST_F(RinglogTest, EachLevelWrapsAroundInItsOwnRing) {
  for (int flooded = 0; flooded < Ringlog::kLevels; ++flooded) {
    SCOPED_TRACE(testing::Message() << "flooded level " << flooded);
    auto file = Ringlog::File::open(path("wrap.rl"));
    context_.traceFileIs(file.get());
    for (int level = 0; level < Ringlog::kLevels; ++level) {
      for (int i = 0; i < 2; ++i) {
        Ringlog::write(traceHandle, level, __FILE__, __func__, __LINE__, "early {} {}", level, i);
      }
    }
    const int size = Ringlog::kRingSizes[flooded];
    const int count = 2 * size + 3;
    for (int i = 0; i < count; ++i) {
      Ringlog::write(traceHandle, flooded, __FILE__, __func__, __LINE__, "flood {}", i);
    }

    const auto records = Ringlog::readFile(file->path());
    const auto kept = ofLevel(records, flooded);
    ASSERT_EQ(kept.size(), static_cast<size_t>(size));
    for (int i = 0; i < size; ++i) {
      EXPECT_EQ(kept[i].message, "flood " + std::to_string(count - size + i));
    }
    for (int level = 0; level < Ringlog::kLevels; ++level) {
      if (level == flooded) {
        continue;
      }
      const auto others = ofLevel(records, level);
      ASSERT_EQ(others.size(), 2u) << "level " << level;
      EXPECT_EQ(others[0].message, "early " + std::to_string(level) + " 0");
      EXPECT_EQ(others[1].message, "early " + std::to_string(level) + " 1");
    }
    // Oldest first across levels: the early records precede the flood.
    ASSERT_EQ(records.size(), static_cast<size_t>(size + 2 * (Ringlog::kLevels - 1)));
    EXPECT_EQ(records.back().message, "flood " + std::to_string(count - 1));
    EXPECT_EQ(records[2 * (Ringlog::kLevels - 1)].message, "flood " + std::to_string(count - size));
  }
}

TEST_F(RinglogTest, LongTextsAreCutToTheSlot) {
  auto file = Ringlog::File::open(path("long.rl"));
  context_.traceFileIs(file.get());
  Ringlog::Capture capture;

  const std::string longMessage(1000, 'm');
  const std::string longUnit = "/deep/dir/" + std::string(100, 'u') + ".cpp";
  const std::string longFunction(200, 'f');
  Ringlog::write(traceHandle, 0, longUnit.c_str(), longFunction.c_str(), 1, "{}", longMessage);
  // 'x' then two-byte characters: the cut falls inside a character.
  std::string accented = "x";
  for (int i = 0; i < 200; ++i) {
    accented += "\xc3\xa9";
  }
  Ringlog::write(traceHandle, 0, "u.cpp", "f", 2, "{}", accented);

  const auto records = Ringlog::readFile(file->path());
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].message, longMessage.substr(0, Ringlog::kMessageCapacity));
  EXPECT_EQ(records[0].unit, (std::string(100, 'u') + ".cpp").substr(0, Ringlog::kUnitCapacity));
  EXPECT_EQ(records[0].function, longFunction.substr(0, Ringlog::kFunctionCapacity));
  EXPECT_EQ(records[1].message, accented.substr(0, Ringlog::kMessageCapacity - 1));
  // The capture is not bound by the slot size.
  ASSERT_EQ(capture.records().size(), 2u);
  EXPECT_EQ(capture.records()[0].message, longMessage);
}

TEST_F(RinglogTest, StatementsGoToTheCurrentFileOnly) {
  auto first = Ringlog::File::open(path("first.rl"));
  auto second = Ringlog::File::open(path("second.rl"));
  context_.traceFileIs(first.get());
  TRACE0("to first");
  context_.traceFileIs(second.get());
  TRACE0("to second");
  context_.traceFileIs(nullptr);
  TRACE0("to nowhere");

  const auto a = Ringlog::readFile(first->path());
  const auto b = Ringlog::readFile(second->path());
  ASSERT_EQ(a.size(), 1u);
  EXPECT_EQ(a[0].message, "to first");
  ASSERT_EQ(b.size(), 1u);
  EXPECT_EQ(b[0].message, "to second");
}

TEST_F(RinglogTest, RecordsSurviveAProcessThatDiesWithoutCleanup) {
  const std::string file = path("crash.rl");
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    auto f = Ringlog::File::open(file);
    context_.traceFileIs(f.get());
    TRACE1("last words {}", 7);
    std::_Exit(0);  // no destructor, no msync
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  const auto records = Ringlog::readFile(file);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].message, "last words 7");
}

// Rewrites part of a trace file in place, as a crash in the middle of a
// write would leave it.
template <class Change>
void patch(const std::string& file, std::size_t offset, Change change) {
  std::fstream f(file, std::ios::in | std::ios::out | std::ios::binary);
  char bytes[Ringlog::detail::kSiteBytes];
  f.seekg(static_cast<std::streamoff>(offset));
  f.read(bytes, sizeof(bytes));
  change(bytes);
  f.seekp(static_cast<std::streamoff>(offset));
  f.write(bytes, sizeof(bytes));
}

std::size_t slotOffset(int level, int index) {
  return Ringlog::detail::kSlotsOffset + (Ringlog::detail::kRingStarts[level] + index) * Ringlog::detail::kSlotBytes;
}

// A record is skipped, never printed as garbage, when its write did not
// finish: sequence still cleared, call site not yet described, or arguments
// that do not add up to what the call site says.
TEST_F(RinglogTest, TornRecordsAreSkipped) {
  using namespace Ringlog::detail;
  struct Case {
    const char* name;
    std::size_t offset;  // of the part torn
    void (*tear)(char*);
  };
  const Case cases[] = {
      {"sequence cleared", slotOffset(4, 1), [](char* slot) { std::memset(slot, 0, sizeof(std::uint64_t)); }},
      {"payload short of its arguments", slotOffset(4, 1),
       [](char* slot) {
         SlotHead head;
         std::memcpy(&head, slot, sizeof(head));
         head.payloadBytes = 5;
         std::memcpy(slot, &head, sizeof(head));
       }},
      {"payload longer than its arguments", slotOffset(4, 1),
       [](char* slot) {
         SlotHead head;
         std::memcpy(&head, slot, sizeof(head));
         head.payloadBytes = static_cast<std::uint16_t>(head.payloadBytes + 3);
         std::memcpy(slot, &head, sizeof(head));
       }},
      {"string length past the payload", slotOffset(4, 1),
       [](char* slot) {
         const std::uint16_t length = 0x7fff;
         std::memcpy(slot + sizeof(SlotHead) + 8, &length, sizeof(length));
       }},
      {"payload past the slot", slotOffset(4, 1),
       [](char* slot) {
         SlotHead head;
         std::memcpy(&head, slot, sizeof(head));
         head.payloadBytes = 0xffff;
         std::memcpy(slot, &head, sizeof(head));
       }},
      {"site not yet described", kSitesOffset + 1 * kSiteBytes, [](char* site) { std::memset(site, 0, 4); }},
      {"site with an unknown argument kind", kSitesOffset + 1 * kSiteBytes,
       [](char* site) { site[offsetof(SiteEntry, kinds)] = 77; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto file = Ringlog::File::open(path("torn.rl"));
    context_.traceFileIs(file.get());
    TRACE4("whole {}", 1);                          // slot 0
    TRACE4("torn {} {}", 2, std::string("text"));  // slot 1
    TRACE4("whole {}", 3);                          // slot 2
    context_.traceFileIs(nullptr);
    // Sites are numbered per process: find the torn statement's own entry.
    std::size_t offset = c.offset;
    if (offset >= kSitesOffset && offset < kSlotsOffset) {
      SlotHead head;
      std::ifstream in(path("torn.rl"), std::ios::binary);
      in.seekg(static_cast<std::streamoff>(slotOffset(4, 1)));
      in.read(reinterpret_cast<char*>(&head), sizeof(head));
      offset = kSitesOffset + head.site * kSiteBytes;
    }
    patch(path("torn.rl"), offset, c.tear);
    std::vector<std::string> read;
    for (const auto& record : Ringlog::readFile(path("torn.rl"))) {
      read.push_back(record.message);
    }
    EXPECT_EQ(read, (std::vector<std::string>{"whole 1", "whole 3"}));
  }
}

// SIGKILL lands in the middle of statements, again and again: every record
// the file keeps is one the child made, whole.
TEST_F(RinglogTest, KilledWriterLeavesOnlyWholeRecords) {
  const std::regex whole(R"(flood (\d+) of Et3/1 at ([a-z]+) \1)");
  for (int round = 0; round < 5; ++round) {
    SCOPED_TRACE(testing::Message() << "round " << round);
    const std::string file = path("killed.rl");
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      auto f = Ringlog::File::open(file);
      context_.traceFileIs(f.get());
      const Kivo::IntfId intf("Ethernet3/1");
      const char* words[] = {"alpha", "beta", "gamma"};
      for (std::uint64_t i = 0;; ++i) {
        TRACE6("flood {} of {} at {} {}", i, intf, words[i % 3], i);
        TRACE9("flood {} of {} at {} {}", i, intf, std::string(words[(i + 1) % 3]), i);
        if (i == 1000) {
          (void)!write(ready[1], "x", 1);
        }
      }
    }
    close(ready[1]);
    char x;
    ASSERT_EQ(read(ready[0], &x, 1), 1);
    close(ready[0]);
    usleep(static_cast<useconds_t>(1000 * round));
    kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    const auto records = Ringlog::readFile(file);
    EXPECT_GE(records.size(), static_cast<std::size_t>(Ringlog::kRingSizes[6] + Ringlog::kRingSizes[9] - 2));
    for (const auto& r : records) {
      ASSERT_TRUE(std::regex_match(r.message, whole)) << r.message;
    }
  }
}

// Past the site table's capacity statements are still stored, formatted,
// without their source. Run in a child: sites are numbered per process.
TEST_F(RinglogTest, StatementsBeyondTheSiteTableAreStoredFormatted) {
  const std::string file = path("sites.rl");
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    auto f = Ringlog::File::open(file);
    context_.traceFileIs(f.get());
    for (int line = 1; line <= static_cast<int>(Ringlog::kMaxSites) + 10; ++line) {
      Ringlog::write(traceHandle, 0, "Many.cpp", "many", line, "statement {}", line);
    }
    std::_Exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  const auto records = Ringlog::readFile(file);
  ASSERT_EQ(records.size(), static_cast<std::size_t>(Ringlog::kRingSizes[0]));
  int line = static_cast<int>(Ringlog::kMaxSites) + 10 - Ringlog::kRingSizes[0];
  for (const auto& r : records) {
    ++line;
    EXPECT_EQ(r.message, fmt::format("statement {}", line));
    // Sites the parent used before the fork count too: the table fills up
    // somewhere before the last statement.
    if (r.unit == "?") {
      EXPECT_EQ(r.function, "?");
      EXPECT_EQ(r.line, 0);
    } else {
      EXPECT_EQ(r.unit, "Many.cpp");
      EXPECT_EQ(r.line, line);
    }
  }
  EXPECT_EQ(records.back().unit, "?");
}

TEST_F(RinglogTest, ReadingRefusesFilesThatAreNotWholeTraceFiles) {
  {
    auto file = Ringlog::File::open(path("good.rl"));
    context_.traceFileIs(file.get());
    TRACE0("x");
    context_.traceFileIs(nullptr);
  }
  const auto good = std::filesystem::file_size(path("good.rl"));
  const auto copyWith = [&](const std::string& name, auto change) {
    std::filesystem::copy_file(path("good.rl"), path(name));
    change(path(name));
    return path(name);
  };
  const std::vector<std::string> bad = {
      path("missing.rl"),
      copyWith("empty.rl", [](const std::string& p) { std::filesystem::resize_file(p, 0); }),
      copyWith("short.rl", [&](const std::string& p) { std::filesystem::resize_file(p, good / 2); }),
      copyWith("long.rl", [&](const std::string& p) { std::filesystem::resize_file(p, good + 1); }),
      copyWith("foreign.rl", [](const std::string& p) { std::ofstream(p) << "just some text\n"; }),
      copyWith("version.rl", [](const std::string& p) {
        std::fstream f(p, std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(8);
        f.put('\x7f');
      }),
  };
  for (const auto& p : bad) {
    try {
      Ringlog::readFile(p);
      ADD_FAILURE() << p << " was accepted";
    } catch (const std::runtime_error& e) {
      EXPECT_NE(std::string(e.what()).find(p), std::string::npos) << e.what();
    }
  }
  EXPECT_EQ(Ringlog::readFile(path("good.rl")).size(), 1u);
}

TEST_F(RinglogTest, CaptureRecordsStatementsWithoutAFile) {
  context_.traceClockIs([] { return 5.0; });
  Ringlog::Capture outer;
  TRACE2("one {}", 1);
  {
    Ringlog::Capture inner;
    TRACE4("two");
    ASSERT_EQ(inner.messages(), std::vector<std::string>{"two"});
  }
  TRACE7("three");

  ASSERT_EQ(outer.messages(), (std::vector<std::string>{"one 1", "three"}));
  const Ringlog::Record& r = outer.records()[0];
  EXPECT_EQ(r.level, 2);
  EXPECT_EQ(r.handle, "Vorn::VornFabricLldp::RinglogTest");
  EXPECT_EQ(r.unit, "RinglogTest.cpp");
  EXPECT_EQ(r.function, "TestBody");
  EXPECT_EQ(r.time, 5.0);
  EXPECT_TRUE(outer.contains("ne 1"));
  EXPECT_TRUE(outer.contains(7, "three"));
  EXPECT_FALSE(outer.contains(6, "three"));
  EXPECT_FALSE(outer.contains("two"));
  outer.clear();
  EXPECT_TRUE(outer.records().empty());
}

class EnvironmentVariable {
 public:
  EnvironmentVariable(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) {
      old_ = old;
    }
    value ? setenv(name, value, 1) : unsetenv(name);
  }
  ~EnvironmentVariable() { old_ ? setenv(name_, old_->c_str(), 1) : unsetenv(name_); }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

TEST(RinglogFileName, FollowsRlfileAndRinglogdir) {
  const std::string pid = std::to_string(getpid());
  struct Case {
    const char* rlfile;
    const char* ringlogdir;
    std::string expected;
  };
  const Case cases[] = {
      {nullptr, nullptr, "/tmp/VornFabricLldp-" + pid + ".rl"},
      {"", "", "VornFabricLldp.rl"},
      {nullptr, "/var/trace", "/var/trace/VornFabricLldp.rl"},
      {"", "/var/trace/", "/var/trace/VornFabricLldp.rl"},
      {"/x/my.rl", nullptr, "/x/my.rl"},
      {"/x/my.rl", "/var/trace", "/x/my.rl"},
      {"relative.rl", "", "relative.rl"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "RLFILE=" << (c.rlfile ? c.rlfile : "(unset)")
                                    << " RINGLOGDIR=" << (c.ringlogdir ? c.ringlogdir : "(unset)"));
    EXPECT_EQ(Ringlog::traceFileName(c.rlfile, c.ringlogdir, getpid()), c.expected);
    EnvironmentVariable rlfile("RLFILE", c.rlfile);
    EnvironmentVariable ringlogdir("RINGLOGDIR", c.ringlogdir);
    EXPECT_EQ(Ringlog::defaultFileName(), c.expected);
  }
}

TEST_F(RinglogTest, InitializeCarriesOnWithoutAFileItCannotOpen) {
  {
    EnvironmentVariable rlfile("RLFILE", path("no/such/dir/x.rl").c_str());
    testing::internal::CaptureStderr();
    EXPECT_NO_THROW(Ringlog::initialize());
    const std::string stderrText = testing::internal::GetCapturedStderr();
    EXPECT_EQ(Ringlog::current(), nullptr);
    EXPECT_NE(stderrText.find(path("no/such/dir/x.rl")), std::string::npos) << stderrText;
  }
  EnvironmentVariable rlfile("RLFILE", path("agent.rl").c_str());
  Ringlog::initialize();
  ASSERT_NE(Ringlog::current(), nullptr);
  EXPECT_EQ(Ringlog::current()->path(), path("agent.rl"));
  TRACE6("started");
  EXPECT_EQ(Ringlog::readFile(path("agent.rl")).at(0).message, "started");
}

}  // namespace

#include "platform/trace/Ringlog.h"
#include "tests/ScratchDir.h"

#include "platform/framework/Values.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <regex>

namespace {

using Strings = std::vector<std::string>;
using testing::FieldsAre;
const Ringlog::Handle traceHandle{"Vorn::VornFabricLldp::RinglogTest"};

class RinglogTest : public ::testing::Test {
 protected:
  std::string path(const std::string& name) const { return dir_.file(name); }
  // A fresh file `name`, made the current trace file.
  std::unique_ptr<Ringlog::File> traceTo(const std::string& name) {
    auto file = Ringlog::File::open(path(name));
    context_.traceFileIs(file.get());
    return file;
  }

  TestSupport::ScratchDir dir_{"ringlog-test"};
  Oru::SwitchContext context_;
  Oru::SwitchContext::Scope active_{context_};
};

Strings messages(const std::vector<Ringlog::Record>& records, int level = -1) {
  Strings out;
  for (const auto& r : records) level < 0 || r.level == level ? out.push_back(r.message) : void();
  return out;
}

// Runs `body` in a child process (sites are numbered per process) and waits for it to end by itself.
void inChild(const std::function<void()>& body) {
  const pid_t child = fork();
  if (child == 0) body(), std::_Exit(0);  // no destructor, no msync
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

auto record(int level, std::string handle, std::string unit, std::string function, int line, std::string message) {
  return FieldsAre(level, handle, unit, function, line, 1234.5, message);
}

TEST_F(RinglogTest, RecordWrittenIsReadBackWithItsSourceFromTheCurrentFileOnly) {
  auto file = traceTo("a.rl");
  auto other = Ringlog::File::open(path("b.rl"));
  context_.traceClockIs([] { return 1234.5; });
  const int firstLine = __LINE__ + 1;
  TRACE3("member {} has id {}", "Ethernet3/1", 42);
  Ringlog::write(traceHandle, 5, "/src/a/b/Direct.cpp", "direct", 7, "{:04x}", 255);
  context_.traceFileIs(other.get());
  TRACE0("to other");
  std::vector<std::tuple<int, std::string, std::string, std::string, int, double, std::string>> seen;
  for (const auto& r : Ringlog::readFile(file->path()))
    seen.emplace_back(r.level, r.handle, r.unit, r.function, r.line, r.time, r.message);
  EXPECT_THAT(seen, testing::ElementsAre(
                        record(3, "Vorn::VornFabricLldp::RinglogTest", "RinglogTest.cpp", "TestBody", firstLine,
                               "member Ethernet3/1 has id 42"),
                        record(5, "Vorn::VornFabricLldp::RinglogTest", "Direct.cpp", "direct", 7, "00ff")));
  EXPECT_EQ(messages(Ringlog::readFile(other->path())), Strings{"to other"});
}

// Flooding one level must keep exactly its newest records, in order, and must not disturb any other level's ring.
TEST_F(RinglogTest, EachLevelWrapsAroundInItsOwnRing) {
  for (int flooded = 0; flooded < Ringlog::kLevels; ++flooded) {
    SCOPED_TRACE(testing::Message() << "flooded level " << flooded);
    auto file = traceTo("wrap.rl");
    for (int level = 0; level < Ringlog::kLevels; ++level) {
      for (int i = 0; i < 2; ++i)
        Ringlog::write(traceHandle, level, __FILE__, __func__, __LINE__, "early {} {}", level, i);
    }
    const int size = Ringlog::kRingSizes[flooded], count = 2 * size + 3;
    for (int i = 0; i < count; ++i) Ringlog::write(traceHandle, flooded, __FILE__, __func__, __LINE__, "flood {}", i);
    const auto records = Ringlog::readFile(file->path());
    Strings newest;
    for (int i = count - size; i < count; ++i) newest.push_back(fmt::format("flood {}", i));
    EXPECT_EQ(messages(records, flooded), newest);
    for (int level = 0; level < Ringlog::kLevels; ++level) {
      if (level == flooded) continue;
      EXPECT_THAT(messages(records, level),
                  testing::ElementsAre(fmt::format("early {} 0", level), fmt::format("early {} 1", level)));
    }
    // Oldest first across levels: the early records precede the flood.
    ASSERT_EQ(records.size(), static_cast<size_t>(size + 2 * (Ringlog::kLevels - 1)));
    EXPECT_EQ(records[2 * (Ringlog::kLevels - 1)].message, newest.front());
  }
}

TEST_F(RinglogTest, LongTextsAreCutToTheSlot) {
  auto file = traceTo("long.rl");
  const std::string longMessage(1000, 'm'), longFunction(200, 'f'), unit = std::string(100, 'u') + ".cpp";
  Ringlog::write(traceHandle, 0, ("/deep/dir/" + unit).c_str(), longFunction.c_str(), 1, "{}", longMessage);
  std::string accented = "x";  // then two-byte characters: the cut falls inside a character
  for (int i = 0; i < 200; ++i) accented += "\xc3\xa9";
  Ringlog::write(traceHandle, 0, "u.cpp", "f", 2, "{}", accented);
  using namespace Ringlog;
  EXPECT_THAT(
      readFile(file->path()),
      testing::ElementsAre(testing::AllOf(testing::Field(&Record::message, longMessage.substr(0, kMessageCapacity)),
                                          testing::Field(&Record::unit, unit.substr(0, kUnitCapacity)),
                                          testing::Field(&Record::function, longFunction.substr(0, kFunctionCapacity))),
                           testing::Field(&Record::message, accented.substr(0, kMessageCapacity - 1))));
}

template <int kDelta>
void payloadBytesOff(char* slot) {
  Ringlog::detail::SlotHead head;
  std::memcpy(&head, slot, sizeof(head));
  head.payloadBytes = kDelta == 0 ? 0xffff : kDelta < 0 ? 5 : static_cast<std::uint16_t>(head.payloadBytes + kDelta);
  std::memcpy(slot, &head, sizeof(head));
}

// A record is skipped, never printed as garbage, when its write did not finish: sequence still cleared, call site
// not yet described, or arguments that do not add up to what the call site says.
TEST_F(RinglogTest, TornRecordsAreSkipped) {
  using namespace Ringlog::detail;
  const struct { bool site; void (*tear)(char*); } cases[] = {  // site: the torn part is the site entry, not the slot
      {false, [](char* slot) { std::memset(slot, 0, sizeof(std::uint64_t)); }},  // sequence cleared
      {false, payloadBytesOff<-1>},                                               // short of its arguments
      {true, [](char* site) { std::memset(site, 0, 4); }},                        // not yet described
  };
  for (const auto& c : cases) {
    auto file = traceTo("torn.rl");
    TRACE4("whole {}", 1);                          // slot 0
    TRACE4("torn {} {}", 2, std::string("text"));  // slot 1
    TRACE4("whole {}", 3);                          // slot 2
    context_.traceFileIs(nullptr);
    // Rewrites part of the file in place, as a crash in the middle of a write would leave it.
    std::fstream f(path("torn.rl"), std::ios::in | std::ios::out | std::ios::binary);
    std::size_t offset = kSlotsOffset + (kRingStarts[4] + 1) * kSlotBytes;
    if (c.site) {  // sites are numbered per process: find the torn statement's own entry
      SlotHead head;
      f.seekg(static_cast<std::streamoff>(offset));
      f.read(reinterpret_cast<char*>(&head), sizeof(head));
      offset = kSitesOffset + head.site * kSiteBytes;
    }
    char bytes[kSiteBytes];
    f.seekg(static_cast<std::streamoff>(offset));
    f.read(bytes, sizeof(bytes));
    c.tear(bytes);
    f.seekp(static_cast<std::streamoff>(offset));
    f.write(bytes, sizeof(bytes));
    f.close();
    EXPECT_EQ(messages(Ringlog::readFile(path("torn.rl"))), (Strings{"whole 1", "whole 3"})) << (&c - cases);
  }
}

// SIGKILL lands in the middle of statements, again and again: every record the file keeps is one the child made,
// whole.
TEST_F(RinglogTest, KilledWriterLeavesOnlyWholeRecords) {
  const std::regex whole(R"(flood (\d+) of Et3/1 at ([a-z]+) \1)");
  for (int round = 0; round < 5; ++round) {
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t child = fork();
    if (child == 0) {
      auto f = traceTo("killed.rl");
      const Kivo::IntfId intf("Ethernet3/1");
      const char* words[] = {"alpha", "beta", "gamma"};
      for (std::uint64_t i = 0;; ++i) {
        TRACE6("flood {} of {} at {} {}", i, intf, words[i % 3], i);
        TRACE9("flood {} of {} at {} {}", i, intf, std::string(words[(i + 1) % 3]), i);
        if (i == 1000) (void)!write(ready[1], "x", 1);
      }
    }
    close(ready[1]);
    char x;
    ASSERT_EQ(read(ready[0], &x, 1), 1);
    close(ready[0]);
    usleep(static_cast<useconds_t>(1000 * round));
    kill(child, SIGKILL);
    ASSERT_EQ(waitpid(child, nullptr, 0), child);
    const auto records = Ringlog::readFile(path("killed.rl"));
    EXPECT_GE(records.size(), static_cast<std::size_t>(Ringlog::kRingSizes[6] + Ringlog::kRingSizes[9] - 2));
    for (const auto& r : records) ASSERT_TRUE(std::regex_match(r.message, whole)) << r.message;
  }
}

TEST_F(RinglogTest, ReadingRefusesFilesThatAreNotWholeTraceFiles) {
  inChild([&] { auto file = traceTo("good.rl"); TRACE0("x"); });
  const auto good = std::filesystem::file_size(path("good.rl"));
  // A copy of the good file cut to `size` bytes, with `text` written at `at`.
  const auto copyWith = [&](const std::string& name, uintmax_t size, long at = 0, const std::string& text = "") {
    std::filesystem::copy_file(path("good.rl"), path(name));
    std::filesystem::resize_file(path(name), size);
    std::fstream(path(name), std::ios::in | std::ios::out | std::ios::binary).seekp(at) << text;
    return path(name);
  };
  for (const auto& p : {path("missing.rl"), copyWith("short.rl", good / 2), copyWith("version.rl", good, 8, "\x7f")}) {
    EXPECT_THAT([&] { Ringlog::readFile(p); }, testing::ThrowsMessage<std::runtime_error>(testing::HasSubstr(p)));
  }
  EXPECT_EQ(Ringlog::readFile(path("good.rl")).size(), 1u);
}

// Sets (or, given nullptr, unsets) an environment variable for its lifetime.
struct EnvironmentVariable {
  EnvironmentVariable(const char* name, const char* value) : name(name) {
    if (const char* was = std::getenv(name)) old = was;
    value ? setenv(name, value, 1) : unsetenv(name);
  }
  ~EnvironmentVariable() { old ? setenv(name, old->c_str(), 1) : unsetenv(name); }
  const char* name;
  std::optional<std::string> old;
};

TEST(RinglogFileName, FollowsRlfileAndRinglogdir) {
  const std::string pid = std::to_string(getpid());
  const struct { const char *rlfile, *ringlogdir; std::string expected; } cases[] = {
      {nullptr, nullptr, "/tmp/VornFabricLldp-" + pid + ".rl"},
      {"/x/my.rl", "/var/trace", "/x/my.rl"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Ringlog::traceFileName(c.rlfile, c.ringlogdir, getpid()), c.expected);
    EnvironmentVariable rlfile("RLFILE", c.rlfile), ringlogdir("RINGLOGDIR", c.ringlogdir);
    EXPECT_EQ(Ringlog::defaultFileName(), c.expected);
  }
}

TEST_F(RinglogTest, InitializeCarriesOnWithoutAFileItCannotOpen) {
  for (std::string name : {"no/such/dir/x.rl", "agent.rl"}) {
    EnvironmentVariable rlfile("RLFILE", path(name).c_str());
    testing::internal::CaptureStderr();
    Ringlog::initialize();
    EXPECT_EQ(testing::internal::GetCapturedStderr().find(path(name)) != std::string::npos, name != "agent.rl");
    EXPECT_EQ(Ringlog::current() != nullptr, name == "agent.rl");
  }
  EXPECT_EQ(Ringlog::current()->path(), path("agent.rl"));
  TRACE6("started");
  EXPECT_EQ(Ringlog::readFile(path("agent.rl")).at(0).message, "started");
}

}  // namespace

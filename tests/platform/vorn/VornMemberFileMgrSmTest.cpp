#include "platform/vorn/VornMemberFileMgrSm.h"

#include "platform/scheduler/SwitchContext.h"
#include "platform/trace/Ringlog.h"
#include "tests/ScratchDir.h"
#include "tests/platform/config/HostileFiles.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace {

namespace fs = std::filesystem;
using Kivo::IntfId;
using testing::HasSubstr;

const std::string kPath = "/mnt/flash/vorn-config";

class VornMemberFileMgrSmTest : public ::testing::Test {
 protected:
  void SetUp() override {
    context_.flashRootIs(root.string());
    config->bcConfigIs(IntfId("Port-Channel1"))->memberIntfIs(IntfId("Ethernet1"));
  }

  fs::path file() const { return root / "mnt/flash/vorn-config"; }
  Zem::Json fileJson() const { return Zem::Json::parse(std::ifstream(file())); }

  Oru::SwitchContext context_;
  Oru::SwitchContext::Scope active_{context_};
  TestSupport::ScratchDir scratch_{"flash-test"};
  const fs::path root = scratch_.path();
  Velto::Ptr<Vorn::MemberConfig> config = Velto::make<Vorn::MemberConfig>("member1");
};

TEST_F(VornMemberFileMgrSmTest, WritesTheConfigurationUnderTheFlashRootAtOnceAndNotAgainWhenUpToDate) {
  auto sm = Vorn::vornMemberFileMgrSmFactory(kPath, config);
  EXPECT_EQ(std::tuple(sm->fileName(), fileJson(), sm->writeCount()),
            std::tuple(file().string(), Zem::toJson(*config), 1u));
  // Only the file: the temporary one was renamed over it.
  EXPECT_EQ(std::distance(fs::directory_iterator(root / "mnt/flash"), {}), 1);
  // Without a scheduler each change is written at once.
  config->bcConfig(IntfId("Po1"))->memberIntfIs(IntfId("Ethernet2"));
  config->bcConfig(IntfId("Po1"))->memberIntfDel(IntfId("Ethernet2"));
  EXPECT_EQ(sm->writeCount(), 3u);
  const auto written = fs::last_write_time(file());
  EXPECT_EQ(Vorn::vornMemberFileMgrSmFactory(kPath, config)->writeCount(), 0u);
  EXPECT_EQ(fs::last_write_time(file()), written);
}

TEST_F(VornMemberFileMgrSmTest, ChangesAreCoalescedThroughTheScheduler) {
  auto clock = Velto::make<Oru::VirtualScheduler>(10.0);
  context_.schedulerIs(clock.get());
  auto sm = Vorn::vornMemberFileMgrSmFactory(kPath, config);
  auto bc = config->bcConfigIs(IntfId("Port-Channel2"));
  bc->memberIntfIs(IntfId("Ethernet5"))->lagGroupNameIs("g1"), bc->peerMemberIdIs(Vorn::MemberId(2));
  EXPECT_EQ(std::pair(sm->writePending(), sm->writeCount()), std::pair(true, 1ul));
  clock->runReady();
  EXPECT_EQ(std::pair(sm->writeCount(), fileJson()), std::pair(2ul, Zem::toJson(*config)));
  // A change undone before the write leaves the file as it is.
  bc->peerMemberIdIs(Vorn::MemberId(3)), bc->peerMemberIdIs(Vorn::MemberId(2));
  clock->runReady();
  EXPECT_EQ(sm->writeCount(), 2u);
  // A write still pending when the state machine goes is done then.
  config->bcConfigDel(IntfId("Port-Channel2"));
  sm = nullptr;
  EXPECT_EQ(fileJson(), Zem::toJson(*config));
}

TEST_F(VornMemberFileMgrSmTest, WriteFailureIsReportedOnceAndTheAgentGoesOn) {
  std::ofstream(root / "mnt") << "in the way";  // a file: the flash directory cannot be made
  Ringlog::Capture trace;
  testing::internal::CaptureStderr();
  auto sm = Vorn::vornMemberFileMgrSmFactory(kPath, config);
  config->bcConfigIs(IntfId("Port-Channel2"));
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(sm->writeCount(), 0u);
  EXPECT_THAT(sm->lastError(), HasSubstr((root / "mnt").string()));
  // Once, for the two failed attempts.
  EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
  EXPECT_THAT(err, HasSubstr("member configuration not saved"));
  // Once the way is clear, the next change writes the whole configuration.
  fs::remove(root / "mnt");
  config->bcConfigIs(IntfId("Port-Channel3"));
  EXPECT_EQ(std::tuple(sm->lastError(), sm->writeCount(), fileJson()), std::tuple("", 1u, Zem::toJson(*config)));
  EXPECT_TRUE(trace.contains(2, "written again after an error"));
}

// Whatever stands at the file's place is replaced by the configuration: the agent neither waits on a FIFO there nor
// reads a device without end before it can write.
TEST_F(VornMemberFileMgrSmTest, WhatStandsInTheFilesPlaceIsReplacedWithoutBeingRead) {
  const std::pair<const char*, std::function<void()>> rows[] = {
      {"FIFO", [&] { ASSERT_EQ(::mkfifo(file().c_str(), 0600), 0); }},
      {"link to /dev/zero", [&] { fs::create_symlink("/dev/zero", file()); }},
      {"a file far larger than a configuration", [&] { std::ofstream(file()) << "{}", fs::resize_file(file(), 1u << 30); }},
  };
  for (const auto& [what, place] : rows) {
    SCOPED_TRACE(what);
    fs::create_directories(file().parent_path());
    place();
    {
      ConfigTesting::HangGuard guard(what);
      EXPECT_EQ(Vorn::vornMemberFileMgrSmFactory(kPath, config)->writeCount(), 1u);
    }
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(file())));
    EXPECT_EQ(fileJson(), Zem::toJson(*config));
    fs::remove(file());
  }
}

// A link at the temporary name (planted by someone who can write the flash directory) is replaced, not written
// through to the file it names.
TEST_F(VornMemberFileMgrSmTest, ALinkAtTheTemporaryNameIsNotFollowed) {
  TestSupport::ScratchDir elsewhere;
  elsewhere.write("victim", "untouched");
  fs::create_directories(file().parent_path());
  fs::create_symlink(elsewhere.file("victim"), file().string() + ".tmp");
  EXPECT_EQ(Vorn::vornMemberFileMgrSmFactory(kPath, config)->writeCount(), 1u);
  EXPECT_EQ(elsewhere.read("victim"), "untouched");
  EXPECT_EQ(fileJson(), Zem::toJson(*config));
  EXPECT_FALSE(fs::exists(fs::symlink_status(file().string() + ".tmp")));
}

}  // namespace

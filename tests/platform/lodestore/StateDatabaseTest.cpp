#include "platform/lodestore/BackupFile.h"
#include "platform/lodestore/EntityManager.h"
#include "platform/lodestore/StateDatabase.h"
#include "platform/records/VornRecords.h"
#include "platform/trace/Ringlog.h"
#include "tests/platform/config/HostileFiles.h"
#include "tests/platform/lodestore/LodestoreTestUtil.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace {

using Lodestore::MountStatus;
using LodestoreTest::ScratchDir;
using LodestoreTest::Switch;
using testing::HasSubstr;
using Vorn::MemberId;

// Closes a group with waiting; its errors printed on stderr go to `err`.
MountStatus closeGroup(Lodestore::MountGroup& group, std::string* err = nullptr, const char* what = "test") {
  testing::internal::CaptureStderr();
  const MountStatus s = group.doClose(true, what, 10.0);
  const std::string text = testing::internal::GetCapturedStderr();
  if (err) *err = text;
  return s;
}

std::string errors(const Lodestore::MountGroup& group) { return fmt::format("{}", fmt::join(group.errors(), "; ")); }

TEST(LodestorePathTest, PathsAndBackupFileNames) {
  using Names = std::vector<std::string>;
  const struct { std::string path; Names names; std::string file; } rows[] = {
      {"/backup/vorn/lldp/context", {"backup", "vorn", "lldp", "context"}, "vorn.lldp.context.json"},
      {"/backup/a.b", {"backup", "a.b"}, "a%2Eb.json"},  // a '.' in a name is no separator
      {"/backup/My Agent/x%", {"backup", "My Agent", "x%"}, "My%20Agent.x%25.json"},
  };
  for (auto& r : rows) {
    EXPECT_EQ(std::pair(Lodestore::pathNames(r.path), Lodestore::StateDatabase::backupFileName(r.path)),
              std::pair(r.names, r.file));
  }
}

TEST(LodestoreTreeTest, EntitiesAreMadeAndFoundByPath) {
  Switch sw;
  auto config = sw.db->createEntityAt("vorn/memberConfig/1", "Vorn::MemberConfig");
  ASSERT_TRUE(config);
  for (auto found : {sw.db->entityAt("/vorn/memberConfig/1"), sw.em->getEntity("vorn/memberConfig/1"),
                     sw.db->createEntityAt("vorn/memberConfig/1", "Vorn::MemberConfig")}) EXPECT_EQ(found, config);
  EXPECT_TRUE(sw.em->getEntityAs<Zem::Dir>("vorn/memberConfig"));
  // Refusals change nothing.
  EXPECT_FALSE(sw.db->createEntityAt("vorn/memberConfig/1", "Vorn::AsicsWarm") ||
               sw.db->createEntityAt("vorn/memberConfig/1/x", "Vorn::AsicsWarm") ||
               sw.db->createEntityAt("fresh/x", "No::SuchType") || sw.db->entityAt("fresh") ||
               sw.db->mkdirAt("vorn/memberConfig/1/x"));
  EXPECT_EQ(sw.db->entityAt("vorn/memberConfig/1"), config);
}

TEST(LodestoreMountTest, MountsCheckAndMakeTypedPaths) {
  const auto ok = MountStatus::success, bad = MountStatus::failure;
  // message: part of the failure message; typeAtPath: the record type at the path afterwards.
  const struct { std::string path, type, flags; MountStatus status; std::string message, typeAtPath; } rows[] = {
      {"vorn/hardware/asicsWarm", "Vorn::AsicsWarm", "rc", ok, "", "Vorn::AsicsWarm"},
      {"vorn/hardware/other", "Vorn::AsicsWarm", "r", bad, "does not create", ""},
      {"vorn/memberConfig/1", "Vorn::MemberConfig", "r", ok, "", "Vorn::LocalMemberConfig"},
      {"vorn/memberConfig/1", "Vorn::AsicsWarm", "rc", bad,
       "'/vorn/memberConfig/1' holds a Vorn::LocalMemberConfig, not a Vorn::AsicsWarm", "Vorn::LocalMemberConfig"},
      {"vorn/x", "Vorn::AsicsWarm", "L", bad, "needs a path under /backup", ""},
      {"/backup/vorn/asics", "Vorn::AsicsWarm", "L", ok, "", "Vorn::AsicsWarm"},
  };
  for (auto& r : rows) {
    SCOPED_TRACE(r.path + " " + r.type + " " + r.flags);
    Switch sw;
    ASSERT_TRUE(sw.db->createEntityAt("vorn/memberConfig/1", "Vorn::LocalMemberConfig"));
    auto group = sw.em->mountGroup();
    group->doMount(r.path, r.type, r.flags);
    std::string err;
    EXPECT_EQ(closeGroup(*group, &err), r.status);
    EXPECT_EQ(group->status(), Zem::Optional<MountStatus>(r.status));
    EXPECT_EQ(group->errors().empty(), r.message.empty());
    for (const auto& text : {errors(*group), err}) EXPECT_THAT(text, HasSubstr(r.message));
    auto e = sw.db->entityAt(r.path);
    EXPECT_EQ(e && e->typeInfo() ? std::string(e->typeInfo()->name()) : std::string(), r.typeAtPath);
  }
  // One failed mount fails the group but not the other mounts; a path mount leaves a missing path missing.
  Switch sw;
  auto group = sw.em->mountGroup();
  group->doMount("vorn/a", "Vorn::AsicsWarm", "rc"), group->doMount("vorn/b", "Vorn::AsicsWarm", "r");
  group->doMountPath("vorn/missing");
  EXPECT_EQ(closeGroup(*group), MountStatus::failure);
  EXPECT_EQ(group->errors().size(), 1u);
  EXPECT_TRUE(sw.db->entityAt("vorn/a") && !sw.db->entityAt("vorn/missing"));
}

TEST(LodestoreMountTest, NonBlockingCloseCompletesOnTheActivityThread) {
  const struct { double latency, timeout; MountStatus status; double completesAt; bool mounted; } rows[] = {
      {2.0, 0.0, MountStatus::success, 2.0, true},
      {2.0, 0.5, MountStatus::timeout, 0.5, false},
  };
  for (auto& r : rows) {
    SCOPED_TRACE(fmt::format("latency {} timeout {}", r.latency, r.timeout));
    Switch sw;
    sw.db->mountLatencyIs(r.latency);
    std::vector<std::pair<MountStatus, double>> seen;
    sw.em->mountsCompleteHandlerIs([&](MountStatus s, auto em) {
      seen.emplace_back(em == sw.em ? s : MountStatus::failure, sw.scheduler->now());
    });
    auto group = sw.em->mountGroup();
    group->doMount("vorn/hardware/asicsWarm", "Vorn::AsicsWarm", "rc");
    testing::internal::CaptureStderr();
    EXPECT_EQ(group->doClose(false, "", r.timeout), MountStatus::success);
    group = nullptr;  // the pending completion keeps what it needs
    EXPECT_FALSE(!seen.empty() || sw.db->entityAt("vorn/hardware/asicsWarm"));
    while (sw.scheduler->runNext()) continue;
    testing::internal::GetCapturedStderr();
    EXPECT_THAT(seen, testing::ElementsAre(std::pair(r.status, r.completesAt)));
    EXPECT_EQ(static_cast<bool>(sw.db->entityAt("vorn/hardware/asicsWarm")), r.mounted);
  }
}

TEST(LodestoreMountTest, BlockingCloseAndGroupHandlersBypassTheHostHandler) {
  Switch sw;
  int hostCalls = 0, ownCalls = 0;
  sw.em->mountsCompleteHandlerIs([&](MountStatus, Velto::Ptr<Lodestore::EntityManager>) { ++hostCalls; });
  EXPECT_EQ(sw.mount("vorn/a", "Vorn::AsicsWarm", "rc"), MountStatus::success);
  EXPECT_TRUE(sw.db->entityAt("vorn/a"));
  auto own = sw.em->mountGroup();
  own->mountsCompleteHandlerIs([&](MountStatus, Velto::Ptr<Lodestore::EntityManager>) { ++ownCalls; });
  own->doMountPath("vorn/a");
  own->doClose(false, "own", 0);
  sw.scheduler->runFor(1.0);
  EXPECT_EQ(std::pair(ownCalls, hostCalls), std::pair(1, 0));
}

TEST(LodestoreMountTest, StateDatabaseAvailabilityIsTakenWhenTheSessionBegins) {
  Switch sw;
  EXPECT_TRUE(sw.em->stateDatabaseAvailable());
  sw.db->restoredFromScratchIs(true);
  auto afterReload = Velto::make<Lodestore::EntityManager>(sw.db, sw.scheduler);
  EXPECT_FALSE(afterReload->stateDatabaseAvailable());
  sw.db->restoredFromScratchIs(false);  // the published state coming back later changes nothing
  EXPECT_FALSE(afterReload->stateDatabaseAvailable());
}

// The virtual clock steps by 1/1024 s so that sums of steps are exact.
constexpr double kStep = 1.0 / 1024;

TEST(LodestoreBackupTest, FrequentWritesAreCoalescedAndAPendingFlushIsNotPostponed) {
  ScratchDir dir;
  Switch sw(dir.path());
  ASSERT_EQ(sw.mount("/backup/vorn/asics", "Vorn::AsicsWarm", "L"), MountStatus::success);
  auto asics = sw.em->getEntityAs<Vorn::AsicsWarm>("/backup/vorn/asics");
  sw.scheduler->runFor(0.5);  // the fresh entity gets its file after one flush delay
  EXPECT_EQ(sw.db->backupWriteCount(), 1u);
  EXPECT_TRUE(dir.exists("vorn.asics.json"));
  // 2048 changes, one every step (2 s): the first change of each half second arms the flush.
  for (int k = 0; k < 2048; ++k) {
    asics->memberAsicsWarmIs(MemberId(static_cast<uint8_t>(1 + k % 200)), (k / 200) % 2 == 0);
    sw.scheduler->runFor(kStep);
  }
  EXPECT_EQ(sw.db->backupWriteCount(), 5u);
  EXPECT_FALSE(sw.db->backupPending());
  // flush() writes at once and cancels the pending flush.
  asics->memberAsicsWarmIs(MemberId(250), true);
  EXPECT_TRUE(sw.db->backupPending());
  EXPECT_TRUE(sw.db->flush());
  sw.scheduler->runFor(5.0);
  EXPECT_EQ(sw.db->backupWriteCount(), 6u);
  // One flush delay after a change its path is on disk, however many other paths change meanwhile.
  ASSERT_EQ(sw.mount("/backup/vorn/b", "Vorn::AsicsWarm", "L"), MountStatus::success);
  ASSERT_TRUE(sw.db->flush());
  const uint64_t writes = sw.db->backupWriteCount();
  asics->memberAsicsWarmIs(MemberId(251), true);
  sw.scheduler->runFor(0.25);
  sw.em->getEntityAs<Vorn::AsicsWarm>("/backup/vorn/b")->memberAsicsWarmIs(MemberId(1), true);
  sw.scheduler->runFor(0.25);
  EXPECT_EQ(sw.db->backupWriteCount(), writes + 2);
  EXPECT_FALSE(sw.db->backupPending());
}

TEST(LodestoreBackupTest, AFreshDatabaseRestoresEveryBackedUpPath) {
  ScratchDir dir;
  Zem::Json configJson;
  {
    Switch sw(dir.path());
    ASSERT_EQ(sw.mount("/backup/vorn/memberConfig", "Zem::Dir", "L"), MountStatus::success);
    auto configDir = sw.em->getEntityAs<Zem::Dir>("/backup/vorn/memberConfig");
    auto config =
        Velto::dynamicPtrCast<Vorn::MemberConfig>(configDir->createEntity("agent", "Vorn::LocalMemberConfig"));
    config->bcConfigIs(Kivo::IntfId("Port-Channel10"))->memberIntfIs(Kivo::IntfId("Ethernet1"))->lagGroupNameIs("lag1");
    configJson = Zem::typedJson(*configDir);
    EXPECT_TRUE(sw.db->flush());  // a clean stop: nothing waits for the flush delay
  }
  Switch next(dir.path());
  next.db->restoredFromScratchIs(true);
  ASSERT_EQ(next.mount("/backup/vorn/memberConfig", "Zem::Dir", "L"), MountStatus::success);
  EXPECT_TRUE(next.db->backupErrors().empty());
  EXPECT_EQ(Zem::typedJson(*next.db->entityAt("/backup/vorn/memberConfig")), configJson);
  auto restored = next.em->getEntityAs<Vorn::LocalMemberConfig>("/backup/vorn/memberConfig/agent");
  ASSERT_EQ(restored ? restored->name() : "", "agent");
  // A restored state is not written back, but its later changes are.
  next.scheduler->runFor(5.0);
  EXPECT_EQ(next.db->backupWriteCount(), 0u);
  restored->bcConfigDel(Kivo::IntfId("Port-Channel10"));
  next.scheduler->runFor(5.0);
  EXPECT_EQ(next.db->backupWriteCount(), 1u);
}

TEST(LodestoreBackupTest, ACorruptBackupGivesAnEmptyEntityAndLosesNothingElse) {
  const std::string goodConfig =
      R"({"format":1,"path":"/backup/vorn/memberConfig","record":{"@type":"Zem::Dir","entry":{)"
      R"("1":{"@type":"Vorn::LocalMemberConfig","bcConfig":{"Port-Channel10":{"intf":"Port-Channel10",)"
      R"("memberIntf":{},"peerMemberId":2}}}}}})";
  const std::pair<std::string, std::string> rows[] = {  // content, reason
      {goodConfig.substr(0, goodConfig.size() / 2), "parse error"},
      {R"({"format":1,"path":"/backup/vorn/elsewhere","record":{}})", "backup of '/backup/vorn/elsewhere'"},
      {R"({"format":1,"path":5,"record":{}})", "no path, or a path that is not a string"},
      {R"({"format":"1","path":"/backup/vorn/status","record":{}})", "unknown file format"},
      {R"({"format":1,"path":"/backup/vorn/status","record":{"portStatus":5}})", "portStatus: expected an object"},
  };
  for (auto& [content, reason] : rows) {
    SCOPED_TRACE(reason);
    ScratchDir dir;
    dir.write("vorn.memberConfig.json", goodConfig);
    dir.write("vorn.status.json", content);
    Switch sw(dir.path());
    auto group = sw.em->mountGroup();
    group->doMount("/backup/vorn/status", "Vorn::Lldp::LocalStatus", "L");
    group->doMount("/backup/vorn/memberConfig", "Zem::Dir", "L");
    EXPECT_EQ(closeGroup(*group), MountStatus::success);
    auto status = sw.em->getEntityAs<Vorn::Lldp::LocalStatus>("/backup/vorn/status");
    ASSERT_TRUE(status && status->portStatus().empty());
    auto config = sw.em->getEntityAs<Vorn::MemberConfig>("/backup/vorn/memberConfig/1");
    ASSERT_EQ(config->bcConfig(Kivo::IntfId("Po10"))->peerMemberId(), Zem::Optional<MemberId>(MemberId(2)));
    ASSERT_EQ(sw.db->backupErrors().size(), 1u);
    EXPECT_THAT(sw.db->backupErrors()[0],
                testing::AllOf(HasSubstr("cannot restore /backup/vorn/status"), HasSubstr(reason)));
    // The bad file is kept for inspection and a good one takes its place.
    EXPECT_EQ(dir.read("vorn.status.json.corrupt"), content);
    EXPECT_TRUE(sw.db->flush());
    Switch next(dir.path());
    EXPECT_EQ(next.mount("/backup/vorn/status", "Vorn::Lldp::LocalStatus", "L"), MountStatus::success);
    EXPECT_TRUE(next.db->backupErrors().empty());
  }
}

const std::string kStatusFile = "vorn.status.json";

// What lies in the backup directory under a backup's name may be anything: the agent must start, never block on it,
// never read it without bound.
TEST(LodestoreBackupTest, ABackupThatIsNotASmallRegularFileIsRefusedWithoutWaiting) {
  using ConfigTesting::HostileDir;
  using Place = std::function<void(const HostileDir&)>;
  const std::pair<Place, std::string> rows[] = {  // what is put there, reason
      {[](const HostileDir& d) { d.fifo(kStatusFile); }, "is a FIFO, not a regular file"},
      {[](const HostileDir& d) { std::filesystem::create_symlink("/dev/zero", d.path() / kStatusFile); },
       "is a character device"},
      {[](const HostileDir& d) { d.sparse(kStatusFile, Lodestore::BackupFile::kMaxBytes + 1); },
       "more than the limit of 64 MiB"},
  };
  for (auto& [place, reason] : rows) {
    SCOPED_TRACE(reason);
    HostileDir dir;
    place(dir);
    Switch sw(dir.path());
    {
      ConfigTesting::HangGuard guard("restoring a backup");
      EXPECT_EQ(sw.mount("/backup/vorn/status", "Vorn::Lldp::LocalStatus", "L"), MountStatus::success);
    }
    auto status = sw.em->getEntityAs<Vorn::Lldp::LocalStatus>("/backup/vorn/status");
    ASSERT_TRUE(status && status->portStatus().empty());
    ASSERT_EQ(sw.db->backupErrors().size(), 1u);
    EXPECT_THAT(sw.db->backupErrors()[0],
                testing::AllOf(HasSubstr("cannot restore /backup/vorn/status"), HasSubstr(reason)));
    // Moved aside, so the next backup is a plain file that the next start reads.
    EXPECT_TRUE(sw.db->flush());
    Switch next(dir.path());
    EXPECT_EQ(next.mount("/backup/vorn/status", "Vorn::Lldp::LocalStatus", "L"), MountStatus::success);
    EXPECT_TRUE(next.db->backupErrors().empty());
  }
}

// A backup is written beside its file and renamed over it: a reader, or a crash, in the middle of a write finds the
// whole old file, never a partial one.
TEST(LodestoreBackupTest, ANewBackupReplacesTheOldFileWhole) {
  ScratchDir dir;
  Switch sw(dir.path());
  ASSERT_EQ(sw.mount("/backup/vorn/asics", "Vorn::AsicsWarm", "L"), MountStatus::success);
  ASSERT_TRUE(sw.db->flush());
  const std::string old = dir.read("vorn.asics.json");
  std::ifstream reader(dir.file("vorn.asics.json"), std::ios::binary);  // opened before the write
  sw.em->getEntityAs<Vorn::AsicsWarm>("/backup/vorn/asics")->memberAsicsWarmIs(MemberId(1), true);
  ASSERT_TRUE(sw.db->flush());
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(reader), {}), old);
  EXPECT_NE(dir.read("vorn.asics.json"), old);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);  // no file left beside it
}

// Whatever stands at the temporary name (left by a crash, or a link planted by someone who can write the directory)
// is replaced, never written through.
TEST(LodestoreBackupTest, WhatStandsAtTheTemporaryNameIsReplacedNotFollowed) {
  ScratchDir dir;
  ScratchDir elsewhere;
  elsewhere.write("victim", "untouched");
  Switch sw(dir.path());
  ASSERT_EQ(sw.mount("/backup/vorn/asics", "Vorn::AsicsWarm", "L"), MountStatus::success);
  ASSERT_TRUE(sw.db->flush());
  // Planted while the agent runs: leftovers found at the start are cleared before any write.
  std::filesystem::create_symlink(elsewhere.file("victim"), dir.file("vorn.asics.json.tmp"));
  sw.em->getEntityAs<Vorn::AsicsWarm>("/backup/vorn/asics")->memberAsicsWarmIs(MemberId(1), true);
  EXPECT_TRUE(sw.db->flush());
  EXPECT_EQ(elsewhere.read("victim"), "untouched");
  EXPECT_TRUE(std::filesystem::is_regular_file(std::filesystem::symlink_status(dir.file("vorn.asics.json"))));
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(dir.file("vorn.asics.json.tmp"))));
}

TEST(LodestoreBackupTest, TheBackupFollowsDeletion) {
  ScratchDir dir;
  Switch sw(dir.path());
  ASSERT_EQ(sw.mount("/backup/vorn/bcStatus/agent", "Vorn::BackplaneChannelStatus", "L"), MountStatus::success);
  ASSERT_TRUE(sw.db->flush() && dir.exists("vorn.bcStatus.agent.json"));
  sw.em->getEntityAs<Zem::Dir>("/backup/vorn/bcStatus")->entryDel("agent");
  EXPECT_TRUE(sw.db->flush());
  EXPECT_FALSE(dir.exists("vorn.bcStatus.agent.json"));
}

TEST(LodestoreBackupTest, BackedUpPathsCannotNest) {
  Switch sw;
  ASSERT_EQ(sw.mount("/backup/vorn/lldp/status", "Zem::Dir", "L"), MountStatus::success);
  for (std::string path : {"/backup/vorn/lldp", "/backup/vorn/lldp/status/agent"}) {
    auto group = sw.em->mountGroup();
    group->doMount(path, "Zem::Dir", "L");
    EXPECT_EQ(closeGroup(*group), MountStatus::failure) << path;
    EXPECT_THAT(errors(*group), HasSubstr("backed-up paths cannot nest"));
  }
  EXPECT_EQ(sw.mount("/backup/vorn/lldp/status", "Zem::Dir", "L"), MountStatus::success);  // the same path again
  EXPECT_EQ(sw.db->backedUpPaths(), std::vector<std::string>{"backup/vorn/lldp/status"});
}

TEST(LodestoreBackupTest, AFailingBackupIsReportedOnceAndRetried) {
  ScratchDir dir;
  dir.write("plain-file", "x");
  Switch sw;
  testing::internal::CaptureStderr();
  sw.db->backupDirIs(dir.file("plain-file") + "/backup");
  ASSERT_EQ(sw.mount("/backup/vorn/asics", "Vorn::AsicsWarm", "L"), MountStatus::success);
  auto asics = sw.em->getEntityAs<Vorn::AsicsWarm>("/backup/vorn/asics");
  EXPECT_FALSE(sw.db->flush());
  for (int i = 0; i < 5; ++i) {
    asics->memberAsicsWarmIs(MemberId(1), i % 2 == 0);
    sw.scheduler->runFor(2.0);
  }
  testing::internal::GetCapturedStderr();
  EXPECT_THAT(sw.db->backupErrors(), testing::ElementsAre(HasSubstr("backup directory unusable"),
                                                          HasSubstr("cannot back up /backup/vorn/asics")));
  EXPECT_TRUE(sw.db->backupPending());
  sw.db->backupDirIs(dir.path());  // a usable directory: the pending state is written
  sw.scheduler->runFor(2.0);
  EXPECT_TRUE(!sw.db->backupPending() && dir.exists("vorn.asics.json"));
}

}  // namespace

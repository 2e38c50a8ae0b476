#include "platform/lodestore/EntityManager.h"
#include "platform/lodestore/StateDatabase.h"
#include "platform/records/VornRecords.h"
#include "platform/trace/Ringlog.h"
#include "tests/platform/lodestore/LodestoreTestUtil.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

using Lodestore::MountStatus;
using LodestoreTest::ScratchDir;
using LodestoreTest::Switch;

bool contains(const std::vector<std::string>& messages, const std::string& part) {
  for (auto& m : messages) {
    if (m.find(part) != std::string::npos) return true;
  }
  return false;
}

TEST(LodestorePathTest, PathsAndBackupFileNames) {
  struct Row {
    std::string path;
    std::vector<std::string> names;
    std::string file;
  };
  const std::vector<Row> rows = {
      {"/backup/vorn/lldp/context", {"backup", "vorn", "lldp", "context"}, "vorn.lldp.context.json"},
      {"backup//vorn/bcStatus/", {"backup", "vorn", "bcStatus"}, "vorn.bcStatus.json"},
      // A '.' inside a name must not read as a separator.
      {"/backup/a.b", {"backup", "a.b"}, "a%2Eb.json"},
      {"/backup/a/b", {"backup", "a", "b"}, "a.b.json"},
      {"/backup/My Agent/x%", {"backup", "My Agent", "x%"}, "My%20Agent.x%25.json"},
      {"/", {}, ".json"},
  };
  for (auto& r : rows) {
    SCOPED_TRACE(r.path);
    EXPECT_EQ(Lodestore::pathNames(r.path), r.names);
    EXPECT_EQ(Lodestore::StateDatabase::backupFileName(r.path), r.file);
  }
}

TEST(LodestoreTreeTest, EntitiesAreMadeAndFoundByPath) {
  Switch sw;
  auto config = sw.db->createEntityAt("vorn/memberConfig/1", "Vorn::MemberConfig");
  ASSERT_TRUE(config);
  EXPECT_EQ(sw.db->entityAt("/vorn/memberConfig/1"), config);
  EXPECT_EQ(sw.em->getEntity("vorn/memberConfig/1"), config);
  EXPECT_EQ(config->fullName(), "vorn/memberConfig/1");
  EXPECT_EQ(sw.db->createEntityAt("vorn/memberConfig/1", "Vorn::MemberConfig"), config);
  EXPECT_TRUE(sw.em->getEntityAs<Zem::Dir>("vorn/memberConfig"));
  // A backed-up variant is a record of its base type too.
  auto local = sw.db->createEntityAt("vorn/local/1", "Vorn::LocalMemberConfig");
  ASSERT_TRUE(Velto::dynamicPtrCast<Vorn::MemberConfig>(local));
  EXPECT_EQ(sw.db->createEntityAt("vorn/local/1", "Vorn::MemberConfig"), local);
  EXPECT_EQ(local->name(), "1");

  // Refusals change nothing.
  EXPECT_FALSE(sw.db->createEntityAt("vorn/memberConfig/1", "Vorn::AsicsWarm"));
  EXPECT_FALSE(sw.db->createEntityAt("vorn/memberConfig/1/x", "Vorn::AsicsWarm"));
  EXPECT_FALSE(sw.db->createEntityAt("fresh/x", "No::SuchType"));
  EXPECT_FALSE(sw.db->entityAt("fresh"));
  EXPECT_FALSE(sw.db->mkdirAt("vorn/memberConfig/1/x"));
  EXPECT_EQ(sw.db->entityAt("vorn/memberConfig/1"), config);
  EXPECT_EQ(sw.db->mkdirAt("/vorn"), sw.db->entityAt("vorn"));
}

// ---------------------------------------------------------------------------
// Mounts

struct MountRow {
  const char* name;
  std::string path;
  std::string type;
  std::string flags;
  MountStatus status;
  std::string message;      // part of the failure message
  std::string typeAtPath;   // record type at the path afterwards; "" for none
};

TEST(LodestoreMountTest, MountsCheckAndMakeTypedPaths) {
  const std::vector<MountRow> rows = {
      {"made with c", "vorn/hardware/asicsWarm", "Vorn::AsicsWarm", "rc", MountStatus::success, "", "Vorn::AsicsWarm"},
      {"missing without c", "vorn/hardware/other", "Vorn::AsicsWarm", "r", MountStatus::failure, "does not create",
       ""},
      {"existing of the type", "vorn/memberConfig/1", "Vorn::MemberConfig", "r", MountStatus::success, "",
       "Vorn::LocalMemberConfig"},
      {"existing of another type", "vorn/memberConfig/1", "Vorn::AsicsWarm", "rc", MountStatus::failure,
       "'/vorn/memberConfig/1' holds a Vorn::LocalMemberConfig, not a Vorn::AsicsWarm", "Vorn::LocalMemberConfig"},
      {"directory", "vorn/memberConfig", "Zem::Dir", "r", MountStatus::success, "", "Zem::Dir"},
      {"unknown type", "vorn/x", "No::SuchType", "rc", MountStatus::failure, "unknown record type 'No::SuchType'",
       ""},
      {"unknown flag", "vorn/x", "Vorn::AsicsWarm", "rcx", MountStatus::failure, "unknown mount flag(s) 'x'", ""},
      {"L outside the backup area", "vorn/x", "Vorn::AsicsWarm", "L", MountStatus::failure,
       "needs a path under /backup", ""},
      {"through a record", "vorn/memberConfig/1/x", "Vorn::AsicsWarm", "c", MountStatus::failure,
       "is not a directory", ""},
      {"L in the backup area", "/backup/vorn/asics", "Vorn::AsicsWarm", "L", MountStatus::success, "",
       "Vorn::AsicsWarm"},
  };
  for (auto& r : rows) {
    SCOPED_TRACE(r.name);
    Switch sw;
    ASSERT_TRUE(sw.db->createEntityAt("vorn/memberConfig/1", "Vorn::LocalMemberConfig"));
    auto group = sw.em->mountGroup();
    group->doMount(r.path, r.type, r.flags);
    testing::internal::CaptureStderr();
    EXPECT_EQ(group->doClose(true, "rows", 10.0), r.status);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(group->status(), Zem::Optional<MountStatus>(r.status));
    if (r.message.empty()) {
      EXPECT_TRUE(group->errors().empty());
    } else {
      EXPECT_TRUE(contains(group->errors(), r.message)) << fmt::format("{}", fmt::join(group->errors(), "; "));
      EXPECT_NE(err.find(r.message), std::string::npos) << err;
    }
    auto e = sw.db->entityAt(r.path);
    EXPECT_EQ(e && e->typeInfo() ? std::string(e->typeInfo()->name()) : std::string(), r.typeAtPath);
  }
}

TEST(LodestoreMountTest, OneFailedMountFailsTheGroupButNotTheOtherMounts) {
  Switch sw;
  auto group = sw.em->mountGroup();
  group->doMount("vorn/a", "Vorn::AsicsWarm", "rc");
  group->doMount("vorn/b", "Vorn::AsicsWarm", "r");
  group->doMountPath("vorn/missing");
  testing::internal::CaptureStderr();
  EXPECT_EQ(group->doClose(true, "mixed", 10.0), MountStatus::failure);
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(group->errors().size(), 1u);
  EXPECT_TRUE(sw.db->entityAt("vorn/a"));
  // A path mount leaves a missing path missing.
  EXPECT_FALSE(sw.db->entityAt("vorn/missing"));
}

TEST(LodestoreMountTest, NonBlockingCloseCompletesOnTheActivityThread) {
  struct Row {
    double latency;
    double timeout;
    MountStatus status;
    double completesAt;
    bool mounted;
  };
  const std::vector<Row> rows = {
      {0.0, 0.0, MountStatus::success, 0.0, true},
      {2.0, 0.0, MountStatus::success, 2.0, true},
      {2.0, 5.0, MountStatus::success, 2.0, true},
      {2.0, 0.5, MountStatus::timeout, 0.5, false},
  };
  for (auto& r : rows) {
    SCOPED_TRACE(fmt::format("latency {} timeout {}", r.latency, r.timeout));
    Switch sw;
    sw.db->mountLatencyIs(r.latency);
    std::vector<std::pair<MountStatus, double>> seen;
    Velto::Ptr<Lodestore::EntityManager> seenEm;
    sw.em->mountsCompleteHandlerIs([&](MountStatus s, Velto::Ptr<Lodestore::EntityManager> em) {
      seen.emplace_back(s, sw.scheduler->now());
      seenEm = em;
    });
    auto group = sw.em->mountGroup();
    group->doMount("vorn/hardware/asicsWarm", "Vorn::AsicsWarm", "rc");
    testing::internal::CaptureStderr();
    EXPECT_EQ(group->doClose(false, "", r.timeout), MountStatus::success);
    group = nullptr;  // the pending completion keeps what it needs
    EXPECT_TRUE(seen.empty());
    EXPECT_FALSE(sw.db->entityAt("vorn/hardware/asicsWarm"));
    while (sw.scheduler->runNext()) {
    }
    testing::internal::GetCapturedStderr();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].first, r.status);
    EXPECT_EQ(seen[0].second, r.completesAt);
    EXPECT_EQ(seenEm, sw.em);
    EXPECT_EQ(static_cast<bool>(sw.db->entityAt("vorn/hardware/asicsWarm")), r.mounted);
  }
}

TEST(LodestoreMountTest, BlockingCloseAndGroupHandlersBypassTheHostHandler) {
  Switch sw;
  int hostCalls = 0;
  sw.em->mountsCompleteHandlerIs([&](MountStatus, Velto::Ptr<Lodestore::EntityManager>) { ++hostCalls; });

  auto blocking = sw.em->mountGroup();
  blocking->doMount("vorn/a", "Vorn::AsicsWarm", "rc");
  EXPECT_EQ(blocking->doClose(true, "blocking", 10.0), MountStatus::success);
  EXPECT_TRUE(sw.db->entityAt("vorn/a"));

  auto own = sw.em->mountGroup();
  int ownCalls = 0;
  own->mountsCompleteHandlerIs([&](MountStatus, Velto::Ptr<Lodestore::EntityManager>) { ++ownCalls; });
  own->doMountPath("vorn/a");
  own->doClose(false, "own", 0);
  sw.scheduler->runFor(1.0);
  EXPECT_EQ(ownCalls, 1);
  EXPECT_EQ(hostCalls, 0);

  sw.db->mountLatencyIs(20.0);
  auto slow = sw.em->mountGroup();
  slow->doMount("vorn/b", "Vorn::AsicsWarm", "rc");
  testing::internal::CaptureStderr();
  EXPECT_EQ(slow->doClose(true, "mounting local backed up entity", 10.0), MountStatus::timeout);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("'mounting local backed up entity' timed out"),
            std::string::npos);
  EXPECT_FALSE(sw.db->entityAt("vorn/b"));
}

TEST(LodestoreMountTest, StateDatabaseAvailabilityIsTakenWhenTheSessionBegins) {
  Switch sw;
  EXPECT_TRUE(sw.em->stateDatabaseAvailable());
  sw.db->restoredFromScratchIs(true);
  auto afterReload = Velto::make<Lodestore::EntityManager>(sw.db, sw.scheduler);
  EXPECT_FALSE(afterReload->stateDatabaseAvailable());
  // The published state coming back later does not change what the agent
  // started from.
  sw.db->restoredFromScratchIs(false);
  EXPECT_FALSE(afterReload->stateDatabaseAvailable());
}

// ---------------------------------------------------------------------------
// Local backup

// The virtual clock steps by 1/1024 s so that sums of steps are exact.
constexpr double kStep = 1.0 / 1024;

TEST(LodestoreBackupTest, FrequentWritesAreCoalesced) {
  ScratchDir dir;
  Switch sw(dir.path());
  ASSERT_EQ(sw.mount("/backup/vorn/asics", "Vorn::AsicsWarm", "L"), MountStatus::success);
  auto asics = sw.em->getEntityAs<Vorn::AsicsWarm>("/backup/vorn/asics");
  ASSERT_TRUE(asics);
  // The fresh entity gets its file after one flush delay.
  sw.scheduler->runFor(0.5);
  EXPECT_EQ(sw.db->backupWriteCount(), 1u);
  EXPECT_TRUE(dir.exists("vorn.asics.json"));

  // 2048 changes, one every step (2 s): the first change of each half second
  // arms the flush, the others ride on it.
  for (int k = 0; k < 2048; ++k) {
    asics->memberAsicsWarmIs(Vorn::MemberId(static_cast<uint8_t>(1 + k % 200)), (k / 200) % 2 == 0);
    sw.scheduler->runFor(kStep);
  }
  EXPECT_EQ(sw.db->backupWriteCount(), 1u + 4u);
  EXPECT_FALSE(sw.db->backupPending());
  EXPECT_TRUE(sw.db->flush());
  EXPECT_EQ(sw.db->backupWriteCount(), 5u);

  // flush() writes at once and cancels the pending flush.
  asics->memberAsicsWarmIs(Vorn::MemberId(250), true);
  EXPECT_TRUE(sw.db->backupPending());
  EXPECT_TRUE(sw.db->flush());
  EXPECT_EQ(sw.db->backupWriteCount(), 6u);
  sw.scheduler->runFor(5.0);
  EXPECT_EQ(sw.db->backupWriteCount(), 6u);

  // Changes outside the backed-up paths are not written.
  sw.db->createEntityAt("vorn/hardware/asicsWarm", "Vorn::AsicsWarm");
  sw.db->createEntityAt("/backup/vorn/unmounted", "Vorn::AsicsWarm");
  sw.scheduler->runFor(5.0);
  EXPECT_EQ(sw.db->backupWriteCount(), 6u);

  // What is on disk is the last state.
  Switch next(dir.path());
  ASSERT_EQ(next.mount("/backup/vorn/asics", "Vorn::AsicsWarm", "L"), MountStatus::success);
  EXPECT_EQ(Zem::toJson(*next.db->entityAt("/backup/vorn/asics")), Zem::toJson(*asics));
}

// One flush delay after a change its path is on disk, however many other
// paths change meanwhile.
TEST(LodestoreBackupTest, AChangeElsewhereDoesNotPostponeAPendingFlush) {
  ScratchDir dir;
  Switch sw(dir.path());
  ASSERT_EQ(sw.mount("/backup/vorn/a", "Vorn::AsicsWarm", "L"), MountStatus::success);
  ASSERT_EQ(sw.mount("/backup/vorn/b", "Vorn::AsicsWarm", "L"), MountStatus::success);
  ASSERT_TRUE(sw.db->flush());
  const uint64_t writes = sw.db->backupWriteCount();
  sw.em->getEntityAs<Vorn::AsicsWarm>("/backup/vorn/a")->memberAsicsWarmIs(Vorn::MemberId(1), true);
  sw.scheduler->runFor(0.25);
  sw.em->getEntityAs<Vorn::AsicsWarm>("/backup/vorn/b")->memberAsicsWarmIs(Vorn::MemberId(1), true);
  sw.scheduler->runFor(0.25);
  EXPECT_EQ(sw.db->backupWriteCount(), writes + 2);
  EXPECT_FALSE(sw.db->backupPending());
}

TEST(LodestoreBackupTest, AFreshDatabaseRestoresEveryBackedUpPath) {
  ScratchDir dir;
  Zem::Json configJson, statusJson;
  {
    Switch sw(dir.path());
    auto group = sw.em->mountGroup();
    group->doMount("/backup/vorn/memberConfig", "Zem::Dir", "L");
    group->doMount("/backup/vorn/bcStatus/agent", "Vorn::BackplaneChannelStatus", "L");
    ASSERT_EQ(group->doClose(true, "backups", 10.0), MountStatus::success);

    auto configDir = sw.em->getEntityAs<Zem::Dir>("/backup/vorn/memberConfig");
    auto config = Velto::dynamicPtrCast<Vorn::MemberConfig>(configDir->createEntity("agent", "Vorn::LocalMemberConfig"));
    ASSERT_TRUE(config);
    auto bc = config->bcConfigIs(Kivo::IntfId("Port-Channel10"));
    bc->peerMemberIdIs(Vorn::MemberId(2));
    bc->memberIntfIs(Kivo::IntfId("Ethernet1"))->lagGroupNameIs("lag1");
    auto status = sw.em->getEntityAs<Vorn::BackplaneChannelStatus>("/backup/vorn/bcStatus/agent");
    status->bcMemberStatusIs(Kivo::IntfId("Port-Channel10"))
        ->memberIntfStatusIs(Kivo::IntfId("Ethernet1"))
        ->stateIs(Vorn::HigigNegotiationState::higigConfirmed);
    configJson = Zem::typedJson(*configDir);
    statusJson = Zem::typedJson(*status);
    // A clean stop: nothing waits for the flush delay.
    EXPECT_TRUE(sw.db->flush());
  }

  Switch next(dir.path());
  next.db->restoredFromScratchIs(true);
  auto group = next.em->mountGroup();
  group->doMount("/backup/vorn/memberConfig", "Zem::Dir", "L");
  group->doMount("/backup/vorn/bcStatus/agent", "Vorn::BackplaneChannelStatus", "L");
  ASSERT_EQ(group->doClose(true, "backups", 10.0), MountStatus::success);
  EXPECT_TRUE(next.db->backupErrors().empty());
  EXPECT_EQ(Zem::typedJson(*next.db->entityAt("/backup/vorn/memberConfig")), configJson);
  EXPECT_EQ(Zem::typedJson(*next.db->entityAt("/backup/vorn/bcStatus/agent")), statusJson);
  auto restored = next.em->getEntityAs<Vorn::LocalMemberConfig>("/backup/vorn/memberConfig/agent");
  ASSERT_TRUE(restored);
  EXPECT_EQ(restored->name(), "agent");
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
  struct Row {
    const char* name;
    std::string content;
    std::string reason;
  };
  const std::vector<Row> rows = {
      {"truncated", goodConfig.substr(0, goodConfig.size() / 2), "parse error"},
      {"empty", "", "parse error"},
      {"garbage", std::string("\x00\xff\x13garbage", 10), "parse error"},
      {"not an object", "[1,2,3]", "not a JSON object"},
      {"other format", R"({"format":7,"path":"/backup/vorn/status","record":{}})", "unknown file format"},
      {"other path", R"({"format":1,"path":"/backup/vorn/elsewhere","record":{}})", "backup of '/backup/vorn/elsewhere'"},
      {"other type", R"({"format":1,"path":"/backup/vorn/status","record":{"@type":"Vorn::AsicsWarm"}})",
       "is not a Vorn::Lldp::LocalStatus"},
      {"bad attribute", R"({"format":1,"path":"/backup/vorn/status","record":{"portStatus":5}})",
       "portStatus: expected an object"},
  };
  for (auto& r : rows) {
    SCOPED_TRACE(r.name);
    ScratchDir dir;
    dir.write("vorn.memberConfig.json", goodConfig);
    dir.write("vorn.status.json", r.content);
    Switch sw(dir.path());
    Ringlog::Capture trace;
    auto group = sw.em->mountGroup();
    group->doMount("/backup/vorn/status", "Vorn::Lldp::LocalStatus", "L");
    group->doMount("/backup/vorn/memberConfig", "Zem::Dir", "L");
    testing::internal::CaptureStderr();
    EXPECT_EQ(group->doClose(true, "backups", 10.0), MountStatus::success);
    std::string err = testing::internal::GetCapturedStderr();

    auto status = sw.em->getEntityAs<Vorn::Lldp::LocalStatus>("/backup/vorn/status");
    ASSERT_TRUE(status);
    EXPECT_TRUE(status->portStatus().empty());
    auto config = sw.em->getEntityAs<Vorn::MemberConfig>("/backup/vorn/memberConfig/1");
    ASSERT_TRUE(config);
    EXPECT_EQ(config->bcConfig(Kivo::IntfId("Po10"))->peerMemberId(), Zem::Optional<Vorn::MemberId>(Vorn::MemberId(2)));

    ASSERT_EQ(sw.db->backupErrors().size(), 1u);
    const std::string& message = sw.db->backupErrors()[0];
    EXPECT_NE(message.find("cannot restore /backup/vorn/status"), std::string::npos) << message;
    EXPECT_NE(message.find(r.reason), std::string::npos) << message;
    EXPECT_NE(err.find(message), std::string::npos);
    EXPECT_TRUE(trace.contains(0, "cannot restore /backup/vorn/status"));
    // The bad file is kept for inspection and a good one takes its place.
    EXPECT_EQ(dir.read("vorn.status.json.corrupt"), r.content);
    EXPECT_TRUE(sw.db->flush());
    Switch next(dir.path());
    EXPECT_EQ(next.mount("/backup/vorn/status", "Vorn::Lldp::LocalStatus", "L"), MountStatus::success);
    EXPECT_TRUE(next.db->backupErrors().empty());
  }
}

// A backup is written beside its file and renamed over it: a reader, or a
// crash, in the middle of a write finds the whole old file, never a partial
// one.
TEST(LodestoreBackupTest, ANewBackupReplacesTheOldFileWhole) {
  ScratchDir dir;
  Switch sw(dir.path());
  ASSERT_EQ(sw.mount("/backup/vorn/asics", "Vorn::AsicsWarm", "L"), MountStatus::success);
  ASSERT_TRUE(sw.db->flush());
  const std::string old = dir.read("vorn.asics.json");
  std::ifstream reader(dir.file("vorn.asics.json"), std::ios::binary);  // opened before the write
  sw.em->getEntityAs<Vorn::AsicsWarm>("/backup/vorn/asics")->memberAsicsWarmIs(Vorn::MemberId(1), true);
  ASSERT_TRUE(sw.db->flush());
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(reader), {}), old);
  EXPECT_NE(dir.read("vorn.asics.json"), old);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
}

TEST(LodestoreBackupTest, TheBackupFollowsDeletionAndRefusesAForeignType) {
  ScratchDir dir;
  Switch sw(dir.path());
  ASSERT_EQ(sw.mount("/backup/vorn/bcStatus/agent", "Vorn::BackplaneChannelStatus", "L"), MountStatus::success);
  sw.db->flush();
  ASSERT_TRUE(dir.exists("vorn.bcStatus.agent.json"));
  const std::string good = dir.read("vorn.bcStatus.agent.json");

  auto parent = sw.em->getEntityAs<Zem::Dir>("/backup/vorn/bcStatus");
  // Replaced by a record of another type: the last good file stays.
  parent->entryPut("agent", Velto::make<Vorn::AsicsWarm>("agent"));
  testing::internal::CaptureStderr();
  EXPECT_FALSE(sw.db->flush());
  EXPECT_NE(testing::internal::GetCapturedStderr().find("now holds a Vorn::AsicsWarm"), std::string::npos);
  EXPECT_EQ(dir.read("vorn.bcStatus.agent.json"), good);

  // Deleted: the file goes too.
  parent->entryDel("agent");
  EXPECT_TRUE(sw.db->flush());
  EXPECT_FALSE(dir.exists("vorn.bcStatus.agent.json"));
}

TEST(LodestoreBackupTest, BackedUpPathsCannotNest) {
  Switch sw;
  ASSERT_EQ(sw.mount("/backup/vorn/lldp/status", "Zem::Dir", "L"), MountStatus::success);
  for (std::string path : {"/backup/vorn/lldp", "/backup/vorn/lldp/status/agent"}) {
    SCOPED_TRACE(path);
    auto group = sw.em->mountGroup();
    group->doMount(path, "Zem::Dir", "L");
    testing::internal::CaptureStderr();
    EXPECT_EQ(group->doClose(true, "nested", 10.0), MountStatus::failure);
    testing::internal::GetCapturedStderr();
    EXPECT_TRUE(contains(group->errors(), "backed-up paths cannot nest"));
  }
  // The same path again is fine.
  EXPECT_EQ(sw.mount("/backup/vorn/lldp/status", "Zem::Dir", "L"), MountStatus::success);
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
    asics->memberAsicsWarmIs(Vorn::MemberId(1), i % 2 == 0);
    sw.scheduler->runFor(2.0);
  }
  std::string err = testing::internal::GetCapturedStderr();
  ASSERT_EQ(sw.db->backupErrors().size(), 2u) << err;
  EXPECT_NE(sw.db->backupErrors()[0].find("backup directory unusable"), std::string::npos);
  EXPECT_NE(sw.db->backupErrors()[1].find("cannot back up /backup/vorn/asics"), std::string::npos);
  EXPECT_TRUE(sw.db->backupPending());

  // A usable directory: the pending state is written.
  sw.db->backupDirIs(dir.path());
  sw.scheduler->runFor(2.0);
  EXPECT_FALSE(sw.db->backupPending());
  EXPECT_TRUE(dir.exists("vorn.asics.json"));
}

}  // namespace

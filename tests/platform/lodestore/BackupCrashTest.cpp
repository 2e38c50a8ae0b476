// The local backup survives its process being killed at any moment: a child
// process rewrites a backed-up record as fast as it can on the real clock,
// the test kills it with SIGKILL at random moments, and a fresh state
// database must every time restore a complete, consistent and never older
// record.

#include "platform/lodestore/EntityManager.h"
#include "platform/lodestore/StateDatabase.h"
#include "platform/framework/Record.h"
#include "tests/platform/lodestore/LodestoreTestUtil.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <random>

namespace LodestoreCrashTest {

// A counter and attributes derived from it: a file that mixes two states or
// stops half-way cannot pass consistent().
class CrashRecord : public Zem::Entity {
  ZEM_RECORD(CrashRecord, "LodestoreCrashTest::CrashRecord")
 public:
  ZEM_ATTR(uint64_t, counter)
  ZEM_ATTR(std::string, digest)
  ZEM_ORDERED_VALUE_MAP(int, uint64_t, series)

  static constexpr int kSeries = 64;

  static std::string digestOf(uint64_t n) { return fmt::format("{:016x}", n * 0x9e3779b97f4a7c15ull); }

  void advance() {
    const uint64_t n = counter() + 1;
    counterIs(n), digestIs(digestOf(n));
    for (int i = 0; i < kSeries; ++i) seriesIs(i, n * 31 + static_cast<uint64_t>(i));
  }

  bool consistent() const {
    const uint64_t n = counter();
    if (n == 0) return digest().empty() && series().empty();
    bool whole = digest() == digestOf(n) && series().size() == static_cast<size_t>(kSeries);
    for (int i = 0; i < kSeries; ++i) whole = whole && series(i) == n * 31 + static_cast<uint64_t>(i);
    return whole;
  }

 private:
  CrashRecord() = default;
};

const char* const kPath = "/backup/crash/record";

// Exit codes of a child that stopped by itself.
enum ChildExit { restoreFailed = 3, restoredInconsistent = 4, threw = 5 };

// Restores the record, then advances it every millisecond with a 2 ms flush
// delay; tells the parent through `ready` once a write made after the restore
// is on disk. Never returns.
[[noreturn]] void runChild(const std::string& dir, int ready) {
  // A child whose parent went away ends by itself.
  ::alarm(30);
  try {
    auto loop = Velto::make<Oru::EventLoop>();
    auto db = Velto::make<Lodestore::StateDatabase>(loop);
    db->backupDirIs(dir), db->backupFlushDelayIs(0.002);
    auto em = Velto::make<Lodestore::EntityManager>(db, loop);
    auto group = em->mountGroup();
    group->doMount(kPath, "LodestoreCrashTest::CrashRecord", "L");
    if (group->doClose(true, "crash", 10.0) != Lodestore::mountSuccess() || !db->backupErrors().empty())
      ::_exit(restoreFailed);
    auto record = em->getEntityAs<CrashRecord>(kPath);
    if (!record || !record->consistent()) ::_exit(restoredInconsistent);

    auto tick = Velto::make<Oru::TimerTask>(loop, 0, "tick");
    const uint64_t writesAtStart = db->backupWriteCount();
    bool told = false;
    auto reactor = tick->subscribe([&](const Zem::Change&) {
      for (int i = 0; i < 5; ++i) record->advance();
      // The first write may still be of the fresh record; the second is
      // certainly of an advanced one.
      if (!told && db->backupWriteCount() >= writesAtStart + 2) told = ::write(ready, "r", 1) == 1;
      tick->scheduleTaskDelay(0.001);
    });
    tick->scheduleTaskDelay(0.001);
    loop->run();
  } catch (...) {
    ::_exit(threw);
  }
  ::_exit(0);
}

TEST(LodestoreCrashTest, TheBackupSurvivesSigkillAtAnyMoment) {
  LodestoreTest::ScratchDir dir;
  std::mt19937 random(20240611);
  std::uniform_int_distribution<int> killAfterUs(0, 200000);
  uint64_t last = 0;
  for (int round = 0; round < 10; ++round) {
    SCOPED_TRACE(fmt::format("round {}", round));
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    pid_t pid = ::fork();
    if (pid == 0) ::close(fds[0]), runChild(dir.path(), fds[1]);
    ::close(fds[1]);
    // Wait for the child to have written an advanced record (bounded, so a
    // broken child fails the test instead of hanging it).
    pollfd p{fds[0], POLLIN, 0};
    char byte;
    const bool ready = ::poll(&p, 1, 20000) == 1 && ::read(fds[0], &byte, 1) == 1;
    ::close(fds[0]);
    if (ready) ::usleep(static_cast<useconds_t>(killAfterUs(random)));
    ::kill(pid, SIGKILL);
    int wstatus = 0;
    ASSERT_EQ(::waitpid(pid, &wstatus, 0), pid);
    ASSERT_TRUE(ready) << "the child did not report a write";
    ASSERT_TRUE(WIFSIGNALED(wstatus) && WTERMSIG(wstatus) == SIGKILL)
        << "the child stopped by itself, exit code " << (WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1);

    LodestoreTest::Switch after(dir.path());
    ASSERT_EQ(after.mount(kPath, "LodestoreCrashTest::CrashRecord", "L"), Lodestore::mountSuccess());
    ASSERT_TRUE(after.db->backupErrors().empty()) << after.db->backupErrors()[0];
    auto record = after.em->getEntityAs<CrashRecord>(kPath);
    EXPECT_TRUE(record->consistent()) << Zem::toJson(*record).dump();
    EXPECT_GT(record->counter(), std::exchange(last, record->counter()));  // each child wrote past what it restored
  }
}

}  // namespace LodestoreCrashTest

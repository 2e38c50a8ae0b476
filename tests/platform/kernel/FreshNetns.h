#pragma once
// Tests against the real kernel, in a network namespace of their own: the
// test process forks a child that moves into a new namespace (only lo, down),
// builds its links with `ip` and runs the body there. The test process itself
// never changes namespace, so other tests and the host's links are untouched.
// The child's gtest failures are printed by the child and fail the test
// through its exit status.

#include "platform/scheduler/Scheduler.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>

#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

namespace KernelTest {

struct ChildOutcome { bool skipped = false, passed = false; std::string why; };

inline ChildOutcome runInFreshNetns(const std::function<void()>& body) {
  constexpr int kNoNamespace = 77, kNoIpTool = 78;
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid < 0) return {false, false, "fork failed"};
  if (pid == 0) {
    // A child stuck on a kernel that never answers must not hang the run.
    alarm(120);
    if (unshare(CLONE_NEWNET) != 0) _exit(kNoNamespace);
    if (std::system("ip -V >/dev/null 2>&1") != 0) _exit(kNoIpTool);
    body();
    std::fflush(nullptr);
    _exit(::testing::Test::HasFailure() ? 1 : 0);
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) continue;
  const int code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  if (code == kNoNamespace) return {true, false, "cannot make a network namespace (needs CAP_SYS_ADMIN)"};
  if (code == kNoIpTool) return {true, false, "the `ip` command is missing"};
  if (WIFSIGNALED(status)) return {false, false, "child killed by signal " + std::to_string(WTERMSIG(status))};
  if (WEXITSTATUS(status) != 0) return {false, false, "child reported failures (see its output above)"};
  return {false, true, ""};
}

// Runs a shell command in the child; a command that fails fails the test.
inline void sh(const std::string& command) {
  EXPECT_EQ(std::system((command + " >/dev/null 2>&1").c_str()), 0) << command;
}

// Runs the loop until `done` holds; false when it still does not after a
// generous bound (the kernel answers in microseconds; the bound only keeps a
// broken build from hanging).
inline bool runUntil(Oru::EventLoop& loop, const std::function<bool()>& done) {
  for (int i = 0; i < 200 && !done(); ++i) loop.runOnce(0.05);
  return done();
}

}  // namespace KernelTest

// The outcome of a child as the result of the calling test.
#define KERNEL_TEST_IN_FRESH_NETNS(...)                         \
  do {                                                          \
    auto outcome_ = ::KernelTest::runInFreshNetns(__VA_ARGS__); \
    if (outcome_.skipped) GTEST_SKIP() << outcome_.why;         \
    EXPECT_TRUE(outcome_.passed) << outcome_.why;               \
  } while (0)

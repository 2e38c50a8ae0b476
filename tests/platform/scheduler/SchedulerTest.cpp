#include "platform/scheduler/Scheduler.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <map>

namespace {

using Oru::TimerTask;
using Oru::VirtualScheduler;
using Priority = Oru::EventLoop::Priority;
using Strings = std::vector<std::string>;

struct Fixture {
  Velto::Ptr<VirtualScheduler> clock = Velto::make<VirtualScheduler>(100.0);
  Strings fired;
  std::vector<Zem::Reactor> reactors;

  Velto::Ptr<TimerTask> task(const std::string& name) {
    auto t = Velto::make<TimerTask>(clock, 3, name);
    reactors.push_back(t->subscribe([this, name](const Zem::Change& c) {
      if (c.is(TimerTask::runAttr)) fired.push_back(fmt::format("{}@{}", name, clock->now()));
    }));
    return t;
  }
};

TEST(SchedulerTest, FiresInDueOrderWithSchedulingOrderForTies) {
  Fixture f;
  auto a = f.task("a"), b = f.task("b"), c = f.task("c"), d = f.task("d"), e = f.task("e");
  // e is re-armed earlier than the tasks due before it.
  for (auto [t, delay] : {std::pair(c, 2.0), {a, 1.0}, {d, 1.0}, {b, 1.0}, {e, 3.0}, {e, 0.5}})
    t->scheduleTaskDelay(delay);
  f.clock->runFor(5);
  EXPECT_EQ(f.fired, (Strings{"e@100.5", "a@101", "d@101", "b@101", "c@102"}));
  EXPECT_EQ(f.clock->now(), 105);
  EXPECT_FALSE(a->taskScheduled());
}

TEST(SchedulerTest, RearmStopAndRunUntilBoundary) {
  Fixture f;
  auto a = f.task("a"), b = f.task("b");
  a->scheduleTaskDelay(5), b->scheduleTaskDelay(1);
  f.clock->runFor(0.5);
  a->scheduleTaskDelay(1), b->scheduleTaskDelay(3);  // re-armed earlier (due at 101.5) and later (103.5)
  EXPECT_DOUBLE_EQ(a->dueTime(), 101.5);
  f.clock->runUntil(101.5);  // due exactly at the boundary: runs
  b->stopTimerTask(), b->stopTimerTask();  // stopping twice is harmless
  f.clock->runFor(10);
  EXPECT_EQ(f.fired, (Strings{"a@101.5"}));
  EXPECT_EQ(f.clock->scheduledTaskCount(), 0u);
}

TEST(SchedulerTest, HandlerMayRearmOrDestroyItsOwnTaskAndDestroyedTasksNeverFire) {
  auto clock = Velto::make<VirtualScheduler>();
  auto periodic = Velto::make<TimerTask>(clock, 0, "periodic");
  int runs = 0, destroyedRuns = 0;
  auto r1 = periodic->subscribe([&](const Zem::Change&) { if (++runs < 3) periodic->scheduleTaskDelay(0.1); });
  periodic->scheduleTaskDelay(0.1);
  auto once = Velto::make<TimerTask>(clock, 0, "once");
  auto r2 = once->subscribe([&](const Zem::Change&) { once = nullptr; });
  once->scheduleTaskDelay(0.15);
  {  // destroyed while armed
    auto t = Velto::make<TimerTask>(clock, 0, "t");
    auto r = t->subscribe([&](const Zem::Change&) { ++destroyedRuns; });
    t->scheduleTaskDelay(0.5);
  }
  clock->runFor(1);
  EXPECT_EQ(std::tuple(runs, once, destroyedRuns, clock->scheduledTaskCount()), std::tuple(3, nullptr, 0, 0u));
}

// Posted work runs when due; dropped posts never run.
TEST(SchedulerTest, PostsRunWhenDueOrNeverOnceDropped) {
  auto clock = Velto::make<VirtualScheduler>();
  std::vector<int> ran;
  clock->post([&] { ran.push_back(2); }, 1.0), clock->post([&] { ran.push_back(1); });
  clock->runReady();
  EXPECT_EQ(ran, (std::vector<int>{1}));
  clock->runFor(1);
  clock->post([&ran] { ran.push_back(3); }, 5.0);
  clock->postedDelAll();
  EXPECT_EQ(clock->scheduledTaskCount(), 0u);
  clock->runFor(10);
  EXPECT_EQ(ran, (std::vector<int>{1, 2}));
}

// Work handed over during a step waits for the step to end: a task's run, a posted callback, a nested run of the
// clock, or one descriptor's handler.
TEST(SchedulerTest, WorkForTheEndOfAStepRunsWhenTheOutermostStepEnds) {
  auto clock = Velto::make<VirtualScheduler>();
  Strings seen;
  auto note = [&](std::string what) { return [&seen, what] { seen.push_back(what); }; };
  Oru::atStepEnd(note("outside a step: at once"));
  EXPECT_FALSE(Oru::inStep());
  clock->post([&] {
    Oru::atStepEnd(note("end of first"));
    Oru::atStepEnd([&] {
      seen.push_back("end of first, again");
      Oru::atStepEnd(note("handed over at the end: at once"));
    });
    clock->post(note("nested"));  // a nested run is part of this step
    clock->runReady();
    seen.push_back(Oru::inStep() ? "first, in a step" : "first, outside");
  });
  clock->post(note("second"), 0);
  clock->runReady();
  EXPECT_EQ(seen, (Strings{"outside a step: at once", "second", "nested", "first, in a step", "end of first",
                           "end of first, again", "handed over at the end: at once"}));
}

// Descriptors that stay readable until closed, for the loop tests.
struct ReadyFds {
  std::vector<int> fds;
  ~ReadyFds() { std::for_each(fds.begin(), fds.end(), ::close); }
  int add() { return fds.push_back(eventfd(1, EFD_NONBLOCK | EFD_CLOEXEC)), fds.back(); }
};

// What the loop's host protocols rely on: whatever waits in the background, each turn serves the ready descriptors
// of normal priority, then the due timers, and only then background work, one piece per turn with a slice of 0,
// posted work and descriptors taking turns.
TEST(EventLoopTest, EachTurnServesHostWorkBeforeBackgroundWork) {
  auto loop = Velto::make<Oru::EventLoop>();
  loop->backgroundSliceIs(0);
  ReadyFds ready;
  Strings seen;
  loop->watchFd(ready.add(), EPOLLIN, [&](uint32_t) {
    seen.push_back("host");
    loop->atTurnEnd([&] {  // runs after the timers, before the clients
      seen.push_back("end");
      loop->atTurnEnd([&] { seen.emplace_back("end, handed over at the end"); });
    });
  });
  std::map<int, int> served;
  for (int i = 0; i < 5; ++i)
    loop->watchFd(
        ready.add(), EPOLLIN, [&, i](uint32_t) { seen.push_back("client"), ++served[i]; }, Priority::background);
  // Posted work that always has more, like a client's waiting requests.
  std::function<void()> more = [&] { seen.push_back("posted"), loop->postBackground(more); };
  loop->postBackground(more);
  auto tick = Velto::make<TimerTask>(loop, 0, "tick");
  auto r = tick->subscribe([&](const Zem::Change&) { seen.push_back("timer"), tick->scheduleTaskDelay(0); });
  tick->scheduleTaskDelay(0);
  for (int turn = 0; turn < 20; ++turn) {
    seen.clear();
    loop->runOnce(-1);  // never sleeps: work waits
    EXPECT_EQ(seen, (Strings{"host", "timer", "end", "end, handed over at the end", turn % 2 ? "client" : "posted"}));
  }
  EXPECT_EQ(served, (std::map<int, int>{{0, 2}, {1, 2}, {2, 2}, {3, 2}, {4, 2}}));  // ten turns for five clients
  EXPECT_EQ(loop->backgroundPostedCount(), 1u);
}

// A background handler may close another ready descriptor; a later descriptor with the same number belongs to
// someone else.
TEST(EventLoopTest, BackgroundDescriptorClosedByAnotherHandlerIsNotServed) {
  auto loop = Velto::make<Oru::EventLoop>();
  ReadyFds ready;
  const int a = ready.add(), b = ready.add();
  int runs = 0;
  auto closeBoth = [&](uint32_t) { ++runs, loop->unwatchFd(a), loop->unwatchFd(b); };
  for (int fd : {a, b}) loop->watchFd(fd, EPOLLIN, closeBoth, Priority::background);
  for (int i = 0; i < 5; ++i) loop->runOnce(0);
  EXPECT_EQ(runs, 1);
}

}  // namespace

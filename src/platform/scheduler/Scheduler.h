#pragma once
// Time and timers. Every state machine takes time only from its scheduler:
// `Oru::EventLoop` runs on the real clock (epoll, timerfd and the sockets of
// the host), `Oru::VirtualScheduler` jumps from one due task to the next, so
// a whole group can run an hour of protocol time in seconds and every test is
// exact about time. Tasks due at the same time run in the order they were
// scheduled.

#include "platform/framework/Entity.h"
#include "platform/framework/Values.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <limits>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace Oru {

using TaskPriority = int;
class SwitchContext;
class TimerTask;

class TaskScheduler : public Velto::RefCounted {
 public:
  ~TaskScheduler() override;

  // Seconds on this scheduler's clock.
  virtual Velto::Duration now() const = 0;

  // Runs `fn` on the activity thread after `delay` seconds (0: as soon as
  // the tasks already due have run). For host glue that is not a state
  // machine, such as the completion of a mount group.
  void post(std::function<void()> fn, Velto::Duration delay = 0);
  // Drops every posted callback that has not run. A pending post holds its
  // scheduler alive, so whoever shuts a scheduler down calls this first.
  void postedDelAll();

  size_t scheduledTaskCount() const { return heap_.size(); }
  // Due time of the earliest armed task.
  Zem::Optional<Velto::Duration> nextDue() const;

 protected:
  // Runs, in order, every task due at or before `t`; `advance` moves the
  // clock to a task's due time before it runs (virtual clock).
  size_t runDue(Velto::Duration t, const std::function<void(Velto::Duration)>& advance);
  // Called when the earliest due time may have changed.
  virtual void nextDueChanged() {}

 private:
  friend class TimerTask;
  void schedule(TimerTask* task, Velto::Duration due);
  void cancel(TimerTask* task);
  // A heap entry keeps its task's due time and sequence beside the task:
  // ordering the heap reads no task, which with thousands of armed timers
  // (every port of a simulated group) would miss the cache at every level.
  struct Entry {
    Velto::Duration due;
    uint64_t seq;
    TimerTask* task;
  };
  static bool earlier(const Entry& a, const Entry& b) { return a.due != b.due ? a.due < b.due : a.seq < b.seq; }
  void siftUp(size_t i);
  void siftDown(size_t i);
  void place(size_t i, const Entry& e);

  std::vector<Entry> heap_;
  uint64_t nextSeq_ = 1;
  std::vector<Velto::Ptr<TimerTask>> posted_;
};

// A one-shot timer. When it fires it publishes a change of `runAttr`; the
// owning state machine's reactor on the task calls the task's run handler.
// Tasks due at the same time fire in the order they were armed, whatever
// their priority: the agent's timers all share one priority, and arming
// order is what keeps runs on the virtual clock reproducible. The priority
// is kept for the owner and for traces.
class TimerTask : public Zem::Entity {
 public:
  static inline const Zem::AttrInfo runAttr{"run"};

  TimerTask(Velto::Ptr<TaskScheduler> scheduler, TaskPriority priority, std::string name);
  ~TimerTask() override;

  // Arms (or re-arms) the task to fire once, `delay` seconds from now.
  void scheduleTaskDelay(Velto::Duration delay);
  void stopTimerTask();
  bool taskScheduled() const { return heapIndex_ != kNotScheduled; }
  const std::string& taskName() const { return name_; }
  TaskPriority taskPriority() const { return priority_; }
  void taskPriorityIs(TaskPriority p) { priority_ = p; }
  const Velto::Ptr<TaskScheduler>& taskScheduler() const { return scheduler_; }
  // The switch context active when the task was made; the scheduler
  // activates it before the task runs. Null: the task belongs to no switch.
  SwitchContext* context() const { return context_; }
  // When the armed task fires, on the scheduler's clock.
  Velto::Duration dueTime() const { return due_; }

 private:
  friend class TaskScheduler;
  static constexpr size_t kNotScheduled = std::numeric_limits<size_t>::max();
  void fire();

  Velto::Ptr<TaskScheduler> scheduler_;
  TaskPriority priority_;
  std::string name_;
  size_t heapIndex_ = kNotScheduled;
  uint64_t seq_ = 0;
  SwitchContext* context_ = nullptr;
  Velto::Duration due_ = 0;
  std::function<void()> postedFn_;
};

// A step is one unit of the activity thread's work: the run of one timer
// task or posted callback, or one ready descriptor's handler in the event
// loop. Work handed to atStepEnd() during a step runs when the outermost step
// returns, before the next one starts, in the order it was handed over;
// handed over outside a step (by that work too), it runs at once. The system
// log uses it to report what a step did only once the step has done it.
void atStepEnd(std::function<void()> work);
bool inStep();

// The scheduler of the active switch context (SwitchContext.h): the agent
// whose code is running. Records that stamp a time when they are made (a
// port status) read it through currentTime(). Null when no context is
// active or the active one has no scheduler.
TaskScheduler* currentScheduler();
// Now on the current scheduler's clock; 0 when there is none.
Velto::Duration currentTime();

// The deterministic clock of the simulator and the tests.
class VirtualScheduler : public TaskScheduler {
 public:
  explicit VirtualScheduler(Velto::Duration start = 0) : now_(start) {}
  Velto::Duration now() const override { return now_; }

  // Runs every task due up to `t` in order, then sets the clock to `t`.
  size_t runUntil(Velto::Duration t);
  size_t runFor(Velto::Duration d) { return runUntil(now_ + d); }
  // Runs the tasks due now, without moving the clock.
  size_t runReady() { return runUntil(now_); }
  // Moves the clock to the next due task and runs everything due then.
  bool runNext();

 private:
  Velto::Duration now_;
};

// The real-clock event loop of a daemon: timers through a timerfd, file
// descriptors through epoll, all handlers on the calling thread.
//
// One turn of the loop (runOnce) runs, in this order: the handlers of the
// ready descriptors of normal priority, every timer task that is due, then
// background work for at most the background slice. Descriptors of normal
// priority are the switch's own protocols (LLDP sockets, netlink, signals);
// background descriptors and posted background work serve clients the
// switch does not control (the peer state-sync listener's connections).
// However much background work waits, every turn serves each ready
// descriptor of normal priority and every due timer, and background work
// delays them by at most one slice plus one piece of work.
class EventLoop : public TaskScheduler {
 public:
  using FdHandler = std::function<void(uint32_t events)>;
  enum class Priority : uint8_t { normal, background };

  EventLoop();
  ~EventLoop() override;

  // CLOCK_MONOTONIC seconds. While a descriptor's handler runs, the time
  // it was called: every frame of a block read from a receive ring is
  // stamped alike (the block was read at one moment; a frame's arrival
  // within it is not known anyway), and a handler does not pay a clock
  // read for each timer it arms and each time it records.
  Velto::Duration now() const override;

  // Calls `handler` with the epoll events whenever `fd` is ready. A handler
  // may watch or unwatch descriptors, including its own. Watching a watched
  // descriptor again replaces its events, handler and priority.
  void watchFd(int fd, uint32_t events, FdHandler handler, Priority priority = Priority::normal);
  void unwatchFd(int fd);

  // Runs `fn` in the background part of a later turn, after the background
  // work posted before it. A piece of work that posts more runs that part
  // in the next turn at the earliest. The loop does not sleep while
  // background work waits.
  void postBackground(std::function<void()> fn);
  size_t backgroundPostedCount() const { return backgroundPosted_.size(); }
  // Seconds of each turn that background work may take (default 1 ms).
  // One piece of background work runs in every turn that has any, however
  // small the slice: 0 runs exactly one piece per turn.
  void backgroundSliceIs(Velto::Duration slice) { backgroundSlice_ = slice; }
  Velto::Duration backgroundSlice() const { return backgroundSlice_; }

  // Runs `fn` once this turn's ready descriptors and due timers are served,
  // before its background work and before the loop waits again, in the
  // order handed over (work handed over by such work runs too); outside a
  // turn, at once. Ports that send at one instant hand their frames to the
  // kernel together there.
  void atTurnEnd(std::function<void()> fn);

  // Runs until stop(); returns at once if stop() was already called.
  void run();
  // Waits at most `maxWait` seconds for one round of ready work and runs
  // it: one turn.
  void runOnce(Velto::Duration maxWait);
  void stop() { stopped_ = true; }
  bool stopped() const { return stopped_; }

 private:
  struct Watch {
    std::shared_ptr<FdHandler> handler;
    Priority priority;
  };
  void nextDueChanged() override;
  void armTimer();
  void runBackground(bool descriptorsReady);
  // Runs the handler of one ready descriptor, if it is still watched.
  void dispatch(int fd, uint32_t events);

  int epollFd_ = -1;
  // The background descriptors, in an epoll set of their own that the main
  // set watches: readable while any of them is ready.
  int backgroundEpollFd_ = -1;
  int timerFd_ = -1;
  bool stopped_ = false;
  // The timer is set only before the loop waits: a turn moves the earliest
  // due time many times (every frame re-arms a timer), the kernel needs to
  // know only the last.
  bool timerDirty_ = false;
  bool inTurn_ = false;
  // The time a running descriptor handler was called; unset outside one.
  std::optional<Velto::Duration> handlerNow_;
  std::vector<std::function<void()>> turnEnd_;
  Velto::Duration backgroundSlice_ = 0.001;
  // Whose piece of background work comes next: posted work or a ready
  // descriptor.
  bool backgroundPostedNext_ = true;
  std::unordered_map<int, Watch> watches_;
  std::deque<std::function<void()>> backgroundPosted_;
};

}  // namespace Oru

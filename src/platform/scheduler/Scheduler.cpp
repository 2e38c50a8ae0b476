#include "platform/scheduler/Scheduler.h"

#include "platform/framework/Assert.h"
#include "platform/scheduler/SwitchContext.h"

#include <sys/epoll.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <ctime>
#include <memory>
#include <stdexcept>
#include <string>

namespace Oru {

// ---------------------------------------------------------------------------
// TaskScheduler: a binary heap of armed tasks, each knowing its own index so
// that re-arming and stopping cost O(log n) and leave nothing behind.

TaskScheduler::~TaskScheduler() {
  for (const Entry& e : heap_) e.task->heapIndex_ = TimerTask::kNotScheduled;
}

void TaskScheduler::place(size_t i, const Entry& e) {
  heap_[i] = e;
  e.task->heapIndex_ = i;
}

void TaskScheduler::siftUp(size_t i) {
  const Entry t = heap_[i];
  while (i > 0) {
    size_t parent = (i - 1) / 2;
    if (!earlier(t, heap_[parent])) break;
    place(i, heap_[parent]);
    i = parent;
  }
  place(i, t);
}

void TaskScheduler::siftDown(size_t i) {
  const Entry t = heap_[i];
  const size_t n = heap_.size();
  for (;;) {
    size_t child = 2 * i + 1;
    if (child >= n) break;
    if (child + 1 < n && earlier(heap_[child + 1], heap_[child])) ++child;
    if (!earlier(heap_[child], t)) break;
    place(i, heap_[child]);
    i = child;
  }
  place(i, t);
}

void TaskScheduler::schedule(TimerTask* task, Velto::Duration due) {
  const bool wasFirst = !heap_.empty() && heap_.front().task == task;
  task->due_ = due;
  task->seq_ = nextSeq_++;
  const Entry entry{due, task->seq_, task};
  if (task->heapIndex_ == TimerTask::kNotScheduled) {
    heap_.push_back(entry);
    task->heapIndex_ = heap_.size() - 1;
    siftUp(heap_.size() - 1);
  } else {
    // Re-armed: the new due time may be earlier or later.
    size_t i = task->heapIndex_;
    heap_[i] = entry;
    siftDown(i);
    siftUp(task->heapIndex_);
  }
  if (wasFirst || heap_.front().task == task) nextDueChanged();
}

void TaskScheduler::cancel(TimerTask* task) {
  size_t i = task->heapIndex_;
  if (i == TimerTask::kNotScheduled) return;
  const bool wasFirst = i == 0;
  task->heapIndex_ = TimerTask::kNotScheduled;
  const Entry last = heap_.back();
  heap_.pop_back();
  if (last.task != task) {
    place(i, last);
    siftDown(i);
    siftUp(last.task->heapIndex_);
  }
  if (wasFirst) nextDueChanged();
}

Zem::Optional<Velto::Duration> TaskScheduler::nextDue() const {
  if (heap_.empty()) return Zem::none;
  return heap_.front().due;
}

namespace {

// Steps nest when a step runs a scheduler itself; their end work waits for
// the outermost one. Each piece of work remembers the switch it was handed
// over by: a host that runs several switches (the simulator) may have made
// another one active by the time the step ends.
struct StepEndWork {
  SwitchContext* context;
  std::function<void()> work;
};
int gStepDepth = 0;
std::vector<StepEndWork> gStepEndWork;

// A task of no switch runs in whichever context is active.
void activateContext(SwitchContext* context) {
  if (context != nullptr) context->activate();
}

void runStepEndWork() {
  SwitchContext* const stepContext = SwitchContext::active();
  // Moved out before it runs: work that runs a step of its own (a scheduler
  // run) comes back here for what that step hands over.
  while (!gStepEndWork.empty()) {
    auto work = std::move(gStepEndWork);
    gStepEndWork.clear();
    for (auto& w : work) {
      activateContext(w.context);
      w.work();
    }
  }
  activateContext(stepContext);
}

class Step {
 public:
  Step() { ++gStepDepth; }
  ~Step() {
    if (--gStepDepth == 0) runStepEndWork();
  }
  Step(const Step&) = delete;
  Step& operator=(const Step&) = delete;
};

}  // namespace

void atStepEnd(std::function<void()> work) {
  if (gStepDepth == 0) {
    work();
    return;
  }
  gStepEndWork.push_back({SwitchContext::active(), std::move(work)});
}

bool inStep() { return gStepDepth > 0; }

size_t TaskScheduler::runDue(Velto::Duration t, const std::function<void(Velto::Duration)>& advance) {
  size_t ran = 0;
  while (!heap_.empty() && heap_.front().due <= t) {
    Velto::Ptr<TimerTask> task(heap_.front().task);
    cancel(task.get());
    if (advance) advance(task->due_);
    activateContext(task->context_);
    Step step;
    task->fire();
    ++ran;
  }
  return ran;
}

void TaskScheduler::post(std::function<void()> fn, Velto::Duration delay) {
  auto task = Velto::make<TimerTask>(Velto::Ptr<TaskScheduler>(this), 0, "post");
  task->postedFn_ = std::move(fn);
  task->scheduleTaskDelay(delay);
  posted_.push_back(std::move(task));
}

void TaskScheduler::postedDelAll() {
  // Moved out first: a callback's captures may post again while destroyed.
  auto posted = std::move(posted_);
  posted_.clear();
  for (auto& task : posted) cancel(task.get());
  posted.clear();
}

// ---------------------------------------------------------------------------

TimerTask::TimerTask(Velto::Ptr<TaskScheduler> scheduler, TaskPriority priority, std::string name)
    : scheduler_(std::move(scheduler)), priority_(priority), name_(std::move(name)), context_(SwitchContext::active()) {
  ZEM_ASSERT(scheduler_);
}

TimerTask::~TimerTask() {
  if (scheduler_) scheduler_->cancel(this);
}

void TimerTask::scheduleTaskDelay(Velto::Duration delay) {
  scheduler_->schedule(this, scheduler_->now() + std::max(0.0, delay));
}

void TimerTask::stopTimerTask() { scheduler_->cancel(this); }

void TimerTask::fire() {
  if (postedFn_) {
    auto fn = std::move(postedFn_);
    auto& posted = scheduler_->posted_;
    std::erase_if(posted, [this](const auto& p) { return p.get() == this; });
    fn();
    return;
  }
  publish(Zem::Change{this, &runAttr, nullptr, nullptr, nullptr});
}

// ---------------------------------------------------------------------------

TaskScheduler* currentScheduler() {
  const SwitchContext* context = SwitchContext::active();
  return context != nullptr ? context->scheduler() : nullptr;
}

Velto::Duration currentTime() {
  const TaskScheduler* scheduler = currentScheduler();
  return scheduler != nullptr ? scheduler->now() : 0.0;
}

// ---------------------------------------------------------------------------

size_t VirtualScheduler::runUntil(Velto::Duration t) {
  size_t ran = runDue(t, [this](Velto::Duration due) { now_ = std::max(now_, due); });
  now_ = std::max(now_, t);
  return ran;
}

bool VirtualScheduler::runNext() {
  auto due = nextDue();
  if (!due) return false;
  runUntil(*due);
  return true;
}

// ---------------------------------------------------------------------------

namespace {
[[noreturn]] void sysFail(const char* what) {
  throw std::runtime_error(std::string(what) + ": " + std::strerror(errno));
}
}  // namespace

EventLoop::EventLoop() {
  epollFd_ = epoll_create1(EPOLL_CLOEXEC);
  if (epollFd_ < 0) sysFail("epoll_create1");
  backgroundEpollFd_ = epoll_create1(EPOLL_CLOEXEC);
  if (backgroundEpollFd_ < 0) sysFail("epoll_create1");
  timerFd_ = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
  if (timerFd_ < 0) sysFail("timerfd_create");
  for (int fd : {timerFd_, backgroundEpollFd_}) {
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = fd;
    if (epoll_ctl(epollFd_, EPOLL_CTL_ADD, fd, &ev) < 0) sysFail("epoll_ctl");
  }
}

EventLoop::~EventLoop() {
  if (timerFd_ >= 0) ::close(timerFd_);
  if (backgroundEpollFd_ >= 0) ::close(backgroundEpollFd_);
  if (epollFd_ >= 0) ::close(epollFd_);
}

Velto::Duration EventLoop::now() const {
  if (handlerNow_) return *handlerNow_;
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

void EventLoop::watchFd(int fd, uint32_t events, FdHandler handler, Priority priority) {
  epoll_event ev{};
  ev.events = events;
  ev.data.fd = fd;
  auto it = watches_.find(fd);
  if (it != watches_.end() && it->second.priority != priority) {
    // Moves to the other set.
    epoll_ctl(it->second.priority == Priority::background ? backgroundEpollFd_ : epollFd_, EPOLL_CTL_DEL, fd, nullptr);
    watches_.erase(it);
    it = watches_.end();
  }
  const int set = priority == Priority::background ? backgroundEpollFd_ : epollFd_;
  if (epoll_ctl(set, it != watches_.end() ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, fd, &ev) < 0) sysFail("epoll_ctl");
  watches_[fd] = Watch{std::make_shared<FdHandler>(std::move(handler)), priority};
}

void EventLoop::unwatchFd(int fd) {
  auto it = watches_.find(fd);
  if (it == watches_.end()) return;
  epoll_ctl(it->second.priority == Priority::background ? backgroundEpollFd_ : epollFd_, EPOLL_CTL_DEL, fd, nullptr);
  watches_.erase(it);
}

void EventLoop::postBackground(std::function<void()> fn) { backgroundPosted_.push_back(std::move(fn)); }

void EventLoop::nextDueChanged() { timerDirty_ = true; }

void EventLoop::armTimer() {
  timerDirty_ = false;
  itimerspec its{};
  if (auto due = nextDue()) {
    // An absolute expiry; a time already past fires at once.
    double d = std::max(*due, 1e-9);
    its.it_value.tv_sec = static_cast<time_t>(d);
    its.it_value.tv_nsec = static_cast<long>((d - std::floor(d)) * 1e9);
    if (its.it_value.tv_sec == 0 && its.it_value.tv_nsec == 0) its.it_value.tv_nsec = 1;
  }
  timerfd_settime(timerFd_, TFD_TIMER_ABSTIME, &its, nullptr);
}

void EventLoop::dispatch(int fd, uint32_t events) {
  auto it = watches_.find(fd);
  if (it == watches_.end()) return;
  auto handler = it->second.handler;  // survives an unwatch from inside
  Step step;
  handlerNow_ = now();
  struct Unset {
    std::optional<Velto::Duration>& at;
    ~Unset() { at.reset(); }
  } unset{handlerNow_};
  (*handler)(events);
}

void EventLoop::runOnce(Velto::Duration maxWait) {
  if (timerDirty_) armTimer();
  epoll_event events[32];
  int timeoutMs = maxWait < 0 ? -1 : static_cast<int>(std::ceil(maxWait * 1000));
  if (!backgroundPosted_.empty()) timeoutMs = 0;
  int n = epoll_wait(epollFd_, events, 32, timeoutMs);
  if (n < 0) {
    if (errno != EINTR) sysFail("epoll_wait");
    n = 0;
  }
  bool backgroundReady = false;
  inTurn_ = true;
  for (int i = 0; i < n; ++i) {
    const int fd = events[i].data.fd;
    if (fd == timerFd_) {
      uint64_t expirations;
      while (::read(timerFd_, &expirations, sizeof expirations) > 0) {
      }
    } else if (fd == backgroundEpollFd_) {
      backgroundReady = true;
    } else {
      dispatch(fd, events[i].events);
    }
  }
  runDue(now(), nullptr);
  for (size_t i = 0; i < turnEnd_.size(); ++i) {
    auto fn = std::move(turnEnd_[i]);
    fn();
  }
  turnEnd_.clear();
  inTurn_ = false;
  runBackground(backgroundReady);
}

void EventLoop::atTurnEnd(std::function<void()> fn) {
  if (inTurn_) {
    turnEnd_.push_back(std::move(fn));
  } else {
    fn();
  }
}

void EventLoop::runBackground(bool descriptorsReady) {
  // Only the work posted before this part began: work that posts more
  // (the rest of a client's requests) waits for the next turn.
  std::deque<std::function<void()>> posted;
  posted.swap(backgroundPosted_);
  const Velto::Duration deadline = now() + backgroundSlice_;
  // Ready descriptors are taken one at a time: the kernel puts one it has
  // reported at the back of its ready list, so each gets its turn, and one
  // not served this turn stays ready (level-triggered) for the next.
  epoll_event ready{};
  bool haveReady = false;
  auto descriptorWaiting = [&] {
    if (!haveReady && descriptorsReady) {
      haveReady = epoll_wait(backgroundEpollFd_, &ready, 1, 0) == 1;
      descriptorsReady = haveReady;
    }
    return haveReady;
  };
  // Posted work and ready descriptors take turns, across turns of the loop
  // too, so that neither starves the other.
  for (bool first = true; first || now() < deadline; first = false) {
    if (!posted.empty() && (backgroundPostedNext_ || !descriptorWaiting())) {
      auto fn = std::move(posted.front());
      posted.pop_front();
      Step step;
      fn();
    } else if (descriptorWaiting()) {
      haveReady = false;
      dispatch(ready.data.fd, ready.events);
    } else {
      break;
    }
    backgroundPostedNext_ = !backgroundPostedNext_;
  }
  // What the slice left waits, before what was posted meanwhile.
  if (!posted.empty()) {
    for (auto& fn : backgroundPosted_) posted.push_back(std::move(fn));
    backgroundPosted_.swap(posted);
  }
}

void EventLoop::run() {
  while (!stopped_) runOnce(-1);
}

}  // namespace Oru

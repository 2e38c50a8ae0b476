#pragma once
// The base of every state machine: the notification gate, reactors bound to
// it, owned timer tasks, and owned children that are kept when re-made with
// equal arguments.

#include "platform/framework/Entity.h"
#include "platform/scheduler/Scheduler.h"

#include <optional>
#include <tuple>

namespace Zem {

class StateMachine : public Entity {
 public:
  // While false, none of this state machine's reactors runs a handler.
  // Factories switch it on once the constructor has reconciled the outputs.
  bool hasNotificationActive() const { return notificationActive_; }
  virtual void hasNotificationActiveIs(bool active) { notificationActive_ = active; }

  // A timer task owned by a state machine, with the gated reactor that runs
  // the owner's handler when it fires. Dropping it disarms the task.
  class TimerTaskSlot {
   public:
    const Velto::Ptr<Oru::TimerTask>& task() const { return task_; }
    void arm(Velto::Duration delay) const {
      if (task_) task_->scheduleTaskDelay(delay);
    }
    void stop() const {
      if (task_) task_->stopTimerTask();
    }
    bool armed() const { return task_ && task_->taskScheduled(); }

   private:
    friend class StateMachine;
    Velto::Ptr<Oru::TimerTask> task_;
    Reactor reactor_;
  };

 protected:
  // Makes `slot`'s task anew (dropping any present one); `run` is called on
  // each expiry while notifications are active.
  template <class F>
  void timerTaskIs(TimerTaskSlot& slot, Velto::Ptr<Oru::TaskScheduler> scheduler, Oru::TaskPriority priority,
                   std::string name, F&& run) const {
    timerTaskDel(slot);
    slot.task_ = Velto::make<Oru::TimerTask>(std::move(scheduler), priority, std::move(name));
    slot.reactor_ = watch(slot.task_, [run = std::forward<F>(run)](const Change& c) {
      if (c.is(Oru::TimerTask::runAttr)) run();
    });
  }
  static void timerTaskDel(TimerTaskSlot& slot) {
    slot.reactor_.reset();
    slot.task_ = nullptr;
  }

  // Subscribes `handler` to every change of `source` (nested changes
  // included), gated by this state machine's notification flag. An empty
  // source gives an inactive reactor.
  template <class E, class F>
  Reactor watch(const Velto::Ptr<E>& source, F&& handler) const {
    if (!source) return Reactor();
    return source->subscribe(std::forward<F>(handler), &notificationActive_);
  }
  template <class F>
  Reactor watch(const Entity& source, F&& handler) const {
    return source.subscribe(std::forward<F>(handler), &notificationActive_);
  }

 private:
  bool notificationActive_ = false;
};

// One owned child state machine (or record) made by a factory. `is(...)` with
// the arguments of the present child returns it; other arguments make a new
// child, release the old one and activate the new one.
template <class T, class... Args>
class ChildSlot {
 public:
  const Velto::Ptr<T>& get() const { return child_; }
  explicit operator bool() const { return static_cast<bool>(child_); }

  template <class Factory>
  const Velto::Ptr<T>& is(Factory&& factory, const Args&... args) {
    if (child_ && args_ && *args_ == std::tuple<Args...>(args...)) return child_;
    Velto::Ptr<T> made = factory(args...);
    Velto::Ptr<T> old = std::move(child_);
    child_ = std::move(made);
    args_.emplace(args...);
    release(std::move(old));
    if constexpr (requires { child_->hasNotificationActiveIs(true); }) {
      if (child_) child_->hasNotificationActiveIs(true);
    }
    return child_;
  }

  void del() {
    args_.reset();
    release(std::move(child_));
  }

 private:
  static void release(Velto::Ptr<T> old) {
    if constexpr (requires { old->hasNotificationActiveIs(false); }) {
      if (old) old->hasNotificationActiveIs(false);
    }
  }

  Velto::Ptr<T> child_;
  std::optional<std::tuple<Args...>> args_;
};

}  // namespace Zem

#pragma once
// The base of every state machine: the notification gate, reactors bound to
// it, and owned children that are kept when re-made with equal arguments.

#include "platform/framework/Entity.h"

#include <optional>
#include <tuple>

namespace Zem {

class StateMachine : public Entity {
 public:
  // While false, none of this state machine's reactors runs a handler.
  // Factories switch it on once the constructor has reconciled the outputs.
  bool hasNotificationActive() const { return notificationActive_; }
  virtual void hasNotificationActiveIs(bool active) { notificationActive_ = active; }

 protected:
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

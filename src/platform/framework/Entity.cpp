#include "platform/framework/Entity.h"

#include "platform/framework/Assert.h"
#include "platform/framework/Record.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>

namespace Zem {

namespace {
// Called from the catch block of a delivery: a handler let an exception out.
// The state it left behind is half-updated and its caller (another handler,
// a writer) cannot know what was done, so the process ends here, naming the
// entity and the exception.
[[noreturn]] void handlerThrew(const Entity& e) {
  std::string what = "unknown exception";
  try {
    throw;
  } catch (const std::exception& ex) {
    what = ex.what();
  } catch (...) {
  }
  std::string who = e.fullName();
  if (who.empty()) who = e.typeInfo() ? e.typeInfo()->name() : "an unnamed entity";
  std::fprintf(stderr, "exception escaping a handler of %s: %s\n", who.c_str(), what.c_str());
  std::fflush(stderr);
  std::abort();
}
}  // namespace

void assertionFailed(const std::string& what, const char* file, int line, const char* function) {
  std::fprintf(stderr, "assertion failed: %s (%s:%d in %s)\n", what.c_str(), file, line, function);
  std::fflush(stderr);
  std::abort();
}

void Reactor::reset() {
  if (!sub_) return;
  Velto::Ptr<Subscription> s = std::move(sub_);
  s->alive_ = false;
  if (s->source_) s->source_->unsubscribe(s.get());
}

Entity::~Entity() {
  for (auto& s : subs_) s->source_ = nullptr;
}

Reactor Entity::subscribe(Subscription::Handler handler, const bool* gate) const {
  auto s = Velto::make<Subscription>(this, std::move(handler), gate);
  subs_.push_back(s);
  return Reactor(std::move(s));
}

size_t Entity::subscriberCount() const {
  return static_cast<size_t>(std::count_if(subs_.begin(), subs_.end(), [](const auto& s) { return s->alive_; }));
}

void Entity::unsubscribe(Subscription* s) const {
  s->source_ = nullptr;
  if (delivering_ > 0) {
    // The delivery loop indexes subs_; mark and compact when it ends.
    dirty_ = true;
    return;
  }
  auto it = std::find_if(subs_.begin(), subs_.end(), [s](const auto& p) { return p.get() == s; });
  if (it != subs_.end()) subs_.erase(it);
}

void Entity::compact() const {
  dirty_ = false;
  std::erase_if(subs_, [](const auto& s) { return !s->alive_; });
}

std::string Entity::fullName() const {
  std::string n = name_;
  for (const Entity* p = parent_; p; p = p->parent_) {
    if (p->name_.empty()) break;
    n = p->name_ + "/" + n;
  }
  return n;
}

namespace {
// One entity on the way from the writer up through its containers, and what
// its delivery is fixed to before any handler runs.
struct Hop {
  const Entity* entity;
  size_t subscribers;  // subscriptions present when the change began
  bool pinned;         // holds a reference (the entity is ref-counted)
  Change change;       // the change as this entity's subscribers see it
};
constexpr size_t kInlineHops = 8;
}  // namespace

void Entity::publish(const Change& change) const {
  ++workCounters.publishes;
  if (subs_.empty() && !parent_) return;
  // Who hears the change is decided before any handler runs: the containers
  // it travels up through (an entry handler may remove the entry, or drop
  // the last reference to it or a container) and, at each, the subscriptions
  // present now (one made by a handler hears only later changes). Raising
  // every delivery count keeps the subscriber lists' indices stable.
  size_t depth = 0;
  for (const Entity* e = this; e; e = e->parent_) ++depth;
  Hop inlineHops[kInlineHops];
  std::unique_ptr<Hop[]> deepHops;
  Hop* hops = inlineHops;
  if (depth > kInlineHops) {
    deepHops = std::make_unique<Hop[]>(depth);
    hops = deepHops.get();
  }
  size_t i = 0;
  for (const Entity* e = this; e; e = e->parent_, ++i) {
    const bool pinned = e->refCount() > 0;
    if (pinned) e->refInc();
    ++e->delivering_;
    Change c = i == 0 ? change : Change{e, hops[i - 1].entity->parentAttr_, hops[i - 1].entity->parentKeyPtr_, nullptr, nullptr};
    hops[i] = Hop{e, e->subs_.size(), pinned, c};
  }
  for (i = 1; i < depth; ++i) hops[i].change.inner = &hops[i - 1].change;

  for (i = 0; i < depth; ++i) {
    const Entity& e = *hops[i].entity;
    for (size_t k = 0; k < hops[i].subscribers; ++k) {
      Subscription* s = e.subs_[k].get();
      if (!s->alive_ || (s->gate_ && !*s->gate_)) continue;
      Velto::Ptr<Subscription> keep(s);
      ++workCounters.handlerRuns;
      try {
        s->handler_(hops[i].change);
      } catch (...) {
        handlerThrew(e);
      }
    }
  }
  for (i = 0; i < depth; ++i) {
    const Entity* e = hops[i].entity;
    if (--e->delivering_ == 0 && e->dirty_) e->compact();
  }
  for (i = 0; i < depth; ++i) {
    if (hops[i].pinned) hops[i].entity->refDec();
  }
}

void Entity::attachParent(const Entity& parent, const AttrInfo& attr) {
  ZEM_ASSERT(parent_ == nullptr || parent_ == &parent);
  parent_ = &parent;
  parentAttr_ = &attr;
}

void Entity::detach() {
  // The key copy stays: a change of this entry may still be on its way.
  parent_ = nullptr;
  parentAttr_ = nullptr;
}

}  // namespace Zem

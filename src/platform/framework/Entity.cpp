#include "platform/framework/Entity.h"

#include "platform/framework/Assert.h"
#include "platform/framework/Record.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <exception>

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

void Entity::publish(const Change& change) const {
  if (subs_.empty() && !parent_) return;
  // Handlers may drop the last outside reference to this entity.
  const bool managed = refCount() > 0;
  if (managed) refInc();
  if (!subs_.empty()) {
    ++delivering_;
    const size_t n = subs_.size();
    for (size_t i = 0; i < n; ++i) {
      Subscription* s = subs_[i].get();
      if (!s->alive_ || (s->gate_ && !*s->gate_)) continue;
      Velto::Ptr<Subscription> keep(s);
      try {
        s->handler_(change);
      } catch (...) {
        handlerThrew(*this);
      }
    }
    if (--delivering_ == 0 && dirty_) compact();
  }
  if (const Entity* p = parent_) {
    p->publish(Change{p, parentAttr_, parentKeyPtr_, nullptr, &change});
  }
  if (managed) refDec();
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

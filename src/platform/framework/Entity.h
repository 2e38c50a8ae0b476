#pragma once
// The reactive entity: the unit of state that state machines watch.
//
// A write that changes an attribute publishes a Change to every subscriber of
// the entity before it returns; an unchanged write publishes nothing. An
// entity held in an owning collection (or as an owned child) forwards each of
// its changes to its container, whose subscribers receive it as a nested
// change: the container's Change names the collection attribute and the key,
// and `inner` points at the change inside the entry.
//
// Subscriptions are owned by Reactor handles. Subscribing, unsubscribing and
// destroying the entity, the reactor or its owner from inside a handler are
// all safe: delivery holds a reference to the entity and to the subscription
// being run, skips subscriptions that went away, and never delivers a change
// to a subscription made after the change began. The containers a change
// travels up through are fixed when it begins too: an entry handler that
// removes the entry does not keep the change from its former container.
//
// An exception escaping a handler ends the process: the writer that
// published cannot know how far the reaction got, so no caller may go on
// from that half-updated state.

#include "platform/framework/Ptr.h"

#include <any>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace Zem {

class Entity;
class TypeInfo;

// Identifies one attribute of one record type; compared by address.
struct AttrInfo {
  const char* name;
};

// How much work the framework did since the process started, for tests and
// benchmarks that check what one step costs: writer calls (whether they
// changed anything or not), changes published, and handler runs. Plain
// counters on the one activity thread.
struct WorkCounters {
  uint64_t writes = 0;
  uint64_t publishes = 0;
  uint64_t handlerRuns = 0;
};
inline WorkCounters workCounters;

struct Change {
  // The entity whose subscribers are being told.
  const Entity* entity = nullptr;
  // Its attribute that changed (for nested changes: the collection or child
  // attribute holding the entry that changed).
  const AttrInfo* attr = nullptr;
  // The key within a collection attribute; null for plain attributes and
  // owned children.
  const void* key = nullptr;
  // The previous value: for a plain attribute a pointer to the old value; for
  // an entity collection or owned child a pointer to the previous entry's
  // Velto::Ptr (empty when the entry was added); for a value map a pointer to
  // a std::optional of the old value. Null for sets and nested changes.
  const void* prev = nullptr;
  // The change inside the entry, for nested changes; null otherwise.
  const Change* inner = nullptr;

  bool is(const AttrInfo& a) const { return attr == &a; }
  bool nested() const { return inner != nullptr; }
  template <class K>
  const K& keyAs() const {
    return *static_cast<const K*>(key);
  }
  template <class V>
  const V& prevAs() const {
    return *static_cast<const V*>(prev);
  }
};

class Subscription : public Velto::RefCounted {
 public:
  using Handler = std::function<void(const Change&)>;
  Subscription(const Entity* source, Handler handler, const bool* gate)
      : source_(source), handler_(std::move(handler)), gate_(gate) {}

  bool alive() const { return alive_; }
  const Entity* source() const { return source_; }

 private:
  friend class Entity;
  friend class Reactor;
  const Entity* source_;
  Handler handler_;
  // While *gate_ is false the subscription delivers nothing (a state
  // machine with notifications inactive).
  const bool* gate_;
  bool alive_ = true;
};

// Owns one subscription; unsubscribes when destroyed or reset.
class Reactor {
 public:
  Reactor() = default;
  Reactor(Reactor&&) noexcept = default;
  Reactor& operator=(Reactor&& o) noexcept {
    if (this != &o) {
      reset();
      sub_ = std::move(o.sub_);
    }
    return *this;
  }
  Reactor(const Reactor&) = delete;
  Reactor& operator=(const Reactor&) = delete;
  ~Reactor() { reset(); }

  void reset();
  bool active() const { return sub_ && sub_->alive_ && sub_->source_; }
  const Entity* source() const { return sub_ ? sub_->source_ : nullptr; }

 private:
  friend class Entity;
  explicit Reactor(Velto::Ptr<Subscription> s) : sub_(std::move(s)) {}
  Velto::Ptr<Subscription> sub_;
};

class Entity : public Velto::RefCounted {
 public:
  Entity() = default;
  Entity(const Entity&) = delete;
  Entity& operator=(const Entity&) = delete;
  ~Entity() override;

  // Subscribes `handler` to every change of this entity, including nested
  // changes of the entities it owns.
  Reactor subscribe(Subscription::Handler handler, const bool* gate = nullptr) const;
  size_t subscriberCount() const;

  // Reflection (record types only); null for plain entities.
  virtual const TypeInfo* typeInfo() const { return nullptr; }

  // Name of a named entity (records made by name, directory entries).
  const std::string& name() const { return name_; }
  // Path of the entity through the named directories that hold it.
  std::string fullName() const;
  const Entity* parent() const { return parent_; }
  // Names the entity; records made by name and directory entries are named.
  void nameIs(std::string n) { name_ = std::move(n); }

  // Publishes a change made by one of this entity's writers.
  void publish(const Change& change) const;

  // Owning containers call these so that the child's changes reach them. The
  // child keeps its own copy of its key, so a nested change stays valid even
  // when a handler removes the entry while the change is being delivered.
  template <class K>
  void attachTo(const Entity& parent, const AttrInfo& attr, const K& key) {
    attachParent(parent, attr);
    parentKey_ = key;
    parentKeyPtr_ = std::any_cast<K>(&parentKey_);
  }
  void attachTo(const Entity& parent, const AttrInfo& attr) {
    attachParent(parent, attr);
    parentKey_.reset();
    parentKeyPtr_ = nullptr;
  }
  void detach();

 private:
  friend class Reactor;
  void attachParent(const Entity& parent, const AttrInfo& attr);
  void unsubscribe(Subscription* s) const;
  void compact() const;

  mutable std::vector<Velto::Ptr<Subscription>> subs_;
  mutable uint32_t delivering_ = 0;
  mutable bool dirty_ = false;
  const Entity* parent_ = nullptr;
  const AttrInfo* parentAttr_ = nullptr;
  std::any parentKey_;
  const void* parentKeyPtr_ = nullptr;
  std::string name_;
};

// Publishes a write of a plain attribute when the value changes.
template <class T, class U>
inline void assignAttr(const Entity& owner, T& field, U&& value, const AttrInfo& attr) {
  ++workCounters.writes;
  if (field == value) return;
  T prev = std::move(field);
  field = std::forward<U>(value);
  owner.publish(Change{&owner, &attr, nullptr, &prev, nullptr});
}

}  // namespace Zem

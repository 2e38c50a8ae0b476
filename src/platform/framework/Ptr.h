#pragma once
// Reference-counted handles for entities. Everything runs on one activity
// thread, so the count is a plain integer: taking and dropping a reference is
// an increment and a decrement, cheap enough for every notification to hold
// one on the entity it is delivering from.

#include <cstdint>
#include <cstddef>
#include <functional>
#include <type_traits>
#include <utility>

namespace Velto {

class RefCounted {
 public:
  RefCounted() = default;
  RefCounted(const RefCounted&) : refs_(0) {}
  RefCounted& operator=(const RefCounted&) { return *this; }
  virtual ~RefCounted() = default;

  void refInc() const noexcept { ++refs_; }
  void refDec() const noexcept {
    if (--refs_ == 0) delete this;
  }
  uint32_t refCount() const noexcept { return refs_; }

 private:
  mutable uint32_t refs_ = 0;
};

// An owning handle. `Ptr<T const>` is the read-only form that state machines
// hold for their inputs.
template <class T>
class Ptr {
 public:
  using element_type = T;

  Ptr() noexcept = default;
  Ptr(std::nullptr_t) noexcept {}
  explicit Ptr(T* p) noexcept : p_(p) {
    if (p_) p_->refInc();
  }
  Ptr(const Ptr& o) noexcept : p_(o.p_) {
    if (p_) p_->refInc();
  }
  Ptr(Ptr&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  template <class U, class = std::enable_if_t<std::is_convertible_v<U*, T*>>>
  Ptr(const Ptr<U>& o) noexcept : p_(o.get()) {
    if (p_) p_->refInc();
  }
  template <class U, class = std::enable_if_t<std::is_convertible_v<U*, T*>>>
  Ptr(Ptr<U>&& o) noexcept : p_(o.release()) {}
  ~Ptr() {
    if (p_) p_->refDec();
  }

  Ptr& operator=(const Ptr& o) noexcept {
    Ptr(o).swap(*this);
    return *this;
  }
  Ptr& operator=(Ptr&& o) noexcept {
    Ptr(std::move(o)).swap(*this);
    return *this;
  }
  Ptr& operator=(std::nullptr_t) noexcept {
    Ptr().swap(*this);
    return *this;
  }

  T* get() const noexcept { return p_; }
  T* operator->() const noexcept { return p_; }
  T& operator*() const noexcept { return *p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }
  void swap(Ptr& o) noexcept { std::swap(p_, o.p_); }
  // Gives up ownership without dropping the reference (for conversions).
  T* release() noexcept { return std::exchange(p_, nullptr); }

  template <class U>
  bool operator==(const Ptr<U>& o) const noexcept {
    return p_ == o.get();
  }
  bool operator==(std::nullptr_t) const noexcept { return p_ == nullptr; }
  template <class U>
  bool operator==(const U* o) const noexcept {
    return p_ == o;
  }

 private:
  T* p_ = nullptr;
};

template <class T, class... A>
Ptr<T> make(A&&... args) {
  return Ptr<T>(new T(std::forward<A>(args)...));
}

template <class T, class U>
Ptr<T> dynamicPtrCast(const Ptr<U>& p) {
  return Ptr<T>(dynamic_cast<T*>(p.get()));
}

template <class T, class U>
Ptr<T> constPtrCast(const Ptr<U>& p) {
  return Ptr<T>(const_cast<T*>(p.get()));
}

}  // namespace Velto

template <class T>
struct std::hash<Velto::Ptr<T>> {
  size_t operator()(const Velto::Ptr<T>& p) const noexcept { return std::hash<const void*>()(p.get()); }
};

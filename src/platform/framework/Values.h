#pragma once
// Value types shared by every record: strings, durations, optional values,
// interface identifiers and MAC addresses, each with a fmt formatter so that
// trace statements can print them with `{}`.

#include <fmt/format.h>

#include <array>
#include <compare>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace Velto {
using String = std::string;
// Durations and points in time are seconds in doubles, on the scheduler's
// clock.
using Duration = double;
}  // namespace Velto

namespace Zem {

using Seconds = Velto::Duration;

struct NoneT {
  constexpr bool operator==(const NoneT&) const = default;
};
inline constexpr NoneT none{};

// A value or none. Printed as the value, or "OptionalNone".
template <class T>
class Optional {
 public:
  using value_type = T;
  constexpr Optional() = default;
  constexpr Optional(NoneT) {}
  constexpr Optional(const T& v) : v_(v) {}
  constexpr Optional(T&& v) : v_(std::move(v)) {}

  constexpr bool hasValue() const { return v_.has_value(); }
  constexpr explicit operator bool() const { return v_.has_value(); }
  constexpr const T& value() const { return v_.value(); }
  constexpr const T& operator*() const { return *v_; }
  constexpr const T* operator->() const { return &*v_; }
  constexpr T valueOr(const T& d) const { return v_.value_or(d); }
  void reset() { v_.reset(); }

  constexpr bool operator==(const Optional& o) const = default;
  constexpr bool operator==(NoneT) const { return !v_.has_value(); }

 private:
  std::optional<T> v_;
};

}  // namespace Zem

namespace Kivo {

// Interface identifier. One naming convention everywhere: full names
// "Ethernet3/1", "Port-Channel10", "Management1", "Vlan10", "Loopback0" and
// their short forms "Et3/1", "Po10", "Ma1", "Vl10", "Lo0". Either form builds
// the same identifier. Identifiers are interned, so copying, comparing for
// equality and hashing cost an integer; ordering is natural ("Et2" < "Et10").
class IntfId {
 public:
  enum Type : int { ethernet = 0, portChannel = 1, management = 2, vlan = 3, loopback = 4, other = 5, none = 6 };

  IntfId() = default;  // the empty identifier: "no interface"
  explicit IntfId(std::string_view name);
  explicit IntfId(const char* name) : IntfId(std::string_view(name)) {}
  explicit IntfId(const std::string& name) : IntfId(std::string_view(name)) {}

  // Full name, e.g. "Ethernet3/1".
  const std::string& stringValue() const;
  // Short name, e.g. "Et3/1"; traces print this form.
  const std::string& shortName() const;
  // Interface type code; 0 is Ethernet.
  int typeCode() const;
  bool empty() const { return id_ == 0; }
  uint32_t id() const { return id_; }

  bool operator==(const IntfId& o) const { return id_ == o.id_; }
  std::strong_ordering operator<=>(const IntfId& o) const;

 private:
  uint32_t id_ = 0;
};

// A 6-byte MAC address; printed "00:1c:73:00:00:01".
class EthAddr {
 public:
  constexpr EthAddr() = default;
  constexpr explicit EthAddr(const std::array<uint8_t, 6>& b) : b_(b) {}
  // Parses "aa:bb:cc:dd:ee:ff" (or '-' separated); throws std::invalid_argument.
  static EthAddr fromString(std::string_view s);

  const std::array<uint8_t, 6>& bytes() const { return b_; }
  uint8_t operator[](size_t i) const { return b_[i]; }
  std::string stringValue() const;
  bool isZero() const;

  constexpr bool operator==(const EthAddr&) const = default;
  constexpr auto operator<=>(const EthAddr&) const = default;

 private:
  std::array<uint8_t, 6> b_{};
};

}  // namespace Kivo

template <>
struct std::hash<Kivo::IntfId> {
  size_t operator()(const Kivo::IntfId& i) const noexcept { return i.id(); }
};
template <>
struct std::hash<Kivo::EthAddr> {
  size_t operator()(const Kivo::EthAddr& a) const noexcept {
    uint64_t v = 0;
    for (auto b : a.bytes()) v = (v << 8) | b;
    return std::hash<uint64_t>()(v);
  }
};

template <class T>
struct fmt::formatter<Zem::Optional<T>> : fmt::formatter<std::string_view> {
  template <class Ctx>
  auto format(const Zem::Optional<T>& o, Ctx& ctx) const {
    if (!o) return fmt::formatter<std::string_view>::format("OptionalNone", ctx);
    return fmt::format_to(ctx.out(), "{}", *o);
  }
};

template <>
struct fmt::formatter<Kivo::IntfId> : fmt::formatter<std::string_view> {
  template <class Ctx>
  auto format(const Kivo::IntfId& i, Ctx& ctx) const {
    return fmt::formatter<std::string_view>::format(i.shortName(), ctx);
  }
};

template <>
struct fmt::formatter<Kivo::EthAddr> : fmt::formatter<std::string_view> {
  template <class Ctx>
  auto format(const Kivo::EthAddr& a, Ctx& ctx) const {
    return fmt::formatter<std::string_view>::format(a.stringValue(), ctx);
  }
};

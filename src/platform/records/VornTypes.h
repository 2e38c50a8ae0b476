#pragma once
// Identifiers and enumerations of the Vorn group: member IDs, roles and the
// negotiation state of a member interface.

#include "platform/framework/Json.h"
#include "platform/framework/Values.h"

#include <compare>
#include <cstdint>
#include <string>

namespace Vorn {

// Member number of a switch in the group, one byte. Where a member ID is
// optional it travels as one byte with 0 for none.
class MemberId {
 public:
  constexpr MemberId() = default;
  constexpr MemberId(uint8_t v) : v_(v) {}  // NOLINT: a member ID is a byte
  constexpr uint8_t value() const { return v_; }
  std::string stringValue() const { return std::to_string(v_); }
  constexpr auto operator<=>(const MemberId&) const = default;

 private:
  uint8_t v_ = 0;
};

// The optional member ID carried by a byte: 0 is none.
inline Zem::Optional<MemberId> optionalMemberId(uint8_t v) {
  return v ? Zem::Optional<MemberId>(MemberId(v)) : Zem::none;
}
inline Zem::Optional<MemberId> optionalMemberId(MemberId m) { return optionalMemberId(m.value()); }
inline uint8_t memberIdByte(const Zem::Optional<MemberId>& m) { return m ? m->value() : 0; }

// Role of a switch. 0 is the candidate role: a switch about to join a group.
enum class Role : uint8_t { candidate = 0, member = 1 };
std::string stringValue(Role r);
constexpr Role candidate() { return Role::candidate; }

enum class HigigNegotiationState : uint8_t {
  ethLinkDown = 0,
  ethLinkUp = 1,
  higigStarted = 2,
  higigPending = 3,
  higigConfirmed = 4,
  higigWaitSsr = 5,
  higigWaitAsicsWarm = 6,
};
// "ethLinkDown", ..., "higigWaitAsicsWarm"; unknown values print as numbers.
std::string stringValue(HigigNegotiationState s);
Zem::Optional<HigigNegotiationState> higigNegotiationStateFromString(std::string_view s);

}  // namespace Vorn

template <>
struct std::hash<Vorn::MemberId> {
  size_t operator()(const Vorn::MemberId& m) const noexcept { return m.value(); }
};

template <>
struct fmt::formatter<Vorn::MemberId> : fmt::formatter<unsigned> {
  template <class Ctx>
  auto format(const Vorn::MemberId& m, Ctx& ctx) const {
    return fmt::formatter<unsigned>::format(m.value(), ctx);
  }
};
template <>
struct fmt::formatter<Vorn::Role> : fmt::formatter<std::string_view> {
  template <class Ctx>
  auto format(Vorn::Role r, Ctx& ctx) const {
    return fmt::formatter<std::string_view>::format(Vorn::stringValue(r), ctx);
  }
};
template <>
struct fmt::formatter<Vorn::HigigNegotiationState> : fmt::formatter<std::string_view> {
  template <class Ctx>
  auto format(Vorn::HigigNegotiationState s, Ctx& ctx) const {
    return fmt::formatter<std::string_view>::format(Vorn::stringValue(s), ctx);
  }
};

namespace Zem {
template <>
struct JsonCodec<Vorn::MemberId> {
  static Json toJson(Vorn::MemberId m) { return m.value(); }
  static Vorn::MemberId fromJson(const Json& j) { return JsonCodec<uint8_t>::fromJson(j); }
};
template <>
struct KeyCodec<Vorn::MemberId> {
  static std::string toKey(Vorn::MemberId m) { return m.stringValue(); }
  static Vorn::MemberId fromKey(const std::string& s) { return KeyCodec<uint8_t>::fromKey(s); }
};
// The member ID where one is optional: none and 0 are the same (0 is never a
// member's number), so a 0 read from JSON is none, as on the wire.
template <>
struct JsonCodec<Optional<Vorn::MemberId>> {
  static Json toJson(const Optional<Vorn::MemberId>& m) { return m ? Json(m->value()) : Json(); }
  static Optional<Vorn::MemberId> fromJson(const Json& j) {
    if (j.is_null()) return none;
    return Vorn::optionalMemberId(JsonCodec<Vorn::MemberId>::fromJson(j));
  }
};
// Roles travel by name; a role byte without a name (a peer's TLV can carry
// any) travels as its number, so what was received can be written back.
template <>
struct JsonCodec<Vorn::Role> {
  static Json toJson(Vorn::Role r);
  static Vorn::Role fromJson(const Json& j);
};
template <>
struct JsonCodec<Vorn::HigigNegotiationState> {
  static Json toJson(Vorn::HigigNegotiationState s) { return Vorn::stringValue(s); }
  static Vorn::HigigNegotiationState fromJson(const Json& j);
};
}  // namespace Zem

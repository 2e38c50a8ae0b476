#include "platform/records/VornTypes.h"

#include <array>

namespace Vorn {

namespace {
constexpr std::array<std::string_view, 7> kStateNames = {
    "ethLinkDown", "ethLinkUp", "higigStarted", "higigPending", "higigConfirmed", "higigWaitSsr", "higigWaitAsicsWarm",
};
}

std::string stringValue(Role r) {
  switch (r) {
    case Role::candidate:
      return "candidate";
    case Role::member:
      return "member";
  }
  return "role" + std::to_string(static_cast<unsigned>(r));
}

std::string stringValue(HigigNegotiationState s) {
  auto v = static_cast<size_t>(s);
  return v < kStateNames.size() ? std::string(kStateNames[v]) : std::to_string(v);
}

Zem::Optional<HigigNegotiationState> higigNegotiationStateFromString(std::string_view s) {
  for (size_t i = 0; i < kStateNames.size(); ++i) {
    if (kStateNames[i] == s) return static_cast<HigigNegotiationState>(i);
  }
  return Zem::none;
}

}  // namespace Vorn

namespace Zem {

Vorn::Role JsonCodec<Vorn::Role>::fromJson(const Json& j) {
  if (j.is_number_integer()) return static_cast<Vorn::Role>(JsonCodec<uint8_t>::fromJson(j));
  auto s = JsonCodec<std::string>::fromJson(j);
  if (s == "candidate") return Vorn::Role::candidate;
  if (s == "member") return Vorn::Role::member;
  throw JsonError("unknown role '" + s + "'");
}

Vorn::HigigNegotiationState JsonCodec<Vorn::HigigNegotiationState>::fromJson(const Json& j) {
  if (j.is_number_integer()) return static_cast<Vorn::HigigNegotiationState>(JsonCodec<uint8_t>::fromJson(j));
  auto s = JsonCodec<std::string>::fromJson(j);
  if (auto st = Vorn::higigNegotiationStateFromString(s)) return *st;
  throw JsonError("unknown negotiation state '" + s + "'");
}

}  // namespace Zem

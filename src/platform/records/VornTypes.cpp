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

Json JsonCodec<Vorn::Role>::toJson(Vorn::Role r) {
  switch (r) {
    case Vorn::Role::candidate:
    case Vorn::Role::member:
      return Vorn::stringValue(r);
  }
  return static_cast<uint8_t>(r);
}

Vorn::Role JsonCodec<Vorn::Role>::fromJson(const Json& j) {
  if (j.is_number_integer()) {
    try {
      return static_cast<Vorn::Role>(JsonCodec<uint8_t>::fromJson(j));
    } catch (const JsonError&) {
      throw JsonError("role " + j.dump() + " out of range (0 to 255)");
    }
  }
  auto s = JsonCodec<std::string>::fromJson(j);
  if (s == "candidate") return Vorn::Role::candidate;
  if (s == "member") return Vorn::Role::member;
  // Earlier backups wrote a role without a name as "role<number>".
  if (s.starts_with("role")) {
    try {
      return static_cast<Vorn::Role>(KeyCodec<uint8_t>::fromKey(s.substr(4)));
    } catch (const JsonError&) {
    }
  }
  throw JsonError("unknown role '" + s + "'");
}

Vorn::HigigNegotiationState JsonCodec<Vorn::HigigNegotiationState>::fromJson(const Json& j) {
  if (j.is_number_integer()) {
    constexpr uint64_t last = Vorn::kStateNames.size() - 1;
    if ((!j.is_number_unsigned() && j.get<int64_t>() < 0) || j.get<uint64_t>() > last) {
      throw JsonError(fmt::format("negotiation state {} out of range (0 to {})", j.dump(), last));
    }
    return static_cast<Vorn::HigigNegotiationState>(j.get<int64_t>());
  }
  auto s = JsonCodec<std::string>::fromJson(j);
  if (auto st = Vorn::higigNegotiationStateFromString(s)) return *st;
  throw JsonError("unknown negotiation state '" + s + "'");
}

}  // namespace Zem

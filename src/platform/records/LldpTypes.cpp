#include "platform/records/LldpTypes.h"

#include <algorithm>

#include <stdexcept>

namespace Lldp {

std::string_view stringValue(AdminStatus s) {
  switch (s) {
    case AdminStatus::enabledTxOnly: return "enabledTxOnly";
    case AdminStatus::enabledRxOnly: return "enabledRxOnly";
    case AdminStatus::enabledRxTx: return "enabledRxTx";
    case AdminStatus::disabled: return "disabled";
  }
  return "unknown";
}

IdBytes::IdBytes(std::string_view bytes) : bytes_(bytes) {
  if (bytes_.size() > 255) throw std::range_error("Zem::Bytes::size > 255 not allowed");
}

std::string IdBytes::hex() const {
  static constexpr char digits[] = "0123456789abcdef";
  std::string s;
  s.reserve(bytes_.size() * 2);
  for (unsigned char c : bytes_) {
    s.push_back(digits[c >> 4]);
    s.push_back(digits[c & 15]);
  }
  return s;
}

std::string IdBytes::displayText() const {
  const bool printable = !bytes_.empty() && std::all_of(bytes_.begin(), bytes_.end(), [](unsigned char c) {
    return c >= 0x20 && c < 0x7f;
  });
  if (printable) return bytes_;
  static constexpr char digits[] = "0123456789abcdef";
  std::string s;
  s.reserve(bytes_.size() * 3);
  for (unsigned char c : bytes_) {
    if (!s.empty()) s.push_back(':');
    s.push_back(digits[c >> 4]);
    s.push_back(digits[c & 15]);
  }
  return s;
}

IdBytes IdBytes::fromHex(std::string_view hex) {
  if (hex.size() % 2) throw std::invalid_argument("odd number of hex digits");
  auto nibble = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    throw std::invalid_argument(std::string("bad hex digit '") + c + "'");
  };
  std::string bytes;
  for (size_t i = 0; i < hex.size(); i += 2) bytes.push_back(static_cast<char>(nibble(hex[i]) * 16 + nibble(hex[i + 1])));
  return IdBytes(bytes);
}

}  // namespace Lldp

namespace Zem {

// The flags byte is what the TLV carries; the two booleans repeat its known
// bits for readers of the Vorn LLDP status that know only those.
Json JsonCodec<Lldp::VornTlv>::toJson(const Lldp::VornTlv& t) {
  return Json{{"memberId", t.memberId.value()},
              {"role", JsonCodec<Vorn::Role>::toJson(t.role)},
              {"expectedPeerId", t.expectedPeerId.value()},
              {"receivedPeerId", t.receivedPeerId.value()},
              {"flags", t.flags},
              {"lodestoreConnected", t.lodestoreConnected()},
              {"singleLink", t.singleLink()}};
}

// Reads both shapes written before: the flags byte (member context, transmit
// TLVs) and the two booleans alone (Vorn LLDP status). When both are there
// the flags byte wins, since it carries every bit.
Lldp::VornTlv JsonCodec<Lldp::VornTlv>::fromJson(const Json& j) {
  if (!j.is_object()) throw JsonError("expected a Vorn TLV object");
  auto field = [&](const char* name) -> const Json& { return requiredField(j, name, "Vorn TLV"); };
  Lldp::VornTlv t;
  t.memberId = JsonCodec<Vorn::MemberId>::fromJson(field("memberId"));
  t.role = JsonCodec<Vorn::Role>::fromJson(field("role"));
  t.expectedPeerId = JsonCodec<Vorn::MemberId>::fromJson(field("expectedPeerId"));
  t.receivedPeerId = JsonCodec<Vorn::MemberId>::fromJson(field("receivedPeerId"));
  if (j.contains("flags") || !(j.contains("lodestoreConnected") || j.contains("singleLink"))) {
    t.flags = JsonCodec<uint8_t>::fromJson(field("flags"));
  } else {
    t.lodestoreConnectedIs(JsonCodec<bool>::fromJson(field("lodestoreConnected")));
    t.singleLinkIs(JsonCodec<bool>::fromJson(field("singleLink")));
  }
  return t;
}

}  // namespace Zem

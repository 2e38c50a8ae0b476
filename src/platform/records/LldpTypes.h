#pragma once
// Values of the LLDP protocol engine: identifier subtypes and byte strings,
// and the Vorn TLV carried in every LLDPDU between members.

#include "platform/framework/Json.h"
#include "platform/records/VornTypes.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace Lldp {

// IEEE 802.1AB numbering.
enum class ChassisIdSubtype : uint8_t {
  chassisComponent = 1,
  interfaceAlias = 2,
  portComponent = 3,
  macAddress = 4,
  networkAddress = 5,
  interfaceName = 6,
  locallyAssigned = 7,
};
enum class PortIdSubtype : uint8_t {
  interfaceAlias = 1,
  portComponent = 2,
  macAddress = 3,
  networkAddress = 4,
  interfaceName = 5,
  agentCircuitId = 6,
  locallyAssigned = 7,
};

// Whether a port sends and hears LLDP (LLDP-MIB numbering).
enum class AdminStatus : uint8_t {
  enabledTxOnly = 1,
  enabledRxOnly = 2,
  enabledRxTx = 3,
  disabled = 4,
};
std::string_view stringValue(AdminStatus s);
inline bool transmits(AdminStatus s) { return s == AdminStatus::enabledTxOnly || s == AdminStatus::enabledRxTx; }
inline bool receives(AdminStatus s) { return s == AdminStatus::enabledRxOnly || s == AdminStatus::enabledRxTx; }

// An LLDP identifier: 1 to 255 bytes on the wire. Longer values are refused.
class IdBytes {
 public:
  IdBytes() = default;
  explicit IdBytes(std::string_view bytes);
  const std::string& bytes() const { return bytes_; }
  size_t size() const { return bytes_.size(); }
  std::string hex() const;
  // For people: printable text as it is, anything else as hex bytes
  // separated by colons (a MAC address reads aa:bb:cc:dd:ee:ff).
  std::string displayText() const;
  static IdBytes fromHex(std::string_view hex);
  bool operator==(const IdBytes&) const = default;
  auto operator<=>(const IdBytes&) const = default;

 private:
  std::string bytes_;
};

class ChassisId : public IdBytes {
 public:
  using IdBytes::IdBytes;
  ChassisId() = default;
  ChassisId(const IdBytes& b) : IdBytes(b) {}  // NOLINT
};
class PortId : public IdBytes {
 public:
  using IdBytes::IdBytes;
  PortId() = default;
  PortId(const IdBytes& b) : IdBytes(b) {}  // NOLINT
};

// The Vorn TLV: five one-byte fields, in this order on the wire. Flag bits
// without a meaning yet travel as received.
struct VornTlv {
  static constexpr uint8_t lodestoreConnectedFlag = 0x01;
  static constexpr uint8_t singleLinkFlag = 0x02;

  Vorn::MemberId memberId;
  Vorn::Role role = Vorn::Role::candidate;
  Vorn::MemberId expectedPeerId;  // 0: none
  Vorn::MemberId receivedPeerId;  // 0: none
  uint8_t flags = 0;

  // The sender is connected to the state database.
  bool lodestoreConnected() const { return (flags & lodestoreConnectedFlag) != 0; }
  VornTlv& lodestoreConnectedIs(bool on) { return flagIs(lodestoreConnectedFlag, on); }
  // The sender wants this link treated alone: its LAG groups on the channel
  // are split and this is its preferred member.
  bool singleLink() const { return (flags & singleLinkFlag) != 0; }
  VornTlv& singleLinkIs(bool on) { return flagIs(singleLinkFlag, on); }

  // The TLV as peers read it in the Vorn LLDP status: the four identity
  // bytes and the two flags that mean something; other bits are not carried.
  VornTlv peerVisible() const {
    return VornTlv{memberId, role, expectedPeerId, receivedPeerId, 0}
        .lodestoreConnectedIs(lodestoreConnected())
        .singleLinkIs(singleLink());
  }

  bool isEq(const VornTlv& o) const { return *this == o; }
  bool operator==(const VornTlv&) const = default;

 private:
  VornTlv& flagIs(uint8_t bit, bool on) {
    flags = static_cast<uint8_t>(on ? (flags | bit) : (flags & ~bit));
    return *this;
  }
};

}  // namespace Lldp

template <class T>
  requires std::is_base_of_v<Lldp::IdBytes, T>
struct fmt::formatter<T> : fmt::formatter<std::string_view> {
  template <class Ctx>
  auto format(const T& b, Ctx& ctx) const {
    return fmt::formatter<std::string_view>::format(b.hex(), ctx);
  }
};
template <>
struct fmt::formatter<Lldp::AdminStatus> : fmt::formatter<std::string_view> {
  template <class Ctx>
  auto format(Lldp::AdminStatus s, Ctx& ctx) const {
    return fmt::formatter<std::string_view>::format(Lldp::stringValue(s), ctx);
  }
};
template <>
struct fmt::formatter<Lldp::VornTlv> : fmt::formatter<std::string_view> {
  template <class Ctx>
  auto format(const Lldp::VornTlv& t, Ctx& ctx) const {
    return fmt::format_to(ctx.out(), "VornTlv({}, {}, {}, {}, 0x{:02x})", t.memberId, t.role,
                          Vorn::optionalMemberId(t.expectedPeerId), Vorn::optionalMemberId(t.receivedPeerId), t.flags);
  }
};

namespace Zem {
template <class T>
struct JsonCodec<T, std::enable_if_t<std::is_base_of_v<Lldp::IdBytes, T>>> {
  static Json toJson(const T& b) { return b.hex(); }
  static T fromJson(const Json& j) {
    try {
      return T(Lldp::IdBytes::fromHex(JsonCodec<std::string>::fromJson(j)));
    } catch (const std::invalid_argument& e) {
      throw JsonError(e.what());
    }
  }
};
template <>
struct JsonCodec<Lldp::VornTlv> {
  static Json toJson(const Lldp::VornTlv& t);
  static Lldp::VornTlv fromJson(const Json& j);
};
}  // namespace Zem

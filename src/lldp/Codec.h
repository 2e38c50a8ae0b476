#pragma once
// The LLDP frame codec: an Ethernet frame carrying one LLDPDU, as bytes, to
// and from values. Pure: no clock, socket, trace or counter in here; the
// engine counts and traces what the codec reports.
//
// What goes on the wire (all numbers in network byte order):
//   destination 01:80:c2:00:00:0e (nearest bridge), source = the port's MAC,
//   EtherType 0x88cc, then TLVs, each a 7-bit type and a 9-bit length:
//     Chassis ID (1), Port ID (2), Time To Live (3)   always, in this order
//     System Name (5)                                 when the sender has one
//     Vorn TLV (127, OUI 02:76:6f, subtype 1)         when the port sends one
//     Exact hold time (127, OUI 02:76:6f, subtype 2)  on every non-shutdown frame
//     End Of LLDPDU (0)
//   padded with zeros to the 60-byte Ethernet minimum.
//
// The private OUI 02:76:6f has the locally administered bit set in its first
// byte, so no registered organisation identifier can ever equal it; it is the
// prefix of the group's own member MAC addresses (02:76:6f:72:..).
//
// The exact hold time carries the sender's hold time in milliseconds (four
// bytes). The TTL field has whole seconds only: a 300 ms hold time goes out
// as TTL 1 s, which is what any standard receiver keeps the information for.
// Between our engines the exact value wins, so a neighbour that falls silent
// ages out after 300 ms, not after a second. It only ever shortens the TTL:
// any sender can put one in its frames, and a longer one is cut to the TTL.

#include "platform/framework/Values.h"
#include "platform/records/LldpTypes.h"

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace Lldp::Codec {

inline constexpr std::array<uint8_t, 6> nearestBridgeAddr{0x01, 0x80, 0xc2, 0x00, 0x00, 0x0e};
inline constexpr uint16_t lldpEtherType = 0x88cc;
inline constexpr std::array<uint8_t, 3> vornOui{0x02, 0x76, 0x6f};
inline constexpr uint8_t vornTlvSubtype = 1;
inline constexpr uint8_t holdTimeMsSubtype = 2;
// Ethernet frames are at least this long (without the frame check sequence).
inline constexpr size_t minFrameSize = 60;
// The largest LLDPDU an untagged Ethernet frame carries.
inline constexpr size_t maxLldpduSize = 1500;

// TLV type numbers.
enum class TlvType : uint8_t {
  end = 0,
  chassisId = 1,
  portId = 2,
  ttl = 3,
  portDescription = 4,
  systemName = 5,
  systemDescription = 6,
  systemCapabilities = 7,
  managementAddress = 8,
  orgSpecific = 127,
};

// One LLDPDU as values.
struct Lldpdu {
  Kivo::EthAddr src;
  ChassisIdSubtype chassisIdSubtype = ChassisIdSubtype::macAddress;
  ChassisId chassisId;
  PortIdSubtype portIdSubtype = PortIdSubtype::interfaceName;
  PortId portId;
  // Seconds the receiver keeps this information; 0 is a shutdown LLDPDU: the
  // sender's port stops and the receiver drops what it heard from it now.
  uint16_t ttl = 0;
  // The sender's hold time in milliseconds (our own engines only).
  Zem::Optional<uint32_t> holdTimeMs;
  Zem::Optional<VornTlv> vornTlv;
  Zem::Optional<std::string> systemName;

  bool isShutdown() const { return ttl == 0; }
  // How long a receiver keeps this information, seconds: the exact hold time
  // when the sender gave one, the TTL otherwise. The exact value refines the
  // TTL and never outlasts it, whoever sent it.
  Velto::Duration holdTime() const;
  bool operator==(const Lldpdu&) const = default;
};

// The TTL a hold time of `holdTimeMs` goes out with: whole seconds rounded
// up, at least 1 (0 would announce a shutdown), at most 65535.
uint16_t ttlForHoldTimeMs(uint64_t holdTimeMs);

// Why a frame, or one TLV of it, was refused. A refused frame is used not at
// all; a refused TLV is left out and the rest of the frame is used.
enum class Reason : uint8_t {
  // The frame.
  truncatedFrame,         // shorter than an Ethernet header, or a TLV header cut off
  notLldp,                // EtherType is not LLDP
  taggedFrame,            // carries a VLAN tag: LLDPDUs travel untagged
  frameTooLong,           // LLDPDU longer than an Ethernet frame carries
  tlvPastEnd,             // a TLV's length runs past the end of the frame
  missingChassisId,       // the first TLV is not a Chassis ID
  missingPortId,          // the second TLV is not a Port ID
  missingTtl,             // the third TLV is not a Time To Live
  badChassisIdLength,     // Chassis ID outside 2..256 bytes (subtype and 1..255 byte ID)
  badPortIdLength,        // Port ID outside 2..256 bytes
  badTtlLength,           // Time To Live not exactly 2 bytes
  reservedSubtype,        // a Chassis ID or Port ID subtype that is reserved
  duplicateMandatoryTlv,  // a second Chassis ID, Port ID or Time To Live
  // One TLV.
  badEndLength,                // End Of LLDPDU with a non-zero length (the LLDPDU ends there all the same)
  badPortDescriptionLength,    // Port Description longer than 255 bytes
  badSystemNameLength,         // System Name longer than 255 bytes
  badSystemDescriptionLength,  // System Description longer than 255 bytes
  badSystemCapabilitiesLength, // System Capabilities not exactly 4 bytes
  badManagementAddress,        // Management Address outside 9..167 bytes or its inner lengths disagree
  badOrgSpecificLength,        // organisationally specific TLV shorter than OUI and subtype
  badVornTlv,                  // our Vorn TLV not exactly 5 bytes
  badHoldTime,                 // our exact hold time not exactly 4 bytes
  repeatedTlv,                 // a second TLV of a type an LLDPDU carries at most once
};
std::string_view reasonName(Reason r);
// The reason refuses one TLV, not the frame.
bool refusesTlvOnly(Reason r);

struct Rejection {
  Reason reason;
  // Says what was wrong, where: "Time To Live TLV at offset 36 has length 3, not 2".
  std::string text;
};

struct Decoded {
  Lldpdu lldpdu;
  // Well-formed TLVs this engine does not know (reserved types, other
  // organisations' TLVs, our own OUI with an unknown subtype).
  uint32_t unrecognizedTlvs = 0;
  // Malformed or repeated optional TLVs, left out of `lldpdu`, in frame order.
  std::vector<Rejection> discardedTlvs;
};

class Result {
 public:
  Result(Decoded d) : v_(std::move(d)) {}      // NOLINT: a result is either
  Result(Rejection r) : v_(std::move(r)) {}    // NOLINT
  bool ok() const { return v_.index() == 0; }
  const Decoded& decoded() const { return std::get<Decoded>(v_); }
  const Lldpdu& lldpdu() const { return decoded().lldpdu; }
  const Rejection& rejection() const { return std::get<Rejection>(v_); }

 private:
  std::variant<Decoded, Rejection> v_;
};

// The whole Ethernet frame for `pdu`. Its identifiers must be 1..255 bytes
// and its system name at most 255 bytes (checked as invariants: the engine
// sends nothing it could not encode).
std::vector<uint8_t> encode(const Lldpdu& pdu);

// The LLDPDU in `frame` (an Ethernet frame without the frame check
// sequence), or why it is refused. Bytes after the End Of LLDPDU TLV are
// padding and ignored; a frame whose TLVs end without one is accepted.
// The frame is refused when it is no untagged LLDP frame, when a TLV runs
// past its end, or when its first three TLVs are not a well-formed Chassis
// ID, Port ID and Time To Live, or one of those comes again later. A
// malformed or repeated optional TLV is left out and listed in
// `discardedTlvs`; the rest of the frame is used.
Result decode(std::span<const uint8_t> frame);

}  // namespace Lldp::Codec

template <>
struct fmt::formatter<Lldp::Codec::Reason> : fmt::formatter<std::string_view> {
  template <class Ctx>
  auto format(Lldp::Codec::Reason r, Ctx& ctx) const {
    return fmt::formatter<std::string_view>::format(Lldp::Codec::reasonName(r), ctx);
  }
};

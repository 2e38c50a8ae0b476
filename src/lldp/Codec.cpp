#include "lldp/Codec.h"

#include "lldp/ByteReader.h"
#include "platform/framework/Assert.h"

#include <algorithm>
#include <optional>

namespace Lldp::Codec {

namespace {

constexpr size_t kEthHeaderSize = 14;
constexpr size_t kMinIdTlvLength = 2;    // subtype and one byte
constexpr size_t kMaxIdTlvLength = 256;  // subtype and 255 bytes
constexpr size_t kVornTlvPayload = 5;
constexpr size_t kHoldTimePayload = 4;
constexpr size_t kOrgHeader = 4;  // OUI and subtype
constexpr size_t kMaxText = 255;      // Port Description, System Name, System Description
constexpr size_t kCapabilities = 4;   // System Capabilities: two 16-bit masks
constexpr size_t kMinMgmt = 9;        // Management Address, shortest and
constexpr size_t kMaxMgmt = 167;      // longest

// ---------------------------------------------------------------------------
// Encoding.

class FrameBuilder {
 public:
  void raw(std::span<const uint8_t> b) { out_.insert(out_.end(), b.begin(), b.end()); }
  void u8(uint8_t v) { out_.push_back(v); }
  void u16(uint16_t v) {
    out_.push_back(static_cast<uint8_t>(v >> 8));
    out_.push_back(static_cast<uint8_t>(v));
  }
  void u32(uint32_t v) {
    u16(static_cast<uint16_t>(v >> 16));
    u16(static_cast<uint16_t>(v));
  }
  void text(std::string_view s) { out_.insert(out_.end(), s.begin(), s.end()); }
  // A TLV header; the caller appends exactly `length` bytes after it.
  void tlv(TlvType type, size_t length) {
    ZEM_ASSERT(length <= 511);
    u16(static_cast<uint16_t>(static_cast<unsigned>(type) << 9 | length));
  }
  std::vector<uint8_t> done() {
    if (out_.size() < minFrameSize) out_.resize(minFrameSize, 0);
    return std::move(out_);
  }

 private:
  std::vector<uint8_t> out_;
};

void idTlv(FrameBuilder& b, TlvType type, uint8_t subtype, const IdBytes& id) {
  ZEM_ASSERT_MSG(id.size() >= 1 && id.size() <= 255, "LLDP identifier of {} bytes cannot be sent", id.size());
  b.tlv(type, 1 + id.size());
  b.u8(subtype);
  b.text(id.bytes());
}

void orgTlvHeader(FrameBuilder& b, uint8_t subtype, size_t payload) {
  b.tlv(TlvType::orgSpecific, kOrgHeader + payload);
  b.raw(vornOui);
  b.u8(subtype);
}

// ---------------------------------------------------------------------------
// Decoding.

std::string_view tlvName(unsigned type) {
  switch (type) {
    case 0: return "End Of LLDPDU";
    case 1: return "Chassis ID";
    case 2: return "Port ID";
    case 3: return "Time To Live";
    case 4: return "Port Description";
    case 5: return "System Name";
    case 6: return "System Description";
    case 7: return "System Capabilities";
    case 8: return "Management Address";
    case 127: return "organisationally specific";
    default: return "reserved";
  }
}

Rejection reject(Reason reason, std::string text) { return Rejection{reason, std::move(text)}; }

// The mandatory TLV expected at position `index` (0, 1, 2), with the reason
// its absence gives.
struct Mandatory {
  unsigned type;
  Reason missing;
};
constexpr std::array<Mandatory, 3> kMandatory{{
    {1, Reason::missingChassisId},
    {2, Reason::missingPortId},
    {3, Reason::missingTtl},
}};

bool isVlanTpid(uint16_t et) { return et == 0x8100 || et == 0x88a8 || et == 0x9100; }

class Decoder {
 public:
  explicit Decoder(std::span<const uint8_t> frame) : frame_(frame) {}

  Result run() {
    if (frame_.size() < kEthHeaderSize) {
      return reject(Reason::truncatedFrame,
                    fmt::format("frame of {} bytes is shorter than an Ethernet header", frame_.size()));
    }
    ByteReader r(frame_);
    r.bytes(6);  // destination: any of the LLDP group addresses, or unicast
    auto src = r.bytes(6);
    std::array<uint8_t, 6> srcBytes{};
    std::copy(src.begin(), src.end(), srcBytes.begin());
    out_.lldpdu.src = Kivo::EthAddr(srcBytes);
    if (uint16_t et = r.u16(); et != lldpEtherType) {
      if (isVlanTpid(et) && r.remaining() >= 4) {
        const uint16_t tci = r.u16();
        return reject(Reason::taggedFrame, fmt::format("frame tagged 0x{:04x} for VLAN {} carries EtherType 0x{:04x}",
                                                       et, tci & 0xfff, r.u16()));
      }
      return reject(Reason::notLldp, fmt::format("EtherType 0x{:04x} is not LLDP", et));
    }
    if (r.remaining() > maxLldpduSize) {
      return reject(Reason::frameTooLong,
                    fmt::format("LLDPDU of {} bytes is longer than {}", r.remaining(), maxLldpduSize));
    }
    for (size_t index = 0;; ++index) {
      if (r.atEnd()) break;  // no End Of LLDPDU: the frame ends the LLDPDU
      if (r.remaining() < 2) {
        return reject(Reason::truncatedFrame, fmt::format("TLV header at offset {} is cut off", r.offset()));
      }
      const size_t at = r.offset();
      const uint16_t header = r.u16();
      const unsigned type = header >> 9;
      const size_t length = header & 0x1ff;
      if (length > r.remaining()) {
        return reject(Reason::tlvPastEnd, fmt::format("{} TLV at offset {} has length {} but {} bytes are left",
                                                      tlvName(type), at, length, r.remaining()));
      }
      ByteReader value = r.sub(length);
      if (index < kMandatory.size()) {
        if (type != kMandatory[index].type) {
          return reject(kMandatory[index].missing,
                        fmt::format("TLV {} is {} (type {}), not {}", index + 1, tlvName(type), type,
                                    tlvName(kMandatory[index].type)));
        }
        if (auto rejection = decodeMandatory(type, length, at, value)) return *rejection;
        continue;
      }
      if (type >= 1 && type <= 3) {
        return reject(Reason::duplicateMandatoryTlv, fmt::format("second {} TLV at offset {}", tlvName(type), at));
      }
      if (type == 0) {
        if (length != 0) {
          discard(Reason::badEndLength, fmt::format("End Of LLDPDU TLV at offset {} has length {}", at, length));
        }
        break;  // what follows is padding
      }
      decodeOptional(type, length, at, value);
    }
    if (seenMandatory_ < kMandatory.size()) {
      const auto& m = kMandatory[seenMandatory_];
      return reject(m.missing, fmt::format("LLDPDU ends without a {} TLV", tlvName(m.type)));
    }
    return std::move(out_);
  }

 private:
  void discard(Reason reason, std::string text) { out_.discardedTlvs.push_back({reason, std::move(text)}); }

  std::optional<Rejection> decodeMandatory(unsigned type, size_t length, size_t at, ByteReader& v) {
    Lldpdu& pdu = out_.lldpdu;
    ++seenMandatory_;
    if (type == 3) {
      if (length != 2) {
        return reject(Reason::badTtlLength,
                      fmt::format("Time To Live TLV at offset {} has length {}, not 2", at, length));
      }
      pdu.ttl = v.u16();
      return std::nullopt;
    }
    if (length < kMinIdTlvLength || length > kMaxIdTlvLength) {
      return reject(type == 1 ? Reason::badChassisIdLength : Reason::badPortIdLength,
                    fmt::format("{} TLV at offset {} has length {}, outside {}..{}", tlvName(type), at, length,
                                kMinIdTlvLength, kMaxIdTlvLength));
    }
    const uint8_t subtype = v.u8();
    if (subtype == 0 || subtype > 7) {
      return reject(Reason::reservedSubtype,
                    fmt::format("{} TLV at offset {} has reserved subtype {}", tlvName(type), at, subtype));
    }
    if (type == 1) {
      pdu.chassisIdSubtype = static_cast<ChassisIdSubtype>(subtype);
      pdu.chassisId = ChassisId(v.text(v.remaining()));
    } else {
      pdu.portIdSubtype = static_cast<PortIdSubtype>(subtype);
      pdu.portId = PortId(v.text(v.remaining()));
    }
    return std::nullopt;
  }

  // True the first time `slot` is seen; a repeat is discarded.
  bool firstOf(bool& seen, std::string_view name, size_t at) {
    if (!seen) return seen = true;
    discard(Reason::repeatedTlv, fmt::format("second {} TLV at offset {}", name, at));
    return false;
  }

  // A TLV of at most `max` bytes; a longer one is discarded as `reason`.
  bool fitsText(unsigned type, size_t length, size_t at, Reason reason) {
    if (length <= kMaxText) return true;
    discard(reason, fmt::format("{} TLV at offset {} has length {}, more than {}", tlvName(type), at, length,
                                kMaxText));
    return false;
  }

  void decodeOptional(unsigned type, size_t length, size_t at, ByteReader& v) {
    Lldpdu& pdu = out_.lldpdu;
    switch (type) {
      case 4:
        if (fitsText(type, length, at, Reason::badPortDescriptionLength)) firstOf(seen_.portDescription, tlvName(type), at);
        return;
      case 5:
        // The name goes out again in our own frames, so a longer one could
        // not be sent on.
        if (fitsText(type, length, at, Reason::badSystemNameLength) && firstOf(seen_.systemName, tlvName(type), at)) {
          pdu.systemName = v.text(length);
        }
        return;
      case 6:
        if (fitsText(type, length, at, Reason::badSystemDescriptionLength)) {
          firstOf(seen_.systemDescription, tlvName(type), at);
        }
        return;
      case 7:
        if (length != kCapabilities) {
          discard(Reason::badSystemCapabilitiesLength,
                  fmt::format("System Capabilities TLV at offset {} has length {}, not {}", at, length, kCapabilities));
          return;
        }
        firstOf(seen_.systemCapabilities, tlvName(type), at);
        return;
      case 8:
        // Several management addresses may come, one per address.
        if (auto problem = managementAddressProblem(length, v)) {
          discard(Reason::badManagementAddress, fmt::format("Management Address TLV at offset {} {}", at, *problem));
        }
        return;
      case 127:
        decodeOrgSpecific(length, at, v);
        return;
      default:
        ++out_.unrecognizedTlvs;
        return;
    }
  }

  // What is wrong with a Management Address TLV's value, if anything: the
  // address string length (subtype and 1..31 address bytes), the address,
  // the interface numbering subtype and number (5 bytes), the object
  // identifier's length (0..128) and the identifier must fill it exactly.
  static std::optional<std::string> managementAddressProblem(size_t length, ByteReader& v) {
    if (length < kMinMgmt || length > kMaxMgmt) {
      return fmt::format("has length {}, outside {}..{}", length, kMinMgmt, kMaxMgmt);
    }
    const size_t addrLength = v.u8();
    if (addrLength < 2 || addrLength > 32) return fmt::format("has an address string of {} bytes, outside 2..32", addrLength);
    const size_t beforeOid = 1 + addrLength + 5;
    if (beforeOid + 1 > length) {
      return fmt::format("has an address string of {} bytes that leaves no room in its {} bytes", addrLength, length);
    }
    v.bytes(addrLength + 5);
    const size_t oidLength = v.u8();
    if (oidLength > 128) return fmt::format("has an object identifier of {} bytes, more than 128", oidLength);
    if (beforeOid + 1 + oidLength != length) {
      return fmt::format("has length {}, but its parts take {}", length, beforeOid + 1 + oidLength);
    }
    return std::nullopt;
  }

  void decodeOrgSpecific(size_t length, size_t at, ByteReader& v) {
    if (length < kOrgHeader) {
      discard(Reason::badOrgSpecificLength,
              fmt::format("organisationally specific TLV at offset {} has length {}, less than {}", at, length,
                          kOrgHeader));
      return;
    }
    auto oui = v.bytes(3);
    const uint8_t subtype = v.u8();
    if (!std::equal(oui.begin(), oui.end(), vornOui.begin()) ||
        (subtype != vornTlvSubtype && subtype != holdTimeMsSubtype)) {
      ++out_.unrecognizedTlvs;
      return;
    }
    Lldpdu& pdu = out_.lldpdu;
    const size_t payload = v.remaining();
    if (subtype == vornTlvSubtype) {
      if (payload != kVornTlvPayload) {
        discard(Reason::badVornTlv,
                fmt::format("Vorn TLV at offset {} carries {} bytes, not {}", at, payload, kVornTlvPayload));
        return;
      }
      if (!firstOf(seen_.vornTlv, "Vorn", at)) return;
      VornTlv t;
      t.memberId = v.u8();
      t.role = static_cast<Vorn::Role>(v.u8());
      t.expectedPeerId = v.u8();
      t.receivedPeerId = v.u8();
      t.flags = v.u8();
      pdu.vornTlv = t;
      return;
    }
    if (payload != kHoldTimePayload) {
      discard(Reason::badHoldTime, fmt::format("exact hold time TLV at offset {} carries {} bytes, not {}", at,
                                               payload, kHoldTimePayload));
      return;
    }
    if (firstOf(seen_.holdTime, "exact hold time", at)) pdu.holdTimeMs = v.u32();
  }

  // Optional TLVs an LLDPDU carries at most once.
  struct Seen {
    bool portDescription = false;
    bool systemName = false;
    bool systemDescription = false;
    bool systemCapabilities = false;
    bool vornTlv = false;
    bool holdTime = false;
  };

  std::span<const uint8_t> frame_;
  Decoded out_;
  size_t seenMandatory_ = 0;
  Seen seen_;
};

}  // namespace

Velto::Duration Lldpdu::holdTime() const {
  if (holdTimeMs && *holdTimeMs > 0) return std::min<Velto::Duration>(*holdTimeMs / 1000.0, ttl);
  return ttl;
}

uint16_t ttlForHoldTimeMs(uint64_t holdTimeMs) {
  const uint64_t seconds = (holdTimeMs + 999) / 1000;
  return static_cast<uint16_t>(std::clamp<uint64_t>(seconds, 1, 65535));
}

std::string_view reasonName(Reason r) {
  switch (r) {
    case Reason::truncatedFrame: return "truncatedFrame";
    case Reason::notLldp: return "notLldp";
    case Reason::taggedFrame: return "taggedFrame";
    case Reason::frameTooLong: return "frameTooLong";
    case Reason::tlvPastEnd: return "tlvPastEnd";
    case Reason::missingChassisId: return "missingChassisId";
    case Reason::missingPortId: return "missingPortId";
    case Reason::missingTtl: return "missingTtl";
    case Reason::badChassisIdLength: return "badChassisIdLength";
    case Reason::badPortIdLength: return "badPortIdLength";
    case Reason::badTtlLength: return "badTtlLength";
    case Reason::reservedSubtype: return "reservedSubtype";
    case Reason::duplicateMandatoryTlv: return "duplicateMandatoryTlv";
    case Reason::badEndLength: return "badEndLength";
    case Reason::badOrgSpecificLength: return "badOrgSpecificLength";
    case Reason::badVornTlv: return "badVornTlv";
    case Reason::badHoldTime: return "badHoldTime";
    case Reason::badSystemNameLength: return "badSystemNameLength";
    case Reason::badPortDescriptionLength: return "badPortDescriptionLength";
    case Reason::badSystemDescriptionLength: return "badSystemDescriptionLength";
    case Reason::badSystemCapabilitiesLength: return "badSystemCapabilitiesLength";
    case Reason::badManagementAddress: return "badManagementAddress";
    case Reason::repeatedTlv: return "repeatedTlv";
  }
  return "unknown";
}

bool refusesTlvOnly(Reason r) { return r >= Reason::badEndLength; }

std::vector<uint8_t> encode(const Lldpdu& pdu) {
  FrameBuilder b;
  b.raw(nearestBridgeAddr);
  b.raw(pdu.src.bytes());
  b.u16(lldpEtherType);
  idTlv(b, TlvType::chassisId, static_cast<uint8_t>(pdu.chassisIdSubtype), pdu.chassisId);
  idTlv(b, TlvType::portId, static_cast<uint8_t>(pdu.portIdSubtype), pdu.portId);
  b.tlv(TlvType::ttl, 2);
  b.u16(pdu.ttl);
  if (pdu.systemName) {
    ZEM_ASSERT_MSG(pdu.systemName->size() <= 255, "system name of {} bytes cannot be sent", pdu.systemName->size());
    b.tlv(TlvType::systemName, pdu.systemName->size());
    b.text(*pdu.systemName);
  }
  if (pdu.vornTlv) {
    const VornTlv& t = *pdu.vornTlv;
    orgTlvHeader(b, vornTlvSubtype, kVornTlvPayload);
    b.u8(t.memberId.value());
    b.u8(static_cast<uint8_t>(t.role));
    b.u8(t.expectedPeerId.value());
    b.u8(t.receivedPeerId.value());
    b.u8(t.flags);
  }
  if (pdu.holdTimeMs) {
    orgTlvHeader(b, holdTimeMsSubtype, kHoldTimePayload);
    b.u32(*pdu.holdTimeMs);
  }
  b.tlv(TlvType::end, 0);
  return b.done();
}

Result decode(std::span<const uint8_t> frame) {
  try {
    return Decoder(frame).run();
  } catch (const ReadPastEnd& e) {
    // Every length is checked before it is read, so this is the reader
    // catching a check the decoder missed; the frame is refused all the same.
    return Rejection{Reason::truncatedFrame, e.what()};
  }
}

}  // namespace Lldp::Codec

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
constexpr size_t kMaxSystemName = 255;

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
      if (index < kMandatory.size() && type != kMandatory[index].type) {
        return reject(kMandatory[index].missing,
                      fmt::format("TLV {} is {} (type {}), not {}", index + 1, tlvName(type), type,
                                  tlvName(kMandatory[index].type)));
      }
      if (index >= kMandatory.size() && type >= 1 && type <= 3) {
        return reject(Reason::duplicateMandatoryTlv, fmt::format("second {} TLV at offset {}", tlvName(type), at));
      }
      if (type == 0) {
        if (length != 0) {
          return reject(Reason::badEndLength, fmt::format("End Of LLDPDU TLV at offset {} has length {}", at, length));
        }
        break;  // what follows is padding
      }
      if (auto rejection = decodeTlv(type, length, at, value)) return *rejection;
    }
    if (seenMandatory_ < kMandatory.size()) {
      const auto& m = kMandatory[seenMandatory_];
      return reject(m.missing, fmt::format("LLDPDU ends without a {} TLV", tlvName(m.type)));
    }
    return out_;
  }

 private:
  std::optional<Rejection> decodeTlv(unsigned type, size_t length, size_t at, ByteReader& v) {
    Lldpdu& pdu = out_.lldpdu;
    switch (type) {
      case 1:
      case 2: {
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
        ++seenMandatory_;
        return std::nullopt;
      }
      case 3:
        if (length != 2) {
          return reject(Reason::badTtlLength,
                        fmt::format("Time To Live TLV at offset {} has length {}, not 2", at, length));
        }
        pdu.ttl = v.u16();
        ++seenMandatory_;
        return std::nullopt;
      case 5:
        // A name is at most 255 bytes (the 9-bit length would allow 511); a
        // longer one is malformed, and our encoder could not send it on.
        if (length > kMaxSystemName) {
          return reject(Reason::badSystemNameLength,
                        fmt::format("System Name TLV at offset {} has length {}, more than {}", at, length,
                                    kMaxSystemName));
        }
        if (!pdu.systemName) pdu.systemName = v.text(length);
        return std::nullopt;
      case 4:
      case 6:
      case 7:
      case 8:
        return std::nullopt;  // known, and nothing this engine keeps
      case 127:
        return decodeOrgSpecific(length, at, v);
      default:
        ++out_.unrecognizedTlvs;
        return std::nullopt;
    }
  }

  std::optional<Rejection> decodeOrgSpecific(size_t length, size_t at, ByteReader& v) {
    if (length < kOrgHeader) {
      return reject(Reason::badOrgSpecificLength,
                    fmt::format("organisationally specific TLV at offset {} has length {}, less than {}", at, length,
                                kOrgHeader));
    }
    auto oui = v.bytes(3);
    const uint8_t subtype = v.u8();
    if (!std::equal(oui.begin(), oui.end(), vornOui.begin())) {
      ++out_.unrecognizedTlvs;
      return std::nullopt;
    }
    Lldpdu& pdu = out_.lldpdu;
    const size_t payload = v.remaining();
    if (subtype == vornTlvSubtype) {
      if (payload != kVornTlvPayload) {
        return reject(Reason::badVornTlv,
                      fmt::format("Vorn TLV at offset {} carries {} bytes, not {}", at, payload, kVornTlvPayload));
      }
      VornTlv t;
      t.memberId = v.u8();
      t.role = static_cast<Vorn::Role>(v.u8());
      t.expectedPeerId = v.u8();
      t.receivedPeerId = v.u8();
      t.flags = v.u8();
      if (!pdu.vornTlv) pdu.vornTlv = t;
      return std::nullopt;
    }
    if (subtype == holdTimeMsSubtype) {
      if (payload != kHoldTimePayload) {
        return reject(Reason::badHoldTime, fmt::format("exact hold time TLV at offset {} carries {} bytes, not {}", at,
                                                       payload, kHoldTimePayload));
      }
      const uint32_t ms = v.u32();
      if (!pdu.holdTimeMs) pdu.holdTimeMs = ms;
      return std::nullopt;
    }
    ++out_.unrecognizedTlvs;
    return std::nullopt;
  }

  std::span<const uint8_t> frame_;
  Decoded out_;
  size_t seenMandatory_ = 0;
};

}  // namespace

Velto::Duration Lldpdu::holdTime() const {
  if (holdTimeMs && *holdTimeMs > 0) return *holdTimeMs / 1000.0;
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
  }
  return "unknown";
}

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

// Feeds arbitrary bytes to the LLDP frame decoder, once as a whole Ethernet
// frame and once with its first 14 bytes replaced by a valid LLDP Ethernet
// header, so that the rest is decoded as an LLDPDU even where a mutation hit
// the EtherType (the fuzzer spends its time in the TLVs). It checks what
// must hold for every frame the decoder accepts or refuses. A broken rule
// stops the run with a message and abort(), which libFuzzer records as a
// crash with its input. A frame is refused only for what is wrong with the
// frame as a whole; a malformed optional TLV is left out, with its reason,
// and the rest of the frame is used.

#include "fuzz/FuzzCheck.h"
#include "lldp/Codec.h"
#include "platform/framework/Assert.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>
#include <vector>

namespace {

using namespace Lldp;
using Codec::Lldpdu;

constexpr size_t kEthHeader = 14;
// Chassis ID, Port ID and Time To Live, each as short as they can be: a
// TLV header and a subtype with a one-byte identifier, or a 2-byte TTL.
constexpr size_t kSmallestLldpdu = 4 + 4 + 4;

// A reason given with its text, by the decoder's own checks.
void checkReason(const Codec::Rejection& r) {
  CHECK(!r.text.empty(), std::string(Codec::reasonName(r.reason)));
  CHECK(Codec::reasonName(r.reason) != "unknown", r.text);
  // The decoder checks every length before it reads; a refusal by the
  // reader's own bounds check ("read of N bytes at offset ...") means one
  // of those checks is missing.
  CHECK(r.text.rfind("read of ", 0) != 0, r.text);
}

void checkRefusal(const Codec::Result& result) {
  const auto& r = result.rejection();
  checkReason(r);
  // A frame is refused only for what is wrong with the frame; a bad
  // optional TLV is left out instead.
  CHECK(!Codec::refusesTlvOnly(r.reason), r.text);
}

// The LLDPDU starts with Chassis ID, Port ID and Time To Live, in that
// order, and the decoded identity and TTL are exactly what they carry.
void checkMandatoryTlvs(std::span<const uint8_t> frame, const Lldpdu& pdu) {
  size_t at = kEthHeader;
  auto next = [&](unsigned type) {
    CHECK(at + 2 <= frame.size(), std::to_string(type));
    const unsigned header = frame[at] << 8 | frame[at + 1];
    CHECK(header >> 9 == type, std::to_string(header >> 9));
    const size_t length = header & 0x1ff;
    CHECK(at + 2 + length <= frame.size());
    auto value = frame.subspan(at + 2, length);
    at += 2 + length;
    return value;
  };
  auto sameBytes = [](std::span<const uint8_t> a, const std::string& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                      [](uint8_t x, char y) { return x == static_cast<uint8_t>(y); });
  };
  const auto chassis = next(1);
  CHECK(chassis.size() >= 2 && chassis[0] == static_cast<uint8_t>(pdu.chassisIdSubtype));
  CHECK(sameBytes(chassis.subspan(1), pdu.chassisId.bytes()));
  const auto port = next(2);
  CHECK(port.size() >= 2 && port[0] == static_cast<uint8_t>(pdu.portIdSubtype));
  CHECK(sameBytes(port.subspan(1), pdu.portId.bytes()));
  const auto ttl = next(3);
  CHECK(ttl.size() == 2 && (ttl[0] << 8 | ttl[1]) == pdu.ttl);
}

// Zero padding after an accepted LLDPDU reads as End Of LLDPDU (or follows
// one) and changes nothing.
void checkPaddingChangesNothing(std::span<const uint8_t> frame, const Codec::Decoded& d) {
  if (frame.size() + 2 - kEthHeader > Codec::maxLldpduSize) return;
  std::vector<uint8_t> padded(frame.begin(), frame.end());
  padded.resize(padded.size() + 2, 0);
  const auto result = Codec::decode(padded);
  CHECK(result.ok(), result.ok() ? "" : result.rejection().text);
  CHECK(result.lldpdu() == d.lldpdu);
  CHECK(result.decoded().unrecognizedTlvs == d.unrecognizedTlvs);
  CHECK(result.decoded().discardedTlvs.size() == d.discardedTlvs.size());
}

// The same frame with a VLAN tag is no LLDPDU: LLDPDUs travel untagged.
void checkTaggedIsRefused(std::span<const uint8_t> frame) {
  std::vector<uint8_t> tagged(frame.begin(), frame.begin() + 12);
  for (uint8_t b : {0x81, 0x00, 0x00, 0x64}) tagged.push_back(b);
  tagged.insert(tagged.end(), frame.begin() + 12, frame.end());
  const auto result = Codec::decode(tagged);
  CHECK(!result.ok() && result.rejection().reason == Codec::Reason::taggedFrame);
}

// What every accepted frame must satisfy, and that what was accepted can be
// sent again unchanged: our encoder's frame for the decoded values decodes
// to the same values, and encoding those gives the same bytes.
void checkAccepted(std::span<const uint8_t> frame, const Codec::Decoded& d) {
  const Lldpdu& pdu = d.lldpdu;
  CHECK(frame.size() >= kEthHeader + kSmallestLldpdu);
  CHECK(frame.size() - kEthHeader <= Codec::maxLldpduSize);
  CHECK(frame[12] == 0x88 && frame[13] == 0xcc);
  CHECK(std::equal(pdu.src.bytes().begin(), pdu.src.bytes().end(), frame.begin() + 6));
  CHECK(pdu.chassisId.size() >= 1 && pdu.chassisId.size() <= 255, std::to_string(pdu.chassisId.size()));
  CHECK(pdu.portId.size() >= 1 && pdu.portId.size() <= 255, std::to_string(pdu.portId.size()));
  const auto cs = static_cast<unsigned>(pdu.chassisIdSubtype);
  const auto ps = static_cast<unsigned>(pdu.portIdSubtype);
  CHECK(cs >= 1 && cs <= 7, std::to_string(cs));
  CHECK(ps >= 1 && ps <= 7, std::to_string(ps));
  checkMandatoryTlvs(frame, pdu);
  if (pdu.systemName) CHECK(pdu.systemName->size() <= 255, std::to_string(pdu.systemName->size()));
  // Each unrecognised or discarded TLV has at least its 2-byte header.
  CHECK(d.unrecognizedTlvs + d.discardedTlvs.size() <= (frame.size() - kEthHeader - kSmallestLldpdu) / 2);
  for (const auto& t : d.discardedTlvs) {
    checkReason(t);
    CHECK(Codec::refusesTlvOnly(t.reason), t.text);
  }
  // The exact hold time refines the TTL and never outlasts it.
  const double hold = pdu.holdTime();
  CHECK(std::isfinite(hold) && hold >= 0 && hold <= pdu.ttl, std::to_string(hold));
  if (pdu.holdTimeMs && *pdu.holdTimeMs > 0) {
    CHECK(hold == std::min<double>(*pdu.holdTimeMs / 1000.0, pdu.ttl), std::to_string(hold));
  } else {
    CHECK(hold == pdu.ttl, std::to_string(hold));
  }
  CHECK(pdu.isShutdown() == (pdu.ttl == 0));
  checkPaddingChangesNothing(frame, d);
  checkTaggedIsRefused(frame);

  const auto again = Codec::encode(pdu);
  CHECK(again.size() >= Codec::minFrameSize);
  const auto redecoded = Codec::decode(again);
  CHECK(redecoded.ok(), redecoded.ok() ? "" : redecoded.rejection().text);
  CHECK(redecoded.lldpdu() == pdu);
  CHECK(redecoded.decoded().unrecognizedTlvs == 0);
  CHECK(redecoded.decoded().discardedTlvs.empty());
  CHECK(Codec::encode(redecoded.lldpdu()) == again);
}

void check(std::span<const uint8_t> frame) {
  const auto result = Codec::decode(frame);
  if (result.ok()) {
    checkAccepted(frame, result.decoded());
  } else {
    checkRefusal(result);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::span<const uint8_t> input(data, size);
  check(input);

  std::vector<uint8_t> lldpdu{0x01, 0x80, 0xc2, 0x00, 0x00, 0x0e, 0x02, 0x76, 0x6f, 0x72, 0x00, 0x01, 0x88, 0xcc};
  if (size > kEthHeader) lldpdu.insert(lldpdu.end(), input.begin() + kEthHeader, input.end());
  check(lldpdu);
  return 0;
}

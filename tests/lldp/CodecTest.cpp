#include "lldp/Codec.h"

#include "tests/lldp/Hex.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace Lldp;
using Codec::Reason;
using LldpTest::hex;

// Pieces of test frames, each a TLV or header as it appears on the wire.
// Ethernet header: nearest-bridge destination, source 02:76:6f:72:00:01, LLDP EtherType.
const std::string kEth = "0180c200000e 02766f720001 88cc";
// Chassis ID: type 1, length 7 | subtype 4 (MAC) | 02:76:6f:72:00:01.
const std::string kChassis = "0207 04 02766f720001";
// Port ID: type 2, length 10 | subtype 5 (interface name) | "Ethernet1".
const std::string kPort = "040a 05 45746865726e657431";
// Time To Live: type 3, length 2 | 1 s.
const std::string kTtl = "0602 0001";
// End Of LLDPDU: type 0, length 0.
const std::string kEnd = "0000";
const std::string kMandatory = kEth + kChassis + kPort + kTtl;

Codec::Lldpdu sample() {
  Codec::Lldpdu pdu;
  pdu.src = Kivo::EthAddr::fromString("02:76:6f:72:00:01");
  pdu.chassisIdSubtype = ChassisIdSubtype::macAddress;
  pdu.chassisId = ChassisId(std::string("\x02\x76\x6f\x72\x00\x01", 6));
  pdu.portIdSubtype = PortIdSubtype::interfaceName;
  pdu.portId = PortId("Ethernet1");
  pdu.ttl = 1;
  pdu.holdTimeMs = 300;
  pdu.vornTlv = VornTlv{1, Vorn::Role::member, 2, 2, VornTlv::lodestoreConnectedFlag};
  return pdu;
}

TEST(CodecTest, EncodesTheWireFormatAndRoundTrips) {
  EXPECT_EQ(Codec::encode(sample()), hex(kMandatory +
                                         // Vorn TLV: type 127, length 9 | OUI 02:76:6f | subtype 1 | memberId 1,
                                         // role member, expected peer 2, received peer 2, flags 0x01.
                                         "fe09 02766f 01 01 01 02 02 01"
                                         // Exact hold time: type 127, length 8 | OUI 02:76:6f | subtype 2 | 300 ms.
                                         "fe08 02766f 02 0000012c" + kEnd));
  auto plain = sample(), shutdown = sample(), longest = sample();
  plain.vornTlv = shutdown.vornTlv = Zem::none;
  plain.holdTimeMs = shutdown.holdTimeMs = Zem::none;
  shutdown.ttl = 0;
  // The longest identifiers and name a frame carries.
  longest.chassisIdSubtype = ChassisIdSubtype::locallyAssigned;
  longest.chassisId = ChassisId(std::string(255, 'c'));
  longest.portId = PortId(std::string(255, 'p'));
  longest.systemName = std::string(255, 'n');
  for (const auto& pdu : {sample(), plain, shutdown, longest}) {
    const auto frame = Codec::encode(pdu);
    EXPECT_GE(frame.size(), Codec::minFrameSize);
    const auto result = Codec::decode(frame);
    ASSERT_TRUE(result.ok()) << result.rejection().text;
    EXPECT_EQ(result.lldpdu(), pdu);
    EXPECT_EQ(result.lldpdu().isShutdown(), pdu.ttl == 0);
    EXPECT_TRUE(result.decoded().discardedTlvs.empty() && result.decoded().unrecognizedTlvs == 0);
  }
}

// The exact hold time refines the TTL and never outlasts it; the TTL sent is
// the hold time rounded up to whole seconds.
TEST(CodecTest, ExactHoldTimeNeverOutlastsTheTtlItRefines) {
  const std::tuple<uint16_t, Zem::Optional<uint32_t>, Velto::Duration> cases[] = {{1, 300u, 0.3}, {2, 2000u, 2.0},
      {1, 0xffffffffu, 1.0}, {120, 120001u, 120.0}, {3, 0u, 3.0}, {65535, Zem::none, 65535}};
  for (const auto& [ttl, holdMs, hold] : cases) {
    auto pdu = sample();
    std::tie(pdu.ttl, pdu.holdTimeMs) = std::tuple(ttl, holdMs);
    EXPECT_DOUBLE_EQ(pdu.holdTime(), hold) << ttl;
  }
  const std::pair<uint64_t, uint16_t> ttls[] = {{300, 1}, {1000, 1}, {1001, 2}, {0, 1}, {120000, 120}, {1e8, 65535}};
  for (auto [holdMs, ttl] : ttls) EXPECT_EQ(Codec::ttlForHoldTimeMs(holdMs), ttl) << holdMs;
}

// Each rejection's reason is pinned by the fuzzing corpus's regression frames;
// these rows pin the boundaries and the wording.
TEST(CodecTest, RejectsMalformedFrames) {
  using enum Reason;
  const std::string id256 = "0501 05" + std::string(512, 'a');       // Port ID: length 257 | subtype 5 | 256 bytes
  const std::string chassis255 = "0300 07" + std::string(510, 'b');  // Chassis ID: length 256, the longest allowed
  std::vector<uint8_t> tooLong = hex(kMandatory);
  while (tooLong.size() < 14 + 1501) tooLong.push_back(0x12);  // type 9 TLVs of 18 bytes of 0x12
  const std::vector<std::tuple<std::vector<uint8_t>, Reason, const char*>> cases{  // part of the text
      {tooLong, frameTooLong, "1501"},
      // Chassis ID claims 5 bytes, 4 follow.
      {hex(kEth + "0205 04 0276 6f"), tlvPastEnd, "has length 5 but 4"},
      {hex(kEth + kChassis + id256 + kTtl + kEnd), badPortIdLength, "length 257"},
      {hex(kEth + chassis255 + kTtl), missingPortId, "TLV 2 is Time"},
      // A second Chassis ID, Port ID or Time To Live discards the LLDPDU.
      {hex(kMandatory + kTtl), duplicateMandatoryTlv, "second Time To Live TLV at offset 39"},
      {hex(kEth + kChassis + "040a 08 45746865726e657431" + kTtl), reservedSubtype, "subtype 8"},
  };
  for (const auto& [frame, reason, text] : cases) {
    SCOPED_TRACE(text);
    const auto result = Codec::decode(frame);
    ASSERT_FALSE(result.ok());
    EXPECT_FALSE(Codec::refusesTlvOnly(reason));
    EXPECT_EQ(result.rejection().reason, reason) << result.rejection().text;
    EXPECT_NE(result.rejection().text.find(text), std::string::npos) << result.rejection().text;
  }
}

// A malformed or repeated optional TLV is left out and the rest of the frame
// is used: the System Name after it still arrives.
TEST(CodecTest, DiscardsMalformedOptionalTlvsAndUsesTheRest) {
  using enum Reason;
  const std::string text256(512, 'a');  // 256 bytes
  const std::vector<std::tuple<std::string, Reason, const char*>> cases{
      {"0900" + text256, badPortDescriptionLength, "length 256, more than 255"},
      // Address string 5 (IPv4 10.0.0.1) | ifIndex 2 | OID length 1 | OID 2b | one byte more.
      {"100e 05 01 0a000001 02 00000002 01 2b 00", badManagementAddress, "length 14, but its parts take 13"},
      // Address string 5 | ifIndex 2 | OID length 129 | 129 bytes.
      {"108d 05 01 0a000001 02 00000002 81" + std::string(258, '2'),
       badManagementAddress, "object identifier of 129 bytes"},
      {"fe03 02766f", badOrgSpecificLength, "length 3"},
      {"fe0a 02766f 01 010102020100", badVornTlv, "carries 6 bytes, not 5"},
      {"fe06 02766f 02 012c", badHoldTime, "carries 2 bytes"},
  };
  for (const auto& [tlvs, reason, text] : cases) {
    SCOPED_TRACE(text);
    const auto result = Codec::decode(hex(kMandatory + tlvs + "0a03 737731" + kEnd));  // System Name "sw1"
    ASSERT_TRUE(result.ok()) << result.rejection().text;
    const auto& d = result.decoded();
    ASSERT_EQ(d.discardedTlvs.size(), 1u);
    EXPECT_EQ(d.discardedTlvs[0].reason, reason) << d.discardedTlvs[0].text;
    EXPECT_NE(d.discardedTlvs[0].text.find(text), std::string::npos) << d.discardedTlvs[0].text;
    EXPECT_TRUE(Codec::refusesTlvOnly(reason));
    EXPECT_EQ(result.lldpdu().systemName, Zem::Optional<std::string>("sw1"));
  }
}

// Of repeated optional TLVs the first is kept (management addresses may
// repeat); unknown TLVs are counted; the End Of LLDPDU ends it, even with a
// length, and so does the end of the frame.
TEST(CodecTest, KeepsTheFirstOfRepeatedTlvsCountsUnknownOnesAndStopsAtTheEnd) {
  const auto result = Codec::decode(hex(kMandatory +
                                        "0a03 737731"                         // System Name "sw1"
                                        "fe09 02766f 01 01 01 02 00 00"       // Vorn TLV of member 1
                                        "0a03 737732"                         // System Name "sw2"
                                        "fe09 02766f 01 03 01 02 00 00"       // Vorn TLV of member 3
                                        "1007 01 01 0a 02 000000"             // Management Address, too short
                                        "100c 05 01 0a000001 02 00000002 00"  // Management Address 10.0.0.1
                                        "100c 05 01 0a000002 02 00000002 00"  // and another
                                        "1201 aa"                             // reserved type 9, length 1
                                        "fe06 0080c2 01 0001"                 // another organisation's TLV
                                        "fe04 02766f 09"                      // our OUI, unknown subtype 9
                                        "0c02 6869"  // System Description "hi": known, not kept
                                        "0002 0000" + kChassis));  // End with a length, then padding
  ASSERT_TRUE(result.ok()) << result.rejection().text;
  EXPECT_EQ(result.lldpdu().systemName, Zem::Optional<std::string>("sw1"));
  ASSERT_TRUE(result.lldpdu().vornTlv);
  EXPECT_EQ(result.lldpdu().vornTlv->memberId, Vorn::MemberId(1));
  std::vector<Reason> reasons;
  for (const auto& t : result.decoded().discardedTlvs) reasons.push_back(t.reason);
  using enum Reason;
  EXPECT_EQ(reasons, (std::vector<Reason>{repeatedTlv, repeatedTlv, badManagementAddress, badEndLength}));
  EXPECT_EQ(result.decoded().unrecognizedTlvs, 3u);
  EXPECT_TRUE(Codec::decode(hex(kMandatory)).ok());
}

}  // namespace

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
  auto plain = sample(), named = sample(), shutdown = sample();
  plain.vornTlv = shutdown.vornTlv = Zem::none;
  plain.holdTimeMs = shutdown.holdTimeMs = Zem::none;
  shutdown.ttl = 0;
  named.systemName = std::string("sw1");
  // The longest identifiers and name a frame carries.
  auto longest = named;
  longest.chassisIdSubtype = ChassisIdSubtype::locallyAssigned;
  longest.chassisId = ChassisId(std::string(255, 'c'));
  longest.portId = PortId(std::string(255, 'p'));
  longest.systemName = std::string(255, 'n');
  for (const auto& pdu : {sample(), plain, named, shutdown, longest}) {
    const auto frame = Codec::encode(pdu);
    EXPECT_GE(frame.size(), Codec::minFrameSize);
    const auto result = Codec::decode(frame);
    ASSERT_TRUE(result.ok()) << result.rejection().text;
    EXPECT_EQ(result.lldpdu(), pdu);
    EXPECT_EQ(result.lldpdu().isShutdown(), pdu.ttl == 0);
    EXPECT_TRUE(result.decoded().discardedTlvs.empty() && result.decoded().unrecognizedTlvs == 0);
  }
}

// Each flag alone and together: what the builder sets, the accessors read
// back after the wire and after the JSON; a setter touches only its bit, and
// peers see only the two named flags.
TEST(CodecTest, VornTlvFlagsSurviveTheWireAndTheJson) {
  for (uint8_t byte = 0; byte < 4; ++byte) {
    SCOPED_TRACE(byte);
    const bool connected = byte & 1, single = byte & 2;
    auto pdu = sample();
    pdu.vornTlv = VornTlv{1, Vorn::Role::member, 2, 2, 0}.lodestoreConnectedIs(connected).singleLinkIs(single);
    EXPECT_EQ(pdu.vornTlv->flags, byte);
    const auto heard = Codec::decode(Codec::encode(pdu));
    ASSERT_TRUE(heard.ok() && heard.lldpdu().vornTlv);
    const VornTlv tlv = *heard.lldpdu().vornTlv;
    EXPECT_EQ(std::pair(tlv.lodestoreConnected(), tlv.singleLink()), std::pair(connected, single));
    const auto json = Zem::JsonCodec<VornTlv>::toJson(tlv);
    EXPECT_EQ(std::tuple(json["flags"], json["lodestoreConnected"], json["singleLink"]),
              std::tuple(byte, connected, single));
    EXPECT_EQ(Zem::JsonCodec<VornTlv>::fromJson(json), tlv);
  }
  const VornTlv all{1, Vorn::Role::member, 2, 2, 0xff};
  EXPECT_EQ(VornTlv(all).lodestoreConnectedIs(false).flags, 0xfe);
  EXPECT_EQ(VornTlv(all).singleLinkIs(false).flags, 0xfd);
  EXPECT_EQ((VornTlv{1, Vorn::Role::member, 2, 2, 0x84}.singleLinkIs(true).flags), 0x86);
  EXPECT_EQ(all.peerVisible(), (VornTlv{1, Vorn::Role::member, 2, 2, 0x03}));
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

TEST(CodecTest, RejectsMalformedFrames) {
  const std::string id256 = "0501 05" + std::string(512, 'a');       // Port ID: length 257 | subtype 5 | 256 bytes
  const std::string chassis255 = "0300 07" + std::string(510, 'b');  // Chassis ID: length 256, the longest allowed
  std::vector<uint8_t> tooLong = hex(kMandatory);
  while (tooLong.size() < 14 + 1501) tooLong.push_back(0x12);  // type 9 TLVs of 18 bytes of 0x12
  const std::vector<std::tuple<const char*, std::vector<uint8_t>, Reason, const char*>> cases{  // part of the text
      {"frame shorter than an Ethernet header", hex("0180c200000e 02766f72"), Reason::truncatedFrame, "shorter than"},
      {"LLDPDU longer than Ethernet carries", tooLong, Reason::frameTooLong, "1501"},
      // Chassis ID claims 5 bytes, 4 follow.
      {"TLV one byte past the end", hex(kEth + "0205 04 0276 6f"), Reason::tlvPastEnd, "has length 5 but 4"},
      {"chassis ID of subtype only", hex(kEth + "0201 04" + kPort + kTtl), Reason::badChassisIdLength, "length 1"},
      {"256-byte port ID", hex(kEth + kChassis + id256 + kTtl + kEnd), Reason::badPortIdLength, "length 257"},
      {"255-byte chassis ID then no Port ID", hex(kEth + chassis255 + kTtl), Reason::missingPortId, "TLV 2 is Time"},
      {"Port ID first", hex(kEth + kPort + kChassis + kTtl + kEnd), Reason::missingChassisId, "TLV 1 is Port ID"},
      {"End before TTL", hex(kEth + kChassis + kPort + kEnd), Reason::missingTtl, "TLV 3 is End Of LLDPDU"},
      // A second Chassis ID, Port ID or Time To Live discards the LLDPDU.
      {"duplicate TTL", hex(kMandatory + kTtl), Reason::duplicateMandatoryTlv, "second Time To Live TLV at offset 39"},
      {"three-byte TTL", hex(kEth + kChassis + kPort + "0603 000100"), Reason::badTtlLength, "length 3, not 2"},
      {"reserved port subtype 8", hex(kEth + kChassis + "040a 08 45746865726e657431" + kTtl), Reason::reservedSubtype,
       "subtype 8"},
      // LLDPDUs travel untagged.
      {"802.1Q tag of VLAN 100", hex("0180c200000e 02766f720001 8100 0064 88cc" + kChassis + kPort + kTtl),
       Reason::taggedFrame, "VLAN 100 carries EtherType 0x88cc"},
  };
  for (const auto& [name, frame, reason, text] : cases) {
    SCOPED_TRACE(name);
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
  const std::string text256(512, 'a');  // 256 bytes
  const std::vector<std::tuple<const char*, std::string, Reason, const char*>> cases{
      {"256-byte port description", "0900" + text256, Reason::badPortDescriptionLength, "length 256, more than 255"},
      {"3-byte system capabilities", "0e03 001400", Reason::badSystemCapabilitiesLength, "length 3, not 4"},
      {"management address of 8 bytes", "1008 0201 0a 02 00000001", Reason::badManagementAddress, "outside 9..167"},
      // Address string 5 (IPv4 10.0.0.1) | ifIndex 2 | OID length 1 | OID 2b | one byte more.
      {"management address longer than its parts", "100e 05 01 0a000001 02 00000002 01 2b 00",
       Reason::badManagementAddress, "length 14, but its parts take 13"},
      // Address string 5 | ifIndex 2 | OID length 129 | 129 bytes.
      {"management address OID of 129 bytes", "108d 05 01 0a000001 02 00000002 81" + std::string(258, '2'),
       Reason::badManagementAddress, "object identifier of 129 bytes"},
      {"organisationally specific TLV without subtype", "fe03 02766f", Reason::badOrgSpecificLength, "length 3"},
      {"Vorn TLV of 6 bytes", "fe0a 02766f 01 010102020100", Reason::badVornTlv, "carries 6 bytes, not 5"},
      {"exact hold time of 2 bytes", "fe06 02766f 02 012c", Reason::badHoldTime, "carries 2 bytes"},
  };
  for (const auto& [name, tlvs, reason, text] : cases) {
    SCOPED_TRACE(name);
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

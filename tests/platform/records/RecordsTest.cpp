#include "platform/records/LldpRecords.h"
#include "platform/records/VornFabricLldpCtxTypes.h"
#include "platform/records/VornRecords.h"
#include "platform/vorn/Group.h"
#include "tests/IntfNames.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace {

using Kivo::IntfId;
using Vorn::HigigNegotiationState;
using Zem::Json;

using namespace TestIntfs;

Lldp::VornTlv tlv(uint8_t member, uint8_t expected, uint8_t received, uint8_t flags = 0,
                  Vorn::Role role = Vorn::Role::member) {
  return Lldp::VornTlv{member, role, expected, received, flags};
}

// One populated instance of each record the agent backs up or shares with peers.
std::vector<Velto::Ptr<Zem::Entity>> samples() {
  auto config = Velto::make<Vorn::MemberConfig>("1");
  config->bcConfigIs(po1)->peerMemberIdIs(Vorn::MemberId(2));
  config->bcConfig(po1)->memberIntfIs(et1)->lagGroupNameIs("A"), config->bcConfig(po1)->memberIntfIs(et2);
  auto bc = Velto::make<Vorn::BackplaneChannelStatus>("1");
  auto st = bc->bcMemberStatusIs(po1)->memberIntfStatusIs(et1);
  st->stateIs(HigigNegotiationState::higigWaitSsr), st->fabricModeIs(true), st->peerRoleIs(Vorn::Role::member);
  auto ctx = Velto::make<VornFabricLldp::CtxForMember>("ctxForMember");
  auto mc = ctx->ctxIs(po1, et1);
  mc->peerMemberIdIs(Vorn::MemberId(2)), mc->prevTlvIs(tlv(2, 1, 0));
  mc->rxInfoIs(4)->tlvIs(tlv(2, 1, 1, 3)), mc->rxInfo()->lastRefreshTimeIs(12.5);
  ctx->intfMapIs(po1)->memberIs(et1);
  auto lldpStatus = Velto::make<Vorn::Lldp::Status>("1");
  Vorn::Lldp::RemoteSystemMsap msap{Lldp::ChassisIdSubtype::macAddress,
                                    Lldp::ChassisId(std::string("\x02vor\x00\x02", 6)),
                                    Lldp::PortIdSubtype::interfaceName, Lldp::PortId("Ethernet1")};
  lldpStatus->portStatusIs(et1)->remoteSystemIs(3, msap)->ttlIs(1);
  lldpStatus->portStatus(et1)->remoteSystem(3)->vornTlvRxIs(
      Lldp::VornTlv{2, Vorn::Role::member, 1, 1, 0}.lodestoreConnectedIs(true));
  // A role byte without a name, as a peer may send.
  lldpStatus->portStatusIs(et2)->remoteSystemIs(4, msap)->vornTlvRxIs(
      Lldp::VornTlv{3, Vorn::Role(5), 0, 0, 0}.singleLinkIs(true));
  // A backup-area variant has a private constructor: made by name.
  auto localStatus = Velto::dynamicPtrCast<Vorn::Lldp::LocalStatus>(Vorn::Lldp::LocalStatus::typeInfoStatic().create());
  localStatus->portStatusIs(et1)->remoteSystemIs(1, msap)->ttlIs(120);
  return {config, bc, ctx, lldpStatus, localStatus};
}

TEST(RecordsTest, EveryRecordRoundTripsThroughJson) {
  for (auto& entity : samples()) {
    Json j = Zem::typedJson(*entity);
    auto back = Zem::entityFromJson(Json::parse(j.dump()), nullptr);
    ASSERT_TRUE(back) << j;
    EXPECT_EQ(std::pair(back->typeInfo(), Zem::typedJson(*back)), std::pair(entity->typeInfo(), j));
  }
}

TEST(RecordsTest, StatesTravelByNameAndMemberIdZeroIsNone) {
  auto bc = Velto::make<Vorn::BackplaneChannelStatus>("1");
  bc->bcMemberStatusIs(po1)->memberIntfStatusIs(et1)->stateIs(HigigNegotiationState::higigConfirmed);
  EXPECT_EQ(Zem::toJson(*bc)["bcMemberStatus"]["Port-Channel1"]["memberIntfStatus"]["Ethernet1"]["state"],
            "higigConfirmed");
  auto ctx = Velto::make<VornFabricLldp::CtxForMember>("c")->ctxIs(po1, et1);
  for (auto [json, expect] : {std::pair{Json(2), 2}, std::pair{Json(0), 0}, std::pair{Json(), 0}}) {
    Zem::assignFromJson(*ctx, Json{{"peerMemberId", json}});
    EXPECT_EQ(ctx->peerMemberId(), Vorn::optionalMemberId(expect)) << json;
  }
  EXPECT_TRUE(Zem::toJson(*ctx)["peerMemberId"].is_null());
  EXPECT_EQ(Vorn::memberMacAddr(9), Kivo::EthAddr::fromString("02:76:6f:72:00:09"));  // a fixed prefix, then the ID
}

template <class T>
std::function<void()> reading(Json j, const char* without = nullptr) {
  if (without) j.erase(without);
  return [j] { Zem::JsonCodec<T>::fromJson(j); };
}

TEST(RecordsTest, ValuesRefuseBadOrMissingFields) {
  using Msap = Vorn::Lldp::RemoteSystemMsap;
  const Json msap = Zem::JsonCodec<Msap>::toJson({});
  // The two shapes a Vorn TLV was written in before it had one codec.
  Json flagsTlv = Zem::JsonCodec<Lldp::VornTlv>::toJson({});
  flagsTlv.erase("lodestoreConnected"), flagsTlv.erase("singleLink");
  const std::pair<std::function<void()>, const char*> cases[] = {
      {reading<Msap>(msap, "portId"), "MSAP lacks portId"},
      {reading<Lldp::VornTlv>(flagsTlv, "flags"), "Vorn TLV lacks flags"},
      {reading<HigigNegotiationState>(Json(7)), "negotiation state 7 out of range (0 to 6)"},
      {reading<Vorn::Role>(Json(256)), "role 256 out of range (0 to 255)"},
      {reading<Lldp::PortId>(Json(std::string(512, 'a'))), "Zem::Bytes::size > 255 not allowed"},
  };
  for (auto& [read, expect] : cases)
    EXPECT_THAT(read,
                testing::Throws<std::exception>(testing::Property(&std::exception::what, testing::StrEq(expect))));
  // Earlier backups named a role without a name "role<number>".
  EXPECT_EQ(Zem::JsonCodec<Vorn::Role>::fromJson(Json("role5")), Vorn::Role(5));
}

// Member context backups hold the flags byte alone, Vorn LLDP status backups and peers' copies the two booleans
// alone; both read back.
TEST(RecordsTest, VornTlvReadsEveryShapeWritten) {
  auto shape = [](uint8_t flags, std::vector<const char*> drop) {
    Json j = Zem::JsonCodec<Lldp::VornTlv>::toJson(Lldp::VornTlv{2, Vorn::Role::member, 1, 3, flags});
    for (const char* field : drop) j.erase(field);
    return j;
  };
  Json disagreeing = shape(0x02, {});  // the flags byte wins over booleans that disagree
  disagreeing["lodestoreConnected"] = true;
  const std::pair<Json, uint8_t> cases[] = {
      {shape(0x83, {}), 0x83},
      {shape(0x85, {"lodestoreConnected", "singleLink"}), 0x85},  // unnamed bits kept
      {shape(0x02, {"flags"}), 0x02},
      {disagreeing, 0x02},
  };
  for (const auto& [json, flags] : cases)
    EXPECT_EQ(Zem::JsonCodec<Lldp::VornTlv>::fromJson(json), (Lldp::VornTlv{2, Vorn::Role::member, 1, 3, flags}))
        << json;
}

}  // namespace

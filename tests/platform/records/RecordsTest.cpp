#include "platform/records/InterfaceRecords.h"
#include "platform/records/KernelRecords.h"
#include "platform/records/LldpRecords.h"
#include "platform/records/VornFabricLldpCtxTypes.h"
#include "platform/records/VornRecords.h"
#include "platform/vorn/Group.h"
#include "platform/vorn/ServiceSync.h"

#include <gtest/gtest.h>

#include <functional>
#include <vector>

namespace {

using Kivo::IntfId;
using Vorn::HigigNegotiationState;

const IntfId po1("Port-Channel1");
const IntfId et1("Ethernet1");
const IntfId et2("Ethernet2");

Lldp::VornTlv tlv(uint8_t member, uint8_t expected, uint8_t received, uint8_t flags = 0,
                  Vorn::Role role = Vorn::Role::member) {
  return Lldp::VornTlv{member, role, expected, received, flags};
}

// A record whose constructor is private (backup-area variants), made by name.
template <class T>
Velto::Ptr<T> made() {
  return Velto::dynamicPtrCast<T>(T::typeInfoStatic().create());
}

// One populated instance of each record the agent persists or publishes.
std::vector<std::pair<std::string, Velto::Ptr<Zem::Entity>>> samples() {
  std::vector<std::pair<std::string, Velto::Ptr<Zem::Entity>>> v;

  auto config = Velto::make<Vorn::MemberConfig>("1");
  auto channel = config->bcConfigIs(po1);
  channel->peerMemberIdIs(Vorn::MemberId(2));
  channel->memberIntfIs(et1)->lagGroupNameIs("A");
  channel->memberIntfIs(et2);
  v.emplace_back("member configuration", config);

  auto bc = Velto::make<Vorn::BackplaneChannelStatus>("1");
  auto st = bc->bcMemberStatusIs(po1)->memberIntfStatusIs(et1);
  st->stateIs(HigigNegotiationState::higigWaitSsr);
  st->fabricModeIs(true);
  st->peerRoleIs(Vorn::Role::member);
  v.emplace_back("backplane channel status", bc);

  auto ctx = Velto::make<VornFabricLldp::CtxForMember>("ctxForMember");
  auto mc = ctx->ctxIs(po1, et1);
  mc->peerMemberIdIs(Vorn::MemberId(2));
  mc->prevTlvIs(tlv(2, 1, 0));
  auto rx = mc->rxInfoIs(4);
  rx->tlvIs(tlv(2, 1, 1, 3));
  rx->lastRefreshTimeIs(12.5);
  ctx->intfMapIs(po1)->memberIs(et1);
  v.emplace_back("member context", ctx);

  auto lldpStatus = Velto::make<Vorn::Lldp::Status>("1");
  Vorn::Lldp::RemoteSystemMsap msap{Lldp::ChassisIdSubtype::macAddress, Lldp::ChassisId(std::string("\x02vor\x00\x02", 6)),
                                    Lldp::PortIdSubtype::interfaceName, Lldp::PortId("Ethernet1")};
  auto rs = lldpStatus->portStatusIs(et1)->remoteSystemIs(3, msap);
  rs->ttlIs(1);
  rs->vornTlvRxIs(Lldp::VornTlv{2, Vorn::Role::member, 1, 1, 0}.lodestoreConnectedIs(true));
  // A role byte without a name, as a peer may send.
  lldpStatus->portStatusIs(et2)->remoteSystemIs(4, msap)->vornTlvRxIs(Lldp::VornTlv{3, Vorn::Role(5), 0, 0, 0}.singleLinkIs(true));
  v.emplace_back("LLDP status", lldpStatus);

  auto kni = Velto::make<Vorn::KniIntfMap>("map");
  kni->kniIntfIdKeyPairIs({et1, {7}});
  kni->intfIdToIntfKeyIs(et1, {7});
  v.emplace_back("kernel interface map", kni);

  auto kernel = Velto::make<KernelNetInfo::Status>();
  kernel->interfaceIs({7}, KernelNetInfo::Interface{{7}, "et1", Kivo::EthAddr::fromString("02:00:00:00:00:07")});
  v.emplace_back("kernel interfaces", kernel);

  auto lldpEngineStatus = Velto::make<Lldp::Status>("status");
  auto remote = lldpEngineStatus->portStatusIs(et1, 3.0)->remoteSystemIs(1);
  remote->chassisIdIs(Lldp::ChassisId("abcdef"));
  remote->vornTlvIs(tlv(2, 1, 1, 0, Vorn::Role(5)));
  remote->lastRefreshTimeIs(4.25);
  v.emplace_back("LLDP engine status", lldpEngineStatus);

  auto lag = Velto::make<Interface::EthLagIntfStatusDir>("lag");
  auto po = lag->intfStatusIs(po1);
  po->linkStatusIs(Interface::LinkStatus::up);
  po->memberIs(et1)->linkStatusIs(Interface::LinkStatus::up);
  v.emplace_back("LAG status", lag);

  auto cli = Velto::make<Lldp::CliConfig>("cliConfig");
  cli->enabledIs(true);
  v.emplace_back("LLDP switch", cli);

  auto lldpConfig = Velto::make<Lldp::Config>("config");
  lldpConfig->portConfigIs(et1)->rxRateLimitingEnabledIs(false);
  lldpConfig->messageTxIntervalIs(5);
  lldpConfig->isMessageTxTimeInMsIs(true);
  v.emplace_back("LLDP configuration", lldpConfig);

  auto local = Velto::make<Lldp::LocalSystem>("localSystem");
  local->chassisIdIs(Lldp::ChassisId("\x02\x01"));
  auto port = local->localPortIs(et1);
  port->portIdIs(Lldp::PortId("Ethernet1"));
  port->vornTlvTxIs(tlv(1, 2, 2, Lldp::VornTlv::singleLinkFlag));
  v.emplace_back("LLDP local system", local);

  auto phy = Velto::make<Interface::AllEthPhyIntfStatusDir>("eth");
  auto eth = Velto::make<Interface::EthPhyIntfStatus>(et1, Velto::make<Interface::IntfConfig>(et1), 3,
                                                      Kivo::EthAddr::fromString("02:00:00:00:00:01"), 7);
  eth->deviceNameIs("et1");
  eth->linkStatusIs(Interface::LinkStatus::up);
  phy->intfStatusIs(eth);
  v.emplace_back("Ethernet interface status", phy);

  auto desired = Velto::make<Interface::PamDesiredIntfDir>("desired");
  desired->intfDesiredIs(et1, true);
  v.emplace_back("desired interfaces", desired);

  auto vornStatus = Velto::make<Vorn::VornStatus>("status");
  vornStatus->candidateMemberIdIs(Vorn::MemberId(3));
  v.emplace_back("group status", vornStatus);

  auto localStatus = made<Vorn::Lldp::LocalStatus>();
  localStatus->portStatusIs(et1)->remoteSystemIs(1, msap)->ttlIs(120);
  v.emplace_back("backed-up LLDP status", localStatus);

  auto serviceCtx = Velto::make<Vorn::ServiceCtx>(config, "local/config", "vorn/config", true);
  serviceCtx->remoteIsWriterIs(false);
  v.emplace_back("synchronizer context", serviceCtx);

  return v;
}

TEST(RecordsTest, EveryRecordRoundTripsThroughJson) {
  for (auto& [what, entity] : samples()) {
    Zem::Json j = Zem::typedJson(*entity);
    auto back = Zem::entityFromJson(Zem::Json::parse(j.dump()), nullptr);
    ASSERT_TRUE(back) << what;
    EXPECT_EQ(back->typeInfo(), entity->typeInfo()) << what;
    EXPECT_EQ(Zem::typedJson(*back), j) << what;
  }
}

TEST(RecordsTest, StatesTravelByName) {
  auto bc = Velto::make<Vorn::BackplaneChannelStatus>("1");
  bc->bcMemberStatusIs(po1)->memberIntfStatusIs(et1)->stateIs(HigigNegotiationState::higigConfirmed);
  auto j = Zem::toJson(*bc);
  EXPECT_EQ(j["bcMemberStatus"]["Port-Channel1"]["memberIntfStatus"]["Ethernet1"]["state"], "higigConfirmed");
  for (int s = 0; s <= 6; ++s) {
    auto state = static_cast<HigigNegotiationState>(s);
    EXPECT_EQ(Vorn::higigNegotiationStateFromString(Vorn::stringValue(state)), Zem::Optional(state));
  }
  EXPECT_EQ(Vorn::stringValue(HigigNegotiationState::higigWaitAsicsWarm), "higigWaitAsicsWarm");
}

TEST(RecordsTest, OptionalMemberIdZeroIsNone) {
  auto ctx = Velto::make<VornFabricLldp::CtxForMember>("c")->ctxIs(po1, et1);
  for (auto [json, expect] : {std::pair{Zem::Json(2), Vorn::optionalMemberId(2)}, std::pair{Zem::Json(0), Vorn::optionalMemberId(0)},
                              std::pair{Zem::Json(), Vorn::optionalMemberId(0)}}) {
    Zem::assignFromJson(*ctx, Zem::Json{{"peerMemberId", json}});
    EXPECT_EQ(ctx->peerMemberId(), expect) << json;
  }
  EXPECT_TRUE(Zem::toJson(*ctx)["peerMemberId"].is_null());
}

TEST(RecordsTest, ValuesRefuseBadOrMissingFields) {
  using Zem::Json;
  const Json msap = Zem::JsonCodec<Vorn::Lldp::RemoteSystemMsap>::toJson({});
  const Json kernelIntf = Zem::JsonCodec<KernelNetInfo::Interface>::toJson({});
  auto without = [](Json j, const char* field) {
    j.erase(field);
    return j;
  };
  // The two shapes a Vorn TLV was written in before it had one codec.
  const Json tlv = Zem::JsonCodec<Lldp::VornTlv>::toJson({});
  const Json flagsTlv = without(without(tlv, "lodestoreConnected"), "singleLink");
  const Json booleansTlv = without(tlv, "flags");
  struct Case {
    std::function<void()> read;
    const char* expect;
  };
  const Case cases[] = {
      {[&] { Zem::JsonCodec<Vorn::Lldp::RemoteSystemMsap>::fromJson(without(msap, "portId")); }, "MSAP lacks portId"},
      {[&] { Zem::JsonCodec<Vorn::Lldp::RemoteSystemMsap>::fromJson(without(msap, "chassisIdSubtype")); },
       "MSAP lacks chassisIdSubtype"},
      {[&] { Zem::JsonCodec<Lldp::VornTlv>::fromJson(without(tlv, "role")); }, "Vorn TLV lacks role"},
      {[&] { Zem::JsonCodec<Lldp::VornTlv>::fromJson(without(booleansTlv, "singleLink")); }, "Vorn TLV lacks singleLink"},
      {[&] { Zem::JsonCodec<Lldp::VornTlv>::fromJson(without(flagsTlv, "flags")); }, "Vorn TLV lacks flags"},
      {[&] { Zem::JsonCodec<KernelNetInfo::Interface>::fromJson(without(kernelIntf, "hwAddr")); }, "kernel interface lacks hwAddr"},
      {[&] { Zem::JsonCodec<HigigNegotiationState>::fromJson(Json(7)); }, "negotiation state 7 out of range (0 to 6)"},
      {[&] { Zem::JsonCodec<HigigNegotiationState>::fromJson(Json(-1)); }, "negotiation state -1 out of range (0 to 6)"},
      {[&] { Zem::JsonCodec<Vorn::Role>::fromJson(Json(256)); }, "role 256 out of range (0 to 255)"},
      {[&] { Zem::JsonCodec<Vorn::Role>::fromJson(Json("role256")); }, "unknown role 'role256'"},
  };
  for (auto& c : cases) {
    try {
      c.read();
      ADD_FAILURE() << "accepted: " << c.expect;
    } catch (const Zem::JsonError& e) {
      EXPECT_STREQ(e.what(), c.expect);
    }
  }
  // Earlier backups named a role without a name "role<number>".
  EXPECT_EQ(Zem::JsonCodec<Vorn::Role>::fromJson(Json("role5")), Vorn::Role(5));
}

// Member context backups hold the flags byte alone, Vorn LLDP status backups
// and peers' copies the two booleans alone; both read back.
TEST(RecordsTest, VornTlvReadsEveryShapeWritten) {
  using Zem::Json;
  auto shape = [](uint8_t flags, std::vector<const char*> drop) {
    Json j = Zem::JsonCodec<Lldp::VornTlv>::toJson(Lldp::VornTlv{2, Vorn::Role::member, 1, 3, flags});
    for (const char* field : drop) j.erase(field);
    return j;
  };
  struct Case {
    const char* what;
    Json json;
    uint8_t flags;
  };
  const Case cases[] = {
      {"as written now", shape(0x83, {}), 0x83},
      {"flags byte alone, unnamed bits kept", shape(0x85, {"lodestoreConnected", "singleLink"}), 0x85},
      {"booleans alone, connected", shape(0x01, {"flags"}), 0x01},
      {"booleans alone, single link", shape(0x02, {"flags"}), 0x02},
      {"booleans alone, both", shape(0x03, {"flags"}), 0x03},
      {"flags byte wins over booleans that disagree", [&] {
         Json j = shape(0x02, {});
         j["lodestoreConnected"] = true;
         return j;
       }(), 0x02},
  };
  for (const auto& c : cases) {
    const auto t = Zem::JsonCodec<Lldp::VornTlv>::fromJson(c.json);
    EXPECT_EQ(t, (Lldp::VornTlv{2, Vorn::Role::member, 1, 3, c.flags})) << c.what;
  }
}

TEST(RecordsTest, IdentifiersRefuseMoreThan255Bytes) {
  EXPECT_NO_THROW(Lldp::PortId(std::string(255, 'x')));
  try {
    Lldp::ChassisId(std::string(256, 'x'));
    ADD_FAILURE() << "accepted 256 bytes";
  } catch (const std::range_error& e) {
    EXPECT_STREQ(e.what(), "Zem::Bytes::size > 255 not allowed");
  }
  EXPECT_THROW(Zem::JsonCodec<Lldp::PortId>::fromJson(Zem::Json(std::string(512, 'a'))), std::range_error);
}

TEST(RecordsTest, DerivedQueries) {
  auto status = Velto::make<Vorn::BackplaneChannelStatus>("1")->bcMemberStatusIs(po1);
  status->memberIntfStatusIs(et1)->stateIs(HigigNegotiationState::higigPending);
  EXPECT_FALSE(status->hasHigigConfirmedMember());
  status->memberIntfStatusIs(et2)->stateIs(HigigNegotiationState::higigConfirmed);
  EXPECT_TRUE(status->hasHigigConfirmedMember());

  auto ctx = Velto::make<VornFabricLldp::CtxForMember>("c")->ctxIs(po1, et1);
  EXPECT_FALSE(ctx->rxInfoIncomplete());  // no rxInfo at all
  auto rx = ctx->rxInfoIs(1);
  EXPECT_TRUE(ctx->rxInfoIncomplete());
  rx->tlvIs(tlv(2, 1, 0));
  EXPECT_TRUE(ctx->rxInfoIncomplete());
  rx->lastRefreshTimeIs(0.0);
  EXPECT_FALSE(ctx->rxInfoIncomplete());

  // Every member shares the first four bytes of member 1's address.
  auto m1 = Vorn::memberMacAddr(1), m9 = Vorn::memberMacAddr(9);
  EXPECT_TRUE(std::equal(m1.bytes().begin(), m1.bytes().begin() + 4, m9.bytes().begin()));
  EXPECT_NE(m1, m9);
  EXPECT_EQ(m1.bytes()[0] & 0x03, 0x02);  // locally administered, unicast
}

}  // namespace

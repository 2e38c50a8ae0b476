#include "VornFabricLldp/LldpVornTlvSm.h"

#include "tests/VornFabricLldp/RxTestSupport.h"
#include "tests/platform/toggles/ScopedToggleDir.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace {

using namespace RxTest;
using Lldp::VornTlv;
using namespace VornFabricLldp;

constexpr uint8_t connectedBit = VornTlv::lodestoreConnectedFlag;

struct TlvRig {
  void start(Vorn::Role r = Vorn::Role::member) {
    role = r;
    sm = lldpVornTlvSmFactory({smid, role, ctxForMember, localSystem, vflCtx, lagInfo});
  }

  // A member interface with its context (peer 0: none configured) and its
  // LLDP local port.
  void memberPort(const IntfId& bcIntf, const IntfId& intf, uint8_t peer) {
    ctxForMember->ctxIs(bcIntf, intf)->peerMemberIdIs(Vorn::optionalMemberId(peer));
    localSystem->localPortIs(intf);
  }

  // What the receive path writes for a TLV from member `peer`: the rxInfo,
  // then its TLV, then its refresh time.
  void receive(const IntfId& intf, int index, uint8_t peer, Velto::Duration at) {
    auto ctx = ctxForMember->ctx(intf);
    auto rx = ctx->rxInfo();
    if (!rx || rx->index() != index) rx = ctx->rxInfoIs(index);
    rx->tlvIs(RxTest::tlv(peer, smid.value()));
    rx->lastRefreshTimeIs(at);
  }

  Zem::Optional<VornTlv> tlv(const IntfId& intf) const { return localSystem->localPort(intf)->vornTlvTx(); }
  // "1 3 1": the flags sent on Et1, Et2 and Et3.
  std::string flags() const { return fmt::format("{} {} {}", tlv(et1)->flags, tlv(et2)->flags, tlv(et3)->flags); }
  VornTlv expected(uint8_t peer, uint8_t received, uint8_t flags) const {
    return RxTest::tlv(smid.value(), peer, received, flags, role);
  }

  Vorn::MemberId smid{1};
  Vorn::Role role = Vorn::Role::member;
  Velto::Ptr<CtxForMember> ctxForMember = Velto::make<CtxForMember>("ctxForMember");
  Velto::Ptr<Lldp::LocalSystem> localSystem = Velto::make<Lldp::LocalSystem>("localSystem");
  Velto::Ptr<VornFabricLldpCtx> vflCtx = Velto::make<VornFabricLldpCtx>();
  Velto::Ptr<VornFabricLldpBcLagGroupInfo> lagInfo = Velto::make<VornFabricLldpBcLagGroupInfo>();
  Velto::Ptr<LldpVornTlvSm> sm;
};

class LldpVornTlvSmTest : public ::testing::Test, public TlvRig {};

// Every port carries the member's identity and role, the peer its channel
// expects (0: none configured), the peer it hears and the connection flag.
TEST_F(LldpVornTlvSmTest, EveryPortCarriesIdentityPeersAndConnection) {
  smid = Vorn::MemberId(6);
  memberPort(po1, et1, 2);
  memberPort(po1, et2, 0);
  memberPort(po2, et3, 4);
  receive(et2, 1, 2, 5.0);
  start(Vorn::Role::candidate);
  for (const bool connected : {false, true, false}) {
    vflCtx->lodestoreConnectedIs(connected);
    const uint8_t flags = connected ? connectedBit : 0;
    EXPECT_EQ(std::tuple(tlv(et1), tlv(et2), tlv(et3)),
              std::tuple(expected(2, 0, flags), expected(0, 2, flags), expected(4, 0, flags)));
  }
}

// Et1's TLV echoes the peer it hears as soon as the receive information is
// complete, and follows its context.
TEST_F(LldpVornTlvSmTest, TlvFollowsTheReceiveInformationAndTheContext) {
  memberPort(po1, et1, 2);
  start();
  const auto ctx = ctxForMember->ctx(et1);
  auto moved = Velto::make<MemberCtx>(et1, po2);  // re-made for another channel with another peer
  moved->peerMemberIdIs(Vorn::MemberId(4));
  const std::vector<std::tuple<const char*, std::function<void()>, Zem::Optional<VornTlv>>> steps = {
      {"started", [] {}, expected(2, 0, 0)},
      {"TLV being filled in", [&] { ctx->rxInfoIs(7)->tlvIs(RxTest::tlv(2, 1)); }, expected(2, 0, 0)},
      {"complete", [&] { ctx->rxInfo()->lastRefreshTimeIs(10.0); }, expected(2, 2, 0)},
      {"another peer", [&] { receive(et1, 7, 5, 10.3); }, expected(2, 5, 0)},
      {"TLV gone", [&] { ctx->rxInfoDel(); }, expected(2, 0, 0)},
      {"another remote system", [&] { receive(et1, 8, 2, 11.0); }, expected(2, 2, 0)},
      {"peer configured", [&] { ctx->peerMemberIdIs(Vorn::MemberId(3)); }, expected(3, 2, 0)},
      {"context replaced", [&] { ctxForMember->ctxPut(et1, moved); }, expected(4, 0, 0)},
      {"context gone", [&] { ctxForMember->ctxDel(et1); }, Zem::none},
  };
  for (const auto& [what, act, sent] : steps) {
    act();
    EXPECT_EQ(tlv(et1), sent) << what;
  }
}

// The single-link bit: only the preferred member of a channel with a local
// LAG group mismatch sets it, and only while the toggle is on; it follows the
// preferred member and goes with the mismatch or with the channel's record.
TEST_F(LldpVornTlvSmTest, SingleLinkBitOnlyOnPreferredMemberOfMismatchedChannel) {
  const char* on = R"({"VornLagGroupMismatch": true})";
  // Toggle file, channel, preferred member, mismatch: the flags of Et1, Et2 and
  // Et3, then with Et1 preferred.
  const std::vector<std::tuple<const char*, IntfId, IntfId, bool, std::string, std::string>> cases{
      {on, po1, et2, true, "1 3 1", "3 1 1"},
      {nullptr, po1, et2, true, "1 3 1", "3 1 1"},
      {R"({"VornLagGroupMismatch": false})", po1, et2, true, "1 1 1", "1 1 1"},
      {on, po1, et2, false, "1 1 1", "1 1 1"},
      {on, po2, et1, true, "1 1 1", "1 1 1"},  // the preferred member of another channel
  };
  for (const auto& [file, bcIntf, preferred, mismatch, flags, et1Preferred] : cases) {
    SCOPED_TRACE(testing::Message() << (file ? file : "no toggle") << " " << bcIntf.stringValue() << " " << mismatch);
    TogglesTesting::ScopedToggleDir toggles(file);
    TlvRig t;
    t.memberPort(po1, et1, 2);
    t.memberPort(po1, et2, 2);
    t.memberPort(po2, et3, 4);
    t.vflCtx->lodestoreConnectedIs(true);
    auto info = t.lagInfo->bcLagGroupInfoIs(bcIntf);
    info->localMismatchExistsIs(mismatch);
    info->preferredHigigMemberIs(preferred);
    t.start();
    EXPECT_EQ(t.flags(), flags);
    info->preferredHigigMemberIs(et1);
    EXPECT_EQ(t.flags(), et1Preferred);
    t.lagInfo->bcLagGroupInfoDel(bcIntf);
    EXPECT_EQ(t.flags(), "1 1 1");
    info = t.lagInfo->bcLagGroupInfoIs(bcIntf);
    info->preferredHigigMemberIs(et1);
    info->localMismatchExistsIs(mismatch);
    EXPECT_EQ(t.flags(), et1Preferred);
    info->localMismatchExistsIs(false);
    EXPECT_EQ(t.flags(), "1 1 1");
  }
}

// A port without a context sends no TLV; a port created later gets its TLV
// at once, or once its receive information is complete.
TEST_F(LldpVornTlvSmTest, PortsWithoutContextsAndPortsCreatedLater) {
  localSystem->localPortIs(et5)->vornTlvTxIs(expected(9, 9, 0));  // left by an earlier instance
  ctxForMember->ctxIs(po1, et2)->peerMemberIdIs(Vorn::MemberId(2));
  receive(et2, 3, 2, 1.0);
  start();
  EXPECT_FALSE(tlv(et5));
  localSystem->localPortIs(et2);
  EXPECT_EQ(tlv(et2), expected(2, 2, 0));
  ctxForMember->ctxIs(po1, et3)->rxInfoIs(4);
  localSystem->localPortIs(et3);
  EXPECT_FALSE(tlv(et3));
  receive(et3, 4, 2, 2.0);
  EXPECT_EQ(tlv(et3), expected(0, 2, 0));
}

}  // namespace

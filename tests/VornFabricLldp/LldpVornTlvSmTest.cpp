#include "VornFabricLldp/LldpVornTlvSm.h"

#include "tests/VornFabricLldp/RxTestSupport.h"
#include "tests/platform/toggles/ScopedToggleDir.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

namespace {

using Kivo::IntfId;
using Lldp::VornTlv;
using VornFabricLldp::LldpVornTlvSm;

const IntfId bc1("Port-Channel1"), bc2("Port-Channel2");
const IntfId et1("Ethernet1/1"), et2("Ethernet2/1"), et3("Ethernet3/1"), et5("Ethernet5/1");
constexpr uint8_t connectedBit = VornTlv::lodestoreConnectedFlag;
constexpr uint8_t singleLinkBit = VornTlv::singleLinkFlag;

struct TlvRig {
  void start(Vorn::Role r = Vorn::Role::member) {
    role = r;
    sm = VornFabricLldp::lldpVornTlvSmFactory({smid, role, ctxForMember, localSystem, vflCtx, lagInfo});
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
  VornTlv expected(uint8_t peer, uint8_t received, uint8_t flags) const {
    return RxTest::tlv(smid.value(), peer, received, flags, role);
  }

  Vorn::MemberId smid{1};
  Vorn::Role role = Vorn::Role::member;
  Velto::Ptr<VornFabricLldp::CtxForMember> ctxForMember = Velto::make<VornFabricLldp::CtxForMember>("ctxForMember");
  Velto::Ptr<Lldp::LocalSystem> localSystem = Velto::make<Lldp::LocalSystem>("localSystem");
  Velto::Ptr<VornFabricLldp::VornFabricLldpCtx> vflCtx = Velto::make<VornFabricLldp::VornFabricLldpCtx>();
  Velto::Ptr<VornFabricLldp::VornFabricLldpBcLagGroupInfo> lagInfo =
      Velto::make<VornFabricLldp::VornFabricLldpBcLagGroupInfo>();
  Velto::Ptr<LldpVornTlvSm> sm;
};

class LldpVornTlvSmTest : public ::testing::Test, public TlvRig {};

TEST_F(LldpVornTlvSmTest, EveryPortCarriesIdentityExpectedPeerAndConnection) {
  smid = Vorn::MemberId(6);
  memberPort(bc1, et1, 2);
  memberPort(bc1, et2, 0);  // no peer configured
  memberPort(bc2, et3, 4);
  vflCtx->lodestoreConnectedIs(true);
  start(Vorn::Role::candidate);
  EXPECT_EQ(tlv(et1), expected(2, 0, connectedBit));
  EXPECT_EQ(tlv(et2), expected(0, 0, connectedBit));
  EXPECT_EQ(tlv(et3), expected(4, 0, connectedBit));
}

TEST_F(LldpVornTlvSmTest, FirstReceivedTlvIsEchoedAtOnce) {
  memberPort(bc1, et1, 2);
  start();
  ASSERT_EQ(tlv(et1), expected(2, 0, 0));

  // While the receive path is still filling the new rxInfo in, the port
  // keeps what it sends.
  auto rx = ctxForMember->ctx(et1)->rxInfoIs(7);
  rx->tlvIs(RxTest::tlv(2, smid.value()));
  EXPECT_EQ(tlv(et1), expected(2, 0, 0));
  rx->lastRefreshTimeIs(10.0);
  EXPECT_EQ(tlv(et1), expected(2, 2, 0));

  // Refreshes that bring the same TLV rewrite nothing.
  int writes = 0;
  auto reactor = localSystem->subscribe([&](const Zem::Change&) { ++writes; });
  receive(et1, 7, 2, 10.1);
  receive(et1, 7, 2, 10.2);
  EXPECT_EQ(writes, 0);

  // A different peer is echoed as it is; the TLV going clears the echo.
  receive(et1, 7, 5, 10.3);
  EXPECT_EQ(tlv(et1), expected(2, 5, 0));
  ctxForMember->ctx(et1)->rxInfoDel();
  EXPECT_EQ(tlv(et1), expected(2, 0, 0));

  // A replacement rxInfo (another remote system) is echoed once complete.
  receive(et1, 8, 2, 11.0);
  EXPECT_EQ(tlv(et1), expected(2, 2, 0));
}

TEST_F(LldpVornTlvSmTest, ConnectionChangeRewritesEveryPort) {
  memberPort(bc1, et1, 2);
  memberPort(bc1, et2, 2);
  memberPort(bc2, et3, 4);
  receive(et2, 1, 2, 5.0);
  start();
  for (const bool connected : {true, false}) {
    vflCtx->lodestoreConnectedIs(connected);
    const uint8_t flags = connected ? connectedBit : 0;
    EXPECT_EQ(tlv(et1), expected(2, 0, flags));
    EXPECT_EQ(tlv(et2), expected(2, 2, flags));
    EXPECT_EQ(tlv(et3), expected(4, 0, flags));
  }
}

TEST_F(LldpVornTlvSmTest, ContextChangesRewriteThePort) {
  memberPort(bc1, et1, 2);
  start();
  ctxForMember->ctx(et1)->peerMemberIdIs(Vorn::MemberId(3));
  EXPECT_EQ(tlv(et1), expected(3, 0, 0));
  ctxForMember->ctx(et1)->peerMemberIdIs(Zem::none);
  EXPECT_EQ(tlv(et1), expected(0, 0, 0));

  // A context re-made for another channel with another peer.
  auto moved = Velto::make<VornFabricLldp::MemberCtx>(et1, bc2);
  moved->peerMemberIdIs(Vorn::MemberId(4));
  ctxForMember->ctxPut(et1, moved);
  EXPECT_EQ(tlv(et1), expected(4, 0, 0));
}

// The single-link bit: only the preferred member of a channel with a local
// LAG group mismatch sets it, and only while the toggle is on.
TEST_F(LldpVornTlvSmTest, SingleLinkBitOnlyOnPreferredMemberOfMismatchedChannel) {
  struct Case {
    const char* name;
    const char* toggleFile;
    IntfId bcIntf;
    IntfId preferred;
    bool mismatch;
    std::set<IntfId> singleLink;
  };
  const char* on = R"({"VornLagGroupMismatch": true})";
  const char* off = R"({"VornLagGroupMismatch": false})";
  const std::vector<Case> cases{
      {"toggle on", on, bc1, et2, true, {et2}},
      {"toggle absent", nullptr, bc1, et2, true, {et2}},
      {"toggle off", off, bc1, et2, true, {}},
      {"no mismatch", on, bc1, et2, false, {}},
      {"preferred member of another channel", on, bc2, et1, true, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TogglesTesting::ScopedToggleDir toggles(c.toggleFile);
    TlvRig t;
    t.memberPort(bc1, et1, 2);
    t.memberPort(bc1, et2, 2);
    t.memberPort(bc2, et3, 4);
    t.vflCtx->lodestoreConnectedIs(true);
    t.start();
    auto info = t.lagInfo->bcLagGroupInfoIs(c.bcIntf);
    info->localMismatchExistsIs(c.mismatch);
    info->preferredHigigMemberIs(c.preferred);
    for (const auto& [intf, peer] : {std::pair{et1, 2}, std::pair{et2, 2}, std::pair{et3, 4}}) {
      const uint8_t single = c.singleLink.count(intf) ? singleLinkBit : 0;
      EXPECT_EQ(t.tlv(intf), t.expected(peer, 0, connectedBit | single)) << intf.stringValue();
    }
    // Clearing the mismatch clears the bit everywhere.
    info->localMismatchExistsIs(false);
    info->preferredHigigMemberIs(IntfId());
    for (const auto& intf : {et1, et2, et3}) EXPECT_EQ(t.tlv(intf)->flags, connectedBit) << intf.stringValue();
  }
}

TEST_F(LldpVornTlvSmTest, SingleLinkBitFollowsThePreferredMember) {
  TogglesTesting::ScopedToggleDir toggles(R"({"VornLagGroupMismatch": true})");
  memberPort(bc1, et1, 2);
  memberPort(bc1, et2, 2);
  auto info = lagInfo->bcLagGroupInfoIs(bc1);
  info->localMismatchExistsIs(true);
  info->preferredHigigMemberIs(et2);
  start();
  EXPECT_EQ(tlv(et1)->flags, 0);
  EXPECT_EQ(tlv(et2)->flags, singleLinkBit);
  info->preferredHigigMemberIs(et1);
  EXPECT_EQ(tlv(et1)->flags, singleLinkBit);
  EXPECT_EQ(tlv(et2)->flags, 0);

  // The channel's record going with its mismatch takes the bit with it.
  lagInfo->bcLagGroupInfoDel(bc1);
  EXPECT_EQ(tlv(et1)->flags, 0);
}

TEST_F(LldpVornTlvSmTest, PortWithoutContextSendsNoTlv) {
  memberPort(bc1, et1, 2);
  localSystem->localPortIs(et5)->vornTlvTxIs(expected(9, 9, 0));  // left by an earlier instance
  start();
  EXPECT_FALSE(tlv(et5));
  EXPECT_EQ(tlv(et1), expected(2, 0, 0));

  ctxForMember->ctxDel(et1);
  EXPECT_FALSE(tlv(et1));
}

TEST_F(LldpVornTlvSmTest, PortCreatedLaterGetsItsTlv) {
  ctxForMember->ctxIs(bc1, et1)->peerMemberIdIs(Vorn::MemberId(2));
  ctxForMember->ctxIs(bc1, et2)->peerMemberIdIs(Vorn::MemberId(2));
  receive(et2, 3, 2, 1.0);
  start();
  EXPECT_TRUE(localSystem->localPort().empty());

  localSystem->localPortIs(et1);
  EXPECT_EQ(tlv(et1), expected(2, 0, 0));
  localSystem->localPortIs(et2);
  EXPECT_EQ(tlv(et2), expected(2, 2, 0));

  // A port that arrives while its rxInfo is incomplete waits for it.
  ctxForMember->ctxIs(bc1, et3)->rxInfoIs(4);
  localSystem->localPortIs(et3);
  EXPECT_FALSE(tlv(et3));
  receive(et3, 4, 2, 2.0);
  EXPECT_EQ(tlv(et3), expected(0, 2, 0));
}

}  // namespace

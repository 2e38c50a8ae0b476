#include "VornFabricLldp/LldpCtxMapperSm.h"
#include "tests/VornFabricLldp/RxTestSupport.h"

#include <fmt/ranges.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

namespace {

using namespace RxTest;
using VornFabricLldp::CtxForMember;
using PeerId = Zem::Optional<Vorn::MemberId>;
using Tlv = Zem::Optional<Lldp::VornTlv>;

class LldpCtxMapperSmTest : public testing::Test {
 protected:
  const Lldp::VornTlv restored = tlv(2, 1, 1);  // what the backup holds
  void start(bool restoreFromLocalBackup = false) {
    sm = VornFabricLldp::lldpCtxMapperSmFactory({1, scheduler, memberConfig, selection, restoreFromLocalBackup, ctx});
  }

  // A channel arriving whole, as the configuration service writes one.
  void configure(const IntfId& bcIntf, const std::vector<IntfId>& members, PeerId peer = Vorn::MemberId(2)) {
    auto bc = Velto::make<Vorn::BackplaneChannelConfig>(bcIntf);
    for (const auto& m : members) bc->memberIntfIs(m);
    bc->peerMemberIdIs(peer);
    memberConfig->bcConfigPut(bcIntf, bc);
  }
  // "Po1[Et1 Et2] Et1:Po1/2 Et2:Po1/OptionalNone": each channel's member set,
  // then each context's channel and expected peer.
  std::string mapping() const {
    std::vector<std::string> out;
    for (const auto& bc : sorted(ctx->intfMap().keys())) {
      out.push_back(fmt::format("{}[{}]", bc, fmt::join(sorted(ctx->intfMap(bc)->member().keys()), " ")));
    }
    for (const auto& m : sorted(ctx->ctx().keys())) {
      out.push_back(fmt::format("{}:{}/{}", m, ctx->ctx(m)->bcIntf(), ctx->ctx(m)->peerMemberId()));
    }
    return fmt::format("{}", fmt::join(out, " "));
  }
  Velto::Ptr<VornFabricLldp::RxInfo> rxInfo(const IntfId& m) const {
    return ctx->ctx(m) ? ctx->ctx(m)->rxInfo() : nullptr;
  }
  Velto::Ptr<Vorn::BackplaneChannelConfig> bc(const IntfId& bcIntf) const { return memberConfig->bcConfig(bcIntf); }

  Velto::Ptr<Oru::VirtualScheduler> scheduler = Velto::make<Oru::VirtualScheduler>(0.0);
  Velto::Ptr<Vorn::MemberConfig> memberConfig = Velto::make<Vorn::MemberConfig>("1");
  Velto::Ptr<VornFabricLldp::LldpSelectedRsForMember> selection = VornFabricLldp::lldpSelectedRsForMemberFactory();
  Velto::Ptr<CtxForMember> ctx = Velto::make<CtxForMember>("ctxForMember");
  Velto::Ptr<VornFabricLldp::LldpCtxMapperSm> sm;
};

TEST_F(LldpCtxMapperSmTest, ContextsFollowTheChannelsAndTheirPeer) {
  start();
  const std::vector<std::pair<std::function<void()>, std::string>> steps = {
      {[&] { configure(po1, {et2, et1}); }, "Po1[Et1 Et2] Et1:Po1/2 Et2:Po1/2"},
      {[&] { configure(po1, {et2, et1}, Vorn::MemberId(0)); },
       "Po1[Et1 Et2] Et1:Po1/OptionalNone Et2:Po1/OptionalNone"},
      {[&] { configure(po1, {et1, et2}); }, "Po1[Et1 Et2] Et1:Po1/2 Et2:Po1/2"},
      {[&] { bc(po1)->memberIntfDel(et2); }, "Po1[Et1] Et1:Po1/2"},
      {[&] { bc(po1)->memberIntfIs(et3); }, "Po1[Et1 Et3] Et1:Po1/2 Et3:Po1/2"},
      // Replaced whole: members only the old entry had go, the others stay.
      {[&] { configure(po1, {et3, et2}, Vorn::MemberId(4)); }, "Po1[Et2 Et3] Et2:Po1/4 Et3:Po1/4"},
      {[&] { bc(po1)->peerMemberIdIs(Zem::none); }, "Po1[Et2 Et3] Et2:Po1/OptionalNone Et3:Po1/OptionalNone"},
      // A member without a context is skipped, not recreated.
      {[&] { ctx->ctxDel(et2); bc(po1)->peerMemberIdIs(Vorn::MemberId(5)); }, "Po1[Et2 Et3] Et3:Po1/5"},
      // A member moving to another channel: when the new channel is handled
      // first, the old channel's set is left to its own removal, which takes
      // the context with it though it belongs to the new one.
      {[&] { configure(po2, {et1}, Vorn::MemberId(3)); }, "Po1[Et2 Et3] Po2[Et1] Et1:Po2/3 Et3:Po1/5"},
      {[&] { bc(po2)->memberIntfIs(et3); }, "Po1[Et2 Et3] Po2[Et1 Et3] Et1:Po2/3 Et3:Po2/3"},
      {[&] { bc(po1)->memberIntfDel(et3); }, "Po1[Et2] Po2[Et1 Et3] Et1:Po2/3"},
      {[&] { bc(po2)->memberIntfDel(et1); bc(po1)->memberIntfIs(et1); }, "Po1[Et1 Et2] Po2[Et3] Et1:Po1/5"},
      {[&] { memberConfig->bcConfigDel(po1); }, "Po2[Et3]"},
  };
  for (const auto& [act, expected] : steps) {
    act();
    EXPECT_EQ(mapping(), expected);
  }
}

TEST_F(LldpCtxMapperSmTest, ReceiveInformationFollowsTheSelectionAndKeepsThePreviousTlv) {
  configure(po1, {et1});
  start();
  const auto a = tlv(2, 1, 0), b = tlv(2, 1, 1), c = tlv(3, 1, 1);
  auto rs1 = peerRs(1, 1.0, a);
  auto rs2 = peerRs(2, 3.0, c, 3);
  // What happens, then the rxInfo's index (-1: none), TLV and refresh time, and the context's previous TLV.
  struct Step { const char* name; std::function<void()> act; int index; Tlv tlv; Velto::Duration refresh; Tlv prev; };
  const std::vector<Step> steps = {
      {"selected", [&] { selection->remoteSystemIs(et1, rs1); }, 1, a, 1.0, Zem::none},
      {"refreshed", [&] { rs1->lastRefreshTimeIs(2.0); }, 1, a, 2.0, Zem::none},
      {"new TLV", [&] { rs1->vornTlvIs(b); }, 1, b, 2.0, a},
      {"another remote system selected", [&] { selection->remoteSystemIs(et1, rs2); }, 2, c, 3.0, Zem::none},
      {"TLV lost", [&] { rs2->vornTlvIs(Zem::none); }, -1, Zem::none, 0, c},
      {"TLV back", [&] { rs2->vornTlvIs(c); }, 2, c, 3.0, Zem::none},
      {"selection removed", [&] { selection->remoteSystemDel(et1); }, -1, Zem::none, 0, c},
      // A selection on an interface without a context changes nothing.
      {"selected elsewhere", [&] { selection->remoteSystemIs(et9, peerRs(1, 1.0, tlv(2))); }, -1, Zem::none, 0, c},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(step.name);
    step.act();
    auto rx = rxInfo(et1);
    ASSERT_EQ(rx ? rx->index() : -1, step.index);
    if (rx) {
      EXPECT_EQ(std::pair(rx->tlv(), rx->lastRefreshTime()), std::pair(step.tlv, Zem::Optional<double>(step.refresh)));
    }
    EXPECT_EQ(ctx->ctx(et1)->prevTlv(), step.prev);
    EXPECT_FALSE(ctx->ctx(et9));
  }
}

// Context restored from the backup: Et1 and Et2 were receiving, Et2's peer
// is selected again; Et9 is no longer a member of its channel, Et3 was in a
// channel since gone and is now in Po1. Without a restore stale receive
// information goes at once; after one it is held for three seconds.
TEST_F(LldpCtxMapperSmTest, StartUpCleansTheBackupAndHoldsStaleReceiveInformationAfterARestore) {
  for (const bool restore : {false, true}) {
    SCOPED_TRACE(restore ? "restored from the local backup" : "not restored");
    ctx = Velto::make<CtxForMember>("ctxForMember");
    configure(po1, {et1, et2, et3});
    for (const auto& [m, index] : {std::pair{et1, 4}, std::pair{et2, 5}}) {
      auto rx = ctx->ctxIs(po1, m)->rxInfoIs(index);
      rx->tlvIs(restored);
      rx->lastRefreshTimeIs(100.0);
    }
    ctx->ctxIs(po1, et9);
    ctx->ctxIs(po7, et3);
    ctx->intfMapIs(po7)->memberIs(et3);
    ctx->intfMapIs(po1)->memberIs(et9);
    selection->remoteSystemIs(et2, peerRs(6, 0.5, tlv(3, 1, 1), 3));
    start(restore);
    EXPECT_EQ(mapping(), "Po1[Et1 Et2 Et3] Et1:Po1/2 Et2:Po1/2 Et3:Po1/2");
    ASSERT_TRUE(rxInfo(et2));  // brought up to date either way
    EXPECT_EQ(std::pair(rxInfo(et2)->index(), rxInfo(et2)->tlv()), std::pair(6, Tlv(tlv(3, 1, 1))));
    EXPECT_EQ(rxInfo(et1) != nullptr, restore);
    EXPECT_EQ(ctx->ctx(et1)->prevTlv(), restore ? Tlv() : Tlv(restored));
  }
  // The hold ends 3 s after the start; a selection that goes meanwhile is held as well.
  EXPECT_EQ(sm->clearStaleEntriesTask()->dueTime(), 3.0);
  selection->remoteSystemDel(et2);
  scheduler->runUntil(2.5);
  EXPECT_TRUE(rxInfo(et1) && rxInfo(et2));
  scheduler->runUntil(3.0);
  EXPECT_FALSE(rxInfo(et1) || rxInfo(et2));
  EXPECT_EQ(std::pair(ctx->ctx(et1)->prevTlv(), ctx->ctx(et2)->prevTlv()), std::pair(Tlv(restored), Tlv(tlv(3, 1, 1))));
  EXPECT_EQ(scheduler->scheduledTaskCount(), 0u);
}

}  // namespace

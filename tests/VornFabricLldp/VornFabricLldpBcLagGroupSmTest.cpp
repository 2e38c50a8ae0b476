#include "VornFabricLldp/VornFabricLldpBcLagGroupSm.h"
#include "tests/VornFabricLldp/RxTestSupport.h"
#include "platform/trace/Ringlog.h"
#include "tests/platform/toggles/ScopedToggleDir.h"

#include <fmt/ranges.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

namespace {

using namespace RxTest;
using enum Vorn::HigigNegotiationState;
using namespace VornFabricLldp;
using NamedSteps = std::vector<std::pair<std::function<void()>, std::string>>;
using Group = std::pair<IntfId, const char*>;

constexpr uint8_t singleLink = Lldp::VornTlv::singleLinkFlag;

class BcLagGroupSmTest : public ::testing::Test {
 protected:
  void TearDown() override { sm = nullptr; }

  void start() {
    sm = vornFabricLldpBcLagGroupSmFactory({1, Vorn::Role::member, config, ctx, bcStatus, lagDir, lagInfo});
  }

  void groupIs(const IntfId& member, const std::string& name) {
    config->bcConfigIs(po1)->memberIntfIs(member)->lagGroupNameIs(name);
  }
  // The LAG of Po1 is up with the links of `members`.
  void lagUp(std::initializer_list<IntfId> members) {
    lagDir->intfStatusIs(po1)->linkStatusIs(Interface::LinkStatus::up);
    for (const auto& m : members) linkIs(m, true);
  }
  void linkIs(const IntfId& member, bool up) {
    const auto link = up ? Interface::LinkStatus::up : Interface::LinkStatus::down;
    lagDir->intfStatusIs(po1)->memberIs(member)->linkStatusIs(link);
  }
  void stateIs(const IntfId& member, Vorn::HigigNegotiationState state) {
    bcStatus->bcMemberStatusIs(po1)->memberIntfStatusIs(member)->stateIs(state);
  }
  // The peer's TLV heard on `member` of Po1.
  void tlvIs(const IntfId& member, uint8_t flags) {
    auto rx = ctx->ctxIs(po1, member)->rxInfo();
    if (!rx) rx = ctx->ctx(member)->rxInfoIs(1);
    rx->tlvIs(RxTest::tlv(2, 0, 0, flags));
  }
  // "A[Et1 Et2] B[Et3] Et1:A Et2:A Et3:B local=Et3 remote=Et1 Et1>Po1": Po1's
  // groups and the group of each member, its local mismatch with the
  // preferred member, its remote mismatch with the peer's, then where each
  // remote mismatch was learnt.
  std::string lag() const {
    std::vector<std::string> out;
    if (auto info = lagInfo->bcLagGroupInfo(po1)) {
      for (const auto& name : sorted(info->lagGroupToBcMemberMap().keys())) {
        out.push_back(fmt::format("{}[{}]", name, fmt::join(info->lagGroupToBcMemberMap(name)->memberIntf(), " ")));
      }
      for (const auto& m : sorted(info->bcMemberToLagGroupMap().keys())) {
        out.push_back(fmt::format("{}:{}", m, info->bcMemberToLagGroupMap(m)));
      }
      if (info->localMismatchExists() || !info->preferredHigigMember().empty()) {
        out.push_back(fmt::format("local={}{}", info->preferredHigigMember(), info->localMismatchExists() ? "" : "?"));
      }
      if (info->remoteMismatchExists() || !info->remotePreferredHigigMember().empty()) {
        out.push_back(fmt::format("remote={}", info->remotePreferredHigigMember()));
      }
    } else {
      out.push_back("none");
    }
    for (const auto& m : sorted(lagInfo->memberToBpcIntfMap().keys())) {
      out.push_back(fmt::format("{}>{}", m, lagInfo->memberToBpcIntfMap(m)->remoteBaIntf));
    }
    return fmt::format("{}", fmt::join(out, " "));
  }
  void run(const NamedSteps& steps) {
    for (const auto& [act, expected] : steps) {
      act();
      EXPECT_EQ(lag(), expected);
    }
  }

  TogglesTesting::ScopedToggleDir toggles;
  Velto::Ptr<Vorn::MemberConfig> config = Velto::make<Vorn::MemberConfig>("memberConfig");
  Velto::Ptr<CtxForMember> ctx = Velto::make<CtxForMember>("ctxForMember");
  Velto::Ptr<Vorn::BackplaneChannelStatus> bcStatus = Velto::make<Vorn::BackplaneChannelStatus>("bcStatus");
  Velto::Ptr<Interface::EthLagIntfStatusDir> lagDir = Velto::make<Interface::EthLagIntfStatusDir>("ethLag");
  Velto::Ptr<VornFabricLldpBcLagGroupInfo> lagInfo = vornFabricLldpBcLagGroupInfoFactory();
  Velto::Ptr<VornFabricLldpBcLagGroupSm> sm;
};

// Unnamed members belong to no group; a renamed member leaves its old group;
// the last member leaving takes its group along; more than one group is a
// mismatch, and dropping to one clears it with the choice.
TEST_F(BcLagGroupSmTest, GroupsAndTheLocalMismatch) {
  start();
  // No choice is ever published without a mismatch.
  auto watcher = lagInfo->subscribe([&](const Zem::Change&) {
    if (auto info = lagInfo->bcLagGroupInfo(po1); info && !info->localMismatchExists()) {
      EXPECT_EQ(info->preferredHigigMember(), IntfId()) << "published: " << lag();
    }
  });
  run({{[&] { groupIs(et2, ""); }, "none"},
       {[&] { groupIs(et1, "A"); }, "A[Et1] Et1:A"},  // walks Et2 as well
       {[&] { groupIs(et2, "A"); }, "A[Et1 Et2] Et1:A Et2:A"},
       {[&] { lagUp({et1, et2, et3}); stateIs(et3, higigConfirmed); groupIs(et3, "B"); },
        "A[Et1 Et2] B[Et3] Et1:A Et2:A Et3:B local=Et3"},  // the only member with a status
       {[&] { config->bcConfig(po1)->memberIntfDel(et3); }, "A[Et1 Et2] Et1:A Et2:A"},
       {[&] { groupIs(et2, "B"); }, "A[Et1] B[Et2] Et1:A Et2:B local="},
       {[&] { groupIs(et3, "C"); }, "A[Et1] B[Et2] C[Et3] Et1:A Et2:B Et3:C local=Et3"},
       {[&] { config->bcConfig(po1)->memberIntfDel(et3); }, "A[Et1] B[Et2] Et1:A Et2:B local=Et3"},  // still split
       {[&] { groupIs(et2, "A"); }, "A[Et1 Et2] Et1:A Et2:A"},
       {[&] { groupIs(et2, ""); }, "A[Et1] Et1:A"},
       {[&] { groupIs(et1, ""); }, ""}});
}

// Po1 has a mismatch (Et1 and Et2 in A, Et3 in B); each case breaks one
// condition of the selection, which must then leave the choice empty.
TEST_F(BcLagGroupSmTest, SelectionRunsOnlyOnAnUpLagWithAConfirmedMember) {
  const std::vector<std::pair<const char*, std::function<void()>>> cases = {
      {"all met", [] {}},
      {"LAG down", [this] { lagDir->intfStatus(po1)->linkStatusIs(Interface::LinkStatus::down); }},
      {"no member status", [this] { bcStatus->bcMemberStatusDel(po1); }},
      {"nothing confirmed", [this] { stateIs(et2, higigPending); }},
  };
  for (const auto& [name, breakIt] : cases) {
    SCOPED_TRACE(name);
    sm = nullptr;
    bcStatus = Velto::make<Vorn::BackplaneChannelStatus>("bcStatus");
    lagDir = Velto::make<Interface::EthLagIntfStatusDir>("ethLag");
    lagInfo = vornFabricLldpBcLagGroupInfoFactory();
    for (const auto& [m, group] : {Group{et1, "A"}, Group{et2, "A"}, Group{et3, "B"}}) groupIs(m, group);
    lagUp({et1, et2, et3});
    stateIs(et1, ethLinkUp);
    stateIs(et2, higigConfirmed);
    breakIt();
    start();
    // The walk does not look at the negotiation state: Et1 comes first.
    const std::string chosen = name == std::string("all met") ? "Et1" : "";
    EXPECT_EQ(lag(), "A[Et1 Et2] B[Et3] Et1:A Et2:A Et3:B local=" + chosen);
  }
}

TEST_F(BcLagGroupSmTest, ConfirmedChoiceIsKeptAndOthersAreNeverChosen) {
  for (const auto& [m, group] : {Group{et1, "A"}, Group{et2, "B"}, Group{et4, "A"}, Group{et5, "A"}}) groupIs(m, group);
  // Et1 is confirmed but its link is down, Et2 has no member status, Et3 is not configured.
  linkIs(et1, false);
  lagUp({et2, et3, et4, et5});
  for (const auto& m : {et1, et3, et4, et5}) stateIs(m, higigConfirmed);
  start();
  const std::string groups = "A[Et1 Et4 Et5] B[Et2] Et1:A Et2:B Et4:A Et5:A ";
  run({{[] {}, groups + "local=Et4"},
       // Et1 becomes eligible and would come first, but Et4 is still confirmed.
       {[&] { stateIs(et1, higigConfirmed); linkIs(et1, true); }, groups + "local=Et4"},
       // A rename that leaves the channel split is no new mismatch: the choice stays.
       {[&] { groupIs(et2, "C"); }, "A[Et1 Et4 Et5] C[Et2] Et1:A Et2:C Et4:A Et5:A local=Et4"},
       {[&] { groupIs(et2, "B"); }, groups + "local=Et4"},
       // Once Et4 is no longer confirmed the walk starts over.
       {[&] { stateIs(et4, higigPending); }, groups + "local=Et1"},
       // With no eligible member at all, the last choice stays.
       {[&] { for (const auto& m : {et1, et4, et5}) linkIs(m, false);
              stateIs(et1, ethLinkUp); },
        groups + "local=Et1"}});
}

// The peer's single-link bit is recorded with the member it arrived on;
// only that member losing the bit, its receive information or its context
// clears it; the channel going takes its whole record.
TEST_F(BcLagGroupSmTest, RemoteMismatchFollowsThePeersSingleLinkBit) {
  groupIs(et1, "A");
  groupIs(et2, "B");
  start();
  const std::string groups = "A[Et1] B[Et2] Et1:A Et2:B local= ";
  run({{[&] { tlvIs(et1, singleLink | Lldp::VornTlv::lodestoreConnectedFlag); }, groups + "remote=Et1 Et1>Po1"},
       {[&] { tlvIs(et2, Lldp::VornTlv::lodestoreConnectedFlag); }, groups + "remote=Et1 Et1>Po1"},
       {[&] { tlvIs(et1, 0); }, groups.substr(0, groups.size() - 1)},
       {[&] { tlvIs(et1, singleLink); tlvIs(et2, singleLink); }, groups + "remote=Et2 Et1>Po1 Et2>Po1"},
       {[&] { ctx->ctx(et1)->rxInfoDel(); }, groups + "remote=Et2 Et1>Po1 Et2>Po1"},
       {[&] { ctx->ctxDel(et2); }, groups + "Et1>Po1"},
       {[&] { tlvIs(et1, singleLink); }, groups + "remote=Et1 Et1>Po1"},
       {[&] { config->bcConfigDel(po1); }, "none Et1>Po1"}});
}

}  // namespace

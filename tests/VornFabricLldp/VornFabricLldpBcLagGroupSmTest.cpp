#include "VornFabricLldp/VornFabricLldpBcLagGroupSm.h"
#include "tests/VornFabricLldp/RxTestSupport.h"
#include "platform/trace/Ringlog.h"
#include "tests/platform/toggles/ScopedToggleDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

namespace {

using Kivo::IntfId;
using Vorn::HigigNegotiationState;
using namespace VornFabricLldp;

const IntfId po1("Port-Channel1");
const IntfId po9("Port-Channel9");
const IntfId et1("Ethernet1");
const IntfId et2("Ethernet2");
const IntfId et3("Ethernet3");
const IntfId et4("Ethernet4");
const IntfId et5("Ethernet5");

class BcLagGroupSmTest : public ::testing::Test {
 protected:
  void TearDown() override { sm = nullptr; }

  void toggleIs(bool on) const {
    toggles_.coreIs(std::string(R"({"VornLagGroupMismatch": )") + (on ? "true" : "false") + "}");
  }
  void start() { startWith(config, ctx, bcStatus, lagDir, lagInfo); }
  void startWith(const Velto::Ptr<Vorn::MemberConfig>& c, const Velto::Ptr<CtxForMember>& x,
                 const Velto::Ptr<Vorn::BackplaneChannelStatus>& s, const Velto::Ptr<Interface::EthLagIntfStatusDir>& l,
                 const Velto::Ptr<VornFabricLldpBcLagGroupInfo>& i) {
    sm = vornFabricLldpBcLagGroupSmFactory({1, Vorn::Role::member, c, x, s, l, i});
  }

  void groupIs(const IntfId& bc, const IntfId& member, const std::string& name) {
    config->bcConfigIs(bc)->memberIntfIs(member)->lagGroupNameIs(name);
  }
  // The LAG of `bc` is up; each member's link is up unless listed in `down`.
  void lagUp(const IntfId& bc, const std::vector<IntfId>& members, const std::vector<IntfId>& down = {}) {
    auto lag = lagDir->intfStatusIs(bc);
    lag->linkStatusIs(Interface::LinkStatus::up);
    for (const auto& m : members) {
      const bool isDown = std::find(down.begin(), down.end(), m) != down.end();
      lag->memberIs(m)->linkStatusIs(isDown ? Interface::LinkStatus::down : Interface::LinkStatus::up);
    }
  }
  void stateIs(const IntfId& bc, const IntfId& member, HigigNegotiationState state) {
    bcStatus->bcMemberStatusIs(bc)->memberIntfStatusIs(member)->stateIs(state);
  }
  void tlvIs(const IntfId& bc, const IntfId& member, uint8_t flags) {
    auto rx = ctx->ctxIs(bc, member)->rxInfo();
    if (!rx) rx = ctx->ctx(member)->rxInfoIs(1);
    rx->tlvIs(RxTest::tlv(2, 0, 0, flags));
  }
  Velto::Ptr<BcLagGroupInfo> po1Info() const { return lagInfo->bcLagGroupInfo(po1); }
  IntfId preferred() const { return po1Info() ? po1Info()->preferredHigigMember() : IntfId(); }

  TogglesTesting::ScopedToggleDir toggles_;
  Ringlog::Capture cap;
  Velto::Ptr<Vorn::MemberConfig> config = Velto::make<Vorn::MemberConfig>("memberConfig");
  Velto::Ptr<CtxForMember> ctx = Velto::make<CtxForMember>("ctxForMember");
  Velto::Ptr<Vorn::BackplaneChannelStatus> bcStatus = Velto::make<Vorn::BackplaneChannelStatus>("bcStatus");
  Velto::Ptr<Interface::EthLagIntfStatusDir> lagDir = Velto::make<Interface::EthLagIntfStatusDir>("ethLag");
  Velto::Ptr<VornFabricLldpBcLagGroupInfo> lagInfo = vornFabricLldpBcLagGroupInfoFactory();
  Velto::Ptr<VornFabricLldpBcLagGroupSm> sm;
};

TEST_F(BcLagGroupSmTest, MismatchIsEnteredAndLeftWithTheGroups) {
  start();
  groupIs(po1, et1, "A");
  groupIs(po1, et2, "A");
  ASSERT_NE(po1Info(), nullptr);
  EXPECT_FALSE(po1Info()->localMismatchExists());
  EXPECT_EQ(po1Info()->lagGroupToBcMemberMap().size(), 1u);

  lagUp(po1, {et1, et2, et3});
  stateIs(po1, et3, HigigNegotiationState::higigConfirmed);
  groupIs(po1, et3, "B");
  EXPECT_TRUE(po1Info()->localMismatchExists());
  EXPECT_EQ(preferred(), et3);  // the only member with a status

  // Dropping to one group clears the mismatch and the choice in one step.
  std::vector<std::pair<bool, IntfId>> published;
  auto watcher = po1Info()->subscribe([&](const Zem::Change&) {
    published.emplace_back(po1Info()->localMismatchExists(), po1Info()->preferredHigigMember());
  });
  config->bcConfig(po1)->memberIntfDel(et3);
  EXPECT_FALSE(po1Info()->localMismatchExists());
  EXPECT_EQ(preferred(), IntfId());
  EXPECT_EQ(po1Info()->lagGroupToBcMemberMap("B"), nullptr);
  ASSERT_FALSE(published.empty());
  for (const auto& [mismatch, member] : published) {
    if (!mismatch) {
      EXPECT_EQ(member, IntfId()) << "a choice was published without a mismatch";
    }
  }
}

TEST_F(BcLagGroupSmTest, UnnamedMembersBelongToNoGroup) {
  start();
  groupIs(po1, et2, "");
  groupIs(po1, et1, "A");  // walks Et2 as well
  EXPECT_FALSE(po1Info()->bcMemberToLagGroupMapHas(et2));
  EXPECT_EQ(po1Info()->lagGroupToBcMemberMap("A")->memberIntf(), (std::set<IntfId>{et1}));

  groupIs(po1, et1, "");  // the last member leaves: the group goes
  EXPECT_TRUE(po1Info()->lagGroupToBcMemberMap().empty());
  EXPECT_TRUE(po1Info()->bcMemberToLagGroupMap().empty());
}

TEST_F(BcLagGroupSmTest, RenamedMemberLeavesItsOldGroup) {
  start();
  groupIs(po1, et1, "A");
  groupIs(po1, et2, "B");
  ASSERT_TRUE(po1Info()->localMismatchExists());
  groupIs(po1, et2, "A");
  EXPECT_EQ(po1Info()->lagGroupToBcMemberMap().size(), 1u);
  EXPECT_EQ(po1Info()->lagGroupToBcMemberMap("A")->memberIntf(), (std::set<IntfId>{et1, et2}));
  EXPECT_FALSE(po1Info()->localMismatchExists());
}

// A rename that leaves the channel split is no new mismatch: the preferred
// member, still confirmed, keeps its role (and the single-link bit stays on
// its port).
TEST_F(BcLagGroupSmTest, RenameThatLeavesTheChannelSplitKeepsTheConfirmedChoice) {
  groupIs(po1, et1, "A");
  groupIs(po1, et2, "B");
  lagUp(po1, {et1, et2}, {et1});
  stateIs(po1, et1, HigigNegotiationState::higigConfirmed);
  stateIs(po1, et2, HigigNegotiationState::higigConfirmed);
  start();
  ASSERT_EQ(preferred(), et2);
  // Et1 comes up: it would come first in a new walk.
  lagDir->intfStatus(po1)->member(et1)->linkStatusIs(Interface::LinkStatus::up);
  ASSERT_EQ(preferred(), et2);

  groupIs(po1, et2, "C");
  EXPECT_TRUE(po1Info()->localMismatchExists());
  EXPECT_EQ(po1Info()->lagGroupToBcMemberMap().size(), 2u);
  EXPECT_FALSE(po1Info()->lagGroupToBcMemberMap("B"));
  EXPECT_EQ(preferred(), et2);
}

// Po1 has a mismatch (Et1 and Et2 in A, Et3 in B); each case breaks one
// condition of the selection, which must then leave the choice empty.
TEST_F(BcLagGroupSmTest, SelectionRunsOnlyOnAnUpLagWithAConfirmedMember) {
  struct Case {
    const char* name;
    std::function<void()> breakIt;
  };
  const Case cases[] = {
      {"all met", [] {}},
      {"no LAG status", [this] { lagDir->intfStatusDel(po1); }},
      {"LAG down", [this] { lagDir->intfStatus(po1)->linkStatusIs(Interface::LinkStatus::down); }},
      {"no member status", [this] { bcStatus->bcMemberStatusDel(po1); }},
      {"nothing confirmed", [this] { stateIs(po1, et2, HigigNegotiationState::higigPending); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    sm = nullptr;
    config = Velto::make<Vorn::MemberConfig>("memberConfig");
    bcStatus = Velto::make<Vorn::BackplaneChannelStatus>("bcStatus");
    lagDir = Velto::make<Interface::EthLagIntfStatusDir>("ethLag");
    lagInfo = vornFabricLldpBcLagGroupInfoFactory();
    groupIs(po1, et1, "A");
    groupIs(po1, et2, "A");
    groupIs(po1, et3, "B");
    lagUp(po1, {et1, et2, et3});
    stateIs(po1, et1, HigigNegotiationState::ethLinkUp);
    stateIs(po1, et2, HigigNegotiationState::higigConfirmed);
    c.breakIt();
    start();
    EXPECT_TRUE(po1Info()->localMismatchExists());
    // The walk does not look at the negotiation state: Et1 comes first.
    EXPECT_EQ(preferred(), c.name == std::string("all met") ? et1 : IntfId());
  }
}

TEST_F(BcLagGroupSmTest, ConfirmedChoiceIsKeptAndOthersAreNeverChosen) {
  groupIs(po1, et1, "A");
  groupIs(po1, et2, "B");
  groupIs(po1, et4, "A");
  groupIs(po1, et5, "A");
  // Et1's link is down, Et2 has no member status, Et3 is not configured.
  lagUp(po1, {et1, et2, et3, et4, et5}, {et1});
  stateIs(po1, et3, HigigNegotiationState::higigConfirmed);
  stateIs(po1, et4, HigigNegotiationState::higigConfirmed);
  stateIs(po1, et5, HigigNegotiationState::higigConfirmed);
  start();
  EXPECT_EQ(preferred(), et4);

  // Et1 becomes eligible and would come first, but Et4 is still confirmed.
  stateIs(po1, et1, HigigNegotiationState::higigConfirmed);
  lagDir->intfStatus(po1)->member(et1)->linkStatusIs(Interface::LinkStatus::up);
  EXPECT_EQ(preferred(), et4);

  // Once Et4 is no longer confirmed the walk starts over.
  stateIs(po1, et4, HigigNegotiationState::higigPending);
  EXPECT_EQ(preferred(), et1);

  // With no eligible member at all, the last choice stays.
  for (const auto& m : {et1, et4, et5}) lagDir->intfStatus(po1)->member(m)->linkStatusIs(Interface::LinkStatus::down);
  stateIs(po1, et1, HigigNegotiationState::ethLinkUp);
  EXPECT_EQ(preferred(), et1);
}

TEST_F(BcLagGroupSmTest, SingleLinkBitFromThePeerIsRecordedAndCleared) {
  groupIs(po1, et1, "A");
  groupIs(po1, et2, "A");
  start();
  tlvIs(po1, et1, Lldp::VornTlv::singleLinkFlag | Lldp::VornTlv::lodestoreConnectedFlag);
  ASSERT_NE(po1Info(), nullptr);
  EXPECT_TRUE(po1Info()->remoteMismatchExists());
  EXPECT_EQ(po1Info()->remotePreferredHigigMember(), et1);
  ASSERT_NE(lagInfo->memberToBpcIntfMap(et1), nullptr);
  EXPECT_EQ(lagInfo->memberToBpcIntfMap(et1)->remoteBaIntf, po1);

  tlvIs(po1, et2, Lldp::VornTlv::lodestoreConnectedFlag);  // another member without the bit
  EXPECT_TRUE(po1Info()->remoteMismatchExists());
  EXPECT_EQ(po1Info()->remotePreferredHigigMember(), et1);

  tlvIs(po1, et1, Lldp::VornTlv::lodestoreConnectedFlag);
  EXPECT_FALSE(po1Info()->remoteMismatchExists());
  EXPECT_EQ(po1Info()->remotePreferredHigigMember(), IntfId());
  EXPECT_EQ(lagInfo->memberToBpcIntfMap(et1), nullptr);
}

TEST_F(BcLagGroupSmTest, LosingTheContextClearsOnlyTheRecordedMember) {
  groupIs(po1, et1, "A");
  groupIs(po1, et2, "A");
  start();
  tlvIs(po1, et1, Lldp::VornTlv::singleLinkFlag);
  tlvIs(po1, et2, Lldp::VornTlv::singleLinkFlag);  // the peer moved its single link
  EXPECT_EQ(po1Info()->remotePreferredHigigMember(), et2);

  ctx->ctx(et1)->rxInfoDel();
  EXPECT_TRUE(po1Info()->remoteMismatchExists());
  EXPECT_EQ(po1Info()->remotePreferredHigigMember(), et2);

  ctx->ctxDel(et2);
  EXPECT_FALSE(po1Info()->remoteMismatchExists());
  EXPECT_EQ(po1Info()->remotePreferredHigigMember(), IntfId());
  EXPECT_EQ(lagInfo->memberToBpcIntfMap(et2), nullptr);

  ctx->ctxIs(po1, et3);
}

TEST_F(BcLagGroupSmTest, RemovedChannelTakesItsWholeRecord) {
  groupIs(po1, et1, "A");
  groupIs(po1, et2, "B");
  start();
  tlvIs(po1, et1, Lldp::VornTlv::singleLinkFlag);
  ASSERT_TRUE(po1Info()->localMismatchExists() && po1Info()->remoteMismatchExists());
  config->bcConfigDel(po1);
  EXPECT_EQ(po1Info(), nullptr);
}

TEST_F(BcLagGroupSmTest, RecordsOfAnEarlierInstanceAreRepairedAtStart) {
  // Left behind: a channel no longer configured; on Po1 a group B whose
  // member Et5 has gone, with the mismatch and choice it caused; and a remote
  // mismatch learnt through Et3, whose context has gone since.
  lagInfo->bcLagGroupInfoIs(po9)->localMismatchExistsIs(true);
  auto old = lagInfo->bcLagGroupInfoIs(po1);
  for (const auto& [member, name] : {std::pair{et1, "A"}, std::pair{et5, "B"}}) {
    old->lagGroupToBcMemberMapIs(name)->memberIntfIs(member);
    old->bcMemberToLagGroupMapIs(member, name);
  }
  old->localMismatchExistsIs(true);
  old->preferredHigigMemberIs(et5);
  old->remoteMismatchExistsIs(true);
  old->remotePreferredHigigMemberIs(et3);
  lagInfo->memberToBpcIntfMapIs(et3)->remoteBaIntf = po1;
  groupIs(po1, et1, "A");
  groupIs(po1, et2, "A");

  start();
  EXPECT_EQ(lagInfo->bcLagGroupInfo(po9), nullptr);
  EXPECT_EQ(po1Info(), old);
  EXPECT_FALSE(old->localMismatchExists());
  EXPECT_EQ(old->preferredHigigMember(), IntfId());
  EXPECT_EQ(old->lagGroupToBcMemberMap().size(), 1u);
  EXPECT_EQ(old->lagGroupToBcMemberMap("A")->memberIntf(), (std::set<IntfId>{et1, et2}));
  EXPECT_FALSE(old->bcMemberToLagGroupMapHas(et5));
  EXPECT_FALSE(old->remoteMismatchExists());
  EXPECT_EQ(lagInfo->memberToBpcIntfMap(et3), nullptr);
}

TEST_F(BcLagGroupSmTest, ToggleOffTouchesNothing) {
  toggleIs(false);
  lagInfo->bcLagGroupInfoIs(po9)->localMismatchExistsIs(true);  // would be repaired
  groupIs(po1, et1, "A");
  groupIs(po1, et2, "B");
  const auto before = Zem::toJson(*lagInfo);
  start();
  groupIs(po1, et3, "C");
  tlvIs(po1, et1, Lldp::VornTlv::singleLinkFlag);
  lagUp(po1, {et1});
  stateIs(po1, et1, HigigNegotiationState::higigConfirmed);
  EXPECT_EQ(Zem::toJson(*lagInfo), before);
  EXPECT_TRUE(cap.records().empty());
}

TEST_F(BcLagGroupSmTest, MissingInputsEndHandlersQuietly) {
  groupIs(po1, et1, "A");
  groupIs(po1, et2, "B");
  startWith(config, nullptr, nullptr, nullptr, lagInfo);
  EXPECT_TRUE(po1Info()->localMismatchExists());
  sm->handleRemoteTlv(et1);

  // Nothing to read and nothing to write: the handlers simply return.
  startWith(nullptr, nullptr, nullptr, nullptr, nullptr);
  sm->handleMemberConfig(po1, et1);
  sm->pickPreferredMember(po1);
  sm->handleRemoteTlv(et1);
  sm->handleInitialized();
  EXPECT_TRUE(po1Info()->localMismatchExists());

  // Without a configuration nothing can be judged stale, so nothing goes.
  startWith(nullptr, ctx, bcStatus, lagDir, lagInfo);
  sm->handleMemberConfig(po1, et1);
  EXPECT_NE(po1Info(), nullptr);
  EXPECT_TRUE(po1Info()->localMismatchExists());
}

}  // namespace

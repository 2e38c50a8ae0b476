// The host ties the system log to the local backup: when the log hands over
// a report of a new negotiation state, the backup on disk already holds it,
// while the other changes of the same step still wait for the coalesced
// flush.

#include "platform/host/Host.h"
#include "platform/log/VornMessages.h"
#include "platform/records/VornFabricLldpCtxTypes.h"
#include "platform/records/VornRecords.h"
#include "tests/platform/lodestore/LodestoreTestUtil.h"

#include <gtest/gtest.h>

namespace {

using State = Vorn::HigigNegotiationState;
using LodestoreTest::ScratchDir;

// Reports and records the way the negotiation does: the message first, the
// new state right after, in one step; with the context's expected peer and
// a TLV flag changed on the way, records that wait for the flush.
class ReportingAgent : public AgentBase::CAgent {
 public:
  ReportingAgent() : CAgent("1") {}

  void doInit() override {
    auto group = entityManager()->mountGroup();
    group->doMount("/backup/vorn/bcStatus/1", "Vorn::BackplaneChannelStatus", "L");
    group->doMount("/backup/vorn/lldp/context", "VornFabricLldp::CtxForMember", "L");
    ASSERT_EQ(group->doClose(true, "test", 10.0), Lodestore::mountSuccess());
    const Kivo::IntfId po1("Port-Channel1"), et1("Ethernet1");
    intf_ = entityManager()
                ->getEntityAs<Vorn::BackplaneChannelStatus>("/backup/vorn/bcStatus/1")
                ->bcMemberStatusIs(po1)
                ->memberIntfStatusIs(et1);
    ctx_ = entityManager()->getEntityAs<VornFabricLldp::CtxForMember>("/backup/vorn/lldp/context")->ctxIs(po1, et1);
  }

  void report(const Syslog::Message& message, State state, int peer) {
    ctx_->peerMemberIdIs(Vorn::MemberId(static_cast<uint8_t>(peer)));
    intf_->tlvReceivedIs(!intf_->tlvReceived());
    Syslog::log(message, {"Ethernet1", "Port-Channel1", "heartbeat timed out"});
    intf_->stateIs(state), intf_->fabricModeIs(state == State::higigConfirmed);
  }

 private:
  Velto::Ptr<Vorn::BackplaneChannelMemberStatus::IntfStatus> intf_;
  Velto::Ptr<VornFabricLldp::MemberCtx> ctx_;
};

// What the backup files hold, as "state fabricMode peerMemberId".
std::string onDisk(const ScratchDir& dir) {
  const auto intf = Zem::Json::parse(dir.read("vorn.bcStatus.1.json"))["record"]["bcMemberStatus"]["Port-Channel1"]
                                                                      ["memberIntfStatus"]["Ethernet1"];
  const auto peer = Zem::Json::parse(dir.read("vorn.lldp.context.json"))["record"]["ctx"]["Ethernet1"]["peerMemberId"];
  return fmt::format("{} {} {}", intf["state"].get<std::string>(), intf["fabricMode"].get<bool>(),
                     peer.is_number() ? fmt::format("{}", peer.get<int>()) : "none");
}

TEST(HostBackupTest, TheBackupHoldsAReportedStateBeforeTheLogHandsItOver) {
  ScratchDir dir;
  auto clock = Velto::make<Oru::VirtualScheduler>(0);
  auto db = Velto::make<Lodestore::StateDatabase>(clock);
  db->backupDirIs(dir.path());
  std::vector<std::string> seen;
  Syslog::CallbackSink sink([&](const Syslog::Entry& e) {
    seen.push_back(fmt::format("{} at {:g}: on disk {}", e.message->name, e.time, onDisk(dir)));
  });
  Oru::SwitchContext context;
  Oru::SwitchContext::Scope active(context);
  context.syslogSinkIs(&sink), context.syslogClockIs([&] { return clock->now(); });
  auto agent = Velto::make<ReportingAgent>();
  {
    AgentHost::Host host(clock, db);
    host.start(agent);
    clock->runFor(1.0);
    clock->post([&] { agent->report(Syslog::VORN_BACKPLANE_INTF_READY, State::higigConfirmed, 11); }, 1.0);
    clock->post([&] { agent->report(Syslog::VORN_BACKPLANE_INTF_ERROR, State::ethLinkDown, 22); }, 2.0);
    const uint64_t writes = db->backupWriteCount();
    clock->runFor(2.0);
    // The expected peer of the step waits for the flush, half a second later.
    EXPECT_EQ(seen, (std::vector<std::string>{"VORN_BACKPLANE_INTF_READY at 2: on disk higigConfirmed true none",
                                              "VORN_BACKPLANE_INTF_ERROR at 3: on disk ethLinkDown false 11"}));
    // Per report: the status written through, the context at its flush (the last one is still to come).
    EXPECT_EQ(db->backupWriteCount(), writes + 3);
    clock->runFor(1.0);
    EXPECT_EQ(std::pair(db->backupWriteCount(), onDisk(dir)),
              std::pair(writes + 4, std::string("ethLinkDown false 22")));
    host.stop();
  }
}

}  // namespace

#pragma once
// What the negotiation tests share: a switch (member 1) whose channel Po1
// faces member 2, a virtual clock, the system log and trace captured, the
// verification toggle in a private directory, and a peer that sends TLVs the
// way member context mapping copies them in.

#include "VornFabricLldp/LldpHigigSm.h"
#include "tests/VornFabricLldp/RxTestSupport.h"
#include "platform/log/VornMessages.h"
#include "platform/trace/Ringlog.h"
#include "platform/vorn/ServiceSync.h"
#include "tests/platform/toggles/ScopedToggleDir.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

// Readable states in test failure messages.
namespace Vorn {
inline void PrintTo(HigigNegotiationState s, std::ostream* os) { *os << stringValue(s); }
}  // namespace Vorn

namespace HigigTest {

using State = Vorn::HigigNegotiationState;
using namespace RxTest;

constexpr uint8_t localId = 1;
constexpr uint8_t peerId = 2;

// A TLV as member `from` sends it: expecting `expected`, having heard
// `received` (0: nobody yet).
inline Lldp::VornTlv tlvFrom(uint8_t from, uint8_t expected, uint8_t received, Vorn::Role role = Vorn::Role::member,
                             uint8_t flags = 0) {
  return RxTest::tlv(from, expected, received, flags, role);
}
// The configured peer, which has heard us.
inline Lldp::VornTlv goodTlv(Vorn::Role role = Vorn::Role::member, uint8_t flags = 0) {
  return tlvFrom(peerId, localId, localId, role, flags);
}

// Delivers one frame's TLV into `ctx` the way context mapping does: the TLV
// held so far becomes prevTlv when the TLV changes, then the refresh time
// moves.
inline void receive(const Velto::Ptr<VornFabricLldp::MemberCtx>& ctx, const Lldp::VornTlv& tlv) {
  static double refresh = 0;
  auto rx = ctx->rxInfo() ? ctx->rxInfo() : ctx->rxInfoIs(1);
  if (rx->tlv() != Zem::Optional<Lldp::VornTlv>(tlv)) {
    ctx->prevTlvIs(rx->tlv());
    rx->tlvIs(tlv);
  }
  rx->lastRefreshTimeIs(refresh += 1);
}

// The peer's TLVs stop: the receive information goes, its TLV kept as prevTlv.
inline void lose(const Velto::Ptr<VornFabricLldp::MemberCtx>& ctx) {
  if (auto rx = ctx->rxInfo()) ctx->prevTlvIs(rx->tlv());
  ctx->rxInfoDel();
}

// The member configuration's synchronizer context, as the agent builds it;
// no state database session (nothing is exchanged in these tests).
inline Velto::Ptr<Vorn::ServiceCtx> serviceCtx(bool restoreFromLocal, bool mountsComplete) {
  const std::string path = "vorn/memberConfig/1";
  auto c = Velto::make<Vorn::ServiceCtx>(Velto::make<Vorn::MemberConfig>("1"), path, path, restoreFromLocal);
  c->lodestoreMountsCompleteIs(mountsComplete);
  return c;
}
inline auto selectorFor(const Velto::Ptr<Vorn::ServiceCtx>& c) {
  return Velto::make<Vorn::ServiceLocalRemoteSynchronizer>(c, nullptr);
}

// The transmit settings the agent writes: every 100 ms.
inline Velto::Ptr<Lldp::Config> txEvery100ms() {
  auto c = Velto::make<Lldp::Config>("config");
  c->isMessageTxTimeInMsIs(true);
  c->messageTxIntervalIs(100);
  return c;
}

// Clock, log, trace and toggles of one test.
class HigigFixture : public ::testing::Test {
 protected:
  void SetUp() override { context_.syslogSinkIs(&log); }

  void verificationIs(bool on) const {
    toggles_.coreIs(std::string("{\"VornMembershipVerification\": ") + (on ? "true" : "false") + "}");
  }
  // The system log lines written since the last call.
  std::vector<std::string> takeLog() {
    auto lines = log.rendered();
    log.clear();
    return lines;
  }

  Oru::SwitchContext context_;
  Oru::SwitchContext::Scope active_{context_};
  Velto::Ptr<Oru::VirtualScheduler> sched = Velto::make<Oru::VirtualScheduler>(0);
  Syslog::MemorySink log;
  Ringlog::Capture trace;
  TogglesTesting::ScopedToggleDir toggles_;
};

}  // namespace HigigTest

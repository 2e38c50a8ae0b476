// The work one received frame causes on a switch must not depend on how
// many ports the switch has: the same frame on a switch of 8 and of 256
// member links makes the same number of record writes, published changes and
// handler runs.

#include "Bench.h"
#include "Scenario.h"
#include "Simulation.h"

#include "platform/framework/Entity.h"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <array>
#include <iostream>
#include <ostream>

namespace {

using VornSim::Scenario;
using VornSim::Simulation;

// What one received frame cost the framework.
struct FrameWork {
  uint64_t writes = 0, publishes = 0, handlerRuns = 0;
  bool operator==(const FrameWork&) const = default;
};

std::ostream& operator<<(std::ostream& os, const FrameWork& w) {
  return os << fmt::format("{{writes {}, publishes {}, handler runs {}}}", w.writes, w.publishes, w.handlerRuns);
}

// sw1 and sw2 joined by `links` cables, all members of one channel.
Scenario pairWithLinks(int links) {
  Scenario sc;
  sc.file = "<per-frame work>";
  sc.runFor = 3600;
  for (uint8_t id : {1, 2}) {
    VornSim::ChannelSpec ch{Kivo::IntfId("Port-Channel1"), Vorn::MemberId(id == 1 ? 2 : 1), {}};
    for (int l = 1; l <= links; ++l) ch.members.push_back({Kivo::IntfId(fmt::format("Ethernet{}", l)), ""});
    sc.switches.push_back({fmt::format("sw{}", id), Vorn::MemberId(id), Vorn::Role::member, 0, {ch}});
  }
  for (int l = 1; l <= links; ++l) {
    const Kivo::IntfId intf(fmt::format("Ethernet{}", l));
    sc.links.push_back({{"sw1", intf}, {"sw2", intf}, {}});
  }
  return sc;
}

struct Measured {
  FrameWork sameTlv, changedTlv;
  size_t confirmed = 0;
};

// Brings the pair up, puts an injector with member 2's identity in place of
// sw2 on sw1's Ethernet1, and measures the framework's work for one frame
// whose TLV is unchanged and one whose TLV changed. Every frame is delivered
// at an instant when nothing else is due, and only the tasks it makes due at
// once run with it.
Measured measure(int links) {
  Simulation sim(pairWithLinks(links));
  sim.runUntil(20);
  Measured m;
  for (const auto& row : sim.memberRows()) m.confirmed += row.state == "higigConfirmed";

  const Kivo::IntfId et1("Ethernet1");
  auto injector = sim.wire().transportFor("injector")->open(et1, "inj0", nullptr);
  sim.wire().connect({"sw1", et1}, {"injector", et1}, {0.0, 0.0});
  const std::array<std::vector<uint8_t>, 2> frames{VornSim::peerFrame(1), VornSim::peerFrame(0)};

  auto oneFrame = [&](const std::vector<uint8_t>& frame) {
    sim.runUntil(sim.now() + 0.01);
    const auto before = Zem::workCounters;
    injector->send(frame);
    sim.scheduler().runReady();
    const auto after = Zem::workCounters;
    return FrameWork{after.writes - before.writes, after.publishes - before.publishes,
                     after.handlerRuns - before.handlerRuns};
  };
  // Settle: the injector's first frames may differ from what sw2 sent.
  for (int i = 0; i < 4; ++i) oneFrame(frames[0]);
  m.sameTlv = oneFrame(frames[0]);
  // The TLV flips with every frame; the first flip is measured after one
  // round so that both directions have been seen.
  oneFrame(frames[1]);
  oneFrame(frames[0]);
  m.changedTlv = oneFrame(frames[1]);
  return m;
}

TEST(PerFrameWorkTest, recordWritesPerReceivedFrameDoNotGrowWithThePorts) {
  const Measured small = measure(8), large = measure(256);
  ASSERT_EQ(std::pair(small.confirmed, large.confirmed), std::pair(size_t(16), size_t(512)));
  // A frame does work: the refresh time moves, and a new TLV is mirrored.
  EXPECT_GT(small.sameTlv.publishes, 0u);
  EXPECT_GT(small.changedTlv.publishes, small.sameTlv.publishes);
  EXPECT_EQ(small.sameTlv, large.sameTlv);
  // The changed TLV reaches the mirror and the state database copies of
  // the records it changes, and nothing else.
  EXPECT_EQ(small.changedTlv, large.changedTlv);
  // Printed for the benchmark record.
  std::cout << "per received frame, 8 and 256 member links: same TLV " << small.sameTlv << " / " << large.sameTlv
            << "; changed TLV " << small.changedTlv << " / " << large.changedTlv << "\n";
}

}  // namespace

#include "lldp/SimWire.h"

#include "tests/lldp/Hex.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Kivo::IntfId;
using Lldp::SimWire;
using LldpTest::hex;

// Raw ports on a wire that remember what arrived, and when.
struct Bench {
  Velto::Ptr<Oru::VirtualScheduler> clock = Velto::make<Oru::VirtualScheduler>(10.0);
  Velto::Ptr<SimWire> wire = Velto::make<SimWire>(clock, 3);
  std::vector<std::string> arrivals;
  Velto::Ptr<Lldp::Transport::Port> open(const std::string& sw, const char* intf) {
    std::string name = sw + ":" + IntfId(intf).shortName();
    return wire->transportFor(sw)->open(IntfId(intf), "dev", [this, name](std::span<const uint8_t> f) {
      arrivals.push_back(fmt::format("{}@{:.3f}:{:02x}", name, clock->now(), f[0]));
    });
  }
};

TEST(SimWireTest, RefusesBadEndsAndImpossibleCables) {
  const auto e = SimWire::End::parse("sw1:Et3/1"), z = SimWire::End::parse("sw2:Ethernet1");
  EXPECT_EQ(std::pair(e.switchName, e.intf), std::pair(std::string("sw1"), IntfId("Ethernet3/1")));
  EXPECT_EQ(e.stringValue(), "sw1:Ethernet3/1");
  for (const char* bad : {"sw1", ":Ethernet1", "sw1:", ""}) {
    EXPECT_THROW(SimWire::End::parse(bad), std::invalid_argument) << bad;
  }
  Bench b;
  EXPECT_THROW(b.wire->connect(e, e), std::invalid_argument);
  EXPECT_THROW(b.wire->connect(e, z, {-0.001, 0}), std::invalid_argument);
  EXPECT_THROW(b.wire->connect(e, z, {0.001, 1.5}), std::invalid_argument);
  EXPECT_FALSE(b.wire->peer(e));
}

TEST(SimWireTest, CarriesFramesAfterTheLatencyInOrder) {
  Bench b;
  auto p1 = b.open("sw1", "Ethernet1"), p2 = b.open("sw2", "Ethernet1");
  b.wire->connect({"sw1", IntfId("Et1")}, {"sw2", IntfId("Et1")}, {0.005, 0});
  // 02 follows 01 by 1 ms on a cable already busy: it keeps its own
  // latency rather than riding along with 01.
  p1->send(hex("01"));
  b.clock->runFor(0.001);
  p1->send(hex("02"));
  b.clock->runFor(0.001);
  p2->send(hex("03"));
  b.clock->runFor(0.004);
  p1->send(hex("04"));
  b.clock->runFor(1);
  EXPECT_EQ(b.arrivals, (std::vector<std::string>{"sw2:Et1@10.005:01", "sw2:Et1@10.006:02", "sw1:Et1@10.007:03",
                                                  "sw2:Et1@10.011:04"}));
  EXPECT_EQ(b.wire->counters().carried, 4u);
}

TEST(SimWireTest, CutsRecablingAndClosedPortsDropFrames) {
  Bench b;
  auto p1 = b.open("sw1", "Ethernet1"), p2 = b.open("sw2", "Ethernet1"), p3 = b.open("sw3", "Ethernet1");
  // A second port on one end (an agent restarting while its predecessor
  // still holds the port): both hear every frame.
  auto p1again = b.open("sw1", "Ethernet1");
  const SimWire::End e1{"sw1", IntfId("Et1")}, e2{"sw2", IntfId("Et1")}, e3{"sw3", IntfId("Et1")};

  EXPECT_FALSE(p1->linkUp());
  p1->send(hex("01"));  // no cable yet
  b.wire->connect(e1, e2);
  EXPECT_TRUE(p1->linkUp() && p2->linkUp()) << "the link is up while a cable is plugged in";
  p1->send(hex("02"));
  b.wire->cut(e2);  // in flight: lost with the cable
  b.wire->connect(e1, e2);
  b.wire->connect(e3, e1);  // moving the cable unplugs sw2
  EXPECT_FALSE(b.wire->peer(e2));
  EXPECT_FALSE(p2->linkUp());
  EXPECT_EQ(*b.wire->peer(e1), e3);
  p1->send(hex("03"));
  p3->send(hex("04"));
  p3 = nullptr;  // closed before its frame arrives
  EXPECT_FALSE(b.wire->isOpen(e3));
  b.clock->runFor(1);
  EXPECT_EQ(b.arrivals, (std::vector<std::string>{"sw1:Et1@10.001:04", "sw1:Et1@10.001:04"}));
  const auto& c = b.wire->counters();
  EXPECT_EQ(std::tuple(c.sent, c.carried, c.dropped, c.lost), std::tuple(4u, 1u, 3u, 0u));
}

}  // namespace

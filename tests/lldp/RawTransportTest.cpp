#include "lldp/RawTransport.h"

#include "tests/lldp/Hex.h"
#include "tests/platform/kernel/FreshNetns.h"

#include <fmt/format.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <net/if.h>

namespace {

using Kivo::IntfId;
using Lldp::RawTransport;
using LldpTest::hex;
using Bytes = std::vector<uint8_t>;
const IntfId et1("Ethernet1");
using namespace ::testing;

// `text` padded to `size` bytes with 0xab.
Bytes padded(const std::string& text, size_t size = 64) {
  Bytes f = hex(text);
  f.resize(size, 0xab);
  return f;
}

// An LLDP frame to the nearest-bridge address from 02:00:00:00:00:0`from`,
// `tag` marking it, padded with `fill` bytes of payload.
Bytes lldpFrame(char from, uint8_t tag, size_t fill = 50) {
  return padded(fmt::format("0180c200000e 02000000000{} 88cc {:02x}", from, tag), 15 + fill);
}

// Two veth ends, up, with a port open on each that records what it hears.
struct Pair {
  Velto::Ptr<Oru::EventLoop> loop = Velto::make<Oru::EventLoop>();
  Velto::Ptr<RawTransport> transport = Velto::make<RawTransport>(loop);
  std::vector<Bytes> heardA, heardB;
  Velto::Ptr<RawTransport::RawPort> a, b;

  Pair() {
    KernelTest::sh("ip link add va type veth peer name vb && ip link set dev va up && ip link set dev vb up");
    a = openOn("va", heardA);
    b = openOn("vb", heardB);
  }
  Velto::Ptr<RawTransport::RawPort> openOn(const std::string& device, std::vector<Bytes>& heard) {
    auto port = transport->open(et1, device, [&heard](auto f) { heard.emplace_back(f.begin(), f.end()); });
    return Velto::dynamicPtrCast<RawTransport::RawPort>(port);
  }
  // Sends `frame` on `from` until `heard` has something: a veth end that was
  // just brought up may drop the first frames.
  bool sendUntilHeard(RawTransport::RawPort& from, const Bytes& frame, const std::vector<Bytes>& heard) {
    for (int i = 0; i < 50 && heard.empty(); ++i) {
      from.send(frame);
      for (int j = 0; j < 4 && heard.empty(); ++j) loop->runOnce(0.05);
    }
    return !heard.empty();
  }
  // Both directions carry frames; what was heard meanwhile is forgotten.
  bool warmUp() {
    const bool up = sendUntilHeard(*b, lldpFrame('b', 1), heardA) && sendUntilHeard(*a, lldpFrame('a', 1), heardB);
    heardA.clear();
    heardB.clear();
    return up;
  }
  bool until(const std::function<bool()>& done) { return KernelTest::runUntil(*loop, done); }
};

// A second port on the same device (a restarted agent while the old one
// still holds its port) hears what arrives, not what its neighbour sends; a
// receiver that releases its own port on the first frame hears no more.
TEST(RawTransportTest, CarriesLldpFramesBetweenVethEnds) {
  KERNEL_TEST_IN_FRESH_NETNS([] {
    Pair p;
    ASSERT_TRUE(p.warmUp());
    const auto aBefore = p.a->counters(), bBefore = p.b->counters();
    std::vector<Bytes> heardA2;
    auto a2 = p.openOn("va", heardA2);
    int heardByClosing = 0;
    Velto::Ptr<Lldp::Transport::Port> closing;
    closing = p.transport->open(IntfId("Ethernet2"), "va", [&](auto) { ++heardByClosing, closing = nullptr; });

    const Bytes shortFrame = lldpFrame('b', 2, 3);  // 18 bytes: padded to the Ethernet minimum
    p.b->send(shortFrame);
    const Bytes fromA = lldpFrame('a', 4);  // not heard back on the port that sent it
    p.a->send(fromA);
    const Bytes marker = lldpFrame('b', 5);  // everything before it has arrived
    p.b->send(marker);
    // Each port's ring hands its frames over on its own schedule.
    ASSERT_TRUE(p.until([&] { return p.heardA.size() >= 2 && heardA2.size() >= 2 && !p.heardB.empty(); }));
    p.loop->runOnce(0.05);
    EXPECT_TRUE(heardByClosing == 1 && !closing) << heardByClosing;

    Bytes atMinimum = shortFrame;
    atMinimum.resize(60, 0);
    EXPECT_THAT(p.heardA, ElementsAre(atMinimum, marker));
    EXPECT_EQ(heardA2, p.heardA);
    EXPECT_THAT(p.heardB, ElementsAre(fromA));
    const auto a = p.a->counters(), b = p.b->counters();
    EXPECT_EQ(std::tuple(b.framesSent, b.sendErrors, b.framesReceived),
              std::tuple(bBefore.framesSent + 2, 0u, bBefore.framesReceived + 1));
    EXPECT_EQ(std::pair(a.framesSent, a.framesReceived), std::pair(aBefore.framesSent + 1, aBefore.framesReceived + 2));
    EXPECT_EQ(p.a->ifIndex(), int(if_nametoindex("va")));
  });
}

// The kernel's filter keeps everything but LLDP frames to the nearest-bridge
// address off the port, tagged or not. A tag the kernel took off reaches the
// receiver as it was on the wire.
TEST(RawTransportTest, OnlyLldpFramesToTheNearestBridgeAddressReachThePort) {
  KERNEL_TEST_IN_FRESH_NETNS([] {
    Pair p;
    ASSERT_TRUE(p.warmUp());
    const Bytes frames[] = {
        padded("0180c200000e 02000000000b 88cc 02"),            // heard
        padded("0180c2000003 02000000000b 88cc 03"),            // nearest non-TPMR bridge
        padded("020000000077 02000000000b 88cc 05"),            // another station
        padded("0180c200000e 02000000000b 8100 2064 88cc 06"),  // heard: 802.1Q, priority 1, VLAN 100
        padded("0180c200000e 02000000000b 0800 07"),            // IPv4
        padded("0180c200000e 02000000000b 8100 0064 0800 08"),  // IPv4 behind a tag
        lldpFrame('b', 9),                                      // heard: the last
    };
    for (const auto& f : frames) p.b->send(f);
    ASSERT_TRUE(p.until([&] { return p.heardA.size() >= 3; }));
    p.loop->runOnce(0.05);  // anything that should not be there has come too
    EXPECT_THAT(p.heardA, ElementsAre(frames[0], frames[3], frames[6]));
    EXPECT_EQ(p.a->counters().framesTagged, 1u);
  });
}

// The link follows the carrier, and the socket outlives down and up. A
// removed device makes the port inert: the kernel's wake-up or, before the
// loop hears of it, a send finds out.
TEST(RawTransportTest, PortFollowsTheCarrierAndGoesInertWhenItsDeviceIsRemoved) {
  KERNEL_TEST_IN_FRESH_NETNS([] {
    Pair p;
    ASSERT_TRUE(p.warmUp());
    KernelTest::sh("ip link set dev vb down");  // the far end down takes the carrier away
    ASSERT_TRUE(p.until([&] { return !p.a->linkUp(); }));
    KernelTest::sh("ip link set dev vb up && ip link set dev va down && ip link set dev va up");
    ASSERT_TRUE(p.until([&] { return p.a->linkUp(); }));
    ASSERT_TRUE(p.sendUntilHeard(*p.b, lldpFrame('b', 2), p.heardA));
    KernelTest::sh("ip link del va");
    ASSERT_TRUE(p.until([&] { return !p.a->active(); }));
    const auto before = p.a->counters();
    p.a->send(lldpFrame('a', 3));
    EXPECT_EQ(std::pair(p.a->counters().sendErrors, p.a->counters().framesSent),
              std::pair(before.sendErrors + 1, before.framesSent));
    KernelTest::sh("ip link add va type veth peer name vb && ip link set dev va up && ip link set dev vb up");
    p.a = p.openOn("va", p.heardA);
    p.b = p.openOn("vb", p.heardB);
    ASSERT_TRUE(p.warmUp());
    KernelTest::sh("ip link set dev va down");
    EXPECT_FALSE(p.a->linkUp());
    KernelTest::sh("ip link del va");
    ASSERT_TRUE(p.a->active());
    p.a->send(lldpFrame('a', 1));
    EXPECT_EQ(p.a->counters().sendErrors, 1u);
    EXPECT_FALSE(p.a->active());
  });
}

// The frames of one turn of the loop reach the kernel in one call; a frame
// a device refuses is counted on its own port and the rest go out.
TEST(RawTransportTest, FramesSentInOneTurnReachTheKernelTogether) {
  KERNEL_TEST_IN_FRESH_NETNS([] {
    Pair p;
    ASSERT_TRUE(p.warmUp());
    KernelTest::sh("ip link add vc type veth peer name vd");  // down: the kernel refuses its frames
    std::vector<Bytes> heardC;
    auto c = p.openOn("vc", heardC);
    const auto batches = p.transport->sendBatches(), batched = p.transport->framesBatched();
    const auto a = p.a->counters(), b = p.b->counters();
    p.loop->post([&] {
      for (uint8_t tag = 2; tag < 5; ++tag) {
        p.a->send(lldpFrame('a', tag));
        if (tag == 3) c->send(lldpFrame('c', 2));
        p.b->send(lldpFrame('b', tag));
      }
      EXPECT_EQ(p.transport->sendBatches(), batches) << "nothing leaves before the turn ends";
    });
    p.loop->runOnce(0);
    // One call, cut in two by the refused frame, which took a call of its own.
    EXPECT_EQ(std::pair(p.transport->sendBatches(), p.transport->framesBatched()), std::pair(batches + 3, batched + 6));
    EXPECT_EQ(std::tuple(c->counters().sendErrors, c->statistics().transmitDrops, c->counters().framesSent),
              std::tuple(1u, 1u, 0u));
    EXPECT_TRUE(c->active());
    EXPECT_EQ(std::pair(p.a->counters().framesSent, p.b->counters().framesSent),
              std::pair(a.framesSent + 3, b.framesSent + 3));
    EXPECT_EQ(p.a->statistics().transmitDrops, 0u);
    ASSERT_TRUE(p.until([&] { return p.heardA.size() == 3 && p.heardB.size() == 3; }));
    EXPECT_THAT(p.heardB, ElementsAre(lldpFrame('a', 2), lldpFrame('a', 3), lldpFrame('a', 4)));
    EXPECT_THAT(p.heardA, ElementsAre(lldpFrame('b', 2), lldpFrame('b', 3), lldpFrame('b', 4)));
  });
}

}  // namespace

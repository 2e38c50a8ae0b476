#include "lldp/RawTransport.h"

#include "tests/lldp/Hex.h"
#include "tests/platform/kernel/FreshNetns.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <grp.h>
#include <net/if.h>
#include <unistd.h>

namespace {

using Kivo::IntfId;
using Lldp::RawTransport;
using LldpTest::hex;
using Bytes = std::vector<uint8_t>;

// An LLDP frame to the nearest-bridge address from 02:00:00:00:00:0`from`,
// `tag` marking it, padded with `fill` bytes of payload.
Bytes lldpFrame(char from, uint8_t tag, size_t fill = 50) {
  Bytes f = hex(std::string("0180c200000e 02000000000") + from + "88cc");
  f.push_back(tag);
  f.resize(f.size() + fill, 0xab);
  return f;
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
    auto port = transport->open(IntfId("Ethernet1"), device, [&heard](std::span<const uint8_t> f) {
      heard.emplace_back(f.begin(), f.end());
    });
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

TEST(RawTransportTest, OpeningOnAMissingDeviceNamesIt) {
  auto transport = Velto::make<RawTransport>(Velto::make<Oru::EventLoop>());
  for (const std::string device : {"nosuchdev0", "", "abcdefghijklmnop"}) {
    SCOPED_TRACE(device);
    try {
      transport->open(IntfId("Ethernet7"), device, nullptr);
      ADD_FAILURE() << "opened a port on a missing device";
    } catch (const Lldp::TransportError& e) {
      EXPECT_NE(std::string(e.what()).find("Ethernet7 on device '" + device + "'"), std::string::npos) << e.what();
      EXPECT_NE(std::string(e.what()).find("No such device"), std::string::npos) << e.what();
    }
  }
}

TEST(RawTransportTest, WithoutTheRightToOpenPacketSocketsOpeningFailsClearly) {
  // A child that gives up root cannot open packet sockets.
  std::fflush(nullptr);
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    if (getuid() == 0 && (setgroups(0, nullptr) != 0 || setresgid(65534, 65534, 65534) != 0 ||
                          setresuid(65534, 65534, 65534) != 0)) {
      _exit(3);
    }
    auto transport = Velto::make<RawTransport>(Velto::make<Oru::EventLoop>());
    try {
      transport->open(IntfId("Ethernet1"), "lo", nullptr);
    } catch (const Lldp::TransportError& e) {
      const std::string what = e.what();
      _exit(what.find("Ethernet1 on device 'lo': packet socket: Operation not permitted") != std::string::npos ? 0 : 2);
    }
    _exit(1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "1: opened anyway, 2: unclear message, 3: could not give up root";
}

TEST(RawTransportTest, CarriesLldpFramesBetweenVethEnds) {
  KERNEL_TEST_IN_FRESH_NETNS([] {
    Pair p;
    ASSERT_TRUE(p.warmUp());
    const auto aBefore = p.a->counters(), bBefore = p.b->counters();
    // A second port on the same device (a restarted agent while the old one
    // still holds its port) hears what arrives, not what its neighbour sends.
    std::vector<Bytes> heardA2;
    auto a2 = p.openOn("va", heardA2);

    const Bytes shortFrame = lldpFrame('b', 2, 3);  // 18 bytes: padded to the Ethernet minimum
    p.b->send(shortFrame);
    const Bytes fromA = lldpFrame('a', 4);  // not heard back on the port that sent it
    p.a->send(fromA);
    const Bytes marker = lldpFrame('b', 5);  // everything before it has arrived
    p.b->send(marker);
    ASSERT_TRUE(p.until([&] { return p.heardA.size() >= 2 && heardA2.size() >= 2 && !p.heardB.empty(); }));

    Bytes padded = shortFrame;
    padded.resize(60, 0);
    EXPECT_EQ(p.heardA, (std::vector<Bytes>{padded, marker}));
    EXPECT_EQ(heardA2, p.heardA);
    EXPECT_EQ(p.heardB, std::vector<Bytes>{fromA});
    EXPECT_EQ(p.b->counters().framesSent, bBefore.framesSent + 2);
    EXPECT_EQ(p.b->counters().sendErrors, 0u);
    EXPECT_EQ(p.b->counters().framesReceived, bBefore.framesReceived + 1);
    EXPECT_EQ(p.a->counters().framesSent, aBefore.framesSent + 1);
    EXPECT_EQ(p.a->counters().framesReceived, aBefore.framesReceived + 2);
    EXPECT_EQ(p.a->ifIndex(), static_cast<int>(if_nametoindex("va")));
  });
}

// The kernel's filter keeps everything but LLDP frames to the nearest-bridge
// address off the port, tagged or not. A tag the kernel took off reaches the
// receiver as it was on the wire.
TEST(RawTransportTest, OnlyLldpFramesToTheNearestBridgeAddressReachThePort) {
  KERNEL_TEST_IN_FRESH_NETNS([] {
    Pair p;
    ASSERT_TRUE(p.warmUp());
    auto padded = [](const std::string& text) {
      Bytes f = hex(text);
      f.resize(64, 0xab);
      return f;
    };
    const std::vector<std::pair<Bytes, bool>> cases{  // frame, heard
        {padded("0180c200000e 02000000000b 88cc 02"), true},
        {padded("0180c2000003 02000000000b 88cc 03"), false},  // nearest non-TPMR bridge
        {padded("0180c2000000 02000000000b 88cc 04"), false},  // nearest customer bridge
        {padded("020000000077 02000000000b 88cc 05"), false},  // another station
        {padded("0180c200000e 02000000000b 8100 2064 88cc 06"), true},  // 802.1Q: priority 1, VLAN 100
        {padded("0180c200000e 02000000000b 0800 07"), false},            // IPv4
        {padded("0180c200000e 02000000000b 8100 0064 0800 08"), false},  // IPv4 behind a tag
    };
    std::vector<Bytes> expected;
    for (const auto& [frame, heard] : cases) {
      p.b->send(frame);
      if (heard) expected.push_back(frame);
    }
    expected.push_back(lldpFrame('b', 9));
    p.b->send(expected.back());
    ASSERT_TRUE(p.until([&] { return p.heardA.size() >= expected.size(); }));
    p.loop->runOnce(0.05);  // anything that should not be there has come too
    EXPECT_EQ(p.heardA, expected);
    EXPECT_EQ(p.a->counters().framesTagged, 1u);
  });
}

TEST(RawTransportTest, ReleasingThePortFromItsReceiverStopsDelivery) {
  KERNEL_TEST_IN_FRESH_NETNS([] {
    Pair p;
    ASSERT_TRUE(p.warmUp());
    // A receiver that closes its own port on the first frame of a burst.
    int heard = 0;
    Velto::Ptr<Lldp::Transport::Port> closing;
    closing = p.transport->open(IntfId("Ethernet2"), "va", [&](std::span<const uint8_t>) {
      ++heard;
      closing = nullptr;
    });
    for (uint8_t tag = 2; tag < 6; ++tag) p.b->send(lldpFrame('b', tag));
    // Each port's ring hands its frames over on its own schedule.
    ASSERT_TRUE(p.until([&] { return p.heardA.size() >= 4 && heard > 0; }));
    p.loop->runOnce(0.05);
    EXPECT_EQ(heard, 1);
    EXPECT_FALSE(closing);
  });
}

TEST(RawTransportTest, PortOutlivesDownUpAndGoesInertWhenItsDeviceIsRemoved) {
  KERNEL_TEST_IN_FRESH_NETNS([] {
    Pair p;
    ASSERT_TRUE(p.warmUp());
    // Down and up again: the same socket hears frames again.
    KernelTest::sh("ip link set dev va down && ip link set dev va up");
    ASSERT_TRUE(p.sendUntilHeard(*p.b, lldpFrame('b', 2), p.heardA));
    EXPECT_TRUE(p.a->active());

    // Removed while up: the kernel wakes the port, which stops watching.
    KernelTest::sh("ip link del va");
    ASSERT_TRUE(p.until([&] { return !p.a->active(); }));
    const auto before = p.a->counters();
    p.a->send(lldpFrame('a', 3));
    EXPECT_EQ(p.a->counters().sendErrors, before.sendErrors + 1);
    EXPECT_EQ(p.a->counters().framesSent, before.framesSent);

    // The device comes back: a freshly opened port works.
    KernelTest::sh("ip link add va type veth peer name vb && ip link set dev va up && ip link set dev vb up");
    std::vector<Bytes> heardA2, heardB2;
    auto a2 = p.openOn("va", heardA2);
    auto b2 = p.openOn("vb", heardB2);
    ASSERT_TRUE(p.sendUntilHeard(*b2, lldpFrame('b', 4), heardA2));
    ASSERT_TRUE(p.sendUntilHeard(*a2, lldpFrame('a', 5), heardB2));
  });
}

TEST(RawTransportTest, SendingOnADeviceRemovedWhileDownMakesThePortInert) {
  KERNEL_TEST_IN_FRESH_NETNS([] {
    Pair p;
    // Sent on before the loop hears of the removal: the send finds out.
    KernelTest::sh("ip link set dev va down && ip link del va");
    ASSERT_TRUE(p.a->active());
    p.a->send(lldpFrame('a', 1));
    EXPECT_EQ(p.a->counters().sendErrors, 1u);
    EXPECT_FALSE(p.a->active());
  });
}

TEST(RawTransportTest, LinkFollowsTheCarrier) {
  KERNEL_TEST_IN_FRESH_NETNS([] {
    Pair p;
    ASSERT_TRUE(p.until([&] { return p.a->linkUp(); }));
    KernelTest::sh("ip link set dev vb down");  // the far end down takes the carrier away
    ASSERT_TRUE(p.until([&] { return !p.a->linkUp(); }));
    KernelTest::sh("ip link set dev vb up");
    ASSERT_TRUE(p.until([&] { return p.a->linkUp(); }));
    KernelTest::sh("ip link set dev va down");
    EXPECT_FALSE(p.a->linkUp());
  });
}

TEST(RawTransportTest, FramesTheKernelDropsForAFullSocketAreCounted) {
  KERNEL_TEST_IN_FRESH_NETNS([] {
    Pair p;
    ASSERT_TRUE(p.warmUp());
    const auto before = p.a->counters();
    // Far more than the socket holds, sent before the port reads any.
    constexpr int kBurst = 5000;
    for (int i = 0; i < kBurst; ++i) p.b->send(lldpFrame('b', 2, 1400));
    // The port reads what the socket kept, then learns what it lost.
    ASSERT_TRUE(p.until([&] { return p.a->counters().overruns > before.overruns; }));
    const auto after = p.a->counters();
    EXPECT_GT(after.framesReceived, before.framesReceived);
    EXPECT_LE(after.framesReceived - before.framesReceived + after.overruns - before.overruns, uint64_t{kBurst});
    EXPECT_EQ(p.a->statistics().overruns, after.overruns);
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
    EXPECT_EQ(p.transport->sendBatches(), batches + 3);
    EXPECT_EQ(p.transport->framesBatched(), batched + 6);
    EXPECT_EQ(c->counters().sendErrors, 1u);
    EXPECT_EQ(c->statistics().transmitDrops, 1u);
    EXPECT_EQ(c->counters().framesSent, 0u);
    EXPECT_TRUE(c->active());
    EXPECT_EQ(p.a->counters().framesSent, a.framesSent + 3);
    EXPECT_EQ(p.b->counters().framesSent, b.framesSent + 3);
    EXPECT_EQ(p.a->statistics().transmitDrops, 0u);
    ASSERT_TRUE(p.until([&] { return p.heardA.size() == 3 && p.heardB.size() == 3; }));
    for (uint8_t i = 0; i < 3; ++i) {
      EXPECT_EQ(p.heardB[i], lldpFrame('a', i + 2));
      EXPECT_EQ(p.heardA[i], lldpFrame('b', i + 2));
    }
  });
}

}  // namespace

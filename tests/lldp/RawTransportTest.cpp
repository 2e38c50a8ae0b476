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

// An LLDP frame to the nearest-bridge address from `src`, `tag` marking it,
// padded with `fill` bytes of payload.
Bytes lldpFrame(const char* src, uint8_t tag, size_t fill) {
  Bytes f = hex(std::string("0180c200000e") + src + "88cc");
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
  bool until(const std::function<bool()>& done) { return KernelTest::runUntil(*loop, done); }
};

TEST(RawTransportTest, OpeningOnAMissingDeviceNamesIt) {
  auto loop = Velto::make<Oru::EventLoop>();
  auto transport = Velto::make<RawTransport>(loop);
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

TEST(RawTransportTest, CarriesLldpFramesBetweenVethEndsAndNothingElse) {
  KERNEL_TEST_IN_FRESH_NETNS([] {
    Pair p;
    const Bytes first = lldpFrame("02000000000b", 1, 100);
    ASSERT_TRUE(p.sendUntilHeard(*p.b, first, p.heardA));
    EXPECT_EQ(p.heardA.front(), first);
    p.heardA.clear();
    p.heardB.clear();
    const auto aBefore = p.a->counters(), bBefore = p.b->counters();
    // A second port on the same device (a restarted agent while the old one
    // still holds its port) hears what arrives, not what its neighbour sends.
    std::vector<Bytes> heardA2;
    auto a2 = p.openOn("va", heardA2);

    // Short frames go out padded to the Ethernet minimum.
    const Bytes shortFrame = lldpFrame("02000000000b", 2, 3);
    ASSERT_EQ(shortFrame.size(), 18u);
    p.b->send(shortFrame);
    // Other EtherTypes, even to the LLDP address, never reach the engine.
    Bytes ipv4 = lldpFrame("02000000000b", 3, 50);
    ipv4[12] = 0x08;
    ipv4[13] = 0x00;
    p.b->send(ipv4);
    // A frame of our own is not heard back on the port that sent it.
    const Bytes fromA = lldpFrame("02000000000a", 4, 50);
    p.a->send(fromA);
    // The last frame sent shows when everything before it has arrived.
    const Bytes marker = lldpFrame("02000000000b", 5, 50);
    p.b->send(marker);
    ASSERT_TRUE(p.until([&] { return p.heardA.size() >= 2 && heardA2.size() >= 2 && !p.heardB.empty(); }));

    Bytes padded = shortFrame;
    padded.resize(60, 0);
    EXPECT_EQ(p.heardA, (std::vector<Bytes>{padded, marker}));
    EXPECT_EQ(heardA2, p.heardA);
    EXPECT_EQ(p.heardB, std::vector<Bytes>{fromA});
    EXPECT_EQ(p.b->counters().framesSent, bBefore.framesSent + 3);
    EXPECT_EQ(p.b->counters().sendErrors, 0u);
    EXPECT_EQ(p.b->counters().framesReceived, bBefore.framesReceived + 1);
    EXPECT_EQ(p.a->counters().framesSent, aBefore.framesSent + 1);
    EXPECT_EQ(p.a->counters().framesReceived, aBefore.framesReceived + 2);  // all but the IPv4 frame
    EXPECT_TRUE(p.a->active());
    EXPECT_EQ(p.a->ifIndex(), static_cast<int>(if_nametoindex("va")));
  });
}

// The kernel's filter keeps everything but LLDP frames to the nearest-bridge
// address off the port, tagged or not; the engine never pays for the rest.
TEST(RawTransportTest, OnlyLldpFramesToTheNearestBridgeAddressReachThePort) {
  KERNEL_TEST_IN_FRESH_NETNS([] {
    Pair p;
    ASSERT_TRUE(p.sendUntilHeard(*p.b, lldpFrame("02000000000b", 1, 50), p.heardA));
    p.heardA.clear();
    struct Case {
      const char* name;
      Bytes frame;
      bool heard;
    };
    auto padded = [](Bytes f) {
      f.resize(64, 0xab);
      return f;
    };
    const std::vector<Case> cases{
        {"LLDP to the nearest bridge", padded(hex("0180c200000e 02000000000b 88cc 02")), true},
        {"LLDP to the nearest non-TPMR bridge", padded(hex("0180c2000003 02000000000b 88cc 03")), false},
        {"LLDP to the nearest customer bridge", padded(hex("0180c2000000 02000000000b 88cc 04")), false},
        {"LLDP to another station", padded(hex("020000000077 02000000000b 88cc 05")), false},
        {"LLDP to the nearest bridge, 802.1Q tag of VLAN 100", padded(hex("0180c200000e 02000000000b 8100 0064 88cc 06")),
         true},
        {"IPv4 to the nearest bridge", padded(hex("0180c200000e 02000000000b 0800 07")), false},
        {"IPv4 behind a tag", padded(hex("0180c200000e 02000000000b 8100 0064 0800 08")), false},
    };
    std::vector<Bytes> expected;
    for (const auto& c : cases) {
      p.b->send(c.frame);
      if (c.heard) expected.push_back(c.frame);
    }
    const Bytes marker = lldpFrame("02000000000b", 9, 50);
    p.b->send(marker);
    expected.push_back(marker);
    ASSERT_TRUE(p.until([&] { return p.heardA.size() >= expected.size(); }));
    p.loop->runOnce(0.05);  // anything that should not be there has come too
    EXPECT_EQ(p.heardA, expected);
    EXPECT_EQ(p.a->counters().framesTagged, 1u);
  });
}

TEST(RawTransportTest, TaggedFrameReachesTheReceiverWithItsTag) {
  KERNEL_TEST_IN_FRESH_NETNS([] {
    Pair p;
    ASSERT_TRUE(p.sendUntilHeard(*p.b, lldpFrame("02000000000b", 1, 50), p.heardA));
    p.heardA.clear();
    // The kernel takes the 802.1Q tag off before the socket sees the frame;
    // the receiver must still get the frame as it was on the wire.
    Bytes tagged = hex("0180c200000e 02000000000b"
                       "8100 2064"  // 802.1Q tag: priority 1, VLAN 100
                       "88cc 06");
    tagged.resize(64, 0xab);
    p.b->send(tagged);
    const Bytes marker = lldpFrame("02000000000b", 5, 50);
    p.b->send(marker);
    ASSERT_TRUE(p.until([&] { return p.heardA.size() >= 2; }));
    EXPECT_EQ(p.heardA, (std::vector<Bytes>{tagged, marker}));
  });
}

TEST(RawTransportTest, ReleasingThePortFromItsReceiverStopsDelivery) {
  KERNEL_TEST_IN_FRESH_NETNS([] {
    Pair p;
    ASSERT_TRUE(p.sendUntilHeard(*p.b, lldpFrame("02000000000b", 1, 50), p.heardA));
    // A receiver that closes its own port on the first frame of a burst.
    int heard = 0;
    Velto::Ptr<Lldp::Transport::Port> closing;
    closing = p.transport->open(IntfId("Ethernet2"), "va", [&](std::span<const uint8_t>) {
      ++heard;
      closing = nullptr;
    });
    for (uint8_t tag = 2; tag < 6; ++tag) p.b->send(lldpFrame("02000000000b", tag, 50));
    // Each port's ring hands its frames over on its own schedule.
    ASSERT_TRUE(p.until([&] { return p.heardA.size() == 5 && heard > 0; }));
    p.loop->runOnce(0.05);
    EXPECT_EQ(heard, 1);
    EXPECT_FALSE(closing);
  });
}

TEST(RawTransportTest, PortOutlivesDownUpAndGoesInertWhenItsDeviceIsRemoved) {
  KERNEL_TEST_IN_FRESH_NETNS([] {
    Pair p;
    ASSERT_TRUE(p.sendUntilHeard(*p.b, lldpFrame("02000000000b", 1, 50), p.heardA));

    // Down and up again: the same socket hears frames again.
    KernelTest::sh("ip link set dev va down && ip link set dev va up");
    p.heardA.clear();
    ASSERT_TRUE(p.sendUntilHeard(*p.b, lldpFrame("02000000000b", 2, 50), p.heardA));
    EXPECT_TRUE(p.a->active());

    // Removed while up: the kernel wakes the port, which stops watching.
    KernelTest::sh("ip link del va");
    ASSERT_TRUE(p.until([&] { return !p.a->active(); }));
    const auto before = p.a->counters();
    p.a->send(lldpFrame("02000000000a", 3, 50));
    EXPECT_EQ(p.a->counters().sendErrors, before.sendErrors + 1);
    EXPECT_EQ(p.a->counters().framesSent, before.framesSent);

    // The device comes back: a freshly opened port works.
    KernelTest::sh("ip link add va type veth peer name vb && ip link set dev va up && ip link set dev vb up");
    std::vector<Bytes> heardA2, heardB2;
    auto a2 = p.openOn("va", heardA2);
    auto b2 = p.openOn("vb", heardB2);
    ASSERT_TRUE(p.sendUntilHeard(*b2, lldpFrame("02000000000b", 4, 50), heardA2));
    ASSERT_TRUE(p.sendUntilHeard(*a2, lldpFrame("02000000000a", 5, 50), heardB2));
    EXPECT_TRUE(a2->active());
  });
}

TEST(RawTransportTest, LinkFollowsTheCarrier) {
  KERNEL_TEST_IN_FRESH_NETNS([] {
    Pair p;
    ASSERT_TRUE(p.until([&] { return p.a->linkUp(); }));
    // The far end down takes the carrier away.
    KernelTest::sh("ip link set dev vb down");
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
    ASSERT_TRUE(p.sendUntilHeard(*p.b, lldpFrame("02000000000b", 1, 50), p.heardA));
    const auto before = p.a->counters();
    // Far more than the socket holds, sent before the port reads any.
    constexpr int kBurst = 5000;
    for (int i = 0; i < kBurst; ++i) p.b->send(lldpFrame("02000000000b", 2, 1400));
    // The port reads what the socket kept, then learns what it lost.
    ASSERT_TRUE(p.until([&] { return p.a->counters().overruns > before.overruns; }));
    const auto after = p.a->counters();
    EXPECT_GT(after.framesReceived, before.framesReceived);
    EXPECT_LE(after.framesReceived - before.framesReceived + after.overruns - before.overruns, uint64_t{kBurst});
    EXPECT_EQ(p.a->statistics().overruns, after.overruns);
  });
}

TEST(RawTransportTest, FramesSentInOneTurnReachTheKernelInOneCall) {
  KERNEL_TEST_IN_FRESH_NETNS([] {
    Pair p;
    ASSERT_TRUE(p.sendUntilHeard(*p.b, lldpFrame("02000000000b", 1, 50), p.heardA));
    ASSERT_TRUE(p.sendUntilHeard(*p.a, lldpFrame("02000000000a", 1, 50), p.heardB));
    p.heardA.clear();
    p.heardB.clear();
    const auto batches = p.transport->sendBatches();
    const auto batched = p.transport->framesBatched();
    // Both ports send while the loop runs one turn's timers.
    p.loop->post([&] {
      for (uint8_t tag = 2; tag < 5; ++tag) {
        p.a->send(lldpFrame("02000000000a", tag, 50));
        p.b->send(lldpFrame("02000000000b", tag, 50));
      }
      // Nothing leaves before the turn ends.
      EXPECT_EQ(p.transport->sendBatches(), batches);
    });
    p.loop->runOnce(0);
    EXPECT_EQ(p.transport->sendBatches(), batches + 1);
    EXPECT_EQ(p.transport->framesBatched(), batched + 6);
    ASSERT_TRUE(p.until([&] { return p.heardA.size() == 3 && p.heardB.size() == 3; }));
    for (uint8_t i = 0; i < 3; ++i) {
      EXPECT_EQ(p.heardB[i], lldpFrame("02000000000a", i + 2, 50));
      EXPECT_EQ(p.heardA[i], lldpFrame("02000000000b", i + 2, 50));
    }
  });
}

TEST(RawTransportTest, AFrameADeviceRefusesIsCountedOnItsPortAndTheRestGoOut) {
  KERNEL_TEST_IN_FRESH_NETNS([] {
    Pair p;
    ASSERT_TRUE(p.sendUntilHeard(*p.b, lldpFrame("02000000000b", 1, 50), p.heardA));
    ASSERT_TRUE(p.sendUntilHeard(*p.a, lldpFrame("02000000000a", 1, 50), p.heardB));
    // A third device, down: the kernel refuses its frames.
    KernelTest::sh("ip link add vc type veth peer name vd");
    std::vector<Bytes> heardC;
    auto c = p.openOn("vc", heardC);
    const auto a = p.a->counters(), b = p.b->counters();
    p.loop->post([&] {
      p.a->send(lldpFrame("02000000000a", 2, 50));
      c->send(lldpFrame("02000000000c", 2, 50));
      p.b->send(lldpFrame("02000000000b", 2, 50));
    });
    p.loop->runOnce(0);
    EXPECT_EQ(c->counters().sendErrors, 1u);
    EXPECT_EQ(c->statistics().transmitDrops, 1u);
    EXPECT_EQ(c->counters().framesSent, 0u);
    EXPECT_TRUE(c->active());
    EXPECT_EQ(p.a->counters().framesSent, a.framesSent + 1);
    EXPECT_EQ(p.b->counters().framesSent, b.framesSent + 1);
    EXPECT_EQ(p.a->statistics().transmitDrops, a.sendErrors);
  });
}

TEST(RawTransportTest, SendingOnADeviceRemovedWhileDownMakesThePortInert) {
  KERNEL_TEST_IN_FRESH_NETNS([] {
    Pair p;
    // Sent on before the loop hears of the removal: the send finds out.
    KernelTest::sh("ip link set dev va down && ip link del va");
    ASSERT_TRUE(p.a->active());
    p.a->send(lldpFrame("02000000000a", 1, 50));
    EXPECT_EQ(p.a->counters().sendErrors, 1u);
    EXPECT_FALSE(p.a->active());
  });
}

}  // namespace

#include "lldp/Codec.h"
#include "tests/lldp/EngineFixture.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace {

using namespace LldpTest;
using Lldp::VornTlv;

const VornTlv kTlv1{1, Vorn::Role::member, 2, 0, VornTlv::lodestoreConnectedFlag};

TEST(ProtocolSmTest, RemoteSystemCarriesTheSendersIdentityTlvAndRefreshTime) {
  Group g;
  g.cable(et1, et3);
  g.sw1.vornTlvTxIs(et1, kTlv1);
  g.runUntil(0.25);  // frames sent at 0, 0.1, 0.2 arrive 1 ms later

  auto rs = g.sw2.remote(et3);
  ASSERT_TRUE(rs);
  EXPECT_EQ(rs->index(), 1);
  EXPECT_EQ(rs->chassisIdSubtype(), Lldp::ChassisIdSubtype::macAddress);
  EXPECT_EQ(rs->chassisId(), g.sw1.localSystem->chassisId());
  EXPECT_EQ(rs->portIdSubtype(), Lldp::PortIdSubtype::interfaceName);
  EXPECT_EQ(rs->portId().bytes(), "Ethernet1");
  EXPECT_EQ(rs->ttl(), 1);  // 300 ms rounded up to whole seconds
  EXPECT_EQ(rs->vornTlv(), Zem::Optional<VornTlv>(kTlv1));
  EXPECT_NEAR(rs->lastRefreshTime(), 0.201, 1e-9);
  // The other direction: sw2 sends no Vorn TLV, and nothing is heard on
  // ports without a cable.
  auto back = g.sw1.remote(et1);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->portId().bytes(), "Ethernet3");
  EXPECT_FALSE(back->vornTlv());
  EXPECT_FALSE(g.sw1.remote(et2));
}

// An unchanged frame publishes its refresh time only (the statistics test
// counts those); a changed one its change, then the refresh time, so that
// whoever watches the time sees the frame whole.
TEST(ProtocolSmTest, RefreshPublishesWhatChangedThenTheRefreshTime) {
  Group g;
  g.cable(et1, et1);
  g.runUntil(0.25);
  auto rs = g.sw2.remote(et1);
  ASSERT_TRUE(rs);
  std::vector<std::string> seen;
  auto reactor = rs->subscribe([&](const Zem::Change& c) {
    seen.push_back(c.attr->name);
    if (c.is(Lldp::RemoteSystem::lastRefreshTimeAttr)) {
      EXPECT_EQ(rs->lastRefreshTime(), g.clock->now());
    }
  });
  g.sw1.vornTlvTxIs(et1, kTlv1);  // goes out at once, then with the regular frame at 0.3
  g.runUntil(0.35);
  EXPECT_EQ(seen, (std::vector<std::string>{"vornTlv", "lastRefreshTime", "lastRefreshTime"}));
}

TEST(ProtocolSmTest, AgesOutExactlyAtTheHoldTime) {
  struct Case {
    const char* name;
    bool inMs;
    uint32_t interval, hold;
    uint16_t ttl;
    Velto::Duration age;
  };
  for (const auto& c : {Case{"sub-second hold time", true, 100, 300, 1, 0.3},
                        Case{"hold time above a second", true, 100, 1200, 2, 1.2},
                        Case{"times in seconds", false, 1, 3, 3, 3.0}}) {
    SCOPED_TRACE(c.name);
    Group g;
    g.sw1.config->isMessageTxTimeInMsIs(c.inMs);
    g.sw1.config->messageTxIntervalIs(c.interval);
    g.sw1.config->messageTxHoldTimeIs(c.hold);
    g.cable(et1, et1);
    g.runUntil(5.05);
    auto rs = g.sw2.remote(et1);
    ASSERT_TRUE(rs);
    EXPECT_EQ(rs->ttl(), c.ttl);
    Velto::Duration goneAt = -1;
    auto reactor = g.sw2.port(et1)->subscribe([&](const Zem::Change& ch) {
      if (ch.is(Lldp::PortStatus::remoteSystemAttr) && !ch.nested()) goneAt = g.clock->now();
    });
    g.wire->cut(Group::end(g.sw1, et1));
    const auto before = counts(g.sw2, et1);
    const Velto::Duration last = rs->lastRefreshTime();
    g.runUntil(last + c.age - 1e-6);
    EXPECT_TRUE(g.sw2.remote(et1));
    g.runUntil(last + c.age + 1);
    EXPECT_FALSE(g.sw2.remote(et1));
    EXPECT_EQ(goneAt, last + c.age);
    const auto delta = counts(g.sw2, et1) - before;
    EXPECT_EQ(delta, (Counts{.out = delta.out, .ageouts = 1, .deletes = 1, .tableAgeouts = 1}));
  }
}

// A port taken out of LLDP says goodbye, and sends again only after the
// re-initialisation delay.
TEST(ProtocolSmTest, PortThatStopsSaysGoodbyeAndComesBackUnderANewIndex) {
  auto adminStatusIs = [](Lldp::AdminStatus s) {
    return [s](EngineSwitch& sw) { sw.config->portConfig(et1)->adminStatusIs(s); };
  };
  struct Case {
    const char* name;
    std::function<void(EngineSwitch&)> stop, restart;
    bool stillHears;  // the port keeps receiving
  };
  const std::vector<Case> cases{
      {"LLDP switched off", [](EngineSwitch& sw) { sw.cliConfig->enabledIs(false); },
       [](EngineSwitch& sw) { sw.cliConfig->enabledIs(true); }, false},
      {"port removed", [](EngineSwitch& sw) { sw.delPort(et1); }, [](EngineSwitch& sw) { sw.addPort(et1, 1); },
       false},
      {"port no longer desired", [](EngineSwitch& sw) { sw.root->desiredIntfDir()->intfDesiredIs(et1, false); },
       [](EngineSwitch& sw) { sw.root->desiredIntfDir()->intfDesiredIs(et1, true); }, false},
      {"admin status disabled", adminStatusIs(Lldp::AdminStatus::disabled),
       adminStatusIs(Lldp::AdminStatus::enabledRxTx), false},
      {"admin status receive only", adminStatusIs(Lldp::AdminStatus::enabledRxOnly),
       adminStatusIs(Lldp::AdminStatus::enabledTxOnly), true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Group g;
    g.cable(et1, et1);
    g.runUntil(1.05);
    ASSERT_TRUE(g.sw2.remote(et1));
    const auto before = counts(g.sw2, et1);
    c.stop(g.sw1);
    EXPECT_EQ(g.sw1.root->protocolSm()->portRunning(et1), c.stillHears);
    g.runUntil(1.05 + 0.001);  // the shutdown LLDPDU's latency, well within the hold time
    EXPECT_FALSE(g.sw2.remote(et1));
    EXPECT_EQ(counts(g.sw2, et1) - before, (Counts{.in = 1, .deletes = 1}));
    if (auto ps = g.sw1.port(et1)) {
      EXPECT_EQ(ps->remoteSystem().empty(), !c.stillHears);
    }

    c.restart(g.sw1);
    const Velto::Duration reinitDelay = g.sw1.config->reinitDelayMs() / 1000.0;
    g.runUntil(1.05 + reinitDelay - 0.01);
    EXPECT_FALSE(g.sw2.remote(et1));
    g.runUntil(1.05 + reinitDelay + 0.002);
    auto rs = g.sw2.remote(et1);
    ASSERT_TRUE(rs);
    EXPECT_EQ(rs->index(), 2);  // an index names one appearance of an MSAP, never reused
  }
}

TEST(ProtocolSmTest, LossAndCutsShowAsMissingFrames) {
  auto lost = [](uint64_t seed) {
    Group g(seed);
    g.cable(et1, et1, {0.001, 0.25});
    g.runUntil(20.05);
    const auto a = counts(g.sw1, et1), b = counts(g.sw2, et1);
    const auto& w = g.wire->counters();
    // Every frame Ethernet1 sent was carried or lost; the uncabled ports'
    // frames are dropped.
    EXPECT_EQ(a.out + b.out, w.carried + w.lost);
    EXPECT_EQ(a.in + b.in, w.carried);
    EXPECT_EQ(w.carried + w.lost + w.dropped, w.sent);
    EXPECT_EQ(a.discarded + b.discarded, 0u);
    return w.lost;
  };
  const auto lost11 = lost(11);
  EXPECT_GT(lost11, 60u);  // about a quarter of 402 frames
  EXPECT_LT(lost11, 140u);
  EXPECT_EQ(lost(11), lost11);  // the same seed loses the same frames
  EXPECT_NE(lost(12), lost11);

  Group g;
  g.cable(et1, et1);
  g.runUntil(1.05);
  g.wire->cut(Group::end(g.sw2, et1));
  g.runUntil(2);
  EXPECT_FALSE(g.sw1.remote(et1));
  EXPECT_FALSE(g.sw2.remote(et1));
  // Re-cabled to another port of sw2: heard there under that port's first index.
  g.wire->connect(Group::end(g.sw1, et1), Group::end(g.sw2, et2));
  g.runUntil(2.2);
  ASSERT_TRUE(g.sw2.remote(et2));
  EXPECT_EQ(g.sw2.remote(et2)->index(), 1);
  EXPECT_EQ(g.sw1.remote(et1)->portId().bytes(), "Ethernet2");
  EXPECT_EQ(g.sw1.remote(et1)->index(), 2);
}

TEST(ProtocolSmTest, AgentRestartKeepsTheNeighbourHeard) {
  Group g;
  g.cable(et1, et1);
  g.runUntil(1.05);
  const auto heard = g.sw2.remote(et1);
  ASSERT_TRUE(heard);
  // The restarted agent builds its engine while the old one still holds the
  // port; the old one then goes without a word.
  EngineSwitch again{"sw1", 1};
  g.context.transportIs(g.wire->transportFor("sw1"));
  again.build();
  again.addPort(et1, 1);
  g.context.transportIs(nullptr);
  g.runUntil(1.5);
  g.sw1.root = nullptr;
  g.runUntil(3);
  EXPECT_EQ(g.sw2.remote(et1), heard);  // the same remote system all along
  EXPECT_EQ(counts(g.sw2, et1).ageouts, 0u);
  ASSERT_TRUE(again.remote(et1));
  EXPECT_EQ(again.remote(et1)->portId().bytes(), "Ethernet1");

  // The agent stopping says nothing either: the neighbour ages it out.
  again.root = nullptr;
  g.runUntil(3.2);
  EXPECT_EQ(g.sw2.remote(et1), heard);
  g.runUntil(3.5);
  EXPECT_FALSE(g.sw2.remote(et1));
  EXPECT_EQ(counts(g.sw2, et1).ageouts, 1u);
}

TEST(ProtocolSmTest, DeviceDirectoryFollowsTheKernelTable) {
  Group g;
  auto dev = g.sw1.root->deviceIntfStatusDir()->device("et2");
  ASSERT_TRUE(dev);
  EXPECT_EQ(dev->intfId(), et2);
  EXPECT_EQ(dev->ifIndex(), 2);
  EXPECT_TRUE(g.sw1.localIntf->intfStatus(et2));
  g.sw1.kni->interfaceDel({2});
  EXPECT_FALSE(g.sw1.root->deviceIntfStatusDir()->device("et2"));
  EXPECT_FALSE(g.sw1.localIntf->intfStatus(et2));
  EXPECT_TRUE(g.sw1.localIntf->intfStatus(et1));
}

TEST(ProtocolSmTest, EngineWithoutTransportSendsNothing) {
  Group g(7, false);
  g.cable(et1, et1);
  g.runUntil(1);
  EXPECT_EQ(g.sw1.root->pamCollection()->pam().size(), 0u);
  EXPECT_EQ(counts(g.sw1, et1), Counts{});
  EXPECT_EQ(g.wire->counters().sent, 0u);
}

// A transport that notes when each port sends.
struct RecordingTransport : Lldp::Transport {
  struct Port : Lldp::Transport::Port {
    Port(const Kivo::IntfId& intf, const std::string& device, RecordingTransport& t)
        : Lldp::Transport::Port(intf, device), transport(t) {}
    void send(std::span<const uint8_t>) override { transport.sent.push_back({Oru::currentTime(), intf()}); }
    RecordingTransport& transport;
  };
  Velto::Ptr<Lldp::Transport::Port> open(const Kivo::IntfId& intf, const std::string& device, Receiver) override {
    return Velto::make<Port>(intf, device, *this);
  }
  std::vector<std::pair<Velto::Duration, Kivo::IntfId>> sent;
};

// A switch with many ports spreads their frames over the interval: the
// first ports start at once, the rest each at a phase of its own, and every
// port keeps its interval.
TEST(ProtocolSmTest, ManyPortsSpreadTheirFramesOverTheInterval) {
  for (const int ports : {8, 64, 256}) {
    SCOPED_TRACE(fmt::format("{} ports", ports));
    auto transport = Velto::make<RecordingTransport>();
    Solo s(transport, ports);
    s.clock->runUntil(2.0);

    std::map<Velto::Duration, int> perInstant;
    std::map<Kivo::IntfId, std::vector<Velto::Duration>> perPort;
    for (const auto& [t, intf] : transport->sent) {
      if (t >= 1.0) ++perInstant[t];
      perPort[intf].push_back(t);
    }
    ASSERT_EQ(perPort.size(), static_cast<size_t>(ports));
    size_t startedAtOnce = 0;
    for (const auto& [intf, times] : perPort) {
      SCOPED_TRACE(intf.stringValue());
      startedAtOnce += times.front() == 0;
      EXPECT_LT(times.front(), 0.1);  // within the first interval
      for (size_t i = 1; i < times.size(); ++i) EXPECT_NEAR(times[i] - times[i - 1], 0.1, 1e-9);
    }
    // The first 16 at once, and the few of the rest whose phase is 0.
    const size_t first = static_cast<size_t>(std::min(ports, 16));
    EXPECT_GE(startedAtOnce, first);
    EXPECT_LE(startedAtOnce, first + static_cast<size_t>(ports) / 20);
    int busiest = 0;
    for (const auto& [t, n] : perInstant) busiest = std::max(busiest, n);
    // The rest over 100 phases of a millisecond each.
    EXPECT_LE(busiest, 24);
    if (ports > 100) {
      EXPECT_GE(perInstant.size(), 50u);
    }
  }
}

}  // namespace

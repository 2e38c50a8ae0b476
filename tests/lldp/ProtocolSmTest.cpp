#include "lldp/Codec.h"
#include "tests/lldp/EngineFixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace {

using namespace LldpTest;

// The remote system carries the sender's identity, TLV and refresh time. An
// unchanged frame publishes its refresh time only; a changed one its change,
// then the refresh time, so that whoever watches the time sees the frame
// whole.
TEST(ProtocolSmTest, RemoteSystemCarriesTheSenderAndPublishesWhatChangedThenTheRefreshTime) {
  Group g;
  g.cable(et1, et3);
  g.sw1.vornTlvTxIs(et1, kTlv1);
  g.runUntil(0.25);  // frames sent at 0, 0.1, 0.2 arrive 1 ms later
  auto rs = g.sw2.remote(et3);
  ASSERT_TRUE(rs);
  EXPECT_EQ(std::tuple(rs->index(), rs->chassisIdSubtype(), rs->portIdSubtype(), rs->portId().bytes(), rs->ttl()),
            std::tuple(1, Lldp::ChassisIdSubtype::macAddress, Lldp::PortIdSubtype::interfaceName, "Ethernet1", 1));
  EXPECT_EQ(std::pair(rs->chassisId(), rs->vornTlv()), std::pair(g.sw1.localSystem->chassisId(), Zem::Optional(kTlv1)));
  EXPECT_NEAR(rs->lastRefreshTime(), 0.201, 1e-9);
  // sw2 sends no Vorn TLV, and nothing is heard on ports without a cable.
  ASSERT_TRUE(g.sw1.remote(et1));
  EXPECT_TRUE(g.sw1.remote(et1)->portId().bytes() == "Ethernet3" && !g.sw1.remote(et1)->vornTlv());
  EXPECT_FALSE(g.sw1.remote(et2));
  std::vector<std::string> seen;
  auto reactor = rs->subscribe([&](const Zem::Change& c) {
    seen.push_back(c.attr->name);
    EXPECT_TRUE(!c.is(Lldp::RemoteSystem::lastRefreshTimeAttr) || rs->lastRefreshTime() == g.clock->now());
  });
  g.sw1.vornTlvTxIs(et1, Zem::none);  // goes out at once, then with the regular frame at 0.3
  g.runUntil(0.35);
  EXPECT_EQ(seen, (std::vector<std::string>{"vornTlv", "lastRefreshTime", "lastRefreshTime"}));
}

// A port taken out of LLDP says goodbye, and sends again only after the
// re-initialisation delay, its neighbour hearing it under a new index.
TEST(ProtocolSmTest, PortThatStopsSaysGoodbyeAndComesBackUnderANewIndex) {
  using F = std::function<void(EngineSwitch&)>;
  auto admin = [](Lldp::AdminStatus s) { return F([s](auto& sw) { sw.config->portConfig(et1)->adminStatusIs(s); }); };
  auto enabled = [](bool on) { return F([on](auto& sw) { sw.cliConfig->enabledIs(on); }); };
  using enum Lldp::AdminStatus;
  const std::vector<std::tuple<const char*, F, F, bool>> cases{  // stop, restart, the port keeps receiving
      {"LLDP switched off", enabled(false), enabled(true), false},
      {"port removed", [](EngineSwitch& sw) { sw.delPort(et1); }, [](EngineSwitch& sw) { sw.addPort(et1, 1); }, false},
      {"admin status receive only", admin(enabledRxOnly), admin(enabledTxOnly), true},
  };
  for (const auto& [name, stop, restart, stillHears] : cases) {
    SCOPED_TRACE(name);
    Group g;
    g.cable(et1, et1);
    g.runUntil(1.05);
    ASSERT_TRUE(g.sw2.remote(et1));
    const auto before = counts(g.sw2, et1);
    stop(g.sw1);
    EXPECT_EQ(g.sw1.root->protocolSm()->portRunning(et1), stillHears);
    g.runUntil(1.051);  // the shutdown LLDPDU's latency, well within the hold time
    EXPECT_FALSE(g.sw2.remote(et1));
    EXPECT_EQ(counts(g.sw2, et1) - before, (Counts{.in = 1, .deletes = 1}));
    EXPECT_TRUE(!g.sw1.port(et1) || g.sw1.port(et1)->remoteSystem().empty() != stillHears);
    restart(g.sw1);
    const Velto::Duration reinitDelay = g.sw1.config->reinitDelayMs() / 1000.0;
    g.runUntil(1.05 + reinitDelay - 0.01);
    EXPECT_FALSE(g.sw2.remote(et1));
    g.runUntil(1.05 + reinitDelay + 0.002);
    ASSERT_TRUE(g.sw2.remote(et1));
    EXPECT_EQ(g.sw2.remote(et1)->index(), 2);  // an index names one appearance of an MSAP, never reused
  }
}

TEST(ProtocolSmTest, LossShowsAsMissingFramesTheSameForTheSameSeed) {
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
  EXPECT_TRUE(lost11 > 60u && lost11 < 140u) << lost11;  // about a quarter of 402 frames
  EXPECT_EQ(lost(11), lost11);  // the same seed loses the same frames
  EXPECT_NE(lost(12), lost11);
}

// A switch with many ports spreads their frames over the interval: the
// first ports start at once, the rest each at a phase of its own, and every
// port keeps its interval.
TEST(ProtocolSmTest, ManyPortsSpreadTheirFramesOverTheInterval) {
  Solo s(256);
  s.clock->runUntil(2.0);
  std::map<Velto::Duration, int> perInstant;  // after the first second
  std::map<Kivo::IntfId, std::vector<Velto::Duration>> perPort;
  for (const auto& [t, intf] : s.transport->sent) {
    if (t >= 1.0) ++perInstant[t];
    perPort[intf].push_back(t);
  }
  ASSERT_EQ(perPort.size(), 256u);
  size_t startedAtOnce = 0;
  for (const auto& [intf, times] : perPort) {
    startedAtOnce += times.front() == 0;
    EXPECT_LT(times.front(), 0.1) << intf.stringValue();  // within the first interval
    for (size_t i = 1; i < times.size(); ++i) EXPECT_NEAR(times[i] - times[i - 1], 0.1, 1e-9) << intf.stringValue();
  }
  // The first 16 at once, and the few of the rest whose phase is 0; the
  // rest over 100 phases of a millisecond each.
  EXPECT_TRUE(startedAtOnce >= 16 && startedAtOnce <= 16 + 256 / 20) << startedAtOnce;
  EXPECT_LE(std::max_element(perInstant.begin(), perInstant.end(), [](auto& a, auto& b) { return a.second < b.second; })
                ->second, 24);
  EXPECT_GE(perInstant.size(), 50u);
}

}  // namespace

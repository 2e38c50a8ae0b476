#include "platform/log/RateLimit.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fmt/format.h>

#include <algorithm>

#include "platform/log/VornMessages.h"
#include "platform/scheduler/Scheduler.h"
#include "platform/scheduler/SwitchContext.h"

namespace {

using Strings = std::vector<std::string>;
const auto& kMismatch = Syslog::VORN_BACKPLANE_INTF_MISMATCH;

// One message logged at a moment of the virtual clock, about `intf`.
struct Logged { double at; const Syslog::Message* message; std::string intf; };
using Log = std::vector<Logged>;

Log every(double first, double step, int count, const Syslog::Message& message, const std::string& intf) {
  Log v;
  for (int i = 0; i < count; ++i) v.push_back({first + i * step, &message, intf});
  return v;
}

Log operator+(Log a, const Log& b) { return a.insert(a.end(), b.begin(), b.end()), a; }

std::string report(double at, const std::string& message, const std::string& intf, int count) {
  return fmt::format("{:g} SYSLOG_MESSAGES_SUPPRESSED: {} for {}: {} messages suppressed (more than 5 in 10 seconds)",
                     at, message, intf, count);
}

// A limiter with the default limit (5 in 10 s) in front of a memory sink, on a virtual clock that also stamps the
// entries.
class RateLimitTest : public ::testing::Test {
 protected:
  void SetUp() override { context_.syslogClockIs([this] { return clock->now(); }), context_.syslogSinkIs(&limiter); }

  // Logs each message from a task of its own at its moment, then runs the clock to `until`.
  void run(const Log& logged, double until) {
    for (const Logged& l : logged) {
      const bool mismatch = l.message == &kMismatch;  // names the channel first
      clock->post(
          [l, mismatch] {
            Syslog::log(*l.message, {mismatch ? "Port-Channel1" : l.intf, mismatch ? l.intf : "Port-Channel1",
                                     mismatch ? "expected peer ID: 2, peer ID: 7" : "heartbeat timed out"});
          },
          l.at - clock->now());
    }
    clock->runUntil(until);
  }

  // Consecutive entries of one message about one interface collapse into one line "first-time NAME intf xN";
  // reports stay whole. Times are from `origin`.
  Strings lines(double origin) const {
    Strings out;
    std::string lastKey;
    int repeat = 0;
    for (const auto& e : sink.entries()) {
      const std::string key = fmt::format("{} {}", e.message->name, e.intf);
      if (e.message == &Syslog::SYSLOG_MESSAGES_SUPPRESSED) {
        out.push_back(fmt::format("{:g} {}", e.time - origin, e.rendered())), lastKey.clear();
      } else if (key == lastKey) {
        out.back() = fmt::format("{} x{}", out.back().substr(0, out.back().rfind(" x")), ++repeat);
      } else {
        lastKey = key, repeat = 1, out.push_back(fmt::format("{:g} {} x1", e.time - origin, key));
      }
    }
    return out;
  }

  Oru::SwitchContext context_;
  Oru::SwitchContext::Scope active_{context_};
  Velto::Ptr<Oru::VirtualScheduler> clock = Velto::make<Oru::VirtualScheduler>(0);
  Syslog::MemorySink sink;
  Syslog::RateLimitedSink limiter{clock, sink};
};

TEST_F(RateLimitTest, BurstsAreCutAndReportedWhenTheirWindowEnds) {
  const std::string mismatch = "VORN_BACKPLANE_INTF_MISMATCH", mismatch1 = mismatch + " Ethernet1";
  const struct { const char* name; Log logged; double until; Strings lines; } cases[] = {
      {"a flood: five lines, then one report at the end of the window",
       every(1, 0.001, 2000, kMismatch, "Ethernet1"),
       30,
       {"1 " + mismatch1 + " x5", report(11, mismatch, "Ethernet1", 1995)}},
      {"exactly five in a window pass unreported",
       every(0, 1, 5, kMismatch, "Ethernet1"),
       30,
       {"0 " + mismatch1 + " x5"}},
      {"interfaces are limited apart",
       every(0, 0.1, 8, kMismatch, "Ethernet1") + every(1, 0.1, 6, kMismatch, "Ethernet2") +
           every(2, 5, 2, kMismatch, "Ethernet3"),
       30,
       {"0 " + mismatch1 + " x5", "1 " + mismatch + " Ethernet2 x5", "2 " + mismatch + " Ethernet3 x2",
        report(10, mismatch, "Ethernet1", 3), report(11, mismatch, "Ethernet2", 1)}},
      {"a message at the very end of a window comes after the window's report",
       every(0, 0.1, 7, kMismatch, "Ethernet1") + every(10, 1, 1, kMismatch, "Ethernet1"),
       30,
       {"0 " + mismatch1 + " x5", report(10, mismatch, "Ethernet1", 2), "10 " + mismatch1 + " x1"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    sink.clear();
    clock->runFor(100);  // every window of the previous case is over
    const double start = clock->now();
    Log logged = c.logged;
    for (Logged& l : logged) l.at += start;
    std::stable_sort(logged.begin(), logged.end(), [](const Logged& a, const Logged& b) { return a.at < b.at; });
    run(logged, start + c.until);
    EXPECT_EQ(lines(start), c.lines);
  }
}

// A clean stop reports what is held back at once, rather than losing it, and only once.
TEST_F(RateLimitTest, ACleanStopReportsWhatIsHeldBack) {
  // Ethernet3 has exactly one message held back.
  run(every(0, 0.1, 9, kMismatch, "Ethernet1") + every(0, 0.1, 2, kMismatch, "Ethernet2") +
          every(0, 0.1, 6, kMismatch, "Ethernet3"),
      3);
  limiter.reportSuppressed();
  EXPECT_EQ(limiter.suppressedTotal(), 5u);
  clock->runFor(30);
  Strings reports;
  for (const auto& e : sink.entries()) {
    if (e.message == &Syslog::SYSLOG_MESSAGES_SUPPRESSED)
      reports.push_back(fmt::format("{:g} {}", e.time, e.rendered()));
  }
  EXPECT_THAT(reports, testing::UnorderedElementsAre(report(3, "VORN_BACKPLANE_INTF_MISMATCH", "Ethernet1", 4),
                                                     report(3, "VORN_BACKPLANE_INTF_MISMATCH", "Ethernet3", 1)));
}

}  // namespace

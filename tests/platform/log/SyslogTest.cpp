#include "platform/log/Syslog.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fmt/format.h>

#include <algorithm>

#include "platform/log/RateLimit.h"
#include "platform/log/VornMessages.h"
#include "platform/scheduler/Scheduler.h"
#include "platform/scheduler/SwitchContext.h"

namespace {

using Strings = std::vector<std::string>;
using Syslog::VORN_BACKPLANE_INTF_READY;

class SyslogTest : public ::testing::Test {
 protected:
  Oru::SwitchContext context_;
  Oru::SwitchContext::Scope active_{context_};
};

TEST_F(SyslogTest, RenderFillsPlaceholdersInOrderAndNeverFails) {
  const struct { const char* format; std::initializer_list<std::string_view> args; std::string text; } cases[] = {
      {"%s and %s", {"a"}, "a and "}, {"%s only", {"a", "b", "c"}, "a only"}, {"100%% of %s", {"x"}, "100% of x"},
      {"%s", {"50%s %%"}, "50%s %%"},  {"%d %x stay", {"x"}, "%d %x stay"},    {"trailing %", {}, "trailing %"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(Syslog::render(Syslog::Message{"TEST_MESSAGE", c.format, "", 0, 6}, c.args), c.text) << c.format;
}

// Entries go to the sink current when they are logged; a sink destroyed stops being current, and what a step held
// for it is dropped.
TEST_F(SyslogTest, EntriesGoToTheCurrentSinkOnly) {
  context_.syslogClockIs([] { return 77.0; });
  Syslog::MemorySink first;
  context_.syslogSinkIs(&first);
  Syslog::log(VORN_BACKPLANE_INTF_READY, {"Ethernet1", "Fabric1"});
  context_.syslogSinkIs(std::make_unique<Syslog::MemorySink>().get());  // destroyed at once
  EXPECT_EQ(Syslog::sink(), nullptr);
  Syslog::log(VORN_BACKPLANE_INTF_READY, {"Ethernet3", "Fabric1"});
  ASSERT_EQ(first.entries().size(), 1u);
  EXPECT_EQ(std::pair(first.entries()[0].text, first.entries()[0].time),
            std::pair(std::string("Switching Ethernet1 in Fabric1 to backplane mode"), 77.0));

  auto clock = Velto::make<Oru::VirtualScheduler>(0);
  auto held = std::make_unique<Syslog::MemorySink>();
  first.clear();
  clock->post([&] {
    context_.syslogSinkIs(held.get());
    Syslog::log(VORN_BACKPLANE_INTF_READY, {"Ethernet4", "Port-Channel1"});
    context_.syslogSinkIs(&first);
    Syslog::log(VORN_BACKPLANE_INTF_READY, {"Ethernet5", "Port-Channel1"});
    held.reset();
  });
  clock->runReady();
  EXPECT_THAT(first.entries(), testing::ElementsAre(testing::Field(
                                   &Syslog::Entry::text, "Switching Ethernet5 in Port-Channel1 to backplane mode")));
}

// A handler logs its outcome just before it records it: what a step logs reaches the sink only when the step ends,
// after the BeforeDelivery hooks, stamped with the time it was logged at and in the order of logging.
TEST_F(SyslogTest, AStepsEntriesReachTheSinkWhenItEndsAfterTheHooks) {
  auto clock = Velto::make<Oru::VirtualScheduler>(0);
  context_.syslogClockIs([&] { return clock->now(); });
  Strings seen;
  Syslog::CallbackSink sink(
      [&](const Syslog::Entry& e) { seen.push_back(fmt::format("{} {}", e.time, e.rendered())); });
  context_.syslogSinkIs(&sink);
  Syslog::BeforeDelivery hook([&] { seen.push_back("hook"); });
  clock->post([&] {
    Syslog::log(VORN_BACKPLANE_INTF_READY, {"Ethernet1", "Port-Channel1"});
    Syslog::log(Syslog::VORN_BACKPLANE_INTF_ERROR, {"Ethernet2", "Port-Channel1", "heartbeat timed out"});
    seen.push_back("end of step");
  }, 5.0);
  clock->post([&] { seen.push_back("next step"); }, 5.0);
  clock->runFor(10);
  // Outside a step (start-up, a test calling a handler) there is nothing to wait for.
  Syslog::log(VORN_BACKPLANE_INTF_READY, {"Ethernet3", "Port-Channel1"});
  EXPECT_EQ(
      seen,
      (Strings{
          "end of step", "hook", "5 VORN_BACKPLANE_INTF_READY: Switching Ethernet1 in Port-Channel1 to backplane mode",
          "5 VORN_BACKPLANE_INTF_ERROR: Switching Ethernet2 in Port-Channel1 to Ethernet mode (heartbeat timed out)",
          "next step", "10 VORN_BACKPLANE_INTF_READY: Switching Ethernet3 in Port-Channel1 to backplane mode"}));
}

// The rate limit counts per message and interface: each entry carries the argument its message names as the
// interface.
TEST_F(SyslogTest, EntriesCarryTheInterfaceTheirMessageIsAbout) {
  const Syslog::Message noIntf{"TEST_MESSAGE", "%s", "", 0, 6}, thirdArg{"TEST_MESSAGE", "%s %s %s", "", 0, 6, 2};
  using Args = std::initializer_list<std::string_view>;
  const struct { const Syslog::Message* message; Args args; std::string intf; } cases[] = {
      {&Syslog::VORN_BACKPLANE_INTF_MISMATCH, {"Port-Channel1", "Ethernet1", "peer ID: 3"}, "Ethernet1"},
      {&Syslog::VORN_BACKPLANE_INTF_ERROR, {"Ethernet2", "Port-Channel1", "negotiation timed out"}, "Ethernet2"},
      {&noIntf, {"Ethernet4"}, ""},
      {&thirdArg, {"a", "b"}, ""},  // the argument is missing
  };
  for (const auto& c : cases) EXPECT_EQ(Syslog::makeEntry(*c.message, c.args).intf, c.intf) << c.message->format;
}

}  // namespace

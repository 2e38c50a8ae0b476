#include "platform/events/Events.h"

#include "platform/log/Syslog.h"
#include "platform/scheduler/SwitchContext.h"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Events::Event;
using Events::Kind;

Event linkEvent(double t, std::string intf, std::string to) {
  return {t, "sw1", Kind::linkState, std::move(intf), {{"from", "ethLinkDown"}, {"to", std::move(to)}}};
}

TEST(EventsTest, JsonReadsBackWhatItWrites) {
  const std::vector<Event> events = {
      linkEvent(12.5, "Ethernet7", "higigConfirmed"),
      {0, "2", Kind::stateDatabase, "", {{"connected", "false"}}},
      // Names heard on the wire may hold anything JSON must escape.
      {1e9, "sw\"1", Kind::neighborAdded, "Ethernet1", {{"systemName", "a\"b\\c\n<d>"}, {"ttl", "120"}}},
  };
  for (const auto& e : events) {
    SCOPED_TRACE(Events::toJson(e));
    const auto back = Events::fromJson(Events::toJson(e));
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(*back, e);
  }
  EXPECT_EQ(Events::toJson(events[1]), R"({"time":0.0,"switch":"2","type":"stateDatabase","connected":"false"})");
}

TEST(EventsTest, BytesThatAreNotUtf8DoNotStopTheStream) {
  const Event e{1, "sw1", Kind::neighborAdded, "Ethernet1", {{"systemName", std::string("ab\xff\xfe", 4)}}};
  const auto back = Events::fromJson(Events::toJson(e));
  ASSERT_TRUE(back.has_value());
  EXPECT_EQ(back->field("systemName")->substr(0, 2), "ab");
}

TEST(EventsTest, ReadingRefusesWhatIsNoEvent) {
  const struct {
    const char* line;
    const char* error;
  } cases[] = {
      {"[1,2]", "not a JSON object"},
      {"{\"time\":", "not a JSON object"},
      {R"({"switch":"1","type":"linkState"})", "\"time\" is missing or not a number"},
      {R"({"time":"1","switch":"1","type":"linkState"})", "\"time\" is missing or not a number"},
      {R"({"time":1,"type":"linkState"})", "\"switch\" is missing or not a string"},
      {R"({"time":1,"switch":"1","type":"bogus"})", "unknown type \"bogus\""},
      {R"({"time":1,"switch":"1","type":"linkState","intf":3})", "\"intf\" is not a string"},
      {R"({"time":1,"switch":"1","type":"linkState","to":{}})", "field \"to\" is not a string"},
  };
  for (const auto& c : cases) {
    std::string error;
    EXPECT_FALSE(Events::fromJson(c.line, &error).has_value()) << c.line;
    EXPECT_EQ(error, c.error) << c.line;
  }
}

TEST(EventsTest, KindNamesReadBack) {
  for (int k = 0; k <= static_cast<int>(Kind::scenario); ++k) {
    const auto kind = static_cast<Kind>(k);
    EXPECT_EQ(Events::kindNamed(Events::kindName(kind)), kind) << Events::kindName(kind);
  }
  EXPECT_FALSE(Events::kindNamed("unknown").has_value());
}

TEST(EventsTest, HistoryKeepsTheNewestOfEachInterface) {
  Events::History history;
  for (int i = 0; i < 70; ++i) history.add(linkEvent(i, "Ethernet1", fmt::format("s{}", i)));
  history.add(linkEvent(100, "Ethernet2", "higigPending"));
  history.add({101, "sw1", Kind::stateDatabase, "", {{"connected", "true"}}});

  const auto kept = history.of("Ethernet1");
  ASSERT_EQ(kept.size(), Events::History::depth);
  EXPECT_EQ(kept.front().time, 70 - Events::History::depth);
  EXPECT_EQ(kept.back().time, 69);
  EXPECT_EQ(history.interfaces(), (std::vector<std::string>{"Ethernet1", "Ethernet2"}));
  EXPECT_TRUE(history.of("Ethernet9").empty());

  history.add({102, "sw1", Kind::syslog, "Ethernet2", {{"name", "X"}}});
  ASSERT_NE(history.last("Ethernet2", Kind::linkState), nullptr);
  EXPECT_EQ(*history.last("Ethernet2", Kind::linkState)->field("to"), "higigPending");
  EXPECT_EQ(history.last("Ethernet2", Kind::fabricMode), nullptr);
}

TEST(EventsTest, SubscribersMayLeaveWhileAnEventIsHandedOut) {
  Events::Recorder recorder("sw1");
  std::vector<std::string> calls;
  int second = 0;
  int late = 0;
  const int first = recorder.subscribe([&](const Event& e) {
    calls.push_back("first " + *e.field("to"));
    recorder.unsubscribe(second);  // the next one in line
    if (late == 0) late = recorder.subscribe([&](const Event& e2) { calls.push_back("late " + *e2.field("to")); });
  });
  second = recorder.subscribe([&](const Event&) { calls.push_back("second"); });
  recorder.subscribe([&](const Event& e) {
    calls.push_back("third " + *e.field("to"));
    recorder.unsubscribe(first);
  });

  recorder.take(linkEvent(1, "Ethernet1", "a"));
  recorder.take(linkEvent(2, "Ethernet1", "b"));
  EXPECT_EQ(calls, (std::vector<std::string>{"first a", "third a", "third b", "late b"}));
  EXPECT_EQ(recorder.history().of("Ethernet1").size(), 2u);
}

TEST(EventsTest, EmitStampsTheSwitchAndItsClockAndOnlyWithASink) {
  Oru::SwitchContext context;
  Oru::SwitchContext::Scope active(context);
  context.syslogClockIs([] { return 42.0; });
  EXPECT_FALSE(Events::enabled());
  Events::emit(Kind::stateDatabase, "", {{"connected", "true"}});  // goes nowhere

  Events::Recorder recorder("sw3");
  std::vector<Event> seen;
  recorder.subscribe([&](const Event& e) { seen.push_back(e); });
  context.eventSinkIs(&recorder);
  ASSERT_TRUE(Events::enabled());
  Events::emit(Kind::fabricMode, "Ethernet4", {{"from", "ethernet"}, {"to", "higig"}});
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0], (Event{42.0, "sw3", Kind::fabricMode, "Ethernet4", {{"from", "ethernet"}, {"to", "higig"}}}));
  context.eventSinkIs(nullptr);
}

// A message the system log holds back is not written, so no event says it was.
TEST(EventsTest, SystemLogMessagesAreEventsWhenWritten) {
  static const Syslog::Message kMessage{"TEST_EVENTS_MESSAGE", "link %s lost", "", 1, 4, 0};
  struct Gate : Syslog::MemorySink {
    bool open = true;
    bool admit(const Syslog::Entry&) override { return open; }
  } sink;
  Oru::SwitchContext context;
  Oru::SwitchContext::Scope active(context);
  Events::Recorder recorder("sw1");
  context.eventSinkIs(&recorder);
  context.syslogSinkIs(&sink);

  Syslog::log(kMessage, {"Ethernet1"});
  sink.open = false;
  Syslog::log(kMessage, {"Ethernet1"});
  context.syslogSinkIs(nullptr);  // events alone still see messages
  Syslog::log(kMessage, {"Ethernet2"});

  const auto one = recorder.history().of("Ethernet1");
  ASSERT_EQ(one.size(), 1u);
  EXPECT_EQ(one[0].kind, Kind::syslog);
  EXPECT_EQ(*one[0].field("name"), "TEST_EVENTS_MESSAGE");
  EXPECT_EQ(*one[0].field("severity"), "4");
  EXPECT_EQ(*one[0].field("text"), "link Ethernet1 lost");
  EXPECT_EQ(recorder.history().of("Ethernet2").size(), 1u);
  EXPECT_EQ(sink.entries().size(), 1u);
  context.eventSinkIs(nullptr);
}

}  // namespace

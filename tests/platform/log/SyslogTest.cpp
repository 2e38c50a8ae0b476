#include "platform/log/Syslog.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/log/VornMessages.h"

namespace {

class SyslogTest : public ::testing::Test {
 protected:
  void TearDown() override {
    Syslog::sinkIs(nullptr);
    Syslog::clockIs(nullptr);
  }
};

TEST_F(SyslogTest, RenderFillsPlaceholdersInOrderAndNeverFails) {
  struct Case {
    const char* format;
    std::initializer_list<std::string_view> args;
    std::string text;
  };
  const Case cases[] = {
      {"%s and %s", {"a", "b"}, "a and b"},
      {"%s and %s", {"a"}, "a and "},
      {"%s and %s", {}, " and "},
      {"%s only", {"a", "b", "c"}, "a only"},
      {"100%% of %s", {"x"}, "100% of x"},
      {"%%s is literal", {"x"}, "%s is literal"},
      {"%s", {"50%s %%"}, "50%s %%"},
      {"%d %x stay", {"x"}, "%d %x stay"},
      {"trailing %", {}, "trailing %"},
      {"", {"x"}, ""},
  };
  for (const Case& c : cases) {
    const Syslog::Message message{"TEST_MESSAGE", c.format, "", 0, 6};
    EXPECT_EQ(Syslog::render(message, c.args), c.text) << "format \"" << c.format << "\"";
  }
}

TEST_F(SyslogTest, EntriesGoToTheCurrentSink) {
  Syslog::clockIs([] { return 77.0; });
  Syslog::MemorySink first;
  Syslog::MemorySink second;
  std::vector<std::string> called;
  Syslog::CallbackSink callback([&](const Syslog::Entry& e) { called.push_back(e.text); });

  Syslog::sinkIs(&first);
  Syslog::log(Syslog::VORN_BACKPLANE_INTF_READY, {"Ethernet1", "Fabric1"});
  Syslog::sinkIs(&second);
  Syslog::log(Syslog::VORN_BACKPLANE_INTF_READY, {"Ethernet2", "Fabric1"});
  Syslog::sinkIs(&callback);
  Syslog::log(Syslog::VORN_BACKPLANE_INTF_READY, {"Ethernet3", "Fabric1"});
  Syslog::sinkIs(nullptr);
  Syslog::log(Syslog::VORN_BACKPLANE_INTF_READY, {"Ethernet4", "Fabric1"});

  ASSERT_EQ(first.entries().size(), 1u);
  EXPECT_EQ(first.entries()[0].text, "Switching Ethernet1 in Fabric1 to backplane mode");
  EXPECT_EQ(first.entries()[0].time, 77.0);
  ASSERT_EQ(second.entries().size(), 1u);
  EXPECT_EQ(second.entries()[0].text, "Switching Ethernet2 in Fabric1 to backplane mode");
  EXPECT_EQ(called, std::vector<std::string>{"Switching Ethernet3 in Fabric1 to backplane mode"});

  first.clear();
  EXPECT_TRUE(first.entries().empty());
}

TEST_F(SyslogTest, DestroyedSinkStopsBeingCurrent) {
  {
    Syslog::MemorySink sink;
    Syslog::sinkIs(&sink);
  }
  EXPECT_EQ(Syslog::sink(), nullptr);
  Syslog::log(Syslog::VORN_BACKPLANE_INTF_READY, {"Ethernet1", "Fabric1"});
}

TEST_F(SyslogTest, AgentMessagesAreRegisteredOnceWithTheirCodes) {
  struct Case {
    const Syslog::Message* message;
    std::string_view name;
    std::string_view explanation;
    int code;
    int severity;
  };
  const Case cases[] = {
      {&Syslog::VORN_BACKPLANE_INTF_MISMATCH, "VORN_BACKPLANE_INTF_MISMATCH",
       "A member interface is connected to a peer with an unexpected member ID", 2, 3},
      {&Syslog::VORN_BACKPLANE_INTF_ERROR, "VORN_BACKPLANE_INTF_ERROR",
       "A member interface has timed out and is switching to Ethernet mode.", 2, 3},
      {&Syslog::VORN_BACKPLANE_INTF_READY, "VORN_BACKPLANE_INTF_READY",
       "A member interface has successfully negotiated into backplane mode.", 1, 6},
  };
  Syslog::registerMessage(Syslog::VORN_BACKPLANE_INTF_READY);  // again: still listed once
  const auto& registered = Syslog::registeredMessages();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(std::count(registered.begin(), registered.end(), c.message), 1);
    EXPECT_EQ(c.message->name, c.name);
    EXPECT_EQ(c.message->explanation, c.explanation);
    EXPECT_EQ(c.message->code, c.code);
    EXPECT_EQ(c.message->severity, c.severity);
  }
}

}  // namespace

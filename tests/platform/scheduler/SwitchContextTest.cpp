#include "platform/scheduler/SwitchContext.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fmt/format.h>

#include <filesystem>
#include <fstream>
#include <unistd.h>

#include "lldp/Transport.h"
#include "platform/kernel/InterfaceSource.h"
#include "platform/log/Syslog.h"
#include "platform/scheduler/Scheduler.h"
#include "platform/toggles/Toggles.h"
#include "platform/trace/Ringlog.h"
#include "platform/vorn/Group.h"
#include "platform/vorn/VornMemberFileMgrSm.h"

namespace {

namespace fs = std::filesystem;
using Strings = std::vector<std::string>;
const Ringlog::Handle traceHandle{"SwitchContextTest"};
const Syslog::Message kSeen{"CONTEXT_TEST_SEEN", "seen by %s", "", 0, 6};

struct NoPorts : Lldp::Transport {
  Velto::Ptr<Port> open(const Kivo::IntfId&, const std::string&, Receiver) override { return nullptr; }
};

// Everything one switch of the test owns, and its context naming it all.
struct Switch {
  Switch(const fs::path& dir, const std::string& name, Vorn::SwitchIdentity identity, bool toggle,
         Oru::TaskScheduler* scheduler)
      : name(name), trace(Ringlog::File::open((dir / (name + ".rl")).string())) {
    const fs::path toggles = dir / (name + "-toggles");
    fs::create_directories(toggles);
    std::ofstream(toggles / "VornCore.json") << fmt::format(R"({{"Probe": {}}})", toggle);
    context.schedulerIs(scheduler), context.identityIs(identity), context.transportIs(transport);
    context.interfaceSourceIs(source), context.traceFileIs(trace.get()), context.syslogSinkIs(&log);
    context.toggles().directoryIs(toggles.string()), context.flashRootIs((dir / (name + "-flash")).string());
  }

  // What the code of a task reads through the platform's accessors.
  std::string seen() const {
    const auto role = Vorn::role();
    auto own = [](bool b) { return b ? "own" : "other"; };
    return fmt::format("role={} member={} transport={} source={} toggle={} flash={} scheduler={}",
                       role ? Vorn::stringValue(*role) : "none", Vorn::memberId().value(),
                       own(Lldp::currentTransport().get() == transport.get()),
                       own(KernelNetInfo::currentSource().get() == source.get()),
                       Toggles::getToggleState("Probe", "VornCore.json", false),
                       own(Vorn::VornMemberFileMgrSm::flashRoot() == context.flashRoot()),
                       own(Oru::currentScheduler() == context.scheduler()));
  }

  std::string name;
  Velto::Ptr<NoPorts> transport = Velto::make<NoPorts>();
  Velto::Ptr<KernelNetInfo::SimInterfaceSource> source = Velto::make<KernelNetInfo::SimInterfaceSource>();
  std::unique_ptr<Ringlog::File> trace;
  Syslog::MemorySink log;
  Oru::SwitchContext context;
};

class SwitchContextTest : public ::testing::Test {
 protected:
  SwitchContextTest() { fs::create_directories(dir_); }
  ~SwitchContextTest() override {
    std::error_code ec;
    Oru::SwitchContext::deactivateAll(), fs::remove_all(dir_, ec);
  }
  fs::path dir_ = fs::temp_directory_path() / fmt::format("switch-context-{}", ::getpid());
};

// Two switches on one virtual clock, their timers and posted callbacks interleaved, and a third context made active
// between them (as the simulator's own steps do): each task reads its own switch only, and what it logs lands in its
// own switch's sink.
TEST_F(SwitchContextTest, InterleavedTasksOfTwoSwitchesReadOnlyTheirOwnContext) {
  auto clock = Velto::make<Oru::VirtualScheduler>();
  Switch a(dir_, "a", {Vorn::Role::member, Vorn::MemberId(1)}, true, clock.get());
  Switch b(dir_, "b", {Vorn::Role::candidate, Vorn::MemberId(2)}, false, clock.get());
  Oru::SwitchContext bystander;
  Strings ran;
  std::vector<Velto::Ptr<Oru::TimerTask>> tasks;
  std::vector<Zem::Reactor> reactors;
  auto work = [&](Switch& sw, const std::string& what) {
    return [&sw, &ran, what] {
      ran.push_back(fmt::format("{} {}: {}", sw.name, what, sw.seen()));
      Syslog::log(kSeen, {sw.name});
      Oru::atStepEnd([&sw, &ran, what] { ran.push_back(fmt::format("{} {} end: {}", sw.name, what, sw.seen())); });
    };
  };
  const struct { Switch* sw; double at; bool posted; } plan[] = {
      {&a, 1, false}, {&b, 2, false}, {&a, 3, true}, {&b, 4, true}, {&a, 5, false}, {&b, 5, false}};
  Strings expected;
  for (const auto& step : plan) {
    step.sw->context.activate();
    const std::string what = fmt::format("{} at {}", step.posted ? "post" : "timer", step.at);
    if (step.posted) {
      clock->post(work(*step.sw, what), step.at);
    } else {
      tasks.push_back(Velto::make<Oru::TimerTask>(clock, 0, what));
      reactors.push_back(tasks.back()->subscribe([run = work(*step.sw, what)](const Zem::Change&) { run(); }));
      tasks.back()->scheduleTaskDelay(step.at);
    }
    bystander.activate();
    const std::string sees = step.sw == &a
        ? "role=member member=1 transport=own source=own toggle=true flash=own scheduler=own"
        : "role=candidate member=2 transport=own source=own toggle=false flash=own scheduler=own";
    expected.push_back(fmt::format("{} {}: {}", step.sw->name, what, sees));
    expected.push_back(fmt::format("{} {} end: {}", step.sw->name, what, sees));
  }
  clock->runFor(10);
  EXPECT_EQ(ran, expected);
  for (const Switch* sw : {&a, &b}) {
    const auto seenBy = testing::Field(&Syslog::Entry::text, "seen by " + sw->name);
    EXPECT_THAT(sw->log.entries(), testing::AllOf(testing::SizeIs(3), testing::Each(seenBy)));
  }
}

// Whatever is active when no switch is: the platform's answers for "no switch", never a switch's left over.
TEST_F(SwitchContextTest, WithNoContextActiveTheAccessorsAnswerNoSwitch) {
  auto clock = Velto::make<Oru::VirtualScheduler>(5.0);
  {
    Switch a(dir_, "a", {Vorn::Role::member, Vorn::MemberId(1)}, true, clock.get());
    a.context.activate();
    ASSERT_EQ(Vorn::memberId(), Vorn::MemberId(1));
    ASSERT_EQ(Oru::currentTime(), 5.0);
  }  // destroyed while active
  EXPECT_FALSE(Oru::SwitchContext::active() || Vorn::role() || Vorn::isMember() || Oru::currentScheduler() ||
               Lldp::currentTransport() || KernelNetInfo::currentSource() || Syslog::sink() || Ringlog::current());
  EXPECT_EQ(
      std::tuple(Vorn::memberId(), Oru::currentTime(), Vorn::VornMemberFileMgrSm::flashRoot(), Toggles::directory()),
      std::tuple(Vorn::MemberId(), 0.0, "/", "/etc/vorn/toggles"));
}

// A sink or trace file destroyed while its context is active stops being used there, rather than being written
// after it is gone.
TEST_F(SwitchContextTest, ASinkOrTraceFileDestroyedWhileActiveIsLetGo) {
  Oru::SwitchContext sw;
  sw.activate();
  auto sink = std::make_unique<Syslog::MemorySink>();
  auto file = Ringlog::File::open((dir_ / "gone.rl").string());
  sw.syslogSinkIs(sink.get()), sw.traceFileIs(file.get());
  sink.reset(), file.reset();
  EXPECT_FALSE(sw.syslogSink() || sw.traceFile());
  Syslog::log(kSeen, {"nobody"});
  TRACE0("into no file");
}

}  // namespace

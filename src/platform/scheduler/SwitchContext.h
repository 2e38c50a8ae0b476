#pragma once
// Everything that makes one switch what it is to the code running for it:
// its scheduler, its identity in the group, its LLDP transport and kernel
// interface source, its toggles, its system log sink, its trace file, its
// flash, its interface-name overrides and its peer listener's hooks.
//
// Exactly one context is active at a time; the platform's accessors
// (Vorn::role(), Oru::currentScheduler(), Lldp::currentTransport(),
// Syslog::log(), the TRACE statements, ...) read the active one. A host
// that runs a single switch (the daemon) builds one context and activates
// it once. A host that runs several switches on one scheduler (the
// simulator) builds one per switch: every timer task and posted callback
// remembers the context that was active when it was made, and the scheduler
// activates that context before it runs the task, so a switch's timers see
// that switch whatever ran before them. Activation stores one pointer.
//
// A task made while no context is active belongs to no switch and runs in
// whichever context is active then. A context outlives every task made in
// it; destroying the active context leaves none active.

#include "platform/framework/Ptr.h"
#include "platform/framework/Values.h"
#include "platform/vorn/Group.h"

#include <functional>
#include <memory>
#include <string>

namespace Lldp {
class Transport;
}
namespace Events {
class Sink;
}
namespace KernelNetInfo {
class InterfaceSource;
}
namespace Ringlog {
class File;
}
namespace Syslog {
class Sink;
}
namespace Toggles {
class Store;
}
namespace Vorn {
class KniIntfOverrideTable;
}
namespace Q7Relay::ZemUtils {
struct ListenerHooks;
}

namespace Oru {

class TaskScheduler;
class SwitchContext;

namespace detail {
// The active context; null when none is. Read inline by every trace
// statement, so it is a plain variable.
inline SwitchContext* activeContext = nullptr;
}  // namespace detail

class SwitchContext {
 public:
  // The time source of trace time stamps: `read(context)`, in seconds.
  using TraceClock = double (*)(const void* context);

  SwitchContext();
  ~SwitchContext();
  SwitchContext(const SwitchContext&) = delete;
  SwitchContext& operator=(const SwitchContext&) = delete;

  // The active context, or null.
  static SwitchContext* active() { return detail::activeContext; }
  // Makes this context the active one.
  void activate() { detail::activeContext = this; }
  bool isActive() const { return detail::activeContext == this; }
  // Makes no context active.
  static void deactivateAll() { detail::activeContext = nullptr; }

  // Activates a context for a scope, then restores the one active before.
  class Scope {
   public:
    explicit Scope(SwitchContext& context) : previous_(detail::activeContext) { context.activate(); }
    ~Scope() { detail::activeContext = previous_; }
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;

   private:
    SwitchContext* previous_;
  };

  // The scheduler of this switch's agent; records that stamp the time they
  // are made (a port status) read its clock. Not owned.
  TaskScheduler* scheduler() const { return scheduler_; }
  void schedulerIs(TaskScheduler* scheduler) { scheduler_ = scheduler; }

  // The switch's role and member ID as the group service knows them.
  const Vorn::SwitchIdentity& identity() const { return identity_; }
  void identityIs(const Vorn::SwitchIdentity& identity) { identity_ = identity; }

  // How the switch's LLDP engine sends and receives frames; the engine takes
  // it when it is made.
  const Velto::Ptr<Lldp::Transport>& transport() const { return transport_; }
  void transportIs(Velto::Ptr<Lldp::Transport> transport);

  // The switch's kernel interface tables; kernel components take it when
  // they are made.
  const Velto::Ptr<KernelNetInfo::InterfaceSource>& interfaceSource() const { return interfaceSource_; }
  void interfaceSourceIs(Velto::Ptr<KernelNetInfo::InterfaceSource> source);

  // The switch's toggle directory and the values read from it.
  Toggles::Store& toggles();

  // Where the switch's system log messages go; null drops them. Not owned:
  // a sink destroyed while it is the active context's stops being its sink,
  // one set in another context must be cleared by its owner.
  Syslog::Sink* syslogSink() const { return syslogSink_; }
  void syslogSinkIs(Syslog::Sink* sink) { syslogSink_ = sink; }
  // Seconds since the epoch for system log time stamps; empty reads the
  // host's real-time clock.
  const std::function<double()>& syslogClock() const { return syslogClock_; }
  void syslogClockIs(std::function<double()> clock) { syslogClock_ = std::move(clock); }

  // Where the switch's events go (platform/events/Events.h); null, the
  // default, builds none. Not owned.
  Events::Sink* eventSink() const { return eventSink_; }
  void eventSinkIs(Events::Sink* sink) { eventSink_ = sink; }

  // The file the switch's trace statements are stored in; null stores
  // nothing. Not owned.
  Ringlog::File* traceFile() const { return traceFile_; }
  void traceFileIs(Ringlog::File* file) { traceFile_ = file; }
  // Time stamps of trace records; null reads CLOCK_REALTIME_COARSE. The
  // function-pointer form costs one indirect call per statement.
  TraceClock traceClockRead() const { return traceClockRead_; }
  const void* traceClockContext() const { return traceClockContext_; }
  void traceClockIs(TraceClock read, const void* context);
  void traceClockIs(std::function<double()> clock);

  // The directory the switch's flash is mounted at ("/" on a switch).
  const std::string& flashRoot() const { return flashRoot_; }
  void flashRootIs(std::string dir) { flashRoot_ = dir.empty() ? "/" : std::move(dir); }

  // Kernel device names mapped to interfaces outside the naming rule;
  // every interface mapper of the switch follows it.
  Vorn::KniIntfOverrideTable& intfNameOverrides();

  // What the switch's peer state-sync listener serves and where.
  Q7Relay::ZemUtils::ListenerHooks& peerListener();

 private:
  // Read by every trace statement: first.
  Ringlog::File* traceFile_ = nullptr;
  TraceClock traceClockRead_ = nullptr;
  const void* traceClockContext_ = nullptr;
  TaskScheduler* scheduler_ = nullptr;
  Syslog::Sink* syslogSink_ = nullptr;
  Events::Sink* eventSink_ = nullptr;
  Vorn::SwitchIdentity identity_;
  std::function<double()> syslogClock_;
  std::function<double()> traceClock_;
  std::string flashRoot_ = "/";
  Velto::Ptr<Lldp::Transport> transport_;
  Velto::Ptr<KernelNetInfo::InterfaceSource> interfaceSource_;
  std::unique_ptr<Toggles::Store> toggles_;
  Velto::Ptr<Vorn::KniIntfOverrideTable> intfNameOverrides_;
  std::unique_ptr<Q7Relay::ZemUtils::ListenerHooks> peerListener_;
};

}  // namespace Oru

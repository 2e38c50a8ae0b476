#pragma once
// What the daemon tells systemd when systemd started it (Type=notify).
//
// READY=1 once the agent is up and the event loop is about to run, so units
// ordered after this one start against a running agent; RELOADING=1 and
// READY=1 around a SIGHUP re-read; STOPPING=1 when the daemon starts to stop
// (the backup write that follows may take a while, and systemd should not
// mistake it for a hang). With a watchdog (WatchdogSec=), WATCHDOG=1 every
// half watchdog interval from a timer on the daemon's own scheduler: if the
// activity thread stops turning, the keep-alives stop and systemd restarts
// the daemon.
//
// Outside systemd (no NOTIFY_SOCKET in the environment) it does nothing and
// arms no timer.

#include "platform/framework/Entity.h"
#include "platform/scheduler/Scheduler.h"

#include <string>

namespace VornDaemon {

class SystemdNotifier {
 public:
  // Reads the environment once: whether to notify, and the watchdog's
  // interval. Makes its timer on `scheduler`, in the active switch context.
  explicit SystemdNotifier(Velto::Ptr<Oru::TaskScheduler> scheduler);
  ~SystemdNotifier();
  SystemdNotifier(const SystemdNotifier&) = delete;
  SystemdNotifier& operator=(const SystemdNotifier&) = delete;

  // READY=1, and the watchdog's keep-alives from now on.
  void ready();
  // RELOADING=1 (with the time, on the scheduler's monotonic clock), then
  // READY=1 again from ready().
  void reloading();
  // STOPPING=1; no keep-alives after it.
  void stopping();

  bool active() const { return active_; }
  // Seconds between keep-alives; 0 without a watchdog.
  Velto::Duration keepAlivePeriod() const { return keepAlivePeriod_; }

 private:
  void notify(const std::string& state);
  void handleKeepAlive();

  Velto::Ptr<Oru::TaskScheduler> scheduler_;
  bool active_ = false;
  Velto::Duration keepAlivePeriod_ = 0;
  // Reported once: a notification that cannot be sent now will not be
  // sent later either, and each keep-alive would say so again.
  bool failureReported_ = false;
  Velto::Ptr<Oru::TimerTask> keepAliveTask_;
  Zem::Reactor keepAliveReactor_;
};

}  // namespace VornDaemon

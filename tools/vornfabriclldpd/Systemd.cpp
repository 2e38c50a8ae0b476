#include "Systemd.h"

#include "platform/trace/Ringlog.h"

#include <fmt/format.h>
#include <systemd/sd-daemon.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iostream>

namespace VornDaemon {

namespace {

const Ringlog::Handle traceHandle{"Vorn::VornFabricLldp::Systemd"};

}  // namespace

SystemdNotifier::SystemdNotifier(Velto::Ptr<Oru::TaskScheduler> scheduler) : scheduler_(std::move(scheduler)) {
  const char* socket = std::getenv("NOTIFY_SOCKET");
  active_ = socket != nullptr && *socket != '\0';
  if (!active_) return;
  // WATCHDOG_USEC, for this process only (WATCHDOG_PID, when set, must be
  // ours): systemd expects a keep-alive within each interval, and one every
  // half interval leaves a whole half for a late turn of the event loop.
  uint64_t usec = 0;
  const int watchdog = sd_watchdog_enabled(0, &usec);
  if (watchdog < 0) {
    std::cerr << "vornfabriclldpd: ignoring the systemd watchdog setting: " << std::strerror(-watchdog) << std::endl;
  } else if (watchdog > 0 && usec > 0) {
    keepAlivePeriod_ = static_cast<Velto::Duration>(usec) / 2e6;
    keepAliveTask_ = Velto::make<Oru::TimerTask>(scheduler_, 0, "VornDaemon::systemdKeepAlive");
    keepAliveReactor_ = keepAliveTask_->subscribe([this](const Zem::Change& c) {
      if (c.is(Oru::TimerTask::runAttr)) handleKeepAlive();
    });
  }
  TRACE0("started by systemd; watchdog keep-alive every {} s (0: none)", keepAlivePeriod_);
}

SystemdNotifier::~SystemdNotifier() {
  if (keepAliveTask_) keepAliveTask_->stopTimerTask();
}

void SystemdNotifier::ready() {
  notify("READY=1");
  if (keepAliveTask_ && !keepAliveTask_->taskScheduled()) keepAliveTask_->scheduleTaskDelay(keepAlivePeriod_);
}

void SystemdNotifier::reloading() {
  // systemd compares MONOTONIC_USEC with its own CLOCK_MONOTONIC to tell
  // this reload from an older one; the event loop's clock is that clock.
  const auto usec = static_cast<uint64_t>(scheduler_->now() * 1e6);
  notify(fmt::format("RELOADING=1\nMONOTONIC_USEC={}", usec));
}

void SystemdNotifier::stopping() {
  if (keepAliveTask_) keepAliveTask_->stopTimerTask();
  notify("STOPPING=1");
}

void SystemdNotifier::handleKeepAlive() {
  notify("WATCHDOG=1");
  keepAliveTask_->scheduleTaskDelay(keepAlivePeriod_);
}

void SystemdNotifier::notify(const std::string& state) {
  if (!active_) return;
  const int sent = sd_notify(0, state.c_str());
  if (sent > 0) {
    TRACE8("told systemd {}", state);
    return;
  }
  // 0: NOTIFY_SOCKET went away, which only a changed environment does.
  const std::string why = sent < 0 ? std::strerror(-sent) : "no notification socket";
  TRACE2("cannot tell systemd {}: {}", state, why);
  if (!failureReported_) {
    std::cerr << "vornfabriclldpd: cannot notify systemd (" << state.substr(0, state.find('\n')) << "): " << why
              << std::endl;
    failureReported_ = true;
  }
}

}  // namespace VornDaemon

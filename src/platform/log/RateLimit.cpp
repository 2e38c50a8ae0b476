#include "platform/log/RateLimit.h"

#include <fmt/format.h>

#include <algorithm>
#include <limits>

#include "platform/framework/Assert.h"

namespace Syslog {

const Message SYSLOG_MESSAGES_SUPPRESSED{
    "SYSLOG_MESSAGES_SUPPRESSED",
    "%s for %s: %s messages suppressed (more than %s in %s seconds)",
    "Messages about one interface came faster than normal operation ever makes them; this many were not logged.",
    3,
    4,
    1,  // the interface
};

namespace {

// Window ends are sums of floating-point times: a task armed for one may
// run a rounding error before it.
constexpr Velto::Duration kEpsilon = 1e-9;

const bool registered = [] {
  registerMessage(SYSLOG_MESSAGES_SUPPRESSED);
  return true;
}();

}  // namespace

RateLimitedSink::RateLimitedSink(Velto::Ptr<Oru::TaskScheduler> scheduler, Sink& next, RateLimit limit)
    : scheduler_(std::move(scheduler)), next_(next), limit_(limit) {
  ZEM_ASSERT(scheduler_);
  ZEM_ASSERT(limit_.burst > 0 && limit_.window > 0);
}

RateLimitedSink::~RateLimitedSink() {
  reportReactor_.reset();
  if (reportTask_) reportTask_->stopTimerTask();
}

bool RateLimitedSink::admit(const Entry& entry) {
  const Velto::Duration now = scheduler_->now();
  Key key{entry.message, entry.intf};
  auto it = windows_.find(key);
  if (it != windows_.end() && now + kEpsilon >= it->second.end) {
    // The window ended before its report task ran (same instant): its
    // report still comes before the entry that opens the next one.
    if (it->second.suppressed > 0) report(it->first, it->second);
    windows_.erase(it);
    it = windows_.end();
  }
  if (it == windows_.end()) {
    windows_.emplace(std::move(key), Window{now + limit_.window, 1, 0});
    return true;
  }
  Window& w = it->second;
  if (w.written < limit_.burst) {
    ++w.written;
    return true;
  }
  ++suppressedTotal_;
  if (w.suppressed++ == 0) maybeArmReportTask();
  return false;
}

void RateLimitedSink::write(const Entry& entry) { next_.write(entry); }

void RateLimitedSink::report(const Key& key, const Window& window) {
  const std::string count = std::to_string(window.suppressed);
  const std::string burst = std::to_string(limit_.burst);
  const std::string seconds = fmt::format("{:g}", limit_.window);
  submit(next_, makeEntry(SYSLOG_MESSAGES_SUPPRESSED,
                          {key.first ? key.first->name : std::string_view("-"), key.second.empty() ? "-" : key.second,
                           count, burst, seconds}));
}

void RateLimitedSink::maybeArmReportTask() {
  Velto::Duration earliest = std::numeric_limits<Velto::Duration>::infinity();
  for (const auto& [key, w] : windows_) {
    if (w.suppressed > 0) earliest = std::min(earliest, w.end);
  }
  if (earliest == std::numeric_limits<Velto::Duration>::infinity()) {
    if (reportTask_) reportTask_->stopTimerTask();
    return;
  }
  if (!reportTask_) {
    reportTask_ = Velto::make<Oru::TimerTask>(scheduler_, 0, "Syslog::rateLimitReport");
    reportReactor_ = reportTask_->subscribe([this](const Zem::Change&) { handleReportTaskRun(); });
  }
  if (!reportTask_->taskScheduled() || reportTask_->dueTime() > earliest + kEpsilon) {
    reportTask_->scheduleTaskDelay(earliest - scheduler_->now());
  }
}

void RateLimitedSink::handleReportTaskRun() {
  const Velto::Duration now = scheduler_->now();
  for (auto it = windows_.begin(); it != windows_.end();) {
    if (now + kEpsilon < it->second.end) {
      ++it;
      continue;
    }
    if (it->second.suppressed > 0) report(it->first, it->second);
    it = windows_.erase(it);
  }
  maybeArmReportTask();
}

void RateLimitedSink::reportSuppressed() {
  for (const auto& [key, w] : windows_) {
    if (w.suppressed > 0) report(key, w);
  }
  windows_.clear();
  if (reportTask_) reportTask_->stopTimerTask();
}

}  // namespace Syslog

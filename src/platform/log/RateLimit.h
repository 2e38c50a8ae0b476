#pragma once

// Rate limiting of the system log: a sink in front of another that lets
// through at most `burst` entries of one message about one interface in a
// window of `window` seconds, the window starting with the first of them.
// The rest are counted, not written; when the window ends, one
// SYSLOG_MESSAGES_SUPPRESSED entry names the message, the interface and how
// many were held back. Windows are kept per message and interface, so a
// flood about one interface neither silences another nor another message.
//
// Normal operation stays far below the limit: a link is confirmed at most
// once per negotiation, which takes more than ten seconds, and falls back or
// meets a wrong peer at most once per change of its cabling or
// configuration. Only a flood reaches it, such as frames with ever new
// chassis IDs each of which brings a mismatch.
//
// Time is the scheduler's (virtual in the simulator and in tests); the
// report is a timer task on it, made in the context of the switch whose
// entry first was held back.

#include "platform/framework/Entity.h"
#include "platform/log/Syslog.h"
#include "platform/scheduler/Scheduler.h"

#include <cstdint>
#include <map>
#include <string>
#include <utility>

namespace Syslog {

// Args: message name, interface, count held back, burst, window in seconds.
extern const Message SYSLOG_MESSAGES_SUPPRESSED;

struct RateLimit {
  unsigned burst = 5;
  Velto::Duration window = 10.0;
};

class RateLimitedSink : public Sink {
 public:
  // Entries that pass go to `next`, which must outlive this sink.
  RateLimitedSink(Velto::Ptr<Oru::TaskScheduler> scheduler, Sink& next, RateLimit limit = {});
  ~RateLimitedSink() override;
  RateLimitedSink(const RateLimitedSink&) = delete;
  RateLimitedSink& operator=(const RateLimitedSink&) = delete;

  bool admit(const Entry& entry) override;
  void write(const Entry& entry) override;

  // Reports now every count not reported yet, and forgets every window (a
  // clean stop: counts must not die with the process).
  void reportSuppressed();

  const RateLimit& limit() const { return limit_; }
  // Entries held back since this sink was made.
  uint64_t suppressedTotal() const { return suppressedTotal_; }

 private:
  using Key = std::pair<const Message*, std::string>;
  struct Window {
    Velto::Duration end = 0;
    unsigned written = 0;
    uint64_t suppressed = 0;
  };

  void report(const Key& key, const Window& window);
  void handleReportTaskRun();
  // Arms the report task for the earliest window that holds entries back.
  void maybeArmReportTask();

  Velto::Ptr<Oru::TaskScheduler> scheduler_;
  Sink& next_;
  RateLimit limit_;
  std::map<Key, Window> windows_;
  uint64_t suppressedTotal_ = 0;
  Velto::Ptr<Oru::TimerTask> reportTask_;
  Zem::Reactor reportReactor_;
};

}  // namespace Syslog

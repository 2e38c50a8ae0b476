#pragma once
// The daemon's metrics in the Prometheus text exposition format, written to
// a file that node_exporter's textfile collector reads: per link its state
// and fabric mode, transitions by reason, per port LLDP frames, drops and
// neighbours, LAG and membership mismatches, the state database connection.
//
// The file is replaced atomically (written beside it, then renamed), so
// the collector never reads half of it.

#include "ControlAnswers.h"

#include "platform/events/Events.h"
#include "platform/scheduler/Scheduler.h"

#include <map>
#include <string>
#include <tuple>

namespace VornDaemon {

// What the records do not keep: counts of transitions since the start,
// and whether the state database is connected, from the events.
class MetricsCounts {
 public:
  void take(const Events::Event& event);
  // By (channel, intf, to, reason).
  const std::map<std::tuple<std::string, std::string, std::string, std::string>, uint64_t>& transitions() const {
    return transitions_;
  }
  bool stateDatabaseConnected() const { return stateDatabaseConnected_; }
  uint64_t events() const { return events_; }

 private:
  std::map<std::tuple<std::string, std::string, std::string, std::string>, uint64_t> transitions_;
  bool stateDatabaseConnected_ = false;
  uint64_t events_ = 0;
};

// The exposition text.
std::string renderMetrics(const SwitchView& view, const MetricsCounts& counts);

// Writes `text` to `path` atomically; false with `error` set when it cannot.
bool writeMetricsFile(const std::string& path, const std::string& text, std::string& error);

// A label value escaped as the format wants it.
std::string metricsLabel(std::string_view value);

}  // namespace VornDaemon

#pragma once

#include <ctime>
#include <functional>
#include <utility>

namespace Zem {

// Seconds since the epoch for timestamps in the system log and the trace.
// The simulator and tests replace it so that those timestamps follow the
// scheduler's virtual clock instead of the host's.
class WallClock {
 public:
  void clockIs(std::function<double()> clock) { clock_ = std::move(clock); }

  double now() const {
    if (clock_) {
      return clock_();
    }
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
  }

 private:
  std::function<double()> clock_;
};

}  // namespace Zem

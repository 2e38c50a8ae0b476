// What one trace statement costs, stored raw and formatted by the reader,
// against formatting it when it is made (the trace as it was before: fmt
// into a fixed-size slot of a mapped file, the clock read through a
// std::function over CLOCK_REALTIME). Both run in this process, one after
// the other, and the last lines print the figures and their ratios.
// Run: ./build/bench/trace_bench
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <functional>
#include <map>
#include <string>

#include <benchmark/benchmark.h>
#include <fmt/format.h>

#include "platform/framework/Values.h"
#include "platform/trace/Ringlog.h"

namespace {

const Ringlog::Handle traceHandle{"Vorn::VornFabricLldp"};

// --- the statement as it was: formatted when made ------------------------------

struct EagerSlot {
  std::uint64_t sequence;
  double time;
  std::int32_t line;
  std::uint16_t handle;
  std::uint8_t level;
  std::uint8_t reserved;
  std::uint16_t messageBytes;
  char unit[38];
  char function[64];
  char message[256];
};

class EagerRing {
 public:
  explicit EagerRing(const char* path) {
    const int fd = ::open(path, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    bytes_ = sizeof(EagerSlot) * 256;
    if (fd < 0 || ::ftruncate(fd, static_cast<off_t>(bytes_)) != 0) {
      std::abort();
    }
    slots_ = static_cast<EagerSlot*>(::mmap(nullptr, bytes_, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
    ::close(fd);
    clock_ = [] {
      timespec ts{};
      clock_gettime(CLOCK_REALTIME, &ts);
      return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
    };
  }
  ~EagerRing() { ::munmap(slots_, bytes_); }

  template <class... A>
  void write(int level, const char* unit, const char* function, int line, fmt::format_string<A...> format,
             A&&... args) {
    store(level, unit, function, line, format, fmt::make_format_args(args...));
  }

 private:
  template <std::size_t N>
  static void copyField(char (&field)[N], const char* text) {
    const std::size_t length = strnlen(text, N - 1);
    std::memcpy(field, text, length);
    field[length] = '\0';
  }

  __attribute__((noinline)) void store(int level, const char* unit, const char* function, int line,
                                       fmt::string_view format, fmt::format_args args) {
    const double time = clock_();
    EagerSlot& slot = slots_[written_++ % 256];
    slot.sequence = 0;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    slot.time = time;
    slot.line = line;
    slot.handle = 0;
    slot.level = static_cast<std::uint8_t>(level);
    copyField(slot.unit, unit);
    copyField(slot.function, function);
    const auto result = fmt::vformat_to_n(slot.message, sizeof(slot.message), format, args);
    slot.messageBytes = static_cast<std::uint16_t>(std::min<std::size_t>(result.size, sizeof(slot.message)));
    std::atomic_signal_fence(std::memory_order_seq_cst);
    slot.sequence = ++sequence_;
  }

  EagerSlot* slots_;
  std::size_t bytes_;
  std::uint64_t written_ = 0;
  std::uint64_t sequence_ = 0;
  std::function<double()> clock_;
};

std::string temporaryPath() {
  char path[] = "/tmp/trace_bench_XXXXXX";
  const int fd = mkstemp(path);
  if (fd >= 0) {
    ::close(fd);
  }
  return path;
}

// --- benchmarks ------------------------------------------------------------------

void eagerIntfIdAndInt(benchmark::State& state) {
  const std::string path = temporaryPath();
  EagerRing ring(path.c_str());
  const Kivo::IntfId intf("Ethernet1");
  int i = 0;
  for (auto _ : state) {
    ring.write(6, "LldpRemoteSystemSelectorSm.cpp", "handleRemoteSystem", 151, "memberIntf={} index={}", intf, ++i);
  }
  std::remove(path.c_str());
}
BENCHMARK(eagerIntfIdAndInt);

void eagerString(benchmark::State& state) {
  const std::string path = temporaryPath();
  EagerRing ring(path.c_str());
  const std::string peer = "10.0.0.2:41234";
  for (auto _ : state) {
    ring.write(6, "Q7Relay.cpp", "closeConnection", 348, "close connection from {}: {}", peer, "idle");
  }
  std::remove(path.c_str());
}
BENCHMARK(eagerString);

// The statements through the trace itself.
class OpenTrace {
 public:
  OpenTrace() : path_(temporaryPath()), file_(Ringlog::File::open(path_)) { context.traceFileIs(file_.get()); }
  ~OpenTrace() {
    context.traceFileIs(nullptr);
    file_.reset();
    std::remove(path_.c_str());
  }

  Oru::SwitchContext context;

 private:
  Oru::SwitchContext::Scope active_{context};
  std::string path_;
  std::unique_ptr<Ringlog::File> file_;
};

void rawIntfIdAndInt(benchmark::State& state) {
  OpenTrace trace;
  const Kivo::IntfId intf("Ethernet1");
  int i = 0;
  for (auto _ : state) TRACE6("memberIntf={} index={}", intf, ++i);
}
BENCHMARK(rawIntfIdAndInt);

void rawString(benchmark::State& state) {
  OpenTrace trace;
  const std::string peer = "10.0.0.2:41234";
  for (auto _ : state) TRACE6("close connection from {}: {}", peer, "idle");
}
BENCHMARK(rawString);

// The simulator's clock: the scheduler's time through a function pointer.
void rawIntfIdAndIntVirtualClock(benchmark::State& state) {
  OpenTrace trace;
  double virtualNow = 100.0;
  trace.context.traceClockIs([](const void* now) { return *static_cast<const double*>(now); }, &virtualNow);
  const Kivo::IntfId intf("Ethernet1");
  int i = 0;
  for (auto _ : state) TRACE6("memberIntf={} index={}", intf, ++i);
  trace.context.traceClockIs(nullptr);
}
BENCHMARK(rawIntfIdAndIntVirtualClock);

void disabledLevel(benchmark::State& state) {
  OpenTrace trace;
  Ringlog::levelEnabledIs(6, false);
  const Kivo::IntfId intf("Ethernet1");
  int i = 0;
  for (auto _ : state) {
    TRACE6("memberIntf={} index={}", intf, ++i);
    benchmark::DoNotOptimize(i);
  }
  Ringlog::levelEnabledIs(6, true);
}
BENCHMARK(disabledLevel);

void clockRealtime(benchmark::State& state) {
  for (auto _ : state) {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    benchmark::DoNotOptimize(ts);
  }
}
BENCHMARK(clockRealtime);

void clockRealtimeCoarse(benchmark::State& state) {
  for (auto _ : state) {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME_COARSE, &ts);
    benchmark::DoNotOptimize(ts);
  }
}
BENCHMARK(clockRealtimeCoarse);

// Keeps each benchmark's CPU time per iteration for the closing lines.
class Collector : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.run_type == Run::RT_Iteration) {
        cpuNs[run.benchmark_name()] = run.GetAdjustedCPUTime();
      }
    }
  }
  std::map<std::string, double> cpuNs;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  Collector collector;
  benchmark::RunSpecifiedBenchmarks(&collector);
  auto ns = [&](const char* name) { return collector.cpuNs.count(name) ? collector.cpuNs[name] : 0.0; };
  auto ratio = [](double after, double before) { return before > 0 ? after / before : 0.0; };
  std::printf("trace statement, IntfId and int: %.1f ns CPU (formatted when made: %.1f ns, ratio %.2f)\n",
              ns("rawIntfIdAndInt"), ns("eagerIntfIdAndInt"), ratio(ns("rawIntfIdAndInt"), ns("eagerIntfIdAndInt")));
  std::printf("trace statement, string: %.1f ns CPU (formatted when made: %.1f ns, ratio %.2f)\n", ns("rawString"),
              ns("eagerString"), ratio(ns("rawString"), ns("eagerString")));
  std::printf("trace statement, IntfId and int, virtual clock: %.1f ns CPU\n", ns("rawIntfIdAndIntVirtualClock"));
  std::printf("trace statement, level disabled: %.2f ns CPU\n", ns("disabledLevel"));
  std::printf("clock read: CLOCK_REALTIME %.1f ns, CLOCK_REALTIME_COARSE %.1f ns\n", ns("clockRealtime"),
              ns("clockRealtimeCoarse"));
  std::printf(
      "{\"trace_statement_ns\": %.2f, \"trace_statement_eager_ns\": %.2f, \"trace_string_ns\": %.2f, "
      "\"trace_string_eager_ns\": %.2f, \"trace_disabled_ns\": %.2f}\n",
      ns("rawIntfIdAndInt"), ns("eagerIntfIdAndInt"), ns("rawString"), ns("eagerString"), ns("disabledLevel"));
  benchmark::Shutdown();
  return 0;
}

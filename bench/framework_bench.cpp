// Hot paths of the platform framework: attribute writes with subscribers,
// collection inserts and deletes, nested changes, timers and one trace
// statement. Run: ./build/bench/framework_bench
#include "platform/framework/Record.h"
#include "platform/scheduler/Scheduler.h"
#include "platform/trace/Ringlog.h"

#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdio>
#include <vector>

namespace {

const Ringlog::Handle traceHandle{"Vorn::VornFabricLldp"};

class Leaf : public Zem::Entity {
  ZEM_RECORD(Leaf, "Bench::Leaf")
 public:
  explicit Leaf(int id) { id_ = id; }
  ZEM_KEY(int, id)
  ZEM_ATTR(int64_t, value)

 private:
  Leaf() = default;
};

class Middle : public Zem::Entity {
  ZEM_RECORD(Middle, "Bench::Middle")
 public:
  explicit Middle(Kivo::IntfId id) { id_ = id; }
  ZEM_KEY(Kivo::IntfId, id)
  ZEM_ENTITY_MAP(int, Leaf, leaf)

 private:
  Middle() = default;
};

class Top : public Zem::Entity {
  ZEM_RECORD(Top, "Bench::Top")
 public:
  Top() = default;
  ZEM_ENTITY_MAP(Kivo::IntfId, Middle, middle)
  ZEM_VALUE_MAP(int, int64_t, counter)
};

void attributeWrite(benchmark::State& state) {
  auto leaf = Velto::make<Leaf>(1);
  int64_t seen = 0;
  std::vector<Zem::Reactor> reactors;
  for (int i = 0; i < state.range(0); ++i) {
    reactors.push_back(leaf->subscribe([&seen](const Zem::Change&) { ++seen; }));
  }
  int64_t v = 0;
  for (auto _ : state) leaf->valueIs(++v);
  benchmark::DoNotOptimize(seen);
}
BENCHMARK(attributeWrite)->Arg(0)->Arg(1)->Arg(10);

void unchangedWrite(benchmark::State& state) {
  auto leaf = Velto::make<Leaf>(1);
  auto r = leaf->subscribe([](const Zem::Change&) {});
  leaf->valueIs(5);
  for (auto _ : state) leaf->valueIs(5);
}
BENCHMARK(unchangedWrite);

void collectionInsertDelete(benchmark::State& state) {
  auto top = Velto::make<Top>();
  auto r = top->subscribe([](const Zem::Change&) {});
  auto middle = top->middleIs(Kivo::IntfId("Ethernet1"));
  int k = 0;
  for (auto _ : state) {
    middle->leafIs(k);
    middle->leafDel(k);
    ++k;
  }
}
BENCHMARK(collectionInsertDelete);

void valueMapInsertDelete(benchmark::State& state) {
  auto top = Velto::make<Top>();
  auto r = top->subscribe([](const Zem::Change&) {});
  int k = 0;
  for (auto _ : state) {
    top->counterIs(k, k);
    top->counterDel(k);
    ++k;
  }
}
BENCHMARK(valueMapInsertDelete);

// A leaf write seen by a subscriber of the top record, three levels up.
void nestedChangeThreeLevels(benchmark::State& state) {
  auto top = Velto::make<Top>();
  auto leaf = top->middleIs(Kivo::IntfId("Ethernet1"))->leafIs(7);
  int64_t seen = 0;
  auto r = top->subscribe([&seen](const Zem::Change& c) { seen += c.inner && c.inner->inner; });
  int64_t v = 0;
  for (auto _ : state) leaf->valueIs(++v);
  if (seen == 0) state.SkipWithError("nested change not delivered");
}
BENCHMARK(nestedChangeThreeLevels);

void timerArm(benchmark::State& state) {
  auto clock = Velto::make<Oru::VirtualScheduler>();
  std::vector<Velto::Ptr<Oru::TimerTask>> others;
  for (int i = 0; i < 1000; ++i) {
    others.push_back(Velto::make<Oru::TimerTask>(clock, 3, "other"));
    others.back()->scheduleTaskDelay(1.0 + i * 0.01);
  }
  auto task = Velto::make<Oru::TimerTask>(clock, 3, "t");
  for (auto _ : state) {
    task->scheduleTaskDelay(5.0);
    task->stopTimerTask();
  }
}
BENCHMARK(timerArm);

// The hold timer pattern: re-armed on every received frame.
void timerRearm(benchmark::State& state) {
  auto clock = Velto::make<Oru::VirtualScheduler>();
  std::vector<Velto::Ptr<Oru::TimerTask>> others;
  for (int i = 0; i < 1000; ++i) {
    others.push_back(Velto::make<Oru::TimerTask>(clock, 3, "other"));
    others.back()->scheduleTaskDelay(1.0 + i * 0.01);
  }
  auto task = Velto::make<Oru::TimerTask>(clock, 3, "t");
  double d = 1.0;
  for (auto _ : state) {
    task->scheduleTaskDelay(d);
    d = d > 9 ? 1.0 : d + 0.37;
  }
}
BENCHMARK(timerRearm);

void timerFire(benchmark::State& state) {
  auto clock = Velto::make<Oru::VirtualScheduler>();
  auto task = Velto::make<Oru::TimerTask>(clock, 3, "t");
  int64_t fired = 0;
  auto r = task->subscribe([&fired](const Zem::Change&) { ++fired; });
  for (auto _ : state) {
    task->scheduleTaskDelay(0.1);
    clock->runNext();
  }
  if (fired != static_cast<int64_t>(state.iterations())) state.SkipWithError("timer did not fire");
}
BENCHMARK(timerFire);

void traceStatement(benchmark::State& state) {
  char path[] = "/tmp/framework_bench_XXXXXX";
  int fd = mkstemp(path);
  if (fd >= 0) close(fd);
  auto file = Ringlog::File::open(path);
  Oru::SwitchContext context;
  Oru::SwitchContext::Scope active(context);
  context.traceFileIs(file.get());
  Kivo::IntfId intf("Ethernet1");
  int i = 0;
  for (auto _ : state) TRACE6("memberIntf={} index={}", intf, ++i);
  context.traceFileIs(nullptr);
  file.reset();
  std::remove(path);
}
BENCHMARK(traceStatement);

}  // namespace

BENCHMARK_MAIN();

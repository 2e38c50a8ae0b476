// The peer state-sync listener beside LLDP, on loopback with the real event
// loop. Figures:
// - floodTurn: the processor time of one turn of the loop while 250
//   clients ask without reading and one client pumps refused and large
//   requests. With a background slice of 0 a turn runs one piece of
//   listener work: its longest ("cpu_max_us") is the longest step LLDP
//   waits behind. With the default slice of 1000 us, it is what a turn
//   costs at most.
// - makeStatusAnswer: making the JSON of an LLDP status of N ports, once per
//   change of the record (the daemon keeps the text until the record
//   changes).
// - answerCachedStatus: one answer of that text, which is what a client
//   asking over and over costs.
// Run: ./build/bench/q7relay_bench
#include "platform/q7relay/Q7Relay.h"
#include "platform/records/VornRecords.h"
#include "platform/scheduler/SwitchContext.h"

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <ctime>
#include <memory>
#include <numeric>
#include <string>
#include <vector>

namespace {

using Q7Relay::ZemUtils::Api;

Velto::Ptr<Vorn::Lldp::Status> lldpStatus(int ports) {
  auto status = Velto::make<Vorn::Lldp::Status>("1");
  for (int p = 1; p <= ports; ++p) {
    auto port = status->portStatusIs(Kivo::IntfId(fmt::format("Ethernet{}", p)));
    Vorn::Lldp::RemoteSystemMsap msap;
    msap.chassisId = Lldp::ChassisId(std::string("\x02\x76\x6f\x72\x00\x02", 6));
    msap.portId = Lldp::PortId(fmt::format("Ethernet{}", p));
    auto rs = port->remoteSystemIs(1, msap);
    rs->ttlIs(120);
    rs->vornTlvRxIs(Lldp::VornTlv{Vorn::MemberId(2), Vorn::Role::member, Vorn::MemberId(1), Vorn::MemberId(1), 0}
                        .lodestoreConnectedIs(true));
  }
  return status;
}

void makeStatusAnswer(benchmark::State& state) {
  auto status = lldpStatus(static_cast<int>(state.range(0)));
  size_t bytes = 0;
  for (auto _ : state) {
    auto text = Zem::toJson(*status).dump();
    bytes = text.size();
    benchmark::DoNotOptimize(text);
  }
  state.counters["bytes"] = static_cast<double>(bytes);
}
BENCHMARK(makeStatusAnswer)->Arg(2)->Arg(16)->Arg(128)->Unit(benchmark::kMicrosecond);

void answerCachedStatus(benchmark::State& state) {
  const std::string text = Zem::toJson(*lldpStatus(static_cast<int>(state.range(0)))).dump();
  const Q7Relay::ZemUtils::StateProvider provider = [&](const std::string&) { return text; };
  const Q7Relay::ZemUtils::AnswerContext context{Vorn::MemberId(1), &provider, nullptr};
  Q7Relay::ZemUtils::Session session;
  std::string out;
  for (auto _ : state) {
    session.received("GET vorn/lldp/status/1\n");
    out.clear();
    session.answerNext(out, context);
    benchmark::DoNotOptimize(out);
  }
}
BENCHMARK(answerCachedStatus)->Arg(2)->Arg(128)->Unit(benchmark::kMicrosecond);

double threadCpuTime() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

int connectTo(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  return fd;
}

// The attackers, in a child process so that their own work (and the
// kernel's handling of what they send) is not counted in the loop's turns:
// 250 clients that ask without reading, reconnecting when closed, and one
// that pumps refused and large requests, reading everything.
[[noreturn]] void attack(int port) {
  std::string deafBurst;
  for (int i = 0; i < 100; ++i) deafBurst += "GET vorn/dtd/bcStatus/1\n";
  std::string pumpBurst;
  for (int i = 0; i < 20; ++i) pumpBurst += "GET /\nGET vorn/lldp/status/1\n";
  std::vector<int> deaf;
  for (int i = 0; i < 250; ++i) deaf.push_back(connectTo(port));
  const int pump = connectTo(port);
  std::vector<char> sink(1 << 20);
  for (;;) {
    for (int& fd : deaf) {
      if (::send(fd, deafBurst.data(), deafBurst.size(), MSG_NOSIGNAL | MSG_DONTWAIT) < 0 && errno != EAGAIN &&
          errno != EINPROGRESS && errno != ENOTCONN) {
        ::close(fd);
        fd = connectTo(port);
      }
    }
    while (::recv(pump, sink.data(), sink.size(), MSG_DONTWAIT) > 0) {
    }
    ::send(pump, pumpBurst.data(), pumpBurst.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    ::usleep(1000);
  }
}

void floodTurn(benchmark::State& state) {
  auto loop = Velto::make<Oru::EventLoop>();
  loop->backgroundSliceIs(static_cast<double>(state.range(0)) * 1e-6);
  Oru::SwitchContext context;
  Oru::SwitchContext::Scope active(context);
  Q7Relay::ZemUtils::ListenerHooks& hooks = context.peerListener();
  hooks.loop = loop;
  hooks.portOverride = 0;
  const std::string large = Zem::toJson(*lldpStatus(128)).dump();
  hooks.provider = [&](const std::string&) { return large; };
  hooks.served = [](const std::string& path) { return path != "/"; };
  auto status = Api::listen(Q7Relay::ZemUtils::TcpConfig(Q7Relay::ZemUtils::ConnectionKey::ipAndPort("127.0.0.1", 0),
                                                         std::nullopt, 0.0, 1, 9, 3, 0.1, 2.0, 3600.0, false));
  const pid_t attacker = ::fork();
  if (attacker == 0) attack(status->port());
  // Until the attackers are in.
  while (status->connectionCount() < 200) loop->runOnce(0.01);

  std::vector<double> turns;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    const double cpuStart = threadCpuTime();
    loop->runOnce(0.01);
    const double cpu = threadCpuTime() - cpuStart;
    state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    turns.push_back(cpu);
  }
  // The processor time of the turns: on a shared machine the wall-clock
  // time of a turn also counts the moments another process had the core.
  std::sort(turns.begin(), turns.end());
  state.counters["cpu_max_us"] = turns.back() * 1e6;
  state.counters["cpu_p99_us"] = turns[turns.size() * 99 / 100] * 1e6;
  state.counters["cpu_mean_us"] = std::accumulate(turns.begin(), turns.end(), 0.0) * 1e6 / static_cast<double>(turns.size());
  state.counters["open"] = static_cast<double>(status->connectionCount());

  ::kill(attacker, SIGKILL);
  ::waitpid(attacker, nullptr, 0);
  status = nullptr;
  hooks = {};
  loop->postedDelAll();
}
BENCHMARK(floodTurn)->Arg(0)->Arg(1000)->UseManualTime()->Iterations(20000)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();

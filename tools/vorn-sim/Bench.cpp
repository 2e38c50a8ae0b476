#include "Bench.h"

#include "Scenario.h"
#include "Simulation.h"

#include "lldp/Codec.h"
#include "platform/framework/Entity.h"
#include "platform/vorn/Group.h"

#include <fmt/format.h>
#include <nlohmann/json.hpp>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

namespace VornSim {

namespace {

using Clock = std::chrono::steady_clock;

// The record framework's work per frame: what a frame sets moving, counted
// rather than timed, so it does not move with the machine's load.
struct Work {
  double writes = 0, publishes = 0, handlerRuns = 0;
  static Work since(const Zem::WorkCounters& before, uint64_t frames) {
    const double n = static_cast<double>(std::max<uint64_t>(frames, 1));
    const auto& now = Zem::workCounters;
    return {static_cast<double>(now.writes - before.writes) / n,
            static_cast<double>(now.publishes - before.publishes) / n,
            static_cast<double>(now.handlerRuns - before.handlerRuns) / n};
  }
  std::string text() const {
    return fmt::format("{:.1f} record writes, {:.1f} published changes, {:.1f} handler runs", writes, publishes,
                       handlerRuns);
  }
};

// One measured figure and the most it may be.
struct Figure {
  std::string key;    // the JSON name
  std::string label;  // what the line says
  double value;
  std::string unit;
  double target;
  bool met() const { return value <= target; }
};

void print(const Figure& f, std::ostream& out) {
  const std::string unit = f.unit.empty() ? "" : " " + f.unit;
  out << fmt::format("{}: {:.3f}{} (target <= {}{}: {})\n", f.label, f.value, unit, f.target, unit,
                     f.met() ? "met" : "NOT met");
}

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// CPU seconds of this process: on a shared machine a steadier figure than
// wall time.
double cpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  auto seconds = [](const timeval& tv) { return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

long peakRssKb() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

MemberSpec member(int n) { return {Kivo::IntfId(fmt::format("Ethernet{}", n)), ""}; }

// Members 1..n in a ring: member i's Port-Channel1 (the first half of its
// links) is cabled to member i+1's Port-Channel2 (the second half of its).
Scenario ringScenario(int members, int linksPerMember, double runFor) {
  Scenario sc;
  sc.file = "<bench ring>";
  sc.runFor = runFor;
  const int half = linksPerMember / 2;
  for (int i = 1; i <= members; ++i) {
    SwitchSpec sw;
    sw.name = fmt::format("sw{}", i);
    sw.memberId = Vorn::MemberId(static_cast<uint8_t>(i));
    const int next = i % members + 1;
    const int prev = (i + members - 2) % members + 1;
    ChannelSpec up{Kivo::IntfId("Port-Channel1"), Vorn::MemberId(static_cast<uint8_t>(next)), {}};
    ChannelSpec down{Kivo::IntfId("Port-Channel2"), Vorn::MemberId(static_cast<uint8_t>(prev)), {}};
    for (int l = 1; l <= half; ++l) up.members.push_back(member(l));
    for (int l = half + 1; l <= 2 * half; ++l) down.members.push_back(member(l));
    sw.channels = {up, down};
    sc.switches.push_back(std::move(sw));
  }
  for (int i = 1; i <= members; ++i) {
    const int next = i % members + 1;
    for (int l = 1; l <= half; ++l) {
      sc.links.push_back({{fmt::format("sw{}", i), member(l).intf}, {fmt::format("sw{}", next), member(half + l).intf}, {}});
    }
  }
  return sc;
}

size_t confirmedCount(const Simulation& sim) {
  size_t n = 0;
  for (const auto& row : sim.memberRows()) n += row.state == "higigConfirmed";
  return n;
}

bool sw1Confirmed(const Simulation& sim) {
  for (const auto& row : sim.memberRows()) {
    if (row.switchName == "sw1") return row.state == "higigConfirmed";
  }
  return false;
}

bool frameBench(const BenchOptions& options, std::ostream& out, std::vector<Figure>& figures) {
  Scenario sc;
  sc.file = "<bench pair>";
  sc.runFor = 3600;
  for (uint8_t id : {1, 2}) {
    const uint8_t peer = id == 1 ? 2 : 1;
    sc.switches.push_back({fmt::format("sw{}", id), Vorn::MemberId(id), Vorn::Role::member, 0,
                           {{Kivo::IntfId("Port-Channel1"), Vorn::MemberId(peer), {member(1)}}}});
  }
  sc.links.push_back({{"sw1", member(1).intf}, {"sw2", member(1).intf}, {}});
  Options simOptions;
  simOptions.events = options.events;
  Simulation sim(sc, simOptions);
  sim.runUntil(15);
  if (confirmedCount(sim) != 2) {
    out << "frame path: the pair did not reach higigConfirmed\n";
    return false;
  }
  // The injector takes member 2's place on sw1's Ethernet1, with member 2's
  // chassis and port identity.
  const Lldp::SimWire::End sw1End{"sw1", Kivo::IntfId("Ethernet1")};
  const Lldp::SimWire::End injectorEnd{"injector", Kivo::IntfId("Ethernet1")};
  auto injector = sim.wire().transportFor("injector")->open(injectorEnd.intf, "inj0", nullptr);
  sim.wire().connect(sw1End, injectorEnd, {0.0, 0.0});
  const std::array<std::vector<uint8_t>, 2> frames{peerFrame(1), peerFrame(0)};
  // 2 kHz of frames: the refresh time moves with every frame, and sw1's own
  // transmissions (10 per second) are one frame in 200.
  const double step = 0.0005;
  auto measure = [&](bool changing) {
    const auto carried = sim.wire().counters().carried;
    const auto work = Zem::workCounters;
    const auto start = Clock::now();
    const double cpuStart = cpuSeconds();
    for (int i = 0; i < options.frameSamples; ++i) {
      injector->send(frames[changing ? static_cast<size_t>(i % 2) : 0]);
      sim.stepUntil(sim.now() + step);
    }
    const double n = static_cast<double>(options.frameSamples);
    struct Cost {
      double wallNs, cpuNs;
      uint64_t delivered;
      Work work;
    };
    return Cost{secondsSince(start) / n * 1e9, (cpuSeconds() - cpuStart) / n * 1e9,
                sim.wire().counters().carried - carried, Work::since(work, options.frameSamples)};
  };
  measure(false);  // warm up: caches, allocator, trace file pages
  const auto refresh = measure(false);
  const auto change = measure(true);
  const bool stillConfirmed = sw1Confirmed(sim);
  out << fmt::format("frame path (member switch in higigConfirmed, {} frames each):\n", options.frameSamples);
  out << fmt::format("  refresh, same TLV:        {:8.0f} ns wall, {:8.0f} ns CPU per received frame\n",
                     refresh.wallNs, refresh.cpuNs);
  out << fmt::format("  TLV changes every frame:  {:8.0f} ns wall, {:8.0f} ns CPU per received frame\n",
                     change.wallNs, change.cpuNs);
  const auto n1 = refresh.delivered;
  const auto n2 = change.delivered;
  out << fmt::format("  ({} and {} frames carried, incl. sw1's own; link still higigConfirmed: {})\n", n1, n2,
                     stillConfirmed ? "yes" : "NO");
  out << fmt::format("  framework work per received frame: same TLV {}; TLV changes {}\n", refresh.work.text(),
                     change.work.text());
  figures.push_back({"frame_same_tlv_cpu_us", "received frame, same TLV", refresh.cpuNs / 1000, "us CPU", 0.5});
  figures.push_back({"frame_changed_tlv_cpu_us", "received frame, TLV changes every time", change.cpuNs / 1000,
                     "us CPU", 2.0});
  return stillConfirmed;
}

struct GroupRun {
  double cpuSeconds = 0;
  uint64_t frames = 0;
  bool allConfirmed = false;
  Work work;
  double cpuPerFrameUs() const { return frames ? cpuSeconds / static_cast<double>(frames) * 1e6 : 0; }
};

GroupRun groupBench(int members, int linksPerMember, double hours, bool events, std::ostream& out,
                    std::ostream& progress) {
  const double runFor = hours * 3600;
  Options simOptions;
  simOptions.events = events;
  Simulation sim(ringScenario(members, linksPerMember, runFor), simOptions);
  const auto work = Zem::workCounters;
  const auto start = Clock::now();
  const double cpuStart = cpuSeconds();
  const double slice = std::min(300.0, runFor);
  double lastProgress = 0;
  for (double t = std::min(slice, runFor); ; t = std::min(t + slice, runFor)) {
    sim.runUntil(t);
    if (t - lastProgress >= 600 || t >= runFor) {
      progress << fmt::format("  ... {:.0f} s simulated, {} frames, {:.1f} s wall\n", t, sim.wire().counters().carried,
                              secondsSince(start));
      lastProgress = t;
    }
    if (t >= runFor) break;
  }
  const double wall = secondsSince(start);
  const double cpu = cpuSeconds() - cpuStart;
  const auto frames = sim.wire().counters().carried;
  const size_t links = sim.memberRows().size();
  const size_t confirmed = confirmedCount(sim);
  out << fmt::format("group: {} members, {} links each ({} member interfaces), {:.0f} s of virtual time\n",
                     members, linksPerMember, links, runFor);
  out << fmt::format("  {} frames carried in {:.1f} s of wall time: {:.0f} frames per second of wall time\n", frames,
                     wall, static_cast<double>(frames) / wall);
  out << fmt::format("  ({:.1f} s of CPU time: {:.0f} frames per CPU second)\n", cpu, static_cast<double>(frames) / cpu);
  out << fmt::format("  {:.0f}x faster than real time; {} of {} member interfaces in higigConfirmed; "
                     "{} system log messages\n",
                     runFor / wall, confirmed, links, sim.log().size());
  out << fmt::format("  peak memory (ru_maxrss): {:.1f} MiB\n", static_cast<double>(peakRssKb()) / 1024);
  GroupRun run{cpu, frames, confirmed == links, Work::since(work, frames)};
  out << fmt::format("  {:.3f} us CPU per frame carried\n", run.cpuPerFrameUs());
  out << fmt::format("  framework work per frame carried: {}\n", run.work.text());
  return run;
}

}  // namespace

bool runBench(const BenchOptions& options, std::ostream& out, std::ostream& progress) {
  std::vector<Figure> figures;
  const bool frames = frameBench(options, out, figures);
  out.flush();
  const auto small =
      groupBench(options.smallMembers, options.smallLinksPerMember, options.hours, options.events, out, progress);
  out.flush();
  const auto large = groupBench(options.members, options.linksPerMember, options.hours, options.events, out, progress);
  const std::string size = fmt::format("{} x {}", options.members, options.linksPerMember);
  const std::string smallSize = fmt::format("{} x {}", options.smallMembers, options.smallLinksPerMember);
  figures.push_back({"group_per_frame_ratio", fmt::format("per-frame CPU at {} / at {}, same run", size, smallSize),
                     small.cpuPerFrameUs() > 0 ? large.cpuPerFrameUs() / small.cpuPerFrameUs() : 0, "", 1.2});
  // Each frame sets the same work moving whatever the group's size.
  figures.push_back({"group_work_ratio", fmt::format("handler runs per frame at {} / at {}", size, smallSize),
                     small.work.handlerRuns > 0 ? large.work.handlerRuns / small.work.handlerRuns : 0, "", 1.1});
  figures.push_back({"group_hour_projected_cpu_s",
                     fmt::format("{} links, one virtual hour (projected from {} h: {:.2f} s CPU)", size,
                                 options.hours, large.cpuSeconds),
                     large.cpuSeconds / options.hours, "s CPU", 20});
  out << "\n";
  for (const auto& f : figures) print(f, out);
  if (options.json) {
    nlohmann::json j = nlohmann::json::object();
    for (const auto& f : figures) {
      j[f.key] = {{"value", f.value}, {"unit", f.unit}, {"target", f.target}, {"met", f.met()}};
    }
    j["group_small"] = {{"members", options.smallMembers}, {"links", options.smallLinksPerMember},
                        {"frames", small.frames}, {"cpu_s", small.cpuSeconds}, {"cpu_per_frame_us", small.cpuPerFrameUs()},
                        {"handler_runs_per_frame", small.work.handlerRuns}};
    j["group_large"] = {{"members", options.members}, {"links", options.linksPerMember},
                        {"frames", large.frames}, {"cpu_s", large.cpuSeconds}, {"cpu_per_frame_us", large.cpuPerFrameUs()},
                        {"handler_runs_per_frame", large.work.handlerRuns}};
    j["virtual_hours"] = options.hours;
    j["events"] = options.events;
    out << j.dump() << "\n";
  }
  return frames && small.allConfirmed && large.allConfirmed;
}

std::vector<uint8_t> peerFrame(uint8_t flags) {
  Lldp::Codec::Lldpdu pdu;
  const auto mac = Vorn::memberMacAddr(Vorn::MemberId(2));
  pdu.src = mac;
  pdu.chassisId = Lldp::ChassisId(std::string_view(reinterpret_cast<const char*>(mac.bytes().data()), 6));
  pdu.portId = Lldp::PortId(std::string_view("Ethernet1"));
  pdu.ttl = Lldp::Codec::ttlForHoldTimeMs(300);
  pdu.holdTimeMs = 300u;
  pdu.vornTlv = Lldp::VornTlv{Vorn::MemberId(2), Vorn::Role::member, Vorn::MemberId(1), Vorn::MemberId(1), flags};
  return Lldp::Codec::encode(pdu);
}

}  // namespace VornSim

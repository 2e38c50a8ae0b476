// vorn-sim: runs a whole Vorn group on the virtual clock.
//
//   vorn-sim SCENARIO.json [--json STATE.json] [--pcap FRAMES.pcap] [--trace-dir DIR]
//   vorn-sim --bench [--members N] [--links N] [--small-members N] [--small-links N] [--hours H]
//                    [--frames N] [--json]
//
// Prints every system log message as it happens ("<t> <switch> <NAME>:
// <text>", t in virtual seconds), the simulator's own events ("<t> <switch>
// -- ..."), then the negotiation state of every member interface and the
// run's figures. Exit codes: 0 done, 1 a file could not be written or read
// at run time, 2 a bad scenario or bad arguments.

#include "Bench.h"
#include "Scenario.h"
#include "Simulation.h"

#include <fmt/format.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

namespace {

constexpr int kBadInput = 2;
constexpr int kRunFailed = 1;

const char* const kUsage =
    "usage: vorn-sim SCENARIO.json [--json STATE.json] [--pcap FRAMES.pcap] [--trace-dir DIR]\n"
    "       vorn-sim --bench [--members N] [--links N] [--small-members N] [--small-links N] [--hours H]\n"
    "                        [--frames N] [--json]\n";

int usageError(const std::string& what) {
  std::cerr << "vorn-sim: " << what << "\n" << kUsage;
  return kBadInput;
}

// A whole number in min..max, or nothing.
bool parseInt(const std::string& text, int min, int max, int& out) {
  char* end = nullptr;
  errno = 0;
  const long v = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || errno != 0 || v < min || v > max) return false;
  out = static_cast<int>(v);
  return true;
}

int runBench(const std::vector<std::string>& args) {
  VornSim::BenchOptions options;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--json") {
      options.json = true;
      continue;
    }
    if (i + 1 >= args.size()) return usageError(a + " needs a value");
    const std::string& v = args[++i];
    if (a == "--members" || a == "--small-members") {
      int& target = a == "--members" ? options.members : options.smallMembers;
      if (!parseInt(v, 2, 250, target)) return usageError(a + " takes a number from 2 to 250");
    } else if (a == "--links" || a == "--small-links") {
      int& target = a == "--links" ? options.linksPerMember : options.smallLinksPerMember;
      if (!parseInt(v, 2, 1000, target) || target % 2 != 0) {
        return usageError(a + " takes an even number from 2 to 1000");
      }
    } else if (a == "--frames") {
      if (!parseInt(v, 1000, 100000000, options.frameSamples)) {
        return usageError("--frames takes a number from 1000 to 100000000");
      }
    } else if (a == "--hours") {
      char* end = nullptr;
      options.hours = std::strtod(v.c_str(), &end);
      if (v.empty() || *end != '\0' || !(options.hours > 0) || options.hours > 24) {
        return usageError("--hours takes a number above 0, at most 24");
      }
    } else {
      return usageError("unknown option " + a);
    }
  }
  return VornSim::runBench(options, std::cout, std::cerr) ? 0 : kRunFailed;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (!args.empty() && args[0] == "--bench") {
    try {
      return runBench({args.begin() + 1, args.end()});
    } catch (const std::exception& e) {
      std::cerr << "vorn-sim: " << e.what() << "\n";
      return kRunFailed;
    }
  }
  if (!args.empty() && (args[0] == "-h" || args[0] == "--help")) {
    std::cout << kUsage;
    return 0;
  }

  std::string scenarioPath;
  VornSim::Options options;
  std::string jsonPath;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    std::string* target = nullptr;
    if (a == "--json") {
      target = &jsonPath;
    } else if (a == "--pcap") {
      target = &options.pcapPath;
    } else if (a == "--trace-dir") {
      target = &options.traceDir;
    } else if (!a.empty() && a[0] == '-') {
      return usageError("unknown option " + a);
    } else if (scenarioPath.empty()) {
      scenarioPath = a;
      continue;
    } else {
      return usageError("one scenario at a time (" + scenarioPath + ", " + a + ")");
    }
    if (i + 1 >= args.size() || args[i + 1].empty()) return usageError(a + " needs a file name");
    *target = args[++i];
  }
  if (scenarioPath.empty()) return usageError("no scenario given");

  VornSim::Scenario scenario;
  try {
    scenario = VornSim::loadScenario(scenarioPath);
  } catch (const VornSim::ScenarioError& e) {
    std::cerr << "vorn-sim: " << e.what() << "\n";
    return kBadInput;
  }

  try {
    // Made before the run, so that a path that cannot be written costs no run.
    std::ofstream json;
    if (!jsonPath.empty()) {
      json.open(jsonPath);
      if (!json) {
        std::cerr << "vorn-sim: cannot write " << jsonPath << ": " << std::strerror(errno) << "\n";
        return kRunFailed;
      }
    }
    if (!scenario.description.empty()) std::cout << "# " << scenario.description << "\n";
    options.out = &std::cout;
    VornSim::Simulation sim(std::move(scenario), options);
    sim.run();
    std::cout << "\n" << VornSim::Simulation::memberTable(sim.memberRows()) << "\n" << sim.reportLine() << "\n";
    if (json.is_open()) {
      json << sim.stateJson().dump(2) << "\n";
      json.close();
      if (!json) {
        std::cerr << "vorn-sim: cannot write " << jsonPath << "\n";
        return kRunFailed;
      }
    }
  } catch (const VornSim::ScenarioError& e) {
    std::cerr << "vorn-sim: " << e.what() << "\n";
    return kBadInput;
  } catch (const std::exception& e) {
    std::cerr << "vorn-sim: " << e.what() << "\n";
    return kRunFailed;
  }
  return 0;
}

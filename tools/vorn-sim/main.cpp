// vorn-sim: runs a whole Vorn group on the virtual clock.
//
//   vorn-sim SCENARIO.json [--json STATE.json] [--pcap FRAMES.pcap] [--trace-dir DIR] [--events FILE.jsonl]
//            [--timeline FILE.html]
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

#include "common/CommandLine.h"
#include "timeline/Timeline.h"

#include <fmt/format.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>

namespace {

constexpr int kBadInput = 2;
constexpr int kRunFailed = 1;

CLI::Validator hoursRange() {
  return CLI::Validator(
      [](std::string& text) -> std::string {
        char* end = nullptr;
        const double v = std::strtod(text.c_str(), &end);
        if (text.empty() || *end != '\0' || !(v > 0) || v > 24) {
          return fmt::format("takes a number above 0, at most 24, not '{}'", text);
        }
        text = fmt::format("{}", v);  // shortest text that reads back as v
        return {};
      },
      "(0..24]");
}

const CLI::Validator kFileName(
    [](std::string& text) -> std::string { return text.empty() ? "needs a file name" : ""; }, "");

// What a scenario run takes from its command line.
struct ScenarioArgs {
  std::string scenarioPath;
  std::string jsonPath;
  std::string timelinePath;
  VornSim::Options options;
};

// The run's timeline page: a lane for every member interface of every
// switch, whether or not it ever changed state.
std::string timelinePage(const VornSim::Simulation& sim) {
  Timeline::Options options;
  options.title = sim.scenario().description.empty() ? "vorn-sim" : sim.scenario().description;
  options.endTime = sim.now();
  for (const auto& row : sim.memberRows()) options.lanes.push_back({row.switchName, row.channel, row.member});
  return Timeline::render(sim.events(), options);
}

// Writes `text` to `path`; false after saying why on stderr.
bool writeFile(const std::string& path, const std::string& text) {
  std::ofstream out(path);
  out << text;
  out.close();
  if (!out) {
    std::cerr << "vorn-sim: cannot write " << path << ": " << std::strerror(errno) << "\n";
    return false;
  }
  return true;
}

void addScenarioOptions(CLI::App& app, ScenarioArgs& args) {
  // Not marked required: the parser would report a missing scenario before
  // an unknown option, and the option is the mistake worth naming.
  app.add_option("SCENARIO", args.scenarioPath, "the scenario to run (required; see examples/README.md)")
      ->type_name("FILE");
  app.add_option("--json", args.jsonPath, "write the negotiation state at the end to this file")
      ->type_name("STATE.json")
      ->check(kFileName);
  app.add_option("--pcap", args.options.pcapPath, "write every frame on the simulated wire to this file")
      ->type_name("FRAMES.pcap")
      ->check(kFileName);
  app.add_option("--trace-dir", args.options.traceDir, "write each switch's trace file into this directory")
      ->type_name("DIR")
      ->check(kFileName);
  app.add_option("--events", args.options.eventsPath,
                 "write every event (state changes with their reasons, neighbours, messages) to this file, "
                 "one JSON object per line")
      ->type_name("FILE.jsonl")
      ->check(kFileName);
  app.add_option("--timeline", args.timelinePath,
                 "draw every member interface's negotiation over the run as one HTML page")
      ->type_name("FILE.html")
      ->check(kFileName);
}

void addBenchOptions(CLI::App& app, VornSim::BenchOptions& options) {
  app.add_option("--members", options.members, "members of the large group")
      ->transform(ToolCommandLine::wholeNumber(2, 250))
      ->capture_default_str();
  app.add_option("--links", options.linksPerMember, "links of each member of the large group")
      ->transform(ToolCommandLine::wholeNumber(2, 1000, true))
      ->capture_default_str();
  app.add_option("--small-members", options.smallMembers, "members of the small group")
      ->transform(ToolCommandLine::wholeNumber(2, 250))
      ->capture_default_str();
  app.add_option("--small-links", options.smallLinksPerMember, "links of each member of the small group")
      ->transform(ToolCommandLine::wholeNumber(2, 1000, true))
      ->capture_default_str();
  app.add_option("--hours", options.hours, "virtual hours each group runs")
      ->transform(hoursRange())
      ->capture_default_str();
  app.add_option("--frames", options.frameSamples, "frames injected to time the receive path")
      ->transform(ToolCommandLine::wholeNumber(1000, 100000000))
      ->capture_default_str();
  app.add_flag("--json", options.json, "end with the figures as one line of JSON");
  app.add_flag("--no-events", [&options](std::int64_t) { options.events = false; },
               "switches report no events: what producing them costs is the difference");
}

int runBench(const VornSim::BenchOptions& options) {
  try {
    return VornSim::runBench(options, std::cout, std::cerr) ? 0 : kRunFailed;
  } catch (const std::exception& e) {
    std::cerr << "vorn-sim: " << e.what() << "\n";
    return kRunFailed;
  }
}

int runScenario(ScenarioArgs args) {
  VornSim::Scenario scenario;
  try {
    scenario = VornSim::loadScenario(args.scenarioPath);
  } catch (const VornSim::ScenarioError& e) {
    std::cerr << "vorn-sim: " << e.what() << "\n";
    return kBadInput;
  }

  const std::string& jsonPath = args.jsonPath;
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
    if (!args.timelinePath.empty() && !writeFile(args.timelinePath, "")) return kRunFailed;
    if (!scenario.description.empty()) std::cout << "# " << scenario.description << "\n";
    args.options.out = &std::cout;
    VornSim::Simulation sim(std::move(scenario), args.options);
    sim.run();
    std::cout << "\n" << VornSim::Simulation::memberTable(sim.memberRows()) << "\n" << sim.reportLine() << "\n";
    if (!args.timelinePath.empty() && !writeFile(args.timelinePath, timelinePage(sim))) return kRunFailed;
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

}  // namespace

int main(int argc, char** argv) {
  // The two modes share option names with different meanings (--json), so
  // each has a parser of its own; --bench, first, chooses the second.
  CLI::App scenarioApp("Runs the scenario's group on the virtual clock.", "vorn-sim");
  CLI::App benchApp("Times the frame path and a large and a small group over virtual hours.", "vorn-sim --bench");
  ToolCommandLine::takeLastValue(scenarioApp);
  ToolCommandLine::takeLastValue(benchApp);
  ScenarioArgs scenarioArgs;
  addScenarioOptions(scenarioApp, scenarioArgs);
  VornSim::BenchOptions benchOptions;
  addBenchOptions(benchApp, benchOptions);

  if (argc > 1 && std::strcmp(argv[1], "--bench") == 0) {
    // argv[1] stands where the parser expects the program's name.
    if (auto done = ToolCommandLine::parse(benchApp, argc - 1, argv + 1, "vorn-sim", kBadInput)) return *done;
    return runBench(benchOptions);
  }
  const std::string help = scenarioApp.help() + "\n" + benchApp.help();
  if (auto done = ToolCommandLine::parse(scenarioApp, argc, argv, "vorn-sim", kBadInput, help)) return *done;
  if (scenarioArgs.scenarioPath.empty()) return ToolCommandLine::refused("vorn-sim", "no scenario given", kBadInput);
  return runScenario(std::move(scenarioArgs));
}

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

#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <optional>
#include <string>

namespace {

constexpr int kBadInput = 2;
constexpr int kRunFailed = 1;

// A whole decimal number in min..max, `even` when asked. The text is
// rewritten in plain decimal so that the parser's own conversion, which
// would read "010" as octal, takes the number the user meant.
CLI::Validator wholeNumber(long min, long max, bool even = false) {
  const std::string what = fmt::format("takes {}number from {} to {}", even ? "an even " : "a ", min, max);
  return CLI::Validator(
      [=](std::string& text) -> std::string {
        char* end = nullptr;
        errno = 0;
        const long v = std::strtol(text.c_str(), &end, 10);
        if (text.empty() || *end != '\0' || errno != 0 || v < min || v > max || (even && v % 2 != 0)) {
          return fmt::format("{}, not '{}'", what, text);
        }
        text = std::to_string(v);
        return {};
      },
      fmt::format("{}..{}{}", min, max, even ? " even" : ""));
}

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
  VornSim::Options options;
};

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
}

void addBenchOptions(CLI::App& app, VornSim::BenchOptions& options) {
  app.add_option("--members", options.members, "members of the large group")
      ->transform(wholeNumber(2, 250))
      ->capture_default_str();
  app.add_option("--links", options.linksPerMember, "links of each member of the large group")
      ->transform(wholeNumber(2, 1000, true))
      ->capture_default_str();
  app.add_option("--small-members", options.smallMembers, "members of the small group")
      ->transform(wholeNumber(2, 250))
      ->capture_default_str();
  app.add_option("--small-links", options.smallLinksPerMember, "links of each member of the small group")
      ->transform(wholeNumber(2, 1000, true))
      ->capture_default_str();
  app.add_option("--hours", options.hours, "virtual hours each group runs")
      ->transform(hoursRange())
      ->capture_default_str();
  app.add_option("--frames", options.frameSamples, "frames injected to time the receive path")
      ->transform(wholeNumber(1000, 100000000))
      ->capture_default_str();
  app.add_flag("--json", options.json, "end with the figures as one line of JSON");
}

// Parses argv into `app`. Returns the exit code when the run ends here: 0
// after --help (`help` is printed), kBadInput after one line on stderr
// saying what is wrong with the command line.
std::optional<int> parse(CLI::App& app, int argc, const char* const* argv, const std::string& help) {
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    std::cout << help;
    return 0;
  } catch (const CLI::ParseError& e) {
    std::cerr << "vorn-sim: " << e.what() << " (see vorn-sim --help)\n";
    return kBadInput;
  }
  return std::nullopt;
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
    if (!scenario.description.empty()) std::cout << "# " << scenario.description << "\n";
    args.options.out = &std::cout;
    VornSim::Simulation sim(std::move(scenario), args.options);
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

}  // namespace

int main(int argc, char** argv) {
  // The two modes share option names with different meanings (--json), so
  // each has a parser of its own; --bench, first, chooses the second.
  CLI::App scenarioApp("Runs the scenario's group on the virtual clock.", "vorn-sim");
  CLI::App benchApp("Times the frame path and a large and a small group over virtual hours.", "vorn-sim --bench");
  for (CLI::App* app : {&scenarioApp, &benchApp}) {
    // An option given twice takes its last value.
    app->option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  }
  ScenarioArgs scenarioArgs;
  addScenarioOptions(scenarioApp, scenarioArgs);
  VornSim::BenchOptions benchOptions;
  addBenchOptions(benchApp, benchOptions);

  if (argc > 1 && std::strcmp(argv[1], "--bench") == 0) {
    // argv[1] stands where the parser expects the program's name.
    if (auto done = parse(benchApp, argc - 1, argv + 1, benchApp.help())) return *done;
    return runBench(benchOptions);
  }
  if (auto done = parse(scenarioApp, argc, argv, scenarioApp.help() + "\n" + benchApp.help())) return *done;
  if (scenarioArgs.scenarioPath.empty()) {
    std::cerr << "vorn-sim: no scenario given (see vorn-sim --help)\n";
    return kBadInput;
  }
  return runScenario(std::move(scenarioArgs));
}

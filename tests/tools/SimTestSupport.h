#pragma once
// Runs scenarios in-process and reads their outcome the way a user of
// `vorn-sim --json` would: from the state document and the system log.

#include "Scenario.h"
#include "Simulation.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#ifndef VORN_SOURCE_DIR
#error "the tools tests need VORN_SOURCE_DIR"
#endif

namespace SimTest {

using Json = nlohmann::json;
// The state document keeps the order records were written in.
using State = nlohmann::ordered_json;

inline std::string examplePath(const std::string& name) {
  return std::string(VORN_SOURCE_DIR) + "/examples/" + name;
}

// The outcome of one run.
struct Outcome {
  State state;
  std::vector<VornSim::LogEntry> log;

  const State& sw(const std::string& name) const {
    for (const auto& s : state["switches"]) {
      if (s["name"] == name) return s;
    }
    ADD_FAILURE() << "no switch " << name;
    static const State none;
    return none;
  }
  // The member interface's entry of the backplane channel status.
  State member(const std::string& swName, const std::string& channel, const std::string& intf) const {
    const State& s = sw(swName);
    const State* bc = &s["bcStatus"];
    for (const char* key : {"bcMemberStatus", channel.c_str(), "memberIntfStatus", intf.c_str()}) {
      if (!bc->is_object() || !bc->contains(key)) return State();
      bc = &(*bc)[key];
    }
    return *bc;
  }
  // Messages of `name` on `swName` whose text contains `part`.
  size_t count(const std::string& name, const std::string& swName, const std::string& part = "") const {
    return static_cast<size_t>(std::count_if(log.begin(), log.end(), [&](const VornSim::LogEntry& e) {
      return e.name == name && e.switchName == swName && e.text.find(part) != std::string::npos;
    }));
  }
  State tlvTx(const std::string& swName, const std::string& intf) const { return sw(swName)["tlvTx"].value(intf, State()); }
  State lagGroup(const std::string& swName, const std::string& channel) const {
    const State& groups = sw(swName)["lagGroups"];
    if (!groups.is_object() || !groups.contains("bcLagGroupInfo")) return State();
    return groups["bcLagGroupInfo"].value(channel, State());
  }
};

// Runs `scenario` to its end.
inline Outcome run(VornSim::Scenario scenario) {
  VornSim::Simulation sim(std::move(scenario));
  sim.run();
  return {sim.stateJson(), sim.log()};
}

inline Outcome runExample(const std::string& name) { return run(VornSim::loadScenario(examplePath(name))); }

// Runs `sim` to `until` in steps of `step`, calling `check` after each.
template <class F>
void runSampled(VornSim::Simulation& sim, double until, double step, F check) {
  while (sim.now() + 1e-9 < until) {
    sim.runUntil(std::min(until, sim.now() + step));
    check(sim);
  }
}

inline Outcome outcomeOf(const VornSim::Simulation& sim) { return {sim.stateJson(), sim.log()}; }

}  // namespace SimTest

#pragma once
// Runs scenarios in-process and reads their outcome the way a user of
// `vorn-sim --json` would: from the state document and the system log.

#include "Scenario.h"
#include "Simulation.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

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

// The outcome of a run so far.
struct Outcome {
  State state;

  explicit Outcome(const VornSim::Simulation& sim) : state(sim.stateJson()) {}
  const State& sw(const std::string& name) const {
    for (const auto& s : state["switches"]) {
      if (s["name"] == name) return s;
    }
    ADD_FAILURE() << "no switch " << name;
    static const State none;
    return none;
  }
  // The value at `path` below switch `swName`, or null.
  State at(const std::string& swName, std::initializer_list<std::string> path) const {
    const State* node = &sw(swName);
    for (const auto& key : path) {
      if (!node->is_object() || !node->contains(key)) return State();
      node = &(*node)[key];
    }
    return *node;
  }
  State tlvTx(const std::string& swName, const std::string& intf) const { return at(swName, {"tlvTx", intf}); }
  // The member interface's entry of the backplane channel status.
  State member(const std::string& swName, const std::string& channel, const std::string& intf) const {
    return at(swName, {"bcStatus", "bcMemberStatus", channel, "memberIntfStatus", intf});
  }
};

}  // namespace SimTest

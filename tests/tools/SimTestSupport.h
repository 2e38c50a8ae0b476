#pragma once
// What the simulator's tests share: the scenario reader and the simulation,
// JSON documents, and the shipped examples.

#include "Scenario.h"
#include "Simulation.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <string>

#ifndef VORN_SOURCE_DIR
#error "the tools tests need VORN_SOURCE_DIR"
#endif

namespace SimTest {

using Json = nlohmann::json;

inline std::string examplePath(const std::string& name) {
  return std::string(VORN_SOURCE_DIR) + "/examples/" + name;
}

}  // namespace SimTest

// Feeds arbitrary text to the simulator's scenario reader. Every input must
// give a scenario that the simulator can run, and that its own checks for
// scenarios built in code (validateScenario) take again, or be refused with
// a ScenarioError that names the file, a field and a reason in one short
// printable line. Another exception, a crash or a run past libFuzzer's
// -timeout is a finding; a broken rule stops the run with a message and
// abort(), which libFuzzer records as a crash with its input.

#include "fuzz/FuzzCheck.h"
#include "Scenario.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <set>
#include <string>

namespace {

const std::string kFile = "fuzz.json";

bool printableAscii(const std::string& s) {
  for (unsigned char c : s) {
    if (c < ' ' || c >= 0x7f) return false;
  }
  return true;
}

void checkRefusal(const VornSim::ScenarioError& e) {
  CHECK(e.file() == kFile, e.what());
  CHECK(!e.field().empty() && !e.reason().empty(), e.what());
  CHECK(std::string(e.what()) == e.file() + ": " + e.field() + ": " + e.reason(), e.what());
  // A line of a terminal, whatever the input.
  CHECK(e.field().size() <= 120, e.field());
  CHECK(e.reason().size() <= 400, e.reason());
  CHECK(printableAscii(e.field()) && printableAscii(e.reason()), e.what());
}

void checkScenario(const VornSim::Scenario& sc) {
  CHECK(sc.file == kFile);
  CHECK(sc.runFor > 0 && sc.runFor <= 86400, std::to_string(sc.runFor));
  CHECK(!sc.switches.empty());
  std::set<std::string> names;
  std::set<uint8_t> memberIds;
  for (const auto& sw : sc.switches) {
    CHECK(names.insert(sw.name).second, sw.name);
    CHECK(sw.memberId.value() != 0 && memberIds.insert(sw.memberId.value()).second, sw.name);
    CHECK(sw.candidateMemberIdAt >= 0 && sw.candidateMemberIdAt <= sc.runFor, sw.name);
  }
  for (const auto& link : sc.links) {
    CHECK(sc.findSwitch(link.a.switchName) && sc.findSwitch(link.b.switchName), link.a.stringValue());
    CHECK(!(link.a == link.b), link.a.stringValue());
    CHECK(link.cable.latency >= 0 && link.cable.latency <= 60 && link.cable.loss >= 0 && link.cable.loss <= 1,
          link.a.stringValue());
  }
  for (const auto& e : sc.events) {
    CHECK(e.at >= 0 && e.at <= sc.runFor, e.field);
    CHECK(e.downFor >= 0 && e.candidateFor >= 0 && e.memberDelay >= 0 && e.asicsWarmAfter >= 0, e.field);
    if (!e.switchName.empty()) CHECK(sc.findSwitch(e.switchName) != nullptr, e.field);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  VornSim::Scenario scenario;
  try {
    scenario = VornSim::parseScenarioText(text, kFile);
  } catch (const VornSim::ScenarioError& e) {
    checkRefusal(e);
    return 0;
  } catch (const std::exception& e) {
    FuzzCheck::broken("every refusal is a ScenarioError", e.what());
  } catch (...) {
    FuzzCheck::broken("every refusal is a ScenarioError");
  }
  checkScenario(scenario);
  try {
    VornSim::validateScenario(scenario);
  } catch (const std::exception& e) {
    FuzzCheck::broken("a scenario the reader took fails validation", e.what());
  }
  return 0;
}

// Feeds arbitrary request lines to the daemon's control socket answers
// (`answerRequest`), the way the socket does: one line, without its "\n", up
// to the socket's line limit. The answers read real agents: two shipped
// examples run once in the simulator, at the start of the process, give five
// switches with negotiated, mismatched and split links and their histories;
// a sixth view is a daemon whose agent does not run yet. It checks what must
// hold whatever a member of the control group sends; a broken rule stops the
// run with a message and abort(), which libFuzzer records as a crash with its
// input.
//
// The first byte of an input picks the view; the rest is the request line.

#include "fuzz/FuzzCheck.h"
#include "ControlAnswers.h"
#include "Scenario.h"
#include "Simulation.h"

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#ifndef VORN_SOURCE_DIR
#error "the control fuzz target needs VORN_SOURCE_DIR"
#endif

namespace {

using Json = nlohmann::json;
using VornDaemon::SwitchView;

struct Views {
  std::vector<std::unique_ptr<VornSim::Simulation>> sims;
  std::vector<SwitchView> views;

  Views() {
    for (const char* example : {"wrong-cable.json", "lag-split.json"}) {
      auto sim = std::make_unique<VornSim::Simulation>(
          VornSim::loadScenario(std::string(VORN_SOURCE_DIR) + "/examples/" + example));
      sim->run();
      for (const auto& s : sim->scenario().switches) {
        SwitchView v;
        v.agent = sim->agent(s.name);
        CHECK(v.agent, s.name);
        v.history = &sim->history(s.name);
        v.switchName = s.name;
        v.now = sim->now();
        v.channels = &s.channels;
        views.push_back(v);
      }
      sims.push_back(std::move(sim));
    }
    // A daemon between its start and its agent's.
    SwitchView idle;
    idle.switchName = "idle";
    views.push_back(idle);
  }
};

const Views& views() {
  static const Views v;
  return v;
}

// The command a request names, when the request is a JSON object whose
// "command" is a string; what the answer must then be follows from it.
std::string commandOf(const Json& req) {
  const auto it = req.find("command");
  return it != req.end() && it->is_string() ? it->get<std::string>() : std::string();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const auto& all = views().views;
  const SwitchView& view = all[data[0] % all.size()];
  const std::string_view request(reinterpret_cast<const char*>(data) + 1, size - 1);
  // The socket hands over lines without their "\n", at most 4096 bytes.
  if (request.size() > 4096 || request.find('\n') != std::string_view::npos) return 0;

  const auto answer = VornDaemon::answerRequest(view, request);
  const auto seen = [&] { return fmt::format("{} -> {}", request.substr(0, 200), answer.line.substr(0, 200)); };
  // One answer is one line of JSON, in UTF-8 whatever bytes the request held.
  CHECK(answer.line.find('\n') == std::string::npos, seen());
  const Json got = Json::parse(answer.line, nullptr, false);
  CHECK(!got.is_discarded() && got.is_object(), seen());
  CHECK(got.contains("ok") && got["ok"].is_boolean(), seen());
  const bool ok = got["ok"].get<bool>();
  CHECK(answer.watch == (ok && got.size() == 3), seen());

  // Anything but one JSON object is refused (so is an object too deep or
  // with a key twice, which the parser here takes).
  const Json req = Json::parse(request, nullptr, false);
  if (req.is_discarded() || !req.is_object()) {
    CHECK(!ok, seen());
    return 0;
  }
  if (ok) {
    // Only the four commands answer, for this switch, at its time.
    const std::string command = commandOf(req);
    CHECK(command == "show" || command == "history" || command == "timeline" || command == "watch", seen());
    CHECK(answer.watch == (command == "watch"), seen());
    CHECK(got["switch"] == view.switchName && got["time"] == view.now, seen());
    // The "intf" asked for names what comes back, and nothing else.
    const auto intf = req.find("intf");
    if (command == "history" && intf != req.end() && !intf->get<std::string>().empty()) {
      for (const auto& h : got["history"]) CHECK(h["intf"] == *intf, seen());
    }
  } else {
    CHECK(got.size() == 2 && got["error"].is_string() && !got["error"].get<std::string>().empty(), seen());
    CHECK(!answer.watch, seen());
  }
  return 0;
}

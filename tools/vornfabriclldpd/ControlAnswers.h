#pragma once
// What the control socket answers: the agent's records and its event
// history, read (never written) and put as JSON. The schema is documented
// in docs/vornctl.md; vornctl prints it as tables.
//
// Requests, one JSON object per line:
//   {"command":"show","what":"links"|"neighbors"|"lag-groups"|"counters"|"toggles","intf":"Ethernet1"}
//   {"command":"history","intf":"Ethernet1"}   (intf optional: every interface)
//   {"command":"timeline"}                     (the histories and lanes for the picture)
//   {"command":"watch"}                        (then one event per line)
// Answers: {"ok":true,"switch":"1","time":<seconds since the epoch>,<what>:[...]}
//       or {"ok":false,"error":"unknown interface Ethernet9"}.

#include "ControlSocket.h"

#include "platform/events/Events.h"
#include "platform/vorn/GroupRecords.h"

#include <nlohmann/json.hpp>

#include <string>
#include <string_view>
#include <vector>

namespace VornFabricLldp {
class AgentBase;
}

namespace VornDaemon {

// What the answers read.
struct SwitchView {
  // The running agent; null before it runs.
  const VornFabricLldp::AgentBase* agent = nullptr;
  const Events::History* history = nullptr;
  std::string switchName;
  // Seconds since the epoch: the events' clock.
  double now = 0;
  // The configured channels (the configured peer of each).
  const std::vector<Vorn::ChannelPlan>* channels = nullptr;
};

// An interface the request names that this switch does not know.
class UnknownInterface : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Each throws UnknownInterface for an `intf` that is neither a configured
// member interface nor an LLDP port (nor, for history, a channel); an empty
// `intf` takes every one.
nlohmann::ordered_json showLinks(const SwitchView& view, std::string_view intf = {});
nlohmann::ordered_json showNeighbors(const SwitchView& view, std::string_view intf = {});
nlohmann::ordered_json showLagGroups(const SwitchView& view);
nlohmann::ordered_json showCounters(const SwitchView& view, std::string_view intf = {});
nlohmann::ordered_json showToggles();
nlohmann::ordered_json history(const SwitchView& view, std::string_view intf = {});
// Every configured member interface as a lane: {"switch","channel","intf"}.
nlohmann::ordered_json lanes(const SwitchView& view);

// One request line answered.
ControlSocket::Answer answerRequest(const SwitchView& view, std::string_view request);

}  // namespace VornDaemon

#pragma once
// A simulated Vorn group as the simulator runs it: switches with their
// backplane channels, the cables between them and timed events. Parsed from
// a scenario file (JSON) and checked completely before anything runs, so a
// bad scenario stops with one message naming the file, the field and the
// reason; the benchmark builds scenarios in code.
//
// File format (every field not marked optional is required; unknown fields
// are refused so that a misspelt field never goes unnoticed):
//
//   {
//     "description": "...",             optional, printed at the start
//     "runFor": 30,                      virtual seconds to simulate
//     "seed": 1,                         optional: loss pattern of the cables
//     "toggles": { "VornLagGroupMismatch": true },            optional
//     "switches": [
//       { "name": "sw1", "memberId": 1,
//         "role": "member" | "candidate",                     optional, member
//         "candidateMemberIdAt": 2,      optional, candidates only: when the
//                                        group publishes the candidate's
//                                        member ID (default 0)
//         "channels": [
//           { "intf": "Port-Channel1", "peerMemberId": 2,     optional, 0 = none
//             "members": [ { "intf": "Ethernet1", "lagGroup": "A" } ] } ] } ],
//     "links": [ { "a": "sw1:Ethernet1", "b": "sw2:Ethernet1",
//                  "latencyMs": 1, "loss": 0.0 } ],           latency, loss optional
//     "events": [ { "at": 12, "do": "cut", "link": "sw1:Ethernet1" }, ... ]
//   }
//
// Events ("at" in virtual seconds; events at the same time run in file
// order):
//   cut               link                 unplugs the cable at that end
//   connect           a, b [latencyMs, loss]  cables two ends (re-cabling them)
//   setPeerMemberId   switch, channel, peerMemberId (0: none)
//   setLagGroup       switch, intf, lagGroup ("" : none)
//   addMember         switch, channel, intf [lagGroup]
//   removeMember      switch, channel, intf
//   restartAgent      switch               the agent process restarts; the
//                                          state database and backup survive
//   reload            switch, downFor, candidateFor, asicsWarmAfter
//                     [memberDelay]        silent for downFor, candidate agent
//                                          for candidateFor, then the member
//                                          agent after memberDelay more seconds
//                                          (default 0) on a new state database
//                                          restored from the local backup; the
//                                          switch's ASICs are cold on every
//                                          record until asicsWarmAfter seconds
//                                          after the event
//   asicsWarm         switch, member, warm  one entry of one switch's record
//   disconnectStateDb / connectStateDb   switch

#include "lldp/SimWire.h"
#include "platform/config/JsonConfig.h"
#include "platform/vorn/GroupRecords.h"
#include "platform/framework/Values.h"
#include "platform/records/VornTypes.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace VornSim {

// A scenario that cannot run. what() is "<file>: <field>: <reason>".
using ScenarioError = Config::FieldError;

using MemberSpec = Vorn::MemberIntfPlan;
using ChannelSpec = Vorn::ChannelPlan;

struct SwitchSpec {
  std::string name;
  Vorn::MemberId memberId;
  Vorn::Role role = Vorn::Role::member;
  // Candidates: when the group publishes the candidate member ID.
  Velto::Duration candidateMemberIdAt = 0;
  std::vector<ChannelSpec> channels;
};

struct LinkSpec {
  Lldp::SimWire::End a;
  Lldp::SimWire::End b;
  Lldp::SimWire::CableSpec cable;
};

enum class EventKind {
  cut,
  connect,
  setPeerMemberId,
  setLagGroup,
  addMember,
  removeMember,
  restartAgent,
  reload,
  asicsWarm,
  disconnectStateDb,
  connectStateDb,
};
// The name used in scenario files ("setPeerMemberId").
const char* eventKindName(EventKind kind);

struct EventSpec {
  Velto::Duration at = 0;
  EventKind kind = EventKind::cut;
  std::string field;  // "events[3]", for messages
  std::string switchName;
  Lldp::SimWire::End a;  // cut: the end to unplug; connect: one end
  Lldp::SimWire::End b;
  Lldp::SimWire::CableSpec cable;
  Kivo::IntfId channel;
  Kivo::IntfId intf;
  Vorn::MemberId peerMemberId;  // setPeerMemberId (0: none)
  std::string lagGroup;
  Vorn::MemberId member;  // asicsWarm
  bool warm = true;
  Velto::Duration downFor = 0;
  Velto::Duration candidateFor = 0;
  Velto::Duration memberDelay = 0;
  Velto::Duration asicsWarmAfter = 0;
};

struct Scenario {
  std::string file;  // where it was read from; "<built>" for code
  std::string description;
  Velto::Duration runFor = 0;
  uint64_t seed = 1;
  std::map<std::string, bool> toggles;
  std::vector<SwitchSpec> switches;
  std::vector<LinkSpec> links;
  std::vector<EventSpec> events;  // in file order

  const SwitchSpec* findSwitch(const std::string& name) const;
};

// The toggles a scenario may set: the agent's four.
const std::vector<std::string>& knownToggles();

// Parses and checks a scenario; `file` names it in messages. Throws
// ScenarioError.
Scenario parseScenario(const nlohmann::json& doc, const std::string& file);
Scenario parseScenarioText(const std::string& text, const std::string& file);
// Reads `path` and parses it; an unreadable file is a ScenarioError too.
Scenario loadScenario(const std::string& path);

// The checks parseScenario makes beyond the shape of the JSON, for
// scenarios built in code: names, identifiers, cabling, and events that fit
// the configuration and the timeline. Throws ScenarioError.
void validateScenario(const Scenario& scenario);

}  // namespace VornSim

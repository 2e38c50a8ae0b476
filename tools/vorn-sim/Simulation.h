#pragma once
// A whole Vorn group in one process, on one virtual clock.
//
// Every switch of the scenario gets what it has on real hardware: its own
// state database (with a local backup directory under the run's work
// directory), kernel interface table, LLDP transport on the shared simulated
// wire, system log, trace file and agent host running the member agent or
// the candidate agent. The simulator also plays the group's other services
// for each switch: it publishes the member configuration, the ASIC warm-up
// record, the Ethernet LAG status (derived from the cabling), the group
// status with a candidate's member ID, and the directories the agents mount.
//
// All switches share one VirtualScheduler. Each switch has its own switch
// context (identity, trace file, system log sink, LLDP transport, kernel
// interface source, toggles, flash); timers remember the context they were
// made in and the scheduler activates it before one runs. A frame arriving
// on the wire activates the receiving switch's context before it is
// delivered. The simulator's own steps run in a context of their own, which
// belongs to no switch.
//
// The destructor stops every agent (flushing the backups) and leaves no
// context active.

#include "Scenario.h"

#include "lldp/SimWire.h"
#include "platform/events/Events.h"
#include "platform/lodestore/StateDatabase.h"
#include "platform/scheduler/Scheduler.h"
#include "platform/scheduler/SwitchContext.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <fstream>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

namespace VornFabricLldp {
class AgentBase;
}

namespace VornSim {

// One system log message of one switch.
struct LogEntry {
  Velto::Duration time;
  std::string switchName;
  std::string name;  // "VORN_BACKPLANE_INTF_READY"
  std::string text;
};

// What the simulator did, for the reader of the output ("sw2 reload ...").
struct EventNote {
  Velto::Duration time;
  std::string switchName;
  std::string text;
};

// The negotiation state of one member interface at the end of a run.
struct MemberRow {
  std::string switchName;
  std::string channel;
  std::string member;
  std::string state;   // "higigConfirmed"; "-" while no agent runs the channel
  bool fabricMode = false;
  std::string peer;    // member ID heard in the peer's TLV, "-" for none
  std::string cable;   // far end of the cable, "-" when unplugged
  std::string reason = "-";  // why the state last changed; "-" when it never did
};

struct Options {
  // Log lines and event notes as they happen; null prints nothing.
  std::ostream* out = nullptr;
  // Every frame carried, as a pcap file.
  std::string pcapPath;
  // Every event of every switch and the simulator's own, one JSON object
  // per line as they happen.
  std::string eventsPath;
  // Switches report events (history, end-of-run reasons, the file above);
  // off only to measure what producing them costs.
  bool events = true;
  // Trace files "<dir>/VornFabricLldp-<switch>.rl"; empty keeps them in the
  // work directory.
  std::string traceDir;
  // Backups, flash and toggles live here; empty makes a fresh directory
  // under $TMPDIR (or /tmp) and removes it afterwards.
  std::string workDir;
};

struct Report {
  Velto::Duration virtualTime = 0;
  Lldp::SimWire::Counters frames;
  double wallSeconds = 0;
};

class Simulation {
 public:
  // Builds and boots every switch at time 0 and schedules the events.
  // Throws ScenarioError for a scenario that fails validateScenario, and
  // std::runtime_error when a file (work directory, trace, pcap) cannot be
  // made.
  explicit Simulation(Scenario scenario, Options options = {});
  ~Simulation();
  Simulation(const Simulation&) = delete;
  Simulation& operator=(const Simulation&) = delete;

  // Runs to the scenario's end (runFor).
  void run();
  // Runs every task due up to virtual time `t`.
  void runUntil(Velto::Duration t);
  // The same, leaving the run's wall time as it is: for a harness that
  // takes a step per frame and times itself, to which the two clock reads
  // of each step would be a tenth of a frame's cost.
  void stepUntil(Velto::Duration t);
  Velto::Duration now() const;

  const Scenario& scenario() const { return scenario_; }
  const std::vector<LogEntry>& log() const { return log_; }
  const std::vector<EventNote>& notes() const { return notes_; }
  // Every event so far, of every switch and of the simulator, in order.
  const std::vector<Events::Event>& events() const { return events_; }
  // The per-interface history of one switch.
  const Events::History& history(const std::string& switchName) const;
  std::vector<MemberRow> memberRows() const;
  // The rows as an aligned text table with a heading line.
  static std::string memberTable(const std::vector<MemberRow>& rows);
  // Final records of every switch, the system log and the run's figures.
  nlohmann::ordered_json stateJson() const;
  Report report() const;
  // "simulated 30.000 s ... frames carried ... wall time".
  std::string reportLine() const;

  // For tests and the benchmark.
  Oru::VirtualScheduler& scheduler() { return *scheduler_; }
  Lldp::SimWire& wire() { return *wire_; }
  // The agent running on the switch; null while none runs.
  VornFabricLldp::AgentBase* agent(const std::string& switchName) const;
  Velto::Ptr<Lodestore::StateDatabase> stateDatabase(const std::string& switchName) const;
  // Activates the switch's context, as before running its events.
  void activateSwitch(const std::string& switchName);
  // The switch's context.
  Oru::SwitchContext& context(const std::string& switchName) const;

 private:
  struct Switch;

  // Stops every agent and deactivates the contexts; safe to call twice and
  // on a half-built simulation.
  void teardown();
  Switch* findSwitch(const std::string& name) const;
  Switch& switchNamed(const std::string& name) const;
  void activate(Switch& sw);
  void activateSimulator() { simContext_.activate(); }
  // Runs `step` `delay` seconds from now in the simulator's context.
  void later(std::function<void()> step, Velto::Duration delay);
  void boot(Switch& sw, Vorn::Role role, bool fromScratch);
  void startAgent(Switch& sw, Vorn::Role role);
  void stopAgent(Switch& sw);
  void publishGroupRecords(Switch& sw);
  void writeMemberConfig(Switch& sw);
  void writeAsicsWarm(Switch& sw);
  void writeLagStatus(Switch& sw);
  void writeLagStatusEverywhere();
  void publishCandidateMemberId(Switch& sw);
  bool memberLinkUp(const Switch& sw, const Kivo::IntfId& intf) const;
  void runEvent(const EventSpec& e);
  void reload(Switch& sw, const EventSpec& e);
  void note(const std::string& switchName, const std::string& text);
  void handleSyslog(const Switch& sw, double time, const std::string& name, const std::string& text);
  void takeEvent(const Events::Event& event);
  nlohmann::ordered_json switchJson(const Switch& sw) const;

  Scenario scenario_;
  Options options_;
  std::string workDir_;
  bool ownWorkDir_ = false;
  bool tornDown_ = false;
  Velto::Ptr<Oru::VirtualScheduler> scheduler_;
  Oru::SwitchContext simContext_;
  Velto::Ptr<Lldp::SimWire> wire_;
  std::vector<std::unique_ptr<Switch>> switches_;
  struct Pending {
    Velto::Ptr<Oru::TimerTask> task;
    Zem::Reactor reactor;
  };
  std::vector<Pending> pending_;
  std::vector<LogEntry> log_;
  std::vector<EventNote> notes_;
  std::vector<Events::Event> events_;
  std::ofstream eventsOut_;
  std::chrono::steady_clock::duration wall_{};
};

}  // namespace VornSim

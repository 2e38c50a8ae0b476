#include "Simulation.h"

#include "VornFabricLldp/VornFabricLldpAgent.h"
#include "lldp/PcapWriter.h"
#include "platform/events/Events.h"
#include "platform/framework/Assert.h"
#include "platform/host/Host.h"
#include "platform/kernel/InterfaceSource.h"
#include "platform/log/RateLimit.h"
#include "platform/log/Syslog.h"
#include "platform/records/InterfaceRecords.h"
#include "platform/records/VornRecords.h"
#include "platform/toggles/Toggles.h"
#include "platform/trace/Ringlog.h"
#include "platform/vorn/Group.h"
#include "platform/vorn/KniIntfMapperSm.h"
#include "platform/vorn/VornMemberFileMgrSm.h"

#include <fmt/format.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <stdexcept>
#include <utility>

namespace VornSim {

namespace fs = std::filesystem;
using Json = Zem::Json;
using Lldp::SimWire;

namespace {

// The backups are flushed to disk (with fsync) every half second of
// virtual time, which a run compresses into far less wall time: keep them in
// memory (/dev/shm) unless TMPDIR says otherwise.
std::string makeWorkDir() {
  const char* tmp = std::getenv("TMPDIR");
  std::string base = tmp && *tmp ? tmp : "/tmp";
  if (!(tmp && *tmp) && access("/dev/shm", W_OK | X_OK) == 0) base = "/dev/shm";
  std::string pattern = base + "/vorn-sim-XXXXXX";
  if (!mkdtemp(pattern.data())) {
    throw std::runtime_error(fmt::format("cannot make a work directory {}: {}", pattern, std::strerror(errno)));
  }
  return pattern;
}

void makeDirs(const std::string& dir) {
  std::error_code ec;
  fs::create_directories(dir, ec);
  if (ec) throw std::runtime_error(fmt::format("cannot make directory {}: {}", dir, ec.message()));
}

std::string roleName(const Zem::Optional<Vorn::Role>& role) {
  return role ? Vorn::stringValue(*role) : std::string("none");
}

}  // namespace

// ---------------------------------------------------------------------------

struct Simulation::Switch {
  std::string name;
  Vorn::MemberId memberId;
  size_t index = 0;  // in the scenario
  Oru::SwitchContext context;
  Vorn::SwitchIdentity identity;
  std::string backupDir;
  std::string flashRoot;
  Velto::Ptr<KernelNetInfo::SimInterfaceSource> source;
  Velto::Ptr<Lldp::Transport> transport;
  std::unique_ptr<Ringlog::File> trace;
  std::unique_ptr<Syslog::CallbackSink> sink;
  std::unique_ptr<Syslog::RateLimitedSink> limiter;  // in front of sink
  std::unique_ptr<Events::Recorder> recorder;
  Velto::Ptr<Lodestore::StateDatabase> db;
  std::unique_ptr<AgentHost::Host> host;

  // What the group's services hold about this switch; written into its
  // state database whenever it has one.
  std::vector<ChannelSpec> config;
  std::map<Vorn::MemberId, bool> asicsWarm;
  bool candidateMemberIdPublished = false;
  // Powered: its cables carry light.
  bool up = true;

  const ChannelSpec* channel(const Kivo::IntfId& intf) const {
    for (const auto& c : config) {
      if (c.intf == intf) return &c;
    }
    return nullptr;
  }
  ChannelSpec* channel(const Kivo::IntfId& intf) {
    return const_cast<ChannelSpec*>(std::as_const(*this).channel(intf));
  }
  MemberSpec* member(const Kivo::IntfId& intf) {
    for (auto& c : config) {
      for (auto& m : c.members) {
        if (m.intf == intf) return &m;
      }
    }
    return nullptr;
  }
  VornFabricLldp::AgentBase* agent() const {
    return host ? dynamic_cast<VornFabricLldp::AgentBase*>(host->agent().get()) : nullptr;
  }
};

// ---------------------------------------------------------------------------

Simulation::Simulation(Scenario scenario, Options options)
    : scenario_(std::move(scenario)), options_(std::move(options)) {
  validateScenario(scenario_);
  try {
    if (options_.workDir.empty()) {
      workDir_ = makeWorkDir();
      ownWorkDir_ = true;
    } else {
      workDir_ = options_.workDir;
      makeDirs(workDir_);
    }

    // Every switch reads the scenario's own toggle file, into a cache of its
    // context.
    const std::string toggleDir = workDir_ + "/toggles";
    makeDirs(toggleDir);
    {
      nlohmann::json toggles = nlohmann::json::object();
      for (const auto& [name, value] : scenario_.toggles) toggles[name] = value;
      std::ofstream(toggleDir + "/VornCore.json") << toggles.dump(2) << "\n";
    }
    scheduler_ = Velto::make<Oru::VirtualScheduler>(0.0);
    // Trace and system log time stamps follow the virtual clock.
    const auto useVirtualClock = [this, &toggleDir](Oru::SwitchContext& context) {
      context.schedulerIs(scheduler_.get());
      context.traceClockIs([](const void* s) { return static_cast<const Oru::VirtualScheduler*>(s)->now(); },
                           scheduler_.get());
      context.syslogClockIs([s = scheduler_.get()] { return s->now(); });
      context.toggles().directoryIs(toggleDir);
    };
    useVirtualClock(simContext_);
    activateSimulator();
    if (!options_.eventsPath.empty()) {
      eventsOut_.open(options_.eventsPath);
      if (!eventsOut_) {
        throw std::runtime_error(fmt::format("cannot write {}: {}", options_.eventsPath, std::strerror(errno)));
      }
    }
    wire_ = Velto::make<SimWire>(scheduler_, scenario_.seed);
    if (!options_.pcapPath.empty()) wire_->pcapWriterIs(Velto::make<Lldp::PcapWriter>(options_.pcapPath));
    wire_->deliveryHookIs([this](const std::string& switchName, const std::function<void()>& deliver) {
      // Ports the wire knows under another name (a benchmark's frame
      // injector) belong to no switch.
      if (Switch* sw = findSwitch(switchName)) activate(*sw);
      deliver();
    });

    const std::string traceDir = options_.traceDir.empty() ? workDir_ + "/trace" : options_.traceDir;
    makeDirs(traceDir);
    // Every interface that is ever a member is a port of the switch.
    std::map<std::string, std::set<Kivo::IntfId>> ports;
    for (const auto& s : scenario_.switches) {
      for (const auto& c : s.channels) {
        for (const auto& m : c.members) ports[s.name].insert(m.intf);
      }
    }
    for (const auto& e : scenario_.events) {
      if (e.kind == EventKind::addMember) ports[e.switchName].insert(e.intf);
    }
    for (size_t i = 0; i < scenario_.switches.size(); ++i) {
      const auto& spec = scenario_.switches[i];
      auto sw = std::make_unique<Switch>();
      sw->name = spec.name;
      sw->memberId = spec.memberId;
      sw->index = i;
      sw->identity = {spec.role, spec.role == Vorn::Role::member ? spec.memberId : Vorn::MemberId()};
      const std::string dir = workDir_ + "/" + spec.name;
      sw->backupDir = dir + "/backup";
      sw->flashRoot = dir + "/flash";
      makeDirs(sw->backupDir);
      makeDirs(sw->flashRoot);
      sw->source = Velto::make<KernelNetInfo::SimInterfaceSource>();
      uint16_t index = 0;
      for (const auto& intf : ports[spec.name]) {
        ++index;
        const Kivo::EthAddr mac({0x52, 0x54, spec.memberId.value(), 0, static_cast<uint8_t>(index >> 8),
                                 static_cast<uint8_t>(index & 0xff)});
        sw->source->addInterface(Vorn::KniIntfMapperSm::ruleDeviceName(intf), mac);
      }
      sw->transport = wire_->transportFor(spec.name);
      try {
        sw->trace = Ringlog::File::open(traceDir + "/VornFabricLldp-" + spec.name + ".rl");
      } catch (const std::exception& e) {
        throw std::runtime_error(fmt::format("cannot open the trace file of {}: {}", spec.name, e.what()));
      }
      Switch* raw = sw.get();
      sw->sink = std::make_unique<Syslog::CallbackSink>([this, raw](const Syslog::Entry& entry) {
        handleSyslog(*raw, entry.time, std::string(entry.message->name), entry.text);
      });
      sw->limiter = std::make_unique<Syslog::RateLimitedSink>(scheduler_, *sw->sink);
      sw->config = spec.channels;
      Oru::SwitchContext& context = sw->context;
      useVirtualClock(context);
      context.identityIs(sw->identity);
      context.traceFileIs(sw->trace.get());
      context.syslogSinkIs(sw->limiter.get());
      sw->recorder = std::make_unique<Events::Recorder>(spec.name);
      sw->recorder->subscribe([this](const Events::Event& e) { takeEvent(e); });
      if (options_.events) context.eventSinkIs(sw->recorder.get());
      context.transportIs(sw->transport);
      context.interfaceSourceIs(sw->source);
      context.flashRootIs(sw->flashRoot);
      for (const auto& other : scenario_.switches) sw->asicsWarm[other.memberId] = true;
      switches_.push_back(std::move(sw));
    }

    activateSimulator();
    for (const auto& link : scenario_.links) wire_->connect(link.a, link.b, link.cable);
    for (auto& sw : switches_) boot(*sw, *sw->identity.role, false);

    activateSimulator();
    for (auto& sw : switches_) {
      if (*sw->identity.role != Vorn::Role::candidate) continue;
      const auto at = scenario_.switches[sw->index].candidateMemberIdAt;
      later([this, raw = sw.get()] { publishCandidateMemberId(*raw); }, at);
    }
    for (const auto& e : scenario_.events) {
      later([this, ev = &e] { runEvent(*ev); }, e.at);
    }
  } catch (...) {
    teardown();
    throw;
  }
}

Simulation::~Simulation() { teardown(); }

void Simulation::teardown() {
  if (tornDown_) return;
  tornDown_ = true;
  for (auto& sw : switches_) {
    // Stopping the agents is not part of the run.
    sw->context.eventSinkIs(nullptr);
    if (!sw->host) continue;
    activate(*sw);
    sw->host.reset();  // stops the agent and flushes the backup
    sw->db = nullptr;
  }
  activateSimulator();
  if (wire_) {
    if (wire_->pcapWriter()) wire_->pcapWriter()->flush();
    wire_->deliveryHookIs(nullptr);
    wire_->pcapWriterIs(nullptr);
  }
  pending_.clear();
  switches_.clear();
  wire_ = nullptr;
  if (scheduler_) scheduler_->postedDelAll();
  scheduler_ = nullptr;
  if (ownWorkDir_) {
    std::error_code ec;
    fs::remove_all(workDir_, ec);
  }
  if (simContext_.isActive()) Oru::SwitchContext::deactivateAll();
}

// ---------------------------------------------------------------------------
// Activating a switch

Simulation::Switch* Simulation::findSwitch(const std::string& name) const {
  for (const auto& sw : switches_) {
    if (sw->name == name) return sw.get();
  }
  return nullptr;
}

Simulation::Switch& Simulation::switchNamed(const std::string& name) const {
  if (Switch* sw = findSwitch(name)) return *sw;
  throw std::invalid_argument("no switch is named \"" + name + "\"");
}

void Simulation::activate(Switch& sw) { sw.context.activate(); }

void Simulation::activateSwitch(const std::string& switchName) { activate(switchNamed(switchName)); }

Oru::SwitchContext& Simulation::context(const std::string& switchName) const {
  return switchNamed(switchName).context;
}

// The simulator's own steps run in its own context, on timers it owns: a
// step still pending when the run ends is dropped with the simulation.
void Simulation::later(std::function<void()> step, Velto::Duration delay) {
  Oru::SwitchContext::Scope simulator(simContext_);
  Pending p;
  p.task = Velto::make<Oru::TimerTask>(scheduler_, 0, "vornSim");
  p.reactor = p.task->subscribe([step = std::move(step)](const Zem::Change&) { step(); });
  p.task->scheduleTaskDelay(delay);
  pending_.push_back(std::move(p));
}

// ---------------------------------------------------------------------------
// Life of a switch

void Simulation::boot(Switch& sw, Vorn::Role role, bool fromScratch) {
  activate(sw);
  sw.up = true;
  sw.db = Velto::make<Lodestore::StateDatabase>(scheduler_);
  sw.db->backupDirIs(sw.backupDir);
  sw.db->restoredFromScratchIs(fromScratch);
  publishGroupRecords(sw);
  sw.db->connectedIs(true);
  sw.host = std::make_unique<AgentHost::Host>(scheduler_, sw.db);
  startAgent(sw, role);
}

void Simulation::startAgent(Switch& sw, Vorn::Role role) {
  stopAgent(sw);
  activate(sw);
  sw.identity.role = role;
  if (role == Vorn::Role::member) sw.identity.memberId = sw.memberId;
  sw.context.identityIs(sw.identity);
  // The agent's name is the member ID: the backed-up member configuration,
  // "vorn/memberConfig/<id>" and a candidate's entities all use it.
  const std::string name = sw.memberId.stringValue();
  Velto::Ptr<AgentBase::CAgent> agent;
  if (role == Vorn::Role::member) {
    agent = Velto::make<VornFabricLldp::Agent>(name);
  } else {
    agent = Velto::make<VornFabricLldp::CandidateAgent>(name);
  }
  sw.host->start(agent);
}

void Simulation::stopAgent(Switch& sw) {
  if (!sw.host || !sw.host->agent()) return;
  activate(sw);
  sw.host->stop();
}

// The records the group's other services publish in a switch's state
// database before its agent starts.
void Simulation::publishGroupRecords(Switch& sw) {
  Vorn::GroupRecords::publishDirs(*sw.db);
  writeMemberConfig(sw);
  writeAsicsWarm(sw);
  writeLagStatus(sw);
  if (sw.candidateMemberIdPublished) publishCandidateMemberId(sw);
}

void Simulation::writeMemberConfig(Switch& sw) {
  if (!sw.db) return;
  activate(sw);
  Vorn::GroupRecords::writeMemberConfig(*sw.db, sw.memberId, sw.config);
}

void Simulation::writeAsicsWarm(Switch& sw) {
  if (!sw.db) return;
  activate(sw);
  Vorn::GroupRecords::writeAsicsWarm(*sw.db, sw.asicsWarm);
}

bool Simulation::memberLinkUp(const Switch& sw, const Kivo::IntfId& intf) const {
  if (!sw.up) return false;
  auto far = wire_->peer(SimWire::End{sw.name, intf});
  return far && switchNamed(far->switchName).up;
}

// A member is up while its cable is connected and the far switch is up.
void Simulation::writeLagStatus(Switch& sw) {
  if (!sw.db) return;
  activate(sw);
  Vorn::GroupRecords::writeLagStatus(*sw.db, sw.config,
                                     [this, &sw](const Kivo::IntfId& m) { return memberLinkUp(sw, m); });
}

void Simulation::writeLagStatusEverywhere() {
  for (auto& sw : switches_) writeLagStatus(*sw);
  activateSimulator();
}

void Simulation::publishCandidateMemberId(Switch& sw) {
  sw.candidateMemberIdPublished = true;
  if (!sw.db) return;
  activate(sw);
  Vorn::GroupRecords::publishCandidateMemberId(*sw.db, sw.memberId);
}

// ---------------------------------------------------------------------------
// Events

void Simulation::note(const std::string& switchName, const std::string& text) {
  notes_.push_back({scheduler_->now(), switchName, text});
  takeEvent({scheduler_->now(), switchName, Events::Kind::scenario, "", {{"text", text}}});
  if (options_.out) *options_.out << fmt::format("{:.3f} {} -- {}\n", scheduler_->now(), switchName, text);
}

void Simulation::handleSyslog(const Switch& sw, double time, const std::string& name, const std::string& text) {
  log_.push_back({time, sw.name, name, text});
  if (options_.out) *options_.out << fmt::format("{:.3f} {} {}: {}\n", time, sw.name, name, text);
}

void Simulation::takeEvent(const Events::Event& event) {
  events_.push_back(event);
  if (eventsOut_.is_open()) eventsOut_ << Events::toJson(event) << '\n';
}

const Events::History& Simulation::history(const std::string& switchName) const {
  return switchNamed(switchName).recorder->history();
}

void Simulation::runEvent(const EventSpec& e) {
  activateSimulator();
  Switch* sw = e.switchName.empty() ? nullptr : &switchNamed(e.switchName);
  const std::string who = sw ? sw->name : e.a.switchName;
  switch (e.kind) {
    case EventKind::cut:
      note(who, fmt::format("cut the cable at {}", e.a.stringValue()));
      wire_->cut(e.a);
      writeLagStatusEverywhere();
      return;
    case EventKind::connect:
      note(who, fmt::format("connect {} to {}", e.a.stringValue(), e.b.stringValue()));
      wire_->connect(e.a, e.b, e.cable);
      writeLagStatusEverywhere();
      return;
    case EventKind::setPeerMemberId: {
      note(who, fmt::format("{} expects peer member {}", e.channel.stringValue(),
                            e.peerMemberId.value() ? e.peerMemberId.stringValue() : std::string("none")));
      sw->channel(e.channel)->peerMemberId = e.peerMemberId;
      writeMemberConfig(*sw);
      break;
    }
    case EventKind::setLagGroup:
      note(who, fmt::format("{} in LAG group \"{}\"", e.intf.stringValue(), e.lagGroup));
      sw->member(e.intf)->lagGroup = e.lagGroup;
      writeMemberConfig(*sw);
      break;
    case EventKind::addMember:
      note(who, fmt::format("add {} to {}", e.intf.stringValue(), e.channel.stringValue()));
      sw->channel(e.channel)->members.push_back({e.intf, e.lagGroup});
      writeMemberConfig(*sw);
      writeLagStatusEverywhere();
      break;
    case EventKind::removeMember: {
      note(who, fmt::format("remove {} from {}", e.intf.stringValue(), e.channel.stringValue()));
      auto& members = sw->channel(e.channel)->members;
      std::erase_if(members, [&](const MemberSpec& m) { return m.intf == e.intf; });
      writeMemberConfig(*sw);
      writeLagStatusEverywhere();
      break;
    }
    case EventKind::restartAgent:
      if (!sw->host || !sw->host->agent()) {
        note(who, "restart the agent: ignored, no agent runs");
        break;
      }
      note(who, "restart the agent");
      startAgent(*sw, *sw->identity.role);
      break;
    case EventKind::reload: reload(*sw, e); break;
    case EventKind::asicsWarm:
      note(who, fmt::format("ASICs of member {} {}", e.member.value(), e.warm ? "warm" : "cold"));
      sw->asicsWarm[e.member] = e.warm;
      writeAsicsWarm(*sw);
      break;
    case EventKind::disconnectStateDb:
    case EventKind::connectStateDb: {
      const bool connect = e.kind == EventKind::connectStateDb;
      if (!sw->db) {
        note(who, fmt::format("{} the state database: ignored, the switch is down", connect ? "connect" : "disconnect"));
        break;
      }
      note(who, fmt::format("{} the state database", connect ? "connect" : "disconnect"));
      activate(*sw);
      sw->db->connectedIs(connect);
      break;
    }
  }
  activateSimulator();
}

void Simulation::reload(Switch& sw, const EventSpec& e) {
  note(sw.name, fmt::format("reload: silent for {:.3f} s, candidate for {:.3f} s, member agent {:.3f} s later, "
                            "ASICs warm at {:.3f}",
                            e.downFor, e.candidateFor, e.memberDelay, scheduler_->now() + e.asicsWarmAfter));
  // The agent stops as on any clean shutdown; what survives is the local
  // backup on disk.
  stopAgent(sw);
  sw.host.reset();
  sw.db = nullptr;
  sw.up = false;
  for (auto& other : switches_) {
    other->asicsWarm[sw.memberId] = false;
    writeAsicsWarm(*other);
  }
  writeLagStatusEverywhere();

  Switch* raw = &sw;
  activateSimulator();
  later(
      [this, raw] {
        note(raw->name, "boots as a candidate");
        raw->identity = {Vorn::Role::candidate, raw->memberId};
        raw->context.identityIs(raw->identity);
        // The switch keeps its member ID: the group publishes it at once.
        raw->candidateMemberIdPublished = true;
        boot(*raw, Vorn::Role::candidate, true);
        writeLagStatusEverywhere();
      },
      e.downFor);
  later(
      [this, raw] {
        note(raw->name, "candidate agent stops");
        stopAgent(*raw);
        activateSimulator();
      },
      e.downFor + e.candidateFor);
  later(
      [this, raw] {
        note(raw->name, "member agent starts from the local backup");
        startAgent(*raw, Vorn::Role::member);
        activateSimulator();
      },
      e.downFor + e.candidateFor + e.memberDelay);
  later(
      [this, raw] {
        note(raw->name, "ASICs warm");
        for (auto& other : switches_) {
          other->asicsWarm[raw->memberId] = true;
          writeAsicsWarm(*other);
        }
        activateSimulator();
      },
      e.asicsWarmAfter);
}

// ---------------------------------------------------------------------------
// Running

void Simulation::runUntil(Velto::Duration t) {
  const auto start = std::chrono::steady_clock::now();
  stepUntil(t);
  wall_ += std::chrono::steady_clock::now() - start;
}

void Simulation::stepUntil(Velto::Duration t) {
  scheduler_->runUntil(t);
  activateSimulator();
  if (wire_->pcapWriter()) wire_->pcapWriter()->flush();
}

void Simulation::run() { runUntil(scenario_.runFor); }

Velto::Duration Simulation::now() const { return scheduler_->now(); }

VornFabricLldp::AgentBase* Simulation::agent(const std::string& switchName) const {
  return switchNamed(switchName).agent();
}

Velto::Ptr<Lodestore::StateDatabase> Simulation::stateDatabase(const std::string& switchName) const {
  return switchNamed(switchName).db;
}

// ---------------------------------------------------------------------------
// Results

std::vector<MemberRow> Simulation::memberRows() const {
  std::vector<MemberRow> rows;
  for (const auto& sw : switches_) {
    auto* agent = sw->agent();
    const auto& root = agent ? agent->rootSm() : Velto::Ptr<VornFabricLldp::AgentSm>();
    for (const auto& ch : sw->config) {
      for (const auto& m : ch.members) {
        MemberRow row{sw->name, ch.intf.stringValue(), m.intf.stringValue(), "-", false, "-", "-"};
        if (root) {
          if (auto bc = root->backplaneChannelStatus()->bcMemberStatus(ch.intf)) {
            if (auto st = bc->memberIntfStatus(m.intf)) {
              row.state = Vorn::stringValue(st->state());
              row.fabricMode = st->fabricMode();
            }
          }
          if (auto ctx = root->ctxForMember()->ctx(m.intf)) {
            if (auto rx = ctx->rxInfo(); rx && rx->tlv()) row.peer = rx->tlv()->memberId.stringValue();
          }
        }
        if (auto far = wire_->peer(SimWire::End{sw->name, m.intf})) row.cable = far->stringValue();
        const auto* last = sw->recorder->history().last(m.intf.stringValue(), Events::Kind::linkState);
        if (const std::string* reason = last ? last->field("reason") : nullptr) row.reason = *reason;
        rows.push_back(std::move(row));
      }
    }
  }
  return rows;
}

std::string Simulation::memberTable(const std::vector<MemberRow>& rows) {
  std::vector<std::array<std::string, 8>> cells;
  cells.push_back({"switch", "channel", "member", "state", "fabricMode", "peer", "cable", "reason"});
  for (const auto& r : rows) {
    cells.push_back(
        {r.switchName, r.channel, r.member, r.state, r.fabricMode ? "true" : "false", r.peer, r.cable, r.reason});
  }
  std::array<size_t, 8> width{};
  for (const auto& line : cells) {
    for (size_t i = 0; i < line.size(); ++i) width[i] = std::max(width[i], line[i].size());
  }
  std::string out;
  for (const auto& line : cells) {
    std::string text;
    for (size_t i = 0; i < line.size(); ++i) {
      text += i + 1 < line.size() ? fmt::format("{:<{}}  ", line[i], width[i]) : line[i];
    }
    out += text + "\n";
  }
  return out;
}

Json Simulation::switchJson(const Switch& sw) const {
  Json j;
  j["name"] = sw.name;
  j["memberId"] = sw.memberId.value();
  j["role"] = roleName(sw.identity.role);
  j["up"] = sw.up;
  j["stateDbConnected"] = sw.db && sw.db->connected();
  auto* agent = sw.agent();
  j["agent"] = !agent ? Json() : Json(dynamic_cast<VornFabricLldp::Agent*>(agent) ? "Agent" : "CandidateAgent");
  const auto& root = agent ? agent->rootSm() : Velto::Ptr<VornFabricLldp::AgentSm>();
  if (!root) {
    for (const char* key : {"bcStatus", "lagGroups", "tlvTx", "vornLldpStatus", "lldpPorts"}) j[key] = Json();
    return j;
  }
  j["bcStatus"] = Zem::toJson(*root->backplaneChannelStatus());
  j["lagGroups"] = root->vflBcLagGroupInfo() ? Zem::toJson(*root->vflBcLagGroupInfo()) : Json();
  // Ports in interface order, not the collections' hash order.
  auto sorted = [](std::vector<Kivo::IntfId> keys) {
    std::sort(keys.begin(), keys.end());
    return keys;
  };
  Json tlv = Json::object();
  for (const auto& intf : sorted(root->localSystem()->localPort().keys())) {
    const auto tx = root->localSystem()->localPort(intf)->vornTlvTx();
    tlv[intf.stringValue()] = tx ? Zem::JsonCodec<Lldp::VornTlv>::toJson(*tx) : Json();
  }
  j["tlvTx"] = std::move(tlv);
  j["vornLldpStatus"] = root->vornLldpStatus() ? Zem::toJson(*root->vornLldpStatus()) : Json();
  Json ports = Json::object();
  for (const auto& intf : sorted(root->status()->portStatus().keys())) {
    const auto ps = root->status()->portStatus(intf);
    ports[intf.stringValue()] = {{"framesIn", ps->framesIn()},
                                 {"framesOut", ps->framesOut()},
                                 {"framesDiscarded", ps->framesDiscarded()},
                                 {"tlvsUnrecognized", ps->tlvsUnrecognized()},
                                 {"ageouts", ps->ageouts()},
                                 {"remoteSystems", ps->remoteSystem().size()}};
  }
  j["lldpPorts"] = std::move(ports);
  return j;
}

Json Simulation::stateJson() const {
  Json j;
  j["scenario"] = scenario_.file;
  const Report r = report();
  j["virtualTime"] = r.virtualTime;
  j["wallSeconds"] = r.wallSeconds;
  j["frames"] = {{"sent", r.frames.sent}, {"carried", r.frames.carried}, {"lost", r.frames.lost},
                 {"dropped", r.frames.dropped}};
  Json switches = Json::array();
  for (const auto& sw : switches_) switches.push_back(switchJson(*sw));
  j["switches"] = std::move(switches);
  Json members = Json::array();
  for (const auto& row : memberRows()) {
    members.push_back({{"switch", row.switchName}, {"channel", row.channel}, {"member", row.member},
                       {"state", row.state}, {"fabricMode", row.fabricMode}, {"peer", row.peer}, {"cable", row.cable}});
  }
  j["members"] = std::move(members);
  Json log = Json::array();
  for (const auto& e : log_) log.push_back({{"time", e.time}, {"switch", e.switchName}, {"name", e.name}, {"text", e.text}});
  j["syslog"] = std::move(log);
  Json notes = Json::array();
  for (const auto& n : notes_) notes.push_back({{"time", n.time}, {"switch", n.switchName}, {"text", n.text}});
  j["events"] = std::move(notes);
  return j;
}

Report Simulation::report() const {
  return {scheduler_->now(), wire_->counters(), std::chrono::duration<double>(wall_).count()};
}

std::string Simulation::reportLine() const {
  const Report r = report();
  return fmt::format(
      "simulated {:.3f} s of virtual time in {:.3f} s of wall time; frames: {} carried, {} lost on lossy cables, "
      "{} dropped (unplugged or port closed)",
      r.virtualTime, r.wallSeconds, r.frames.carried, r.frames.lost, r.frames.dropped);
}

}  // namespace VornSim

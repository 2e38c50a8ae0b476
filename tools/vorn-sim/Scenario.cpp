#include "Scenario.h"

#include "platform/config/JsonConfig.h"
#include "platform/vorn/KniIntfMapperSm.h"

#include <fmt/format.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <set>
#include <sstream>

namespace VornSim {

using Json = nlohmann::json;
using Lldp::SimWire;

const char* eventKindName(EventKind kind) {
  switch (kind) {
    case EventKind::cut: return "cut";
    case EventKind::connect: return "connect";
    case EventKind::setPeerMemberId: return "setPeerMemberId";
    case EventKind::setLagGroup: return "setLagGroup";
    case EventKind::addMember: return "addMember";
    case EventKind::removeMember: return "removeMember";
    case EventKind::restartAgent: return "restartAgent";
    case EventKind::reload: return "reload";
    case EventKind::asicsWarm: return "asicsWarm";
    case EventKind::disconnectStateDb: return "disconnectStateDb";
    case EventKind::connectStateDb: return "connectStateDb";
  }
  return "?";
}

const SwitchSpec* Scenario::findSwitch(const std::string& name) const {
  for (const auto& s : switches) {
    if (s.name == name) return &s;
  }
  return nullptr;
}

const std::vector<std::string>& knownToggles() {
  static const std::vector<std::string> names{"VornMembershipVerification", "VornFabricLldpLowTxHt",
                                              "VornLldpLodestoreConnectTlv", "VornLagGroupMismatch"};
  return names;
}

namespace {

// Longest run a scenario may ask for: a day of virtual time.
constexpr double kMaxRunFor = 86400;
// Cable latency above a minute is a typo, not a cable.
constexpr double kMaxLatencyMs = 60000;

using Config::joined;
using Config::kindOf;
using Config::shown;

// The scenario's own shapes on top of the common readers.
class Reader : public Config::Reader {
 public:
  using Config::Reader::Reader;

  SimWire::End end(const Json& j, const std::string& path) const {
    const std::string text = string(j, path);
    auto colon = text.find(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == text.size()) {
      fail(path, fmt::format("{} is not of the form switch:interface (\"sw1:Ethernet1\")", shown(j)));
    }
    return SimWire::End{text.substr(0, colon), ethernet(Json(text.substr(colon + 1)), path)};
  }

  // Latency and loss of a cable, from the fields of `j`.
  SimWire::CableSpec cable(const Json& j, const std::string& path) const {
    SimWire::CableSpec spec;
    if (auto* v = optional(j, "latencyMs")) spec.latency = number(*v, sub(path, "latencyMs"), 0, kMaxLatencyMs) / 1000;
    if (auto* v = optional(j, "loss")) spec.loss = number(*v, sub(path, "loss"), 0, 1);
    return spec;
  }
};

bool validSwitchName(const std::string& name) {
  if (name.empty() || name.size() > 32) return false;
  return std::all_of(name.begin(), name.end(), [](unsigned char c) {
    return std::isalnum(c) || c == '-' || c == '_' || c == '.';
  });
}

SwitchSpec parseSwitch(const Reader& r, const Json& j, const std::string& path) {
  r.object(j, path, {"name", "memberId", "role", "candidateMemberIdAt", "channels"});
  SwitchSpec s;
  s.name = r.string(r.required(j, path, "name"), Reader::sub(path, "name"));
  s.memberId = r.memberId(r.required(j, path, "memberId"), Reader::sub(path, "memberId"), 1);
  if (auto* role = Reader::optional(j, "role")) {
    const std::string text = r.string(*role, Reader::sub(path, "role"));
    if (text == "member") {
      s.role = Vorn::Role::member;
    } else if (text == "candidate") {
      s.role = Vorn::Role::candidate;
    } else {
      r.fail(Reader::sub(path, "role"), fmt::format("{} is neither \"member\" nor \"candidate\"", shown(*role)));
    }
  }
  if (auto* at = Reader::optional(j, "candidateMemberIdAt")) {
    const std::string field = Reader::sub(path, "candidateMemberIdAt");
    s.candidateMemberIdAt = r.number(*at, field, 0, kMaxRunFor);
    if (s.role != Vorn::Role::candidate) r.fail(field, "only a candidate waits for its member ID");
  }
  s.channels = r.channels(r.required(j, path, "channels"), Reader::sub(path, "channels"));
  return s;
}

EventSpec parseEvent(const Reader& r, const Json& j, const std::string& path) {
  if (!j.is_object()) r.fail(path, fmt::format("expected an object, found {} {}", kindOf(j), shown(j)));
  EventSpec e;
  e.field = path;
  const std::string doPath = Reader::sub(path, "do");
  const std::string what = r.string(r.required(j, path, "do"), doPath);
  static const std::vector<EventKind> kinds{
      EventKind::cut,          EventKind::connect,       EventKind::setPeerMemberId, EventKind::setLagGroup,
      EventKind::addMember,    EventKind::removeMember,  EventKind::restartAgent,    EventKind::reload,
      EventKind::asicsWarm,    EventKind::disconnectStateDb, EventKind::connectStateDb};
  auto kind = std::find_if(kinds.begin(), kinds.end(), [&](EventKind k) { return what == eventKindName(k); });
  if (kind == kinds.end()) {
    std::vector<std::string> names;
    for (auto k : kinds) names.emplace_back(eventKindName(k));
    r.fail(doPath, fmt::format("unknown event {}; expected one of: {}", shown(Json(what)), joined(names)));
  }
  e.kind = *kind;

  std::vector<std::string> fields{"at", "do"};
  switch (e.kind) {
    case EventKind::cut: fields.insert(fields.end(), {"link"}); break;
    case EventKind::connect: fields.insert(fields.end(), {"a", "b", "latencyMs", "loss"}); break;
    case EventKind::setPeerMemberId: fields.insert(fields.end(), {"switch", "channel", "peerMemberId"}); break;
    case EventKind::setLagGroup: fields.insert(fields.end(), {"switch", "intf", "lagGroup"}); break;
    case EventKind::addMember: fields.insert(fields.end(), {"switch", "channel", "intf", "lagGroup"}); break;
    case EventKind::removeMember: fields.insert(fields.end(), {"switch", "channel", "intf"}); break;
    case EventKind::reload:
      fields.insert(fields.end(), {"switch", "downFor", "candidateFor", "memberDelay", "asicsWarmAfter"});
      break;
    case EventKind::asicsWarm: fields.insert(fields.end(), {"switch", "member", "warm"}); break;
    case EventKind::restartAgent:
    case EventKind::disconnectStateDb:
    case EventKind::connectStateDb: fields.insert(fields.end(), {"switch"}); break;
  }
  r.object(j, path, fields);

  auto req = [&](const char* key) -> const Json& { return r.required(j, path, key); };
  auto at = [&](const char* key) { return Reader::sub(path, key); };
  e.at = r.number(req("at"), at("at"), 0, kMaxRunFor);
  if (std::find(fields.begin(), fields.end(), "switch") != fields.end()) {
    e.switchName = r.string(req("switch"), at("switch"));
  }
  switch (e.kind) {
    case EventKind::cut: e.a = r.end(req("link"), at("link")); break;
    case EventKind::connect:
      e.a = r.end(req("a"), at("a"));
      e.b = r.end(req("b"), at("b"));
      e.cable = r.cable(j, path);
      break;
    case EventKind::setPeerMemberId:
      e.channel = r.channel(req("channel"), at("channel"));
      e.peerMemberId = r.memberId(req("peerMemberId"), at("peerMemberId"), 0);
      break;
    case EventKind::setLagGroup:
      e.intf = r.ethernet(req("intf"), at("intf"));
      e.lagGroup = r.string(req("lagGroup"), at("lagGroup"));
      break;
    case EventKind::addMember:
      e.channel = r.channel(req("channel"), at("channel"));
      e.intf = r.ethernet(req("intf"), at("intf"));
      if (auto* g = Reader::optional(j, "lagGroup")) e.lagGroup = r.string(*g, at("lagGroup"));
      break;
    case EventKind::removeMember:
      e.channel = r.channel(req("channel"), at("channel"));
      e.intf = r.ethernet(req("intf"), at("intf"));
      break;
    case EventKind::reload:
      e.downFor = r.number(req("downFor"), at("downFor"), 0, kMaxRunFor);
      e.candidateFor = r.number(req("candidateFor"), at("candidateFor"), 0, kMaxRunFor);
      if (auto* d = Reader::optional(j, "memberDelay")) e.memberDelay = r.number(*d, at("memberDelay"), 0, kMaxRunFor);
      e.asicsWarmAfter = r.number(req("asicsWarmAfter"), at("asicsWarmAfter"), 0, kMaxRunFor);
      break;
    case EventKind::asicsWarm:
      e.member = r.memberId(req("member"), at("member"), 1);
      e.warm = r.boolean(req("warm"), at("warm"));
      break;
    case EventKind::restartAgent:
    case EventKind::disconnectStateDb:
    case EventKind::connectStateDb: break;
  }
  return e;
}

// --- semantic checks ----------------------------------------------------------

std::string memberPath(size_t s, size_t c, size_t m) {
  return fmt::format("switches[{}].channels[{}].members[{}].intf", s, c, m);
}

// Channel membership of one switch as events change it, to check each event
// against the configuration it will meet.
struct ConfigModel {
  // channel -> members
  std::map<Kivo::IntfId, std::set<Kivo::IntfId>> channels;
  // member -> channel, so that a file of many channels and many events is
  // checked in n log n, not n squared.
  std::map<Kivo::IntfId, Kivo::IntfId> channelOfMember;

  const Kivo::IntfId* channelOf(const Kivo::IntfId& intf) const {
    auto it = channelOfMember.find(intf);
    return it == channelOfMember.end() ? nullptr : &it->second;
  }
  void memberIs(const Kivo::IntfId& channel, const Kivo::IntfId& intf) {
    channels[channel].insert(intf);
    channelOfMember[intf] = channel;
  }
  void memberDel(const Kivo::IntfId& channel, const Kivo::IntfId& intf) {
    channels[channel].erase(intf);
    channelOfMember.erase(intf);
  }
};

}  // namespace

void validateScenario(const Scenario& sc) {
  const Reader r(sc.file);
  if (!(sc.runFor > 0) || sc.runFor > kMaxRunFor) r.fail("runFor", fmt::format("{} s: the run must be above 0 and at most {} s", sc.runFor, kMaxRunFor));
  for (const auto& [name, value] : sc.toggles) {
    const auto& known = knownToggles();
    if (std::find(known.begin(), known.end(), name) == known.end()) {
      r.fail(Reader::sub("toggles", name), fmt::format("unknown toggle; known toggles: {}", joined(known)));
    }
  }
  if (sc.switches.empty()) r.fail("switches", "a group needs at least one switch");

  std::map<std::string, size_t> byName;
  std::map<uint8_t, size_t> byMemberId;
  std::map<std::string, ConfigModel> models;
  // Interfaces that are a member of some channel at some time, per switch:
  // the ports the switch has.
  std::map<std::string, std::set<Kivo::IntfId>> ports;
  for (size_t s = 0; s < sc.switches.size(); ++s) {
    const auto& sw = sc.switches[s];
    const std::string sp = fmt::format("switches[{}]", s);
    if (!validSwitchName(sw.name)) {
      r.fail(sp + ".name",
             fmt::format("{} is not a switch name: 1 to 32 letters, digits, '-', '_' or '.'", shown(Json(sw.name))));
    }
    if (auto it = byName.find(sw.name); it != byName.end()) {
      r.fail(sp + ".name", fmt::format("\"{}\" is already the name of switches[{}]", sw.name, it->second));
    }
    byName[sw.name] = s;
    if (sw.memberId.value() == 0) r.fail(sp + ".memberId", "0 is not a member ID");
    if (auto it = byMemberId.find(sw.memberId.value()); it != byMemberId.end()) {
      r.fail(sp + ".memberId", fmt::format("member ID {} is already taken by switches[{}] ({})", sw.memberId.value(),
                                           it->second, sc.switches[it->second].name));
    }
    byMemberId[sw.memberId.value()] = s;
    if (sw.role != Vorn::Role::candidate && sw.candidateMemberIdAt != 0) {
      r.fail(sp + ".candidateMemberIdAt", "only a candidate waits for its member ID");
    }
    if (sw.candidateMemberIdAt < 0 || sw.candidateMemberIdAt > sc.runFor) {
      r.fail(sp + ".candidateMemberIdAt", fmt::format("{} is outside the run (0..{})", sw.candidateMemberIdAt, sc.runFor));
    }
    auto& model = models[sw.name];
    std::map<Kivo::IntfId, std::string> seenMember;
    for (size_t c = 0; c < sw.channels.size(); ++c) {
      const auto& ch = sw.channels[c];
      const std::string cp = fmt::format("{}.channels[{}]", sp, c);
      if (ch.intf.typeCode() != Kivo::IntfId::portChannel) {
        r.fail(cp + ".intf", fmt::format("\"{}\" is not a channel", ch.intf.stringValue()));
      }
      if (model.channels.count(ch.intf)) r.fail(cp + ".intf", fmt::format("{} is configured twice", ch.intf.stringValue()));
      model.channels[ch.intf];
      if (ch.peerMemberId == sw.memberId) {
        r.fail(cp + ".peerMemberId", fmt::format("member {} cannot be its own peer", sw.memberId.value()));
      }
      for (size_t m = 0; m < ch.members.size(); ++m) {
        const auto& mem = ch.members[m];
        if (mem.intf.typeCode() != Kivo::IntfId::ethernet) {
          r.fail(memberPath(s, c, m), fmt::format("\"{}\" is not an Ethernet interface", mem.intf.stringValue()));
        }
        if (auto it = seenMember.find(mem.intf); it != seenMember.end()) {
          r.fail(memberPath(s, c, m), fmt::format("{} is already a member at {}", mem.intf.stringValue(), it->second));
        }
        seenMember[mem.intf] = memberPath(s, c, m);
        model.memberIs(ch.intf, mem.intf);
        ports[sw.name].insert(mem.intf);
      }
    }
  }
  for (const auto& e : sc.events) {
    if (e.kind == EventKind::addMember && byName.count(e.switchName)) ports[e.switchName].insert(e.intf);
  }

  auto checkEnd = [&](const SimWire::End& end, const std::string& field) {
    if (!byName.count(end.switchName)) r.fail(field, fmt::format("no switch is named {}", shown(Json(end.switchName))));
    if (!ports[end.switchName].count(end.intf)) {
      r.fail(field, fmt::format("{} has no member interface {} (configured or added by an event)", end.switchName,
                                end.intf.stringValue()));
    }
  };
  std::map<SimWire::End, size_t> cabled;
  for (size_t l = 0; l < sc.links.size(); ++l) {
    const auto& link = sc.links[l];
    const std::string lp = fmt::format("links[{}]", l);
    checkEnd(link.a, lp + ".a");
    checkEnd(link.b, lp + ".b");
    if (link.a == link.b) r.fail(lp + ".b", fmt::format("a cable cannot connect {} to itself", link.a.stringValue()));
    for (const auto* end : {&link.a, &link.b}) {
      if (auto it = cabled.find(*end); it != cabled.end()) {
        r.fail(lp + (end == &link.a ? ".a" : ".b"),
               fmt::format("{} is already cabled by links[{}]", end->stringValue(), it->second));
      }
      cabled[*end] = l;
    }
    if (!(link.cable.latency >= 0) || link.cable.latency * 1000 > kMaxLatencyMs) {
      r.fail(lp + ".latencyMs", fmt::format("{} is outside 0..{}", link.cable.latency * 1000, kMaxLatencyMs));
    }
    if (!(link.cable.loss >= 0 && link.cable.loss <= 1)) r.fail(lp + ".loss", fmt::format("{} is outside 0..1", link.cable.loss));
  }

  // Events meet the configuration in time order (file order among equal
  // times), as the simulator runs them.
  std::vector<const EventSpec*> ordered;
  for (const auto& e : sc.events) ordered.push_back(&e);
  std::stable_sort(ordered.begin(), ordered.end(), [](const EventSpec* x, const EventSpec* y) { return x->at < y->at; });
  // Reloads per switch: [start, member agent start) and the event.
  std::map<std::string, std::pair<double, const EventSpec*>> reloadEnds;
  for (const EventSpec* e : ordered) {
    const std::string& ep = e->field;
    if (e->at > sc.runFor) r.fail(ep + ".at", fmt::format("{} s is after the end of the run ({} s)", e->at, sc.runFor));
    const SwitchSpec* sw = nullptr;
    if (!e->switchName.empty() || (e->kind != EventKind::cut && e->kind != EventKind::connect)) {
      sw = sc.findSwitch(e->switchName);
      if (!sw) r.fail(ep + ".switch", fmt::format("no switch is named {}", shown(Json(e->switchName))));
    }
    ConfigModel* model = sw ? &models[sw->name] : nullptr;
    switch (e->kind) {
      case EventKind::cut: checkEnd(e->a, ep + ".link"); break;
      case EventKind::connect:
        checkEnd(e->a, ep + ".a");
        checkEnd(e->b, ep + ".b");
        if (e->a == e->b) r.fail(ep + ".b", fmt::format("a cable cannot connect {} to itself", e->a.stringValue()));
        break;
      case EventKind::setPeerMemberId:
        if (!model->channels.count(e->channel)) {
          r.fail(ep + ".channel", fmt::format("{} has no channel {}", sw->name, e->channel.stringValue()));
        }
        if (e->peerMemberId == sw->memberId) {
          r.fail(ep + ".peerMemberId", fmt::format("member {} cannot be its own peer", sw->memberId.value()));
        }
        break;
      case EventKind::setLagGroup:
        if (!model->channelOf(e->intf)) {
          r.fail(ep + ".intf", fmt::format("{} is not a member of any channel of {} at {} s", e->intf.stringValue(),
                                           sw->name, e->at));
        }
        break;
      case EventKind::addMember: {
        if (!model->channels.count(e->channel)) {
          r.fail(ep + ".channel", fmt::format("{} has no channel {}", sw->name, e->channel.stringValue()));
        }
        if (const auto* ch = model->channelOf(e->intf)) {
          r.fail(ep + ".intf", fmt::format("{} is already a member of {} on {} at {} s", e->intf.stringValue(),
                                           ch->stringValue(), sw->name, e->at));
        }
        model->memberIs(e->channel, e->intf);
        break;
      }
      case EventKind::removeMember: {
        if (!model->channels.count(e->channel)) {
          r.fail(ep + ".channel", fmt::format("{} has no channel {}", sw->name, e->channel.stringValue()));
        }
        if (!model->channels[e->channel].count(e->intf)) {
          r.fail(ep + ".intf", fmt::format("{} is not a member of {} on {} at {} s", e->intf.stringValue(),
                                           e->channel.stringValue(), sw->name, e->at));
        }
        model->memberDel(e->channel, e->intf);
        break;
      }
      case EventKind::reload: {
        if (sw->role != Vorn::Role::member) {
          r.fail(ep + ".switch", fmt::format("{} is a candidate; only a member reloads into its member ID", sw->name));
        }
        if (auto it = reloadEnds.find(sw->name); it != reloadEnds.end() && e->at < it->second.first) {
          r.fail(ep + ".at", fmt::format("{} is still reloading ({} until {} s) at {} s", sw->name, it->second.second->field,
                                         it->second.first, e->at));
        }
        reloadEnds[sw->name] = {e->at + e->downFor + e->candidateFor + e->memberDelay, e};
        break;
      }
      case EventKind::asicsWarm:
      case EventKind::restartAgent:
      case EventKind::disconnectStateDb:
      case EventKind::connectStateDb: break;
    }
  }
}

Scenario parseScenario(const Json& doc, const std::string& file) {
  const Reader r(file);
  r.object(doc, "", {"description", "runFor", "seed", "toggles", "switches", "links", "events"});
  Scenario sc;
  sc.file = file;
  if (auto* d = Reader::optional(doc, "description")) sc.description = r.string(*d, "description");
  sc.runFor = r.number(r.required(doc, "", "runFor"), "runFor", 0, kMaxRunFor);
  if (auto* seed = Reader::optional(doc, "seed")) {
    sc.seed = static_cast<uint64_t>(r.integer(*seed, "seed", 0, std::numeric_limits<int64_t>::max()));
  }
  if (auto* toggles = Reader::optional(doc, "toggles")) {
    if (!toggles->is_object()) r.fail("toggles", fmt::format("expected an object of booleans, found {}", kindOf(*toggles)));
    for (auto it = toggles->begin(); it != toggles->end(); ++it) {
      sc.toggles[it.key()] = r.boolean(it.value(), Reader::sub("toggles", it.key()));
    }
  }
  const Json& switches = r.list(r.required(doc, "", "switches"), "switches");
  for (size_t s = 0; s < switches.size(); ++s) sc.switches.push_back(parseSwitch(r, switches[s], Reader::item("switches", s)));
  if (auto* links = Reader::optional(doc, "links")) {
    r.list(*links, "links");
    for (size_t l = 0; l < links->size(); ++l) {
      const std::string lp = Reader::item("links", l);
      const Json& lj = (*links)[l];
      r.object(lj, lp, {"a", "b", "latencyMs", "loss"});
      LinkSpec link;
      link.a = r.end(r.required(lj, lp, "a"), lp + ".a");
      link.b = r.end(r.required(lj, lp, "b"), lp + ".b");
      link.cable = r.cable(lj, lp);
      sc.links.push_back(std::move(link));
    }
  }
  if (auto* events = Reader::optional(doc, "events")) {
    r.list(*events, "events");
    for (size_t e = 0; e < events->size(); ++e) sc.events.push_back(parseEvent(r, (*events)[e], Reader::item("events", e)));
  }
  validateScenario(sc);
  return sc;
}

Scenario parseScenarioText(const std::string& text, const std::string& file) {
  return parseScenario(Config::parseText(text, file), file);
}

Scenario loadScenario(const std::string& path) { return parseScenarioText(Config::readFile(path), path); }

}  // namespace VornSim

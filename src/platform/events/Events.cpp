#include "platform/events/Events.h"

#include "platform/framework/WallClock.h"
#include "platform/scheduler/SwitchContext.h"

#include <nlohmann/json.hpp>

#include <array>
#include <utility>

namespace Events {

namespace {

constexpr std::array<std::string_view, 13> kKindNames = {
    "linkState",       "membership",         "fabricMode",      "neighborAdded", "neighborChanged",
    "neighborAgedOut", "neighborDeleted",    "lagMismatch",     "lagMismatchCleared",
    "preferredMember", "stateDatabase",      "syslog",          "scenario",
};

// Keys every event has; a kind's field may not take one of these names.
bool reservedKey(std::string_view key) { return key == "time" || key == "switch" || key == "type" || key == "intf"; }

}  // namespace

std::string_view kindName(Kind kind) {
  const auto i = static_cast<std::size_t>(kind);
  return i < kKindNames.size() ? kKindNames[i] : "unknown";
}

std::optional<Kind> kindNamed(std::string_view name) {
  for (std::size_t i = 0; i < kKindNames.size(); ++i) {
    if (kKindNames[i] == name) return static_cast<Kind>(i);
  }
  return std::nullopt;
}

const std::string* Event::field(std::string_view key) const {
  for (const auto& f : fields) {
    if (f.key == key) return &f.value;
  }
  return nullptr;
}

std::string toJson(const Event& event) {
  nlohmann::ordered_json j;
  j["time"] = event.time;
  j["switch"] = event.switchName;
  j["type"] = kindName(event.kind);
  if (!event.intf.empty()) j["intf"] = event.intf;
  for (const auto& f : event.fields) j[f.key] = f.value;
  // Replacement characters for bytes that are not UTF-8 (a system name
  // heard on the wire): one bad neighbour must not stop the stream.
  return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::optional<Event> fromJson(std::string_view line, std::string* error) {
  auto fail = [error](std::string why) -> std::optional<Event> {
    if (error != nullptr) *error = std::move(why);
    return std::nullopt;
  };
  const auto j = nlohmann::ordered_json::parse(line, nullptr, false);
  if (j.is_discarded() || !j.is_object()) return fail("not a JSON object");
  Event e;
  const auto time = j.find("time");
  if (time == j.end() || !time->is_number()) return fail("\"time\" is missing or not a number");
  e.time = time->get<double>();
  const auto sw = j.find("switch");
  if (sw == j.end() || !sw->is_string()) return fail("\"switch\" is missing or not a string");
  e.switchName = sw->get<std::string>();
  const auto type = j.find("type");
  if (type == j.end() || !type->is_string()) return fail("\"type\" is missing or not a string");
  const auto kind = kindNamed(type->get<std::string>());
  if (!kind) return fail("unknown type \"" + type->get<std::string>() + "\"");
  e.kind = *kind;
  for (const auto& [key, value] : j.items()) {
    if (key == "intf") {
      if (!value.is_string()) return fail("\"intf\" is not a string");
      e.intf = value.get<std::string>();
    } else if (!reservedKey(key)) {
      if (!value.is_string()) return fail("field \"" + key + "\" is not a string");
      e.fields.push_back({key, value.get<std::string>()});
    }
  }
  return e;
}

bool enabled() {
  const Oru::SwitchContext* context = Oru::SwitchContext::active();
  return context != nullptr && context->eventSink() != nullptr;
}

void emit(Kind kind, std::string_view intf, std::initializer_list<Field> fields) {
  Oru::SwitchContext* context = Oru::SwitchContext::active();
  if (context == nullptr || context->eventSink() == nullptr) return;
  Sink& sink = *context->eventSink();
  Event e;
  e.time = context->syslogClock() ? context->syslogClock()() : Zem::WallClock().now();
  e.switchName = sink.switchName();
  e.kind = kind;
  e.intf = intf;
  e.fields = fields;
  sink.take(e);
}

void History::add(const Event& event) {
  if (event.intf.empty()) return;
  auto it = rings_.find(event.intf);
  if (it == rings_.end()) it = rings_.emplace(event.intf, std::deque<Event>{}).first;
  auto& ring = it->second;
  if (ring.size() == depth) ring.pop_front();
  ring.push_back(event);
}

std::vector<Event> History::of(std::string_view intf) const {
  const auto it = rings_.find(intf);
  if (it == rings_.end()) return {};
  return {it->second.begin(), it->second.end()};
}

std::vector<std::string> History::interfaces() const {
  std::vector<std::string> names;
  names.reserve(rings_.size());
  for (const auto& [name, ring] : rings_) names.push_back(name);
  return names;
}

const Event* History::last(std::string_view intf, Kind kind) const {
  const auto it = rings_.find(intf);
  if (it == rings_.end()) return nullptr;
  for (auto e = it->second.rbegin(); e != it->second.rend(); ++e) {
    if (e->kind == kind) return &*e;
  }
  return nullptr;
}

void Recorder::take(const Event& event) {
  history_.add(event);
  // Ids only grow, so walking by id from the smallest visits every
  // subscriber present when the event arrived that is still present, even
  // when one removes itself or another on the way.
  const int end = nextId_;  // one subscribed on the way starts with the next event
  for (int id = 0;;) {
    const auto it = subscribers_.lower_bound(id);
    if (it == subscribers_.end() || it->first >= end) break;
    id = it->first + 1;
    const Subscriber subscriber = it->second;  // a copy: it may unsubscribe
    subscriber(event);
  }
}

int Recorder::subscribe(Subscriber subscriber) {
  const int id = nextId_++;
  subscribers_.emplace(id, std::move(subscriber));
  return id;
}

void Recorder::unsubscribe(int id) { subscribers_.erase(id); }

}  // namespace Events

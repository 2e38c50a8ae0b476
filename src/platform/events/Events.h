#pragma once
// Events: every change an operator cares about, one typed record each.
//
// A state machine that changes something an operator watches (a member
// interface's negotiation state, an LLDP neighbour, a LAG mismatch, ...)
// reports it here:
//
//   if (Events::enabled()) Events::emit(Events::Kind::linkState, intf, {{"from", ...}, {"to", ...}});
//
// The event goes to the active switch context's event sink; with no sink
// (the default) nothing is built and nothing is stored, so the agent pays
// one pointer test per change. The daemon and the simulator install a
// `Recorder`, which keeps the last `History::depth` events of every
// interface and hands each event to its subscribers (the control socket's
// `watch` clients, the simulator's event file).
//
// Events are written as one JSON object per line, the same from the daemon
// and from the simulator:
//
//   {"time":12.3,"switch":"1","type":"linkState","intf":"Ethernet7",
//    "channel":"Backplane1","from":"higigConfirmed","to":"ethLinkDown",
//    "reason":"heartbeat timed out"}
//
// "time" is seconds (virtual in the simulator, since the epoch on a
// switch), "switch" the member ID of the switch (its name in the
// simulator), "type" the kind's name, "intf" the interface the event is
// about (absent for switch-wide events); every other key is one of the
// kind's fields, a string, in the order the kind lists them. The schema of
// each kind is in docs/events.md.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <initializer_list>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace Events {

enum class Kind : uint8_t {
  linkState,          // channel from to reason
  membership,         // channel from to reason
  fabricMode,         // channel from to
  neighborAdded,      // index chassisId portId systemName ttl
  neighborChanged,    // index chassisId portId what vornTlv changes (at most one a second)
  neighborAgedOut,    // index chassisId portId
  neighborDeleted,    // index chassisId portId (a TTL 0 frame)
  lagMismatch,        // channel side groups (appeared; intf is the channel)
  lagMismatchCleared, // channel side groups
  preferredMember,    // channel side from to (intf is the channel)
  stateDatabase,      // connected ("true"/"false")
  syslog,             // name severity text
  scenario,           // text (the simulator's own events: cable cut, reload, ...)
};

// "linkState", ...; the name of an unknown value is "unknown".
std::string_view kindName(Kind kind);
std::optional<Kind> kindNamed(std::string_view name);

struct Field {
  std::string key;
  std::string value;
  bool operator==(const Field&) const = default;
};

struct Event {
  double time = 0;
  std::string switchName;
  Kind kind = Kind::linkState;
  std::string intf;  // empty for switch-wide events
  std::vector<Field> fields;

  // The value of field `key`; null when the event has no such field.
  const std::string* field(std::string_view key) const;
  bool operator==(const Event&) const = default;
};

// One line of JSON, without the newline.
std::string toJson(const Event& event);
// Reads a line written by toJson; nullopt with `error` set (if given) for
// anything else.
std::optional<Event> fromJson(std::string_view line, std::string* error = nullptr);

class Sink {
 public:
  // `switchName` stamps every event this sink takes from emit().
  explicit Sink(std::string switchName = {}) : switchName_(std::move(switchName)) {}
  virtual ~Sink() = default;
  Sink(const Sink&) = delete;
  Sink& operator=(const Sink&) = delete;
  const std::string& switchName() const { return switchName_; }
  virtual void take(const Event& event) = 0;

 private:
  std::string switchName_;
};

// The active switch context has an event sink: worth building an event.
bool enabled();

// Stamps the event with the context's log clock and its switch, and hands
// it to the active context's sink; nothing without one.
void emit(Kind kind, std::string_view intf, std::initializer_list<Field> fields);

// The last `depth` events of each interface, oldest first.
class History {
 public:
  static constexpr std::size_t depth = 64;

  void add(const Event& event);
  // The events of `intf`, oldest first; empty for an unknown interface.
  std::vector<Event> of(std::string_view intf) const;
  // Every interface that has events, in name order.
  std::vector<std::string> interfaces() const;
  // The newest event of `intf` of kind `kind`; null when there is none.
  const Event* last(std::string_view intf, Kind kind) const;
  void clear() { rings_.clear(); }

 private:
  std::map<std::string, std::deque<Event>, std::less<>> rings_;
};

// The sink the daemon and the simulator install: history plus subscribers.
class Recorder : public Sink {
 public:
  using Subscriber = std::function<void(const Event&)>;

  using Sink::Sink;
  void take(const Event& event) override;
  const History& history() const { return history_; }
  // Every event taken goes to `subscriber` until `unsubscribe(id)`; a
  // subscriber may unsubscribe itself (or another) while it is called.
  int subscribe(Subscriber subscriber);
  void unsubscribe(int id);

 private:
  History history_;
  std::map<int, Subscriber> subscribers_;
  int nextId_ = 1;
};

}  // namespace Events

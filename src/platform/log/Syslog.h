#pragma once

// Syslog: the messages an agent reports to the operator.
//
// Each message is declared once (name, printf-style format with %s
// placeholders, explanation for the operator documentation, code and
// severity) and logged with its arguments as strings:
//
//   Syslog::log(Syslog::VORN_BACKPLANE_INTF_READY, {intfName, fabricName});
//
// Entries go to the current sink: syslog(3) on a switch, memory in tests,
// a per-switch sink in the simulator.
//
// An entry logged during a step of the activity thread (a task's run or a
// descriptor's handler, see Oru::atStepEnd) reaches its sink when the step
// ends, with the time it was logged at and in the order of logging. A
// handler logs an outcome just before it records it (the message first,
// then the new negotiation state); by the end of the step the outcome is
// recorded, and the hooks registered with BeforeDelivery (the state
// database's write-through of the local backup) run before any entry is
// handed over, so the log never reports what a crash could still undo.
// Outside a step (start-up, a test calling a handler) an entry is written at
// once.

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

namespace Syslog {

struct Message {
  std::string_view name;
  std::string_view format;
  std::string_view explanation;
  uint8_t code;
  int severity;  // syslog(3) numbering: 3 = LOG_ERR, 4 = LOG_WARNING, 6 = LOG_INFO
  // Which argument (from 0) names the interface the message is about; -1
  // for none. Repeats are rate-limited per message and interface.
  int intfArg = -1;
};

struct Entry {
  const Message* message;
  std::string text;  // the format with its placeholders filled in
  double time;
  // The argument that names the interface, empty when there is none.
  std::string intf = {};
  // "NAME: text"
  std::string rendered() const;
};

// The format of `message` with each %s replaced by the next argument and
// %% by %. A missing argument renders as empty, extra arguments are ignored,
// and arguments are inserted verbatim (a % in them is not expanded).
std::string render(const Message& message, std::initializer_list<std::string_view> args);

// The entry of `message` with `args`, stamped with the log's clock.
Entry makeEntry(const Message& message, std::initializer_list<std::string_view> args);

// Renders, stamps the time and hands the entry to the active switch
// context's sink (Oru::SwitchContext::syslogSinkIs), if the sink admits it.
// Entries are stamped with that context's log clock (CLOCK_REALTIME when it
// has none).
void log(const Message& message, std::initializer_list<std::string_view> args);

class Sink {
 public:
  // A sink that is destroyed while it is the active context's sink stops
  // being it, and the entries still held for it are dropped.
  virtual ~Sink();
  // Asked when an entry is logged, before it is held: false drops it.
  virtual bool admit(const Entry&) { return true; }
  // Takes an entry, at the end of the step that logged it.
  virtual void write(const Entry& entry) = 0;
};

// The active context's sink; null (also with no context active) drops
// entries.
Sink* sink();

// Hands `entry` to `sink` at the end of the current step (at once outside a
// step), without asking the sink to admit it.
void submit(Sink& sink, Entry entry);

// Work that runs, while it exists, each time held entries are about to be
// handed to their sinks; in the order registered.
class BeforeDelivery {
 public:
  explicit BeforeDelivery(std::function<void()> work);
  ~BeforeDelivery();
  BeforeDelivery(const BeforeDelivery&) = delete;
  BeforeDelivery& operator=(const BeforeDelivery&) = delete;

 private:
  std::function<void()> work_;
};

// Writes to syslog(3) under `ident`.
class SystemSink : public Sink {
 public:
  explicit SystemSink(std::string ident);
  ~SystemSink() override;
  SystemSink(const SystemSink&) = delete;
  SystemSink& operator=(const SystemSink&) = delete;
  void write(const Entry& entry) override;

 private:
  std::string ident_;  // openlog() keeps the pointer, so it lives here
};

// Keeps every entry.
class MemorySink : public Sink {
 public:
  void write(const Entry& entry) override;
  const std::vector<Entry>& entries() const { return entries_; }
  void clear() { entries_.clear(); }
  std::vector<std::string> rendered() const;

 private:
  std::vector<Entry> entries_;
};

class CallbackSink : public Sink {
 public:
  explicit CallbackSink(std::function<void(const Entry&)> callback);
  void write(const Entry& entry) override;

 private:
  std::function<void(const Entry&)> callback_;
};

// The messages an agent can log, for its documentation and tooling. A
// message is listed once however often it is registered. Messages defined
// in a static library register when their object file is linked in, that is
// when the program uses one of them.
void registerMessage(const Message& message);
const std::vector<const Message*>& registeredMessages();

}  // namespace Syslog

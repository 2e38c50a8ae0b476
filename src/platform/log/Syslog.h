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
  int severity;  // syslog(3) numbering: 3 = LOG_ERR, 6 = LOG_INFO
};

struct Entry {
  const Message* message;
  std::string text;  // the format with its placeholders filled in
  double time;
  // "NAME: text"
  std::string rendered() const;
};

// The format of `message` with each %s replaced by the next argument and
// %% by %. A missing argument renders as empty, extra arguments are ignored,
// and arguments are inserted verbatim (a % in them is not expanded).
std::string render(const Message& message, std::initializer_list<std::string_view> args);

// Renders, stamps the time and hands the entry to the current sink.
void log(const Message& message, std::initializer_list<std::string_view> args);

// Time source of the entries, in seconds; null restores the default
// (CLOCK_REALTIME).
void clockIs(std::function<double()> clock);

class Sink {
 public:
  // A sink that is destroyed while current stops being current.
  virtual ~Sink();
  virtual void write(const Entry& entry) = 0;
};

// The sink entries go to; null drops them. Not owned.
void sinkIs(Sink* sink);
Sink* sink();

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

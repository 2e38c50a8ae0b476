#include "platform/log/Syslog.h"

#include <syslog.h>

#include <algorithm>
#include <ctime>
#include <utility>

#include "platform/events/Events.h"
#include "platform/framework/WallClock.h"
#include "platform/scheduler/Scheduler.h"
#include "platform/scheduler/SwitchContext.h"

namespace Syslog {

namespace {

double now() {
  const Oru::SwitchContext* context = Oru::SwitchContext::active();
  if (context != nullptr && context->syslogClock()) return context->syslogClock()();
  return Zem::WallClock().now();
}

// Entries logged during the current step, for the sinks current then.
struct Held {
  Sink* sink;  // null once the sink is destroyed
  Entry entry;
};
std::vector<Held> held;
bool deliveryArmed = false;
std::vector<const std::function<void()>*> beforeDelivery;

void deliverHeld() {
  for (size_t i = 0; i < beforeDelivery.size(); ++i) (*beforeDelivery[i])();
  // A sink may log in turn: what it adds is delivered in this same pass.
  for (size_t i = 0; i < held.size(); ++i) {
    Held h = std::move(held[i]);
    if (h.sink != nullptr) h.sink->write(h.entry);
  }
  held.clear();
  deliveryArmed = false;
}

std::vector<const Message*>& registry() {
  static std::vector<const Message*> messages;
  return messages;
}

}  // namespace

std::string Entry::rendered() const {
  std::string result;
  if (message != nullptr) {
    result.append(message->name);
    result += ": ";
  }
  result += text;
  return result;
}

std::string render(const Message& message, std::initializer_list<std::string_view> args) {
  const std::string_view format = message.format;
  std::string text;
  text.reserve(format.size() + 32);
  auto next = args.begin();
  for (std::size_t i = 0; i < format.size(); ++i) {
    if (format[i] == '%' && i + 1 < format.size()) {
      if (format[i + 1] == 's') {
        if (next != args.end()) {
          text.append(*next++);
        }
        ++i;
        continue;
      }
      if (format[i + 1] == '%') {
        text += '%';
        ++i;
        continue;
      }
    }
    // Anything else, a lone % included, is kept as written.
    text += format[i];
  }
  return text;
}

Entry makeEntry(const Message& message, std::initializer_list<std::string_view> args) {
  Entry entry{&message, render(message, args), now()};
  if (message.intfArg >= 0 && static_cast<size_t>(message.intfArg) < args.size()) {
    entry.intf = std::string(args.begin()[message.intfArg]);
  }
  return entry;
}

void log(const Message& message, std::initializer_list<std::string_view> args) {
  Sink* sink = Syslog::sink();
  const bool events = Events::enabled();
  if (sink == nullptr && !events) {
    return;
  }
  Entry entry = makeEntry(message, args);
  if (sink != nullptr && !sink->admit(entry)) return;
  // What the rate limit holds back is not written, so it is no event either.
  if (events) {
    Events::emit(Events::Kind::syslog, entry.intf,
                 {{"name", std::string(message.name)}, {"severity", std::to_string(message.severity)}, {"text", entry.text}});
  }
  if (sink != nullptr) submit(*sink, std::move(entry));
}

void submit(Sink& sink, Entry entry) {
  // Entries held already go first, whatever the moment.
  if (!Oru::inStep() && held.empty()) {
    sink.write(entry);
    return;
  }
  held.push_back(Held{&sink, std::move(entry)});
  if (!deliveryArmed) {
    deliveryArmed = true;
    Oru::atStepEnd(deliverHeld);
  }
}

BeforeDelivery::BeforeDelivery(std::function<void()> work) : work_(std::move(work)) {
  beforeDelivery.push_back(&work_);
}

BeforeDelivery::~BeforeDelivery() { std::erase(beforeDelivery, &work_); }

Sink::~Sink() {
  Oru::SwitchContext* context = Oru::SwitchContext::active();
  if (context != nullptr && context->syslogSink() == this) context->syslogSinkIs(nullptr);
  for (Held& h : held) {
    if (h.sink == this) h.sink = nullptr;
  }
}

Sink* sink() {
  const Oru::SwitchContext* context = Oru::SwitchContext::active();
  return context != nullptr ? context->syslogSink() : nullptr;
}

SystemSink::SystemSink(std::string ident) : ident_(std::move(ident)) {
  ::openlog(ident_.c_str(), LOG_PID, LOG_USER);
}

SystemSink::~SystemSink() { ::closelog(); }

void SystemSink::write(const Entry& entry) {
  const int severity = entry.message != nullptr ? entry.message->severity : LOG_INFO;
  ::syslog(severity, "%s", entry.rendered().c_str());
}

void MemorySink::write(const Entry& entry) { entries_.push_back(entry); }

std::vector<std::string> MemorySink::rendered() const {
  std::vector<std::string> lines;
  lines.reserve(entries_.size());
  for (const Entry& entry : entries_) {
    lines.push_back(entry.rendered());
  }
  return lines;
}

CallbackSink::CallbackSink(std::function<void(const Entry&)> callback) : callback_(std::move(callback)) {}

void CallbackSink::write(const Entry& entry) {
  if (callback_) {
    callback_(entry);
  }
}

void registerMessage(const Message& message) {
  auto& messages = registry();
  if (std::find(messages.begin(), messages.end(), &message) == messages.end()) {
    messages.push_back(&message);
  }
}

const std::vector<const Message*>& registeredMessages() { return registry(); }

}  // namespace Syslog

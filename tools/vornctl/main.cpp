// vornctl: asks the running vornfabriclldpd what it knows, through its
// control socket.
//
//   vornctl [--socket PATH] [--json] show links [INTF]
//   vornctl ... show neighbors [INTF] | show lag-groups | show counters [INTF] | show toggles
//   vornctl ... history [INTF]
//   vornctl ... watch
//   vornctl ... timeline > links.html
//
// Tables by default; --json prints the daemon's answer (the schema is in
// docs/vornctl.md), or one event per line for watch. Exit codes: 0 done, 1
// the daemon refused the request (an unknown interface), 2 a bad command
// line, 3 the daemon is not running (or went away), 4 permission denied.

#include "common/CommandLine.h"
#include "timeline/Timeline.h"

#include "platform/events/Events.h"

#include <fmt/format.h>
#include <nlohmann/json.hpp>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace {

using Json = nlohmann::ordered_json;

constexpr int kRefused = 1;
constexpr int kBadCommandLine = 2;
constexpr int kNotRunning = 3;
constexpr int kPermissionDenied = 4;
constexpr const char* kDefaultSocket = "/run/vornfabriclldp/control.sock";
// An answer line longer than this is no answer of the daemon's.
constexpr size_t kMaxAnswer = 64 * 1024 * 1024;

// Ends the run with an exit code and a line on stderr.
struct Failure {
  int code;
  std::string what;
};

class Connection {
 public:
  explicit Connection(const std::string& path) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof addr.sun_path) {
      throw Failure{kBadCommandLine, fmt::format("socket path '{}' is empty or too long", path)};
    }
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) throw Failure{kNotRunning, fmt::format("socket: {}", std::strerror(errno))};
    if (::connect(fd_, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
      const int err = errno;
      ::close(fd_);
      if (err == EACCES || err == EPERM) {
        throw Failure{kPermissionDenied,
                      fmt::format("permission denied on {}: run as root or as a member of the daemon's control group",
                                  path)};
      }
      throw Failure{kNotRunning, fmt::format("the daemon is not running (cannot connect to {}: {})", path,
                                             std::strerror(err))};
    }
  }
  ~Connection() { ::close(fd_); }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  void send(const Json& request) {
    const std::string line = request.dump() + "\n";
    size_t sent = 0;
    while (sent < line.size()) {
      const ssize_t n = ::send(fd_, line.data() + sent, line.size() - sent, MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) throw Failure{kNotRunning, fmt::format("the daemon went away: {}", std::strerror(errno))};
      sent += static_cast<size_t>(n);
    }
  }

  // The next line; nullopt at the end of the stream.
  std::optional<std::string> line() {
    for (;;) {
      if (const size_t end = buffer_.find('\n'); end != std::string::npos) {
        std::string l = buffer_.substr(0, end);
        buffer_.erase(0, end + 1);
        return l;
      }
      if (buffer_.size() > kMaxAnswer) throw Failure{kNotRunning, "the daemon's answer is too long"};
      char chunk[65536];
      const ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
      if (n < 0 && errno == EINTR) {
        if (interrupted) return std::nullopt;
        continue;
      }
      if (n < 0) throw Failure{kNotRunning, fmt::format("the daemon went away: {}", std::strerror(errno))};
      if (n == 0) return std::nullopt;
      buffer_.append(chunk, static_cast<size_t>(n));
    }
  }

  static inline volatile std::sig_atomic_t interrupted = 0;

 private:
  int fd_ = -1;
  std::string buffer_;
};

// One answer that must say "ok".
Json ask(Connection& connection, const Json& request) {
  connection.send(request);
  auto line = connection.line();
  if (!line) throw Failure{kNotRunning, "the daemon closed the connection without an answer"};
  Json answer = Json::parse(*line, nullptr, false);
  if (answer.is_discarded() || !answer.is_object()) throw Failure{kNotRunning, "the daemon's answer is not JSON"};
  if (!answer.value("ok", false)) throw Failure{kRefused, answer.value("error", std::string("request refused"))};
  return answer;
}

// --- Tables -------------------------------------------------------------------

// The texts joined by `separator`.
std::string join(const std::vector<std::string>& texts, std::string_view separator) {
  std::string out;
  for (const auto& t : texts) {
    if (!out.empty()) out.append(separator);
    out.append(t);
  }
  return out;
}

std::string cell(const Json& v) {
  if (v.is_null()) return "-";
  if (v.is_string()) return v.get<std::string>();
  if (v.is_boolean()) return v.get<bool>() ? "yes" : "no";
  if (v.is_number_float()) return fmt::format("{:.1f}", v.get<double>());
  return v.dump();
}

// Text from the daemon as it may safely reach a terminal. Neighbours choose
// their system names, and anyone on a link can send one: a control
// character in it could move the cursor, retitle the window, clear the
// screen or forge a row of the table. C0 and C1 controls and DEL are shown
// as escapes ("\x1b", "\u009b") instead; everything else passes as it is.
std::string printable(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 || c == 0x7f) {
      out += fmt::format("\\x{:02x}", c);
      continue;
    }
    // U+0080..U+009F, the C1 controls in UTF-8.
    if (c == 0xc2 && i + 1 < text.size()) {
      const auto next = static_cast<unsigned char>(text[i + 1]);
      if (next >= 0x80 && next <= 0x9f) {
        out += fmt::format("\\u{:04x}", next);
        ++i;
        continue;
      }
    }
    out += text[i];
  }
  return out;
}

// A JSON text as --json prints it: every character outside ASCII escaped,
// so that no string in it reaches the terminal as a control.
std::string printableJson(const Json& j, int indent = -1) { return j.dump(indent, ' ', true); }

void printTable(std::vector<std::string> heading, std::vector<std::vector<std::string>> rows) {
  for (auto& h : heading) h = printable(h);
  for (auto& r : rows) {
    for (auto& c : r) c = printable(c);
  }
  std::vector<size_t> width(heading.size());
  for (size_t i = 0; i < heading.size(); ++i) width[i] = heading[i].size();
  for (const auto& r : rows) {
    for (size_t i = 0; i < r.size() && i < width.size(); ++i) width[i] = std::max(width[i], r[i].size());
  }
  auto print = [&](const std::vector<std::string>& r) {
    std::string line;
    for (size_t i = 0; i < r.size(); ++i) line += i + 1 < r.size() ? fmt::format("{:<{}}  ", r[i], width[i]) : r[i];
    std::cout << line << "\n";
  };
  print(heading);
  for (const auto& r : rows) print(r);
}

std::string ago(const Json& seconds) {
  if (!seconds.is_number()) return "-";
  const double s = seconds.get<double>();
  if (s < 120) return fmt::format("{:.0f}s ago", s);
  if (s < 7200) return fmt::format("{:.0f}m ago", s / 60);
  return fmt::format("{:.1f}h ago", s / 3600);
}

std::string clock(double epochSeconds) {
  const auto whole = static_cast<std::time_t>(epochSeconds);
  std::tm tm{};
  localtime_r(&whole, &tm);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &tm);
  return fmt::format("{}.{:03d}", text, static_cast<int>((epochSeconds - static_cast<double>(whole)) * 1000));
}

// "higigConfirmed -> ethLinkDown (heartbeat timed out)" and the like.
std::string details(const Events::Event& e) {
  auto f = [&e](const char* key) { return e.field(key) ? *e.field(key) : std::string(); };
  switch (e.kind) {
    case Events::Kind::linkState:
    case Events::Kind::membership:
      return fmt::format("{} -> {}{}", f("from"), f("to"), f("reason").empty() ? "" : " (" + f("reason") + ")");
    case Events::Kind::fabricMode:
      return fmt::format("{} -> {}", f("from"), f("to"));
    case Events::Kind::preferredMember:
      return fmt::format("{}: {} -> {}", f("side"), f("from").empty() ? "-" : f("from"), f("to").empty() ? "-" : f("to"));
    case Events::Kind::syslog:
      return fmt::format("{}: {}", f("name"), f("text"));
    default: {
      std::vector<std::string> pairs;
      for (const auto& field : e.fields) pairs.push_back(fmt::format("{}={}", field.key, field.value));
      return join(pairs, " ");
    }
  }
}

std::vector<std::string> eventRow(const Events::Event& e) {
  return {clock(e.time), e.intf.empty() ? "-" : e.intf, std::string(Events::kindName(e.kind)), details(e)};
}

void printLinks(const Json& links) {
  std::vector<std::vector<std::string>> rows;
  for (const auto& l : links) {
    const Json& counted = l["tlvsCounted"];
    const std::string tlvs =
        counted.is_object() ? fmt::format("{}/{}", cell(counted["received"]), cell(counted["needed"])) : "-";
    rows.push_back({cell(l["channel"]), cell(l["intf"]), cell(l["state"]), cell(l["fabricMode"]),
                    cell(l["configuredPeer"]), cell(l["heardPeer"]), cell(l["membership"]), cell(l["reason"]),
                    ago(l["since"]), tlvs});
  }
  printTable({"CHANNEL", "INTF", "STATE", "MODE", "PEER", "HEARD", "MEMBERSHIP", "LAST REASON", "SINCE", "TLVS"},
             rows);
}

void printNeighbors(const Json& ports) {
  std::vector<std::vector<std::string>> rows;
  for (const auto& p : ports) {
    for (const auto& n : p["neighbors"]) {
      const Json& tlv = n["vornTlv"];
      std::vector<std::string> names;
      if (tlv.is_object()) {
        for (const auto& flag : tlv["flags"]) names.push_back(cell(flag));
      }
      const std::string flags = join(names, ",");
      rows.push_back({cell(p["intf"]), cell(n["index"]), cell(n["chassisId"]), cell(n["portId"]),
                      cell(n["systemName"]), cell(n["ttlLeft"]), tlv.is_object() ? cell(tlv["memberId"]) : "-",
                      tlv.is_object() ? cell(tlv["role"]) : "-", tlv.is_object() ? cell(tlv["expectedPeer"]) : "-",
                      tlv.is_object() ? cell(tlv["receivedPeer"]) : "-", flags.empty() ? "-" : flags});
    }
  }
  printTable({"INTF", "IDX", "CHASSIS", "PORT", "SYSTEM", "TTL LEFT", "MEMBER", "ROLE", "EXPECTS", "HEARD", "FLAGS"},
             rows);
}

void printLagGroups(const Json& channels) {
  std::vector<std::vector<std::string>> rows;
  for (const auto& c : channels) {
    std::vector<std::string> each;
    for (const auto& [name, members] : c["groups"].items()) {
      std::vector<std::string> list;
      for (const auto& m : members) list.push_back(cell(m));
      each.push_back(fmt::format("{}={}", name, join(list, ",")));
    }
    const std::string groups = join(each, " ");
    rows.push_back({cell(c["channel"]), groups.empty() ? "-" : groups, cell(c["localMismatch"]),
                    cell(c["preferredMember"]), cell(c["remoteMismatch"]), cell(c["remotePreferredMember"])});
  }
  printTable({"CHANNEL", "GROUPS", "MISMATCH", "PREFERRED", "PEER MISMATCH", "PEER PREFERRED"}, rows);
}

void printCounters(const Json& ports) {
  static const std::vector<std::pair<const char*, const char*>> kColumns = {
      {"framesOut", "OUT"},          {"framesIn", "IN"},
      {"framesDiscarded", "DISCARDED"}, {"framesInErrors", "ERRORS"},
      {"tlvsDiscarded", "TLV DISC"},    {"tlvsUnrecognized", "TLV UNKNOWN"},
      {"ageouts", "AGEOUTS"},          {"neighborsInserted", "INSERTED"},
      {"neighborsDeleted", "DELETED"}, {"socketDrops", "SOCKET DROPS"},
  };
  std::vector<std::string> heading{"INTF"};
  for (const auto& [key, title] : kColumns) heading.emplace_back(title);
  std::vector<std::vector<std::string>> rows;
  for (const auto& p : ports) {
    std::vector<std::string> row{cell(p["intf"])};
    for (const auto& [key, title] : kColumns) row.push_back(cell(p[key]));
    rows.push_back(std::move(row));
  }
  printTable(heading, rows);
}

void printToggles(const Json& toggles) {
  std::vector<std::vector<std::string>> rows;
  for (const auto& t : toggles) {
    rows.push_back({cell(t["name"]), cell(t["value"]), cell(t["default"]), cell(t["meaning"])});
  }
  printTable({"TOGGLE", "VALUE", "DEFAULT", "MEANING"}, rows);
}

std::vector<Events::Event> eventsOf(const Json& history) {
  std::vector<Events::Event> events;
  for (const auto& h : history) {
    for (const auto& e : h["events"]) {
      if (auto event = Events::fromJson(e.dump())) events.push_back(std::move(*event));
    }
  }
  return events;
}

void printHistory(const Json& history) {
  std::vector<std::vector<std::string>> rows;
  for (const auto& e : eventsOf(history)) rows.push_back(eventRow(e));
  printTable({"TIME", "INTF", "EVENT", "DETAILS"}, rows);
}

int watch(Connection& connection, bool json) {
  ask(connection, Json{{"command", "watch"}});
  struct sigaction stop {};
  stop.sa_handler = [](int) { Connection::interrupted = 1; };
  sigaction(SIGINT, &stop, nullptr);
  sigaction(SIGTERM, &stop, nullptr);
  while (auto line = connection.line()) {
    const Json other = Json::parse(*line, nullptr, false);
    if (json) {
      std::cout << (other.is_discarded() ? printable(*line) : printableJson(other)) << std::endl;
      continue;
    }
    if (auto event = Events::fromJson(*line)) {
      const auto row = eventRow(*event);
      std::cout << printable(fmt::format("{}  {}  {}  {}", row[0], row[1], row[2], row[3])) << std::endl;
      continue;
    }
    if (other.is_object() && !other.value("ok", true)) {
      throw Failure{kNotRunning, "the daemon stopped the watch: " + other.value("error", std::string())};
    }
  }
  if (Connection::interrupted) return 0;
  throw Failure{kNotRunning, "the daemon closed the connection"};
}

int timeline(Connection& connection) {
  const Json answer = ask(connection, Json{{"command", "timeline"}});
  Timeline::Options options;
  options.title = fmt::format("Member {} links", cell(answer["switch"]));
  const auto events = eventsOf(answer["history"]);
  options.endTime = answer.value("time", 0.0);
  options.startTime = options.endTime;
  for (const auto& e : events) options.startTime = std::min(options.startTime, e.time);
  for (const auto& l : answer["lanes"]) options.lanes.push_back({cell(l["switch"]), cell(l["channel"]), cell(l["intf"])});
  std::cout << Timeline::render(events, options);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string socketPath = kDefaultSocket;
  bool json = false;
  std::string intf;

  CLI::App app("Shows what the running vornfabriclldpd knows: links, neighbours, LAG groups, counters, toggles, "
               "each link's history, and events as they happen.",
               "vornctl");
  ToolCommandLine::takeLastValue(app);
  // At most one command; a missing one is refused below with the names an
  // operator can type, and a mistyped one is named by the parser.
  app.require_subcommand(0, 1);
  app.add_option("--socket", socketPath, "the daemon's control socket")->capture_default_str();
  app.add_flag("--json", json, "print JSON (one event per line for watch)");

  CLI::App* show = app.add_subcommand("show", "show what the agent knows now");
  show->require_subcommand(0, 1);
  show->add_subcommand("links", "every member interface: state, mode, peers, the last reason")
      ->add_option("INTF", intf, "only this member interface");
  show->add_subcommand("neighbors", "every LLDP neighbour with its decoded Vorn TLV")
      ->add_option("INTF", intf, "only this port");
  show->add_subcommand("lag-groups", "LAG groups of each channel, mismatches and preferred members");
  show->add_subcommand("counters", "LLDP counters of each port")->add_option("INTF", intf, "only this port");
  show->add_subcommand("toggles", "the toggles the agent reads and their values");
  app.add_subcommand("history", "the last events of each interface, oldest first")
      ->add_option("INTF", intf, "only this interface or channel");
  app.add_subcommand("watch", "events as they happen, until interrupted");
  app.add_subcommand("timeline", "the links' history as an HTML page, on stdout");

  if (auto done = ToolCommandLine::parse(app, argc, argv, "vornctl", kBadCommandLine)) return *done;
  if (app.get_subcommands().empty()) {
    return ToolCommandLine::refused("vornctl", "a command is required: show, history, watch or timeline",
                                    kBadCommandLine);
  }
  if (show->parsed() && show->get_subcommands().empty()) {
    return ToolCommandLine::refused("vornctl", "show needs one of: links, neighbors, lag-groups, counters, toggles",
                                    kBadCommandLine);
  }

  try {
    Connection connection(socketPath);
    const CLI::App* command = app.get_subcommands().front();
    const std::string name = command->get_name();
    if (name == "watch") return watch(connection, json);
    if (name == "timeline") return timeline(connection);
    Json request;
    std::string key;
    if (name == "history") {
      request = Json{{"command", "history"}, {"intf", intf}};
      key = "history";
    } else {
      const std::string what = command->get_subcommands().front()->get_name();
      request = Json{{"command", "show"}, {"what", what}, {"intf", intf}};
      key = what == "lag-groups" ? "lagGroups" : what;
    }
    const Json answer = ask(connection, request);
    if (json) {
      std::cout << printableJson(answer, 2) << "\n";
      return 0;
    }
    const Json& data = answer[key];
    if (key == "links") printLinks(data);
    if (key == "neighbors") printNeighbors(data);
    if (key == "lagGroups") printLagGroups(data);
    if (key == "counters") printCounters(data);
    if (key == "toggles") printToggles(data);
    if (key == "history") printHistory(data);
    return 0;
  } catch (const Failure& f) {
    std::cerr << "vornctl: " << f.what << "\n";
    return f.code;
  }
}

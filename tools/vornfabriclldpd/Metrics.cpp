#include "Metrics.h"

#include "platform/lodestore/BackupFile.h"

#include <fmt/format.h>

#include <array>
#include <filesystem>

namespace VornDaemon {

using Json = nlohmann::ordered_json;

namespace {

constexpr std::array<const char*, 7> kStates = {"ethLinkDown",    "ethLinkUp",    "higigStarted",      "higigPending",
                                                "higigConfirmed", "higigWaitSsr", "higigWaitAsicsWarm"};

class Exposition {
 public:
  // Starts a metric family: its HELP and TYPE lines.
  void family(const char* name, const char* type, const char* help) {
    out_ += fmt::format("# HELP {} {}\n# TYPE {} {}\n", name, help, name, type);
  }
  void sample(const char* name, const std::string& labels, double value) {
    out_ += labels.empty() ? fmt::format("{} {}\n", name, value) : fmt::format("{}{{{}}} {}\n", name, labels, value);
  }
  void sample(const char* name, const std::string& labels, uint64_t value) {
    out_ += labels.empty() ? fmt::format("{} {}\n", name, value) : fmt::format("{}{{{}}} {}\n", name, labels, value);
  }
  std::string text() && { return std::move(out_); }

 private:
  std::string out_;
};

std::string labels(std::initializer_list<std::pair<const char*, std::string_view>> pairs) {
  std::string text;
  for (const auto& [key, value] : pairs) {
    if (!text.empty()) text += ",";
    text += fmt::format("{}=\"{}\"", key, metricsLabel(value));
  }
  return text;
}

std::string text(const Json& v) { return v.is_string() ? v.get<std::string>() : std::string(); }

}  // namespace

std::string metricsLabel(std::string_view value) {
  std::string out;
  out.reserve(value.size());
  for (char c : value) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '"') {
      out += "\\\"";
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out += c;
    }
  }
  return out;
}

void MetricsCounts::take(const Events::Event& event) {
  ++events_;
  if (event.kind == Events::Kind::linkState) {
    auto f = [&event](const char* key) { return event.field(key) ? *event.field(key) : std::string(); };
    ++transitions_[{f("channel"), event.intf, f("to"), f("reason")}];
  } else if (event.kind == Events::Kind::stateDatabase) {
    stateDatabaseConnected_ = event.field("connected") && *event.field("connected") == "true";
  }
}

std::string renderMetrics(const SwitchView& view, const MetricsCounts& counts) {
  Exposition x;
  const Json links = showLinks(view);
  x.family("vornfabriclldp_link_state", "gauge", "1 for the negotiation state each member interface is in, else 0.");
  for (const auto& l : links) {
    for (const char* state : kStates) {
      x.sample("vornfabriclldp_link_state",
               labels({{"channel", text(l["channel"])}, {"intf", text(l["intf"])}, {"state", state}}),
               uint64_t{text(l["state"]) == state});
    }
  }
  x.family("vornfabriclldp_link_fabric_mode_higig", "gauge",
           "1 while the member interface is in HiGig backplane mode, 0 in Ethernet mode.");
  for (const auto& l : links) {
    x.sample("vornfabriclldp_link_fabric_mode_higig", labels({{"channel", text(l["channel"])}, {"intf", text(l["intf"])}}),
             uint64_t{text(l["fabricMode"]) == "higig"});
  }
  x.family("vornfabriclldp_link_membership_mismatch", "gauge",
           "1 while the peer heard on the member interface is not the configured one.");
  for (const auto& l : links) {
    x.sample("vornfabriclldp_link_membership_mismatch",
             labels({{"channel", text(l["channel"])}, {"intf", text(l["intf"])}}),
             uint64_t{text(l["membership"]) == "membershipMismatch"});
  }
  x.family("vornfabriclldp_link_transitions_total", "counter",
           "Negotiation state changes since the daemon started, by new state and reason.");
  for (const auto& [key, n] : counts.transitions()) {
    const auto& [channel, intf, to, reason] = key;
    x.sample("vornfabriclldp_link_transitions_total",
             labels({{"channel", channel}, {"intf", intf}, {"to", to}, {"reason", reason}}), n);
  }

  const Json ports = showCounters(view);
  static const std::array<std::array<const char*, 3>, 9> kPortCounters = {{
      {"framesOut", "vornfabriclldp_lldp_frames_out_total", "LLDP frames sent."},
      {"framesIn", "vornfabriclldp_lldp_frames_in_total", "Frames received by the LLDP engine."},
      {"framesDiscarded", "vornfabriclldp_lldp_frames_discarded_total", "Frames received and not used."},
      {"framesInErrors", "vornfabriclldp_lldp_frames_in_errors_total", "Frames that were no valid LLDPDU."},
      {"tlvsDiscarded", "vornfabriclldp_lldp_tlvs_discarded_total", "Malformed TLVs left out of used frames."},
      {"tlvsUnrecognized", "vornfabriclldp_lldp_tlvs_unrecognized_total", "TLVs of types this agent does not know."},
      {"ageouts", "vornfabriclldp_lldp_ageouts_total", "Neighbours whose hold time ran out."},
      {"neighborsDropped", "vornfabriclldp_lldp_neighbors_dropped_total",
       "Neighbours refused or pushed out for want of room."},
      {"socketDrops", "vornfabriclldp_lldp_socket_drops_total", "Frames the socket lost before the engine saw them."},
  }};
  for (const auto& [key, name, help] : kPortCounters) {
    x.family(name, "counter", help);
    for (const auto& p : ports) x.sample(name, labels({{"intf", text(p["intf"])}}), p.value(key, uint64_t{0}));
  }
  x.family("vornfabriclldp_lldp_neighbors", "gauge", "LLDP neighbours held per port.");
  for (const auto& p : showNeighbors(view)) {
    x.sample("vornfabriclldp_lldp_neighbors", labels({{"intf", text(p["intf"])}}),
             static_cast<uint64_t>(p["neighbors"].size()));
  }
  x.family("vornfabriclldp_lag_mismatch", "gauge",
           "1 while a channel's LAG groups are split (side local) or the peer says so (side remote).");
  for (const auto& c : showLagGroups(view)) {
    x.sample("vornfabriclldp_lag_mismatch", labels({{"channel", text(c["channel"])}, {"side", "local"}}),
             uint64_t{c.value("localMismatch", false)});
    x.sample("vornfabriclldp_lag_mismatch", labels({{"channel", text(c["channel"])}, {"side", "remote"}}),
             uint64_t{c.value("remoteMismatch", false)});
  }
  x.family("vornfabriclldp_state_database_connected", "gauge", "1 while the agent is connected to the state database.");
  x.sample("vornfabriclldp_state_database_connected", "", uint64_t{counts.stateDatabaseConnected()});
  x.family("vornfabriclldp_events_total", "counter", "Events the agent reported since the daemon started.");
  x.sample("vornfabriclldp_events_total", "", counts.events());
  return std::move(x).text();
}

bool writeMetricsFile(const std::string& path, const std::string& text, std::string& error) {
  // Rewritten every few seconds and worthless after a crash of the machine:
  // the replacement needs no sync, only never to be seen half written, and
  // never to write through a link planted in the collector's directory.
  const std::filesystem::path file(path);
  const std::string dir = file.has_parent_path() ? file.parent_path().string() : ".";
  return Lodestore::BackupFile::replace(dir, file.filename().string(), text, error,
                                        Lodestore::BackupFile::Durability::unsynced);
}

}  // namespace VornDaemon

#include "DaemonConfig.h"

#include "platform/trace/Ringlog.h"

#include <fmt/format.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <map>
#include <set>

namespace VornDaemon {

using Config::Json;
using Config::Reader;

namespace {

const std::vector<std::string> kFields{"memberId",  "role",      "channels", "channelsFile", "interfaceNames",
                                       "toggleDir", "backupDir", "traceDir", "flashDir",     "peerSyncPort",
                                       "syslogIdent", "controlSocket", "controlGroup", "metricsFile",
                                       "metricsInterval"};

// Kernel device names: 1 to 15 bytes, no '/', no white space, not "." or "..".
bool validDeviceName(const std::string& name) {
  if (name.empty() || name.size() > 15 || name == "." || name == "..") return false;
  for (unsigned char c : name) {
    if (c == '/' || c <= ' ' || c >= 0x7f) return false;
  }
  return true;
}

// A path handed to the system: a NUL would end it early, a control
// character has no place in a file name an operator typed.
std::string pathField(const Reader& r, const Json& j, const std::string& field, const char* what) {
  std::string path = r.string(j, field);
  if (path.empty()) r.fail(field, fmt::format("empty {}", what));
  if (path.size() > 4095) r.fail(field, fmt::format("{} longer than 4095 bytes", what));
  if (std::any_of(path.begin(), path.end(), [](unsigned char c) { return c < ' ' || c == 0x7f; })) {
    r.fail(field, fmt::format("{} {} has a control character", what, Config::shown(j)));
  }
  return path;
}

std::string directoryField(const Reader& r, const Json& doc, const char* key, std::string fallback) {
  const Json* v = Reader::optional(doc, key);
  return v ? pathField(r, *v, key, "directory name") : fallback;
}

// A channel or member interface configured twice would have two owners.
void checkChannels(const Reader& r, const std::vector<Vorn::ChannelPlan>& channels, const std::string& path,
                   Vorn::MemberId self) {
  std::set<Kivo::IntfId> seenChannels;
  std::map<Kivo::IntfId, Kivo::IntfId> channelOfMember;
  for (size_t c = 0; c < channels.size(); ++c) {
    const auto& ch = channels[c];
    const std::string cp = Reader::item(path, c);
    if (!seenChannels.insert(ch.intf).second) r.fail(cp + ".intf", fmt::format("{} is configured twice", ch.intf.stringValue()));
    if (self.value() != 0 && ch.peerMemberId == self) {
      r.fail(cp + ".peerMemberId", fmt::format("{} is this switch's own member ID", self.value()));
    }
    for (size_t m = 0; m < ch.members.size(); ++m) {
      const auto& member = ch.members[m];
      auto [it, fresh] = channelOfMember.emplace(member.intf, ch.intf);
      if (!fresh) {
        r.fail(fmt::format("{}.members[{}].intf", cp, m),
               fmt::format("{} is already a member of {}", member.intf.stringValue(), it->second.stringValue()));
      }
    }
  }
}

Vorn::KniIntfMapperSm::Overrides interfaceNames(const Reader& r, const Json& j) {
  if (!j.is_object()) r.fail("interfaceNames", fmt::format("expected an object of device names, found {}", Config::kindOf(j)));
  Vorn::KniIntfMapperSm::Overrides out;
  std::map<Kivo::IntfId, std::string> deviceOfIntf;
  for (auto it = j.begin(); it != j.end(); ++it) {
    const std::string field = Reader::sub("interfaceNames", it.key());
    if (!validDeviceName(it.key())) {
      r.fail(field, "not a kernel device name: 1 to 15 bytes without '/' or white space");
    }
    const std::string name = r.string(it.value(), field);
    if (name.empty()) {
      out[it.key()] = Kivo::IntfId();
      continue;
    }
    const Kivo::IntfId intf = r.ethernet(it.value(), field);
    if (auto [other, fresh] = deviceOfIntf.emplace(intf, it.key()); !fresh) {
      r.fail(field, fmt::format("{} is already the name of device {}", intf.stringValue(), other->second));
    }
    out[it.key()] = intf;
  }
  return out;
}

}  // namespace

std::string DaemonConfig::traceFile(const char* rlfile, const char* ringlogdir, int pid) const {
  return Ringlog::traceFileName(rlfile, traceDir.empty() ? ringlogdir : traceDir.c_str(), pid);
}

std::string DaemonConfig::deviceOf(const Kivo::IntfId& intf) const {
  for (const auto& [device, named] : interfaceNames) {
    if (named == intf) return device;
  }
  return Vorn::KniIntfMapperSm::ruleDeviceName(intf);
}

DaemonConfig parseDaemonConfig(const std::string& text, const std::string& file) {
  const Json doc = Config::parseText(text, file);
  const Reader r(file);
  r.object(doc, "", kFields);
  DaemonConfig c;
  c.file = file;
  if (auto* role = Reader::optional(doc, "role")) {
    const std::string name = r.string(*role, "role");
    if (name == "candidate") {
      c.role = Vorn::Role::candidate;
    } else if (name != "member") {
      r.fail("role", fmt::format("{} is neither \"member\" nor \"candidate\"", Config::shown(*role)));
    }
  }
  c.memberId = r.memberId(r.required(doc, "", "memberId"), "memberId", 1);

  const Json* inline_ = Reader::optional(doc, "channels");
  const Json* fromFile = Reader::optional(doc, "channelsFile");
  if (inline_ && fromFile) r.fail("channelsFile", "give the channels either inline or in a file, not both");
  if (!inline_ && !fromFile) r.fail("channels", "missing (or give \"channelsFile\")");
  if (inline_) {
    c.channels = r.channels(*inline_, "channels");
    checkChannels(r, c.channels, "channels", c.memberId);
  } else {
    c.channelsFile = pathField(r, *fromFile, "channelsFile", "file name");
    const std::filesystem::path base = std::filesystem::path(file).parent_path();
    const std::string path = std::filesystem::path(c.channelsFile).is_absolute() ? c.channelsFile
                                                                                 : (base / c.channelsFile).string();
    // The channels file is an operator's file of its own: its errors name it.
    const Json channelsDoc = Config::parseText(Config::readFile(path), path);
    const Reader cr(path);
    cr.object(channelsDoc, "", {"channels"});
    c.channels = cr.channels(cr.required(channelsDoc, "", "channels"), "channels");
    checkChannels(cr, c.channels, "channels", c.memberId);
  }

  if (auto* names = Reader::optional(doc, "interfaceNames")) c.interfaceNames = interfaceNames(r, *names);
  c.toggleDir = directoryField(r, doc, "toggleDir", c.toggleDir);
  c.backupDir = directoryField(r, doc, "backupDir", c.backupDir);
  c.traceDir = directoryField(r, doc, "traceDir", c.traceDir);
  c.flashDir = directoryField(r, doc, "flashDir", c.flashDir);
  if (auto* port = Reader::optional(doc, "peerSyncPort")) c.peerSyncPort = static_cast<int>(r.integer(*port, "peerSyncPort", 0, 65535));
  if (auto* ident = Reader::optional(doc, "syslogIdent")) {
    c.syslogIdent = r.string(*ident, "syslogIdent");
    if (c.syslogIdent.empty() || c.syslogIdent.size() > 32) r.fail("syslogIdent", "expected 1 to 32 characters");
    // Each message is one line of the system log.
    for (unsigned char ch : c.syslogIdent) {
      if (ch < ' ' || ch == 0x7f) r.fail("syslogIdent", fmt::format("{} has a control character", Config::shown(*ident)));
    }
  }
  if (auto* socket = Reader::optional(doc, "controlSocket")) {
    // An empty name turns the socket off.
    if (!socket->is_string() || !socket->get<std::string>().empty()) {
      c.controlSocket = pathField(r, *socket, "controlSocket", "socket path");
      // What a Unix socket address holds, with its terminating zero.
      if (c.controlSocket.size() > 107) r.fail("controlSocket", "socket path longer than 107 bytes");
    } else {
      c.controlSocket.clear();
    }
  }
  if (auto* group = Reader::optional(doc, "controlGroup")) {
    c.controlGroup = r.string(*group, "controlGroup");
    const bool valid = !c.controlGroup.empty() && c.controlGroup.size() <= 32 &&
                       std::all_of(c.controlGroup.begin(), c.controlGroup.end(), [](unsigned char ch) {
                         return std::isalnum(ch) || ch == '_' || ch == '-' || ch == '.';
                       });
    if (!valid) r.fail("controlGroup", fmt::format("{} is not a group name", Config::shown(*group)));
  }
  if (auto* metrics = Reader::optional(doc, "metricsFile")) c.metricsFile = pathField(r, *metrics, "metricsFile", "file name");
  if (auto* interval = Reader::optional(doc, "metricsInterval")) {
    c.metricsInterval = r.number(*interval, "metricsInterval", 1, 3600);
  }
  return c;
}

DaemonConfig loadDaemonConfig(const std::string& path) { return parseDaemonConfig(Config::readFile(path), path); }

const Syslog::Message VORN_FABRIC_LLDP_CONFIG_REJECTED{
    "VORN_FABRIC_LLDP_CONFIG_REJECTED",
    "Configuration file %s not reloaded: %s: %s; keeping the running configuration",
    "The daemon re-read its configuration file on SIGHUP and refused it; it keeps running with the configuration it "
    "had. The message names the file, the field and the reason.",
    2,
    3,
};

namespace {

// Constant-initialised like the message, so complete before this runs.
const bool registered = [] {
  Syslog::registerMessage(VORN_FABRIC_LLDP_CONFIG_REJECTED);
  return true;
}();

}  // namespace

std::optional<DaemonConfig> rereadDaemonConfig(const DaemonConfig& running, std::ostream& err) {
  try {
    return loadDaemonConfig(running.file);
  } catch (const Config::FieldError& e) {
    err << "vornfabriclldpd: keeping the running configuration: " << e.what() << std::endl;
    Syslog::log(VORN_FABRIC_LLDP_CONFIG_REJECTED, {e.file(), e.field(), e.reason()});
  } catch (const std::exception& e) {
    // Not the file's fault (no memory left, say): the daemon keeps running
    // all the same.
    err << "vornfabriclldpd: keeping the running configuration: " << running.file << ": " << e.what() << std::endl;
    Syslog::log(VORN_FABRIC_LLDP_CONFIG_REJECTED, {running.file, "(file)", e.what()});
  }
  return std::nullopt;
}

}  // namespace VornDaemon

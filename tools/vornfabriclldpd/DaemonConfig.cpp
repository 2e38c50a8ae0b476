#include "DaemonConfig.h"

#include <fmt/format.h>

#include <filesystem>
#include <map>
#include <set>

namespace VornDaemon {

using Config::Json;
using Config::Reader;

namespace {

const std::vector<std::string> kFields{"memberId",  "role",      "channels", "channelsFile", "interfaceNames",
                                       "toggleDir", "backupDir", "traceDir", "flashDir",     "peerSyncPort",
                                       "syslogIdent"};

// Kernel device names: 1 to 15 bytes, no '/', no white space, not "." or "..".
bool validDeviceName(const std::string& name) {
  if (name.empty() || name.size() > 15 || name == "." || name == "..") return false;
  for (unsigned char c : name) {
    if (c == '/' || c <= ' ' || c >= 0x7f) return false;
  }
  return true;
}

std::string directoryField(const Reader& r, const Json& doc, const char* key, std::string fallback) {
  const Json* v = Reader::optional(doc, key);
  if (!v) return fallback;
  std::string dir = r.string(*v, key);
  if (dir.empty()) r.fail(key, "empty directory name");
  return dir;
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
    const std::string field = "interfaceNames." + it.key();
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
      r.fail("role", fmt::format("\"{}\" is neither \"member\" nor \"candidate\"", name));
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
    c.channelsFile = r.string(*fromFile, "channelsFile");
    if (c.channelsFile.empty()) r.fail("channelsFile", "empty file name");
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
  }
  return c;
}

DaemonConfig loadDaemonConfig(const std::string& path) { return parseDaemonConfig(Config::readFile(path), path); }

}  // namespace VornDaemon

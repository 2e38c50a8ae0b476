// Feeds arbitrary text to the daemon's configuration reader as the file
// "/nonexistent/daemon.json", so that a relative channels file names nothing
// on disk. Every input must give a configuration that holds together or be
// refused with a Config::FieldError that names the file, a field and a
// reason in one short printable line. Another exception, a crash or a run
// past libFuzzer's -timeout is a finding; a broken rule stops the run with
// a message and abort(), which libFuzzer records as a crash with its input.

#include "fuzz/FuzzCheck.h"
#include "DaemonConfig.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <map>
#include <set>
#include <string>

namespace {

const std::string kFile = "/nonexistent/daemon.json";

bool printableAscii(const std::string& s) {
  for (unsigned char c : s) {
    if (c < ' ' || c >= 0x7f) return false;
  }
  return true;
}

bool noControlCharacter(const std::string& s) {
  for (unsigned char c : s) {
    if (c < ' ' || c == 0x7f) return false;
  }
  return true;
}

void checkRefusal(const Config::FieldError& e) {
  // The file is the configuration file or the channels file it names.
  CHECK(!e.file().empty() && !e.field().empty() && !e.reason().empty(), e.what());
  CHECK(std::string(e.what()) == e.file() + ": " + e.field() + ": " + e.reason(), e.what());
  // A line of a terminal or of the system log, whatever the input.
  CHECK(e.field().size() <= 120, e.field());
  CHECK(e.reason().size() <= 400, e.reason());
  CHECK(printableAscii(e.field()) && printableAscii(e.reason()), e.what());
  CHECK(e.file().size() <= 4096 + kFile.size() && noControlCharacter(e.file()), e.what());
}

bool kernelDeviceName(const std::string& name) {
  if (name.empty() || name.size() > 15 || name == "." || name == "..") return false;
  for (unsigned char c : name) {
    if (c == '/' || c <= ' ' || c >= 0x7f) return false;
  }
  return true;
}

// An interface the daemon can run: its kind, and a kernel device by the
// naming rule.
bool runnable(const Kivo::IntfId& intf, int type) {
  return intf.typeCode() == type && !Vorn::KniIntfMapperSm::ruleDeviceName(intf).empty();
}

void checkConfig(const VornDaemon::DaemonConfig& c) {
  CHECK(c.file == kFile);
  CHECK(c.memberId.value() >= 1, std::to_string(c.memberId.value()));
  CHECK(c.role == Vorn::Role::member || c.role == Vorn::Role::candidate);
  std::set<Kivo::IntfId> channels;
  std::set<Kivo::IntfId> members;
  for (const auto& ch : c.channels) {
    CHECK(runnable(ch.intf, Kivo::IntfId::portChannel), ch.intf.stringValue());
    CHECK(channels.insert(ch.intf).second, "channel twice: " + ch.intf.stringValue());
    CHECK(ch.peerMemberId != c.memberId, ch.intf.stringValue());
    for (const auto& m : ch.members) {
      CHECK(runnable(m.intf, Kivo::IntfId::ethernet), m.intf.stringValue());
      CHECK(members.insert(m.intf).second, "member twice: " + m.intf.stringValue());
    }
  }
  std::map<Kivo::IntfId, std::string> deviceOf;
  for (const auto& [device, intf] : c.interfaceNames) {
    CHECK(kernelDeviceName(device), device);
    if (intf.empty()) continue;
    CHECK(runnable(intf, Kivo::IntfId::ethernet), intf.stringValue());
    CHECK(deviceOf.emplace(intf, device).second, "two devices for " + intf.stringValue());
    CHECK(c.deviceOf(intf) == device, intf.stringValue());
  }
  for (const std::string* dir : {&c.toggleDir, &c.backupDir, &c.flashDir}) {
    CHECK(!dir->empty() && dir->size() <= 4095 && noControlCharacter(*dir), *dir);
  }
  CHECK(c.traceDir.size() <= 4095 && noControlCharacter(c.traceDir), c.traceDir);
  CHECK(!c.peerSyncPort || (*c.peerSyncPort >= 0 && *c.peerSyncPort <= 65535));
  CHECK(!c.syslogIdent.empty() && c.syslogIdent.size() <= 32 && noControlCharacter(c.syslogIdent), c.syslogIdent);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  VornDaemon::DaemonConfig config;
  try {
    config = VornDaemon::parseDaemonConfig(text, kFile);
  } catch (const Config::FieldError& e) {
    checkRefusal(e);
    return 0;
  } catch (const std::exception& e) {
    FuzzCheck::broken("every refusal is a Config::FieldError", e.what());
  } catch (...) {
    FuzzCheck::broken("every refusal is a Config::FieldError");
  }
  checkConfig(config);
  return 0;
}

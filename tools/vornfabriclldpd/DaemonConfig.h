#pragma once
// The daemon's configuration file: which switch this is and how its
// backplane channels are cabled to the kernel's interfaces. See
// tools/vornfabriclldpd/README.md for the format and an example.

#include "platform/config/JsonConfig.h"
#include "platform/log/Syslog.h"
#include "platform/vorn/GroupRecords.h"
#include "platform/vorn/KniIntfMapperSm.h"

#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace VornDaemon {

struct DaemonConfig {
  std::string file;
  Vorn::MemberId memberId;
  Vorn::Role role = Vorn::Role::member;
  // The backplane channels, from "channels" or from the file "channelsFile"
  // names (relative to the configuration file's directory).
  std::vector<Vorn::ChannelPlan> channels;
  std::string channelsFile;
  // Kernel device -> interface, before the naming rule ("veth1" -> Ethernet1);
  // the empty interface keeps a device out.
  Vorn::KniIntfMapperSm::Overrides interfaceNames;
  std::string toggleDir = "/etc/vorn/toggles";
  std::string backupDir = "/var/lib/vornfabriclldp/backup";
  // Empty: $RLFILE / $RINGLOGDIR decide, as for every agent.
  std::string traceDir;
  // Root under which the member configuration file "/mnt/flash/..." lands.
  std::string flashDir = "/";
  // Port of the peer state-sync listener; none keeps the agent's own.
  std::optional<int> peerSyncPort;
  std::string syslogIdent = "VornFabricLldp";
  // The control socket vornctl talks to; empty: none. Only root and the
  // members of controlGroup (when given) may use it.
  std::string controlSocket = "/run/vornfabriclldp/control.sock";
  std::string controlGroup;
  // Prometheus text exposition, replaced every metricsInterval seconds;
  // empty: none.
  std::string metricsFile;
  double metricsInterval = 15;

  // The kernel device an interface runs on: the override naming it, else
  // the naming rule.
  std::string deviceOf(const Kivo::IntfId& intf) const;
  // The trace file of the daemon with process ID `pid`, given $RLFILE and
  // $RINGLOGDIR (null when unset): $RLFILE; else VornFabricLldp.rl in
  // traceDir, or in $RINGLOGDIR; else /tmp/VornFabricLldp-<pid>.rl.
  std::string traceFile(const char* rlfile, const char* ringlogdir, int pid) const;
};

// Reads and checks the configuration file at `path` (and the channels file
// it names, with the same limits: a regular file of at most 1 MiB, nested at
// most 64 deep, no key twice). Throws Config::FieldError naming the file,
// the field and the reason.
DaemonConfig loadDaemonConfig(const std::string& path);
// The same from the text of a file called `file`.
DaemonConfig parseDaemonConfig(const std::string& text, const std::string& file);

// The daemon's own system log message: the configuration file re-read on
// SIGHUP was refused. Args: file, field, reason.
extern const Syslog::Message VORN_FABRIC_LLDP_CONFIG_REJECTED;

// SIGHUP: the configuration file `running` was read from, read again. A file
// that no longer reads is reported on `err` and in the system log and gives
// nothing: the daemon keeps running on `running`.
std::optional<DaemonConfig> rereadDaemonConfig(const DaemonConfig& running, std::ostream& err);

}  // namespace VornDaemon

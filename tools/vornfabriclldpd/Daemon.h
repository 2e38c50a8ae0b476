#pragma once
// One agent on this machine's Linux interfaces, for the life of the process.
//
// The daemon owns what a switch gives its agent: the real-clock event loop,
// the kernel interface table kept by netlink, LLDP on raw packet sockets, a
// state database with its local backup on disk, the system log (syslog(3)),
// the trace file and the peer state-sync listener. It also stands in for the
// group's other services, from its configuration and the kernel: it
// publishes the member configuration, marks the ASICs of every configured
// member warm, derives each channel's Ethernet LAG status from the kernel's
// link states and, for a candidate, publishes the candidate member ID.
//
// SIGTERM and SIGINT stop it cleanly (the agent is destroyed and the backup
// flushed); SIGHUP re-reads the channels from the configuration file.
//
// Operators ask it what it knows through its control socket (vornctl): the
// agent's records and the history of events every member interface keeps.

#include "ControlSocket.h"
#include "DaemonConfig.h"
#include "Metrics.h"

#include "platform/events/Events.h"
#include "platform/host/Host.h"
#include "platform/lodestore/StateDatabase.h"
#include "platform/log/RateLimit.h"
#include "platform/log/Syslog.h"
#include "platform/scheduler/Scheduler.h"
#include "platform/scheduler/SwitchContext.h"
#include "platform/trace/Ringlog.h"

#include <memory>
#include <stdexcept>
#include <string>

namespace KernelNetInfo {
class NetlinkInterfaceSource;
}
namespace Lldp {
class RawTransport;
}

namespace VornDaemon {

class SystemdNotifier;

struct DaemonOptions {
  // Each system log message is also written to stderr, one line each.
  bool logToStderr = false;
  // The switch has just reloaded: the state database holds none of the
  // state published before, only the local backup survived.
  bool afterReload = false;
};

// The daemon cannot start (netlink, sockets, files); what() says why.
class StartError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class Daemon {
 public:
  Daemon(DaemonConfig config, DaemonOptions options);
  ~Daemon();
  Daemon(const Daemon&) = delete;
  Daemon& operator=(const Daemon&) = delete;

  // Runs until SIGTERM or SIGINT (or stop()), then stops the agent and
  // flushes the backup. Returns the process's exit code.
  int run();
  void stop();

  // SIGHUP: the channels from the configuration file again. A file that no
  // longer reads keeps the running configuration and says why on stderr and
  // in the system log.
  void reloadChannels();

 private:
  class LogSink;

  void start();
  void teardown();
  void publishGroupRecords();
  void writeLagStatus();
  void handleSignal();
  void openControlSocket();
  // The agent as the control socket and the metrics read it.
  SwitchView view() const;
  void startMetrics();
  void writeMetrics();

  DaemonConfig config_;
  DaemonOptions options_;
  // The one switch this process is; active from start to teardown, and
  // outlives everything below that it names.
  Oru::SwitchContext context_;
  Velto::Ptr<Oru::EventLoop> loop_;
  std::unique_ptr<Ringlog::File> trace_;
  std::unique_ptr<LogSink> sink_;
  // In front of sink_: floods of one message about one interface are cut.
  std::unique_ptr<Syslog::RateLimitedSink> limiter_;
  Velto::Ptr<KernelNetInfo::NetlinkInterfaceSource> source_;
  Velto::Ptr<Lldp::RawTransport> transport_;
  Velto::Ptr<Lodestore::StateDatabase> db_;
  // Every event of the agent: the histories vornctl shows, and the stream
  // its watchers follow.
  std::unique_ptr<Events::Recorder> recorder_;
  std::unique_ptr<AgentHost::Host> host_;
  std::unique_ptr<ControlSocket> control_;
  MetricsCounts metricsCounts_;
  Velto::Ptr<Oru::TimerTask> metricsTask_;
  Zem::Reactor metricsReactor_;
  std::string metricsError_;  // the last one reported, reported once
  Zem::Reactor sourceReactor_;
  int signalFd_ = -1;
  int exitCode_ = 0;
  // Made by run(); does nothing outside systemd.
  std::unique_ptr<SystemdNotifier> systemd_;
};

}  // namespace VornDaemon

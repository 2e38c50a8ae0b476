#include "Daemon.h"

#include "ControlAnswers.h"
#include "Systemd.h"

#include "VornFabricLldp/VornFabricLldpAgent.h"
#include "lldp/RawTransport.h"
#include "platform/framework/Record.h"
#include "platform/framework/WallClock.h"
#include "platform/kernel/NetlinkInterfaceSource.h"
#include "platform/q7relay/Q7Relay.h"
#include "platform/toggles/Toggles.h"
#include "platform/vorn/Group.h"
#include "platform/vorn/KniIntfMapperSm.h"
#include "platform/vorn/VornMemberFileMgrSm.h"

#include <fmt/format.h>
#include <grp.h>
#include <sys/epoll.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace VornDaemon {

namespace {

const Ringlog::Handle traceHandle{"Vorn::VornFabricLldp::Daemon"};

void makeDir(const std::string& dir, const char* what) {
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  if (ec) throw StartError(fmt::format("cannot make the {} directory {}: {}", what, dir, ec.message()));
}

// The state database paths peer members synchronise with this switch: those
// of the agent's state synchronizers (member configuration, ASICs warm,
// backplane channel status, LLDP status), as name lists. Empty while the
// agent has not built them (a candidate before it learns its member ID).
std::vector<std::vector<std::string>> synchronisedPaths(const AgentHost::Host* host) {
  std::vector<std::vector<std::string>> paths;
  const auto* agent = host ? dynamic_cast<const VornFabricLldp::AgentBase*>(host->agent().get()) : nullptr;
  if (!agent || !agent->rootSm()) return paths;
  const auto& root = *agent->rootSm();
  for (const auto* sync : {&root.selector(), &root.asicsWarmSelector(), &root.bcmsLodestoreSynchronizer(),
                           &root.lldpStatusLodestoreSynchronizer()}) {
    if (*sync && (*sync)->serviceCtx()) paths.push_back(Lodestore::pathNames((*sync)->serviceCtx()->remotePath()));
  }
  return paths;
}

// The JSON text GET answers for each path, made again only after the record
// changed: a client asking over and over costs a copy per answer, not a
// serialisation of the record.
class PeerStateAnswers {
 public:
  explicit PeerStateAnswers(Velto::Ptr<Lodestore::StateDatabase> db) : db_(std::move(db)) {}

  std::optional<std::string> json(const std::string& path) {
    const std::string key = Lodestore::joinPath(Lodestore::pathNames(path));
    auto entity = db_->entityAt(key);
    if (!entity) {
      answers_.erase(key);
      return std::nullopt;
    }
    Answer& answer = answers_[key];
    if (answer.entity != entity) {
      answer.reactor = entity->subscribe([fresh = &answer.fresh](const Zem::Change&) { *fresh = false; });
      answer.entity = std::move(entity);
      answer.fresh = false;
    }
    if (!answer.fresh) {
      answer.text = Zem::toJson(*answer.entity).dump();
      answer.fresh = true;
    }
    return answer.text;
  }

 private:
  struct Answer {
    Velto::Ptr<Zem::Entity> entity;
    Zem::Reactor reactor;
    std::string text;
    bool fresh = false;
  };
  Velto::Ptr<Lodestore::StateDatabase> db_;
  std::map<std::string, Answer> answers_;
};

}  // namespace

// syslog(3), and a copy on stderr for whoever runs the daemon by hand.
class Daemon::LogSink : public Syslog::Sink {
 public:
  LogSink(const std::string& ident, bool toStderr) : system_(ident), toStderr_(toStderr) {}
  void write(const Syslog::Entry& entry) override {
    system_.write(entry);
    if (toStderr_) std::cerr << entry.rendered() << std::endl;
  }

 private:
  Syslog::SystemSink system_;
  bool toStderr_;
};

Daemon::Daemon(DaemonConfig config, DaemonOptions options) : config_(std::move(config)), options_(options) {
  try {
    start();
  } catch (...) {
    teardown();
    throw;
  }
}

void Daemon::start() {
  makeDir(config_.backupDir, "backup");
  makeDir(config_.flashDir, "flash");
  loop_ = Velto::make<Oru::EventLoop>();
  context_.activate();
  context_.schedulerIs(loop_.get());

  const char* ringlogdir = std::getenv("RINGLOGDIR");
  const std::string traceDir = !config_.traceDir.empty() ? config_.traceDir : ringlogdir ? ringlogdir : "";
  if (!traceDir.empty()) makeDir(traceDir, "trace");
  const std::string tracePath = config_.traceFile(std::getenv("RLFILE"), ringlogdir, static_cast<int>(::getpid()));
  try {
    trace_ = Ringlog::File::open(tracePath);
  } catch (const std::exception& e) {
    throw StartError(fmt::format("cannot open the trace file {}: {}", tracePath, e.what()));
  }
  context_.traceFileIs(trace_.get());
  sink_ = std::make_unique<LogSink>(config_.syslogIdent, options_.logToStderr);
  limiter_ = std::make_unique<Syslog::RateLimitedSink>(loop_, *sink_);
  context_.syslogSinkIs(limiter_.get());

  context_.toggles().directoryIs(config_.toggleDir);
  context_.flashRootIs(config_.flashDir);
  context_.intfNameOverrides().tableIs(config_.interfaceNames);
  context_.identityIs({config_.role, config_.role == Vorn::Role::member ? config_.memberId : Vorn::MemberId()});

  try {
    source_ = Velto::make<KernelNetInfo::NetlinkInterfaceSource>(loop_);
  } catch (const std::exception& e) {
    throw StartError(fmt::format("cannot read the kernel's interfaces: {}", e.what()));
  }
  context_.interfaceSourceIs(source_);
  transport_ = Velto::make<Lldp::RawTransport>(loop_);
  context_.transportIs(transport_);

  Q7Relay::ZemUtils::ListenerHooks& listener = context_.peerListener();
  listener.loop = loop_;
  if (config_.peerSyncPort) listener.portOverride = *config_.peerSyncPort;

  sigset_t signals;
  sigemptyset(&signals);
  for (int s : {SIGTERM, SIGINT, SIGHUP}) sigaddset(&signals, s);
  if (sigprocmask(SIG_BLOCK, &signals, nullptr) != 0 ||
      (signalFd_ = signalfd(-1, &signals, SFD_NONBLOCK | SFD_CLOEXEC)) < 0) {
    throw StartError(fmt::format("cannot take signals: {}", std::strerror(errno)));
  }
  loop_->watchFd(signalFd_, EPOLLIN, [this](uint32_t) { handleSignal(); });

  db_ = Velto::make<Lodestore::StateDatabase>(loop_);
  db_->backupDirIs(config_.backupDir);
  db_->restoredFromScratchIs(options_.afterReload);
  // The listener is open to anyone who reaches its port: it answers only
  // the records peer members synchronise, never the rest of the state
  // database (the local backup, other agents' records).
  listener.served = [this](const std::string& path) {
    const auto names = Lodestore::pathNames(path);
    const auto paths = synchronisedPaths(host_.get());
    return std::find(paths.begin(), paths.end(), names) != paths.end();
  };
  listener.provider = [answers = std::make_shared<PeerStateAnswers>(db_)](const std::string& path) {
    return answers->json(path);
  };
  publishGroupRecords();
  sourceReactor_ = source_->subscribe([this](const Zem::Change& c) {
    if (c.is(KernelNetInfo::NetlinkInterfaceSource::linkUpAttr)) writeLagStatus();
  });
  db_->connectedIs(true);

  recorder_ = std::make_unique<Events::Recorder>(config_.memberId.stringValue());
  recorder_->subscribe([this](const Events::Event& e) { metricsCounts_.take(e); });
  context_.eventSinkIs(recorder_.get());
  host_ = std::make_unique<AgentHost::Host>(loop_, db_);
  // The agent's name is the member ID: the backed-up member configuration,
  // "vorn/memberConfig/<id>" and a candidate's entities all use it.
  const std::string name = config_.memberId.stringValue();
  if (config_.role == Vorn::Role::member) {
    host_->start(Velto::make<VornFabricLldp::Agent>(name));
  } else {
    host_->start(Velto::make<VornFabricLldp::CandidateAgent>(name));
  }
  openControlSocket();
  startMetrics();
  TRACE0("started as {} {} with {} channels", config_.role == Vorn::Role::member ? "member" : "candidate",
         config_.memberId.value(), config_.channels.size());
}

void Daemon::openControlSocket() {
  if (config_.controlSocket.empty()) return;
  std::optional<gid_t> group;
  if (!config_.controlGroup.empty()) {
    struct group buf {};
    struct group* found = nullptr;
    std::vector<char> text(16384);
    if (::getgrnam_r(config_.controlGroup.c_str(), &buf, text.data(), text.size(), &found) != 0 || !found) {
      throw StartError(fmt::format("controlGroup: no group called {}", config_.controlGroup));
    }
    group = found->gr_gid;
  }
  auto answer = [this](std::string_view request) { return answerRequest(view(), request); };
  try {
    control_ = std::make_unique<ControlSocket>(loop_, config_.controlSocket, 0660, group, answer);
  } catch (const ControlSocketError& e) {
    throw StartError(fmt::format("cannot open the control socket: {}", e.what()));
  }
  recorder_->subscribe([this](const Events::Event& e) {
    if (control_ && control_->watcherCount() > 0) control_->broadcast(Events::toJson(e));
  });
}

SwitchView Daemon::view() const {
  SwitchView view;
  view.agent = host_ ? dynamic_cast<const VornFabricLldp::AgentBase*>(host_->agent().get()) : nullptr;
  view.history = &recorder_->history();
  view.switchName = config_.memberId.stringValue();
  view.now = Zem::WallClock().now();
  view.channels = &config_.channels;
  return view;
}

void Daemon::startMetrics() {
  if (config_.metricsFile.empty()) return;
  metricsTask_ = Velto::make<Oru::TimerTask>(loop_, 0, "metrics file");
  metricsReactor_ = metricsTask_->subscribe([this](const Zem::Change& c) {
    if (c.is(Oru::TimerTask::runAttr)) writeMetrics();
  });
  writeMetrics();
}

void Daemon::writeMetrics() {
  std::string error;
  if (writeMetricsFile(config_.metricsFile, renderMetrics(view(), metricsCounts_), error)) {
    metricsError_.clear();
  } else if (error != metricsError_) {
    // Said once per cause: a full disk does not fill the log too.
    std::cerr << "vornfabriclldpd: metrics not written: " << error << std::endl;
    TRACE2("metrics not written: {}", error);
    metricsError_ = error;
  }
  metricsTask_->scheduleTaskDelay(config_.metricsInterval);
}

Daemon::~Daemon() { teardown(); }

// Safe on a half-built daemon.
void Daemon::teardown() {
  // Stopping is no event for the watchers; they are closed first.
  context_.eventSinkIs(nullptr);
  control_.reset();
  metricsReactor_.reset();
  metricsTask_ = nullptr;
  // The agent first, while everything it uses is still there; the backup
  // is flushed as it goes.
  host_.reset();
  recorder_.reset();
  sourceReactor_.reset();
  context_.peerListener() = {};
  if (signalFd_ >= 0) {
    loop_->unwatchFd(signalFd_);
    ::close(signalFd_);
    signalFd_ = -1;
  }
  context_.transportIs(nullptr);
  transport_ = nullptr;
  context_.interfaceSourceIs(nullptr);
  source_ = nullptr;
  db_ = nullptr;
  if (loop_) loop_->postedDelAll();
  context_.schedulerIs(nullptr);
  context_.syslogSinkIs(nullptr);
  // What the limiter held back is reported, not lost with the process.
  if (limiter_) limiter_->reportSuppressed();
  limiter_.reset();
  context_.traceFileIs(nullptr);
}

void Daemon::publishGroupRecords() {
  Vorn::GroupRecords::publishDirs(*db_);
  Vorn::GroupRecords::writeMemberConfig(*db_, config_.memberId, config_.channels);
  // No ASIC service runs beside the daemon: the ASICs of this switch and of
  // every peer it expects are as warm as they will get.
  std::map<Vorn::MemberId, bool> warm{{config_.memberId, true}};
  for (const auto& ch : config_.channels) {
    if (ch.peerMemberId.value() != 0) warm[ch.peerMemberId] = true;
  }
  Vorn::GroupRecords::writeAsicsWarm(*db_, warm);
  writeLagStatus();
  if (config_.role == Vorn::Role::candidate) Vorn::GroupRecords::publishCandidateMemberId(*db_, config_.memberId);
}

void Daemon::writeLagStatus() {
  Vorn::GroupRecords::writeLagStatus(*db_, config_.channels, [this](const Kivo::IntfId& intf) {
    return source_->linkUp(config_.deviceOf(intf));
  });
}

void Daemon::reloadChannels() {
  std::optional<DaemonConfig> reread = rereadDaemonConfig(config_, std::cerr);
  if (!reread) return;
  DaemonConfig& fresh = *reread;
  if (fresh.memberId != config_.memberId || fresh.role != config_.role) {
    std::cerr << "vornfabriclldpd: a new member ID or role takes a restart; reading only the channels" << std::endl;
  }
  if (fresh.interfaceNames != config_.interfaceNames) context_.intfNameOverrides().tableIs(fresh.interfaceNames);
  config_.channels = std::move(fresh.channels);
  config_.interfaceNames = std::move(fresh.interfaceNames);
  TRACE0("channels re-read from {}: {} channels", config_.file, config_.channels.size());
  Vorn::GroupRecords::writeMemberConfig(*db_, config_.memberId, config_.channels);
  writeLagStatus();
}

void Daemon::handleSignal() {
  signalfd_siginfo info;
  while (::read(signalFd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
    if (info.ssi_signo == SIGHUP) {
      systemd_->reloading();
      reloadChannels();
      systemd_->ready();
    } else {
      TRACE0("signal {}: stopping", info.ssi_signo);
      stop();
    }
  }
}

int Daemon::run() {
  systemd_ = std::make_unique<SystemdNotifier>(loop_);
  systemd_->ready();
  loop_->run();
  systemd_->stopping();
  host_->stop();
  // A backup that did not reach the disk is retried once; what still fails
  // is the operator's to know, since the next start restores less.
  if (!db_->flush()) {
    const auto& errors = db_->backupErrors();
    std::cerr << "vornfabriclldpd: the local backup was not written: "
              << (errors.empty() ? std::string("unknown error") : errors.back()) << std::endl;
    exitCode_ = 1;
  }
  return exitCode_;
}

void Daemon::stop() { loop_->stop(); }

}  // namespace VornDaemon

#include "platform/q7relay/Q7Relay.h"

#include "platform/framework/Assert.h"
#include "platform/trace/Ringlog.h"
#include "platform/vorn/Group.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <map>
#include <vector>

namespace {
const Ringlog::Handle traceHandle{"Q7Relay::ZemUtils::Listener"};

constexpr size_t kMaxLineBytes = 4096;
// Answers waiting for a peer that does not read; beyond this the peer is
// flooding us and is closed.
constexpr size_t kMaxPendingOutput = 1 << 20;
// Input handled per readiness event, so one busy peer cannot hold the
// thread: the rest waits for the next round of the loop.
constexpr size_t kMaxInputPerEvent = 64 * 1024;
// Connections taken per readiness event of the listening socket.
constexpr int kMaxAcceptsPerEvent = 64;
// Pause after the process ran out of descriptors before accepting again.
constexpr double kAcceptPause = 1.0;

struct Settings {
  Velto::Ptr<Oru::EventLoop> loop;
  Zem::Optional<int> portOverride;
  Q7Relay::ZemUtils::StateProvider provider;
};
Settings& settings() {
  static Settings s;
  return s;
}

std::string errnoText(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

// Seconds for a TCP keepalive option: whole seconds, at least one.
int keepaliveSeconds(double d) { return static_cast<int>(std::max(1.0, std::ceil(d))); }

bool printable(const std::string& line) {
  return std::all_of(line.begin(), line.end(), [](char ch) {
    auto c = static_cast<unsigned char>(ch);
    return c >= 0x20 && c < 0x7f;
  });
}

// A member id as a peer writes it: 0 to 255 in decimal.
Zem::Optional<int> parseMemberId(const std::string& s) {
  if (s.empty() || s.size() > 3) return Zem::none;
  int v = 0;
  for (char ch : s) {
    if (ch < '0' || ch > '9') return Zem::none;
    v = v * 10 + (ch - '0');
  }
  if (v > 255) return Zem::none;
  return v;
}
}  // namespace

namespace Q7Relay {
namespace ZemUtils {

std::string ConnectionKey::stringValue() const {
  if (ip_.find(':') != std::string::npos) return fmt::format("[{}]:{}", ip_, port_);
  return fmt::format("{}:{}", ip_, port_);
}

std::string stringValue(ListenState s) {
  switch (s) {
    case ListenState::pending: return "pending";
    case ListenState::listening: return "listening";
    case ListenState::disabled: return "disabled";
    case ListenState::failed: return "failed";
    case ListenState::closed: return "closed";
  }
  return std::to_string(static_cast<int>(s));
}

// One listening socket and its connections, shared by the statuses of every
// listen on its address and port.
class Listener : public Velto::RefCounted {
 public:
  Listener(const TcpConfig& config, int port, Velto::Ptr<Oru::EventLoop> loop);
  ~Listener() override;

  // Opens the socket now or after the listen delay; false (with error()) when
  // the socket cannot be opened.
  bool start();
  ListenState state() const { return state_; }
  const std::string& error() const { return error_; }
  int port() const { return boundPort_; }
  size_t connectionCount() const { return connections_.size(); }
  const ConnectionKey& key() const { return config_.key; }
  const Velto::Ptr<Oru::EventLoop>& loop() const { return loop_; }
  int requestedPort() const { return requestedPort_; }
  void memberIdIs(Vorn::MemberId id) { memberId_ = id; }

 private:
  struct Connection {
    int fd = -1;
    std::string peer;
    std::string in;
    std::string out;
    bool watchingOutput = false;
    Velto::Duration lastHeard = 0;
  };

  bool open();
  void handleListenDelayRun();
  void handleAcceptReady();
  void handleAcceptPauseRun();
  void handleConnectionReady(int fd, uint32_t events);
  void handleIdleSweepRun();
  // Reads what the peer sent; false when the connection was closed.
  bool readInput(Connection& c);
  // Answers every complete line; false when the connection was closed.
  bool answerLines(Connection& c);
  std::string answer(Connection& c, const std::string& line);
  // Sends what it can of the pending answers; false when closed.
  bool flushOutput(Connection& c);
  void accepted(int fd, const std::string& peer);
  void closeConnection(int fd, const char* why);
  void maybeArmIdleSweep();
  Velto::Ptr<Oru::TimerTask> task(const std::string& name, void (Listener::*handler)(), Zem::Reactor& reactor);

  TcpConfig config_;
  int requestedPort_;
  Velto::Ptr<Oru::EventLoop> loop_;
  Vorn::MemberId memberId_;
  ListenState state_ = ListenState::pending;
  std::string error_;
  int fd_ = -1;
  int boundPort_ = 0;
  std::map<int, Connection> connections_;
  Velto::Ptr<Oru::TimerTask> listenDelayTask_;
  Velto::Ptr<Oru::TimerTask> acceptPauseTask_;
  Velto::Ptr<Oru::TimerTask> idleSweepTask_;
  Zem::Reactor listenDelayReactor_;
  Zem::Reactor acceptPauseReactor_;
  Zem::Reactor idleSweepReactor_;
};

namespace {
// Listeners by address and requested port, for sharing. Not owning: a
// listener leaves the table when its last status lets go.
std::vector<Listener*>& sharedListeners() {
  static std::vector<Listener*> listeners;
  return listeners;
}
}  // namespace

Listener::Listener(const TcpConfig& config, int port, Velto::Ptr<Oru::EventLoop> loop)
    : config_(config), requestedPort_(port), loop_(std::move(loop)), memberId_(Vorn::memberId()) {
  listenDelayTask_ = task("Q7Relay listen delay", &Listener::handleListenDelayRun, listenDelayReactor_);
  acceptPauseTask_ = task("Q7Relay accept pause", &Listener::handleAcceptPauseRun, acceptPauseReactor_);
  idleSweepTask_ = task("Q7Relay idle sweep", &Listener::handleIdleSweepRun, idleSweepReactor_);
  if (port != 0) sharedListeners().push_back(this);
}

Listener::~Listener() {
  std::erase(sharedListeners(), this);
  for (const int fd : [this] {
         std::vector<int> fds;
         for (const auto& [fd, c] : connections_) fds.push_back(fd);
         return fds;
       }()) {
    closeConnection(fd, "listener closed");
  }
  if (fd_ >= 0) {
    loop_->unwatchFd(fd_);
    ::close(fd_);
    TRACE0("closed listener on {} port {}", config_.key.ip(), boundPort_);
  }
}

Velto::Ptr<Oru::TimerTask> Listener::task(const std::string& name, void (Listener::*handler)(), Zem::Reactor& reactor) {
  auto t = Velto::make<Oru::TimerTask>(loop_, 0, name);
  reactor = t->subscribe([this, handler](const Zem::Change& c) {
    if (c.is(Oru::TimerTask::runAttr)) (this->*handler)();
  });
  return t;
}

bool Listener::start() {
  if (config_.listenDelay > 0) {
    TRACE0("listen on {} port {} in {}s", config_.key.ip(), requestedPort_, config_.listenDelay);
    listenDelayTask_->scheduleTaskDelay(config_.listenDelay);
    return true;
  }
  return open();
}

void Listener::handleListenDelayRun() { open(); }

bool Listener::open() {
  auto fail = [this](std::string error) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    state_ = ListenState::failed;
    error_ = std::move(error);
    TRACE2("cannot listen on {} port {}: {}", config_.key.ip(), requestedPort_, error_);
    return false;
  };
  sockaddr_storage addr{};
  socklen_t addrLen = 0;
  auto* v4 = reinterpret_cast<sockaddr_in*>(&addr);
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&addr);
  if (inet_pton(AF_INET, config_.key.ip().c_str(), &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    v4->sin_port = htons(static_cast<uint16_t>(requestedPort_));
    addrLen = sizeof *v4;
  } else if (inet_pton(AF_INET6, config_.key.ip().c_str(), &v6->sin6_addr) == 1) {
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(static_cast<uint16_t>(requestedPort_));
    addrLen = sizeof *v6;
  } else {
    return fail("bad address '" + config_.key.ip() + "'");
  }
  fd_ = ::socket(addr.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd_ < 0) return fail(errnoText("socket"));
  int one = 1;
  if (::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) < 0) return fail(errnoText("SO_REUSEADDR"));
  if (::bind(fd_, reinterpret_cast<sockaddr*>(&addr), addrLen) < 0) {
    return fail(errnoText(fmt::format("bind {}", ConnectionKey::ipAndPort(config_.key.ip(), requestedPort_).stringValue()).c_str()));
  }
  const int backlog = 1 << std::clamp(config_.listenBacklogShift, 0, 16);
  if (::listen(fd_, backlog) < 0) return fail(errnoText("listen"));
  sockaddr_storage bound{};
  socklen_t boundLen = sizeof bound;
  if (::getsockname(fd_, reinterpret_cast<sockaddr*>(&bound), &boundLen) < 0) return fail(errnoText("getsockname"));
  boundPort_ = ntohs(bound.ss_family == AF_INET ? reinterpret_cast<sockaddr_in*>(&bound)->sin_port
                                                : reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port);
  loop_->watchFd(fd_, EPOLLIN, [this](uint32_t) { handleAcceptReady(); });
  state_ = ListenState::listening;
  TRACE0("listening on {} port {} backlog {}", config_.key.ip(), boundPort_, backlog);
  return true;
}

void Listener::handleAcceptReady() {
  Velto::Ptr<Listener> self(this);
  for (int i = 0; i < kMaxAcceptsPerEvent; ++i) {
    sockaddr_storage peer{};
    socklen_t peerLen = sizeof peer;
    int fd = ::accept4(fd_, reinterpret_cast<sockaddr*>(&peer), &peerLen, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED || errno == EPROTO || errno == EPERM) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) return;
      // Out of descriptors or memory: a level-triggered listener would spin,
      // so stop accepting for a while.
      TRACE2("accept on port {} failed: {}; pausing {}s", boundPort_, std::strerror(errno), kAcceptPause);
      loop_->unwatchFd(fd_);
      acceptPauseTask_->scheduleTaskDelay(kAcceptPause);
      return;
    }
    char host[INET6_ADDRSTRLEN] = "?";
    int port = 0;
    if (peer.ss_family == AF_INET) {
      auto* a = reinterpret_cast<sockaddr_in*>(&peer);
      inet_ntop(AF_INET, &a->sin_addr, host, sizeof host);
      port = ntohs(a->sin_port);
    } else if (peer.ss_family == AF_INET6) {
      auto* a = reinterpret_cast<sockaddr_in6*>(&peer);
      inet_ntop(AF_INET6, &a->sin6_addr, host, sizeof host);
      port = ntohs(a->sin6_port);
    }
    std::string name = fmt::format("{}:{}", host, port);
    if (connections_.size() >= config_.maxConnections) {
      TRACE2("connection from {} refused: {} connections open", name, connections_.size());
      ::close(fd);
      continue;
    }
    accepted(fd, name);
  }
}

void Listener::handleAcceptPauseRun() {
  if (fd_ < 0) return;
  TRACE2("accepting again on port {}", boundPort_);
  loop_->watchFd(fd_, EPOLLIN, [this](uint32_t) { handleAcceptReady(); });
}

void Listener::accepted(int fd, const std::string& peer) {
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  if (config_.keepaliveProbes > 0) {
    int probes = config_.keepaliveProbes;
    int interval = keepaliveSeconds(config_.keepaliveInterval);
    int idle = keepaliveSeconds(config_.keepaliveIdle);
    ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
  }
  Connection& c = connections_[fd];
  c.fd = fd;
  c.peer = peer;
  c.lastHeard = loop_->now();
  loop_->watchFd(fd, EPOLLIN, [this, fd](uint32_t events) { handleConnectionReady(fd, events); });
  TRACE6("connection from {} ({} open)", peer, connections_.size());
  maybeArmIdleSweep();
}

void Listener::closeConnection(int fd, const char* why) {
  auto it = connections_.find(fd);
  if (it == connections_.end()) return;
  TRACE6("close connection from {}: {}", it->second.peer, why);
  loop_->unwatchFd(fd);
  ::close(fd);
  connections_.erase(it);
}

void Listener::handleConnectionReady(int fd, uint32_t events) {
  Velto::Ptr<Listener> self(this);
  auto it = connections_.find(fd);
  if (it == connections_.end()) return;
  Connection& c = it->second;
  // The event flags only say where to look: a descriptor number can be
  // reused within one round of the loop, so hang-ups are believed only when
  // the socket itself reports them.
  if ((events & EPOLLOUT) && !flushOutput(c)) return;
  if (events & (EPOLLIN | EPOLLHUP | EPOLLERR)) readInput(c);
}

bool Listener::readInput(Connection& c) {
  char buf[16 * 1024];
  size_t taken = 0;
  while (taken < kMaxInputPerEvent) {
    ssize_t n = ::recv(c.fd, buf, sizeof buf, 0);
    if (n > 0) {
      taken += static_cast<size_t>(n);
      c.in.append(buf, static_cast<size_t>(n));
      c.lastHeard = loop_->now();
      // Lines are answered as they come in so that the buffer holds at
      // most one unfinished line.
      if (!answerLines(c)) return false;
      continue;
    }
    if (n == 0) {
      closeConnection(c.fd, "closed by peer");
      return false;
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return true;
    closeConnection(c.fd, std::strerror(errno));
    return false;
  }
  return true;
}

bool Listener::answerLines(Connection& c) {
  size_t start = 0;
  for (;;) {
    size_t nl = c.in.find('\n', start);
    if (nl == std::string::npos) break;
    if (nl - start > kMaxLineBytes) {
      closeConnection(c.fd, "line too long");
      return false;
    }
    std::string line = c.in.substr(start, nl - start);
    start = nl + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (c.out.size() > kMaxPendingOutput) {
      closeConnection(c.fd, "peer does not read its answers");
      return false;
    }
    c.out += answer(c, line);
    c.out += '\n';
  }
  c.in.erase(0, start);
  if (c.in.size() > kMaxLineBytes) {
    closeConnection(c.fd, "line too long");
    return false;
  }
  return c.out.empty() || flushOutput(c);
}

std::string Listener::answer(Connection& c, const std::string& line) {
  if (line.empty()) return "ERR empty request";
  if (!printable(line)) return "ERR request is not printable text";
  const size_t space = line.find(' ');
  const std::string verb = line.substr(0, space);
  const std::string arg = space == std::string::npos ? std::string() : line.substr(space + 1);
  if (verb == "PING") return arg.empty() && space == std::string::npos ? "PONG" : "ERR PING takes no argument";
  if (verb == "HELLO") {
    auto peerId = parseMemberId(arg);
    if (!peerId) return "ERR HELLO needs a member id from 0 to 255";
    TRACE6("{} says hello as member {}", c.peer, *peerId);
    return fmt::format("HELLO {}", memberId_);
  }
  if (verb == "GET") {
    if (arg.empty()) return "ERR GET needs a path";
    const auto& provider = settings().provider;
    if (!provider) return "ERR no such path";
    std::optional<std::string> json;
    try {
      json = provider(arg);
    } catch (const std::exception& e) {
      TRACE2("GET {} from {} failed: {}", arg, c.peer, e.what());
      return fmt::format("ERR {}", e.what());
    }
    if (!json) return "ERR no such path";
    // JSON text has line breaks only as white space; one answer is one line.
    std::replace_if(json->begin(), json->end(), [](char ch) { return ch == '\n' || ch == '\r'; }, ' ');
    return *json;
  }
  return fmt::format("ERR unknown request '{}'", verb.substr(0, 32));
}

bool Listener::flushOutput(Connection& c) {
  size_t sent = 0;
  while (sent < c.out.size()) {
    ssize_t n = ::send(c.fd, c.out.data() + sent, c.out.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      sent += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
    closeConnection(c.fd, n < 0 ? std::strerror(errno) : "send failed");
    return false;
  }
  c.out.erase(0, sent);
  const bool wantOutput = !c.out.empty();
  if (wantOutput != c.watchingOutput) {
    const int fd = c.fd;
    c.watchingOutput = wantOutput;
    loop_->watchFd(fd, wantOutput ? EPOLLIN | EPOLLOUT : EPOLLIN,
                   [this, fd](uint32_t events) { handleConnectionReady(fd, events); });
  }
  return true;
}

void Listener::maybeArmIdleSweep() {
  if (config_.idleTimeout <= 0 || connections_.empty() || idleSweepTask_->taskScheduled()) return;
  Velto::Duration earliest = connections_.begin()->second.lastHeard;
  for (const auto& [fd, c] : connections_) earliest = std::min(earliest, c.lastHeard);
  idleSweepTask_->scheduleTaskDelay(earliest + config_.idleTimeout - loop_->now());
}

void Listener::handleIdleSweepRun() {
  const Velto::Duration now = loop_->now();
  std::vector<int> idle;
  for (const auto& [fd, c] : connections_) {
    if (now - c.lastHeard >= config_.idleTimeout) idle.push_back(fd);
  }
  for (int fd : idle) closeConnection(fd, "idle");
  maybeArmIdleSweep();
}

// ---------------------------------------------------------------------------

ListenStatus::ListenStatus(TcpConfig config, ListenState state, std::string error, Velto::Ptr<Listener> listener)
    : config_(std::move(config)), state_(state), error_(std::move(error)), listener_(std::move(listener)) {}

ListenStatus::~ListenStatus() = default;

ListenState ListenStatus::state() const { return listener_ ? listener_->state() : state_; }
int ListenStatus::port() const { return listener_ ? listener_->port() : 0; }
size_t ListenStatus::connectionCount() const { return listener_ ? listener_->connectionCount() : 0; }

void ListenStatus::close() {
  if (!listener_) return;
  state_ = ListenState::closed;
  listener_ = nullptr;
}

Velto::Ptr<ListenStatus> Api::listen(const TcpConfig& config) {
  auto result = [&config](ListenState state, std::string error, Velto::Ptr<Listener> listener = nullptr) {
    return Velto::Ptr<ListenStatus>(new ListenStatus(config, state, std::move(error), std::move(listener)));
  };
  const auto& loop = settings().loop;
  if (!loop) {
    TRACE0("no event loop: listener on {} disabled", config.key.stringValue());
    return result(ListenState::disabled, "");
  }
  auto refuse = [&](std::string error) {
    TRACE2("listener on {} refused: {}", config.key.stringValue(), error);
    return result(ListenState::failed, std::move(error));
  };
  if (config.tls) return refuse("TLS is not supported by this listener");
  if (config.tlsRequired) return refuse("TLS is required but this listener speaks plain TCP only");
  if (config.protocolVersion != 1) return refuse(fmt::format("protocol version {} is not spoken; only 1", config.protocolVersion));
  const int port = settings().portOverride.valueOr(config.key.port());
  if (port < 0 || port > 65535) return refuse(fmt::format("bad port {}", port));
  if (port != 0) {
    for (Listener* shared : sharedListeners()) {
      if (shared->key().ip() == config.key.ip() && shared->requestedPort() == port && shared->loop() == loop &&
          shared->state() != ListenState::failed) {
        TRACE0("listener on {} port {} shared", config.key.ip(), port);
        shared->memberIdIs(Vorn::memberId());
        return result(ListenState::pending, "", Velto::Ptr<Listener>(shared));
      }
    }
  }
  auto listener = Velto::make<Listener>(config, port, loop);
  if (!listener->start()) return result(ListenState::failed, listener->error());
  return result(ListenState::pending, "", listener);
}

void Api::eventLoopIs(Velto::Ptr<Oru::EventLoop> loop) { settings().loop = std::move(loop); }
const Velto::Ptr<Oru::EventLoop>& Api::eventLoop() { return settings().loop; }
void Api::portOverrideIs(Zem::Optional<int> port) { settings().portOverride = port; }
Zem::Optional<int> Api::portOverride() { return settings().portOverride; }
void Api::stateProviderIs(StateProvider provider) { settings().provider = std::move(provider); }

}  // namespace ZemUtils
}  // namespace Q7Relay

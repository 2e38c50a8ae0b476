#include "platform/q7relay/Q7Relay.h"

#include "platform/framework/Assert.h"
#include "platform/scheduler/SwitchContext.h"
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
#include <limits>
#include <map>
#include <vector>

namespace {
const Ringlog::Handle traceHandle{"Q7Relay::ZemUtils::Listener"};

// What one piece of background work does for one connection at most, so
// that a busy peer costs the loop some microseconds per turn, not a read's
// worth of answers: one read, this many answers or this many bytes of them,
// this much sent.
constexpr size_t kReadPerPiece = 16 * 1024;
constexpr int kAnswersPerPiece = 16;
constexpr size_t kOutputPerPiece = 32 * 1024;
constexpr size_t kSendPerPiece = 32 * 1024;
// Connections taken per piece of work on the listening socket.
constexpr int kAcceptsPerPiece = 8;
// Answers waiting here for a peer that does not take them: beyond this its
// further requests wait, unread, until it takes some. A single answer may
// be larger: the limit applies to what waits before it. A peer that takes
// nothing for the stall timeout is closed.
constexpr size_t kMaxUnreadOutput = 32 * 1024;
// The kernel's send buffer of a connection (it doubles the figure): what a
// peer that does not read can hold in the kernel beside kMaxUnreadOutput.
constexpr int kSendBuffer = 64 * 1024;
// Connections closed for silence or stalling per piece of background work:
// closing a socket with full buffers costs the kernel a while.
constexpr size_t kClosesPerPiece = 4;
// Pause after the process ran out of descriptors before accepting again.
constexpr double kAcceptPause = 1.0;

// The active switch context's listener hooks; with none active, hooks that
// serve nothing.
const Q7Relay::ZemUtils::ListenerHooks& settings() {
  static const Q7Relay::ZemUtils::ListenerHooks none;
  Oru::SwitchContext* context = Oru::SwitchContext::active();
  return context != nullptr ? context->peerListener() : none;
}

std::string errnoText(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

// Seconds for a TCP keepalive option: whole seconds, at least one.
int keepaliveSeconds(double d) { return static_cast<int>(std::max(1.0, std::ceil(d))); }
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
    // Tells a connection from a later one that got the same descriptor.
    uint64_t id = 0;
    std::string peer;
    Session session;
    // Answers not yet taken by the socket: out from outSent on.
    std::string out;
    size_t outSent = 0;
    // When the socket last took some of the answers, or answers began to
    // wait.
    Velto::Duration lastTaken = 0;
    // The peer closed its side: answer what it asked, then close.
    bool peerDone = false;
    bool continuePosted = false;
    bool watched = false;
    uint32_t interest = 0;
    Velto::Duration lastHeard = 0;

    size_t unread() const { return out.size() - outSent; }
  };
  // Lets posted work find out whether its listener still exists.
  struct Liveness : Velto::RefCounted {
    Listener* owner = nullptr;
  };

  bool open();
  void watchListeningSocket();
  void handleListenDelayRun();
  void handleAcceptReady();
  void handleAcceptPauseRun();
  void handleConnectionReady(int fd, uint64_t id);
  void handleIdleSweepRun();
  // Closes a few of the connections whose deadline has passed; posts the
  // rest, and arms the sweep for the next deadline.
  void closeExpired();
  // One piece of work for a connection: send, answer, read, within the
  // piece's limits. False when the connection was closed.
  bool serve(Connection& c);
  // One read; false when the connection was closed.
  bool readInput(Connection& c);
  // Sends what it can of the waiting answers; false when closed.
  bool flushOutput(Connection& c);
  // Closes a connection whose peer does not take its answers.
  void dropUnread(Connection& c);
  // Watches the socket for what the connection waits for, and posts the
  // rest of its waiting requests to a later turn.
  void maybeWaitForMore(Connection& c);
  void accepted(int fd, const std::string& peer);
  void closeConnection(int fd, const char* why);
  // When the connection is closed for silence, or for not taking its
  // answers.
  Velto::Duration closeDeadline(const Connection& c) const;
  bool stalled(const Connection& c, Velto::Duration now) const;
  void evictIdlest();
  void maybeArmIdleSweep(Velto::Duration deadline);
  Velto::Ptr<Oru::TimerTask> task(const std::string& name, void (Listener::*handler)(), Zem::Reactor& reactor);

  TcpConfig config_;
  int requestedPort_;
  Velto::Ptr<Oru::EventLoop> loop_;
  Vorn::MemberId memberId_;
  ListenState state_ = ListenState::pending;
  std::string error_;
  int fd_ = -1;
  int boundPort_ = 0;
  uint64_t nextConnectionId_ = 1;
  bool closeExpiredPosted_ = false;
  std::map<int, Connection> connections_;
  Velto::Ptr<Liveness> liveness_;
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
    : config_(config),
      requestedPort_(port),
      loop_(std::move(loop)),
      memberId_(Vorn::memberId()),
      liveness_(Velto::make<Liveness>()) {
  liveness_->owner = this;
  listenDelayTask_ = task("Q7Relay listen delay", &Listener::handleListenDelayRun, listenDelayReactor_);
  acceptPauseTask_ = task("Q7Relay accept pause", &Listener::handleAcceptPauseRun, acceptPauseReactor_);
  idleSweepTask_ = task("Q7Relay idle sweep", &Listener::handleIdleSweepRun, idleSweepReactor_);
  if (port != 0) sharedListeners().push_back(this);
}

Listener::~Listener() {
  liveness_->owner = nullptr;
  std::erase(sharedListeners(), this);
  while (!connections_.empty()) closeConnection(connections_.begin()->first, "listener closed");
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
  watchListeningSocket();
  state_ = ListenState::listening;
  TRACE0("listening on {} port {} backlog {}", config_.key.ip(), boundPort_, backlog);
  return true;
}

void Listener::watchListeningSocket() {
  loop_->watchFd(fd_, EPOLLIN, [this](uint32_t) { handleAcceptReady(); }, Oru::EventLoop::Priority::background);
}

void Listener::handleAcceptReady() {
  Velto::Ptr<Listener> self(this);
  for (int i = 0; i < kAcceptsPerPiece; ++i) {
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
    if (connections_.size() >= config_.maxConnections) evictIdlest();
    accepted(fd, fmt::format("{}:{}", host, port));
  }
}

void Listener::handleAcceptPauseRun() {
  if (fd_ < 0) return;
  TRACE2("accepting again on port {}", boundPort_);
  watchListeningSocket();
}

void Listener::accepted(int fd, const std::string& peer) {
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &kSendBuffer, sizeof kSendBuffer);
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
  c.id = nextConnectionId_++;
  c.peer = peer;
  c.lastHeard = loop_->now();
  TRACE6("connection from {} ({} open)", peer, connections_.size());
  maybeWaitForMore(c);
  maybeArmIdleSweep(closeDeadline(c));
}

void Listener::closeConnection(int fd, const char* why) {
  auto it = connections_.find(fd);
  if (it == connections_.end()) return;
  TRACE6("close connection from {}: {}", it->second.peer, why);
  loop_->unwatchFd(fd);
  ::close(fd);
  connections_.erase(it);
}

Velto::Duration Listener::closeDeadline(const Connection& c) const {
  const double timeout = c.session.identified() ? config_.idleTimeout : config_.unidentifiedIdleTimeout;
  Velto::Duration deadline = std::numeric_limits<Velto::Duration>::infinity();
  if (timeout > 0) deadline = c.lastHeard + timeout;
  if (c.unread() > 0) deadline = std::min(deadline, c.lastTaken + config_.stallTimeout);
  return deadline;
}

bool Listener::stalled(const Connection& c, Velto::Duration now) const {
  return c.unread() > 0 && c.lastTaken + config_.stallTimeout <= now;
}

void Listener::evictIdlest() {
  // The connection nearest being closed anyway: one that never said HELLO
  // before any peer that did, the one silent longest among equals.
  auto idlest = std::min_element(connections_.begin(), connections_.end(), [this](const auto& a, const auto& b) {
    return std::pair(closeDeadline(a.second), a.second.lastHeard) < std::pair(closeDeadline(b.second), b.second.lastHeard);
  });
  if (idlest == connections_.end()) return;
  TRACE2("{} connections open: closing the idlest, from {}", connections_.size(), idlest->second.peer);
  closeConnection(idlest->first, "closed to make room");
}

void Listener::handleConnectionReady(int fd, uint64_t id) {
  Velto::Ptr<Listener> self(this);
  auto it = connections_.find(fd);
  // The descriptor may have been closed, or reused by a later connection,
  // earlier in the same turn.
  if (it == connections_.end() || it->second.id != id) return;
  // The event flags only say where to look: the socket itself tells what
  // happened when it is read or written.
  if (serve(it->second)) maybeWaitForMore(it->second);
}

bool Listener::serve(Connection& c) {
  if (!flushOutput(c)) return false;
  const AnswerContext context{memberId_, &settings().provider, &settings().served};
  bool read = false;
  size_t produced = 0;
  for (int answered = 0; answered < kAnswersPerPiece && produced < kOutputPerPiece;) {
    if (c.session.requestWaiting()) {
      // A peer that does not take its answers gets no more until it does.
      if (c.unread() >= kMaxUnreadOutput) break;
      if (c.unread() == 0) c.lastTaken = loop_->now();
      const size_t before = c.out.size();
      c.session.answerNext(c.out, context);
      produced += c.out.size() - before;
      ++answered;
      continue;
    }
    if (c.session.broken()) {
      closeConnection(c.fd, "line too long");
      return false;
    }
    if (read || c.peerDone) break;
    read = true;
    if (!readInput(c)) return false;
  }
  if (!flushOutput(c)) return false;
  if (c.peerDone && !c.session.requestWaiting() && c.unread() == 0) {
    closeConnection(c.fd, "closed by peer");
    return false;
  }
  return true;
}

bool Listener::readInput(Connection& c) {
  char buf[kReadPerPiece];
  for (;;) {
    const ssize_t n = ::recv(c.fd, buf, sizeof buf, 0);
    if (n > 0) {
      c.lastHeard = loop_->now();
      c.session.received(std::string_view(buf, static_cast<size_t>(n)));
      return true;
    }
    if (n == 0) {
      c.peerDone = true;
      return true;
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return true;
    closeConnection(c.fd, std::strerror(errno));
    return false;
  }
}

bool Listener::flushOutput(Connection& c) {
  size_t sent = 0;
  while (c.unread() > 0 && sent < kSendPerPiece) {
    const size_t len = std::min(c.unread(), kSendPerPiece - sent);
    const ssize_t n = ::send(c.fd, c.out.data() + c.outSent, len, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      c.outSent += static_cast<size_t>(n);
      sent += static_cast<size_t>(n);
      c.lastTaken = loop_->now();
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
    closeConnection(c.fd, n < 0 ? std::strerror(errno) : "send failed");
    return false;
  }
  if (c.unread() == 0) {
    c.out.clear();
    c.outSent = 0;
  } else if (c.outSent > c.out.size() / 2) {
    c.out.erase(0, c.outSent);
    c.outSent = 0;
  }
  return true;
}

void Listener::dropUnread(Connection& c) {
  TRACE2("{} has taken none of its {} bytes of answers unread for {}s: closing", c.peer, c.unread(),
         config_.stallTimeout);
  // The last line goes only where the peer reads it as a line of its own:
  // after a whole answer, and only if the socket takes it now.
  if (c.outSent == 0 || c.out[c.outSent - 1] == '\n') {
    const std::string last = "ERR answers not read; closing\n";
    [[maybe_unused]] const ssize_t n = ::send(c.fd, last.data(), last.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
  }
  closeConnection(c.fd, "peer does not read its answers");
}

void Listener::maybeWaitForMore(Connection& c) {
  // Input is read only once the requests already read are answered, so a
  // connection holds at most one read of requests.
  uint32_t interest = 0;
  if (!c.session.requestWaiting() && !c.peerDone) interest |= EPOLLIN;
  if (c.unread() > 0) interest |= EPOLLOUT;
  if (!c.watched || interest != c.interest) {
    const int fd = c.fd;
    const uint64_t id = c.id;
    c.watched = true;
    c.interest = interest;
    loop_->watchFd(fd, interest, [this, fd, id](uint32_t) { handleConnectionReady(fd, id); },
                   Oru::EventLoop::Priority::background);
  }
  // Requests already read wait for no event: the next turn's background
  // work answers more of them, unless the peer must first take its answers
  // (the socket's readiness to take more says when).
  if (c.unread() > 0) maybeArmIdleSweep(closeDeadline(c));
  if (c.session.requestWaiting() && c.unread() < kMaxUnreadOutput && !c.continuePosted) {
    c.continuePosted = true;
    loop_->postBackground([live = liveness_, fd = c.fd, id = c.id] {
      Listener* self = live->owner;
      if (!self) return;
      auto it = self->connections_.find(fd);
      if (it == self->connections_.end() || it->second.id != id) return;
      it->second.continuePosted = false;
      self->handleConnectionReady(fd, id);
    });
  }
}

void Listener::maybeArmIdleSweep(Velto::Duration deadline) {
  if (!std::isfinite(deadline)) return;
  if (idleSweepTask_->taskScheduled() && idleSweepTask_->dueTime() <= deadline) return;
  idleSweepTask_->scheduleTaskDelay(deadline - loop_->now());
}

void Listener::handleIdleSweepRun() {
  if (closeExpiredPosted_) return;
  closeExpiredPosted_ = true;
  loop_->postBackground([live = liveness_] {
    if (Listener* self = live->owner) self->closeExpired();
  });
}

void Listener::closeExpired() {
  Velto::Ptr<Listener> self(this);
  closeExpiredPosted_ = false;
  const Velto::Duration now = loop_->now();
  std::vector<int> expired;
  Velto::Duration next = std::numeric_limits<Velto::Duration>::infinity();
  for (const auto& [fd, c] : connections_) {
    const Velto::Duration deadline = closeDeadline(c);
    if (deadline <= now) {
      expired.push_back(fd);
    } else {
      next = std::min(next, deadline);
    }
  }
  for (size_t i = 0; i < expired.size() && i < kClosesPerPiece; ++i) {
    Connection& c = connections_.at(expired[i]);
    if (stalled(c, now)) {
      dropUnread(c);
    } else {
      closeConnection(c.fd, "idle");
    }
  }
  if (expired.size() > kClosesPerPiece) handleIdleSweepRun();
  maybeArmIdleSweep(next);
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

}  // namespace ZemUtils
}  // namespace Q7Relay

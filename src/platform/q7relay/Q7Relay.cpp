#include "platform/q7relay/Q7Relay.h"

#include "platform/framework/Assert.h"
#include "platform/net/LineConnections.h"
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
#include <memory>
#include <vector>

namespace {
const Ringlog::Handle traceHandle{"Q7Relay::ZemUtils::Listener"};

// What one piece of background work does for one connection at most, so
// that a busy peer costs the loop some microseconds per turn, not a read's
// worth of answers: one read (Oru::LineConnections::kReadPerPiece), this
// many answers or this many bytes of them, this much sent.
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
class Listener : public Velto::RefCounted, public Oru::LineConnections {
 public:
  Listener(const TcpConfig& config, int port, Velto::Ptr<Oru::EventLoop> loop);
  ~Listener() override;

  // Opens the socket now or after the listen delay; false (with error()) when
  // the socket cannot be opened.
  bool start();
  ListenState state() const { return state_; }
  const std::string& error() const { return error_; }
  int port() const { return boundPort_; }
  const ConnectionKey& key() const { return config_.key; }
  int requestedPort() const { return requestedPort_; }
  void memberIdIs(Vorn::MemberId id) { memberId_ = id; }

 private:
  struct Peer : Connection {
    Session session;
  };
  static Peer& peer(Connection& c) { return static_cast<Peer&>(c); }
  static const Peer& peer(const Connection& c) { return static_cast<const Peer&>(c); }

  bool open();
  void watchListeningSocket();
  void handleListenDelayRun();
  void handleAcceptReady();
  void handleAcceptPauseRun();
  void accepted(int fd, const std::string& peer);
  Velto::Ptr<Oru::TimerTask> task(const std::string& name, void (Listener::*handler)(), Zem::Reactor& reactor);

  // The table's hooks. A piece of work sends, answers and reads, within the
  // piece's limits.
  void ready(int fd, uint64_t id, uint32_t events) override;
  bool serve(Connection& c, uint32_t events) override;
  uint32_t readInterest(const Connection& c) const override;
  bool requestsWaiting(const Connection& c) const override;
  double idleTimeout(const Connection& c) const override;
  void expire(Connection& c, bool stalled) override;

  TcpConfig config_;
  int requestedPort_;
  Vorn::MemberId memberId_;
  ListenState state_ = ListenState::pending;
  std::string error_;
  int fd_ = -1;
  int boundPort_ = 0;
  Velto::Ptr<Oru::TimerTask> listenDelayTask_;
  Velto::Ptr<Oru::TimerTask> acceptPauseTask_;
  Zem::Reactor listenDelayReactor_;
  Zem::Reactor acceptPauseReactor_;
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
    : LineConnections(std::move(loop), "Q7Relay",
                      {.maxConnections = config.maxConnections,
                       .maxUnread = kMaxUnreadOutput,
                       .stallTimeout = config.stallTimeout,
                       .sendPerPiece = kSendPerPiece,
                       .closesPerSweep = kClosesPerPiece}),
      config_(config),
      requestedPort_(port),
      memberId_(Vorn::memberId()) {
  listenDelayTask_ = task("Q7Relay listen delay", &Listener::handleListenDelayRun, listenDelayReactor_);
  acceptPauseTask_ = task("Q7Relay accept pause", &Listener::handleAcceptPauseRun, acceptPauseReactor_);
  if (port != 0) sharedListeners().push_back(this);
}

Listener::~Listener() {
  std::erase(sharedListeners(), this);
  closeAll("listener closed");
  if (fd_ >= 0) {
    loop()->unwatchFd(fd_);
    ::close(fd_);
    TRACE0("closed listener on {} port {}", config_.key.ip(), boundPort_);
  }
}

Velto::Ptr<Oru::TimerTask> Listener::task(const std::string& name, void (Listener::*handler)(), Zem::Reactor& reactor) {
  auto t = Velto::make<Oru::TimerTask>(loop(), 0, name);
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
  loop()->watchFd(fd_, EPOLLIN, [this](uint32_t) { handleAcceptReady(); }, Oru::EventLoop::Priority::background);
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
      loop()->unwatchFd(fd_);
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
    accepted(fd, fmt::format("{}:{}", host, port));
  }
}

void Listener::handleAcceptPauseRun() {
  if (fd_ < 0) return;
  TRACE2("accepting again on port {}", boundPort_);
  watchListeningSocket();
}

void Listener::accepted(int fd, const std::string& from) {
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
  auto c = std::make_unique<Peer>();
  c->peer = from;
  adopt(fd, std::move(c));
  TRACE6("connection from {} ({} open)", from, connectionCount());
}

void Listener::ready(int fd, uint64_t id, uint32_t events) {
  // The listener outlives a piece of work even if its last status lets go
  // meanwhile (a state provider may close it).
  Velto::Ptr<Listener> self(this);
  LineConnections::ready(fd, id, events);
}

bool Listener::serve(Connection& conn, uint32_t) {
  // The event flags only say where to look: the socket itself tells what
  // happened when it is read or written.
  Peer& c = peer(conn);
  if (!flush(c)) return false;
  const AnswerContext context{memberId_, &settings().provider, &settings().served};
  bool read = false;
  size_t produced = 0;
  for (int answered = 0; answered < kAnswersPerPiece && produced < kOutputPerPiece;) {
    if (c.session.requestWaiting()) {
      // A peer that does not take its answers gets no more until it does.
      if (c.unread() >= kMaxUnreadOutput) break;
      std::string& out = output(c);
      const size_t before = out.size();
      c.session.answerNext(out, context);
      produced += out.size() - before;
      ++answered;
      continue;
    }
    if (c.session.broken()) {
      close(c, "line too long");
      return false;
    }
    if (read || c.peerDone) break;
    read = true;
    const auto got = receive(c);
    if (!got) return false;
    if (!got->empty()) c.session.received(*got);
  }
  if (!flush(c)) return false;
  if (c.peerDone && !c.session.requestWaiting() && c.unread() == 0) {
    close(c, "closed by peer");
    return false;
  }
  return true;
}

uint32_t Listener::readInterest(const Connection& c) const {
  // Input is read only once the requests already read are answered, so a
  // connection holds at most one read of requests.
  return requestsWaiting(c) || c.peerDone ? 0u : uint32_t{EPOLLIN};
}

bool Listener::requestsWaiting(const Connection& c) const { return peer(c).session.requestWaiting(); }

double Listener::idleTimeout(const Connection& c) const {
  return peer(c).session.identified() ? config_.idleTimeout : config_.unidentifiedIdleTimeout;
}

void Listener::expire(Connection& c, bool stalled) {
  if (!stalled) return close(c, "idle");
  TRACE2("{} has taken none of its {} bytes of answers unread for {}s: closing", c.peer, c.unread(),
         config_.stallTimeout);
  closeWithLastLine(c, "ERR answers not read; closing", "peer does not read its answers");
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

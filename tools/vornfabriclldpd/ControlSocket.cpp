#include "ControlSocket.h"

#include "platform/trace/Ringlog.h"

#include <fmt/format.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>
#include <vector>

namespace VornDaemon {

namespace {

const Ringlog::Handle traceHandle{"Vorn::VornFabricLldp::ControlSocket"};

// Per piece of work on one connection: one read
// (Oru::LineConnections::kReadPerPiece), this many requests, this much sent.
constexpr int kRequestsPerPiece = 8;
constexpr size_t kSendPerPiece = 64 * 1024;
constexpr int kAcceptsPerPiece = 8;
constexpr std::string_view kLineTooLong = R"({"ok":false,"error":"request line too long"})";

std::string errnoText(const std::string& what) { return what + ": " + std::strerror(errno); }

sockaddr_un addressOf(const std::string& path) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof addr.sun_path) {
    throw ControlSocketError(fmt::format("control socket path '{}' is empty or longer than {} bytes", path,
                                         sizeof addr.sun_path - 1));
  }
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  return addr;
}

// A socket file left by a daemon that died is removed; a live one means
// another daemon serves this path, and anything else is not ours to remove.
void clearStaleSocket(const std::string& path, const sockaddr_un& addr) {
  struct stat st{};
  if (::lstat(path.c_str(), &st) != 0) return;
  if (!S_ISSOCK(st.st_mode)) throw ControlSocketError(fmt::format("{} exists and is not a socket", path));
  const int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (probe < 0) throw ControlSocketError(errnoText("socket"));
  const bool live = ::connect(probe, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
  ::close(probe);
  if (live) throw ControlSocketError(fmt::format("{} is served by another running daemon", path));
  if (::unlink(path.c_str()) != 0) throw ControlSocketError(errnoText("cannot remove stale " + path));
}

}  // namespace

ControlSocket::ControlSocket(Velto::Ptr<Oru::EventLoop> eventLoop, std::string path, mode_t mode,
                             std::optional<gid_t> group, Handler handler, ControlLimits limits)
    : LineConnections(std::move(eventLoop), "control socket",
                      {.maxConnections = limits.maxConnections,
                       .maxUnread = limits.maxUnread,
                       .stallTimeout = limits.stallTimeout,
                       .sendPerPiece = kSendPerPiece,
                       .closesPerSweep = std::nullopt}),
      path_(std::move(path)),
      handler_(std::move(handler)),
      limits_(limits) {
  const sockaddr_un addr = addressOf(path_);
  const auto dir = std::filesystem::path(path_).parent_path();
  std::error_code ec;
  if (!dir.empty()) std::filesystem::create_directories(dir, ec);
  if (ec) throw ControlSocketError(fmt::format("cannot make {}: {}", dir.string(), ec.message()));
  clearStaleSocket(path_, addr);

  fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd_ < 0) throw ControlSocketError(errnoText("socket"));
  auto fail = [this](const std::string& what) {
    const std::string text = errnoText(what);
    ::close(fd_);
    fd_ = -1;
    ::unlink(path_.c_str());
    throw ControlSocketError(text);
  };
  if (::bind(fd_, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) fail("cannot bind " + path_);
  if (::chmod(path_.c_str(), mode) != 0) fail("cannot set the mode of " + path_);
  if (group && ::chown(path_.c_str(), static_cast<uid_t>(-1), *group) != 0) fail("cannot set the group of " + path_);
  if (::listen(fd_, 64) != 0) fail("cannot listen on " + path_);

  loop()->watchFd(fd_, EPOLLIN, [this](uint32_t) { handleAcceptReady(); }, Oru::EventLoop::Priority::background);
  TRACE0("control socket listening on {}", path_);
}

ControlSocket::~ControlSocket() {
  closeAll("daemon stops");
  if (fd_ >= 0) {
    loop()->unwatchFd(fd_);
    ::close(fd_);
    ::unlink(path_.c_str());
  }
}

size_t ControlSocket::watcherCount() const {
  return static_cast<size_t>(std::count_if(connections().begin(), connections().end(),
                                           [](const auto& c) { return client(*c.second).watching; }));
}

void ControlSocket::handleAcceptReady() {
  for (int i = 0; i < kAcceptsPerPiece; ++i) {
    const int fd = ::accept4(fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      // Out of descriptors: the newest waits in the backlog; the idlest
      // makes room at the next accept.
      if (errno == EMFILE || errno == ENFILE) evictIdlest();
      return;
    }
    adopt(fd, std::make_unique<Client>());
  }
}

bool ControlSocket::serve(Connection& conn, uint32_t events) {
  Client& c = client(conn);
  // A watcher's input is never read, so its hang-up is taken from the
  // flags; anyone else's shows when its last bytes are read.
  if (c.watching && (events & (EPOLLRDHUP | EPOLLHUP | EPOLLERR))) {
    close(c, "watcher went");
    return false;
  }
  if (!flush(c)) return false;
  if (!c.watching && !c.closing && !c.peerDone && c.unread() < limits_.maxUnread) {
    const auto got = receive(c);
    if (!got) return false;
    c.in.append(*got);
  }
  for (int answered = 0; answered < kRequestsPerPiece && !c.closing && !c.watching; ++answered) {
    if (c.unread() >= limits_.maxUnread) break;
    const size_t end = c.in.find('\n');
    if (end == std::string::npos ? c.in.size() > limits_.maxLine : end > limits_.maxLine) {
      queue(c, kLineTooLong);
      c.closing = true;
      c.in.clear();
      break;
    }
    if (end == std::string::npos) break;
    std::string_view line(c.in.data(), end);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    Answer answer = handler_(line);
    c.in.erase(0, end + 1);
    queue(c, answer.line);
    if (answer.watch) {
      c.watching = true;
      c.in.clear();
    }
  }
  if (!flush(c)) return false;
  if ((c.closing || (c.peerDone && !requestsWaiting(c) && !c.watching)) && c.unread() == 0) {
    close(c, c.closing ? "line too long" : "closed by client");
    return false;
  }
  return true;
}

uint32_t ControlSocket::readInterest(const Connection& conn) const {
  // A watcher's input is not read (it asks nothing more): its hang-up is
  // seen through EPOLLRDHUP. Anyone else's shows as the end of its input.
  const Client& c = client(conn);
  if (c.watching) return uint32_t{EPOLLRDHUP};
  return c.closing || c.peerDone ? 0u : uint32_t{EPOLLIN};
}

bool ControlSocket::requestsWaiting(const Connection& conn) const {
  const Client& c = client(conn);
  return !c.watching && !c.closing && c.in.find('\n') != std::string::npos;
}

// Watchers ask nothing and are exempt.
double ControlSocket::idleTimeout(const Connection& c) const { return client(c).watching ? 0 : limits_.idleTimeout; }

// Requests before watchers.
int ControlSocket::evictionRank(const Connection& c) const { return client(c).watching ? 1 : 0; }

void ControlSocket::expire(Connection& c, bool) {
  if (c.unread() == 0) return close(c, "idle");
  closeWithLastLine(c, R"({"ok":false,"error":"answers not read; closing"})", "client does not read");
}

void ControlSocket::broadcast(std::string_view line) {
  std::vector<int> full;
  for (const auto& [fd, conn] : connections()) {
    Client& c = client(*conn);
    if (!c.watching) continue;
    if (c.unread() + line.size() + 1 > limits_.maxUnread) {
      full.push_back(fd);
      continue;
    }
    queue(c, line);
    rewatch(c);
  }
  for (int fd : full) {
    closeWithLastLine(*connections().at(fd), R"({"ok":false,"error":"events not read fast enough; closing"})",
                      "watcher does not read");
  }
}

}  // namespace VornDaemon

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
#include <cmath>
#include <cstring>
#include <filesystem>
#include <limits>
#include <vector>

namespace VornDaemon {

namespace {

const Ringlog::Handle traceHandle{"Vorn::VornFabricLldp::ControlSocket"};

// Per piece of work on one connection.
constexpr size_t kReadPerPiece = 16 * 1024;
constexpr int kRequestsPerPiece = 8;
constexpr size_t kSendPerPiece = 64 * 1024;
constexpr int kAcceptsPerPiece = 8;
// The kernel's send buffer of a connection: what a client that does not
// read holds in the kernel beside maxUnread.
constexpr int kSendBuffer = 64 * 1024;

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

ControlSocket::ControlSocket(Velto::Ptr<Oru::EventLoop> loop, std::string path, mode_t mode,
                             std::optional<gid_t> group, Handler handler, ControlLimits limits)
    : loop_(std::move(loop)),
      path_(std::move(path)),
      handler_(std::move(handler)),
      limits_(limits),
      liveness_(Velto::make<Liveness>()) {
  liveness_->owner = this;
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

  sweepTask_ = Velto::make<Oru::TimerTask>(loop_, 0, "control socket sweep");
  sweepReactor_ = sweepTask_->subscribe([this](const Zem::Change& c) {
    if (c.is(Oru::TimerTask::runAttr)) sweep();
  });
  loop_->watchFd(fd_, EPOLLIN, [this](uint32_t) { handleAcceptReady(); }, Oru::EventLoop::Priority::background);
  TRACE0("control socket listening on {}", path_);
}

ControlSocket::~ControlSocket() {
  liveness_->owner = nullptr;
  while (!connections_.empty()) close(connections_.begin()->first, "daemon stops");
  if (fd_ >= 0) {
    loop_->unwatchFd(fd_);
    ::close(fd_);
    ::unlink(path_.c_str());
  }
}

size_t ControlSocket::watcherCount() const {
  return static_cast<size_t>(
      std::count_if(connections_.begin(), connections_.end(), [](const auto& c) { return c.second.watching; }));
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
    if (connections_.size() >= limits_.maxConnections) evictIdlest();
    ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &kSendBuffer, sizeof kSendBuffer);
    Connection& c = connections_[fd];
    c.fd = fd;
    c.id = nextId_++;
    c.lastHeard = c.lastTaken = loop_->now();
    rewatch(c);
    armSweep(deadline(c));
  }
}

void ControlSocket::handleReady(int fd, uint64_t id) {
  auto it = connections_.find(fd);
  if (it == connections_.end() || it->second.id != id) return;
  if (serve(it->second)) rewatch(it->second);
}

bool ControlSocket::serve(Connection& c) {
  if (!flush(c)) return false;
  if (!c.watching && !c.closing && !c.peerDone && c.unread() < limits_.maxUnread) {
    char buf[kReadPerPiece];
    const ssize_t n = ::recv(c.fd, buf, sizeof buf, 0);
    if (n > 0) {
      c.lastHeard = loop_->now();
      c.in.append(buf, static_cast<size_t>(n));
    } else if (n == 0) {
      c.peerDone = true;
    } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
      close(c.fd, std::strerror(errno));
      return false;
    }
  }
  for (int answered = 0; answered < kRequestsPerPiece && !c.closing && !c.watching; ++answered) {
    if (c.unread() >= limits_.maxUnread) break;
    const size_t end = c.in.find('\n');
    if (end == std::string::npos) {
      if (c.in.size() > limits_.maxLine) {
        queue(c, R"({"ok":false,"error":"request line too long"})");
        c.closing = true;
        c.in.clear();
      }
      break;
    }
    if (end > limits_.maxLine) {
      queue(c, R"({"ok":false,"error":"request line too long"})");
      c.closing = true;
      c.in.clear();
      break;
    }
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
  const bool nothingLeft = c.in.find('\n') == std::string::npos;
  if ((c.closing || (c.peerDone && nothingLeft && !c.watching)) && c.unread() == 0) {
    close(c.fd, c.closing ? "line too long" : "closed by client");
    return false;
  }
  // Requests already read are answered in a later turn.
  if (!c.watching && !c.closing && c.in.find('\n') != std::string::npos && c.unread() < limits_.maxUnread &&
      !c.posted) {
    c.posted = true;
    loop_->postBackground([live = liveness_, fd = c.fd, id = c.id] {
      ControlSocket* self = live->owner;
      if (!self) return;
      auto it = self->connections_.find(fd);
      if (it == self->connections_.end() || it->second.id != id) return;
      it->second.posted = false;
      self->handleReady(fd, id);
    });
  }
  return true;
}

bool ControlSocket::flush(Connection& c) {
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
    close(c.fd, n < 0 ? std::strerror(errno) : "send failed");
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

void ControlSocket::queue(Connection& c, std::string_view line) {
  if (c.unread() == 0) c.lastTaken = loop_->now();
  c.out.append(line);
  c.out.push_back('\n');
}

void ControlSocket::broadcast(std::string_view line) {
  std::vector<int> full;
  for (auto& [fd, c] : connections_) {
    if (!c.watching) continue;
    if (c.unread() + line.size() + 1 > limits_.maxUnread) {
      full.push_back(fd);
      continue;
    }
    queue(c, line);
    rewatch(c);
  }
  for (int fd : full) {
    drop(connections_.at(fd), R"({"ok":false,"error":"events not read fast enough; closing"})",
         "watcher does not read");
  }
}

void ControlSocket::rewatch(Connection& c) {
  // A watcher's input is not read (it asks nothing more): its hang-up is
  // seen through EPOLLRDHUP. Anyone else's shows as the end of its input.
  uint32_t interest = 0;
  if (c.watching) {
    interest |= EPOLLRDHUP;
  } else if (!c.closing && !c.peerDone) {
    interest |= EPOLLIN;
  }
  if (c.unread() > 0) interest |= EPOLLOUT;
  if (!c.watched || interest != c.interest) {
    c.watched = true;
    c.interest = interest;
    const int fd = c.fd;
    const uint64_t id = c.id;
    loop_->watchFd(
        fd, interest,
        [this, fd, id](uint32_t events) {
          auto it = connections_.find(fd);
          if (it == connections_.end() || it->second.id != id) return;
          // A watcher's input is never read, so its hang-up is taken from
          // the flags; anyone else's shows when its last bytes are read.
          if (it->second.watching && (events & (EPOLLRDHUP | EPOLLHUP | EPOLLERR))) {
            close(fd, "watcher went");
            return;
          }
          handleReady(fd, id);
        },
        Oru::EventLoop::Priority::background);
  }
  if (c.unread() > 0) armSweep(deadline(c));
}

void ControlSocket::close(int fd, const char* why) {
  auto it = connections_.find(fd);
  if (it == connections_.end()) return;
  TRACE6("control connection {} closed: {}", it->second.id, why);
  loop_->unwatchFd(fd);
  ::close(fd);
  connections_.erase(it);
}

void ControlSocket::drop(Connection& c, std::string_view last, const char* why) {
  // The last line goes only where the client reads it as a line of its own.
  if (c.outSent == 0 || c.out[c.outSent - 1] == '\n') {
    c.out.erase(c.outSent);
    const std::string text = std::string(last) + "\n";
    [[maybe_unused]] const ssize_t n = ::send(c.fd, text.data(), text.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
  }
  close(c.fd, why);
}

Velto::Duration ControlSocket::deadline(const Connection& c) const {
  Velto::Duration d = std::numeric_limits<Velto::Duration>::infinity();
  if (!c.watching && limits_.idleTimeout > 0) d = c.lastHeard + limits_.idleTimeout;
  if (c.unread() > 0) d = std::min(d, c.lastTaken + limits_.stallTimeout);
  return d;
}

void ControlSocket::evictIdlest() {
  if (connections_.empty()) return;
  // Requests before watchers, the nearest to being closed anyway first.
  auto idlest = std::min_element(connections_.begin(), connections_.end(), [this](const auto& a, const auto& b) {
    return std::tuple(a.second.watching, deadline(a.second), a.second.lastHeard) <
           std::tuple(b.second.watching, deadline(b.second), b.second.lastHeard);
  });
  close(idlest->first, "closed to make room");
}

void ControlSocket::armSweep(Velto::Duration when) {
  if (!std::isfinite(when)) return;
  if (sweepTask_->taskScheduled() && sweepTask_->dueTime() <= when) return;
  sweepTask_->scheduleTaskDelay(std::max(0.0, when - loop_->now()));
}

void ControlSocket::sweep() {
  const Velto::Duration now = loop_->now();
  std::vector<int> expired;
  Velto::Duration next = std::numeric_limits<Velto::Duration>::infinity();
  for (const auto& [fd, c] : connections_) {
    const auto d = deadline(c);
    if (d <= now) {
      expired.push_back(fd);
    } else {
      next = std::min(next, d);
    }
  }
  for (int fd : expired) {
    Connection& c = connections_.at(fd);
    if (c.unread() > 0) {
      drop(c, R"({"ok":false,"error":"answers not read; closing"})", "client does not read");
    } else {
      close(fd, "idle");
    }
  }
  armSweep(next);
}

}  // namespace VornDaemon

#include "platform/net/LineConnections.h"

#include "platform/trace/Ringlog.h"

#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>
#include <tuple>
#include <vector>

namespace {
const Ringlog::Handle traceHandle{"Oru::LineConnections"};

// The kernel's send buffer of a connection (it doubles the figure): what a
// client that does not read can hold in the kernel beside the waiting
// answers.
constexpr int kSendBuffer = 64 * 1024;
}  // namespace

namespace Oru {

LineConnections::LineConnections(Velto::Ptr<EventLoop> loop, const std::string& name, Limits limits)
    : loop_(std::move(loop)), name_(name), limits_(limits), liveness_(Velto::make<Liveness>()) {
  liveness_->owner = this;
  sweepTask_ = Velto::make<TimerTask>(loop_, 0, name + " sweep");
  sweepReactor_ = sweepTask_->subscribe([this](const Zem::Change& c) {
    if (c.is(TimerTask::runAttr)) sweepDue();
  });
}

LineConnections::~LineConnections() {
  liveness_->owner = nullptr;
  closeAll("closed");
}

void LineConnections::ready(int fd, uint64_t id, uint32_t events) {
  auto it = connections_.find(fd);
  // The descriptor may have been closed, or reused by a later connection,
  // earlier in the same turn.
  if (it == connections_.end() || it->second->id != id) return;
  Connection& c = *it->second;
  if (serve(c, events)) rewatch(c);
}

LineConnections::Connection& LineConnections::adopt(int fd, std::unique_ptr<Connection> conn) {
  if (connections_.size() >= limits_.maxConnections) evictIdlest();
  ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &kSendBuffer, sizeof kSendBuffer);
  Connection& c = *(connections_[fd] = std::move(conn));
  c.fd = fd;
  c.id = nextId_++;
  c.lastHeard = c.lastTaken = loop_->now();
  rewatch(c);
  return c;
}

std::optional<std::string_view> LineConnections::receive(Connection& c) {
  for (;;) {
    const ssize_t n = ::recv(c.fd, readBuffer_.data(), readBuffer_.size(), 0);
    if (n > 0) {
      c.lastHeard = loop_->now();
      return std::string_view(readBuffer_.data(), static_cast<size_t>(n));
    }
    if (n == 0) {
      c.peerDone = true;
      return std::string_view();
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return std::string_view();
    close(c, std::strerror(errno));
    return std::nullopt;
  }
}

bool LineConnections::flush(Connection& c) {
  size_t sent = 0;
  while (c.unread() > 0 && sent < limits_.sendPerPiece) {
    const size_t len = std::min(c.unread(), limits_.sendPerPiece - sent);
    const ssize_t n = ::send(c.fd, c.out.data() + c.outSent, len, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      c.outSent += static_cast<size_t>(n);
      sent += static_cast<size_t>(n);
      c.lastTaken = loop_->now();
      c.atLineStart = c.out[c.outSent - 1] == '\n';
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
    close(c, n < 0 ? std::strerror(errno) : "send failed");
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

std::string& LineConnections::output(Connection& c) {
  if (c.unread() == 0) c.lastTaken = loop_->now();
  return c.out;
}

void LineConnections::queue(Connection& c, std::string_view line) { output(c).append(line).push_back('\n'); }

void LineConnections::rewatch(Connection& c) {
  uint32_t interest = readInterest(c);
  if (c.unread() > 0) interest |= EPOLLOUT;
  const int fd = c.fd;
  const uint64_t id = c.id;
  if (!c.watched || interest != c.interest) {
    c.watched = true;
    c.interest = interest;
    loop_->watchFd(fd, interest, [this, fd, id](uint32_t events) { ready(fd, id, events); },
                   EventLoop::Priority::background);
  }
  armSweep(deadline(c));
  // Requests already read wait for no event: the next turn's background
  // work serves more of them, unless the client must first take its
  // answers (the socket's readiness to take more says when).
  if (requestsWaiting(c) && c.unread() < limits_.maxUnread && !c.posted) {
    c.posted = true;
    loop_->postBackground([live = liveness_, fd, id] {
      LineConnections* self = live->owner;
      if (!self) return;
      auto it = self->connections_.find(fd);
      if (it == self->connections_.end() || it->second->id != id) return;
      it->second->posted = false;
      self->ready(fd, id, 0);
    });
  }
}

void LineConnections::close(Connection& c, const char* why) {
  const int fd = c.fd;
  TRACE6("{}: connection {} {} closed: {}", name_, c.id, c.peer, why);
  loop_->unwatchFd(fd);
  ::close(fd);
  connections_.erase(fd);  // destroys c
}

void LineConnections::closeWithLastLine(Connection& c, std::string_view last, const char* why) {
  if (c.atLineStart) {
    const std::string text = std::string(last) + "\n";
    [[maybe_unused]] const ssize_t n = ::send(c.fd, text.data(), text.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
  }
  close(c, why);
}

void LineConnections::closeAll(const char* why) {
  while (!connections_.empty()) close(*connections_.begin()->second, why);
}

Velto::Duration LineConnections::deadline(const Connection& c) const {
  const double idle = idleTimeout(c);
  Velto::Duration d = std::numeric_limits<Velto::Duration>::infinity();
  if (idle > 0) d = c.lastHeard + idle;
  if (c.unread() > 0) d = std::min(d, c.lastTaken + limits_.stallTimeout);
  return d;
}

void LineConnections::evictIdlest() {
  if (connections_.empty()) return;
  // The connection nearest being closed anyway, the one silent longest
  // among equals.
  auto rank = [this](const Connection& c) { return std::tuple(evictionRank(c), deadline(c), c.lastHeard); };
  auto idlest = std::min_element(connections_.begin(), connections_.end(),
                                 [&](const auto& a, const auto& b) { return rank(*a.second) < rank(*b.second); });
  TRACE2("{}: {} connections open: closing the idlest, {}", name_, connections_.size(), idlest->second->peer);
  close(*idlest->second, "closed to make room");
}

void LineConnections::armSweep(Velto::Duration when) {
  if (!std::isfinite(when)) return;
  if (sweepTask_->taskScheduled() && sweepTask_->dueTime() <= when) return;
  sweepTask_->scheduleTaskDelay(std::max(0.0, when - loop_->now()));
}

void LineConnections::sweepDue() {
  if (!limits_.closesPerSweep) return sweep();
  if (sweepPosted_) return;
  sweepPosted_ = true;
  loop_->postBackground([live = liveness_] {
    if (LineConnections* self = live->owner) {
      self->sweepPosted_ = false;
      self->sweep();
    }
  });
}

void LineConnections::sweep() {
  const Velto::Duration now = loop_->now();
  std::vector<int> expired;
  Velto::Duration next = std::numeric_limits<Velto::Duration>::infinity();
  for (const auto& [fd, c] : connections_) {
    const Velto::Duration d = deadline(*c);
    if (d <= now) {
      expired.push_back(fd);
    } else {
      next = std::min(next, d);
    }
  }
  const size_t closes = std::min(expired.size(), limits_.closesPerSweep.value_or(expired.size()));
  for (size_t i = 0; i < closes; ++i) {
    Connection& c = *connections_.at(expired[i]);
    expire(c, c.unread() > 0 && c.lastTaken + limits_.stallTimeout <= now);
  }
  if (expired.size() > closes) sweepDue();
  armSweep(next);
}

}  // namespace Oru

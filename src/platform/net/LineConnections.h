#pragma once
// The connections of a line server served as background work of the event
// loop (the peer listener, the daemon's control socket): a bounded table
// keyed by descriptor, with an id per connection so that work for one that
// closed never reaches a later one on the same descriptor; answers sent a
// bounded amount per piece of work; a sweep, armed at the nearest deadline,
// that closes connections silent for their idle timeout or whose socket
// takes none of their answers for the stall timeout; eviction of the one
// nearest its deadline when a newcomer finds the table full; and requests
// already read served in a later turn. The server's hooks say what a piece
// of work does, what it waits for, and each connection's idle timeout.

#include "platform/scheduler/Scheduler.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace Oru {

class LineConnections {
 public:
  struct Limits {
    size_t maxConnections = 32;
    // Waiting answers beyond which requests already read wait for the
    // client to take some, rather than being served in the next turn.
    size_t maxUnread = 256 * 1024;
    // Seconds a socket may take none of its waiting answers.
    double stallTimeout = 5;
    // Bytes sent to one connection per piece of work.
    size_t sendPerPiece = 64 * 1024;
    // Expired connections closed per piece of background work, the rest in
    // the next; none: all of them, in the sweep timer's own turn.
    std::optional<size_t> closesPerSweep;
  };

  // Servers derive their own, to keep their request state beside it.
  struct Connection {
    virtual ~Connection() = default;
    size_t unread() const { return out.size() - outSent; }

    int fd = -1;
    // Tells a connection from a later one that got the same descriptor.
    uint64_t id = 0;
    std::string peer;  // for traces
    // Answers not yet taken by the socket: out from outSent on.
    std::string out;
    size_t outSent = 0;
    Velto::Duration lastHeard = 0;
    // When the socket last took some answers, or answers began to wait.
    Velto::Duration lastTaken = 0;
    bool peerDone = false;  // the client closed its side

   private:
    friend class LineConnections;
    // The last byte the socket took ended a line (or it took none): only
    // then may a last line follow.
    bool atLineStart = true;
    bool posted = false;
    bool watched = false;
    uint32_t interest = 0;
  };

  static constexpr size_t kReadPerPiece = 16 * 1024;  // one read

  LineConnections(Velto::Ptr<EventLoop> loop, const std::string& name, Limits limits);
  virtual ~LineConnections();
  LineConnections(const LineConnections&) = delete;
  LineConnections& operator=(const LineConnections&) = delete;

  size_t connectionCount() const { return connections_.size(); }
  const Velto::Ptr<EventLoop>& loop() const { return loop_; }

 protected:
  // One piece of work for `c`, whose socket reported `events` (none: posted
  // work); false when it closed the connection.
  virtual bool serve(Connection& c, uint32_t events) = 0;
  // EPOLLIN, EPOLLRDHUP or nothing: what `c` waits for besides its socket
  // taking its answers.
  virtual uint32_t readInterest(const Connection& c) const = 0;
  // Requests read and not yet answered: served in a later turn.
  virtual bool requestsWaiting(const Connection& c) const = 0;
  // Seconds of silence after which `c` is closed; 0: never.
  virtual double idleTimeout(const Connection& c) const = 0;
  // Eviction closes the lowest rank first, then the nearest deadline.
  virtual int evictionRank(const Connection&) const { return 0; }
  // `c`'s deadline passed; `stalled` when its socket took none of its
  // answers for the stall timeout. Closes it.
  virtual void expire(Connection& c, bool stalled) = 0;
  // Runs the work of a ready socket or of a posted piece, if the connection
  // is still there.
  virtual void ready(int fd, uint64_t id, uint32_t events);

  // Takes in an accepted socket, evicting the idlest from a full table.
  Connection& adopt(int fd, std::unique_ptr<Connection> c);
  // One read: the bytes read (empty when none, or at the end of the input,
  // which sets peerDone); none when the read failed and `c` was closed.
  std::optional<std::string_view> receive(Connection& c);
  // Sends a piece of the waiting answers; false when `c` was closed.
  bool flush(Connection& c);
  // Where answers are appended (marks when they began to wait).
  std::string& output(Connection& c);
  void queue(Connection& c, std::string_view line);
  // Watches the socket for what `c` waits for, arms the sweep for its
  // deadline, and posts the requests already read to a later turn.
  void rewatch(Connection& c);
  void close(Connection& c, const char* why);
  // Closes `c` after `last` (without its newline), sent only if the client
  // would read it as a line of its own and the socket takes it now.
  void closeWithLastLine(Connection& c, std::string_view last, const char* why);
  void closeAll(const char* why);
  void evictIdlest();
  const std::map<int, std::unique_ptr<Connection>>& connections() const { return connections_; }

 private:
  struct Liveness : Velto::RefCounted {
    LineConnections* owner = nullptr;
  };

  Velto::Duration deadline(const Connection& c) const;
  void armSweep(Velto::Duration deadline);
  void sweepDue();
  void sweep();

  Velto::Ptr<EventLoop> loop_;
  std::string name_;
  Limits limits_;
  uint64_t nextId_ = 1;
  bool sweepPosted_ = false;
  std::map<int, std::unique_ptr<Connection>> connections_;
  Velto::Ptr<Liveness> liveness_;
  Velto::Ptr<TimerTask> sweepTask_;
  Zem::Reactor sweepReactor_;
  std::array<char, kReadPerPiece> readBuffer_;
};

}  // namespace Oru

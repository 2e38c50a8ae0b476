#pragma once
// The daemon's control socket: a Unix-domain stream socket through which
// `vornctl` asks what the agent knows. One request per line, one answer
// line per request, in order; a client that asked to watch then gets one
// line per event until it goes.
//
// It is served on the activity thread, beside LLDP, as background work of
// the event loop, and it is bounded like the peer listener, so that no
// client can hold the agent up or make it grow:
// - at most `maxConnections` connections: a newcomer to a full table makes
//   room by closing the idlest connection (watchers last);
// - a line longer than `maxLine` gets one error line and the connection is
//   closed;
// - a client that asks nothing for `idleTimeout` is closed (watchers ask
//   nothing and are exempt);
// - answers and events waiting for a client that does not read: beyond
//   `maxUnread` bytes, or when its socket takes nothing for `stallTimeout`,
//   it gets one last error line if it fits and is closed;
// - each piece of work reads, answers and sends a bounded amount.
//
// Nothing on the socket changes the agent: the handler only reads.

#include "platform/framework/Values.h"
#include "platform/net/LineConnections.h"
#include "platform/scheduler/Scheduler.h"

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace VornDaemon {

struct ControlLimits {
  size_t maxConnections = 32;
  size_t maxLine = 4096;
  double idleTimeout = 60;
  size_t maxUnread = 256 * 1024;
  double stallTimeout = 5;
};

class ControlSocketError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class ControlSocket : private Oru::LineConnections {
 public:
  // What a request asks for: an answer line (without its newline), and
  // whether the client now watches events.
  struct Answer {
    std::string line;
    bool watch = false;
  };
  using Handler = std::function<Answer(std::string_view request)>;

  // Listens on `path` (replacing a stale socket file left there, never any
  // other kind of file) with `mode`, owned by `group` when given. Throws
  // ControlSocketError when it cannot.
  ControlSocket(Velto::Ptr<Oru::EventLoop> loop, std::string path, mode_t mode, std::optional<gid_t> group,
                Handler handler, ControlLimits limits = {});
  ~ControlSocket();
  ControlSocket(const ControlSocket&) = delete;
  ControlSocket& operator=(const ControlSocket&) = delete;

  // Sends `line` to every watching client.
  void broadcast(std::string_view line);

  const std::string& path() const { return path_; }
  using LineConnections::connectionCount;
  size_t watcherCount() const;
  const ControlLimits& limits() const { return limits_; }

 private:
  struct Client : Connection {
    std::string in;
    bool watching = false;
    bool closing = false;  // answer what is queued, then close
  };
  static Client& client(Connection& c) { return static_cast<Client&>(c); }
  static const Client& client(const Connection& c) { return static_cast<const Client&>(c); }

  void handleAcceptReady();

  // The table's hooks.
  bool serve(Connection& c, uint32_t events) override;
  uint32_t readInterest(const Connection& c) const override;
  bool requestsWaiting(const Connection& c) const override;
  double idleTimeout(const Connection& c) const override;
  int evictionRank(const Connection& c) const override;
  void expire(Connection& c, bool stalled) override;

  std::string path_;
  Handler handler_;
  ControlLimits limits_;
  int fd_ = -1;
};

}  // namespace VornDaemon

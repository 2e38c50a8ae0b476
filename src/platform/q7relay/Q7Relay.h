#pragma once
// The peer state-sync listener: a TCP service through which peer members
// reach the records this switch shares with them. Its requests and answers
// are those of Session (Protocol.h): HELLO, PING and GET, one answer line per
// request line, in order.
//
// The listener answers on the host's event loop thread, beside LLDP, so it
// serves clients it does not control as background work (see EventLoop):
// each turn of the loop gives it at most the loop's background slice, and
// one connection at most a few requests and a few tens of KiB of reading and
// sending per piece of work; the rest of its requests wait for a later turn.
// A large answer leaves in pieces as the peer takes it.
//
// Connections are closed when:
// - a line is longer than 4 KiB;
// - the peer's socket takes none of its waiting answers for 5 s (the
//   connection gets a last "ERR" line if it fits); meanwhile no more than
//   32 KiB of answers wait here: its further requests wait unread;
// - the peer is silent for longer than its idle timeout: the configured one
//   once it has said HELLO, a short one until then;
// - the table is full and a newcomer arrives: the connection nearest its
//   idle or stall timeout makes room, so idle connections cannot lock peers
//   out.
// Sockets are non-blocking; a peer that vanishes, resets, half-closes or
// sends garbage costs only its own connection.
//
// The host provides four process-wide settings: the event loop that serves
// the sockets (none: `listen` reports the listener disabled and opens no
// socket, which is what the virtual-clock simulator wants), a port that
// replaces the configured one (0: an ephemeral port, for tests), the state
// provider that answers GET, and the paths GET may answer.

#include "platform/framework/Values.h"
#include "platform/q7relay/Protocol.h"
#include "platform/scheduler/Scheduler.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace Q7Relay {
namespace ZemUtils {

class Listener;

// Where to listen: an IPv4 or IPv6 address ("0.0.0.0": every IPv4 address)
// and a TCP port.
class ConnectionKey {
 public:
  ConnectionKey() = default;
  static ConnectionKey ipAndPort(std::string ip, int port) { return ConnectionKey(std::move(ip), port); }

  const std::string& ip() const { return ip_; }
  int port() const { return port_; }
  // "0.0.0.0:5546", "[::]:5546".
  std::string stringValue() const;
  bool operator==(const ConnectionKey&) const = default;

 private:
  ConnectionKey(std::string ip, int port) : ip_(std::move(ip)), port_(port) {}
  std::string ip_;
  int port_ = 0;
};

// TLS material. This listener speaks plain TCP only: a configuration that
// carries TLS settings, or requires TLS, is refused with an error.
struct TlsConfig {
  std::string certificateFile;
  std::string privateKeyFile;
  std::string trustedCaFile;
  bool operator==(const TlsConfig&) const = default;
};

struct TcpConfig {
  TcpConfig(ConnectionKey key, std::optional<TlsConfig> tls, double listenDelay, int32_t protocolVersion,
            int32_t listenBacklogShift, int32_t keepaliveProbes, double keepaliveInterval, double keepaliveIdle,
            double idleTimeout, bool tlsRequired)
      : key(std::move(key)),
        tls(std::move(tls)),
        listenDelay(listenDelay),
        protocolVersion(protocolVersion),
        listenBacklogShift(listenBacklogShift),
        keepaliveProbes(keepaliveProbes),
        keepaliveInterval(keepaliveInterval),
        keepaliveIdle(keepaliveIdle),
        idleTimeout(idleTimeout),
        tlsRequired(tlsRequired) {}

  ConnectionKey key;
  std::optional<TlsConfig> tls;
  // Seconds between `listen` and opening the socket; 0 opens it at once.
  double listenDelay;
  // Protocol version spoken; this listener speaks version 1 only.
  int32_t protocolVersion;
  // The listen backlog is 1 << listenBacklogShift pending connections
  // (0 to 16).
  int32_t listenBacklogShift;
  // TCP keepalive on every connection, so that a peer that vanished without
  // a word is found: probes sent before the connection is dropped (0: no
  // keepalive), seconds between probes, and seconds of silence before the
  // first probe. The kernel counts whole seconds; shorter times are rounded
  // up to one second.
  int32_t keepaliveProbes;
  double keepaliveInterval;
  double keepaliveIdle;
  // A connection that has identified itself with HELLO and then sends
  // nothing for this many seconds is closed (0: never). One that has not
  // gets unidentifiedIdleTimeout.
  double idleTimeout;
  // Refuse to listen unless TLS is configured.
  bool tlsRequired;

  // Limits of one listener, not part of the agent's configuration.
  uint32_t maxConnections = 256;
  // A connection that has not said HELLO and sends nothing for this many
  // seconds is closed, whatever idleTimeout says.
  double unidentifiedIdleTimeout = 10.0;
  // A connection whose answers wait and whose socket takes none of them for
  // this many seconds is closed: its peer does not read.
  double stallTimeout = 5.0;

  bool operator==(const TcpConfig&) const = default;
};

enum class ListenState : uint8_t {
  pending = 0,    // waiting for the listen delay to pass
  listening = 1,  // the socket accepts connections
  disabled = 2,   // no event loop: nothing to listen with
  failed = 3,     // the configuration or the socket failed; see error()
  closed = 4,     // closed by its owner
};
std::string stringValue(ListenState s);

// The result of `Api::listen`. Dropping the last reference, or `close()`,
// stops listening and closes the listener's connections. Two listens on the
// same address and (non-ephemeral) port share one socket (a state machine
// rebuilt with new inputs listens again before the old one lets go); the
// socket closes when the last of them closes.
class ListenStatus : public Velto::RefCounted {
 public:
  ~ListenStatus() override;

  ListenState state() const;
  bool listening() const { return state() == ListenState::listening; }
  // The bound port while listening; 0 otherwise.
  int port() const;
  // Why the listener failed; empty otherwise.
  const std::string& error() const { return error_; }
  // Peer connections now open.
  size_t connectionCount() const;
  const TcpConfig& config() const { return config_; }

  void close();

 private:
  friend class Api;
  ListenStatus(TcpConfig config, ListenState state, std::string error, Velto::Ptr<Listener> listener);

  TcpConfig config_;
  ListenState state_;
  std::string error_;
  Velto::Ptr<Listener> listener_;
};

// A switch's settings of its peer listener, kept by its context
// (Oru::SwitchContext::peerListener).
struct ListenerHooks {
  // The loop listeners run on, read by each `listen`; null: listeners are
  // disabled.
  Velto::Ptr<Oru::EventLoop> loop;
  // Replaces the configured port, read by each `listen`; 0 asks for an
  // ephemeral port; none keeps the configured one.
  Zem::Optional<int> portOverride;
  // Read at each GET, in the context active then; empty: every GET answers
  // "ERR no such path".
  StateProvider provider;
  // Read at each GET, before the provider: a path it refuses is answered
  // "ERR path not served". Empty: every path the provider knows.
  PathFilter served;
};

class Api {
 public:
  // Listens with the active switch context's hooks.
  static Velto::Ptr<ListenStatus> listen(const TcpConfig& config);
};

}  // namespace ZemUtils
}  // namespace Q7Relay

template <>
struct fmt::formatter<Q7Relay::ZemUtils::ListenState> : fmt::formatter<std::string_view> {
  template <class Ctx>
  auto format(Q7Relay::ZemUtils::ListenState s, Ctx& ctx) const {
    return fmt::formatter<std::string_view>::format(Q7Relay::ZemUtils::stringValue(s), ctx);
  }
};

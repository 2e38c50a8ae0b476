#pragma once
// The simulated wire of a whole group: every switch's LLDP ports, cabled in
// pairs, in the virtual time of one scheduler. A cable carries each frame to
// the far end after its latency, loses a share of frames chosen by a seeded
// generator (the same seed loses the same frames), and can be cut or moved at
// any time; frames in flight on a cable that is cut are lost. Optionally
// every frame carried is written to a pcap file, time-stamped with the
// virtual time it arrived.
//
// Each switch's engine gets the wire through transportFor(switchName); ports
// are then known to the wire as "switch:interface" ends. A port's link is up
// while a cable is plugged in at its end.

#include "lldp/PcapWriter.h"
#include "lldp/Transport.h"
#include "platform/framework/Entity.h"
#include "platform/scheduler/Scheduler.h"

#include <array>
#include <compare>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace Lldp {

class SimWire : public Velto::RefCounted {
 public:
  // One end of a cable: an interface of a switch.
  struct End {
    std::string switchName;
    Kivo::IntfId intf;

    // "sw1:Ethernet1" (either interface name form); throws
    // std::invalid_argument saying what is wrong with `text`.
    static End parse(std::string_view text);
    // "sw1:Ethernet1".
    std::string stringValue() const;
    bool operator==(const End&) const = default;
    std::strong_ordering operator<=>(const End&) const = default;
  };
  // Every frame looks its ends up: hashed, not ordered, so that the cost
  // does not grow with the number of ports in the group.
  struct EndHash {
    size_t operator()(const End& e) const noexcept {
      return std::hash<std::string>()(e.switchName) * 31 + std::hash<Kivo::IntfId>()(e.intf);
    }
  };

  struct CableSpec {
    Velto::Duration latency = 0.001;  // seconds from send to arrival
    double loss = 0.0;                // share of frames lost, 0..1
  };

  struct Counters {
    uint64_t sent = 0;     // frames handed to the wire by a port
    uint64_t carried = 0;  // frames that reached an open port
    uint64_t lost = 0;     // frames lost to the cable's loss
    uint64_t dropped = 0;  // frames sent on an unplugged end, cut in flight, or arriving at a closed port
  };

  // Runs the delivery of a frame to a port of `switchName`; a host running
  // several switches makes that switch current around `deliver`.
  using DeliveryHook = std::function<void(const std::string& switchName, const std::function<void()>& deliver)>;

  SimWire(Velto::Ptr<Oru::TaskScheduler> clock, uint64_t seed);
  ~SimWire() override;
  SimWire(const SimWire&) = delete;
  SimWire& operator=(const SimWire&) = delete;

  // The transport of the switch named `switchName`.
  Velto::Ptr<Transport> transportFor(const std::string& switchName);

  // Cables `a` to `b`, first unplugging whatever cable either end had.
  // Throws std::invalid_argument for a cable from an end to itself, a
  // negative latency or a loss outside 0..1.
  void connect(const End& a, const End& b, CableSpec spec);
  void connect(const End& a, const End& b) { connect(a, b, CableSpec()); }
  // Unplugs the cable at `end` (both of its ends); nothing when none.
  void cut(const End& end);
  // The far end of the cable at `end`.
  Zem::Optional<End> peer(const End& end) const;
  // Some port is open on `end`.
  bool isOpen(const End& end) const;

  // Records every frame carried from now on; empty stops recording.
  void pcapWriterIs(Velto::Ptr<PcapWriter> writer) { pcap_ = std::move(writer); }
  const Velto::Ptr<PcapWriter>& pcapWriter() const { return pcap_; }
  void deliveryHookIs(DeliveryHook hook) { hook_ = std::move(hook); }
  const Counters& counters() const { return counters_; }

 private:
  class SimPort;
  class SwitchTransport;
  struct Cable;

  void send(const End& from, std::span<const uint8_t> frame);
  void deliverDue(Cable& cable, int direction);
  void deliver(const End& to, const std::vector<uint8_t>& frame);
  // A number in [0, 1) from the seeded generator.
  double nextRandom();

  Velto::Ptr<Oru::TaskScheduler> clock_;
  uint64_t rngState_;
  std::unordered_map<End, Velto::Ptr<Cable>, EndHash> cables_;
  // Ports open on each end, oldest first. Several may be open on one end
  // (an agent restarting while its predecessor still holds the port), and
  // each hears every frame, as packet sockets on one device do.
  std::unordered_map<End, std::vector<SimPort*>, EndHash> ports_;
  Velto::Ptr<PcapWriter> pcap_;
  DeliveryHook hook_;
  Counters counters_;
};

}  // namespace Lldp

template <>
struct fmt::formatter<Lldp::SimWire::End> : fmt::formatter<std::string_view> {
  template <class Ctx>
  auto format(const Lldp::SimWire::End& e, Ctx& ctx) const {
    return fmt::formatter<std::string_view>::format(e.stringValue(), ctx);
  }
};

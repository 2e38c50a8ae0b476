#pragma once
// How LLDP frames leave and reach the engine. The engine opens one port per
// LLDP interface, sends whole Ethernet frames on it and is handed every frame
// received there. Implementations: the simulated wire (SimWire) and, on a
// real switch, raw packet sockets.
//
// Which transport an engine uses is the host's choice: the host puts it in
// the switch's context (Oru::SwitchContext::transportIs), beside the
// scheduler, and the engine takes both from the active context when it is
// made and keeps them for its life.

#include "platform/framework/Ptr.h"
#include "platform/framework/Values.h"
#include "platform/scheduler/SwitchContext.h"

#include <cstdint>
#include <functional>
#include <span>
#include <stdexcept>
#include <string>

namespace Lldp {

// A port that cannot be opened; the message names the interface and why.
class TransportError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class Transport : public Velto::RefCounted {
 public:
  // Called on the activity thread with each received frame (an Ethernet
  // frame without the frame check sequence, valid only during the call), as
  // it was on the wire: VLAN tag and all.
  using Receiver = std::function<void(std::span<const uint8_t> frame)>;

  // The frame I/O of one interface, open while this object lives.
  class Port : public Velto::RefCounted {
   public:
    Port(Kivo::IntfId intf, std::string deviceName) : intf_(intf), deviceName_(std::move(deviceName)) {}
    const Kivo::IntfId& intf() const { return intf_; }
    // Kernel device the port runs on.
    const std::string& deviceName() const { return deviceName_; }
    // Sends one Ethernet frame (without the frame check sequence). A frame
    // that cannot go out is lost, as on a wire; sending never fails loudly.
    virtual void send(std::span<const uint8_t> frame) = 0;
    // Whether a frame sent now can reach a neighbour: false while the link
    // is down (the device has no carrier, the cable is cut or unplugged).
    virtual bool linkUp() const { return true; }

    // Frames lost on the way in and out since the port was opened.
    struct Statistics {
      uint64_t overruns = 0;       // dropped for want of room before the engine could read them
      uint64_t receiveErrors = 0;  // read errors, frames too long to read whole
      uint64_t transmitDrops = 0;  // handed to send() but refused by the device or its queue
      bool operator==(const Statistics&) const = default;
    };
    virtual Statistics statistics() const { return {}; }

   private:
    Kivo::IntfId intf_;
    std::string deviceName_;
  };

  // Opens the frame I/O of `intf` (kernel device `deviceName`); `receiver`
  // gets every frame received there until the returned port is released.
  // Throws TransportError when the port cannot be opened.
  virtual Velto::Ptr<Port> open(const Kivo::IntfId& intf, const std::string& deviceName, Receiver receiver) = 0;
};

// The active switch context's transport, which engines made now use; empty
// (also with no active context): engines have no frame I/O (they keep their
// records but send and hear nothing).
inline const Velto::Ptr<Transport>& currentTransport() {
  static const Velto::Ptr<Transport> none;
  const Oru::SwitchContext* context = Oru::SwitchContext::active();
  return context != nullptr ? context->transport() : none;
}

}  // namespace Lldp

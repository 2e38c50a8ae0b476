#pragma once
// LLDP frame I/O on the kernel's network devices: one packet socket per open
// port, bound to the port's device, hearing only LLDP frames, read on the
// event loop of the daemon.
//
// A port whose device goes administratively down keeps its socket (the kernel
// resumes delivery when the device comes back up). A port whose device is
// removed goes inert: it stops reading, drops what it is asked to send and
// waits to be released; the engine closes it when the kernel interface table
// loses the device and opens a fresh one when the device returns.

#include "lldp/Transport.h"
#include "platform/scheduler/Scheduler.h"

#include <cstdint>
#include <string>
#include <vector>

namespace Lldp {

class RawTransport : public Transport {
 public:
  // What one port has done since it was opened.
  struct Counters {
    uint64_t framesSent = 0;      // frames the kernel accepted for sending
    uint64_t sendErrors = 0;      // frames the kernel refused (device down or gone, queue full)
    uint64_t framesReceived = 0;  // frames handed to the receiver
    uint64_t receiveErrors = 0;   // read errors and frames too long for the buffer
    bool operator==(const Counters&) const = default;
  };

  class RawPort : public Port {
   public:
    ~RawPort() override;
    RawPort(const RawPort&) = delete;
    RawPort& operator=(const RawPort&) = delete;

    // Pads frames shorter than the Ethernet minimum (60 bytes without the
    // frame check sequence) with zeros.
    void send(std::span<const uint8_t> frame) override;

    const Counters& counters() const { return counters_; }
    // False once the device was removed under the port.
    bool active() const { return fd_ >= 0; }
    // Kernel index of the device the port was opened on.
    int ifIndex() const { return ifIndex_; }

   private:
    friend class RawTransport;
    RawPort(Velto::Ptr<Oru::EventLoop> loop, const Kivo::IntfId& intf, const std::string& deviceName, int fd,
            int ifIndex, Receiver receiver);
    void handleReadable();
    // Handles a socket error that may mean the device is gone; true when the
    // port went inert.
    bool maybeDeviceGone(int err);
    void becomeInert();

    Velto::Ptr<Oru::EventLoop> loop_;
    int fd_;
    int ifIndex_;
    Receiver receiver_;
    Counters counters_;
    std::vector<uint8_t> buffer_;
  };

  explicit RawTransport(Velto::Ptr<Oru::EventLoop> loop);

  // Returns a RawPort. Throws TransportError naming the interface, the
  // device and the system error when the device does not exist or the socket
  // cannot be made (for instance without the right to open packet sockets).
  Velto::Ptr<Port> open(const Kivo::IntfId& intf, const std::string& deviceName, Receiver receiver) override;

 private:
  Velto::Ptr<Oru::EventLoop> loop_;
};

}  // namespace Lldp

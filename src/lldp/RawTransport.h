#pragma once
// LLDP frame I/O on the kernel's network devices: one packet socket per open
// port, bound to the port's device, read on the event loop of the daemon.
//
// A filter in the kernel keeps every frame but LLDP frames to the
// nearest-bridge address off the socket. The kernel fills a ring of blocks
// shared with the port and wakes the port only when a block is full or has
// waited a few milliseconds, so under load one wakeup reads many frames.
//
// The kernel takes the VLAN tag off a tagged frame before a packet socket
// sees it and hands it over beside the frame; the port puts it back, so the
// receiver gets the frame as it was on the wire (and the engine, which takes
// only untagged LLDPDUs, can tell). Frames the kernel dropped because the
// ring was full are counted from the socket's statistics.
//
// Frames go out through one socket of the transport, not the port's own: the
// frames every port sends in one turn of the event loop (a switch whose ports
// transmit at one instant) reach the kernel in one sendmmsg call at the end
// of the turn. Frames a device refuses are counted on their port.
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
  class SendQueue;

  // What one port has done since it was opened.
  struct Counters {
    uint64_t framesSent = 0;      // frames the kernel accepted for sending
    uint64_t sendErrors = 0;      // frames the kernel refused (device down or gone, queue full)
    uint64_t framesReceived = 0;  // frames handed to the receiver
    uint64_t receiveErrors = 0;   // read errors and frames too long for the buffer
    uint64_t overruns = 0;        // frames the kernel dropped because the socket was full
    uint64_t framesTagged = 0;    // frames handed over with their VLAN tag put back
    bool operator==(const Counters&) const = default;
  };

  class RawPort : public Port {
   public:
    ~RawPort() override;
    RawPort(const RawPort&) = delete;
    RawPort& operator=(const RawPort&) = delete;

    // Queues the frame for the end of the loop's turn (outside a turn it
    // goes at once). Pads frames shorter than the Ethernet minimum (60 bytes
    // without the frame check sequence) with zeros.
    void send(std::span<const uint8_t> frame) override;

    const Counters& counters() const { return counters_; }
    // Up while the device is up and has a carrier.
    bool linkUp() const override;
    Statistics statistics() const override {
      return {counters_.overruns, counters_.receiveErrors, counters_.sendErrors};
    }
    // False once the device was removed under the port.
    bool active() const { return fd_ >= 0; }
    // Kernel index of the device the port was opened on.
    int ifIndex() const { return ifIndex_; }

   private:
    friend class RawTransport;
    friend class SendQueue;
    RawPort(Velto::Ptr<Oru::EventLoop> loop, Velto::Ptr<SendQueue> sendQueue, const Kivo::IntfId& intf,
            const std::string& deviceName, int fd, int ifIndex, void* ring, Receiver receiver);
    // What became of a frame of this port's that the send queue handed over.
    void sent() { ++counters_.framesSent; }
    void notSent(int err);
    void handleReadable(uint32_t events);
    // Hands every frame of one block the kernel has filled to the receiver,
    // then the block back to the kernel; false when the port was released
    // or went inert on the way.
    bool readBlock(uint8_t* block);
    void deliver(std::span<const uint8_t> frame);
    void unmapRing();
    // Adds what the kernel dropped since the last call.
    void readKernelDrops();
    // Handles a socket error that may mean the device is gone; true when the
    // port went inert.
    bool maybeDeviceGone(int err);
    void becomeInert();

    Velto::Ptr<Oru::EventLoop> loop_;
    Velto::Ptr<SendQueue> sendQueue_;
    int fd_;
    int ifIndex_;
    Receiver receiver_;
    Counters counters_;
    // The receive ring shared with the kernel, and the block read next.
    uint8_t* ring_;
    unsigned nextBlock_ = 0;
    // A received frame with its VLAN tag put back.
    std::vector<uint8_t> tagged_;
  };

  explicit RawTransport(Velto::Ptr<Oru::EventLoop> loop);
  ~RawTransport() override;

  // Returns a RawPort. Throws TransportError naming the interface, the
  // device and the system error when the device does not exist or the socket
  // cannot be made (for instance without the right to open packet sockets).
  Velto::Ptr<Port> open(const Kivo::IntfId& intf, const std::string& deviceName, Receiver receiver) override;

  // sendmmsg calls made, and the frames they carried, since the transport
  // was made.
  uint64_t sendBatches() const;
  uint64_t framesBatched() const;

 private:
  Velto::Ptr<Oru::EventLoop> loop_;
  // Made with the first port: a transport that opens none needs no socket.
  Velto::Ptr<SendQueue> sendQueue_;
};

}  // namespace Lldp

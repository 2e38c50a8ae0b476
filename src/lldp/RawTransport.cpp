#include "lldp/RawTransport.h"

#include "platform/framework/Assert.h"
#include "platform/framework/Fd.h"
#include "platform/trace/Ringlog.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

#include <arpa/inet.h>
#include <linux/filter.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {
const Ringlog::Handle traceHandle{"Lldp::RawTransport"};

constexpr uint16_t kEtherTypeLldp = 0x88cc;
// The nearest-bridge group address every LLDP agent listens on.
constexpr std::array<uint8_t, 6> kLldpMulticast{0x01, 0x80, 0xc2, 0x00, 0x00, 0x0e};
// The shortest Ethernet frame without its frame check sequence.
constexpr size_t kMinFrameSize = 60;
// Room for a jumbo frame; LLDP frames are far shorter.
constexpr size_t kReceiveBufferSize = 9216;
// Frames read per wakeup before other descriptors get their turn; the socket
// stays readable, so the rest are read on the next round.
constexpr int kMaxFramesPerWakeup = 256;

// Accepts whole frames of the LLDP EtherType and nothing else, so the socket
// never queues frames the engine would only throw away. The filter sees a
// tagged frame without its tag, so it takes tagged LLDP frames too.
const std::array<sock_filter, 4> kLldpFilter{{
    BPF_STMT(BPF_LD | BPF_H | BPF_ABS, 12),
    BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kEtherTypeLldp, 0, 1),
    BPF_STMT(BPF_RET | BPF_K, 0xffffffff),
    BPF_STMT(BPF_RET | BPF_K, 0),
}};


// Errors that may mean the device went away under the socket.
bool mayBeDeviceGone(int err) { return err == ENETDOWN || err == ENODEV || err == ENXIO; }

bool deviceExists(int ifIndex) {
  char name[IF_NAMESIZE];
  if (if_indextoname(static_cast<unsigned>(ifIndex), name) != nullptr) return true;
  // Only the kernel's "no such device" answer means gone; anything else
  // (out of descriptors, say) is no evidence either way.
  return errno != ENXIO && errno != ENODEV;
}
}  // namespace

namespace Lldp {

RawTransport::RawTransport(Velto::Ptr<Oru::EventLoop> loop) : loop_(std::move(loop)) { ZEM_ASSERT(loop_); }

Velto::Ptr<Transport::Port> RawTransport::open(const Kivo::IntfId& intf, const std::string& deviceName,
                                               Receiver receiver) {
  auto fail = [&](const char* step, int err) {
    throw TransportError(fmt::format("cannot open LLDP port {} on device '{}': {}: {}", intf.stringValue(),
                                     deviceName, step, std::strerror(err)));
  };
  if (deviceName.empty() || deviceName.size() >= IF_NAMESIZE) fail("device name", ENODEV);
  const unsigned ifIndex = if_nametoindex(deviceName.c_str());
  if (ifIndex == 0) fail("device", errno);

  // Protocol 0 hears nothing until the bind below names the device, so
  // frames of other devices never slip in before the bind. The bind takes
  // every protocol and the filter keeps LLDP: a socket bound to the LLDP
  // EtherType alone is handed tagged frames only after the kernel has
  // dropped their tag, and could not tell them from untagged ones.
  Zem::Fd fd(::socket(AF_PACKET, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (fd.get() < 0) fail("packet socket", errno);

  sock_fprog prog{static_cast<unsigned short>(kLldpFilter.size()), const_cast<sock_filter*>(kLldpFilter.data())};
  if (setsockopt(fd.get(), SOL_SOCKET, SO_ATTACH_FILTER, &prog, sizeof prog) < 0) fail("frame filter", errno);

  // The VLAN tag the kernel takes off a received frame comes beside it.
  const int on = 1;
  if (setsockopt(fd.get(), SOL_PACKET, PACKET_AUXDATA, &on, sizeof on) < 0) fail("VLAN tag data", errno);

  sockaddr_ll addr{};
  addr.sll_family = AF_PACKET;
  addr.sll_protocol = htons(ETH_P_ALL);
  addr.sll_ifindex = static_cast<int>(ifIndex);
  if (bind(fd.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) < 0) fail("bind", errno);

  packet_mreq mreq{};
  mreq.mr_ifindex = static_cast<int>(ifIndex);
  mreq.mr_type = PACKET_MR_MULTICAST;
  mreq.mr_alen = kLldpMulticast.size();
  std::copy(kLldpMulticast.begin(), kLldpMulticast.end(), mreq.mr_address);
  if (setsockopt(fd.get(), SOL_PACKET, PACKET_ADD_MEMBERSHIP, &mreq, sizeof mreq) < 0) fail("multicast membership", errno);

  Velto::Ptr<RawPort> port(new RawPort(loop_, intf, deviceName, fd.release(), static_cast<int>(ifIndex),
                                       std::move(receiver)));
  TRACE4("open {} on {} ifIndex {} fd {}", intf, deviceName, ifIndex, port->fd_);
  return port;
}

// ---------------------------------------------------------------------------

RawTransport::RawPort::RawPort(Velto::Ptr<Oru::EventLoop> loop, const Kivo::IntfId& intf,
                               const std::string& deviceName, int fd, int ifIndex, Receiver receiver)
    : Port(intf, deviceName), loop_(std::move(loop)), fd_(fd), ifIndex_(ifIndex), receiver_(std::move(receiver)),
      buffer_(kReceiveBufferSize) {
  // The loop outlives no port: the port unwatches in its destructor, so the
  // handler never runs on a port that is gone.
  loop_->watchFd(fd_, EPOLLIN, [this](uint32_t) { handleReadable(); });
}

RawTransport::RawPort::~RawPort() {
  if (fd_ < 0) return;
  TRACE4("close {} on {} fd {}", intf(), deviceName(), fd_);
  loop_->unwatchFd(fd_);
  ::close(fd_);
}

void RawTransport::RawPort::send(std::span<const uint8_t> frame) {
  if (fd_ < 0) {
    ++counters_.sendErrors;
    TRACE5("send on {}: device {} is gone, frame lost", intf(), deviceName());
    return;
  }
  std::array<uint8_t, kMinFrameSize> padded{};
  if (frame.size() < kMinFrameSize) {
    std::copy(frame.begin(), frame.end(), padded.begin());
    frame = padded;
  }
  sockaddr_ll to{};
  to.sll_family = AF_PACKET;
  to.sll_protocol = htons(kEtherTypeLldp);
  to.sll_ifindex = ifIndex_;
  if (sendto(fd_, frame.data(), frame.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) < 0) {
    const int err = errno;
    ++counters_.sendErrors;
    TRACE5("send on {} device {}: {}, frame lost", intf(), deviceName(), std::strerror(err));
    maybeDeviceGone(err);
    return;
  }
  ++counters_.framesSent;
}

void RawTransport::RawPort::handleReadable() {
  // The receiver may release this port; it lives until this wakeup ends.
  Velto::Ptr<RawPort> self(this);
  for (int i = 0; i < kMaxFramesPerWakeup; ++i) {
    // Released while handling an earlier frame: the engine wants no more.
    if (fd_ < 0 || refCount() == 1) return;
    sockaddr_ll from{};
    iovec iov{buffer_.data(), buffer_.size()};
    alignas(cmsghdr) std::array<char, CMSG_SPACE(sizeof(tpacket_auxdata))> control{};
    msghdr msg{};
    msg.msg_name = &from;
    msg.msg_namelen = sizeof from;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control.data();
    msg.msg_controllen = control.size();
    const ssize_t n = recvmsg(fd_, &msg, MSG_TRUNC);
    if (n < 0) {
      const int err = errno;
      if (err == EINTR) continue;
      if (err == EAGAIN || err == EWOULDBLOCK) break;
      if (maybeDeviceGone(err)) return;
      if (err == ENETDOWN) {
        // The device went down; the kernel resumes delivery when it is up.
        TRACE5("{} device {} is down", intf(), deviceName());
        continue;
      }
      ++counters_.receiveErrors;
      TRACE2("receive on {} device {}: {}", intf(), deviceName(), std::strerror(err));
      break;
    }
    // Our own frames, seen on their way out.
    if (from.sll_pkttype == PACKET_OUTGOING) continue;
    if (static_cast<size_t>(n) > buffer_.size()) {
      ++counters_.receiveErrors;
      TRACE2("receive on {} device {}: {}-byte frame does not fit, dropped", intf(), deviceName(), n);
      continue;
    }
    std::span<const uint8_t> frame(buffer_.data(), static_cast<size_t>(n));
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
      if (c->cmsg_level != SOL_PACKET || c->cmsg_type != PACKET_AUXDATA) continue;
      tpacket_auxdata aux{};
      std::memcpy(&aux, CMSG_DATA(c), sizeof aux);
      if (!(aux.tp_status & TP_STATUS_VLAN_VALID) || frame.size() < 12) continue;
      const uint16_t tpid = (aux.tp_status & TP_STATUS_VLAN_TPID_VALID) ? aux.tp_vlan_tpid : 0x8100;
      tagged_.assign(frame.begin(), frame.begin() + 12);
      for (uint16_t v : {tpid, aux.tp_vlan_tci}) {
        tagged_.push_back(static_cast<uint8_t>(v >> 8));
        tagged_.push_back(static_cast<uint8_t>(v));
      }
      tagged_.insert(tagged_.end(), frame.begin() + 12, frame.end());
      frame = tagged_;
      ++counters_.framesTagged;
    }
    ++counters_.framesReceived;
    if (receiver_) receiver_(frame);
  }
  readKernelDrops();
}

void RawTransport::RawPort::readKernelDrops() {
  if (fd_ < 0) return;
  // Reading the statistics resets them, so each read counts what is new.
  tpacket_stats stats{};
  socklen_t len = sizeof stats;
  if (getsockopt(fd_, SOL_PACKET, PACKET_STATISTICS, &stats, &len) == 0 && stats.tp_drops > 0) {
    counters_.overruns += stats.tp_drops;
    TRACE2("receive on {} device {}: {} frames dropped by the kernel, the socket was full", intf(), deviceName(),
           stats.tp_drops);
  }
}

bool RawTransport::RawPort::linkUp() const {
  if (fd_ < 0) return false;
  ifreq ifr{};
  std::strncpy(ifr.ifr_name, deviceName().c_str(), IF_NAMESIZE - 1);
  // No answer is no evidence: sending decides then.
  if (ioctl(fd_, SIOCGIFFLAGS, &ifr) < 0) return true;
  return (ifr.ifr_flags & IFF_UP) && (ifr.ifr_flags & IFF_RUNNING);
}

bool RawTransport::RawPort::maybeDeviceGone(int err) {
  if (fd_ < 0 || !mayBeDeviceGone(err) || deviceExists(ifIndex_)) return false;
  becomeInert();
  return true;
}

void RawTransport::RawPort::becomeInert() {
  TRACE2("{} device {} ifIndex {} is gone: port inert until released", intf(), deviceName(), ifIndex_);
  loop_->unwatchFd(fd_);
  ::close(fd_);
  fd_ = -1;
}

}  // namespace Lldp

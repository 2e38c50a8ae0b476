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
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

namespace {
const Ringlog::Handle traceHandle{"Lldp::RawTransport"};

constexpr uint16_t kEtherTypeLldp = 0x88cc;
// The nearest-bridge group address every LLDP agent listens on.
constexpr std::array<uint8_t, 6> kLldpMulticast{0x01, 0x80, 0xc2, 0x00, 0x00, 0x0e};
// The shortest Ethernet frame without its frame check sequence.
constexpr size_t kMinFrameSize = 60;
constexpr uint16_t kEtherTypeVlan = 0x8100;

// The receive ring: blocks the kernel fills with frames and hands over whole.
// A block goes to the port when it is full or has waited kBlockWaitMs, so a
// port under load wakes once per block, and a lone frame is late by at most
// that wait. Eight blocks hold some 400 LLDP frames of a usual size.
constexpr unsigned kBlockSize = 16384;
constexpr unsigned kBlockCount = 8;
constexpr unsigned kBlockWaitMs = 4;
// The ring's frame size only bounds one frame's share of a block here.
constexpr unsigned kRingFrameSize = 2048;

// Takes whole frames to the nearest-bridge address with the LLDP EtherType,
// untagged or behind one 802.1Q tag the device left in the frame, and
// nothing else, so the ring never holds frames the engine would only throw
// away. A tag the kernel took off is not in what the filter sees.
const std::array<sock_filter, 11> kLldpFilter{{
    BPF_STMT(BPF_LD | BPF_W | BPF_ABS, 0),  // destination address, first 4 bytes
    BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 0x0180c200, 0, 8),
    BPF_STMT(BPF_LD | BPF_H | BPF_ABS, 4),  // ... and the last 2
    BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 0x000e, 0, 6),
    BPF_STMT(BPF_LD | BPF_H | BPF_ABS, 12),  // EtherType
    BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kEtherTypeLldp, 3, 0),
    BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kEtherTypeVlan, 0, 3),
    BPF_STMT(BPF_LD | BPF_H | BPF_ABS, 16),  // EtherType behind the tag
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

// The frames the ports of one transport sent during the current turn of the
// loop, kept in one buffer and handed to the kernel in sendmmsg calls at the
// turn's end. The socket is unbound and of protocol 0, so it hears nothing;
// each frame names its device.
class RawTransport::SendQueue : public Velto::RefCounted {
 public:
  SendQueue(Velto::Ptr<Oru::EventLoop> loop, int fd) : loop_(std::move(loop)), fd_(fd) {}
  ~SendQueue() override {
    flush();
    ::close(fd_);
  }

  void push(RawPort* port, int ifIndex, std::span<const uint8_t> frame) {
    const bool first = pending_.empty();
    pending_.push_back(Pending{port, ifIndex, bytes_.size(), frame.size()});
    bytes_.insert(bytes_.end(), frame.begin(), frame.end());
    if (first) loop_->atTurnEnd([self = Velto::Ptr<SendQueue>(this)] { self->flush(); });
  }

  // A port released with frames still queued: they go, uncounted (the last
  // may be the shutdown frame that tells the neighbour it is leaving).
  void forget(const RawPort* port) {
    for (auto& p : pending_) {
      if (p.port == port) p.port = nullptr;
    }
  }

  void flush();

  uint64_t batches = 0;
  uint64_t framesBatched = 0;

 private:
  struct Pending {
    RawPort* port;
    int ifIndex;
    size_t offset;
    size_t size;
  };
  // The kernel takes at most this many messages per call.
  static constexpr size_t kMaxBatch = 1024;

  Velto::Ptr<Oru::EventLoop> loop_;
  int fd_;
  std::vector<Pending> pending_;
  std::vector<uint8_t> bytes_;
  std::vector<sockaddr_ll> to_;
  std::vector<iovec> iov_;
  std::vector<mmsghdr> msgs_;
};

void RawTransport::SendQueue::flush() {
  if (pending_.empty()) return;
  const size_t n = pending_.size();
  to_.assign(n, sockaddr_ll{});
  iov_.resize(n);
  msgs_.assign(n, mmsghdr{});
  for (size_t i = 0; i < n; ++i) {
    to_[i].sll_family = AF_PACKET;
    to_[i].sll_protocol = htons(kEtherTypeLldp);
    to_[i].sll_ifindex = pending_[i].ifIndex;
    iov_[i] = iovec{bytes_.data() + pending_[i].offset, pending_[i].size};
    msgs_[i].msg_hdr.msg_name = &to_[i];
    msgs_[i].msg_hdr.msg_namelen = sizeof(sockaddr_ll);
    msgs_[i].msg_hdr.msg_iov = &iov_[i];
    msgs_[i].msg_hdr.msg_iovlen = 1;
  }
  // A refused frame ends a call; it is counted lost and the rest go on.
  // Taken out of the queue first: counting a loss may make a port inert,
  // and nothing a port does may re-enter a flush under way.
  std::vector<Pending> pending;
  pending.swap(pending_);
  for (size_t at = 0; at < n;) {
    const int r = sendmmsg(fd_, &msgs_[at], static_cast<unsigned>(std::min(n - at, kMaxBatch)), 0);
    ++batches;
    if (r < 0) {
      const int err = errno;
      if (err == EINTR) continue;
      if (RawPort* port = pending[at].port) port->notSent(err);
      ++at;
      continue;
    }
    for (int i = 0; i < r; ++i, ++at) {
      ++framesBatched;
      if (RawPort* port = pending[at].port) port->sent();
    }
  }
  bytes_.clear();
  // The queue keeps its room for the next turn's frames.
  pending.clear();
  if (pending_.empty()) pending_.swap(pending);
}

RawTransport::RawTransport(Velto::Ptr<Oru::EventLoop> loop) : loop_(std::move(loop)) { ZEM_ASSERT(loop_); }

RawTransport::~RawTransport() = default;

uint64_t RawTransport::sendBatches() const { return sendQueue_ ? sendQueue_->batches : 0; }
uint64_t RawTransport::framesBatched() const { return sendQueue_ ? sendQueue_->framesBatched : 0; }

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

  // Our own frames on their way out stay off the ring. Older kernels lack
  // the option; the port then skips them as it reads.
  const int on = 1;
  (void)setsockopt(fd.get(), SOL_PACKET, PACKET_IGNORE_OUTGOING, &on, sizeof on);

  // The ring's frame headers carry the VLAN tag the kernel took off.
  const int version = TPACKET_V3;
  if (setsockopt(fd.get(), SOL_PACKET, PACKET_VERSION, &version, sizeof version) < 0) fail("ring version", errno);
  tpacket_req3 req{};
  req.tp_block_size = kBlockSize;
  req.tp_block_nr = kBlockCount;
  req.tp_frame_size = kRingFrameSize;
  req.tp_frame_nr = kBlockSize / kRingFrameSize * kBlockCount;
  req.tp_retire_blk_tov = kBlockWaitMs;
  if (setsockopt(fd.get(), SOL_PACKET, PACKET_RX_RING, &req, sizeof req) < 0) fail("receive ring", errno);
  void* ring = mmap(nullptr, size_t{kBlockSize} * kBlockCount, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_LOCKED,
                    fd.get(), 0);
  if (ring == MAP_FAILED) {
    // Locking the ring in memory is a preference, not a need.
    ring = mmap(nullptr, size_t{kBlockSize} * kBlockCount, PROT_READ | PROT_WRITE, MAP_SHARED, fd.get(), 0);
  }
  if (ring == MAP_FAILED) fail("receive ring mapping", errno);
  struct RingGuard {
    void* ring;
    ~RingGuard() {
      if (ring) munmap(ring, size_t{kBlockSize} * kBlockCount);
    }
  } guard{ring};

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

  if (!sendQueue_) {
    Zem::Fd sendFd(::socket(AF_PACKET, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (sendFd.get() < 0) fail("send socket", errno);
    sendQueue_ = Velto::make<SendQueue>(loop_, sendFd.release());
  }

  guard.ring = nullptr;
  Velto::Ptr<RawPort> port(new RawPort(loop_, sendQueue_, intf, deviceName, fd.release(), static_cast<int>(ifIndex),
                                       ring, std::move(receiver)));
  TRACE4("open {} on {} ifIndex {} fd {}", intf, deviceName, ifIndex, port->fd_);
  return port;
}

// ---------------------------------------------------------------------------

RawTransport::RawPort::RawPort(Velto::Ptr<Oru::EventLoop> loop, Velto::Ptr<SendQueue> sendQueue,
                               const Kivo::IntfId& intf, const std::string& deviceName, int fd, int ifIndex,
                               void* ring, Receiver receiver)
    : Port(intf, deviceName),
      loop_(std::move(loop)),
      sendQueue_(std::move(sendQueue)),
      fd_(fd),
      ifIndex_(ifIndex),
      receiver_(std::move(receiver)),
      ring_(static_cast<uint8_t*>(ring)) {
  // The loop outlives no port: the port unwatches in its destructor, so the
  // handler never runs on a port that is gone.
  loop_->watchFd(fd_, EPOLLIN, [this](uint32_t events) { handleReadable(events); });
}

RawTransport::RawPort::~RawPort() {
  sendQueue_->forget(this);
  if (fd_ < 0) return;
  TRACE4("close {} on {} fd {}", intf(), deviceName(), fd_);
  loop_->unwatchFd(fd_);
  unmapRing();
  ::close(fd_);
}

void RawTransport::RawPort::unmapRing() {
  if (ring_) munmap(ring_, size_t{kBlockSize} * kBlockCount);
  ring_ = nullptr;
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
  sendQueue_->push(this, ifIndex_, frame);
}

void RawTransport::RawPort::notSent(int err) {
  ++counters_.sendErrors;
  TRACE5("send on {} device {}: {}, frame lost", intf(), deviceName(), std::strerror(err));
  maybeDeviceGone(err);
}

void RawTransport::RawPort::handleReadable(uint32_t events) {
  // The receiver may release this port; it lives until this wakeup ends.
  Velto::Ptr<RawPort> self(this);
  if (events & EPOLLERR) {
    // The device went down or away; reading the error clears it.
    int err = 0;
    socklen_t len = sizeof err;
    if (getsockopt(fd_, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err != 0) {
      if (maybeDeviceGone(err)) return;
      if (err == ENETDOWN) {
        // The kernel resumes delivery when the device is up again.
        TRACE5("{} device {} is down", intf(), deviceName());
      } else {
        ++counters_.receiveErrors;
        TRACE2("receive on {} device {}: {}", intf(), deviceName(), std::strerror(err));
      }
    }
  }
  // At most one round of the ring per wakeup, so other descriptors get
  // their turn; a block still held by us keeps the socket readable.
  for (unsigned i = 0; i < kBlockCount; ++i) {
    auto* block = ring_ + size_t{nextBlock_} * kBlockSize;
    const auto* desc = reinterpret_cast<const tpacket_block_desc*>(block);
    if (!(__atomic_load_n(&desc->hdr.bh1.block_status, __ATOMIC_ACQUIRE) & TP_STATUS_USER)) break;
    if (!readBlock(block)) return;
  }
  readKernelDrops();
}

bool RawTransport::RawPort::readBlock(uint8_t* block) {
  auto* desc = reinterpret_cast<tpacket_block_desc*>(block);
  const uint32_t count = desc->hdr.bh1.num_pkts;
  size_t offset = desc->hdr.bh1.offset_to_first_pkt;
  for (uint32_t n = 0; n < count; ++n) {
    // Released, or gone inert, while handling an earlier frame: the ring may
    // be gone and the engine wants no more.
    if (fd_ < 0 || refCount() == 1) return false;
    if (offset + sizeof(tpacket3_hdr) > kBlockSize) break;
    const auto* h = reinterpret_cast<const tpacket3_hdr*>(block + offset);
    const auto* from = reinterpret_cast<const sockaddr_ll*>(block + offset + TPACKET_ALIGN(sizeof(tpacket3_hdr)));
    const size_t next = h->tp_next_offset;
    if (h->tp_mac + size_t{h->tp_snaplen} > kBlockSize - offset) break;
    // Our own frames, seen on their way out where the kernel cannot skip
    // them for us.
    if (from->sll_pkttype != PACKET_OUTGOING) {
      if (h->tp_snaplen < h->tp_len) {
        ++counters_.receiveErrors;
        TRACE2("receive on {} device {}: {}-byte frame does not fit, dropped", intf(), deviceName(), h->tp_len);
      } else {
        std::span<const uint8_t> frame(block + offset + h->tp_mac, h->tp_snaplen);
        if ((h->tp_status & TP_STATUS_VLAN_VALID) && frame.size() >= 12) {
          const uint16_t tpid = (h->tp_status & TP_STATUS_VLAN_TPID_VALID) ? h->hv1.tp_vlan_tpid : kEtherTypeVlan;
          tagged_.assign(frame.begin(), frame.begin() + 12);
          for (uint16_t v : {tpid, static_cast<uint16_t>(h->hv1.tp_vlan_tci)}) {
            tagged_.push_back(static_cast<uint8_t>(v >> 8));
            tagged_.push_back(static_cast<uint8_t>(v));
          }
          tagged_.insert(tagged_.end(), frame.begin() + 12, frame.end());
          frame = tagged_;
          ++counters_.framesTagged;
        }
        deliver(frame);
      }
    }
    if (next == 0) break;
    offset += next;
  }
  if (fd_ < 0 || refCount() == 1) return false;
  // Back to the kernel, and on to the next block.
  __atomic_store_n(&desc->hdr.bh1.block_status, TP_STATUS_KERNEL, __ATOMIC_RELEASE);
  nextBlock_ = (nextBlock_ + 1) % kBlockCount;
  return true;
}

void RawTransport::RawPort::deliver(std::span<const uint8_t> frame) {
  ++counters_.framesReceived;
  if (receiver_) receiver_(frame);
}

void RawTransport::RawPort::readKernelDrops() {
  if (fd_ < 0) return;
  // Reading the statistics resets them, so each read counts what is new.
  tpacket_stats_v3 stats{};
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
  unmapRing();
  ::close(fd_);
  fd_ = -1;
}

}  // namespace Lldp

#include "platform/kernel/NetlinkInterfaceSource.h"

#include "platform/framework/Assert.h"
#include "platform/framework/Fd.h"
#include "platform/trace/Ringlog.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <system_error>
#include <unordered_set>

#include <libmnl/libmnl.h>
#include <linux/if.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

namespace {
const Ringlog::Handle traceHandle{"KernelNetInfo::NetlinkInterfaceSource"};

// A dump the kernel keeps reporting as changed under it is read again this
// many times before the source gives up.
constexpr int kDumpAttempts = 5;
// How long a failed re-read waits before the next try.
constexpr Velto::Duration kResyncRetryDelay = 1.0;
// A dump the kernel has not answered in this long is a failure, not a wait.
constexpr time_t kDumpTimeoutSeconds = 10;
// The kernel reports a failure as a negated errno value, and errno values
// stay below 4096; a lower code is no error code at all.
constexpr int kLowestErrorCode = -4095;

// Operationally up: administratively up and running. Where the driver reports
// an operational state other than "unknown" that state decides; loopback and
// drivers without one leave it to the running flag.
bool linkIsUp(unsigned flags, std::optional<uint8_t> operState) {
  if (!(flags & IFF_UP)) return false;
  if (operState && *operState != IF_OPER_UNKNOWN) return *operState == IF_OPER_UP;
  return (flags & IFF_RUNNING) != 0;
}

// What the attributes of one link message say. The walk stops at the first
// attribute that is malformed for its type, with `fault` saying why.
struct LinkAttrs {
  std::string deviceName;
  Kivo::EthAddr hwAddr;
  std::optional<uint8_t> operState;
  std::string fault;
  // Where the walk over the attributes got to: the end of the last
  // attribute it accepted (padding included).
  uintptr_t walked = 0;
};

// The validating callback of the attribute walk: each attribute this source
// reads is checked against its type before it is read; others are skipped.
int readLinkAttr(const nlattr* attr, void* data) {
  auto& link = *static_cast<LinkAttrs*>(data);
  const uint16_t size = mnl_attr_get_payload_len(attr);
  const auto* payload = static_cast<const uint8_t*>(mnl_attr_get_payload(attr));
  switch (mnl_attr_get_type(attr)) {
    case IFLA_IFNAME:
      if (mnl_attr_validate(attr, MNL_TYPE_STRING) < 0) {
        link.fault = fmt::format("device name of {} bytes", size);
        return MNL_CB_ERROR;
      }
      // The kernel ends the name with a NUL; what follows it is not the name.
      link.deviceName.assign(payload, std::find(payload, payload + size, uint8_t{0}));
      break;
    case IFLA_ADDRESS:
      // Only Ethernet-like links have a 6-byte address; others read as none.
      if (size == 6) {
        std::array<uint8_t, 6> mac;
        std::copy(payload, payload + size, mac.begin());
        link.hwAddr = Kivo::EthAddr(mac);
      }
      break;
    case IFLA_OPERSTATE:
      if (mnl_attr_validate(attr, MNL_TYPE_U8) < 0) {
        link.fault = fmt::format("operational state of {} bytes", size);
        return MNL_CB_ERROR;
      }
      link.operState = mnl_attr_get_u8(attr);
      break;
    default:
      break;
  }
  link.walked = reinterpret_cast<uintptr_t>(attr) + MNL_ALIGN(mnl_attr_get_len(attr));
  return MNL_CB_OK;
}

// Parses one RTM_NEWLINK / RTM_DELLINK message.
void parseLink(const nlmsghdr* nlh, uint16_t type, KernelNetInfo::NetlinkMessages& out) {
  const size_t payloadSize = mnl_nlmsg_get_payload_len(nlh);
  if (payloadSize < sizeof(ifinfomsg)) {
    TRACE2("link message of {} bytes is shorter than its header, skipped", payloadSize);
    ++out.skipped;
    return;
  }
  // A copy: nothing says the buffer keeps the header's alignment.
  ifinfomsg ifi;
  std::memcpy(&ifi, mnl_nlmsg_get_payload(nlh), sizeof ifi);
  // A bridge reports its ports' bridging state in link messages of its own
  // family; those say nothing about the devices existing.
  if (ifi.ifi_family != AF_UNSPEC) return;
  if (ifi.ifi_index <= 0) {
    TRACE2("link message with interface index {}, skipped", ifi.ifi_index);
    ++out.skipped;
    return;
  }

  // The attributes are walked over exactly the message's bytes. (Walking
  // the whole message with mnl_attr_parse would run to its padded end, which
  // for an unpadded last message lies up to 3 bytes past the buffer.)
  const auto* attrs = mnl_nlmsg_get_payload_offset(nlh, sizeof(ifinfomsg));
  const size_t attrsSize = payloadSize - MNL_ALIGN(sizeof(ifinfomsg));
  LinkAttrs link;
  link.walked = reinterpret_cast<uintptr_t>(attrs);
  const uintptr_t end = link.walked + attrsSize;
  if (mnl_attr_parse_payload(attrs, attrsSize, readLinkAttr, &link) == MNL_CB_ERROR) {
    TRACE2("link message of ifIndex {}: {}, skipped", ifi.ifi_index, link.fault);
    ++out.skipped;
    return;
  }
  // The walk ends quietly at an attribute whose length cannot be right; a
  // whole attribute header left unread is one. Fewer bytes than a header
  // are no attribute at all.
  if (link.walked < end && end - link.walked >= sizeof(nlattr)) {
    const auto* bad = reinterpret_cast<const nlattr*>(link.walked);
    TRACE2("link message of ifIndex {}: attribute {} of length {} runs past the message's {} bytes, skipped",
           ifi.ifi_index, mnl_attr_get_type(bad), mnl_attr_get_len(bad), end - link.walked);
    ++out.skipped;
    return;
  }

  KernelNetInfo::LinkUpdate update;
  update.intf.key.ifIndex = ifi.ifi_index;
  if (type == RTM_DELLINK) {
    // The source needs only the index of a link that is gone.
    update.gone = true;
    out.links.push_back(std::move(update));
    return;
  }
  if (link.deviceName.empty() || link.deviceName.size() >= IFNAMSIZ) {
    TRACE2("link message of ifIndex {}: device name '{}' missing or too long, skipped", ifi.ifi_index,
           link.deviceName);
    ++out.skipped;
    return;
  }
  update.intf.deviceName = std::move(link.deviceName);
  update.intf.hwAddr = link.hwAddr;
  update.up = linkIsUp(ifi.ifi_flags, link.operState);
  out.links.push_back(std::move(update));
}

// The length a message header claims. mnl_nlmsg_ok compares it with the
// bytes left as an int, so a claim of 2^31 bytes or more passes there as a
// negative number; the walk checks it again as the unsigned value it is.
uint32_t claimedLength(const nlmsghdr* nlh) {
  uint32_t length;
  std::memcpy(&length, nlh, sizeof length);
  return length;
}

// The error code at the start of an NLMSG_ERROR or NLMSG_DONE payload, when
// the payload has one.
std::optional<int> errorCode(const nlmsghdr* nlh) {
  if (mnl_nlmsg_get_payload_len(nlh) < sizeof(int)) return std::nullopt;
  int code;
  std::memcpy(&code, mnl_nlmsg_get_payload(nlh), sizeof code);
  return code;
}

[[noreturn]] void throwSystemError(int err, const std::string& what) {
  throw std::system_error(err, std::generic_category(), what);
}

// Reads one whole datagram into `buffer`, growing it as needed; the length,
// or -1 with errno set.
ssize_t receiveDatagram(int fd, std::vector<uint8_t>& buffer, uint32_t& senderPid) {
  const ssize_t size = ::recv(fd, nullptr, 0, MSG_PEEK | MSG_TRUNC);
  if (size < 0) return -1;
  if (static_cast<size_t>(size) > buffer.size()) buffer.resize(static_cast<size_t>(size));
  sockaddr_nl from{};
  iovec iov{buffer.data(), buffer.size()};
  msghdr msg{};
  msg.msg_name = &from;
  msg.msg_namelen = sizeof from;
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  const ssize_t n = ::recvmsg(fd, &msg, 0);
  senderPid = from.nl_pid;
  return n;
}

}  // namespace

namespace KernelNetInfo {

NetlinkMessages parseNetlinkMessages(std::span<const uint8_t> bytes) {
  NetlinkMessages out;
  // A datagram cannot be longer than an int counts, which is what the walk
  // counts in; bytes beyond are left over and reported as such.
  const int total = static_cast<int>(std::min<size_t>(bytes.size(), std::numeric_limits<int>::max()));
  int left = total;
  const auto* nlh = reinterpret_cast<const nlmsghdr*>(bytes.data());
  for (; mnl_nlmsg_ok(nlh, left) && claimedLength(nlh) <= static_cast<uint32_t>(left);
       nlh = mnl_nlmsg_next(nlh, &left)) {
    // A copy: nothing says the buffer keeps the header's alignment.
    nlmsghdr hdr;
    std::memcpy(&hdr, nlh, sizeof hdr);
    if (hdr.nlmsg_flags & NLM_F_DUMP_INTR) out.interrupted = true;
    switch (hdr.nlmsg_type) {
      case NLMSG_DONE: {
        // A dump that failed part way says so in its last message.
        const auto code = errorCode(nlh);
        if (code && *code < kLowestErrorCode) {
          TRACE2("netlink done message with error code {}, which is no errno value, skipped", *code);
          ++out.skipped;
        } else if (code && *code < 0) {
          out.error = -*code;
        }
        out.done = true;
        return out;
      }
      case NLMSG_ERROR:
        if (auto code = errorCode(nlh); !code) {
          TRACE2("netlink error message of {} bytes carries no error code, skipped", mnl_nlmsg_get_payload_len(nlh));
          ++out.skipped;
        } else if (*code < kLowestErrorCode) {
          TRACE2("netlink error message with error code {}, which is no errno value, skipped", *code);
          ++out.skipped;
        } else if (*code < 0) {
          out.error = -*code;
        }
        break;
      case RTM_NEWLINK:
      case RTM_DELLINK:
        parseLink(nlh, hdr.nlmsg_type, out);
        break;
      default:
        break;
    }
  }
  const int offset = total - std::max(left, 0);
  if (left >= static_cast<int>(sizeof(nlmsghdr))) {
    // Without a trustworthy length the next message cannot be found.
    TRACE2("netlink message at offset {} claims {} bytes of the {} left, rest of the buffer skipped", offset,
           claimedLength(nlh), left);
    ++out.skipped;
  } else if (left > 0) {
    TRACE2("{} bytes after the last netlink message, skipped", left);
    ++out.skipped;
  }
  return out;
}

// ---------------------------------------------------------------------------

NetlinkInterfaceSource::NetlinkInterfaceSource(Velto::Ptr<Oru::EventLoop> loop, int receiveBufferBytes)
    : loop_(std::move(loop)), table_(Velto::make<Status>()), buffer_(32 * 1024) {
  ZEM_ASSERT(loop_);
  // Subscribe before the dump, so no change falls between the two: a change
  // the dump already shows is applied again, which changes nothing.
  Zem::Fd fd(::socket(AF_NETLINK, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, NETLINK_ROUTE));
  if (fd.get() < 0) throwSystemError(errno, "cannot open a route netlink socket for link events");
  // Raising the buffer past the system's limit needs privileges; without
  // them the kernel's limit applies and overflow is handled by a re-read.
  if (setsockopt(fd.get(), SOL_SOCKET, SO_RCVBUFFORCE, &receiveBufferBytes, sizeof receiveBufferBytes) < 0) {
    setsockopt(fd.get(), SOL_SOCKET, SO_RCVBUF, &receiveBufferBytes, sizeof receiveBufferBytes);
  }
  sockaddr_nl addr{};
  addr.nl_family = AF_NETLINK;
  addr.nl_groups = RTMGRP_LINK;
  if (bind(fd.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) < 0) {
    throwSystemError(errno, "cannot subscribe to the kernel's link events");
  }
  for (const auto& link : dumpLinks()) apply(link);
  TRACE4("{} links in the default namespace", table_->interface().size());

  fd_ = fd.release();
  resyncTask_ = Velto::make<Oru::TimerTask>(loop_, 0, "netlinkResync");
  resyncReactor_ = resyncTask_->subscribe([this](const Zem::Change&) { resync(); });
  loop_->watchFd(fd_, EPOLLIN, [this](uint32_t) { handleReadable(); });
}

NetlinkInterfaceSource::~NetlinkInterfaceSource() {
  if (fd_ < 0) return;
  loop_->unwatchFd(fd_);
  ::close(fd_);
}

std::vector<Kivo::NamespaceName> NetlinkInterfaceSource::namespaces() const {
  return {Kivo::NamespaceName::defaultNamespace()};
}

Velto::Ptr<Status> NetlinkInterfaceSource::status(const Kivo::NamespaceName& ns) const {
  return ns.isDefault() ? table_ : Velto::Ptr<Status>();
}

bool NetlinkInterfaceSource::linkUp(const std::string& deviceName) const {
  for (const auto& [key, intf] : table_->interface()) {
    if (intf.deviceName != deviceName) continue;
    auto it = up_.find(key.ifIndex);
    return it != up_.end() && it->second;
  }
  return false;
}

std::vector<LinkUpdate> NetlinkInterfaceSource::dumpLinks() const {
  for (int attempt = 1;; ++attempt) {
    Zem::Fd fd(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE));
    if (fd.get() < 0) throwSystemError(errno, "cannot open a route netlink socket to read the links");
    timeval timeout{kDumpTimeoutSeconds, 0};
    setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);

    struct {
      nlmsghdr hdr;
      ifinfomsg ifi;
    } request{};
    request.hdr.nlmsg_len = sizeof request;
    request.hdr.nlmsg_type = RTM_GETLINK;
    request.hdr.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    request.hdr.nlmsg_seq = static_cast<uint32_t>(attempt);
    request.ifi.ifi_family = AF_UNSPEC;
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (sendto(fd.get(), &request, sizeof request, 0, reinterpret_cast<const sockaddr*>(&kernel), sizeof kernel) < 0) {
      throwSystemError(errno, "cannot ask the kernel for its links");
    }

    std::vector<LinkUpdate> links;
    std::vector<uint8_t> buffer(32 * 1024);
    bool interrupted = false;
    for (bool done = false; !done;) {
      uint32_t sender = 0;
      const ssize_t n = receiveDatagram(fd.get(), buffer, sender);
      if (n < 0) {
        if (errno == EINTR) continue;
        throwSystemError(errno, "cannot read the kernel's links");
      }
      if (sender != 0) continue;
      auto parsed = parseNetlinkMessages(std::span<const uint8_t>(buffer.data(), static_cast<size_t>(n)));
      if (parsed.error) throwSystemError(parsed.error, "the kernel refused to list its links");
      std::move(parsed.links.begin(), parsed.links.end(), std::back_inserter(links));
      interrupted = interrupted || parsed.interrupted;
      done = parsed.done;
    }
    if (!interrupted) return links;
    TRACE4("link dump changed under the kernel (attempt {} of {})", attempt, kDumpAttempts);
    if (attempt == kDumpAttempts) throwSystemError(EAGAIN, "the kernel's links kept changing while being read");
  }
}

void NetlinkInterfaceSource::handleReadable() {
  // A handler of the table may release this source.
  Velto::Ptr<NetlinkInterfaceSource> self(this);
  bool lost = false;
  for (;;) {
    uint32_t sender = 0;
    const ssize_t n = receiveDatagram(fd_, buffer_, sender);
    if (n < 0) {
      const int err = errno;
      if (err == EINTR) continue;
      if (err == EAGAIN || err == EWOULDBLOCK) break;
      if (err == ENOBUFS) {
        TRACE2("link events lost: the socket's buffer overflowed");
        lost = true;
        continue;
      }
      TRACE0("cannot read link events: {}", std::strerror(err));
      break;
    }
    // Only the kernel speaks for the kernel's links.
    if (sender != 0) continue;
    auto parsed = parseNetlinkMessages(std::span<const uint8_t>(buffer_.data(), static_cast<size_t>(n)));
    for (const auto& link : parsed.links) apply(link);
  }
  if (lost) resync();
}

void NetlinkInterfaceSource::resync() {
  std::vector<LinkUpdate> links;
  try {
    links = dumpLinks();
  } catch (const std::system_error& e) {
    TRACE0("cannot re-read the links after lost events: {}; retrying", e.what());
    resyncTask_->scheduleTaskDelay(kResyncRetryDelay);
    return;
  }
  resyncTask_->stopTimerTask();
  ++resyncCount_;
  TRACE2("re-read {} links after lost events", links.size());
  std::unordered_set<int> present;
  for (const auto& link : links) present.insert(link.intf.key.ifIndex);
  for (const auto& key : table_->interface().keys()) {
    if (!present.count(key.ifIndex)) apply(LinkUpdate{true, Interface{key, "", {}}, false});
  }
  for (const auto& link : links) apply(link);
}

void NetlinkInterfaceSource::apply(const LinkUpdate& update) {
  const InterfaceKey key = update.intf.key;
  const auto old = table_->interfaceGet(key);
  std::optional<bool> prevUp;
  if (auto it = up_.find(key.ifIndex); it != up_.end()) prevUp = it->second;

  if (update.gone) {
    up_.erase(key.ifIndex);
    if (!old) return;
    TRACE6("link {} ifIndex {} gone", old->deviceName, key);
    table_->interfaceDel(key);
    publishLinkUp(old->deviceName, prevUp);
    return;
  }
  // The up state is set before the table is written, so a reader of the
  // table that asks linkUp() gets the new answer.
  up_[key.ifIndex] = update.up;
  if (!old || *old != update.intf) {
    TRACE6("link {} ifIndex {} hwAddr {} {}", update.intf.deviceName, key, update.intf.hwAddr,
           update.up ? "up" : "down");
  }
  table_->interfaceIs(key, update.intf);
  if (old && old->deviceName != update.intf.deviceName) {
    publishLinkUp(old->deviceName, prevUp);
    publishLinkUp(update.intf.deviceName, std::nullopt);
  } else if (!old) {
    publishLinkUp(update.intf.deviceName, std::nullopt);
  } else if (prevUp != update.up) {
    TRACE6("link {} ifIndex {} {}", update.intf.deviceName, key, update.up ? "up" : "down");
    publishLinkUp(update.intf.deviceName, prevUp);
  }
}

void NetlinkInterfaceSource::publishLinkUp(const std::string& deviceName, std::optional<bool> prev) {
  // Copies: a handler may change the table the name came from.
  const std::string name = deviceName;
  const std::optional<bool> previous = prev;
  publish(Zem::Change{this, &linkUpAttr, &name, &previous, nullptr});
}

}  // namespace KernelNetInfo

#pragma once
// The kernel interface table of the process's own network namespace (the
// default namespace), kept in step with the kernel over route netlink: every
// link is read when the source is made, then each link message the kernel
// sends is applied on the event loop. When the kernel drops messages because
// the socket's buffer overflowed, the source reads every link again and
// reconciles the table with what it finds.
//
// Besides the table, the source follows whether each link is up (running:
// administratively up with its lower layer up) and publishes `linkUpAttr` on
// itself, keyed by the device name, whenever that changes for a device name:
// the device appears or disappears (a rename is the old name disappearing and
// the new one appearing) or goes up or down.

#include "platform/kernel/InterfaceSource.h"
#include "platform/scheduler/Scheduler.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

namespace KernelNetInfo {

// What one link message says about a link.
struct LinkUpdate {
  // RTM_DELLINK: the link is gone. Only `intf.key` is set then; the rest
  // keeps its defaults.
  bool gone = false;
  Interface intf;
  // Running: administratively up and operationally up.
  bool up = false;
  bool operator==(const LinkUpdate&) const = default;
};

// What a buffer of netlink messages says, in order.
struct NetlinkMessages {
  std::vector<LinkUpdate> links;
  // NLMSG_DONE ended a dump.
  bool done = false;
  // A dump changed under the kernel while it was being written
  // (NLM_F_DUMP_INTR): its result is not to be trusted.
  bool interrupted = false;
  // The error an NLMSG_ERROR carried (positive errno), 0 for none or an
  // acknowledgement.
  int error = 0;
  // Malformed messages skipped (each one traced).
  size_t skipped = 0;
};

// Parses route netlink messages about links, as one datagram holds them
// (at any address). Messages of other types and links of families other
// than AF_UNSPEC (a bridge's per-port messages) are ignored; malformed
// messages (an attribute of a length past the message or wrong for its type,
// a link without a device name of 1 to 15 bytes) are skipped with a trace,
// and a header that cannot be trusted ends the parse. Every byte read lies
// within `bytes`.
NetlinkMessages parseNetlinkMessages(std::span<const uint8_t> bytes);

class NetlinkInterfaceSource : public InterfaceSource {
 public:
  // Change key: the device name (std::string); prev: std::optional<bool>,
  // the state before (empty when the name appeared).
  static inline const Zem::AttrInfo linkUpAttr{"linkUp"};

  // Reads every link of the namespace before it returns. Throws
  // std::system_error saying what failed when netlink cannot be opened or
  // read. `receiveBufferBytes` sizes the kernel's buffer of link messages not
  // yet read.
  explicit NetlinkInterfaceSource(Velto::Ptr<Oru::EventLoop> loop, int receiveBufferBytes = 1 << 20);
  ~NetlinkInterfaceSource() override;
  NetlinkInterfaceSource(const NetlinkInterfaceSource&) = delete;
  NetlinkInterfaceSource& operator=(const NetlinkInterfaceSource&) = delete;

  std::vector<Kivo::NamespaceName> namespaces() const override;
  Velto::Ptr<Status> status(const Kivo::NamespaceName& ns) const override;
  void netlinkConfigIs(const KernelNetNsInfo::NetlinkConfig& config) override { netlinkConfig_ = config; }
  const KernelNetNsInfo::NetlinkConfig& netlinkConfig() const { return netlinkConfig_; }

  // The device of that name exists and is up.
  bool linkUp(const std::string& deviceName) const;
  // Times the table was read again after the kernel dropped link messages.
  uint64_t resyncCount() const { return resyncCount_; }

 private:
  void handleReadable();
  // Reads every link; throws std::system_error when netlink fails.
  std::vector<LinkUpdate> dumpLinks() const;
  void resync();
  void apply(const LinkUpdate& update);
  void publishLinkUp(const std::string& deviceName, std::optional<bool> prev);

  Velto::Ptr<Oru::EventLoop> loop_;
  Velto::Ptr<Status> table_;
  int fd_ = -1;
  std::vector<uint8_t> buffer_;
  // Up state of every link in the table, by interface index.
  std::unordered_map<int, bool> up_;
  uint64_t resyncCount_ = 0;
  KernelNetNsInfo::NetlinkConfig netlinkConfig_;
  Velto::Ptr<Oru::TimerTask> resyncTask_;
  Zem::Reactor resyncReactor_;
};

}  // namespace KernelNetInfo

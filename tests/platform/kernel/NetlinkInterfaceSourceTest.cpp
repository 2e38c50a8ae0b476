#include "platform/kernel/NetlinkInterfaceSource.h"

#include "platform/trace/Ringlog.h"
#include "tests/platform/kernel/FreshNetns.h"
#include "tests/platform/kernel/GuardedBuffer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <net/if.h>  // before the kernel's own if.h, which it then leaves out
#include <linux/if.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>

namespace KernelNetInfo {
// Failed comparisons of link updates print what they say.
void PrintTo(const LinkUpdate& u, std::ostream* os) {
  *os << fmt::format("{{{} ifIndex {} '{}' {} {}}}", u.gone ? "gone" : "link", u.intf.key, u.intf.deviceName,
                     u.intf.hwAddr, u.up ? "up" : "down");
}
}  // namespace KernelNetInfo

namespace {

using KernelNetInfo::InterfaceKey;
using KernelNetInfo::LinkUpdate;
using KernelNetInfo::NetlinkInterfaceSource;
using KernelNetInfo::parseNetlinkMessages;
using Kivo::EthAddr;
using Bytes = std::vector<uint8_t>;

// ---------------------------------------------------------------------------
// Crafted messages

template <class T>
void append(Bytes& out, const T& value) {
  const auto* p = reinterpret_cast<const uint8_t*>(&value);
  out.insert(out.end(), p, p + sizeof value);
}

void pad(Bytes& out) { out.resize(NLMSG_ALIGN(out.size()), 0); }

Bytes attr(uint16_t type, const Bytes& data) {
  Bytes out;
  append(out, rtattr{static_cast<unsigned short>(RTA_LENGTH(data.size())), type});
  out.insert(out.end(), data.begin(), data.end());
  pad(out);
  return out;
}
Bytes nameAttr(const std::string& name) {
  Bytes data(name.begin(), name.end());
  data.push_back(0);
  return attr(IFLA_IFNAME, data);
}
Bytes macAttr(const EthAddr& mac) { return attr(IFLA_ADDRESS, Bytes(mac.bytes().begin(), mac.bytes().end())); }
Bytes operAttr(uint8_t state) { return attr(IFLA_OPERSTATE, {state}); }

struct Msg {
  uint16_t type = RTM_NEWLINK;
  int ifIndex = 0;
  unsigned flags = 0;
  std::vector<Bytes> attrs;
  uint8_t family = AF_UNSPEC;
  uint16_t nlFlags = 0;
};

Bytes message(const Msg& m) {
  Bytes body;
  ifinfomsg ifi{};
  ifi.ifi_family = m.family;
  ifi.ifi_index = m.ifIndex;
  ifi.ifi_flags = m.flags;
  append(body, ifi);
  for (const auto& a : m.attrs) body.insert(body.end(), a.begin(), a.end());
  Bytes out;
  append(out, nlmsghdr{static_cast<uint32_t>(NLMSG_HDRLEN + body.size()), m.type, m.nlFlags, 1, 0});
  out.insert(out.end(), body.begin(), body.end());
  return out;
}

Bytes control(uint16_t type, int code, uint16_t nlFlags = 0) {
  Bytes out;
  append(out, nlmsghdr{NLMSG_HDRLEN + sizeof(int), type, nlFlags, 1, 0});
  append(out, code);
  return out;
}

Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

const EthAddr macA = EthAddr::fromString("02:00:00:00:0a:01");
const EthAddr macB = EthAddr::fromString("02:00:00:00:0b:01");
// The flags as plain numbers: the C library and the kernel declare them in
// different enumerations.
constexpr unsigned kUp = IFF_UP, kRunning = IFF_RUNNING, kLowerUp = IFF_LOWER_UP, kDormant = IFF_DORMANT,
                   kLoopback = IFF_LOOPBACK;
constexpr unsigned kUpRunning = kUp | kRunning | kLowerUp;

LinkUpdate linkOf(int index, const std::string& name, EthAddr mac, bool up) {
  return LinkUpdate{false, {InterfaceKey{index}, name, mac}, up};
}

TEST(NetlinkParseTest, DumpOfSeveralLinksEndsWithDone) {
  auto bytes = concat({
      message({RTM_NEWLINK, 1, kUp | kRunning | kLoopback, {nameAttr("lo"), macAttr({}), operAttr(IF_OPER_UNKNOWN)}, AF_UNSPEC, NLM_F_MULTI}),
      // Six-byte names need padding after their attribute.
      message({RTM_NEWLINK, 7, kUpRunning, {operAttr(IF_OPER_UP), nameAttr("eth10"), macAttr(macA)}, AF_UNSPEC, NLM_F_MULTI}),
      // A tunnel's four-byte address is no Ethernet address.
      message({RTM_NEWLINK, 9, 0, {nameAttr("tun0"), attr(IFLA_ADDRESS, {10, 0, 0, 1})}, AF_UNSPEC, NLM_F_MULTI}),
      control(NLMSG_DONE, 0, NLM_F_MULTI),
  });
  auto parsed = parseNetlinkMessages(bytes);
  EXPECT_TRUE(parsed.done);
  EXPECT_FALSE(parsed.interrupted);
  EXPECT_EQ(parsed.error, 0);
  EXPECT_EQ(parsed.skipped, 0u);
  EXPECT_EQ(parsed.links, (std::vector<LinkUpdate>{linkOf(1, "lo", {}, true), linkOf(7, "eth10", macA, true),
                                                   linkOf(9, "tun0", {}, false)}));
}

TEST(NetlinkParseTest, DeletionsErrorsInterruptionsAndForeignFamilies) {
  auto parsed = parseNetlinkMessages(concat({
      message({RTM_DELLINK, 4, kUpRunning, {nameAttr("abcdefghijklmnopqrstuvwxyz"), macAttr(macA)}}),
      // A bridge telling about one of its ports: not a deletion of the device.
      message({RTM_DELLINK, 5, 0, {nameAttr("et5")}, AF_BRIDGE}),
      message({RTM_NEWLINK, 6, kUpRunning, {nameAttr("et6")}, AF_BRIDGE}),
      // Messages about addresses and routes share the socket's groups.
      message({RTM_NEWADDR, 4, 0, {}}),
      control(NLMSG_ERROR, -EPERM),
      control(NLMSG_DONE, 0, NLM_F_MULTI | NLM_F_DUMP_INTR),
      // Nothing after the end of a dump is read.
      message({RTM_NEWLINK, 8, 0, {nameAttr("et8")}}),
  }));
  // A deletion carries only the index; a name or address in it is never
  // reported, even one no device can have.
  EXPECT_EQ(parsed.links, (std::vector<LinkUpdate>{LinkUpdate{true, {InterfaceKey{4}, "", EthAddr()}, false}}));
  EXPECT_EQ(parsed.error, EPERM);
  EXPECT_TRUE(parsed.interrupted);
  EXPECT_TRUE(parsed.done);
  EXPECT_EQ(parsed.skipped, 0u);

  // An acknowledgement is no error; a dump that failed says so in its end.
  EXPECT_EQ(parseNetlinkMessages(control(NLMSG_ERROR, 0)).error, 0);
  EXPECT_EQ(parseNetlinkMessages(control(NLMSG_DONE, -EINTR)).error, EINTR);
}

TEST(NetlinkParseTest, UpStateFromFlagsAndOperationalState) {
  struct Case {
    const char* what;
    unsigned flags;
    std::vector<Bytes> extra;
    bool up;
  };
  const std::vector<Case> cases{
      {"running, no operational state", kUp | kRunning, {}, true},
      {"up without carrier", kUp, {}, false},
      {"running but administratively down", kRunning, {}, false},
      {"operational state up", kUp | kRunning | kLowerUp, {operAttr(IF_OPER_UP)}, true},
      {"lower layer down", kUp, {operAttr(IF_OPER_LOWERLAYERDOWN)}, false},
      {"dormant with carrier", kUp | kLowerUp | kDormant, {operAttr(IF_OPER_DORMANT)}, false},
      {"unknown state leaves it to the running flag", kUp | kRunning, {operAttr(IF_OPER_UNKNOWN)}, true},
      {"unknown state, not running", kUp, {operAttr(IF_OPER_UNKNOWN)}, false},
      {"operational state up, administratively down", kLowerUp, {operAttr(IF_OPER_UP)}, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<Bytes> attrs{nameAttr("et1")};
    attrs.insert(attrs.end(), c.extra.begin(), c.extra.end());
    auto parsed = parseNetlinkMessages(message({RTM_NEWLINK, 3, c.flags, attrs}));
    ASSERT_EQ(parsed.links.size(), 1u);
    EXPECT_EQ(parsed.links[0].up, c.up);
  }
}

TEST(NetlinkParseTest, MalformedMessagesAreSkippedWithATrace) {
  const Bytes good = message({RTM_NEWLINK, 2, 0, {nameAttr("good")}});
  auto withLength = [](Bytes m, uint32_t len) {
    std::memcpy(m.data(), &len, sizeof len);
    return m;
  };
  // The first attribute of a link message claims `len` bytes: more than
  // follow, or fewer than its own header.
  auto firstAttrOfLength = [](uint16_t len) {
    Bytes m = message({RTM_NEWLINK, 3, 0, {nameAttr("bad"), macAttr(macA)}});
    std::memcpy(m.data() + NLMSG_HDRLEN + NLMSG_ALIGN(sizeof(ifinfomsg)), &len, sizeof len);
    return m;
  };
  // A link message too short for its interface header.
  Bytes shortLink;
  append(shortLink, nlmsghdr{NLMSG_HDRLEN + 4, RTM_NEWLINK, 0, 1, 0});
  append(shortLink, int{5});

  Bytes errorWithoutCode = control(NLMSG_ERROR, 0);
  errorWithoutCode.resize(NLMSG_HDRLEN);
  errorWithoutCode = withLength(errorWithoutCode, NLMSG_HDRLEN);

  struct Case {
    const char* what;
    Bytes bytes;
    size_t linksParsed;  // good messages still read
    const char* trace;
  };
  std::vector<Case> cases{
      {"truncated netlink header", Bytes(good.begin(), good.begin() + 10), 0, "after the last netlink message"},
      {"good message then a truncated header", concat({good, Bytes(good.begin(), good.begin() + 10)}), 1,
       "after the last netlink message"},
      {"message length past the buffer", concat({good, withLength(good, 4096)}), 1, "claims 4096 bytes"},
      {"message length shorter than its header", concat({good, withLength(good, 8), good}), 1, "claims 8 bytes"},
      // Lengths that are negative as an int.
      {"message length of 2^31", concat({good, withLength(good, 0x80000000u), good}), 1, "claims 2147483648 bytes"},
      {"message length of 2^32 - 4", concat({good, withLength(good, 0xfffffffcu), good}), 1,
       "claims 4294967292 bytes"},
      {"attribute length past the message", concat({firstAttrOfLength(200), good}), 1, "runs past the message"},
      {"operational state of no byte", concat({message({RTM_NEWLINK, 4, 0, {nameAttr("x"), attr(IFLA_OPERSTATE, {})}}), good}),
       1, "operational state of 0 bytes"},
      {"operational state of two bytes",
       concat({message({RTM_NEWLINK, 4, 0, {nameAttr("x"), attr(IFLA_OPERSTATE, {IF_OPER_UP, 0})}}), good}), 1,
       "operational state of 2 bytes"},
      {"empty device name attribute", concat({message({RTM_NEWLINK, 4, 0, {attr(IFLA_IFNAME, {})}}), good}), 1,
       "device name of 0 bytes"},
      {"link header cut short", concat({shortLink, good}), 1, "shorter than its header"},
      {"no device name", concat({message({RTM_NEWLINK, 4, 0, {macAttr(macA)}}), good}), 1, "missing or too long"},
      {"device name too long", concat({message({RTM_NEWLINK, 4, 0, {nameAttr("abcdefghijklmnop")}}), good}), 1,
       "missing or too long"},
      {"interface index 0", concat({message({RTM_NEWLINK, 0, 0, {nameAttr("x")}}), good}), 1, "interface index 0"},
      {"error message without its code", concat({errorWithoutCode, good}), 1, "carries no error code"},
      // The kernel's error codes are negated errno values, above -4096.
      {"error code of no errno", concat({control(NLMSG_ERROR, INT_MIN), good}), 1, "error code -2147483648"},
      {"error code just past errno", concat({control(NLMSG_ERROR, -4096), good}), 1, "error code -4096"},
      {"dump ending with an error code of no errno", concat({good, control(NLMSG_DONE, INT_MIN)}), 1,
       "error code -2147483648"},
  };
  // Attribute lengths shorter than an attribute header.
  for (uint16_t len = 0; len < 4; ++len) {
    cases.push_back({"attribute length below its header", concat({firstAttrOfLength(len), good}), 1,
                     "runs past the message"});
  }
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Ringlog::Capture cap;
    auto parsed = parseNetlinkMessages(c.bytes);
    EXPECT_EQ(parsed.error, 0);
    EXPECT_EQ(parsed.skipped, 1u);
    EXPECT_EQ(parsed.links.size(), c.linksParsed);
    for (const auto& l : parsed.links) EXPECT_EQ(l.intf.deviceName, "good");
    EXPECT_TRUE(cap.contains(2, c.trace)) << fmt::format("{}", fmt::join(cap.messages(), "\n"));
  }
}

TEST(NetlinkParseTest, MessagesEndingOffTheGridAreReadWithinTheBuffer) {
  // The last message of a buffer needs no padding, so it may end off the
  // 4-byte grid, even inside an attribute header; neither the walk over the
  // messages nor the walk over its attributes may read past its last byte.
  // The bytes end right before an unreadable page, so a read past them
  // stops the test.
  auto lastMessage = [](Bytes m, size_t cut) {
    m.resize(m.size() - cut);
    const uint32_t len = static_cast<uint32_t>(m.size());
    std::memcpy(m.data(), &len, sizeof len);
    return m;
  };
  // An attribute header claiming an empty attribute, of which the message
  // keeps only the first `kept` bytes.
  auto emptyAttrHeader = [](size_t kept) {
    Bytes header;
    append(header, rtattr{static_cast<unsigned short>(RTA_LENGTH(0)), IFLA_MTU});
    header.resize(kept);
    return header;
  };
  const Bytes good = message({RTM_NEWLINK, 2, 0, {nameAttr("good")}});
  struct Case {
    const char* what;
    Bytes bytes;
    std::vector<std::string> names;
  };
  const std::vector<Case> cases{
      {"three-byte name without its terminator or padding",
       lastMessage(message({RTM_NEWLINK, 2, 0, {attr(IFLA_IFNAME, {'a', 'b', 'c'})}}), 1), {"abc"}},
      {"after a good message", concat({good, lastMessage(message({RTM_NEWLINK, 3, 0, {nameAttr("ab")}}), 1)}),
       {"good", "ab"}},
  };
  std::vector<Case> all = cases;
  for (size_t kept = 1; kept <= 3; ++kept) {
    Bytes m = message({RTM_NEWLINK, 5, 0, {nameAttr("et5")}});
    const Bytes tail = emptyAttrHeader(kept);
    m.insert(m.end(), tail.begin(), tail.end());
    const uint32_t len = static_cast<uint32_t>(m.size());
    std::memcpy(m.data(), &len, sizeof len);
    all.push_back({"message ending inside an attribute header", m, {"et5"}});
  }
  for (const auto& c : all) {
    SCOPED_TRACE(fmt::format("{} ({} bytes)", c.what, c.bytes.size()));
    KernelTest::GuardedBuffer guarded(c.bytes.size());
    auto parsed = parseNetlinkMessages(guarded.place(c.bytes));
    std::vector<std::string> names;
    for (const auto& l : parsed.links) names.push_back(l.intf.deviceName);
    EXPECT_EQ(names, c.names);
    EXPECT_EQ(parsed.skipped, 0u);
  }
}

// ---------------------------------------------------------------------------
// The kernel's own links, in a namespace of the test's own

// Every link of the namespace, by index, as the C library lists them.
std::map<int, std::string> kernelLinks() {
  std::map<int, std::string> out;
  if (auto* list = if_nameindex()) {
    for (auto* p = list; p->if_index != 0; ++p) out[static_cast<int>(p->if_index)] = p->if_name;
    if_freenameindex(list);
  }
  return out;
}

std::map<int, std::string> tableLinks(const KernelNetInfo::Status& table) {
  std::map<int, std::string> out;
  for (const auto& [key, intf] : table.interface()) out[key.ifIndex] = intf.deviceName;
  return out;
}

struct Live {
  Velto::Ptr<Oru::EventLoop> loop = Velto::make<Oru::EventLoop>();
  Velto::Ptr<NetlinkInterfaceSource> source;
  Velto::Ptr<KernelNetInfo::Status> table;
  // "name:prev>now" for every linkUp change.
  std::vector<std::string> upChanges;
  Zem::Reactor upReactor;

  explicit Live(int receiveBufferBytes = 1 << 20) {
    source = Velto::make<NetlinkInterfaceSource>(loop, receiveBufferBytes);
    table = source->status(Kivo::NamespaceName::defaultNamespace());
    upReactor = source->subscribe([this](const Zem::Change& c) {
      if (!c.is(NetlinkInterfaceSource::linkUpAttr)) return;
      const auto& name = c.keyAs<std::string>();
      const auto& prev = c.prevAs<std::optional<bool>>();
      upChanges.push_back(fmt::format("{}:{}>{}", name, prev ? (*prev ? "up" : "down") : "none",
                                      source->linkUp(name) ? "up" : "down"));
    });
  }
  Zem::Optional<KernelNetInfo::Interface> byName(const std::string& name) const {
    for (const auto& [key, intf] : table->interface()) {
      if (intf.deviceName == name) return intf;
    }
    return Zem::none;
  }
  bool until(const std::function<bool()>& done) { return KernelTest::runUntil(*loop, done); }
};

TEST(NetlinkInterfaceSourceTest, DumpSeesEveryLinkWithItsAddress) {
  KERNEL_TEST_IN_FRESH_NETNS([] {
    KernelTest::sh("ip link add va address 02:00:00:00:0a:01 type veth peer name vb address 02:00:00:00:0b:01");
    Live live;
    EXPECT_EQ(live.source->namespaces(), std::vector<Kivo::NamespaceName>{Kivo::NamespaceName::defaultNamespace()});
    EXPECT_FALSE(live.source->status(Kivo::NamespaceName("mgmt")));
    EXPECT_EQ(tableLinks(*live.table), kernelLinks());
    const int va = static_cast<int>(if_nametoindex("va"));
    const int vb = static_cast<int>(if_nametoindex("vb"));
    const int lo = static_cast<int>(if_nametoindex("lo"));
    EXPECT_EQ(live.table->interface(InterfaceKey{va}), (KernelNetInfo::Interface{InterfaceKey{va}, "va", macA}));
    EXPECT_EQ(live.table->interface(InterfaceKey{vb}), (KernelNetInfo::Interface{InterfaceKey{vb}, "vb", macB}));
    EXPECT_EQ(live.table->interface(InterfaceKey{lo}), (KernelNetInfo::Interface{InterfaceKey{lo}, "lo", EthAddr()}));
    // A fresh namespace starts with every link down.
    for (const char* name : {"lo", "va", "vb", "nosuch"}) EXPECT_FALSE(live.source->linkUp(name)) << name;

    KernelNetNsInfo::NetlinkConfig config{1, 1};
    live.source->netlinkConfigIs(config);
    EXPECT_EQ(live.source->netlinkConfig(), config);
  });
}

TEST(NetlinkInterfaceSourceTest, FollowsAddRenameReaddressAndDelete) {
  KERNEL_TEST_IN_FRESH_NETNS([] {
    Live live;
    std::vector<std::string> tableChanges;
    auto reactor = live.table->subscribe([&](const Zem::Change& c) {
      if (!c.is(KernelNetInfo::Status::interfaceAttr)) return;
      auto now = live.table->interfaceGet(c.keyAs<InterfaceKey>());
      tableChanges.push_back(now ? now->deviceName + "@" + now->hwAddr.stringValue() : "gone");
    });

    KernelTest::sh("ip link add vc address 02:00:00:00:0c:01 type veth peer name vd address 02:00:00:00:0d:01");
    ASSERT_TRUE(live.until([&] { return live.byName("vc") && live.byName("vd"); }));
    const InterfaceKey vc = live.byName("vc")->key;
    EXPECT_EQ(vc.ifIndex, static_cast<int>(if_nametoindex("vc")));

    KernelTest::sh("ip link set dev vc name ve");
    ASSERT_TRUE(live.until([&] { return live.byName("ve").hasValue(); }));
    EXPECT_EQ(live.byName("ve")->key, vc);
    EXPECT_FALSE(live.byName("vc"));

    KernelTest::sh("ip link set dev ve address 02:00:00:00:0e:01");
    ASSERT_TRUE(live.until([&] { return live.table->interface(vc).hwAddr == EthAddr::fromString("02:00:00:00:0e:01"); }));

    KernelTest::sh("ip link del ve");
    ASSERT_TRUE(live.until([&] { return !live.byName("ve") && !live.byName("vd"); }));
    EXPECT_EQ(tableLinks(*live.table), kernelLinks());

    // One ordinary change per kernel event; the kernel's repeated messages
    // about an unchanged link publish nothing.
    ASSERT_GE(tableChanges.size(), 2u);
    std::sort(tableChanges.begin(), tableChanges.begin() + 2);  // the two ends of the pair arrive in either order
    EXPECT_EQ(tableChanges, (std::vector<std::string>{"vc@02:00:00:00:0c:01", "vd@02:00:00:00:0d:01",
                                                      "ve@02:00:00:00:0c:01", "ve@02:00:00:00:0e:01", "gone",
                                                      "gone"}));
    // The names as linkUp sees them: appearing, the rename as one name going
    // and another coming, and going.
    std::vector<std::string> up = live.upChanges;
    std::sort(up.begin(), up.end());
    EXPECT_EQ(up, (std::vector<std::string>{"vc:down>down", "vc:none>down", "vd:down>down", "vd:none>down",
                                            "ve:down>down", "ve:none>down"}));
  });
}

TEST(NetlinkInterfaceSourceTest, LinkUpFollowsBothEndsOfAVethPair) {
  KERNEL_TEST_IN_FRESH_NETNS([] {
    KernelTest::sh("ip link add va type veth peer name vb");
    Live live;
    auto upIs = [&](bool va, bool vb) {
      return live.until([&] { return live.source->linkUp("va") == va && live.source->linkUp("vb") == vb; });
    };
    // One end up is not enough: its lower layer is the other end. The new
    // address of vb, set after, shows when va's event has been applied.
    KernelTest::sh("ip link set dev va up && ip link set dev vb address 02:00:00:00:0b:02");
    ASSERT_TRUE(live.until([&] { return live.byName("vb")->hwAddr == EthAddr::fromString("02:00:00:00:0b:02"); }));
    EXPECT_FALSE(live.source->linkUp("va"));
    EXPECT_TRUE(live.upChanges.empty());
    KernelTest::sh("ip link set dev vb up");
    EXPECT_TRUE(upIs(true, true));
    KernelTest::sh("ip link set dev va down");
    EXPECT_TRUE(upIs(false, false));
    KernelTest::sh("ip link set dev va up");
    EXPECT_TRUE(upIs(true, true));

    // Only changes of the up state were published, each with its previous
    // state; the two ends change in either order.
    auto changes = live.upChanges;
    ASSERT_EQ(changes.size(), 6u);
    for (size_t i = 0; i < changes.size(); i += 2) std::sort(changes.begin() + i, changes.begin() + i + 2);
    EXPECT_EQ(changes, (std::vector<std::string>{"va:down>up", "vb:down>up", "va:up>down", "vb:up>down",
                                                 "va:down>up", "vb:down>up"}));
  });
}

TEST(NetlinkInterfaceSourceTest, LostEventsAreRecoveredByReadingEveryLinkAgain) {
  KERNEL_TEST_IN_FRESH_NETNS([] {
    KernelTest::sh("ip link add va type veth peer name vb");
    // A buffer too small for the burst below makes the kernel drop events.
    Live live(4096);
    std::string burst = "ip link del va";
    for (int i = 0; i < 12; ++i) burst += fmt::format(" && ip link add p{0} type veth peer name q{0}", i);
    burst += " && ip link set dev p0 name r0 && ip link set dev p1 up && ip link set dev q1 up";
    KernelTest::sh(burst);
    ASSERT_TRUE(live.until([&] { return tableLinks(*live.table) == kernelLinks(); }));
    EXPECT_GE(live.source->resyncCount(), 1u);
    EXPECT_FALSE(live.byName("va"));
    EXPECT_TRUE(live.byName("r0"));
    EXPECT_TRUE(live.until([&] { return live.source->linkUp("p1") && live.source->linkUp("q1"); }));
    EXPECT_FALSE(live.source->linkUp("p2"));
  });
}

}  // namespace

#include "platform/kernel/NetlinkInterfaceSource.h"

#include "platform/trace/Ringlog.h"
#include "tests/platform/kernel/FreshNetns.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <map>

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
using Strings = std::vector<std::string>;

// --- Crafted messages ---

template <class T>
void append(Bytes& out, const T& value) {
  const auto* p = reinterpret_cast<const uint8_t*>(&value);
  out.insert(out.end(), p, p + sizeof value);
}

Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

Bytes attr(uint16_t type, const Bytes& data) {
  Bytes out;
  append(out, rtattr{static_cast<unsigned short>(RTA_LENGTH(data.size())), type});
  out.insert(out.end(), data.begin(), data.end());
  out.resize(NLMSG_ALIGN(out.size()), 0);
  return out;
}
Bytes nameAttr(const std::string& name) {
  return attr(IFLA_IFNAME, Bytes(name.c_str(), name.c_str() + name.size() + 1));
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

// The message with its length field set to `len`.
Bytes withLength(Bytes m, uint32_t len) {
  std::memcpy(m.data(), &len, sizeof len);
  return m;
}

Bytes message(const Msg& m) {
  Bytes out;
  append(out, nlmsghdr{0, m.type, m.nlFlags, 1, 0});
  append(out, ifinfomsg{m.family, 0, 0, m.ifIndex, m.flags, 0});
  for (const auto& a : m.attrs) out.insert(out.end(), a.begin(), a.end());
  return withLength(out, static_cast<uint32_t>(out.size()));
}
Bytes link(int index, std::vector<Bytes> attrs) { return message({RTM_NEWLINK, index, 0, std::move(attrs)}); }

Bytes control(uint16_t type, int code, uint16_t nlFlags = 0) {
  Bytes out;
  append(out, nlmsghdr{NLMSG_HDRLEN + sizeof(int), type, nlFlags, 1, 0});
  append(out, code);
  return out;
}

const EthAddr macA = EthAddr::fromString("02:00:00:00:0a:01");
// The flags as plain numbers: the C library and the kernel declare them in different enumerations.
constexpr unsigned kUp = IFF_UP, kRunning = IFF_RUNNING, kLowerUp = IFF_LOWER_UP, kDormant = IFF_DORMANT;
constexpr unsigned kUpRunning = kUp | kRunning | kLowerUp;

LinkUpdate linkOf(int index, const std::string& name, EthAddr mac, bool up) {
  return LinkUpdate{false, {InterfaceKey{index}, name, mac}, up};
}

TEST(NetlinkParseTest, DeletionsErrorsInterruptionsAndForeignFamilies) {
  auto parsed = parseNetlinkMessages(concat({
      message({RTM_DELLINK, 4, kUpRunning, {nameAttr("abcdefghijklmnopqrstuvwxyz"), macAttr(macA)}}),
      // A bridge telling about one of its ports: not a deletion of the device.
      message({RTM_DELLINK, 5, 0, {nameAttr("et5")}, AF_BRIDGE}),
      message({RTM_NEWLINK, 6, kUpRunning, {nameAttr("et6")}, AF_BRIDGE}),
      message({RTM_NEWADDR, 4, 0, {}}),  // addresses and routes share the socket's groups
      control(NLMSG_ERROR, -EPERM),
      control(NLMSG_DONE, 0, NLM_F_MULTI | NLM_F_DUMP_INTR),
      link(8, {nameAttr("et8")}),  // nothing after the end of a dump is read
  }));
  // A deletion carries only the index; a name or address in it is never reported, even one no device can have.
  EXPECT_THAT(parsed.links, testing::ElementsAre(LinkUpdate{true, {InterfaceKey{4}, "", EthAddr()}, false}));
  EXPECT_EQ(std::tuple(parsed.done, parsed.interrupted, parsed.error, parsed.skipped),
            std::tuple(true, true, EPERM, 0u));
  // An acknowledgement is no error; a dump that failed says so in its end.
  EXPECT_EQ(parseNetlinkMessages(control(NLMSG_ERROR, 0)).error, 0);
  EXPECT_EQ(parseNetlinkMessages(control(NLMSG_DONE, -EINTR)).error, EINTR);
}

TEST(NetlinkParseTest, UpStateFromFlagsAndOperationalState) {
  const struct { unsigned flags; int oper; bool up; } cases[] = {  // oper -1: no operational state
      {kUp | kRunning, -1, true},
      {kUp, -1, false},       // no carrier
      {kUpRunning, IF_OPER_UP, true},
      {kUp | kLowerUp | kDormant, IF_OPER_DORMANT, false},
      {kUp | kRunning, IF_OPER_UNKNOWN, true},  // unknown leaves it to the running flag
      {kLowerUp, IF_OPER_UP, false},            // operationally up, administratively down
  };
  for (const auto& c : cases) {
    std::vector<Bytes> attrs{nameAttr("et1")};
    if (c.oper >= 0) attrs.push_back(operAttr(static_cast<uint8_t>(c.oper)));
    EXPECT_THAT(parseNetlinkMessages(message({RTM_NEWLINK, 3, c.flags, attrs})).links,
                testing::ElementsAre(testing::Field(&LinkUpdate::up, c.up))) << c.flags << " " << c.oper;
  }
}

TEST(NetlinkParseTest, MalformedMessagesAreSkippedWithATrace) {
  const Bytes good = link(2, {nameAttr("good")});
  const Bytes cut(good.begin(), good.begin() + 10);
  // The first attribute of a link message claims `len` bytes: more than follow, or fewer than its own header.
  auto firstAttrOfLength = [](uint16_t len) {
    Bytes m = link(3, {nameAttr("bad"), macAttr(macA)});
    std::memcpy(m.data() + NLMSG_HDRLEN + NLMSG_ALIGN(sizeof(ifinfomsg)), &len, sizeof len);
    return m;
  };
  // Each case: the bytes, the good messages still read, the trace.
  const std::tuple<Bytes, size_t, std::string> cases[] = {
      {cut, 0, "after the last netlink message"},
      {concat({good, withLength(good, 4096)}), 1, "claims 4096 bytes"},
      {concat({good, withLength(good, 0x80000000u), good}), 1, "claims 2147483648 bytes"},  // negative as an int
      {concat({firstAttrOfLength(200), good}), 1, "runs past the message"},
      {concat({link(4, {nameAttr("x"), attr(IFLA_OPERSTATE, {})}), good}), 1, "operational state of 0 bytes"},
      {concat({link(4, {nameAttr("abcdefghijklmnop")}), good}), 1, "missing or too long"},
      {concat({link(0, {nameAttr("x")}), good}), 1, "interface index 0"},
      // The kernel's error codes are negated errno values, above -4096.
      {concat({control(NLMSG_ERROR, -4096), good}), 1, "error code -4096"},
      {concat({firstAttrOfLength(2), good}), 1, "runs past the message"},
  };
  for (const auto& [bytes, linksParsed, trace] : cases) {
    SCOPED_TRACE(trace);
    Ringlog::Capture cap;
    auto parsed = parseNetlinkMessages(bytes);
    EXPECT_EQ(std::tuple(parsed.error, parsed.skipped), std::tuple(0, 1u));
    EXPECT_THAT(parsed.links,
                testing::AllOf(testing::SizeIs(linksParsed), testing::Each(linkOf(2, "good", {}, false))));
    EXPECT_TRUE(cap.contains(2, trace)) << fmt::format("{}", fmt::join(cap.messages(), "\n"));
  }
}

// --- The kernel's own links, in a namespace of the test's own ---

// Every link of the namespace, by index, as the C library lists them.
std::map<int, std::string> kernelLinks() {
  std::map<int, std::string> out;
  auto* list = if_nameindex();
  for (auto* p = list; p && p->if_index != 0; ++p) out[static_cast<int>(p->if_index)] = p->if_name;
  if_freenameindex(list);
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
  Strings upChanges;  // "name:prev>now" for every linkUp change
  Zem::Reactor upReactor;

  explicit Live(int receiveBufferBytes = 1 << 20)
      : source(Velto::make<NetlinkInterfaceSource>(loop, receiveBufferBytes)),
        table(source->status(Kivo::NamespaceName::defaultNamespace())) {
    upReactor = source->subscribe([this](const Zem::Change& c) {
      if (!c.is(NetlinkInterfaceSource::linkUpAttr)) return;
      const auto& name = c.keyAs<std::string>();
      const auto& prev = c.prevAs<std::optional<bool>>();
      upChanges.push_back(fmt::format("{}:{}>{}", name, prev ? (*prev ? "up" : "down") : "none",
                                      source->linkUp(name) ? "up" : "down"));
    });
  }
  Zem::Optional<KernelNetInfo::Interface> byName(const std::string& name) const {
    for (const auto& [key, intf] : table->interface()) if (intf.deviceName == name) return intf;
    return Zem::none;
  }
  bool until(const std::function<bool()>& done) { return KernelTest::runUntil(*loop, done); }
};

TEST(NetlinkInterfaceSourceTest, FollowsAddRenameReaddressAndDelete) {
  KERNEL_TEST_IN_FRESH_NETNS([] {
    Live live;
    // The first dump sees every link (here only lo), all down in a fresh namespace.
    EXPECT_EQ(tableLinks(*live.table), kernelLinks());
    EXPECT_FALSE(live.source->linkUp("lo"));
    Strings tableChanges;
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
    EXPECT_TRUE(live.byName("ve")->key == vc && !live.byName("vc"));
    KernelTest::sh("ip link set dev ve address 02:00:00:00:0e:01");
    ASSERT_TRUE(
        live.until([&] { return live.table->interface(vc).hwAddr == EthAddr::fromString("02:00:00:00:0e:01"); }));
    KernelTest::sh("ip link del ve");
    ASSERT_TRUE(live.until([&] { return !live.byName("ve") && !live.byName("vd"); }));
    EXPECT_EQ(tableLinks(*live.table), kernelLinks());
    // One ordinary change per kernel event; the kernel's repeated messages about an unchanged link publish nothing.
    ASSERT_GE(tableChanges.size(), 2u);
    std::sort(tableChanges.begin(), tableChanges.begin() + 2);  // the two ends of the pair arrive in either order
    EXPECT_EQ(tableChanges, (Strings{"vc@02:00:00:00:0c:01", "vd@02:00:00:00:0d:01", "ve@02:00:00:00:0c:01",
                                     "ve@02:00:00:00:0e:01", "gone", "gone"}));
    // The names as linkUp sees them: appearing, the rename as one name going and another coming, and going.
    EXPECT_THAT(live.upChanges, testing::UnorderedElementsAre("vc:down>down", "vc:none>down", "vd:down>down",
                                                              "vd:none>down", "ve:down>down", "ve:none>down"));
  });
}

TEST(NetlinkInterfaceSourceTest, LostEventsAreRecoveredByReadingEveryLinkAgain) {
  KERNEL_TEST_IN_FRESH_NETNS([] {
    KernelTest::sh("ip link add va type veth peer name vb");
    Live live(4096);  // a buffer too small for the burst below makes the kernel drop events
    std::string burst = "ip link del va";
    for (int i = 0; i < 12; ++i) burst += fmt::format(" && ip link add p{0} type veth peer name q{0}", i);
    KernelTest::sh(burst + " && ip link set dev p0 name r0 && ip link set dev p1 up && ip link set dev q1 up");
    ASSERT_TRUE(live.until([&] { return tableLinks(*live.table) == kernelLinks(); }));
    EXPECT_GE(live.source->resyncCount(), 1u);
    EXPECT_TRUE(!live.byName("va") && live.byName("r0"));
    EXPECT_TRUE(live.until([&] { return live.source->linkUp("p1") && live.source->linkUp("q1"); }));
    EXPECT_FALSE(live.source->linkUp("p2"));
  });
}

}  // namespace

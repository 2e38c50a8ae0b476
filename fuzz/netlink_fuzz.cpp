// Feeds arbitrary bytes to the route netlink parser as one datagram from the
// kernel. The bytes end right before an unreadable page, so a read past them
// stops the run even inside libmnl, which the sanitizers do not see into.
// Every result must satisfy what the interface source relies on, and the
// parse of a prefix of the datagram must agree with the parse of the whole.
// A broken rule stops the run with a message and abort(), which libFuzzer
// records as a crash with its input.

#include "fuzz/FuzzCheck.h"
#include "platform/kernel/NetlinkInterfaceSource.h"
#include "tests/platform/kernel/GuardedBuffer.h"

#include <fmt/format.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>

namespace {

using KernelNetInfo::NetlinkMessages;

// A netlink header, and a link message's interface header after it.
constexpr size_t kNlHeader = 16;
constexpr size_t kLinkMessage = kNlHeader + 16;

// Longer inputs are cut to this (a datagram of link messages is at most a
// few pages; fuzz/netlink.options keeps the fuzzer well below).
constexpr size_t kMaxInput = 64 * 1024;

NetlinkMessages parseGuarded(std::span<const uint8_t> bytes) {
  static KernelTest::GuardedBuffer guarded(kMaxInput);
  return KernelNetInfo::parseNetlinkMessages(guarded.place(bytes));
}

// What every parse result must satisfy on its own.
void checkResult(const NetlinkMessages& m, size_t size) {
  for (const auto& link : m.links) {
    const std::string what = fmt::format("ifIndex {} '{}'", link.intf.key.ifIndex, link.intf.deviceName);
    CHECK(link.intf.key.ifIndex > 0, what);
    CHECK(link.intf.deviceName.size() <= 15, what);
    CHECK(link.intf.deviceName.find('\0') == std::string::npos, what);
    if (link.gone) {
      // A deletion says which link, and nothing else.
      CHECK(link.intf.deviceName.empty() && link.intf.hwAddr == Kivo::EthAddr() && !link.up, what);
    } else {
      CHECK(!link.intf.deviceName.empty(), what);
    }
  }
  // Each link comes from a message of its own, with both headers; each
  // refusal costs at least a message header, or is the bytes left over.
  CHECK(m.links.size() * kLinkMessage <= size, fmt::format("{} links in {} bytes", m.links.size(), size));
  CHECK((m.links.size() + m.skipped) * kNlHeader <= size + kNlHeader,
        fmt::format("{} links and {} skipped in {} bytes", m.links.size(), m.skipped, size));
  // An errno value, as the kernel reports failures.
  CHECK(m.error >= 0 && m.error < 4096, std::to_string(m.error));
}

// The messages before a cut are read exactly as in the whole datagram; a
// message cut in two is refused, and nothing after it is read.
void checkPrefix(const NetlinkMessages& prefix, const NetlinkMessages& whole, size_t cut) {
  const std::string where = fmt::format("cut at {}", cut);
  CHECK(prefix.links.size() <= whole.links.size(), where);
  CHECK(std::equal(prefix.links.begin(), prefix.links.end(), whole.links.begin()), where);
  CHECK(!prefix.interrupted || whole.interrupted, where);
  CHECK(prefix.error == 0 || whole.error != 0, where);
  if (prefix.done) {
    CHECK(whole.done && prefix.links.size() == whole.links.size() && prefix.error == whole.error, where);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  size = std::min(size, kMaxInput);
  const std::span<const uint8_t> bytes(data, size);
  const auto whole = parseGuarded(bytes);
  checkResult(whole, size);
  // Cuts just before the end (inside the padding or the last attribute of
  // an unpadded message) and through the middle.
  for (size_t back : {size_t{1}, size_t{2}, size_t{3}, size_t{4}, size / 2, size / 3}) {
    if (back == 0 || back > size) continue;
    const size_t cut = size - back;
    const auto prefix = parseGuarded(bytes.first(cut));
    checkResult(prefix, cut);
    checkPrefix(prefix, whole, cut);
  }
  return 0;
}

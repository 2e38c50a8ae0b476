#pragma once
// The kernel's network interfaces as the agent sees them.

#include "platform/framework/Record.h"

#include <string>

namespace KernelNetInfo {

// Identifies a kernel interface: its index in the kernel.
struct InterfaceKey {
  int ifIndex = 0;
  constexpr bool operator==(const InterfaceKey&) const = default;
  constexpr auto operator<=>(const InterfaceKey&) const = default;
};

// One kernel interface; the default value means "no such interface".
struct Interface {
  InterfaceKey key;
  std::string deviceName;  // at most 16 bytes, as the kernel allows
  Kivo::EthAddr hwAddr;
  bool operator==(const Interface&) const = default;
};

}  // namespace KernelNetInfo

template <>
struct std::hash<KernelNetInfo::InterfaceKey> {
  size_t operator()(const KernelNetInfo::InterfaceKey& k) const noexcept { return std::hash<int>()(k.ifIndex); }
};

namespace KernelNetInfo {

// The kernel interface table of one network namespace.
class Status : public Zem::Entity {
  ZEM_RECORD(Status, "KernelNetInfo::Status")
 public:
  ZEM_VALUE_MAP(InterfaceKey, Interface, interface)
  Status() = default;
};

}  // namespace KernelNetInfo

template <>
struct fmt::formatter<KernelNetInfo::InterfaceKey> : fmt::formatter<int> {
  template <class Ctx>
  auto format(const KernelNetInfo::InterfaceKey& k, Ctx& ctx) const {
    return fmt::formatter<int>::format(k.ifIndex, ctx);
  }
};

namespace Zem {
template <>
struct JsonCodec<KernelNetInfo::InterfaceKey> {
  static Json toJson(const KernelNetInfo::InterfaceKey& k) { return k.ifIndex; }
  static KernelNetInfo::InterfaceKey fromJson(const Json& j) { return {JsonCodec<int>::fromJson(j)}; }
};
template <>
struct KeyCodec<KernelNetInfo::InterfaceKey> {
  static std::string toKey(const KernelNetInfo::InterfaceKey& k) { return std::to_string(k.ifIndex); }
  static KernelNetInfo::InterfaceKey fromKey(const std::string& s) { return {KeyCodec<int>::fromKey(s)}; }
};
template <>
struct JsonCodec<KernelNetInfo::Interface> {
  static Json toJson(const KernelNetInfo::Interface& i) {
    return Json{{"ifIndex", i.key.ifIndex}, {"deviceName", i.deviceName}, {"hwAddr", i.hwAddr.stringValue()}};
  }
  static KernelNetInfo::Interface fromJson(const Json& j) {
    if (!j.is_object()) throw JsonError("expected a kernel interface object");
    KernelNetInfo::Interface i;
    i.key.ifIndex = JsonCodec<int>::fromJson(requiredField(j, "ifIndex", "kernel interface"));
    i.deviceName = JsonCodec<std::string>::fromJson(requiredField(j, "deviceName", "kernel interface"));
    i.hwAddr = JsonCodec<Kivo::EthAddr>::fromJson(requiredField(j, "hwAddr", "kernel interface"));
    return i;
  }
};
}  // namespace Zem

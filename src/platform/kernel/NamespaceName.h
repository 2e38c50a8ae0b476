#pragma once
// The name of a kernel network namespace. The switch's own interfaces live in
// the namespace named "default"; a default-made name is that namespace, so
// records and maps keyed by namespace start out on it.

#include "platform/framework/Json.h"

#include <compare>
#include <functional>
#include <string>
#include <utility>

namespace Kivo {

class NamespaceName {
 public:
  NamespaceName() : name_(kDefault) {}
  explicit NamespaceName(std::string name) : name_(std::move(name)) {}
  explicit NamespaceName(const char* name) : name_(name) {}

  static NamespaceName defaultNamespace() { return NamespaceName(); }

  const std::string& stringValue() const { return name_; }
  bool isDefault() const { return name_ == kDefault; }

  bool operator==(const NamespaceName&) const = default;
  std::strong_ordering operator<=>(const NamespaceName&) const = default;

 private:
  static constexpr const char* kDefault = "default";
  std::string name_;
};

}  // namespace Kivo

template <>
struct std::hash<Kivo::NamespaceName> {
  size_t operator()(const Kivo::NamespaceName& n) const noexcept { return std::hash<std::string>()(n.stringValue()); }
};

template <>
struct fmt::formatter<Kivo::NamespaceName> : fmt::formatter<std::string_view> {
  template <class Ctx>
  auto format(const Kivo::NamespaceName& n, Ctx& ctx) const {
    return fmt::formatter<std::string_view>::format(n.stringValue(), ctx);
  }
};

namespace Zem {
template <>
struct JsonCodec<Kivo::NamespaceName> {
  static Json toJson(const Kivo::NamespaceName& n) { return n.stringValue(); }
  static Kivo::NamespaceName fromJson(const Json& j) { return Kivo::NamespaceName(JsonCodec<std::string>::fromJson(j)); }
};
template <>
struct KeyCodec<Kivo::NamespaceName> {
  static std::string toKey(const Kivo::NamespaceName& n) { return n.stringValue(); }
  static Kivo::NamespaceName fromKey(const std::string& s) { return Kivo::NamespaceName(s); }
};
}  // namespace Zem

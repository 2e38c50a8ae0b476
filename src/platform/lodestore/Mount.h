#pragma once
// The vocabulary of mounting: how a mount group ended and what a mount asks
// of the state database.

#include <fmt/format.h>

#include <cstdint>
#include <string>
#include <string_view>

namespace Lodestore {

// How a mount group ended: every mount done (success), some mount refused
// (failure: a wrong type, a bad path or flag), or a blocking close that gave
// up before the state database answered (timeout).
enum class MountStatus { success, failure, timeout };

inline constexpr MountStatus mountSuccess() { return MountStatus::success; }
const char* stringValue(MountStatus status);

// What one mount asks for. Letters: "L" the path lives in the local backup
// area ("/backup/...") and is restored from and persisted to disk; "r" read;
// "w" write; "c" create the entity when it is missing.
//
// Agents reset the flags and then set them from the letters:
//   flags.mountFlagsIs(0);
//   flags.mountFlagsIs("L");
class MountFlags {
 public:
  static constexpr uint32_t local = 1u << 0;
  static constexpr uint32_t read = 1u << 1;
  static constexpr uint32_t write = 1u << 2;
  static constexpr uint32_t create = 1u << 3;

  MountFlags() = default;
  // The flags named by `letters` (so that doMount(path, type, "L") reads
  // naturally).
  MountFlags(std::string_view letters) { mountFlagsIs(letters); }
  MountFlags(const char* letters) : MountFlags(std::string_view(letters)) {}
  MountFlags(const std::string& letters) : MountFlags(std::string_view(letters)) {}

  // Exactly these bits; 0 clears every flag and forgets unknown letters.
  void mountFlagsIs(uint32_t bits) {
    bits_ = bits;
    invalid_.clear();
  }
  // Adds the flags named by `letters`. Letters that name no flag are kept
  // aside: a mount with them is refused with a message naming them.
  void mountFlagsIs(std::string_view letters);

  uint32_t bits() const { return bits_; }
  bool has(uint32_t flag) const { return (bits_ & flag) != 0; }
  const std::string& invalid() const { return invalid_; }
  // The letters of the flags set, in the order "Lrwc".
  std::string stringValue() const;

  bool operator==(const MountFlags&) const = default;

 private:
  uint32_t bits_ = 0;
  std::string invalid_;
};

}  // namespace Lodestore

template <>
struct fmt::formatter<Lodestore::MountStatus> : fmt::formatter<std::string_view> {
  template <class Ctx>
  auto format(Lodestore::MountStatus s, Ctx& ctx) const {
    return fmt::formatter<std::string_view>::format(Lodestore::stringValue(s), ctx);
  }
};

template <>
struct fmt::formatter<Lodestore::MountFlags> : fmt::formatter<std::string_view> {
  template <class Ctx>
  auto format(const Lodestore::MountFlags& f, Ctx& ctx) const {
    return fmt::formatter<std::string_view>::format(f.stringValue(), ctx);
  }
};

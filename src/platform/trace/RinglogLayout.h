#pragma once

// The layout of a ring-buffer trace file, shared by the writer (the agent)
// and the reader (rltrace, possibly after the agent was killed).
//
//   header     magic, version, sizes, write positions, handle table
//   site table one entry per trace statement of the process, written the
//              first time the statement fires into this file: its format,
//              level, unit, function, line and the kinds of its arguments
//   slots      the per-level rings; a slot holds the statement's site number
//              and its raw arguments, formatted only when the file is read
//
// Changing any of it means a new kVersion, so an older reader refuses the
// file instead of misreading it.

#include <array>
#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace Ringlog {

inline constexpr int kLevels = 10;

// Number of records each level keeps, levels 0..9.
inline constexpr std::array<int, kLevels> kRingSizes{256, 128, 128, 32, 32, 32, 256, 32, 64, 64};

// What a printed record keeps of each text; longer texts are cut (a message
// is never cut inside a UTF-8 character). A capture keeps the whole message.
inline constexpr std::size_t kMessageCapacity = 256;
inline constexpr std::size_t kUnitCapacity = 37;
inline constexpr std::size_t kFunctionCapacity = 63;
inline constexpr std::size_t kHandleNameCapacity = 63;
// Distinct handle names one file can name; records of further handles are
// still stored, with the handle shown as "?".
inline constexpr std::size_t kMaxHandles = 128;
// Distinct trace statements one process can describe in its files; the
// statements beyond are still stored, formatted, with unit and function "?".
inline constexpr std::size_t kMaxSites = 1024;
// Arguments of one statement kept raw; a statement with more is formatted
// when it is made.
inline constexpr std::size_t kMaxArgs = 16;

namespace detail {

inline constexpr char kMagic[8] = {'V', 'o', 'r', 'n', 'R', 'i', 'n', 'g'};
inline constexpr std::uint32_t kVersion = 2;

// How one argument is kept in a slot (little-endian, unaligned):
enum class ArgKind : std::uint8_t {
  none = 0,         // no raw form: the statement is formatted when made
  signedInt = 1,    // 8 bytes
  unsignedInt = 2,  // 8 bytes
  boolean = 3,      // 1 byte
  character = 4,    // 1 byte
  float32 = 5,      // 4 bytes
  float64 = 6,      // 8 bytes
  pointer = 7,      // 8 bytes, printed as a pointer
  string = 8,       // 2-byte length, then the bytes; formatted with the field's spec
  text = 9,         // 2-byte length, then the value as "{}" prints it; only in fields without a spec
  optionalFloat64 = 10,  // 1 byte present or not, then 8 bytes when present; only in fields without a spec
};

inline constexpr std::uint16_t kNoSite = 0xffff;
inline constexpr std::uint16_t kNoHandle = 0xfffe;  // handle table was full

// Slot flag: the payload is the finished message, not raw arguments.
inline constexpr std::uint8_t kPreformatted = 1;

struct SlotHead {
  std::uint64_t sequence;  // 0: never written, or being written
  double time;
  std::uint16_t site;    // index into the site table, or kNoSite
  std::uint16_t handle;  // index into Header::handles
  std::uint8_t level;
  std::uint8_t flags;
  std::uint16_t payloadBytes;
};

inline constexpr std::size_t kSlotBytes = 320;
inline constexpr std::size_t kPayloadCapacity = kSlotBytes - sizeof(SlotHead);

struct Slot {
  SlotHead head;
  char payload[kPayloadCapacity];
};
static_assert(sizeof(SlotHead) == 24 && sizeof(Slot) == kSlotBytes, "slot layout changed: bump kVersion");
static_assert(kPayloadCapacity >= kMessageCapacity, "a formatted message must fit a slot");

// Set in SiteEntry::written once every other field of the entry is in place.
inline constexpr std::uint32_t kSiteWritten = 0x53495445;

inline constexpr std::size_t kSiteBytes = 512;
inline constexpr std::size_t kFormatCapacity =
    kSiteBytes - 16 - kMaxArgs - (kUnitCapacity + 1) - (kFunctionCapacity + 1);

struct SiteEntry {
  std::uint32_t written;
  std::int32_t line;
  std::uint8_t level;
  std::uint8_t argCount;
  std::uint16_t formatBytes;
  std::uint32_t reserved;
  std::uint8_t kinds[kMaxArgs];
  char unit[kUnitCapacity + 1];
  char function[kFunctionCapacity + 1];
  char format[kFormatCapacity];  // not NUL-terminated
};
static_assert(sizeof(SiteEntry) == kSiteBytes, "site layout changed: bump kVersion");

struct Header {
  char magic[8];
  std::uint32_t version;
  std::uint32_t headerBytes;
  std::uint32_t slotBytes;
  std::uint32_t siteBytes;
  std::uint32_t levels;
  std::uint32_t ringSizes[kLevels];
  std::uint32_t maxHandles;
  std::uint32_t handleCount;
  std::uint32_t maxSites;
  std::uint32_t maxArgs;
  std::uint64_t lastSequence;
  std::uint64_t written[kLevels];  // records ever written per level
  char handles[kMaxHandles][kHandleNameCapacity + 1];
};
static_assert(std::is_trivially_copyable_v<Header> && std::is_standard_layout_v<Header>);
static_assert(std::is_trivially_copyable_v<Slot> && std::is_standard_layout_v<Slot>);
static_assert(std::is_trivially_copyable_v<SiteEntry> && std::is_standard_layout_v<SiteEntry>);

// The site table starts on a page boundary after the header, the slots after
// the site table.
inline constexpr std::size_t kHeaderBytes = (sizeof(Header) + 4095) / 4096 * 4096;
inline constexpr std::size_t kSitesOffset = kHeaderBytes;
inline constexpr std::size_t kSlotsOffset = kSitesOffset + kMaxSites * kSiteBytes;

constexpr std::array<std::size_t, kLevels + 1> ringStarts() {
  std::array<std::size_t, kLevels + 1> starts{};
  for (int level = 0; level < kLevels; ++level) {
    starts[level + 1] = starts[level] + static_cast<std::size_t>(kRingSizes[level]);
  }
  return starts;
}
inline constexpr std::array<std::size_t, kLevels + 1> kRingStarts = ringStarts();
inline constexpr std::size_t kTotalSlots = kRingStarts[kLevels];
inline constexpr std::size_t kFileBytes = kSlotsOffset + kTotalSlots * kSlotBytes;

// A ring's next slot is its write count masked, so every ring size is a
// power of two.
constexpr bool ringSizesArePowersOfTwo() {
  for (int size : kRingSizes) {
    if (size <= 0 || (size & (size - 1)) != 0) {
      return false;
    }
  }
  return true;
}
static_assert(ringSizesArePowersOfTwo());

}  // namespace detail
}  // namespace Ringlog

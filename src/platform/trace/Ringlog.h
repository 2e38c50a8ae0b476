#pragma once

// Ringlog: the always-on trace of the agents.
//
// Every trace statement lands in a per-level ring of fixed-size records kept
// in a memory-mapped file, so the last few hundred statements of each level
// are still on disk after the agent crashes and can be read with `rltrace`.
// Each level has its own ring, so chatty levels never push the rare,
// important ones out.
//
// Use it through the TRACE0 .. TRACE9 macros:
//
//   namespace { const Ringlog::Handle traceHandle{"Vorn::VornFabricLldp"}; }
//   ...
//   TRACE4("member {} moved to {}", intf, state);
//
// A statement is not formatted when it is made: it stores the number of its
// call site and its arguments as they are (integers, floats, strings, and
// values a RawArg says how to keep), and the reader formats it. What a call
// site never changes (format, level, unit, function, line, argument kinds) is
// written once into the file's site table, the first time it fires there.
// A statement whose arguments have no raw form, or do not fit a slot, is
// formatted when it is made; the reader prints the same text either way.
//
// Levels can be switched off (levelEnabledIs, or RLLEVELS="0-5,8" in the
// environment at start); a statement at a level that is off, with no capture
// open, costs a load and a branch and does not evaluate its arguments.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include <fmt/compile.h>
#include <fmt/core.h>
#include <fmt/format.h>

#include "platform/scheduler/SwitchContext.h"
#include "platform/trace/RinglogLayout.h"

namespace Ringlog {

// The name a group of trace statements is filed under, e.g.
// "Vorn::VornFabricLldp::LldpHigigSm".
class Handle {
 public:
  explicit Handle(const char* name);
  const char* name() const { return name_.c_str(); }
  // Process-wide number of this handle; files use it to find the handle's
  // entry in their handle table without comparing names.
  std::uint32_t id() const { return id_; }

 private:
  std::string name_;
  std::uint32_t id_;
};

// One stored (or captured) trace statement.
struct Record {
  int level;
  std::string handle;
  std::string unit;
  std::string function;
  int line;
  double time;
  std::string message;
};

// Says how a value of type T is kept raw in a record. Without a
// specialization, integers, floats, bools, chars, pointers and strings are
// kept as they are, and any other type with a formatter is kept as the text
// "{}" prints for it (a statement that gives such a value a format spec is
// formatted when it is made). A type whose formatter prints exactly what a
// string or an integer would print under every spec can say so, and is then
// kept that way under any spec:
//
//   template <> struct Ringlog::RawArg<Kivo::IntfId> {
//     static std::string_view text(const Kivo::IntfId& i) { return i.shortName(); }
//   };
//   template <> struct Ringlog::RawArg<Vorn::MemberId> {
//     static std::uint64_t unsignedValue(const Vorn::MemberId& m) { return m.value(); }
//   };
//
// Specialize it next to the type's formatter, so every unit sees the same.
template <class T>
struct RawArg {};

}  // namespace Ringlog

namespace Kivo {
class IntfId;
}
namespace Zem {
template <class T>
class Optional;
}
namespace Vorn {
class MemberId;
}

namespace Ringlog {

// The framework's interface IDs and the group's member IDs are in nearly
// every statement on the receive path: kept as the short name and the number.
template <>
struct RawArg<Kivo::IntfId> {
  static std::string_view text(const Kivo::IntfId& intf);
};
template <>
struct RawArg<Vorn::MemberId> {
  static std::uint64_t unsignedValue(const Vorn::MemberId& member);
};
// Refresh times and durations that may be absent: the value, or nothing
// (printed "OptionalNone" as their formatter does), in fields without a spec.
template <>
struct RawArg<Zem::Optional<double>> {
  static const double* optionalFloat(const Zem::Optional<double>& value);
};

class File;
class Capture;

namespace detail {

enum class SiteMode : std::uint8_t { unprepared, deferred, eager };

// One trace statement of the source: built by the compiler, completed the
// first time it fires.
struct Site {
  constexpr Site(int level, const char* unit, int line) : level(level), line(line), unit(unit) {}

  int level;
  int line;
  const char* unit;
  SiteMode mode = SiteMode::unprepared;
  std::uint16_t id = kNoSite;  // process-wide; the entry in every file's site table
  std::uint8_t argCount = 0;
  const char* function = nullptr;
  const char* format = nullptr;
  std::size_t formatSize = 0;
  const ArgKind* kinds = nullptr;
};

// Levels a trace file stores (Capture sees every level); process-wide, from
// RLLEVELS at start.
inline std::uint32_t storedLevels = (1u << kLevels) - 1;
inline Capture* innermostCapture = nullptr;

// The active switch context's trace file; null stores nothing.
inline File* currentFile() {
  const Oru::SwitchContext* context = Oru::SwitchContext::active();
  return context != nullptr ? context->traceFile() : nullptr;
}

// The records' clock: the active context's, CLOCK_REALTIME_COARSE when it
// has none.
inline double coarseRealtime() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME_COARSE, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}
inline double now() {
  const Oru::SwitchContext* context = Oru::SwitchContext::active();
  if (context != nullptr && context->traceClockRead() != nullptr) {
    return context->traceClockRead()(context->traceClockContext());
  }
  return coarseRealtime();
}

// Completes `site` the first time it fires.
void prepare(Site& site, const char* function, fmt::string_view format, const ArgKind* kinds, std::size_t argCount);
// The site of a statement made through Ringlog::write(), looked up by what
// it says.
Site& dynamicSite(int level, const char* unit, const char* function, int line, fmt::string_view format);

// Stores a statement formatted now (a site in eager mode, or arguments that
// did not fit), in the current file.
void storeFormatted(File& file, const Site& site, const Handle& handle, double time, fmt::string_view format,
                    fmt::format_args args);
void capture(Capture& capture, const Site& site, const Handle& handle, double time, fmt::string_view format,
             fmt::format_args args);

template <class T>
concept HasRawText = requires(const T& v) {
  { RawArg<T>::text(v) } -> std::convertible_to<std::string_view>;
};
template <class T>
concept HasRawSigned = requires(const T& v) {
  { RawArg<T>::signedValue(v) } -> std::convertible_to<std::int64_t>;
};
template <class T>
concept HasRawUnsigned = requires(const T& v) {
  { RawArg<T>::unsignedValue(v) } -> std::convertible_to<std::uint64_t>;
};
template <class T>
concept HasRawOptionalFloat = requires(const T& v) {
  { RawArg<T>::optionalFloat(v) } -> std::convertible_to<const double*>;
};

template <class T>
constexpr bool isCharType = std::is_same_v<T, char> || std::is_same_v<T, wchar_t> || std::is_same_v<T, char8_t> ||
                            std::is_same_v<T, char16_t> || std::is_same_v<T, char32_t>;

template <class T>
constexpr ArgKind kindOf() {
  using U = std::remove_cvref_t<T>;
  if constexpr (HasRawText<U>) {
    return ArgKind::string;
  } else if constexpr (HasRawSigned<U>) {
    return ArgKind::signedInt;
  } else if constexpr (HasRawUnsigned<U>) {
    return ArgKind::unsignedInt;
  } else if constexpr (HasRawOptionalFloat<U>) {
    return ArgKind::optionalFloat64;
  } else if constexpr (std::is_same_v<U, bool>) {
    return ArgKind::boolean;
  } else if constexpr (std::is_same_v<U, char>) {
    return ArgKind::character;
  } else if constexpr (isCharType<U>) {
    return ArgKind::none;
  } else if constexpr (std::is_integral_v<U> && std::is_signed_v<U> && sizeof(U) <= 8) {
    return ArgKind::signedInt;
  } else if constexpr (std::is_integral_v<U> && std::is_unsigned_v<U> && sizeof(U) <= 8) {
    return ArgKind::unsignedInt;
  } else if constexpr (std::is_same_v<U, float>) {
    return ArgKind::float32;
  } else if constexpr (std::is_same_v<U, double>) {
    return ArgKind::float64;
  } else if constexpr (std::is_same_v<U, const char*> || std::is_same_v<U, char*> ||
                       (std::is_array_v<U> && std::is_same_v<std::remove_cv_t<std::remove_extent_t<U>>, char>) ||
                       std::is_same_v<U, std::string> || std::is_same_v<U, std::string_view>) {
    return ArgKind::string;
  } else if constexpr (std::is_same_v<U, const void*> || std::is_same_v<U, void*> ||
                       std::is_same_v<U, std::nullptr_t>) {
    return ArgKind::pointer;
  } else if constexpr (std::is_class_v<U> || std::is_enum_v<U>) {
    return ArgKind::text;
  } else {
    return ArgKind::none;
  }
}

template <class... A>
inline constexpr ArgKind kKinds[sizeof...(A) + 1] = {kindOf<A>()..., ArgKind::none};

// Writes arguments into a slot's payload; `ok` turns false when one has no
// raw form here or does not fit.
struct Encoder {
  char* at;
  char* end;
  bool ok = true;

  template <class V>
  void bytes(const V& value) {
    if (static_cast<std::size_t>(end - at) < sizeof(V)) {
      ok = false;
      return;
    }
    std::memcpy(at, &value, sizeof(V));
    at += sizeof(V);
  }

  void string(const char* data, std::size_t size) {
    if (static_cast<std::size_t>(end - at) < 2 + size) {
      ok = false;
      return;
    }
    const auto length = static_cast<std::uint16_t>(size);
    std::memcpy(at, &length, 2);
    if (size != 0) {  // an empty string_view may have no data at all
      std::memcpy(at + 2, data, size);
    }
    at += 2 + size;
  }

  template <class T>
  void text(const T& value) {
    if (end - at < 2) {
      ok = false;
      return;
    }
    const auto room = static_cast<std::size_t>(end - at - 2);
    const auto result = fmt::format_to_n(at + 2, room, FMT_COMPILE("{}"), value);
    if (result.size > room) {
      ok = false;
      return;
    }
    const auto length = static_cast<std::uint16_t>(result.size);
    std::memcpy(at, &length, 2);
    at += 2 + result.size;
  }

  template <class T>
  void put(const T& value) {
    using U = std::remove_cvref_t<T>;
    constexpr ArgKind kind = kindOf<T>();
    if (!ok) {
      return;
    }
    if constexpr (HasRawText<U>) {
      const std::string_view view = RawArg<U>::text(value);
      string(view.data(), view.size());
    } else if constexpr (HasRawSigned<U>) {
      bytes(static_cast<std::int64_t>(RawArg<U>::signedValue(value)));
    } else if constexpr (HasRawUnsigned<U>) {
      bytes(static_cast<std::uint64_t>(RawArg<U>::unsignedValue(value)));
    } else if constexpr (HasRawOptionalFloat<U>) {
      const double* present = RawArg<U>::optionalFloat(value);
      bytes(static_cast<char>(present != nullptr));
      if (present != nullptr) bytes(*present);
    } else if constexpr (kind == ArgKind::signedInt) {
      bytes(static_cast<std::int64_t>(value));
    } else if constexpr (kind == ArgKind::unsignedInt) {
      bytes(static_cast<std::uint64_t>(value));
    } else if constexpr (kind == ArgKind::boolean || kind == ArgKind::character) {
      bytes(static_cast<char>(value));
    } else if constexpr (kind == ArgKind::float32 || kind == ArgKind::float64) {
      bytes(value);
    } else if constexpr (kind == ArgKind::pointer) {
      bytes(static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(static_cast<const void*>(value))));
    } else if constexpr (kind == ArgKind::string) {
      if constexpr (std::is_same_v<U, std::string> || std::is_same_v<U, std::string_view>) {
        string(value.data(), value.size());
      } else {
        const char* text = value;
        if (text == nullptr) {
          ok = false;  // formatted now, which reports it as today
          return;
        }
        string(text, std::strlen(text));
      }
    } else if constexpr (kind == ArgKind::text) {
      text(value);
    } else {
      ok = false;
    }
  }
};

// The slot a statement of `site` goes to in `file`, its head written and its
// sequence cleared; the payload is the caller's to fill before commit().
inline Slot& claim(File& file, const Site& site, const Handle& handle, double time);
inline void commit(File& file, Slot& slot, std::size_t payloadBytes, std::uint8_t flags);
void formatInto(Slot& slot, fmt::string_view format, fmt::format_args args, std::size_t& length);

template <class... A>
void trace(Site& site, const Handle& handle, const char* function, fmt::format_string<A...> format,
           const A&... args) {
  if (site.mode == SiteMode::unprepared) [[unlikely]] {
    prepare(site, function, format, kKinds<A...>, sizeof...(A));
  }
  const double time = now();
  File* file = currentFile();
  if (file != nullptr && (storedLevels & (1u << site.level)) != 0) {
    if (site.mode == SiteMode::deferred) {
      Slot& slot = claim(*file, site, handle, time);
      Encoder encoder{slot.payload, slot.payload + kPayloadCapacity};
      bool encoded = false;
      try {
        (encoder.put(args), ...);
        encoded = encoder.ok;
      } catch (...) {
        encoded = false;
      }
      if (encoded) {
        commit(*file, slot, static_cast<std::size_t>(encoder.at - slot.payload), 0);
      } else {
        std::size_t length = 0;
        formatInto(slot, format, fmt::make_format_args(args...), length);
        commit(*file, slot, length, kPreformatted);
      }
    } else {
      storeFormatted(*file, site, handle, time, format, fmt::make_format_args(args...));
    }
  }
  if (Capture* c = innermostCapture) {
    capture(*c, site, handle, time, format, fmt::make_format_args(args...));
  }
}

// A statement of `level` goes somewhere: a capture, or a trace file that
// stores the level.
inline bool active(int level) {
  return innermostCapture != nullptr || ((storedLevels & (1u << level)) != 0 && currentFile() != nullptr);
}

}  // namespace detail

// One open trace file: a header (magic, version, handle table, write
// positions), the site table and the slots of all rings, mapped shared so
// every record is in the file the moment it is written.
class File {
 public:
  // Creates (or replaces) the file at `path`, sizes it and maps it.
  // Throws std::runtime_error naming the path and the system error.
  static std::unique_ptr<File> open(const std::string& path);
  ~File();
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  const std::string& path() const { return path_; }

 private:
  friend detail::Slot& detail::claim(File&, const detail::Site&, const Handle&, double);
  friend void detail::commit(File&, detail::Slot&, std::size_t, std::uint8_t);
  friend void detail::storeFormatted(File&, const detail::Site&, const Handle&, double, fmt::string_view,
                                     fmt::format_args);

  File(std::string path, void* base, std::size_t size);
  std::uint16_t handleIndex(const Handle& handle) {
    const std::uint32_t id = handle.id();
    if (id < handleIndexById_.size() && handleIndexById_[id] != kUnresolved) [[likely]] {
      return handleIndexById_[id];
    }
    return resolveHandle(handle);
  }
  std::uint16_t resolveHandle(const Handle& handle);
  void writeSite(const detail::Site& site);

  static constexpr std::uint16_t kUnresolved = 0xffff;

  std::string path_;
  void* base_;
  std::size_t size_;
  detail::Header* header_;
  detail::Slot* slots_;
  // Table index of each handle id seen so far (kUnresolved: not looked up).
  std::vector<std::uint16_t> handleIndexById_;
  // Whether the entry of each site id is in this file's site table.
  std::vector<std::uint8_t> siteWritten_;
};

inline detail::Slot& detail::claim(File& file, const Site& site, const Handle& handle, double time) {
  if (site.id != kNoSite && file.siteWritten_[site.id] == 0) [[unlikely]] {
    file.writeSite(site);
  }
  const std::uint16_t handleIndex = file.handleIndex(handle);
  const int level = site.level;
  const auto mask = static_cast<std::uint64_t>(kRingSizes[level] - 1);
  Slot& slot = file.slots_[kRingStarts[level] + (file.header_->written[level]++ & mask)];
  // The sequence number is cleared first and set last, so a crash or a
  // reader in the middle finds an empty slot, not a mixed record.
  std::atomic_ref<std::uint64_t>(slot.head.sequence).store(0, std::memory_order_relaxed);
  std::atomic_thread_fence(std::memory_order_release);
  slot.head.time = time;
  slot.head.site = site.id;
  slot.head.handle = handleIndex;
  slot.head.level = static_cast<std::uint8_t>(level);
  return slot;
}

inline void detail::commit(File& file, Slot& slot, std::size_t payloadBytes, std::uint8_t flags) {
  slot.head.flags = flags;
  slot.head.payloadBytes = static_cast<std::uint16_t>(payloadBytes);
  std::atomic_thread_fence(std::memory_order_release);
  std::atomic_ref<std::uint64_t>(slot.head.sequence).store(++file.header_->lastSequence, std::memory_order_relaxed);
}

// The active switch context's trace file (Oru::SwitchContext::traceFileIs);
// null stores nothing.
File* current();

// Whether statements of `level` are stored in the current file (all levels
// are, unless RLLEVELS said otherwise at start). A capture sees every level.
void levelEnabledIs(int level, bool enabled);
bool levelEnabled(int level);
// The levels RLLEVELS names, e.g. "0-5,8" or "" (none); throws
// std::invalid_argument for anything else. A bit per level.
std::uint32_t parseLevels(std::string_view text);

// Name of the trace file of this agent: `rlfile` when given and not empty,
// otherwise "VornFabricLldp.rl" in `ringlogdir` (empty: the current
// directory), or "VornFabricLldp-<pid>.rl" in /tmp when `ringlogdir` is null.
std::string traceFileName(const char* rlfile, const char* ringlogdir, int pid);
// traceFileName() of $RLFILE, $RINGLOGDIR and this process.
std::string defaultFileName();

// Gives the active switch context the file defaultFileName() names, opened
// once per process, unless that context has a trace file already. The file
// is kept open until the process ends. A file that cannot be opened is reported
// on stderr and the agent runs on without one.
void initialize();

// Records every trace statement made while it exists, whether or not a file
// is current, formatted at once. Captures nest: only the innermost one
// records, so a test's capture is not disturbed by one a helper opens and
// closes inside it.
class Capture {
 public:
  Capture();
  ~Capture();
  Capture(const Capture&) = delete;
  Capture& operator=(const Capture&) = delete;

  const std::vector<Record>& records() const { return records_; }
  void clear() { records_.clear(); }
  bool contains(std::string_view substring) const;
  bool contains(int level, std::string_view substring) const;
  std::vector<std::string> messages() const;

 private:
  friend void detail::capture(Capture&, const detail::Site&, const Handle&, double, fmt::string_view,
                              fmt::format_args);

  Capture* outer_;
  std::vector<Record> records_;
};

// Every stored record of a trace file, oldest first, formatted. A record
// being written while the file is read, or cut short by a crash, is left
// out. Throws std::runtime_error for a missing, truncated or foreign file.
std::vector<Record> readFile(const std::string& path);

// Stores one trace statement in the current file and the innermost capture.
// `unit` may be a path; only its base name is kept. Levels outside 0..9 are
// filed under the nearest level. Slower than the TRACE macros: it looks its
// statement up by what it says.
template <class... A>
void write(const Handle& handle, int level, const char* unit, const char* function, int line,
           fmt::format_string<A...> fmt, A&&... args) {
  level = level < 0 ? 0 : level >= kLevels ? kLevels - 1 : level;
  if (!detail::active(level)) {
    return;
  }
  detail::Site& site = detail::dynamicSite(level, unit, function, line, fmt);
  detail::trace<std::remove_cvref_t<A>...>(site, handle, site.function,
                                          fmt::runtime(static_cast<fmt::string_view>(fmt)), args...);
}

// Base name of a source path, worked out by the compiler.
consteval const char* unitName(const char* path) {
  const char* base = path;
  for (const char* p = path; *p != '\0'; ++p) {
    if (*p == '/') {
      base = p + 1;
    }
  }
  return base;
}

}  // namespace Ringlog

// Each statement has its own constant-initialized site: no guard, no
// registration until it first fires.
#define RINGLOG_TRACE_(level, ...)                                                                          \
  do {                                                                                                      \
    if (::Ringlog::detail::active(level)) {                                                                 \
      static constinit ::Ringlog::detail::Site ringlogSite_{(level), ::Ringlog::unitName(__FILE__), __LINE__}; \
      ::Ringlog::detail::trace(ringlogSite_, traceHandle, __func__, __VA_ARGS__);                           \
    }                                                                                                       \
  } while (false)

#define TRACE0(...) RINGLOG_TRACE_(0, __VA_ARGS__)
#define TRACE1(...) RINGLOG_TRACE_(1, __VA_ARGS__)
#define TRACE2(...) RINGLOG_TRACE_(2, __VA_ARGS__)
#define TRACE3(...) RINGLOG_TRACE_(3, __VA_ARGS__)
#define TRACE4(...) RINGLOG_TRACE_(4, __VA_ARGS__)
#define TRACE5(...) RINGLOG_TRACE_(5, __VA_ARGS__)
#define TRACE6(...) RINGLOG_TRACE_(6, __VA_ARGS__)
#define TRACE7(...) RINGLOG_TRACE_(7, __VA_ARGS__)
#define TRACE8(...) RINGLOG_TRACE_(8, __VA_ARGS__)
#define TRACE9(...) RINGLOG_TRACE_(9, __VA_ARGS__)

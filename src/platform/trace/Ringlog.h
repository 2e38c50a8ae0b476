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

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <fmt/core.h>

namespace Ringlog {

inline constexpr int kLevels = 10;

// Number of records each level keeps, levels 0..9.
inline constexpr std::array<int, kLevels> kRingSizes{256, 128, 128, 32, 32, 32, 256, 32, 64, 64};

// What a stored record keeps of each text; longer texts are cut (a message
// is never cut inside a UTF-8 character). A capture keeps the whole message.
inline constexpr std::size_t kMessageCapacity = 256;
inline constexpr std::size_t kUnitCapacity = 37;
inline constexpr std::size_t kFunctionCapacity = 63;
inline constexpr std::size_t kHandleNameCapacity = 63;
// Distinct handle names one file can name; records of further handles are
// still stored, with the handle shown as "?".
inline constexpr std::size_t kMaxHandles = 128;

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

class File;
class Capture;

namespace detail {
// Where trace statements go; read inline by write() so a statement with
// nowhere to go costs two loads and no formatting.
inline File* currentFile = nullptr;
inline Capture* innermostCapture = nullptr;

void write(const Handle& handle, int level, const char* unit, const char* function, int line,
           fmt::string_view format, fmt::format_args args);
}  // namespace detail

// One open trace file: a header (magic, version, handle table, write
// positions) followed by the slots of all rings, mapped shared so every
// record is in the file the moment it is written.
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
  friend void detail::write(const Handle&, int, const char*, const char*, int, fmt::string_view,
                            fmt::format_args);

  File(std::string path, void* base, std::size_t size);
  std::uint16_t handleIndex(const Handle& handle);
  void store(const Handle& handle, int level, const char* unit, const char* function, int line,
             double time, fmt::string_view format, fmt::format_args args);

  std::string path_;
  void* base_;
  std::size_t size_;
  // Table index of each handle id seen so far (kUnresolved: not looked up).
  std::vector<std::uint16_t> handleIndexById_;
};

// The file trace statements are stored in; null stores nothing. Not owned.
void currentIs(File* file);
File* current();

// Name of the trace file of this agent: `rlfile` when given and not empty,
// otherwise "VornFabricLldp.rl" in `ringlogdir` (empty: the current
// directory), or "VornFabricLldp-<pid>.rl" in /tmp when `ringlogdir` is null.
std::string traceFileName(const char* rlfile, const char* ringlogdir, int pid);
// traceFileName() of $RLFILE, $RINGLOGDIR and this process.
std::string defaultFileName();

// Opens defaultFileName() and makes it current, unless a file is current
// already. The file is kept open until the process ends. A file that cannot
// be opened is reported on stderr and the agent runs on without one.
void initialize();

// Time source of the records' time stamps, in seconds; null restores the
// default (CLOCK_REALTIME).
void clockIs(std::function<double()> clock);

// Records every trace statement made while it exists, whether or not a file
// is current. Captures nest: only the innermost one records, so a test's
// capture is not disturbed by one a helper opens and closes inside it.
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
  friend void detail::write(const Handle&, int, const char*, const char*, int, fmt::string_view,
                            fmt::format_args);

  Capture* outer_;
  std::vector<Record> records_;
};

// Every stored record of a trace file, oldest first. Throws
// std::runtime_error for a missing, truncated or foreign file.
std::vector<Record> readFile(const std::string& path);

// Stores one trace statement in the current file and the innermost capture.
// `unit` may be a path; only its base name is kept. Levels outside 0..9 are
// filed under the nearest level.
template <class... A>
void write(const Handle& handle, int level, const char* unit, const char* function, int line,
           fmt::format_string<A...> fmt, A&&... args) {
  if (detail::currentFile == nullptr && detail::innermostCapture == nullptr) {
    return;
  }
  detail::write(handle, level, unit, function, line, static_cast<fmt::string_view>(fmt),
                fmt::make_format_args(args...));
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

#define RINGLOG_TRACE_(level, ...) \
  ::Ringlog::write(traceHandle, (level), ::Ringlog::unitName(__FILE__), __func__, __LINE__, __VA_ARGS__)

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

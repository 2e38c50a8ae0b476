#include "platform/trace/Ringlog.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <stdexcept>
#include <tuple>
#include <utility>

#include "platform/framework/Values.h"
#include "platform/records/VornTypes.h"
#include "platform/trace/RinglogText.h"

namespace Ringlog {

using namespace detail;

namespace {

// Files initialize() opened, by path; each stays open until the process
// ends, and every context that asks for the same path shares it.
std::map<std::string, std::unique_ptr<File>>& initializedFiles() {
  static std::map<std::string, std::unique_ptr<File>> files;
  return files;
}

std::uint32_t nextHandleId = 0;
std::uint16_t nextSiteId = 0;

// The levels the current file stores, before a capture widens them.
std::uint32_t enabledLevels = (1u << kLevels) - 1;

void updateActiveLevels() { storedLevels = enabledLevels; }

// RLLEVELS, read once at start so the first statement already obeys it.
struct LevelsFromEnvironment {
  LevelsFromEnvironment() {
    const char* text = std::getenv("RLLEVELS");
    if (text == nullptr) {
      return;
    }
    try {
      enabledLevels = parseLevels(text);
    } catch (const std::exception& e) {
      std::fprintf(stderr, "RLLEVELS ignored, every trace level is stored: %s\n", e.what());
    }
    updateActiveLevels();
  }
};
const LevelsFromEnvironment levelsFromEnvironment;

const char* baseName(const char* path) {
  const char* slash = std::strrchr(path, '/');
  return slash != nullptr ? slash + 1 : path;
}

// Copies `text` into a fixed field, cut to fit and NUL-terminated.
template <std::size_t N>
void copyField(char (&field)[N], const char* text) {
  const std::size_t length = strnlen(text, N - 1);
  std::memcpy(field, text, length);
  field[length] = '\0';
}

std::runtime_error systemError(const std::string& what, const std::string& path, int error) {
  return std::runtime_error(fmt::format("{} {}: {}", what, path, std::strerror(error)));
}

}  // namespace

std::string_view RawArg<Kivo::IntfId>::text(const Kivo::IntfId& intf) { return intf.shortName(); }

std::uint64_t RawArg<Vorn::MemberId>::unsignedValue(const Vorn::MemberId& member) { return member.value(); }

const double* RawArg<Zem::Optional<double>>::optionalFloat(const Zem::Optional<double>& value) {
  return value ? &*value : nullptr;
}

Handle::Handle(const char* name) : name_(name != nullptr ? name : ""), id_(nextHandleId++) {}

// --- sites --------------------------------------------------------------------

void detail::prepare(Site& site, const char* function, fmt::string_view format, const ArgKind* kinds,
                     std::size_t argCount) {
  site.function = function != nullptr ? function : "";
  site.format = format.data();
  site.formatSize = format.size();
  site.kinds = kinds;
  site.argCount = static_cast<std::uint8_t>(std::min<std::size_t>(argCount, 255));
  if (nextSiteId < kMaxSites) {
    site.id = nextSiteId++;
  }
  bool deferred = site.id != kNoSite && argCount <= kMaxArgs && format.size() <= kFormatCapacity;
  for (std::size_t i = 0; deferred && i < argCount; ++i) {
    deferred = kinds[i] != ArgKind::none;
  }
  // A value kept as its "{}" text prints the same only in a field without a
  // spec.
  if (deferred) {
    std::vector<bool> textArgs(argCount);
    for (std::size_t i = 0; i < argCount; ++i) {
      textArgs[i] = kinds[i] == ArgKind::text || kinds[i] == ArgKind::optionalFloat64;
    }
    deferred = textOnlyInPlainFields(std::string_view(format.data(), format.size()), textArgs);
  }
  site.mode = deferred ? SiteMode::deferred : SiteMode::eager;
}

Site& detail::dynamicSite(int level, const char* unit, const char* function, int line, fmt::string_view format) {
  struct Owned {
    std::string unit;
    std::string function;
    std::string format;
    Site site{0, nullptr, 0};
  };
  using Key = std::tuple<int, std::string, std::string, int, std::string>;
  static std::map<Key, std::unique_ptr<Owned>> sites;
  Key key{level, baseName(unit != nullptr ? unit : ""), function != nullptr ? function : "", line,
          std::string(format.data(), format.size())};
  auto& owned = sites[key];
  if (!owned) {
    owned = std::make_unique<Owned>();
    owned->unit = std::get<1>(key);
    owned->function = std::get<2>(key);
    owned->format = std::get<4>(key);
    owned->site = Site(level, owned->unit.c_str(), line);
    owned->site.function = owned->function.c_str();
  }
  return owned->site;
}

// --- File -------------------------------------------------------------------

std::unique_ptr<File> File::open(const std::string& path) {
  // The file is built under a temporary name and renamed into place rather
  // than truncated: another process may still have the old file mapped (a
  // previous agent instance, a parallel test) and would fault on a shrunk
  // mapping, and a reader never finds a half-made file under the real name.
  std::string temporary = path + ".XXXXXX";
  const int fd = mkostemp(temporary.data(), O_CLOEXEC);
  if (fd < 0) {
    throw systemError("cannot create trace file", path, errno);
  }
  auto fail = [&](const char* what, int error) {
    ::close(fd);
    ::unlink(temporary.c_str());
    return systemError(what, path, error);
  };
  if (::fchmod(fd, 0644) != 0) {
    throw fail("cannot set the mode of trace file", errno);
  }
  // Reserve the blocks now: a full disk must fail here, not as SIGBUS on a
  // trace statement later.
  if (const int error = posix_fallocate(fd, 0, static_cast<off_t>(kFileBytes)); error != 0) {
    if (error != EOPNOTSUPP && error != EINVAL) {
      throw fail("cannot size trace file", error);
    }
    if (::ftruncate(fd, static_cast<off_t>(kFileBytes)) != 0) {
      throw fail("cannot size trace file", errno);
    }
  }
  void* base = ::mmap(nullptr, kFileBytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (base == MAP_FAILED) {
    throw fail("cannot map trace file", errno);
  }
  ::close(fd);

  auto* header = static_cast<Header*>(base);
  std::memcpy(header->magic, kMagic, sizeof(kMagic));
  header->version = kVersion;
  header->headerBytes = static_cast<std::uint32_t>(kHeaderBytes);
  header->slotBytes = static_cast<std::uint32_t>(kSlotBytes);
  header->siteBytes = static_cast<std::uint32_t>(kSiteBytes);
  header->levels = kLevels;
  for (int level = 0; level < kLevels; ++level) {
    header->ringSizes[level] = static_cast<std::uint32_t>(kRingSizes[level]);
  }
  header->maxHandles = kMaxHandles;
  header->maxSites = kMaxSites;
  header->maxArgs = kMaxArgs;

  if (::rename(temporary.c_str(), path.c_str()) != 0) {
    const int error = errno;
    ::munmap(base, kFileBytes);
    ::unlink(temporary.c_str());
    throw systemError("cannot create trace file", path, error);
  }
  return std::unique_ptr<File>(new File(path, base, kFileBytes));
}

File::File(std::string path, void* base, std::size_t size)
    : path_(std::move(path)),
      base_(base),
      size_(size),
      header_(static_cast<Header*>(base)),
      slots_(reinterpret_cast<Slot*>(static_cast<char*>(base) + kSlotsOffset)),
      siteWritten_(kMaxSites, 0) {}

File::~File() {
  Oru::SwitchContext* context = Oru::SwitchContext::active();
  if (context != nullptr && context->traceFile() == this) context->traceFileIs(nullptr);
  ::msync(base_, size_, MS_SYNC);
  ::munmap(base_, size_);
}

std::uint16_t File::resolveHandle(const Handle& handle) {
  const std::uint32_t id = handle.id();
  if (id >= handleIndexById_.size()) {
    handleIndexById_.resize(id + 1, kUnresolved);
  }
  // Handles of the same name (one per source unit is common) share an entry.
  auto& header = *header_;
  char name[kHandleNameCapacity + 1];
  copyField(name, handle.name());
  std::uint16_t index = kNoHandle;
  for (std::uint32_t i = 0; i < header.handleCount; ++i) {
    if (std::strncmp(header.handles[i], name, sizeof(name)) == 0) {
      index = static_cast<std::uint16_t>(i);
      break;
    }
  }
  if (index == kNoHandle && header.handleCount < kMaxHandles) {
    index = static_cast<std::uint16_t>(header.handleCount);
    copyField(header.handles[index], name);
    std::atomic_thread_fence(std::memory_order_release);
    ++header.handleCount;
  }
  handleIndexById_[id] = index;
  return index;
}

void File::writeSite(const Site& site) {
  auto* entries = reinterpret_cast<SiteEntry*>(static_cast<char*>(base_) + kSitesOffset);
  SiteEntry& entry = entries[site.id];
  entry.written = 0;
  entry.line = site.line;
  entry.level = static_cast<std::uint8_t>(site.level);
  // A statement with more arguments than kMaxArgs is always formatted when
  // made; its kinds are never needed.
  entry.argCount = site.argCount <= kMaxArgs ? site.argCount : 0;
  entry.reserved = 0;
  std::memset(entry.kinds, 0, sizeof(entry.kinds));
  for (std::size_t i = 0; i < entry.argCount; ++i) {
    entry.kinds[i] = static_cast<std::uint8_t>(site.kinds[i]);
  }
  copyField(entry.unit, site.unit != nullptr ? site.unit : "");
  copyField(entry.function, site.function != nullptr ? site.function : "");
  const std::size_t formatBytes = std::min(site.formatSize, kFormatCapacity);
  std::memcpy(entry.format, site.format, formatBytes);
  entry.formatBytes = static_cast<std::uint16_t>(formatBytes);
  std::atomic_thread_fence(std::memory_order_release);
  std::atomic_ref<std::uint32_t>(entry.written).store(kSiteWritten, std::memory_order_relaxed);
  siteWritten_[site.id] = 1;
}

// --- writing ------------------------------------------------------------------

void detail::formatInto(Slot& slot, fmt::string_view format, fmt::format_args args, std::size_t& length) {
  try {
    const auto result = fmt::vformat_to_n(slot.payload, kMessageCapacity, format, args);
    length = result.size;
    if (length > kMessageCapacity) {
      length = utf8Prefix(slot.payload, kMessageCapacity);
    }
  } catch (const std::exception& e) {
    const auto result = fmt::format_to_n(slot.payload, kMessageCapacity, "<bad trace format \"{}\": {}>",
                                         std::string_view(format.data(), format.size()), e.what());
    length = std::min(result.size, kMessageCapacity);
  }
}

void detail::storeFormatted(File& file, const Site& site, const Handle& handle, double time, fmt::string_view format,
                            fmt::format_args args) {
  Slot& slot = claim(file, site, handle, time);
  std::size_t length = 0;
  formatInto(slot, format, args, length);
  commit(file, slot, length, kPreformatted);
}

void detail::capture(Capture& capture, const Site& site, const Handle& handle, double time, fmt::string_view format,
                     fmt::format_args args) {
  std::string message;
  try {
    message = fmt::vformat(format, args);
  } catch (const std::exception& e) {
    message =
        fmt::format("<bad trace format \"{}\": {}>", std::string_view(format.data(), format.size()), e.what());
  }
  capture.records_.push_back(Record{site.level, handle.name(), site.unit != nullptr ? site.unit : "",
                                    site.function != nullptr ? site.function : "", site.line, time,
                                    std::move(message)});
}


// --- current file, levels, naming, clock ----------------------------------------

File* current() { return currentFile(); }

void levelEnabledIs(int level, bool enabled) {
  if (level < 0 || level >= kLevels) {
    return;
  }
  if (enabled) {
    enabledLevels |= 1u << level;
  } else {
    enabledLevels &= ~(1u << level);
  }
  updateActiveLevels();
}

bool levelEnabled(int level) { return level >= 0 && level < kLevels && (enabledLevels & (1u << level)) != 0; }

std::uint32_t parseLevels(std::string_view text) {
  std::uint32_t levels = 0;
  auto digit = [&](std::string_view part, std::size_t at) {
    if (at >= part.size() || part[at] < '0' || part[at] > '9') {
      throw std::invalid_argument(fmt::format("\"{}\" is not a level 0-9 or a range such as 2-6", part));
    }
    return part[at] - '0';
  };
  while (!text.empty()) {
    const std::size_t comma = text.find(',');
    const std::string_view part = text.substr(0, comma);
    text = comma == std::string_view::npos ? std::string_view() : text.substr(comma + 1);
    if (part.size() == 1) {
      levels |= 1u << digit(part, 0);
    } else if (part.size() == 3 && part[1] == '-' && digit(part, 0) <= digit(part, 2)) {
      for (int level = digit(part, 0); level <= digit(part, 2); ++level) {
        levels |= 1u << level;
      }
    } else {
      digit(part, part.size());  // throws with the part's text
    }
  }
  return levels;
}

std::string traceFileName(const char* rlfile, const char* ringlogdir, int pid) {
  if (rlfile != nullptr && *rlfile != '\0') {
    return rlfile;
  }
  // A process without a trace directory gets its own file, so agents of
  // different processes do not overwrite each other's trace. A directory
  // that is set but empty is the current one.
  std::string path = ringlogdir != nullptr ? ringlogdir : "/tmp";
  if (!path.empty() && path.back() != '/') {
    path += '/';
  }
  path += "VornFabricLldp";
  if (ringlogdir == nullptr) {
    path += fmt::format("-{}", pid);
  }
  path += ".rl";
  return path;
}

std::string defaultFileName() {
  return traceFileName(std::getenv("RLFILE"), std::getenv("RINGLOGDIR"), static_cast<int>(::getpid()));
}

void initialize() {
  if (current() != nullptr) {
    return;
  }
  const std::string path = defaultFileName();
  try {
    auto& file = initializedFiles()[path];
    if (!file) file = File::open(path);
    if (Oru::SwitchContext* context = Oru::SwitchContext::active()) context->traceFileIs(file.get());
  } catch (const std::exception& e) {
    std::fprintf(stderr, "ring-buffer trace disabled, tracing continues without a file: %s\n", e.what());
  }
}

// --- capture -----------------------------------------------------------------

Capture::Capture() : outer_(innermostCapture) { innermostCapture = this; }

Capture::~Capture() { innermostCapture = outer_; }

bool Capture::contains(std::string_view substring) const {
  return std::any_of(records_.begin(), records_.end(),
                     [&](const Record& r) { return r.message.find(substring) != std::string::npos; });
}

bool Capture::contains(int level, std::string_view substring) const {
  return std::any_of(records_.begin(), records_.end(), [&](const Record& r) {
    return r.level == level && r.message.find(substring) != std::string::npos;
  });
}

std::vector<std::string> Capture::messages() const {
  std::vector<std::string> messages;
  messages.reserve(records_.size());
  for (const Record& r : records_) {
    messages.push_back(r.message);
  }
  return messages;
}

}  // namespace Ringlog

// Reading a trace file: each record's arguments are formatted here, with the
// format its call site left in the file's site table.

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <utility>

#include <fmt/args.h>
#include <fmt/format.h>

#include "platform/trace/Ringlog.h"
#include "platform/trace/RinglogText.h"

namespace Ringlog {

using namespace detail;

namespace {

std::runtime_error systemError(const std::string& what, const std::string& path, int error) {
  return std::runtime_error(fmt::format("{} {}: {}", what, path, std::strerror(error)));
}

template <std::size_t N>
std::string readField(const char (&field)[N]) {
  return std::string(field, strnlen(field, N));
}

// A read-only view of the whole file, unmapped when it goes.
class Mapping {
 public:
  Mapping(const void* base, std::size_t size) : base_(base), size_(size) {}
  ~Mapping() { ::munmap(const_cast<void*>(base_), size_); }
  Mapping(const Mapping&) = delete;
  Mapping& operator=(const Mapping&) = delete;
  const char* bytes() const { return static_cast<const char*>(base_); }

 private:
  const void* base_;
  std::size_t size_;
};

// Checks the header and maps the file; throws for anything but a whole trace
// file of this version and layout.
std::unique_ptr<Mapping> mapTraceFile(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    throw systemError("cannot open trace file", path, errno);
  }
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    throw systemError("cannot read trace file", path, errno);
  }
  const auto size = static_cast<std::size_t>(st.st_size);
  Header header{};
  const ssize_t got = ::pread(fd, &header, sizeof(header), 0);
  if (got < 0) {
    throw systemError("cannot read trace file", path, errno);
  }
  const auto have = static_cast<std::size_t>(got);
  if (have < sizeof(kMagic) || std::memcmp(header.magic, kMagic, sizeof(kMagic)) != 0) {
    throw std::runtime_error(fmt::format("{} is not a ring-buffer trace file", path));
  }
  if (have < sizeof(Header)) {
    throw std::runtime_error(fmt::format("trace file {} is truncated ({} bytes)", path, size));
  }
  if (header.version != kVersion) {
    throw std::runtime_error(
        fmt::format("trace file {} has version {}, this reader knows version {}", path, header.version, kVersion));
  }
  bool layoutMatches = header.headerBytes == kHeaderBytes && header.slotBytes == kSlotBytes &&
                       header.siteBytes == kSiteBytes && header.levels == kLevels &&
                       header.maxHandles == kMaxHandles && header.maxSites == kMaxSites &&
                       header.maxArgs == kMaxArgs;
  for (int level = 0; level < kLevels; ++level) {
    layoutMatches = layoutMatches && header.ringSizes[level] == static_cast<std::uint32_t>(kRingSizes[level]);
  }
  if (!layoutMatches) {
    throw std::runtime_error(fmt::format("trace file {} has an unknown layout", path));
  }
  if (size != kFileBytes) {
    throw std::runtime_error(fmt::format("trace file {} is {} ({} bytes, expected {})", path,
                                         size < kFileBytes ? "truncated" : "oversized", size, kFileBytes));
  }
  void* base = ::mmap(nullptr, kFileBytes, PROT_READ, MAP_SHARED, fd, 0);
  if (base == MAP_FAILED) {
    throw systemError("cannot map trace file", path, errno);
  }
  return std::make_unique<Mapping>(base, kFileBytes);
}

// The call sites of a file, as far as they were written completely.
std::vector<std::optional<SiteEntry>> readSites(const char* bytes) {
  std::vector<std::optional<SiteEntry>> sites(kMaxSites);
  for (std::size_t i = 0; i < kMaxSites; ++i) {
    const char* at = bytes + kSitesOffset + i * kSiteBytes;
    std::uint32_t written = 0;
    std::memcpy(&written, at, sizeof(written));
    if (written != kSiteWritten) {
      continue;
    }
    std::atomic_thread_fence(std::memory_order_acquire);
    SiteEntry entry;
    std::memcpy(&entry, at, sizeof(entry));
    // Argument kinds are checked when a record needs them: a statement
    // formatted when made may have arguments without a raw form.
    if (entry.argCount <= kMaxArgs && entry.formatBytes <= kFormatCapacity && entry.level < kLevels) {
      sites[i] = entry;
    }
  }
  return sites;
}

// Reads a payload's arguments into `store`; false when they do not add up
// to the payload (a torn or foreign record).
bool decodeArguments(const SiteEntry& site, const char* payload, std::size_t size,
                     fmt::dynamic_format_arg_store<fmt::format_context>& store) {
  std::size_t at = 0;
  auto take = [&](auto& value) {
    if (size - at < sizeof(value)) {
      return false;
    }
    std::memcpy(&value, payload + at, sizeof(value));
    at += sizeof(value);
    return true;
  };
  for (std::size_t a = 0; a < site.argCount; ++a) {
    switch (static_cast<ArgKind>(site.kinds[a])) {
      case ArgKind::signedInt: {
        std::int64_t v = 0;
        if (!take(v)) return false;
        store.push_back(v);
        break;
      }
      case ArgKind::unsignedInt: {
        std::uint64_t v = 0;
        if (!take(v)) return false;
        store.push_back(v);
        break;
      }
      case ArgKind::boolean: {
        char v = 0;
        if (!take(v)) return false;
        store.push_back(v != 0);
        break;
      }
      case ArgKind::character: {
        char v = 0;
        if (!take(v)) return false;
        store.push_back(v);
        break;
      }
      case ArgKind::float32: {
        float v = 0;
        if (!take(v)) return false;
        store.push_back(v);
        break;
      }
      case ArgKind::float64: {
        double v = 0;
        if (!take(v)) return false;
        store.push_back(v);
        break;
      }
      case ArgKind::optionalFloat64: {
        char present = 0;
        if (!take(present)) return false;
        if (present == 0) {
          store.push_back(std::string_view("OptionalNone"));
          break;
        }
        double v = 0;
        if (!take(v)) return false;
        store.push_back(v);
        break;
      }
      case ArgKind::pointer: {
        std::uint64_t v = 0;
        if (!take(v)) return false;
        store.push_back(reinterpret_cast<const void*>(static_cast<std::uintptr_t>(v)));
        break;
      }
      case ArgKind::string:
      case ArgKind::text: {
        std::uint16_t length = 0;
        if (!take(length) || size - at < length) return false;
        store.push_back(std::string_view(payload + at, length));
        at += length;
        break;
      }
      default:
        return false;
    }
  }
  return at == size;
}

std::string formatRecord(const SiteEntry& site, const char* payload, std::size_t size, bool& sound) {
  fmt::dynamic_format_arg_store<fmt::format_context> store;
  sound = decodeArguments(site, payload, size, store);
  if (!sound) {
    return {};
  }
  const std::string_view format(site.format, site.formatBytes);
  std::string message;
  try {
    message = fmt::vformat(fmt::string_view(format.data(), format.size()), store);
  } catch (const std::exception& e) {
    message = fmt::format("<bad trace format \"{}\": {}>", format, e.what());
  }
  if (message.size() > kMessageCapacity) {
    message.resize(utf8Prefix(message.data(), kMessageCapacity));
  }
  return message;
}

}  // namespace

std::vector<Record> readFile(const std::string& path) {
  const auto mapping = mapTraceFile(path);
  const char* bytes = mapping->bytes();
  Header header;
  std::memcpy(&header, bytes, sizeof(header));
  const std::uint32_t handleCount = std::min<std::uint32_t>(header.handleCount, kMaxHandles);
  const auto sites = readSites(bytes);

  std::vector<std::pair<std::uint64_t, Record>> found;
  for (std::size_t i = 0; i < kTotalSlots; ++i) {
    // A slot read while the agent rewrites it changes its sequence number:
    // only a copy made between two equal readings is whole.
    const auto* live = reinterpret_cast<const Slot*>(bytes + kSlotsOffset + i * kSlotBytes);
    const std::uint64_t before = __atomic_load_n(&live->head.sequence, __ATOMIC_ACQUIRE);
    if (before == 0) {
      continue;
    }
    Slot slot;
    std::memcpy(&slot, live, sizeof(slot));
    std::atomic_thread_fence(std::memory_order_acquire);
    if (__atomic_load_n(&live->head.sequence, __ATOMIC_RELAXED) != before || slot.head.level >= kLevels ||
        slot.head.payloadBytes > kPayloadCapacity) {
      continue;
    }
    const SiteEntry* site = slot.head.site < sites.size() && sites[slot.head.site] ? &*sites[slot.head.site] : nullptr;
    const bool preformatted = (slot.head.flags & kPreformatted) != 0;
    if (site == nullptr && !(preformatted && slot.head.site == kNoSite)) {
      continue;  // its call site never made it into the file
    }
    std::string message;
    if (preformatted) {
      if (slot.head.payloadBytes > kMessageCapacity) {
        continue;
      }
      message.assign(slot.payload, slot.head.payloadBytes);
    } else {
      bool sound = false;
      message = formatRecord(*site, slot.payload, slot.head.payloadBytes, sound);
      if (!sound) {
        continue;
      }
    }
    Record record{
        slot.head.level,
        slot.head.handle < handleCount ? readField(header.handles[slot.head.handle]) : std::string("?"),
        site != nullptr ? readField(site->unit) : std::string("?"),
        site != nullptr ? readField(site->function) : std::string("?"),
        site != nullptr ? site->line : 0,
        slot.head.time,
        std::move(message),
    };
    found.emplace_back(slot.head.sequence, std::move(record));
  }
  std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<Record> records;
  records.reserve(found.size());
  for (auto& entry : found) {
    records.push_back(std::move(entry.second));
  }
  return records;
}

}  // namespace Ringlog

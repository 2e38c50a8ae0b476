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
#include <stdexcept>
#include <type_traits>
#include <utility>

#include <fmt/format.h>

#include "platform/framework/WallClock.h"

namespace Ringlog {

namespace {

// File layout. Changing any of it means a new kVersion, so an older reader
// refuses the file instead of misreading it.
constexpr char kMagic[8] = {'V', 'o', 'r', 'n', 'R', 'i', 'n', 'g'};
constexpr std::uint32_t kVersion = 1;

struct Slot {
  std::uint64_t sequence;  // 0: never written (or being written)
  double time;
  std::int32_t line;
  std::uint16_t handle;  // index into Header::handles
  std::uint8_t level;
  std::uint8_t reserved;
  std::uint16_t messageBytes;
  char unit[kUnitCapacity + 1];
  char function[kFunctionCapacity + 1];
  char message[kMessageCapacity];  // not NUL-terminated
};
static_assert(sizeof(Slot) == 384, "slot layout changed: bump kVersion");
static_assert(std::is_trivially_copyable_v<Slot> && std::is_standard_layout_v<Slot>);

struct Header {
  char magic[8];
  std::uint32_t version;
  std::uint32_t headerBytes;
  std::uint32_t slotBytes;
  std::uint32_t levels;
  std::uint32_t ringSizes[kLevels];
  std::uint32_t maxHandles;
  std::uint32_t handleCount;
  std::uint64_t lastSequence;
  std::uint64_t written[kLevels];  // records ever written per level
  char handles[kMaxHandles][kHandleNameCapacity + 1];
};
static_assert(std::is_trivially_copyable_v<Header> && std::is_standard_layout_v<Header>);

constexpr std::uint16_t kNoHandle = 0xfffe;    // handle table was full
constexpr std::uint16_t kUnresolved = 0xffff;  // File::handleIndexById_ only

// Slots start on a page boundary after the header.
constexpr std::size_t kHeaderBytes = (sizeof(Header) + 4095) / 4096 * 4096;

constexpr std::array<std::size_t, kLevels + 1> ringStarts() {
  std::array<std::size_t, kLevels + 1> starts{};
  for (int level = 0; level < kLevels; ++level) {
    starts[level + 1] = starts[level] + static_cast<std::size_t>(kRingSizes[level]);
  }
  return starts;
}
constexpr std::array<std::size_t, kLevels + 1> kRingStarts = ringStarts();
constexpr std::size_t kTotalSlots = kRingStarts[kLevels];
constexpr std::size_t kFileBytes = kHeaderBytes + kTotalSlots * sizeof(Slot);

Zem::WallClock& wallClock() {
  static Zem::WallClock clock;
  return clock;
}

double now() { return wallClock().now(); }

std::unique_ptr<File>& initializedFile() {
  static std::unique_ptr<File> file;
  return file;
}

std::uint32_t nextHandleId = 0;

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

template <std::size_t N>
std::string readField(const char (&field)[N]) {
  return std::string(field, strnlen(field, N));
}

// Length of the longest prefix of `text[0, length)` that does not end inside
// a UTF-8 character, so a cut message stays printable.
std::size_t utf8Prefix(const char* text, std::size_t length) {
  std::size_t start = length;
  while (start > 0 && length - start < 3 && (static_cast<unsigned char>(text[start - 1]) & 0xc0) == 0x80) {
    --start;
  }
  if (start == 0) {
    return length;
  }
  const auto lead = static_cast<unsigned char>(text[start - 1]);
  const std::size_t needed = lead >= 0xf0 ? 4 : lead >= 0xe0 ? 3 : lead >= 0xc0 ? 2 : 1;
  return length - (start - 1) < needed ? start - 1 : length;
}

std::runtime_error systemError(const std::string& what, const std::string& path, int error) {
  return std::runtime_error(fmt::format("{} {}: {}", what, path, std::strerror(error)));
}

}  // namespace

Handle::Handle(const char* name) : name_(name != nullptr ? name : ""), id_(nextHandleId++) {}

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
  header->slotBytes = sizeof(Slot);
  header->levels = kLevels;
  for (int level = 0; level < kLevels; ++level) {
    header->ringSizes[level] = static_cast<std::uint32_t>(kRingSizes[level]);
  }
  header->maxHandles = kMaxHandles;

  if (::rename(temporary.c_str(), path.c_str()) != 0) {
    const int error = errno;
    ::munmap(base, kFileBytes);
    ::unlink(temporary.c_str());
    throw systemError("cannot create trace file", path, error);
  }
  return std::unique_ptr<File>(new File(path, base, kFileBytes));
}

File::File(std::string path, void* base, std::size_t size) : path_(std::move(path)), base_(base), size_(size) {}

File::~File() {
  if (detail::currentFile == this) {
    detail::currentFile = nullptr;
  }
  ::msync(base_, size_, MS_SYNC);
  ::munmap(base_, size_);
}

std::uint16_t File::handleIndex(const Handle& handle) {
  const std::uint32_t id = handle.id();
  if (id < handleIndexById_.size() && handleIndexById_[id] != kUnresolved) {
    return handleIndexById_[id];
  }
  if (id >= handleIndexById_.size()) {
    handleIndexById_.resize(id + 1, kUnresolved);
  }
  // Handles of the same name (one per source unit is common) share an entry.
  auto& header = *static_cast<Header*>(base_);
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
    ++header.handleCount;
  }
  handleIndexById_[id] = index;
  return index;
}

void File::store(const Handle& handle, int level, const char* unit, const char* function, int line,
                 double time, fmt::string_view format, fmt::format_args args) {
  auto& header = *static_cast<Header*>(base_);
  const std::uint16_t handleIndex = this->handleIndex(handle);
  const auto ringSize = static_cast<std::uint64_t>(kRingSizes[level]);
  Slot* slots = reinterpret_cast<Slot*>(static_cast<char*>(base_) + kHeaderBytes);
  Slot& slot = slots[kRingStarts[level] + header.written[level]++ % ringSize];

  // The sequence number is cleared first and set last, so a crash in the
  // middle (a bad formatter, say) leaves an empty slot, not a mixed record.
  slot.sequence = 0;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  slot.time = time;
  slot.line = line;
  slot.handle = handleIndex;
  slot.level = static_cast<std::uint8_t>(level);
  slot.reserved = 0;
  copyField(slot.unit, unit);
  copyField(slot.function, function);
  std::size_t length = 0;
  try {
    const auto result = fmt::vformat_to_n(slot.message, kMessageCapacity, format, args);
    length = result.size;
    if (length > kMessageCapacity) {
      length = utf8Prefix(slot.message, kMessageCapacity);
    }
  } catch (const std::exception& e) {
    const auto result = fmt::format_to_n(slot.message, kMessageCapacity, "<bad trace format \"{}\": {}>",
                                         std::string_view(format.data(), format.size()), e.what());
    length = std::min(result.size, kMessageCapacity);
  }
  slot.messageBytes = static_cast<std::uint16_t>(length);
  std::atomic_signal_fence(std::memory_order_seq_cst);
  slot.sequence = ++header.lastSequence;
}

// --- current file, naming, clock ---------------------------------------------

void currentIs(File* file) { detail::currentFile = file; }

File* current() { return detail::currentFile; }

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
    auto& file = initializedFile();
    file = File::open(path);
    currentIs(file.get());
  } catch (const std::exception& e) {
    std::fprintf(stderr, "ring-buffer trace disabled, tracing continues without a file: %s\n", e.what());
  }
}

void clockIs(std::function<double()> clock) { wallClock().clockIs(std::move(clock)); }

// --- writing ------------------------------------------------------------------

void detail::write(const Handle& handle, int level, const char* unit, const char* function, int line,
                   fmt::string_view format, fmt::format_args args) {
  level = std::clamp(level, 0, kLevels - 1);
  unit = baseName(unit != nullptr ? unit : "");
  function = function != nullptr ? function : "";
  const double time = now();
  if (File* file = currentFile) {
    file->store(handle, level, unit, function, line, time, format, args);
  }
  if (Capture* capture = innermostCapture) {
    std::string message;
    try {
      message = fmt::vformat(format, args);
    } catch (const std::exception& e) {
      message = fmt::format("<bad trace format \"{}\": {}>", std::string_view(format.data(), format.size()),
                            e.what());
    }
    capture->records_.push_back(Record{level, handle.name(), unit, function, line, time, std::move(message)});
  }
}

// --- capture -----------------------------------------------------------------

Capture::Capture() : outer_(detail::innermostCapture) { detail::innermostCapture = this; }

Capture::~Capture() { detail::innermostCapture = outer_; }

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

// --- reading -----------------------------------------------------------------

std::vector<Record> readFile(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    throw systemError("cannot open trace file", path, errno);
  }
  std::string bytes;
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof(buffer));
    if (n < 0) {
      if (errno == EINTR) {
        continue;
      }
      const int error = errno;
      ::close(fd);
      throw systemError("cannot read trace file", path, error);
    }
    if (n == 0) {
      break;
    }
    bytes.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fd);

  if (bytes.size() < sizeof(kMagic) || std::memcmp(bytes.data(), kMagic, sizeof(kMagic)) != 0) {
    throw std::runtime_error(fmt::format("{} is not a ring-buffer trace file", path));
  }
  if (bytes.size() < sizeof(Header)) {
    throw std::runtime_error(fmt::format("trace file {} is truncated ({} bytes)", path, bytes.size()));
  }
  Header header;
  std::memcpy(&header, bytes.data(), sizeof(header));
  if (header.version != kVersion) {
    throw std::runtime_error(
        fmt::format("trace file {} has version {}, this reader knows version {}", path, header.version, kVersion));
  }
  bool layoutMatches = header.headerBytes == kHeaderBytes && header.slotBytes == sizeof(Slot) &&
                       header.levels == kLevels && header.maxHandles == kMaxHandles;
  for (int level = 0; level < kLevels; ++level) {
    layoutMatches = layoutMatches && header.ringSizes[level] == static_cast<std::uint32_t>(kRingSizes[level]);
  }
  if (!layoutMatches) {
    throw std::runtime_error(fmt::format("trace file {} has an unknown layout", path));
  }
  if (bytes.size() != kFileBytes) {
    throw std::runtime_error(fmt::format("trace file {} is {} ({} bytes, expected {})", path,
                                         bytes.size() < kFileBytes ? "truncated" : "oversized", bytes.size(),
                                         kFileBytes));
  }

  std::vector<std::pair<std::uint64_t, Record>> found;
  for (std::size_t i = 0; i < kTotalSlots; ++i) {
    Slot slot;
    std::memcpy(&slot, bytes.data() + kHeaderBytes + i * sizeof(Slot), sizeof(slot));
    if (slot.sequence == 0 || slot.level >= kLevels) {
      continue;
    }
    const std::uint32_t handleCount = std::min<std::uint32_t>(header.handleCount, kMaxHandles);
    Record record{
        slot.level,
        slot.handle < handleCount ? readField(header.handles[slot.handle]) : std::string("?"),
        readField(slot.unit),
        readField(slot.function),
        slot.line,
        slot.time,
        std::string(slot.message, std::min<std::size_t>(slot.messageBytes, kMessageCapacity)),
    };
    found.emplace_back(slot.sequence, std::move(record));
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

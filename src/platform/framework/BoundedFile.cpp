#include "platform/framework/BoundedFile.h"

#include "platform/framework/Fd.h"

#include <fmt/format.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>

namespace Zem {
namespace {

[[noreturn]] void unreadable(int error) {
  throw FileRefused(fmt::format("cannot be read: {}", std::strerror(error)));
}

[[noreturn]] void tooLarge(const std::string& size, size_t maxBytes) {
  throw FileRefused(fmt::format("{} more than the limit of {} ({} bytes)", size, sizeText(maxBytes), maxBytes));
}

bool nothingThere(int error) { return error == ENOENT || error == ENOTDIR; }

// Refuses what is not a regular file of at most the limit.
void checkKind(const struct stat& st, size_t maxBytes) {
  if (S_ISDIR(st.st_mode)) throw FileRefused("is a directory, not a file");
  if (!S_ISREG(st.st_mode)) {
    const char* kind = S_ISFIFO(st.st_mode)   ? "a FIFO"
                       : S_ISCHR(st.st_mode)  ? "a character device"
                       : S_ISBLK(st.st_mode)  ? "a block device"
                       : S_ISSOCK(st.st_mode) ? "a socket"
                                              : "something else";
    throw FileRefused(fmt::format("is {}, not a regular file", kind));
  }
  if (static_cast<uint64_t>(st.st_size) > maxBytes) tooLarge(fmt::format("is {} bytes,", st.st_size), maxBytes);
}

}  // namespace

std::string sizeText(size_t bytes) {
  constexpr size_t kMiB = size_t{1} << 20;
  if (bytes >= kMiB && bytes % kMiB == 0) return fmt::format("{} MiB", bytes / kMiB);
  return fmt::format("{} bytes", bytes);
}

std::optional<std::string> readBoundedFile(const std::string& path, size_t maxBytes, bool mayBeMissing) {
  // A look before the open: opening a device can do things of its own
  // (a watchdog starts, a tape rewinds), so none is opened knowingly.
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    if (mayBeMissing && nothingThere(errno)) return std::nullopt;
    unreadable(errno);
  }
  checkKind(st, maxBytes);
  // What is opened is checked again, since the path may have changed in
  // between: O_NONBLOCK so that a FIFO put there cannot block the open.
  const Fd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (fd.get() < 0) {
    if (mayBeMissing && nothingThere(errno)) return std::nullopt;
    unreadable(errno);
  }
  if (::fstat(fd.get(), &st) != 0) unreadable(errno);
  checkKind(st, maxBytes);
  // The size may grow, or be 0 for a file the kernel makes up as it is
  // read: one byte past the limit is the most ever read.
  std::string text;
  for (;;) {
    const size_t before = text.size();
    const size_t want = std::min<size_t>(64 * 1024, maxBytes + 1 - before);
    text.resize(before + want);
    const ssize_t n = ::read(fd.get(), text.data() + before, want);
    if (n < 0) {
      if (errno == EINTR) {
        text.resize(before);
        continue;
      }
      unreadable(errno);
    }
    text.resize(before + static_cast<size_t>(n));
    if (text.size() > maxBytes) tooLarge("grew to", maxBytes);
    if (n == 0) return text;
  }
}

}  // namespace Zem

#pragma once
// Reading a file that nobody vouches for: the operator's JSON files, and the
// local backup, which an earlier run wrote but anything may have replaced
// since. A path may name anything and a file may be of any size, so only a
// regular file is read, never beyond a limit, and never with a wait: a FIFO
// or a device put where a file is expected is refused for what it is, and
// opening it cannot block.

#include <cstddef>
#include <optional>
#include <stdexcept>
#include <string>

namespace Zem {

// A file that cannot be used; what() is the reason alone, without the path:
// "is a FIFO, not a regular file", "is 2097153 bytes, more than the limit of
// 1 MiB (1048576 bytes)", "cannot be read: Permission denied".
class FileRefused : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The whole of the regular file at `path`, at most `maxBytes` long. With
// `mayBeMissing`, nothing when no file is there (no such name, or a parent
// that is not a directory); otherwise that is refused too.
std::optional<std::string> readBoundedFile(const std::string& path, size_t maxBytes, bool mayBeMissing);

// "1 MiB", "64 MiB", "1000 bytes": a limit as messages show it.
std::string sizeText(size_t bytes);

}  // namespace Zem

#pragma once
// Files an operator (or an attacker with the operator's pen) can name where
// a JSON file is expected, made in a private directory, and a guard that
// turns a read that never returns into a failed test instead of a hung one.

#include "tests/ScratchDir.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace ConfigTesting {

// `depth` lists nested around one 0: "[[[0]]]", 2 * depth + 1 bytes.
inline std::string nestedLists(size_t depth) { return std::string(depth, '[') + "0" + std::string(depth, ']'); }

class HostileDir {
 public:
  const std::filesystem::path& path() const { return dir_; }
  std::string file(const std::string& name, const std::string& text) const {
    std::ofstream(dir_ / name, std::ios::binary) << text;
    return (dir_ / name).string();
  }
  // Nobody ever opens the other end: a reader that waits for a writer
  // waits forever.
  std::string fifo(const std::string& name) const {
    if (::mkfifo((dir_ / name).c_str(), 0600) != 0)
      throw std::runtime_error("mkfifo: " + std::string(std::strerror(errno)));
    return (dir_ / name).string();
  }
  // A file of `size` zero bytes that takes no disk space.
  std::string sparse(const std::string& name, uint64_t size) const {
    return std::filesystem::resize_file(file(name, ""), size), (dir_ / name).string();
  }
  std::string directory(const std::string& name) const {
    return std::filesystem::create_directory(dir_ / name), (dir_ / name).string();
  }

 private:
  TestSupport::ScratchDir scratch_{"vorn-hostile"};
  const std::filesystem::path dir_ = scratch_.path();
};

// Files that are refused for what they are, before any of their bytes is
// parsed: the field is "(file)" and the reason contains `reason`.
struct FileCase { const char* name; std::string path; const char* reason; };

inline std::vector<FileCase> unusableFiles(const HostileDir& dir) {
  return {
      {"character device", "/dev/zero", "is a character device, not a regular file"},
      {"FIFO without a writer", dir.fifo("fifo.json"), "is a FIFO, not a regular file"},
      {"directory", dir.directory("dir.json"), "is a directory, not a file"},
      {"one byte over 1 MiB", dir.sparse("big.json", (1u << 20) + 1), "more than the limit of 1 MiB"},
  };
}

// While one lives, the process ends with a message after `seconds`: a
// guarded call that blocks (a FIFO opened for reading waits for a writer)
// fails the test binary rather than hanging it. Not a timing assertion: the
// guarded calls return at once; the limit only bounds a broken one.
class HangGuard {
 public:
  explicit HangGuard(const char* what, unsigned seconds = 60) {
    what_ = what;
    struct sigaction action{};
    action.sa_handler = &HangGuard::expired;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGALRM, &action, &previous_);
    ::alarm(seconds);
  }
  ~HangGuard() { ::alarm(0), ::sigaction(SIGALRM, &previous_, nullptr); }
  HangGuard(const HangGuard&) = delete;
  HangGuard& operator=(const HangGuard&) = delete;

 private:
  static void expired(int) {
    static const char prefix[] = "\nHangGuard: this call never returned: ";
    (void)!::write(STDERR_FILENO, prefix, sizeof prefix - 1);
    (void)!::write(STDERR_FILENO, what_, std::strlen(what_));
    (void)!::write(STDERR_FILENO, "\n", 1);
    ::_exit(1);
  }

  static inline const char* what_ = "";
  struct sigaction previous_ {};
};

}  // namespace ConfigTesting

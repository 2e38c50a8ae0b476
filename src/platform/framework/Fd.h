#pragma once
// A file descriptor closed on every way out of a scope, so each failed step of
// opening a socket or file leaks nothing.

#include <unistd.h>

#include <utility>

namespace Zem {

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  // Hands the descriptor over to a new owner.
  int release() { return std::exchange(fd_, -1); }
  // Closes now, reporting the result: a failed close can mean lost data.
  int close() { return ::close(release()); }

 private:
  int fd_;
};

}  // namespace Zem

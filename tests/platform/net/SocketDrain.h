#pragma once
// How the line servers' tests read a client's socket: everything that has
// arrived, without waiting, and whether the server has closed its end.

#include <sys/socket.h>

#include <cerrno>
#include <string>

namespace NetTest {

// Appends to `in` what `fd` has been sent so far; false once the server
// closed or reset its end.
inline bool drain(int fd, std::string& in) {
  char buf[65536];
  ssize_t n;
  while ((n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT)) > 0) in.append(buf, static_cast<size_t>(n));
  return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
}

}  // namespace NetTest

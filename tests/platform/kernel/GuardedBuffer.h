#pragma once
// Room for bytes that end right before a page no one may read, so a read
// even one byte past their end stops the process with a segmentation fault.
// The address sanitizer cannot see reads made inside libraries built without
// it (libmnl); the guard page catches those too, in every build.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <stdexcept>

#include <sys/mman.h>
#include <unistd.h>

namespace KernelTest {

class GuardedBuffer {
 public:
  // Room for up to `capacity` bytes.
  explicit GuardedBuffer(size_t capacity) {
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    const size_t dataPages = (capacity + page - 1) / page;
    length_ = (dataPages + 1) * page;
    void* base = mmap(nullptr, length_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (base == MAP_FAILED) throw std::runtime_error("GuardedBuffer: mmap failed");
    base_ = static_cast<uint8_t*>(base);
    guard_ = base_ + dataPages * page;
    if (mprotect(guard_, page, PROT_NONE) != 0) {
      munmap(base_, length_);
      throw std::runtime_error("GuardedBuffer: mprotect failed");
    }
    capacity_ = dataPages * page;
  }
  ~GuardedBuffer() { munmap(base_, length_); }
  GuardedBuffer(const GuardedBuffer&) = delete;
  GuardedBuffer& operator=(const GuardedBuffer&) = delete;

  // A copy of `bytes` ending at the guard page, valid until the next call.
  std::span<const uint8_t> place(std::span<const uint8_t> bytes) {
    if (bytes.size() > capacity_) throw std::length_error("GuardedBuffer: more bytes than its room");
    uint8_t* data = guard_ - bytes.size();
    if (!bytes.empty()) std::memcpy(data, bytes.data(), bytes.size());
    return {data, bytes.size()};
  }

 private:
  uint8_t* base_ = nullptr;
  size_t length_ = 0;
  uint8_t* guard_ = nullptr;
  size_t capacity_ = 0;
};

}  // namespace KernelTest

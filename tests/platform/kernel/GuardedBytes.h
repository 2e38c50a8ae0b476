#pragma once
// A copy of some bytes that ends right before a page no one may read, so a
// read even one byte past the end stops the process with a segmentation
// fault. The address sanitizer cannot see reads made inside libraries built
// without it (libmnl); the guard page catches those too, in every build.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <stdexcept>

#include <sys/mman.h>
#include <unistd.h>

namespace KernelTest {

class GuardedBytes {
 public:
  explicit GuardedBytes(std::span<const uint8_t> bytes) {
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    const size_t dataPages = (bytes.size() + page - 1) / page;
    length_ = (dataPages + 1) * page;
    void* base = mmap(nullptr, length_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (base == MAP_FAILED) throw std::runtime_error("GuardedBytes: mmap failed");
    base_ = static_cast<uint8_t*>(base);
    uint8_t* guard = base_ + dataPages * page;
    if (mprotect(guard, page, PROT_NONE) != 0) {
      munmap(base_, length_);
      throw std::runtime_error("GuardedBytes: mprotect failed");
    }
    data_ = guard - bytes.size();
    if (!bytes.empty()) std::memcpy(data_, bytes.data(), bytes.size());
    size_ = bytes.size();
  }
  ~GuardedBytes() { munmap(base_, length_); }
  GuardedBytes(const GuardedBytes&) = delete;
  GuardedBytes& operator=(const GuardedBytes&) = delete;

  std::span<const uint8_t> span() const { return {data_, size_}; }

 private:
  uint8_t* base_ = nullptr;
  size_t length_ = 0;
  uint8_t* data_ = nullptr;
  size_t size_ = 0;
};

}  // namespace KernelTest

#pragma once
// The one way the LLDP engine reads received bytes: a cursor over a frame
// that refuses to move past its end. Every read checks the bytes left first
// and throws ReadPastEnd instead of reading what is not there, so a decoder
// bug shows up as a rejected frame, never as a read outside the buffer.

#include <cstddef>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>

namespace Lldp::Codec {

class ReadPastEnd : public std::out_of_range {
 public:
  using std::out_of_range::out_of_range;
};

class ByteReader {
 public:
  explicit ByteReader(std::span<const uint8_t> bytes, size_t base = 0) : bytes_(bytes), base_(base) {}

  size_t remaining() const { return bytes_.size() - pos_; }
  bool atEnd() const { return pos_ == bytes_.size(); }
  // Offset of the next byte from the start of the frame (for messages).
  size_t offset() const { return base_ + pos_; }

  uint8_t u8() { return take(1)[0]; }
  // Network byte order.
  uint16_t u16() {
    auto b = take(2);
    return static_cast<uint16_t>(b[0] << 8 | b[1]);
  }
  uint32_t u32() {
    auto b = take(4);
    return uint32_t{b[0]} << 24 | uint32_t{b[1]} << 16 | uint32_t{b[2]} << 8 | uint32_t{b[3]};
  }
  std::span<const uint8_t> bytes(size_t n) { return take(n); }
  std::span<const uint8_t> rest() { return take(remaining()); }
  std::string text(size_t n) {
    auto b = take(n);
    return std::string(b.begin(), b.end());
  }
  // A reader over the next `n` bytes alone; this reader moves past them.
  ByteReader sub(size_t n) {
    size_t at = offset();
    return ByteReader(take(n), at);
  }

 private:
  std::span<const uint8_t> take(size_t n) {
    if (n > remaining()) {
      throw ReadPastEnd("read of " + std::to_string(n) + " bytes at offset " + std::to_string(offset()) +
                        " passes the end (" + std::to_string(remaining()) + " left)");
    }
    auto s = bytes_.subspan(pos_, n);
    pos_ += n;
    return s;
  }

  std::span<const uint8_t> bytes_;
  size_t base_;
  size_t pos_ = 0;
};

}  // namespace Lldp::Codec

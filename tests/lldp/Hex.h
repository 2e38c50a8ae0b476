#pragma once
// Readable test frames: hex digits, with spaces between the parts.

#include <cstdint>
#include <stdexcept>
#include <string_view>
#include <vector>

namespace LldpTest {

inline std::vector<uint8_t> hex(std::string_view text) {
  auto nibble = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    throw std::invalid_argument(std::string("bad hex digit '") + c + "'");
  };
  std::vector<uint8_t> out;
  int high = -1;
  for (char c : text) {
    if (c == ' ') continue;
    if (high < 0) {
      high = nibble(c);
    } else {
      out.push_back(static_cast<uint8_t>(high * 16 + nibble(c)));
      high = -1;
    }
  }
  if (high >= 0) throw std::invalid_argument("odd number of hex digits");
  return out;
}

}  // namespace LldpTest

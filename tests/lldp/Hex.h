#pragma once
// Readable test frames: hex digits, with spaces between the parts.

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace LldpTest {

inline std::vector<uint8_t> hex(std::string_view text) {
  std::string digits(text);
  std::erase(digits, ' ');
  if (digits.size() % 2) throw std::invalid_argument("odd number of hex digits");
  std::vector<uint8_t> out;
  for (size_t i = 0, used = 0; i < digits.size(); i += 2) {
    out.push_back(uint8_t(std::stoul(digits.substr(i, 2), &used, 16)));
    if (used != 2) throw std::invalid_argument("bad hex digits '" + digits.substr(i, 2) + "'");
  }
  return out;
}

}  // namespace LldpTest

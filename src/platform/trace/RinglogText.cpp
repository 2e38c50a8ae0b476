#include "platform/trace/RinglogText.h"

namespace Ringlog::detail {

std::size_t utf8Prefix(const char* text, std::size_t length) {
  std::size_t start = length;
  while (start > 0 && length - start < 3 && (static_cast<unsigned char>(text[start - 1]) & 0xc0) == 0x80) {
    --start;
  }
  if (start == 0) {
    return length;
  }
  const auto lead = static_cast<unsigned char>(text[start - 1]);
  const std::size_t needed = lead >= 0xf0 ? 4 : lead >= 0xe0 ? 3 : lead >= 0xc0 ? 2 : 1;
  return length - (start - 1) < needed ? start - 1 : length;
}

namespace {

// Reads an argument id at `at` (digits, or nothing for the next automatic
// one); false for a name.
bool argumentId(std::string_view format, std::size_t& at, std::size_t& next, std::size_t& id) {
  if (at < format.size() && format[at] >= '0' && format[at] <= '9') {
    id = 0;
    while (at < format.size() && format[at] >= '0' && format[at] <= '9') {
      id = id * 10 + static_cast<std::size_t>(format[at] - '0');
      ++at;
    }
    return true;
  }
  if (at < format.size() && (format[at] == ':' || format[at] == '}')) {
    id = next++;
    return true;
  }
  return false;
}

}  // namespace

bool textOnlyInPlainFields(std::string_view format, const std::vector<bool>& textArgs) {
  std::size_t next = 0;
  std::size_t at = 0;
  const auto isText = [&](std::size_t id) { return id >= textArgs.size() || textArgs[id]; };
  while (at < format.size()) {
    const char c = format[at];
    if (c == '}') {
      if (at + 1 < format.size() && format[at + 1] == '}') {
        at += 2;
        continue;
      }
      return false;
    }
    if (c != '{') {
      ++at;
      continue;
    }
    if (at + 1 < format.size() && format[at + 1] == '{') {
      at += 2;
      continue;
    }
    ++at;
    std::size_t id = 0;
    if (!argumentId(format, at, next, id) || at >= format.size()) {
      return false;
    }
    if (format[at] == '}') {
      ++at;
      continue;
    }
    ++at;  // ':'
    const bool plain = at < format.size() && format[at] == '}';
    if (!plain && isText(id)) {
      return false;
    }
    // The spec runs to the closing brace; a nested field takes a width or a
    // precision from an argument.
    while (at < format.size() && format[at] != '}') {
      if (format[at] == '{') {
        ++at;
        std::size_t nested = 0;
        if (!argumentId(format, at, next, nested) || at >= format.size() || format[at] != '}' || isText(nested)) {
          return false;
        }
      }
      ++at;
    }
    if (at >= format.size()) {
      return false;
    }
    ++at;
  }
  return true;
}

}  // namespace Ringlog::detail

#pragma once

// Text helpers shared by the trace's writer and reader.

#include <cstddef>
#include <string_view>
#include <vector>

namespace Ringlog::detail {

// Length of the longest prefix of `text[0, length)` that does not end inside
// a UTF-8 character, so a cut message stays printable.
std::size_t utf8Prefix(const char* text, std::size_t length);

// Whether every field of `format` that prints an argument marked in
// `textArgs` has no format spec (and no such argument sets a width or a
// precision), so keeping that argument as the text "{}" prints for it gives
// the same message. False for a format this parser does not follow (named
// arguments), which is then formatted when the statement is made.
bool textOnlyInPlainFields(std::string_view format, const std::vector<bool>& textArgs);

}  // namespace Ringlog::detail

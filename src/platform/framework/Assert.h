#pragma once
// Internal invariants. A violated invariant means the inputs or the code are
// wrong in a way the agent cannot repair, so it reports the expression's text
// (or a formatted message) and ends the process.

#include <fmt/format.h>

#include <string>

namespace Zem {
[[noreturn]] void assertionFailed(const std::string& what, const char* file, int line, const char* function);
}

#define ZEM_ASSERT(expr) \
  ((expr) ? static_cast<void>(0) : ::Zem::assertionFailed(#expr, __FILE__, __LINE__, __func__))

// An invariant reported with a formatted message instead of the expression.
#define ZEM_ASSERT_MSG(expr, ...) \
  ((expr) ? static_cast<void>(0) : ::Zem::assertionFailed(fmt::format(__VA_ARGS__), __FILE__, __LINE__, __func__))

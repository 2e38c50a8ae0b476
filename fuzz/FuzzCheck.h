#pragma once
// How a harness reports a broken rule: a message naming the rule and what
// was seen, then abort(), which libFuzzer records as a crash with its input
// and the replay as a failed test.

#include <cstdio>
#include <cstdlib>
#include <string>

namespace FuzzCheck {

[[noreturn]] inline void broken(const char* rule, const std::string& detail = {}) {
  // The detail is cut: a reader's input may be megabytes of one value.
  std::fprintf(stderr, "invariant broken: %s%s%.2000s\n", rule, detail.empty() ? "" : ": ", detail.c_str());
  std::fflush(stderr);
  std::abort();
}

}  // namespace FuzzCheck

#define CHECK(expr, ...) \
  ((expr) ? static_cast<void>(0) : ::FuzzCheck::broken(#expr __VA_OPT__(, ) __VA_ARGS__))

// rltrace: prints the records of a ring-buffer trace file, oldest first.
// Records hold their call site's number and raw arguments; each is formatted
// here, with the format the writing process left in the file. A record cut
// short by a crash is left out; a file that is not a whole trace file of
// this version is refused with a message on stderr and exit status 1.
//
//   rltrace FILE [--level N]
//
// One line per record:
//   <time> <level> <handle> <unit>:<line> <function>: <message>
// --level N keeps levels 0..N.

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <string_view>

#include <fmt/core.h>

#include "platform/trace/Ringlog.h"

namespace {

int usage() {
  std::fprintf(stderr, "usage: rltrace FILE [--level N]\n");
  return 2;
}

bool parseLevel(std::string_view text, int& level) {
  if (text.empty() || text.size() > 3) {
    return false;
  }
  int value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') {
      return false;
    }
    value = value * 10 + (c - '0');
  }
  level = value;
  return true;
}

// A record is one line whatever its message holds.
std::string oneLine(const std::string& message) {
  std::string line;
  line.reserve(message.size());
  for (char c : message) {
    if (c == '\n') {
      line += "\\n";
    } else if (c == '\r') {
      line += "\\r";
    } else {
      line += c;
    }
  }
  return line;
}

}  // namespace

int main(int argc, char** argv) {
  const char* path = nullptr;
  int maxLevel = Ringlog::kLevels - 1;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--level") {
      if (i + 1 >= argc || !parseLevel(argv[i + 1], maxLevel)) {
        return usage();
      }
      ++i;
    } else if (arg.starts_with("--level=")) {
      if (!parseLevel(arg.substr(8), maxLevel)) {
        return usage();
      }
    } else if (arg == "-h" || arg == "--help") {
      usage();
      return 0;
    } else if (path == nullptr && !arg.starts_with("--")) {
      path = argv[i];
    } else {
      return usage();
    }
  }
  if (path == nullptr) {
    return usage();
  }

  try {
    for (const Ringlog::Record& r : Ringlog::readFile(path)) {
      if (r.level > maxLevel) {
        continue;
      }
      fmt::print("{:.6f} {} {} {}:{} {}: {}\n", r.time, r.level, r.handle, r.unit, r.line, r.function,
                 oneLine(r.message));
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "rltrace: %s\n", e.what());
    return 1;
  }
  return 0;
}

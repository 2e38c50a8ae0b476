// rltrace: prints the records of a ring-buffer trace file, oldest first.
// Records hold their call site's number and raw arguments; each is formatted
// here, with the format the writing process left in the file. A record cut
// short by a crash is left out; a file that is not a whole trace file of
// this version is refused with a message on stderr and exit status 1; a bad
// command line exits with status 2.
//
//   rltrace FILE [--level N]
//
// One line per record:
//   <time> <level> <handle> <unit>:<line> <function>: <message>
// --level N keeps levels 0..N.

#include <fmt/core.h>

#include <cstdio>
#include <exception>
#include <iostream>
#include <string>

#include "common/CommandLine.h"
#include "platform/trace/Ringlog.h"

namespace {

constexpr int kBadCommandLine = 2;

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
  std::string path;
  int maxLevel = Ringlog::kLevels - 1;
  CLI::App app("Prints the records of a trace file, oldest first.", "rltrace");
  ToolCommandLine::takeLastValue(app);
  app.add_option("FILE", path, "the trace file (required)")->type_name("");
  // Levels above the highest keep every record.
  app.add_option("--level", maxLevel, "keep records of levels 0..N")
      ->type_name("N")
      ->transform(ToolCommandLine::wholeNumber(0, 999))
      ->capture_default_str();
  if (auto done = ToolCommandLine::parse(app, argc, argv, "rltrace", kBadCommandLine)) return *done;
  // Checked here rather than by the parser, which would report it ahead of
  // an unknown option.
  if (path.empty()) return ToolCommandLine::refused("rltrace", "FILE is required", kBadCommandLine);

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

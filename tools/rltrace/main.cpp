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

#include <CLI/CLI.hpp>
#include <fmt/core.h>

#include <algorithm>
#include <cstdio>
#include <exception>
#include <iostream>
#include <string>

#include "platform/trace/Ringlog.h"

namespace {

constexpr int kBadCommandLine = 2;

// --level's value: a whole decimal number of at most three digits (levels
// above the highest keep every record). The text is rewritten in plain
// decimal so that the parser's own conversion, which would read "010" as
// octal, takes the number the user meant.
CLI::Validator levelText() {
  return CLI::Validator(
      [](std::string& text) -> std::string {
        const bool digits = !text.empty() && text.size() <= 3 &&
                            std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
        if (!digits) return "takes a number from 0 to 999, not '" + text + "'";
        text = std::to_string(std::stoi(text));
        return {};
      },
      "0..999");
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
  std::string path;
  int maxLevel = Ringlog::kLevels - 1;
  CLI::App app("Prints the records of a trace file, oldest first.", "rltrace");
  app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  app.add_option("FILE", path, "the trace file (required)")->type_name("");
  app.add_option("--level", maxLevel, "keep records of levels 0..N")
      ->type_name("N")
      ->transform(levelText())
      ->capture_default_str();
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    std::cout << app.help();
    return 0;
  } catch (const CLI::ParseError& e) {
    std::cerr << "rltrace: " << e.what() << " (see rltrace --help)\n";
    return kBadCommandLine;
  }
  // Checked here rather than by the parser, which would report it ahead of
  // an unknown option.
  if (path.empty()) {
    std::cerr << "rltrace: FILE is required (see rltrace --help)\n";
    return kBadCommandLine;
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

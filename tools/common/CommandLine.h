#pragma once
// How every tool reads its command line: CLI11 parses it, an option given
// twice takes its last value, --help prints the usage on stdout and exits 0,
// and anything wrong is one line on stderr naming the option, then the
// tool's exit code for a bad command line.

#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include <cerrno>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <string>

namespace ToolCommandLine {

// Options of `app` given twice take their last value, as in most tools.
inline void takeLastValue(CLI::App& app) {
  app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
}

// Says what is wrong with the command line of `tool` and returns `badExit`.
inline int refused(const std::string& tool, const std::string& what, int badExit) {
  std::cerr << tool << ": " << what << " (see " << tool << " --help)\n";
  return badExit;
}

// Parses argv into `app`. Returns the exit code when the run ends here: 0
// after --help (`help` is printed, the app's own usage when empty), or
// `badExit` after the one line that says what is wrong.
inline std::optional<int> parse(CLI::App& app, int argc, const char* const* argv, const std::string& tool,
                                int badExit, const std::string& help = {}) {
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    std::cout << (help.empty() ? app.help() : help);
    return 0;
  } catch (const CLI::ParseError& e) {
    return refused(tool, e.what(), badExit);
  }
  return std::nullopt;
}

// A whole decimal number in min..max, `even` when asked. The text is
// rewritten in plain decimal so that the parser's own conversion, which
// would read "010" as octal, takes the number the user meant.
inline CLI::Validator wholeNumber(long min, long max, bool even = false) {
  const std::string what = fmt::format("takes {}number from {} to {}", even ? "an even " : "a ", min, max);
  return CLI::Validator(
      [=](std::string& text) -> std::string {
        const bool digits = !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
        char* end = nullptr;
        errno = 0;
        const long v = digits ? std::strtol(text.c_str(), &end, 10) : 0;
        if (!digits || errno != 0 || v < min || v > max || (even && v % 2 != 0)) {
          return fmt::format("{}, not '{}'", what, text);
        }
        text = std::to_string(v);
        return {};
      },
      fmt::format("{}..{}{}", min, max, even ? " even" : ""));
}

}  // namespace ToolCommandLine

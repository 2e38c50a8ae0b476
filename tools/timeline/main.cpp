// vorn-timeline: draws the timeline page from a file of events, one JSON
// object per line as the daemon's watch clients and the simulator write
// them (platform/events/Events.h).
//
//   vorn-timeline EVENTS -o PAGE.html [--title TEXT] [--start S] [--end S]
//                 [--collapse-above N]
//
// The page starts at the first event unless --start says otherwise. A line
// that is not an event stops it with "EVENTS:LINE: why" on stderr and exit
// status 1; a bad command line exits with status 2.

#include <fmt/core.h>

#include <algorithm>
#include <fstream>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "common/CommandLine.h"
#include "timeline/Timeline.h"

namespace {

constexpr int kBadCommandLine = 2;

int fail(const std::string& what) {
  std::cerr << "vorn-timeline: " << what << "\n";
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  std::string eventsPath, outPath;
  std::optional<double> start, end;
  Timeline::Options options;
  long collapseAbove = static_cast<long>(options.collapseAbove);
  CLI::App app("Draws the negotiation timeline of a file of events as one HTML page.", "vorn-timeline");
  ToolCommandLine::takeLastValue(app);
  app.add_option("EVENTS", eventsPath, "events, one JSON object per line (required)")->type_name("");
  app.add_option("-o,--output", outPath, "the page to write (required)")->type_name("FILE");
  app.add_option("--title", options.title, "the page's title")->type_name("TEXT");
  app.add_option("--start", start, "seconds the picture starts at (default: the first event)")->type_name("S");
  app.add_option("--end", end, "seconds the last states run to (default: the last event)")->type_name("S");
  app.add_option("--collapse-above", collapseAbove, "channels with more lanes show one summary lane")
      ->type_name("N")
      ->transform(ToolCommandLine::wholeNumber(0, 100000))
      ->capture_default_str();
  if (auto done = ToolCommandLine::parse(app, argc, argv, "vorn-timeline", kBadCommandLine)) return *done;
  if (eventsPath.empty()) return ToolCommandLine::refused("vorn-timeline", "EVENTS is required", kBadCommandLine);
  if (outPath.empty()) return ToolCommandLine::refused("vorn-timeline", "--output is required", kBadCommandLine);
  options.collapseAbove = static_cast<std::size_t>(collapseAbove);

  std::ifstream in(eventsPath);
  if (!in) return fail(fmt::format("cannot read {}", eventsPath));
  std::vector<Events::Event> events;
  std::string line, why;
  for (std::size_t number = 1; std::getline(in, line); ++number) {
    if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
    auto event = Events::fromJson(line, &why);
    if (!event) return fail(fmt::format("{}:{}: {}", eventsPath, number, why));
    events.push_back(std::move(*event));
  }
  if (in.bad()) return fail(fmt::format("cannot read {}", eventsPath));

  options.startTime = start.value_or(0);
  if (!start && !events.empty()) {
    options.startTime = std::min_element(events.begin(), events.end(), [](const auto& a, const auto& b) {
                          return a.time < b.time;
                        })->time;
  }
  options.endTime = end.value_or(options.startTime);
  const std::string page = Timeline::render(events, options);
  std::ofstream out(outPath, std::ios::binary | std::ios::trunc);
  out << page;
  out.close();
  if (!out) return fail(fmt::format("cannot write {}", outPath));
  return 0;
}

#pragma once
// The timeline picture: one self-contained HTML page (inline SVG, no
// external assets) showing how every member interface's negotiation state
// moved over time, drawn from events (platform/events/Events.h).
//
// One lane per member interface, grouped by switch and channel; a coloured
// band per negotiation state, markers for system log messages and the
// simulator's own events; the reason and the times show on hover. With
// many interfaces the lanes of a channel collapse into one summary lane
// that can be opened.

#include "platform/events/Events.h"

#include <string>
#include <vector>

namespace Timeline {

struct Lane {
  std::string switchName;
  std::string channel;  // "Backplane1"
  std::string intf;     // "Ethernet7"
  bool operator==(const Lane&) const = default;
};

struct Options {
  std::string title;
  double startTime = 0;
  double endTime = 0;  // bands of the last state run to here
  // Lanes to draw even when no event names them; lanes named by linkState
  // events are added to these.
  std::vector<Lane> lanes;
};

// The page. Events may come in any order; they are drawn by time.
std::string render(const std::vector<Events::Event>& events, const Options& options);

}  // namespace Timeline

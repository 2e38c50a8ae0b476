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
//
// What is drawn from which event:
//   linkState  a lane (switch, "channel" field, intf); its `to` state starts
//              a band, its `reason` shows on the band. A lane's first band
//              is the first event's `from` state (ethLinkDown for a lane
//              with no event) from Options::startTime; its last band runs to
//              Options::endTime, or the latest event's time when that is
//              later (one second past the start when neither is). Equal
//              neighbouring states are one band; a state that lasts no time
//              is not drawn.
//   syslog     a marker on the lane of its intf (the first channel that has
//              that interface), else on its switch's row.
//   scenario   a marker on its switch's row (the "Whole group" row when it
//              names no switch) and a dashed line across that switch's lanes.
// Other kinds are not drawn; a linkState event without intf or `to`, and
// any event without a finite time, is counted in a note on the page.
// Every string from an event is escaped; bytes that are not UTF-8 and
// control characters show as U+FFFD.
//
// Structure, stable for tests and scripts (times in seconds, at most three
// decimals):
//   <section class="switch" data-switch>            one per switch, by name
//     <g class="switch-row" data-switch>             only with switch-level markers
//     <div class="channel" data-switch data-channel data-lanes>   or, above
//     <details class="channel" ...>                  Options::collapseAbove lanes,
//       <summary> ... <g class="summary" data-switch data-channel data-lanes>
//         <rect class="summary-band" data-state data-start data-end data-count>
//           (the worst state of the channel's lanes; data-count lanes in it)
//       <g class="lane" data-switch data-channel data-intf>
//         <rect class="band" data-state data-start data-end><title>
//         <path class="marker" data-kind="syslog" data-time data-severity
//               (error|warning|info) data-name><title>
//     <path class="marker" data-kind="scenario" data-time><title>
// Names (switches, channels, interfaces) sort with their numbers as numbers:
// Ethernet2 before Ethernet10.

#include "platform/events/Events.h"

#include <cstddef>
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
  // A channel with more lanes than this is drawn as one summary lane, its
  // lanes in a block opened by a click.
  std::size_t collapseAbove = 16;
};

// The page. Events may come in any order; they are drawn by time.
std::string render(const std::vector<Events::Event>& events, const Options& options);

}  // namespace Timeline

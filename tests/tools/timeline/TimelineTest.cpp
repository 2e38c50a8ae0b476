#include "timeline/Timeline.h"

#include <gtest/gtest.h>

#include <fmt/format.h>

#include <algorithm>
#include <initializer_list>
#include <limits>
#include <map>
#include <regex>
#include <string>
#include <vector>

namespace {

using Events::Event;
using Events::Kind;

// ---- reading the page back -------------------------------------------------

using Attrs = std::map<std::string, std::string>;

std::string unescape(std::string s) {
  static const std::pair<std::string, std::string> kEntities[] = {
      {"&lt;", "<"}, {"&gt;", ">"}, {"&quot;", "\""}, {"&#39;", "'"}, {"&amp;", "&"}};
  for (const auto& [from, to] : kEntities) {
    for (std::size_t at = s.find(from); at != std::string::npos; at = s.find(from, at + to.size())) {
      s.replace(at, from.size(), to);
    }
  }
  return s;
}

Attrs attrsOf(const std::string& tag) {
  static const std::regex kAttr(R"re(([a-z-]+)="([^"]*)")re");
  Attrs out;
  for (std::sregex_iterator it(tag.begin(), tag.end(), kAttr), end; it != end; ++it) {
    out[(*it)[1]] = unescape((*it)[2]);
  }
  return out;
}

// Every element `<name class="cls" ...>` in `text`: its attributes, and the
// text of the <title> right inside it (if any) under the key "title".
std::vector<Attrs> elements(const std::string& text, const std::string& name, const std::string& cls) {
  std::vector<Attrs> out;
  const std::string open = "<" + name + " class=\"" + cls + "\"";
  for (std::size_t at = text.find(open); at != std::string::npos; at = text.find(open, at + 1)) {
    const std::size_t close = text.find('>', at);
    Attrs a = attrsOf(text.substr(at, close - at));
    if (text.compare(close + 1, 7, "<title>") == 0) {
      const std::size_t end = text.find("</title>", close);
      a["title"] = unescape(text.substr(close + 8, end - close - 8));
    }
    out.push_back(std::move(a));
  }
  return out;
}

struct ParsedLane {
  Attrs attrs;
  std::string body;  // from the lane's start tag to its end tag
  std::vector<Attrs> bands() const { return elements(body, "rect", "band"); }
  std::vector<Attrs> markers() const { return elements(body, "path", "marker"); }
};

std::vector<ParsedLane> lanesOf(const std::string& page) {
  std::vector<ParsedLane> out;
  const std::string open = "<g class=\"lane\"";
  for (std::size_t at = page.find(open); at != std::string::npos; at = page.find(open, at + 1)) {
    const std::size_t end = page.find("</g>", at);
    out.push_back({attrsOf(page.substr(at, page.find('>', at) - at)), page.substr(at, end - at)});
  }
  return out;
}

// The values of `keys` of each element, joined by spaces ("" for a missing
// one): the shape the expectations below are written in.
std::vector<std::string> summary(const std::vector<Attrs>& elems,
                                 std::initializer_list<const char*> keys = {"data-state", "data-start", "data-end"}) {
  std::vector<std::string> out;
  for (const Attrs& e : elems) {
    std::string line;
    for (const char* k : keys) line += (line.empty() ? "" : " ") + (e.count(k) ? e.at(k) : std::string());
    out.push_back(line);
  }
  return out;
}

// "switch channel intf" of each lane, in the page's order.
std::vector<std::string> laneNames(const std::vector<ParsedLane>& lanes) {
  std::vector<Attrs> attrs;
  for (const ParsedLane& l : lanes) attrs.push_back(l.attrs);
  return summary(attrs, {"data-switch", "data-channel", "data-intf"});
}

// ---- making events ---------------------------------------------------------

Event linkState(double time, std::string intf, std::string from, std::string to, std::string reason = "",
                std::string sw = "sw1", std::string channel = "Backplane1") {
  return {time, std::move(sw), Kind::linkState, std::move(intf),
          {{"channel", std::move(channel)}, {"from", std::move(from)}, {"to", std::move(to)}, {"reason", std::move(reason)}}};
}

Event syslog(double time, std::string sw, std::string intf, std::string name, std::string severity, std::string text) {
  return {time, std::move(sw), Kind::syslog, std::move(intf),
          {{"name", std::move(name)}, {"severity", std::move(severity)}, {"text", std::move(text)}}};
}

Event scenario(double time, std::string sw, std::string text) {
  return {time, std::move(sw), Kind::scenario, "", {{"text", std::move(text)}}};
}

Timeline::Options until(double end, std::vector<Timeline::Lane> lanes = {}) {
  Timeline::Options o;
  o.endTime = end;
  o.lanes = std::move(lanes);
  return o;
}

// ---- bands -----------------------------------------------------------------

struct BandCase {
  const char* what;
  std::vector<Event> events;
  Timeline::Options options;
  std::vector<std::string> bands;  // of the one lane
};

TEST(Timeline, BandsFollowTheLinkStateEvents) {
  const BandCase cases[] = {
      {"a lane with no event is down from start to end", {}, until(30, {{"sw1", "Backplane1", "Ethernet1"}}),
       {"ethLinkDown 0 30"}},
      {"negotiation to confirmed; the first band is the first from",
       {linkState(2, "Ethernet1", "ethLinkUp", "higigStarted"), linkState(5.25, "Ethernet1", "higigStarted", "higigPending"),
        linkState(15.5, "Ethernet1", "higigPending", "higigConfirmed")},
       until(30),
       {"ethLinkUp 0 2", "higigStarted 2 5.25", "higigPending 5.25 15.5", "higigConfirmed 15.5 30"}},
      {"events out of order are drawn by time",
       {linkState(8, "Ethernet1", "higigStarted", "ethLinkUp"), linkState(3, "Ethernet1", "ethLinkUp", "higigStarted")},
       until(10), {"ethLinkUp 0 3", "higigStarted 3 8", "ethLinkUp 8 10"}},
      {"equal neighbours are one band; a state lasting no time is not drawn",
       {linkState(1, "Ethernet1", "ethLinkDown", "ethLinkUp"), linkState(4, "Ethernet1", "ethLinkUp", "ethLinkUp"),
        linkState(6, "Ethernet1", "ethLinkUp", "higigStarted"), linkState(6, "Ethernet1", "higigStarted", "ethLinkUp")},
       until(9), {"ethLinkDown 0 1", "ethLinkUp 1 9"}},
      {"the last band runs to the latest event when that is past the end",
       {linkState(1, "Ethernet1", "ethLinkDown", "ethLinkUp"), linkState(12, "Ethernet1", "ethLinkUp", "ethLinkDown")},
       until(5), {"ethLinkDown 0 1", "ethLinkUp 1 12"}},
      {"changes before the start only set the first state",
       {linkState(1, "Ethernet1", "ethLinkDown", "ethLinkUp"), linkState(2, "Ethernet1", "ethLinkUp", "higigConfirmed"),
        linkState(7, "Ethernet1", "higigConfirmed", "higigWaitSsr")},
       [] {
         auto o = until(9);
         o.startTime = 5;
         return o;
       }(),
       {"higigConfirmed 5 7", "higigWaitSsr 7 9"}},
      {"no end and nothing happening still draws a second",
       {}, until(0, {{"sw1", "Backplane1", "Ethernet1"}}), {"ethLinkDown 0 1"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const auto lanes = lanesOf(Timeline::render(c.events, c.options));
    ASSERT_EQ(lanes.size(), 1u);
    EXPECT_EQ(summary(lanes[0].bands()), c.bands);
  }
}

TEST(Timeline, BandTitleGivesStateTimesAndTheReasonThatStartedIt) {
  const auto lanes = lanesOf(Timeline::render(
      {linkState(3, "Ethernet7", "higigConfirmed", "ethLinkDown", "heartbeat timed out"),
       linkState(4, "Ethernet7", "ethLinkDown", "ethLinkDown", "a later reason")},
      until(10)));
  ASSERT_EQ(lanes.size(), 1u);
  EXPECT_EQ(summary(lanes[0].bands(), {"title"}),
            (std::vector<std::string>{"sw1 Ethernet7: higigConfirmed from 0 s to 3 s; state at the start",
                                      "sw1 Ethernet7: ethLinkDown from 3 s to 10 s; reason: heartbeat timed out"}));
}

// ---- lanes -----------------------------------------------------------------

TEST(Timeline, LanesFromOptionsAndEventsGroupedBySwitchAndChannelInNaturalOrder) {
  const std::vector<Event> events = {
      linkState(1, "Ethernet10", "ethLinkDown", "ethLinkUp", "", "sw2", "Backplane1"),
      linkState(1, "Ethernet2", "ethLinkDown", "ethLinkUp", "", "sw2", "Backplane1"),
      linkState(2, "Ethernet1", "ethLinkDown", "ethLinkUp", "", "sw10", "Backplane1"),
      linkState(2, "Ethernet5", "ethLinkDown", "ethLinkUp", "", "sw2", "Backplane2"),
      linkState(3, "Ethernet2", "ethLinkUp", "higigStarted", "", "sw2", "Backplane1"),  // the same lane again
  };
  // One lane only in the options, one in both.
  const auto lanes =
      lanesOf(Timeline::render(events, until(5, {{"sw2", "Backplane1", "Ethernet2"}, {"sw1", "Backplane9", "Ethernet3"}})));
  EXPECT_EQ(laneNames(lanes), (std::vector<std::string>{"sw1 Backplane9 Ethernet3", "sw2 Backplane1 Ethernet2",
                                                        "sw2 Backplane1 Ethernet10", "sw2 Backplane2 Ethernet5",
                                                        "sw10 Backplane1 Ethernet1"}));
  EXPECT_EQ(summary(lanes[0].bands()), std::vector<std::string>{"ethLinkDown 0 5"});
  EXPECT_EQ(summary(lanes[1].bands()), (std::vector<std::string>{"ethLinkDown 0 1", "ethLinkUp 1 3", "higigStarted 3 5"}));
}

TEST(Timeline, MarkersGoToTheirLaneOrTheirSwitchRow) {
  const std::vector<Event> events = {
      linkState(1, "Ethernet1", "ethLinkDown", "ethLinkUp"),
      syslog(4, "sw1", "Ethernet1", "VORN_BACKPLANE_INTF_MISMATCH", "3", "expected peer ID: 2, peer ID: 3"),
      syslog(5, "sw1", "Ethernet9", "VORN_BACKPLANE_INTF_READY", "6", "no lane for this one"),
      syslog(6, "sw1", "", "VORN_NOTE", "warning", "switch-wide"),
      scenario(7, "sw1", "cable Ethernet1 cut"),
      scenario(8, "", "group reload"),
      {9, "sw1", Kind::neighborAdded, "Ethernet1", {{"index", "1"}}},  // not drawn
  };
  const std::string page = Timeline::render(events, until(10));
  const auto lanes = lanesOf(page);
  ASSERT_EQ(lanes.size(), 1u);
  EXPECT_EQ(summary(lanes[0].markers(), {"data-time", "data-kind", "data-severity", "title"}),
            std::vector<std::string>{
                "4 syslog error 4 s, sw1 Ethernet1: VORN_BACKPLANE_INTF_MISMATCH (severity 3): expected peer ID: 2, peer ID: 3"});
  auto all = summary(elements(page, "path", "marker"), {"data-time", "data-kind", "data-severity"});
  std::sort(all.begin(), all.end());
  EXPECT_EQ(all, (std::vector<std::string>{"4 syslog error", "5 syslog info", "6 syslog warning", "7 scenario ", "8 scenario "}));
  // The row of sw1 holds the markers with no lane; the group's row the
  // scenario event that names no switch.
  EXPECT_EQ(summary(elements(page, "g", "switch-row"), {"data-switch"}), (std::vector<std::string>{"", "sw1"}));
  EXPECT_NE(page.find("<title>8 s, whole group: group reload</title>"), std::string::npos);
  EXPECT_NE(page.find("<title>7 s, switch sw1: cable Ethernet1 cut</title>"), std::string::npos);
}

TEST(Timeline, UndrawableEventsAreCountedOnThePage) {
  Event noTo = linkState(1, "Ethernet1", "ethLinkDown", "ethLinkUp");
  noTo.fields.erase(noTo.fields.begin() + 2);
  const std::vector<Event> events = {noTo, linkState(1, "", "ethLinkDown", "ethLinkUp"),
                                     linkState(std::numeric_limits<double>::quiet_NaN(), "Ethernet2", "ethLinkDown", "ethLinkUp"),
                                     linkState(2, "Ethernet3", "ethLinkDown", "ethLinkUp")};
  const std::string page = Timeline::render(events, until(5));
  EXPECT_EQ(lanesOf(page).size(), 1u);
  EXPECT_NE(page.find("<p class=\"ignored\">3 events left out"), std::string::npos);
  EXPECT_EQ(Timeline::render({}, until(5)).find("class=\"ignored\""), std::string::npos);
}

// ---- hostile names -----------------------------------------------------------

TEST(Timeline, StringsFromEventsAreEscaped) {
  const std::string hostile = "E\"><script>alert('x')</script>&amp;";
  const std::vector<Event> events = {
      linkState(1, hostile, "ethLinkDown", "<b>", hostile, "s\"w", "c<h>"),
      syslog(2, "s\"w", hostile, "N<", "3", hostile),
      scenario(3, "s\"w", hostile),
      linkState(1, "bad\xff\x01utf8\xc0\xaf", "ethLinkDown", "ethLinkUp", "", "s\"w", "c<h>"),
  };
  Timeline::Options o = until(5);
  o.title = hostile;
  const std::string page = Timeline::render(events, o);
  EXPECT_EQ(page.find("<script>alert"), std::string::npos);
  EXPECT_EQ(page.find("<b>"), std::string::npos);
  EXPECT_EQ(page.find("&amp;\""), std::string::npos) << "an entity in the input must come out escaped again";
  EXPECT_NE(page.find("<title>E&quot;&gt;&lt;script&gt;alert(&#39;x&#39;)&lt;/script&gt;&amp;amp;</title>"), std::string::npos);

  const auto lanes = lanesOf(page);
  const std::string u = "\xEF\xBF\xBD";  // U+FFFD, for each byte that is not UTF-8
  EXPECT_EQ(laneNames(lanes), (std::vector<std::string>{"s\"w c<h> " + hostile, "s\"w c<h> bad" + u + u + "utf8" + u + u}));
  ASSERT_EQ(lanes.size(), 2u);
  EXPECT_EQ(summary(lanes[0].bands(), {"data-state", "title"}),
            (std::vector<std::string>{"ethLinkDown s\"w " + hostile + ": ethLinkDown from 0 s to 1 s; state at the start",
                                      "<b> s\"w " + hostile + ": <b> from 1 s to 5 s; reason: " + hostile}));
  EXPECT_EQ(summary(lanes[0].markers(), {"data-name"}), std::vector<std::string>{"N<"});
  // Long names are cut on screen at a character, not inside one.
  const std::string longName(30, 'x');
  const std::string cut = Timeline::render({linkState(1, longName + "\xc3\xa9", "ethLinkDown", "ethLinkUp")}, until(2));
  EXPECT_NE(cut.find(">" + std::string(24, 'x') + "\xE2\x80\xA6</text>"), std::string::npos);
}

// ---- many lanes --------------------------------------------------------------

std::vector<Timeline::Lane> channelOf(int count, std::string sw = "sw1", std::string channel = "Backplane1") {
  std::vector<Timeline::Lane> lanes;
  for (int i = 1; i <= count; ++i) lanes.push_back({sw, channel, fmt::format("Ethernet{}", i)});
  return lanes;
}

TEST(Timeline, ChannelsAboveTheThresholdCollapseIntoASummaryLane) {
  struct Case {
    int lanes;
    std::size_t collapseAbove;
    bool collapsed;
  };
  for (const Case c : {Case{16, 16, false}, Case{17, 16, true}, Case{3, 2, true}}) {
    SCOPED_TRACE(fmt::format("{} lanes, collapse above {}", c.lanes, c.collapseAbove));
    Timeline::Options o = until(10, channelOf(c.lanes));
    o.collapseAbove = c.collapseAbove;
    const std::string page = Timeline::render({}, o);
    EXPECT_EQ(lanesOf(page).size(), static_cast<std::size_t>(c.lanes)) << "every lane is still on the page";
    EXPECT_EQ(page.find("<details class=\"channel\"") != std::string::npos, c.collapsed);
    EXPECT_EQ(elements(page, "g", "summary").size(), c.collapsed ? 1u : 0u);
  }
}

TEST(Timeline, SummaryLaneShowsTheWorstStateAndHowManyLanesAreInIt) {
  // Every lane confirmed at 1; Ethernet3 falls to Ethernet mode from 4 to 6,
  // Ethernet5 from 5 to 8, and Ethernet2 waits for a reloading peer from 2.
  std::vector<Event> events;
  for (int i = 1; i <= 5; ++i) events.push_back(linkState(1, fmt::format("Ethernet{}", i), "ethLinkUp", "higigConfirmed"));
  events.push_back(linkState(2, "Ethernet2", "higigConfirmed", "higigWaitSsr"));
  events.push_back(linkState(4, "Ethernet3", "higigConfirmed", "ethLinkUp"));
  events.push_back(linkState(6, "Ethernet3", "ethLinkUp", "higigConfirmed"));
  events.push_back(linkState(5, "Ethernet5", "higigConfirmed", "ethLinkUp"));
  events.push_back(linkState(8, "Ethernet5", "ethLinkUp", "higigConfirmed"));
  Timeline::Options o = until(10);
  o.collapseAbove = 4;
  EXPECT_EQ(summary(elements(Timeline::render(events, o), "rect", "summary-band"),
                    {"data-state", "data-start", "data-end", "data-count"}),
            (std::vector<std::string>{"ethLinkUp 0 1 5", "higigConfirmed 1 2 5", "higigWaitSsr 2 4 1", "ethLinkUp 4 8 2",
                                      "higigWaitSsr 8 10 1"}));
}

}  // namespace

#include "timeline/Timeline.h"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <map>
#include <string_view>
#include <tuple>
#include <utility>

namespace Timeline {

namespace {

using Events::Event;
using Events::Kind;

// Geometry of every drawing, in pixels: the lane labels on the left, the
// time scale over the rest.
constexpr double kLabelWidth = 170;
constexpr double kPlotWidth = 1170;
constexpr double kRightMargin = 20;
constexpr double kWidth = kLabelWidth + kPlotWidth + kRightMargin;
constexpr double kLaneStep = 16;    // one lane's height plus the gap below it
constexpr double kBandHeight = 13;
constexpr double kAxisHeight = 30;
constexpr std::size_t kLabelChars = 24;  // longer names are cut on screen, whole on hover

// One entry per negotiation state a linkState event names, in legend order.
// `rank` orders the states from best (backplane mode confirmed) to worst
// (link down): a channel's summary lane shows its worst lane.
struct StateStyle {
  std::string_view name;
  std::string_view colour;
  int rank;
  std::string_view meaning;
};
constexpr StateStyle kStates[] = {
    {"higigConfirmed", "#1a9850", 0, "backplane mode"},
    {"higigWaitAsicsWarm", "#74c476", 1, "backplane, peer ASICs warming"},
    {"higigWaitSsr", "#41b6c4", 2, "backplane, peer reloading"},
    {"higigPending", "#2c7fb8", 3, "counting peer TLVs"},
    {"higigStarted", "#9ecae1", 4, "negotiation started"},
    {"ethLinkUp", "#8c8c8c", 5, "Ethernet mode"},
    {"ethLinkDown", "#d4d4d4", 6, "link down"},
};
constexpr int kUnknownRank = 7;  // a state this page has no colour for: worse than any known
constexpr std::string_view kUnknownColour = "#c51b7d";
constexpr std::string_view kInitialState = "ethLinkDown";

int rankOf(std::string_view state) {
  for (const auto& s : kStates) {
    if (s.name == state) return s.rank;
  }
  return kUnknownRank;
}

// ---- text ----------------------------------------------------------------

void appendReplacement(std::string& out) { out += "\xEF\xBF\xBD"; }

// Length of the UTF-8 sequence starting at text[i], 0 when the bytes there
// are not one (stray continuation byte, overlong form, surrogate, cut short).
std::size_t utf8Length(std::string_view text, std::size_t i) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char b = byte(i);
  if (b < 0x80) return 1;
  std::size_t n = 0;
  uint32_t cp = 0;
  if ((b & 0xE0) == 0xC0) {
    n = 2;
    cp = b & 0x1F;
  } else if ((b & 0xF0) == 0xE0) {
    n = 3;
    cp = b & 0x0F;
  } else if ((b & 0xF8) == 0xF0) {
    n = 4;
    cp = b & 0x07;
  } else {
    return 0;
  }
  if (i + n > text.size()) return 0;
  for (std::size_t k = 1; k < n; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (byte(i + k) & 0x3F);
  }
  static constexpr uint32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
  if (cp < kMin[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return n;
}

// Text from events (names heard on the wire among them) made safe inside
// an element or a quoted attribute: markup characters escaped, control
// characters and bytes that are not UTF-8 replaced. At most `maxChars`
// characters are kept; a cut is marked with an ellipsis.
std::string escape(std::string_view text, std::size_t maxChars = std::string::npos) {
  std::string out;
  out.reserve(text.size());
  std::size_t chars = 0;
  for (std::size_t i = 0; i < text.size();) {
    if (chars == maxChars) {
      out += "\xE2\x80\xA6";
      break;
    }
    ++chars;
    const std::size_t n = utf8Length(text, i);
    if (n == 0) {
      appendReplacement(out);
      ++i;
      continue;
    }
    if (n > 1) {
      out.append(text.substr(i, n));
      i += n;
      continue;
    }
    const char c = text[i++];
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      default:
        if ((static_cast<unsigned char>(c) < 0x20 && c != '\t' && c != '\n') || c == 0x7F) {
          appendReplacement(out);
        } else {
          out += c;
        }
    }
  }
  return out;
}

// Seconds as short as they stay exact to the millisecond: "12", "12.5".
std::string seconds(double t) {
  std::string s = fmt::format("{:.3f}", t);
  while (s.back() == '0') s.pop_back();
  if (s.back() == '.') s.pop_back();
  if (s == "-0") s = "0";
  return s;
}

std::string px(double v) { return fmt::format("{:.1f}", v); }

// "Ethernet2" before "Ethernet10": runs of digits compare as numbers.
int naturalCompare(std::string_view a, std::string_view b) {
  const auto digit = [](char c) { return c >= '0' && c <= '9'; };
  std::size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    if (digit(a[i]) && digit(b[j])) {
      std::size_t ie = i, je = j;
      while (ie < a.size() && digit(a[ie])) ++ie;
      while (je < b.size() && digit(b[je])) ++je;
      std::string_view da = a.substr(i, ie - i), db = b.substr(j, je - j);
      while (da.size() > 1 && da.front() == '0') da.remove_prefix(1);
      while (db.size() > 1 && db.front() == '0') db.remove_prefix(1);
      if (da.size() != db.size()) return da.size() < db.size() ? -1 : 1;
      if (const int c = da.compare(db); c != 0) return c;
      i = ie;
      j = je;
    } else {
      if (a[i] != b[j]) return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[j]) ? -1 : 1;
      ++i;
      ++j;
    }
  }
  if (i < a.size()) return 1;
  if (j < b.size()) return -1;
  return a.compare(b);  // "01" and "1": equal as numbers, still two names
}

bool naturalLess(std::string_view a, std::string_view b) { return naturalCompare(a, b) < 0; }

bool laneLess(const Lane& a, const Lane& b) {
  if (const int c = naturalCompare(a.switchName, b.switchName); c != 0) return c < 0;
  if (const int c = naturalCompare(a.channel, b.channel); c != 0) return c < 0;
  return naturalLess(a.intf, b.intf);
}

std::string fieldOr(const Event& e, std::string_view key, std::string_view otherwise = {}) {
  const std::string* v = e.field(key);
  return v != nullptr ? *v : std::string(otherwise);
}

// ---- the model -----------------------------------------------------------

struct Band {
  double start;
  double end;
  std::string state;
  std::string reason;  // of the event that started it; empty for the state at the start
};

struct LaneData {
  Lane lane;
  std::vector<const Event*> changes;  // linkState, by time
  std::vector<const Event*> markers;  // syslog, by time
  std::vector<Band> bands;
};

struct Span {
  double start;
  double end;
  double x(double t) const { return kLabelWidth + (t - start) / (end - start) * kPlotWidth; }
};

// The lane's bands from `span.start` to `span.end`: the first state is the
// first change's `from`; each change starts a band of its `to`; changes
// before the start only set the state the lane starts in; a state that
// lasts no time is left out and equal neighbours are one band.
std::vector<Band> bandsOf(const std::vector<const Event*>& changes, const Span& span) {
  std::vector<Band> bands;
  std::string state = changes.empty() ? std::string(kInitialState) : fieldOr(*changes.front(), "from", kInitialState);
  std::string reason;
  double from = span.start;
  const auto close = [&](double until) {
    if (until <= from) return;
    if (!bands.empty() && bands.back().state == state) {
      bands.back().end = until;
    } else {
      bands.push_back({from, until, state, reason});
    }
    from = until;
  };
  for (const Event* e : changes) {
    close(std::min(e->time, span.end));
    state = fieldOr(*e, "to");
    reason = fieldOr(*e, "reason");
  }
  close(span.end);
  return bands;
}

struct SummaryBand {
  double start;
  double end;
  std::string state;  // the worst state of any lane
  std::size_t count;  // lanes in it, the most at any moment of the band
};

// A channel's lanes as one: at every moment the worst state any of them is
// in, and how many are in it.
std::vector<SummaryBand> summaryOf(const std::vector<const LaneData*>& lanes) {
  std::vector<double> cuts;
  for (const LaneData* l : lanes) {
    for (const Band& b : l->bands) cuts.push_back(b.start);
    if (!l->bands.empty()) cuts.push_back(l->bands.back().end);
  }
  std::sort(cuts.begin(), cuts.end());
  cuts.erase(std::unique(cuts.begin(), cuts.end()), cuts.end());
  std::vector<std::size_t> at(lanes.size(), 0);
  std::vector<SummaryBand> out;
  for (std::size_t c = 0; c + 1 < cuts.size(); ++c) {
    const double t = cuts[c];
    const std::string* worst = nullptr;
    int worstRank = -1;
    std::size_t count = 0;
    for (std::size_t k = 0; k < lanes.size(); ++k) {
      const auto& bands = lanes[k]->bands;
      while (at[k] < bands.size() && bands[at[k]].end <= t) ++at[k];
      if (at[k] == bands.size() || bands[at[k]].start > t) continue;
      const std::string& s = bands[at[k]].state;
      const int r = rankOf(s);
      if (r > worstRank || (r == worstRank && s != *worst && s < *worst)) {
        worst = &s;
        worstRank = r;
        count = 1;
      } else if (s == *worst) {
        ++count;
      }
    }
    if (worst == nullptr) continue;
    if (!out.empty() && out.back().state == *worst && out.back().end == t) {
      out.back().end = cuts[c + 1];
      out.back().count = std::max(out.back().count, count);
    } else {
      out.push_back({t, cuts[c + 1], *worst, count});
    }
  }
  return out;
}

// ---- drawing -------------------------------------------------------------

constexpr std::string_view kStyle = R"(body{font:13px sans-serif;margin:12px;color:#222;background:#fff}
h1{font-size:18px;margin:0 0 4px}h2{font-size:15px;margin:14px 0 2px}.channel>h3{font-size:13px;margin:6px 0 2px}.channel>summary{font-size:13px;margin:6px 0 2px}
.meta{color:#555;margin:0 0 6px}.ignored{color:#b00}
.axis{position:sticky;top:0;background:#fff;z-index:1}
svg{display:block;overflow:visible}svg text{font:11px sans-serif;fill:#222}
.band,.summary-band{fill:)" "#c51b7d" R"(}
.grid{stroke:#e4e4e4;stroke-width:1}.guide{stroke:#6a3d9a;stroke-width:1;stroke-dasharray:3 3}
.tick{stroke:#444}[data-kind=scenario]{fill:#6a3d9a;stroke:#6a3d9a}
[data-severity=error]{fill:#d7191c}[data-severity=warning]{fill:#fdae61;stroke:#a05000}
[data-severity=info]{fill:#253494}
summary{cursor:pointer}summary svg{display:inline-block;vertical-align:middle}
button{font:12px sans-serif;margin-right:6px})";

std::string stateCss() {
  std::string css;
  for (const auto& s : kStates) {
    css += fmt::format("[data-state={}]{{fill:{}}}", s.name, s.colour);
  }
  return css;
}

std::string severityOf(std::string_view severity) {
  // syslog(3) numbers (3 = err) or their names.
  if (severity == "0" || severity == "1" || severity == "2" || severity == "3" || severity == "emerg" ||
      severity == "alert" || severity == "crit" || severity == "err" || severity == "error") {
    return "error";
  }
  if (severity == "4" || severity == "warning" || severity == "warn") return "warning";
  return "info";
}

struct Ticks {
  double step;
  int decimals;
  std::vector<double> at;
};

// About a dozen ticks at 1, 2 or 5 times a power of ten seconds.
Ticks ticksFor(const Span& span) {
  const double raw = (span.end - span.start) / 12;
  const double magnitude = std::pow(10.0, std::floor(std::log10(raw)));
  double step = magnitude;
  for (const double m : {1.0, 2.0, 5.0, 10.0}) {
    step = m * magnitude;
    if (step >= raw) break;
  }
  Ticks ticks{step, std::max(0, static_cast<int>(-std::floor(std::log10(step) + 1e-9))), {}};
  for (double t = std::ceil(span.start / step) * step; t <= span.end + step * 1e-9 && ticks.at.size() < 64; t += step) {
    ticks.at.push_back(t);
  }
  return ticks;
}

// Light vertical lines at every tick of a drawing of `height`, drawn
// under its bands.
std::string grid(const Span& span, const Ticks& ticks, double height) {
  std::string d;
  for (double t : ticks.at) d += fmt::format("M{} 0V{}", px(span.x(t)), px(height));
  return d.empty() ? d : fmt::format("<path class=\"grid\" d=\"{}\"/>", d);
}

// Dashed lines at the simulator's events, drawn over the bands: what the
// simulator did and what every lane did then line up.
std::string guideLines(const Span& span, const std::vector<double>& guides, double height) {
  std::string d;
  for (double t : guides) d += fmt::format("M{} 0V{}", px(span.x(t)), px(height));
  return d.empty() ? d : fmt::format("<path class=\"guide\" d=\"{}\"/>", d);
}

std::string svgOpen(double height, std::string_view cls) {
  return fmt::format("<svg xmlns=\"http://www.w3.org/2000/svg\" class=\"{}\" width=\"{}\" height=\"{}\">", cls, px(kWidth),
                     px(height));
}

// A syslog or scenario marker: a small downward triangle (a flag on a pole
// for the simulator's own events) at its time, its message on hover.
std::string marker(const Event& e, const Span& span, std::string_view where) {
  const double x = span.x(e.time);
  if (e.kind == Kind::scenario) {
    return fmt::format(
        "<path class=\"marker\" data-kind=\"scenario\" data-time=\"{0}\" d=\"M{1} 0V{2}M{1} 0h7l-2 3l2 3h-7z\">"
        "<title>{0} s, {3}: {4}</title></path><text class=\"marker-label\" x=\"{5}\" y=\"10.5\">{6}</text>\n",
        seconds(e.time), px(x), px(kBandHeight), escape(where), escape(fieldOr(e, "text")), px(x + 10),
        escape(fieldOr(e, "text"), kLabelChars * 2));
  }
  const std::string name = fieldOr(e, "name"), severity = fieldOr(e, "severity");
  return fmt::format(
      "<path class=\"marker\" data-kind=\"syslog\" data-time=\"{0}\" data-severity=\"{1}\" data-name=\"{2}\" "
      "d=\"M{3} 0l4.5 0l-4.5 7l-4.5-7z\"><title>{0} s, {4}: {2} (severity {5}): {6}</title></path>\n",
      seconds(e.time), severityOf(severity), escape(name), px(x), escape(where), escape(severity),
      escape(fieldOr(e, "text")));
}

std::string bandTitle(std::string_view where, const Band& b) {
  return fmt::format("{}: {} from {} s to {} s; {}", escape(where), escape(b.state), seconds(b.start), seconds(b.end),
                     b.reason.empty() ? std::string("state at the start") : "reason: " + escape(b.reason));
}

std::string drawLane(const LaneData& l, const Span& span, double y) {
  std::string out = fmt::format(
      "<g class=\"lane\" data-switch=\"{}\" data-channel=\"{}\" data-intf=\"{}\" transform=\"translate(0,{})\">"
      "<text x=\"4\" y=\"10.5\">{}</text>\n",
      escape(l.lane.switchName), escape(l.lane.channel), escape(l.lane.intf), px(y), escape(l.lane.intf, kLabelChars));
  const std::string where = l.lane.switchName + " " + l.lane.intf;
  for (const Band& b : l.bands) {
    const double x0 = span.x(b.start), x1 = span.x(b.end);
    out += fmt::format(
        "<rect class=\"band\" data-state=\"{}\" data-start=\"{}\" data-end=\"{}\" x=\"{}\" width=\"{}\" "
        "height=\"{}\"><title>{}</title></rect>\n",
        escape(b.state), seconds(b.start), seconds(b.end), px(x0), px(std::max(x1 - x0, 0.5)), px(kBandHeight),
        bandTitle(where, b));
  }
  for (const Event* e : l.markers) out += marker(*e, span, where);
  out += "</g>\n";
  return out;
}

std::string drawSummary(const std::vector<const LaneData*>& lanes, const Lane& channel, const Span& span) {
  std::string out = fmt::format(
      "<g class=\"summary\" data-switch=\"{}\" data-channel=\"{}\" data-lanes=\"{}\"><text x=\"4\" y=\"10.5\">all {} "
      "lanes</text>\n",
      escape(channel.switchName), escape(channel.channel), lanes.size(), lanes.size());
  for (const SummaryBand& b : summaryOf(lanes)) {
    const double x0 = span.x(b.start), x1 = span.x(b.end);
    out += fmt::format(
        "<rect class=\"summary-band\" data-state=\"{0}\" data-start=\"{1}\" data-end=\"{2}\" data-count=\"{3}\" "
        "x=\"{4}\" width=\"{5}\" height=\"{6}\"><title>worst state {0} from {1} s to {2} s, up to {3} of {7} "
        "lanes</title></rect>\n",
        escape(b.state), seconds(b.start), seconds(b.end), b.count, px(x0), px(std::max(x1 - x0, 0.5)),
        px(kBandHeight), lanes.size());
  }
  out += "</g>\n";
  return out;
}

std::string drawAxis(const Span& span, const Ticks& ticks) {
  std::string out = svgOpen(kAxisHeight, "axis-scale");
  out += fmt::format("<text x=\"4\" y=\"20\">time (s)</text><path class=\"tick\" d=\"M{} 24H{}\"/>",
                     px(kLabelWidth), px(kLabelWidth + kPlotWidth));
  for (double t : ticks.at) {
    const double x = span.x(t);
    out += fmt::format("<g class=\"tick\" data-time=\"{0}\"><path class=\"tick\" d=\"M{1} 19V29\"/>"
                       "<text x=\"{1}\" y=\"15\" text-anchor=\"middle\">{2:.{3}f}</text></g>",
                       seconds(t), px(x), t, ticks.decimals);
  }
  out += "</svg>\n";
  return out;
}

// The states' colours, then the markers'. Entries are placed by the length
// of their text (about 6.5 pixels a character at 11 pixels).
std::string drawLegend() {
  std::string entries;
  double x = 4, y = 2;
  const auto place = [&](std::size_t chars) {
    const double width = 30 + 6.5 * static_cast<double>(chars) + 24;
    if (x + width > kWidth) {
      x = 4;
      y += 18;
    }
    const double at = x;
    x += width;
    return at;
  };
  for (const auto& s : kStates) {
    const double at = place(s.name.size() + 2 + s.meaning.size());
    entries += fmt::format(
        "<g class=\"legend-entry\" data-state=\"{0}\"><rect data-state=\"{0}\" x=\"{1}\" y=\"{2}\" width=\"22\" "
        "height=\"12\"/><text x=\"{3}\" y=\"{4}\">{0}: {5}</text></g>",
        s.name, px(at), px(y), px(at + 27), px(y + 10), s.meaning);
  }
  x = 4;
  y += 18;
  static constexpr std::pair<std::string_view, std::string_view> kMarkers[] = {
      {"data-severity=\"error\"", "error message"},
      {"data-severity=\"warning\"", "warning"},
      {"data-severity=\"info\"", "other message"},
      {"data-kind=\"scenario\"", "simulator event (dashed over the lanes)"},
  };
  for (const auto& [attr, text] : kMarkers) {
    const double at = place(text.size()) + 11;
    const std::string shape = attr.find("scenario") != std::string_view::npos
                                  ? fmt::format("M{0} {1}V{2}M{0} {1}h7l-2 3l2 3h-7z", px(at), px(y), px(y + 13))
                                  : fmt::format("M{} {}l4.5 0l-4.5 7l-4.5-7z", px(at), px(y + 3));
    entries += fmt::format("<path class=\"legend-marker\" {} d=\"{}\"/><text x=\"{}\" y=\"{}\">{}</text>", attr, shape,
                           px(at + 14), px(y + 10), text);
  }
  return svgOpen(y + 18, "legend") + entries + "</svg>\n";
}

constexpr std::string_view kScript = R"(<script>
function setAll(open){for(const d of document.querySelectorAll('details.channel'))d.open=open;}
</script>
)";

}  // namespace

std::string render(const std::vector<Events::Event>& events, const Options& options) {
  // Events by time; those that cannot be drawn are counted and said so.
  std::vector<const Event*> sorted;
  std::size_t ignored = 0;
  for (const Event& e : events) {
    const bool drawn = e.kind == Kind::linkState || e.kind == Kind::syslog || e.kind == Kind::scenario;
    if (!drawn) continue;
    if (!std::isfinite(e.time) || (e.kind == Kind::linkState && (e.intf.empty() || e.field("to") == nullptr))) {
      ++ignored;
      continue;
    }
    sorted.push_back(&e);
  }
  std::stable_sort(sorted.begin(), sorted.end(), [](const Event* a, const Event* b) { return a->time < b->time; });

  Span span{std::isfinite(options.startTime) ? options.startTime : 0, 0};
  span.end = std::isfinite(options.endTime) ? options.endTime : span.start;
  for (const Event* e : sorted) span.end = std::max(span.end, e->time);
  if (!(span.end > span.start)) span.end = span.start + 1;  // nothing happened: a second of the first state

  // Lanes: those asked for plus those linkState events name.
  std::vector<LaneData> lanes;
  const auto addLane = [&](const Lane& lane) { lanes.push_back({lane, {}, {}, {}}); };
  for (const Lane& lane : options.lanes) addLane(lane);
  for (const Event* e : sorted) {
    if (e->kind == Kind::linkState) addLane({e->switchName, fieldOr(*e, "channel"), e->intf});
  }
  std::stable_sort(lanes.begin(), lanes.end(), [](const LaneData& a, const LaneData& b) { return laneLess(a.lane, b.lane); });
  lanes.erase(std::unique(lanes.begin(), lanes.end(), [](const LaneData& a, const LaneData& b) { return a.lane == b.lane; }),
              lanes.end());

  // Where each event goes: linkState and syslog to the lane of their
  // interface (the first channel that has it), the rest to the switch's row.
  std::map<std::pair<std::string_view, std::string_view>, LaneData*> byIntf;
  std::map<std::tuple<std::string_view, std::string_view, std::string_view>, LaneData*> byLane;
  for (LaneData& l : lanes) {
    byIntf.emplace(std::pair<std::string_view, std::string_view>{l.lane.switchName, l.lane.intf}, &l);
    byLane.emplace(std::tuple<std::string_view, std::string_view, std::string_view>{l.lane.switchName, l.lane.channel,
                                                                                     l.lane.intf},
                   &l);
  }
  std::map<std::string, std::vector<const Event*>, bool (*)(std::string_view, std::string_view)> switchRows(naturalLess);
  std::map<std::string, std::vector<double>, bool (*)(std::string_view, std::string_view)> guides(naturalLess);
  for (const LaneData& l : lanes) switchRows[l.lane.switchName];
  for (const Event* e : sorted) {
    if (e->kind == Kind::linkState) {
      const std::string channel = fieldOr(*e, "channel");
      byLane.at({std::string_view(e->switchName), std::string_view(channel), std::string_view(e->intf)})->changes.push_back(e);
      continue;
    }
    if (e->kind == Kind::syslog && !e->intf.empty()) {
      if (const auto it = byIntf.find({e->switchName, e->intf}); it != byIntf.end()) {
        it->second->markers.push_back(e);
        continue;
      }
    }
    switchRows[e->switchName].push_back(e);
    if (e->kind == Kind::scenario) guides[e->switchName].push_back(e->time);
  }
  for (LaneData& l : lanes) l.bands = bandsOf(l.changes, span);
  const std::vector<double> groupGuides = guides.count("") != 0 ? guides[""] : std::vector<double>{};
  const auto guidesOf = [&](const std::string& sw) {
    std::vector<double> g = groupGuides;
    if (!sw.empty() && guides.count(sw) != 0) g.insert(g.end(), guides[sw].begin(), guides[sw].end());
    return g;
  };

  const Ticks ticks = ticksFor(span);
  const std::string title = options.title.empty() ? std::string("Negotiation timeline") : options.title;
  std::string page;
  page.reserve(4096 + lanes.size() * 2048);
  page += fmt::format(
      "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\"><title>{0}</title>\n<style>{1}{2}</style>\n"
      "</head><body>\n<h1>{0}</h1>\n<p class=\"meta\">{3} member interfaces on {4} switches, {5} s to {6} s. Hover a "
      "band or a marker for its times and reason.</p>\n",
      escape(title), kStyle, stateCss(), lanes.size(), switchRows.size() - (switchRows.count("") != 0 ? 1 : 0),
      seconds(span.start), seconds(span.end));
  if (ignored != 0) {
    page += fmt::format(
        "<p class=\"ignored\">{} events left out: no time, or a linkState event without an interface or a \"to\" "
        "state.</p>\n",
        ignored);
  }
  page += drawLegend();
  page += "<p><button onclick=\"setAll(true)\">open every channel</button><button onclick=\"setAll(false)\">close "
          "every channel</button></p>\n";
  page += "<div class=\"axis\">" + drawAxis(span, ticks) + "</div>\n";

  for (const auto& [sw, rowEvents] : switchRows) {
    const std::vector<double> swGuides = guidesOf(sw);
    page += fmt::format("<section class=\"switch\" data-switch=\"{}\"><h2>{}</h2>\n", escape(sw),
                        sw.empty() ? std::string("Whole group") : "Switch " + escape(sw));
    if (!rowEvents.empty()) {
      page += svgOpen(kLaneStep, "rows") + grid(span, ticks, kLaneStep);
      page += fmt::format("<g class=\"switch-row\" data-switch=\"{}\"><text x=\"4\" y=\"10.5\">switch events</text>\n",
                          escape(sw));
      const std::string where = sw.empty() ? std::string("whole group") : "switch " + sw;
      for (const Event* e : rowEvents) page += marker(*e, span, where);
      page += "</g></svg>\n";
    }
    // The channels of this switch, each a run of lanes in `lanes`.
    for (std::size_t first = 0; first < lanes.size(); ++first) {
      if (lanes[first].lane.switchName != sw) continue;
      std::size_t last = first;
      while (last + 1 < lanes.size() && lanes[last + 1].lane.switchName == sw &&
             lanes[last + 1].lane.channel == lanes[first].lane.channel) {
        ++last;
      }
      std::vector<const LaneData*> group;
      for (std::size_t k = first; k <= last; ++k) group.push_back(&lanes[k]);
      const Lane& channel = lanes[first].lane;
      const bool collapsed = group.size() > options.collapseAbove;
      const double height = static_cast<double>(group.size()) * kLaneStep;
      const std::string name = channel.channel.empty() ? std::string("(no channel)") : escape(channel.channel);
      std::string body = svgOpen(height, "lanes") + grid(span, ticks, height);
      for (std::size_t k = 0; k < group.size(); ++k) body += drawLane(*group[k], span, static_cast<double>(k) * kLaneStep);
      body += guideLines(span, swGuides, height) + "</svg>\n";
      const std::string attrs = fmt::format("data-switch=\"{}\" data-channel=\"{}\" data-lanes=\"{}\"", escape(sw),
                                            escape(channel.channel), group.size());
      if (collapsed) {
        page += fmt::format(
            "<details class=\"channel\" {}><summary>{}: {} lanes, the worst state at every moment (click to show "
            "each lane)<br>{}{}{}{}</svg></summary>\n{}</details>\n",
            attrs, name, group.size(), svgOpen(kLaneStep, "summary-lane"), grid(span, ticks, kLaneStep),
            drawSummary(group, channel, span), guideLines(span, swGuides, kLaneStep), body);
      } else {
        page += fmt::format("<div class=\"channel\" {}><h3>{}</h3>\n{}</div>\n", attrs, name, body);
      }
      first = last;
    }
    page += "</section>\n";
  }
  page += kScript;
  page += "</body></html>\n";
  return page;
}

}  // namespace Timeline

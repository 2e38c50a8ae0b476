#!/usr/bin/env bash
# The timeline page as a browser shows it: headless Chromium loads each page,
# the DOM it built after its scripts ran must hold the lanes expected (one
# per member interface, each with bands of known states that follow each
# other without a gap or a repeat), and its screenshot must show a picture,
# not a blank page.
#
#   timeline_browser.sh VORN_SIM EXAMPLES_DIR VORN_TIMELINE
#
# Pages checked: `vorn-sim EXAMPLE --timeline PAGE` for every EXAMPLES_DIR/*.json
# (the lanes and the state each lane ends in are those of vorn-sim's final
# table), and a whole group of 8 switches x 64 links with 30 changes per link
# and hostile names drawn by vorn-timeline (its size, its collapsed channels,
# names that must stay text). Skipped (77) where Chromium is not installed.
set -euo pipefail

sim=$(realpath "$1")
examples=$(realpath "$2")
timeline=$(realpath "$3")

browser=$(command -v chromium chromium-browser | head -n 1 || true)
if [ -z "$browser" ]; then
  echo "SKIP: chromium is not installed (scripts/setup.sh installs it)"
  exit 77
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/vorn-timeline-browser.XXXXXX")
trap 'rm -rf "$work"' EXIT

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

cat >"$work/check.py" <<'EOF'
# check.py PAGE DOM PNG EXPECTED: the rendered DOM and the screenshot of PAGE
# against EXPECTED: either JSON ("lanes": [[switch, channel, intf, final
# state], ...], optional "collapsed" channels, "maxBytes", "absentTags") or
# vorn-sim's output, whose final table (switch channel member state ...)
# gives the lanes and no channel collapsed. Prints one line per fault.
import json, struct, sys, zlib
from html.parser import HTMLParser

KNOWN = {"ethLinkDown", "ethLinkUp", "higigStarted", "higigPending", "higigConfirmed",
         "higigWaitSsr", "higigWaitAsicsWarm"}
page_path, dom_path, png_path, expected_path = sys.argv[1:5]
faults = []

if expected_path.endswith(".json"):
    expected = json.load(open(expected_path))
else:
    expected, inside = {"lanes": [], "collapsed": 0}, False
    for words in (line.split() for line in open(expected_path)):
        if words[:4] == ["switch", "channel", "member", "state"]:
            inside = True
        elif inside and len(words) >= 4:
            expected["lanes"].append(words[:4])
        else:
            inside = False
    if not expected["lanes"]:
        faults.append("no member interface in vorn-sim's final table")

class Dom(HTMLParser):
    # Chromium serialises every SVG element with an end tag, so only the
    # nesting of <g> decides which lane a band is in.
    def __init__(self):
        super().__init__(convert_charrefs=True)
        self.groups, self.lanes, self.tags, self.details = [], [], {}, 0
    def handle_starttag(self, tag, attrs):
        a = dict(attrs)
        cls = (a.get("class") or "").split()
        self.tags[tag] = self.tags.get(tag, 0) + 1
        self.details += tag == "details" and "channel" in cls
        if tag == "g":
            self.groups.append("lane" in cls)
            if "lane" in cls:
                self.lanes.append({"key": (a.get("data-switch"), a.get("data-channel"), a.get("data-intf")), "bands": []})
        elif tag == "rect" and "band" in cls:
            if not self.groups or not self.groups[-1]:
                faults.append("a band outside a lane")
            else:
                self.lanes[-1]["bands"].append((a.get("data-state"), float(a.get("data-start")), float(a.get("data-end"))))
    def handle_endtag(self, tag):
        if tag == "g" and self.groups:
            self.groups.pop()

dom = Dom()
dom.feed(open(dom_path, encoding="utf-8").read())

want = {tuple(l[:3]): l[3] for l in expected["lanes"]}
got = [l["key"] for l in dom.lanes]
if len(got) != len(want):
    faults.append(f"{len(got)} lanes on the page, {len(want)} expected")
if len(set(got)) != len(got):
    faults.append("a lane is drawn twice")
faults += [f"no lane for {key}" for key in set(want) - set(got)]
faults += [f"a lane nobody expects: {key}" for key in set(got) - set(want)]
for lane in dom.lanes:
    bands, key = lane["bands"], lane["key"]
    if not bands:
        faults.append(f"{key}: no band")
        continue
    faults += [f"{key}: unknown state {s!r}" for s, _, _ in bands if s not in KNOWN]
    faults += [f"{key}: band {s} from {b} to {e}" for s, b, e in bands if not e > b]
    for (s1, _, e1), (s2, b2, _) in zip(bands, bands[1:]):
        if abs(e1 - b2) > 1e-9:
            faults.append(f"{key}: a gap or an overlap at {e1}")
        if s1 == s2:
            faults.append(f"{key}: two neighbouring bands in {s1}")
    if want.get(key) not in (None, bands[-1][0]):
        faults.append(f"{key}: ends in {bands[-1][0]}, vorn-sim says {want[key]}")
if expected.get("collapsed") is not None and dom.details != expected["collapsed"]:
    faults.append(f"{dom.details} collapsed channels, {expected['collapsed']} expected")
faults += [f"a <{t}> element made from a name on the page" for t in expected.get("absentTags", []) if dom.tags.get(t)]

raw = open(page_path, "rb").read()
if expected.get("maxBytes") and len(raw) > expected["maxBytes"]:
    faults.append(f"the page is {len(raw)} bytes, more than {expected['maxBytes']}")
# The SVG namespace is a name, not something fetched.
lower = raw.lower().replace(b'xmlns="http://www.w3.org/2000/svg"', b"")
faults += [f"the page refers to something outside itself ({n.decode()})"
           for n in (b"<link", b"<img", b"src=", b"http:", b"https:", b"url(") if n in lower]

def pixels(path):
    """Rows of (r, g, b) bytes of an 8-bit RGB or RGBA PNG, every other pixel
    of every other row."""
    data = open(path, "rb").read()
    if data[:8] != b"\x89PNG\r\n\x1a\n":
        raise ValueError("not a PNG")
    pos, idat, header = 8, b"", None
    while pos < len(data):
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        if kind == b"IHDR":
            header = struct.unpack(">IIBBBBB", data[pos + 8:pos + 21])
        elif kind == b"IDAT":
            idat += data[pos + 8:pos + 8 + length]
        pos += 12 + length
    width, height, depth, colour, _, _, interlace = header
    n = {2: 3, 6: 4}.get(colour)
    if depth != 8 or n is None or interlace:
        raise ValueError(f"PNG of depth {depth}, colour type {colour}, interlace {interlace}")
    raw, stride, prev = zlib.decompress(idat), width * n, bytearray(width * n)
    for y in range(height):
        f, line = raw[y * (stride + 1)], bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for i in range(stride):
            a, b, c = (line[i - n] if i >= n else 0), prev[i], (prev[i - n] if i >= n else 0)
            if f == 4:
                p = a + b - c
                d = a if abs(p - a) <= abs(p - b) and abs(p - a) <= abs(p - c) else b if abs(p - b) <= abs(p - c) else c
            else:
                d = (0, a, b, (a + b) // 2)[f]
            line[i] = (line[i] + d) & 255
        if y % 2 == 0:
            yield [bytes(line[x:x + 3]) for x in range(0, stride, 2 * n)]
        prev = line

try:
    counts = {}
    for row in pixels(png_path):
        for rgb in row:
            counts[rgb] = counts.get(rgb, 0) + 1
    sampled, coloured = sum(counts.values()), sum(v for k, v in counts.items() if k != b"\xff\xff\xff")
    shades = {}
    for rgb, v in counts.items():
        shades[bytes(c >> 3 for c in rgb)] = shades.get(bytes(c >> 3 for c in rgb), 0) + v
    distinct = sum(1 for v in shades.values() if v >= 20)
    if coloured < sampled * 0.05:
        faults.append(f"the screenshot is nearly blank: {coloured} of {sampled} sampled pixels not white")
    if distinct < 5:
        faults.append(f"the screenshot has {distinct} colours over 20 pixels, not at least 5")
except (ValueError, TypeError, IndexError, zlib.error, struct.error) as e:
    faults.append(f"the screenshot cannot be read: {e}")

print("\n".join(faults[:20]))
sys.exit(1 if faults else 0)
EOF

# check NAME PAGE EXPECTED: loads PAGE in the browser and checks it.
check() {
  local name=$1 page=$2 expected=$3 browser_args
  browser_args=(--headless --no-sandbox --disable-gpu --hide-scrollbars --user-data-dir="$work/profile")
  if ! timeout 120 "$browser" "${browser_args[@]}" --dump-dom "file://$page" >"$work/dom.html" 2>"$work/browser.err"; then
    fail "$name: chromium could not load the page"; tail -5 "$work/browser.err"; return
  fi
  rm -f "$work/shot.png"
  if ! timeout 120 "$browser" "${browser_args[@]}" --screenshot="$work/shot.png" --window-size=1400,900 "file://$page" \
       >/dev/null 2>"$work/browser.err" || [ ! -s "$work/shot.png" ]; then
    fail "$name: chromium took no screenshot"; tail -5 "$work/browser.err"; return
  fi
  if python3 "$work/check.py" "$page" "$work/dom.html" "$work/shot.png" "$expected" >"$work/faults"; then
    echo "ok: $name ($(wc -c <"$page") bytes)"
  else
    fail "$name:"; sed 's/^/  /' "$work/faults"
  fi
}

# A whole group with hostile names, drawn from a file of events.
python3 - "$work/group.jsonl" "$work/group.json" <<'EOF'
import json, sys
cycle = ["ethLinkUp", "higigStarted", "higigPending", "higigConfirmed", "ethLinkDown"]
hostile = 'Eth"<x>&amp;1'
events, lanes = [], []
for sw in range(1, 9):
    for i in range(1, 65):
        channel, intf = f"Backplane{1 + (i - 1) // 32}", f"Ethernet{i}"
        lanes.append([f"sw{sw}", channel, intf, cycle[29 % 5]])
        events += [{"time": k * 10 + i * 0.013, "switch": f"sw{sw}", "type": "linkState", "intf": intf, "channel": channel,
                    "from": cycle[(k + 4) % 5], "to": cycle[k % 5], "reason": "heartbeat timed out"} for k in range(30)]
    events.append({"time": 150, "switch": f"sw{sw}", "type": "scenario", "text": f"reload <sw{sw}>"})
events.append({"time": 5, "switch": "sw9", "type": "linkState", "intf": hostile, "channel": "<x>",
               "from": "ethLinkDown", "to": "ethLinkUp", "reason": "<x>"})
events.append({"time": 6, "switch": "sw9", "type": "syslog", "intf": hostile, "name": "<x>", "severity": "3",
               "text": "</svg><x>"})
lanes.append(["sw9", "<x>", hostile, "ethLinkUp"])
open(sys.argv[1], "w").writelines(json.dumps(e) + "\n" for e in events)
json.dump({"lanes": lanes, "collapsed": 16, "maxBytes": 5_000_000, "absentTags": ["x"]}, open(sys.argv[2], "w"))
EOF
if "$timeline" "$work/group.jsonl" -o "$work/group.html" --end 310 --title "8 x 64 links" 2>"$work/err"; then
  check "8 switches x 64 links" "$work/group.html" "$work/group.json"
else
  fail "vorn-timeline refused the group's events: $(head -c 300 "$work/err")"
fi

# Every shipped example, through the simulator: its final table is what to expect.
shopt -s nullglob
scenarios=("$examples"/*.json)
[ ${#scenarios[@]} -gt 0 ] || fail "no example scenario in $examples"
for scenario in "${scenarios[@]}"; do
  name=$(basename "$scenario" .json)
  if timeout 120 "$sim" "$scenario" --timeline "$work/$name.html" >"$work/$name.out" 2>"$work/err"; then
    check "$name" "$work/$name.html" "$work/$name.out"
  else
    fail "$name: vorn-sim failed: $(head -c 300 "$work/err")"
  fi
done

[ "$failures" -eq 0 ] || { echo "$failures failed"; exit 1; }
echo "timeline pages: all checks passed"

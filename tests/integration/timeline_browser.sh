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

browser=
for candidate in chromium chromium-browser; do
  if command -v "$candidate" >/dev/null 2>&1; then browser=$(command -v "$candidate"); break; fi
done
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
# against EXPECTED (JSON: "lanes": [[switch, channel, intf, final state or
# null], ...], "collapsed": number of collapsed channels or null,
# "maxBytes": largest page size or null). Prints one line per fault.
import json, struct, sys, zlib
from html.parser import HTMLParser

KNOWN = {"ethLinkDown", "ethLinkUp", "higigStarted", "higigPending", "higigConfirmed",
         "higigWaitSsr", "higigWaitAsicsWarm"}
VOID = {"meta", "br", "hr", "img", "input", "link", "area", "base", "col", "embed", "source", "track", "wbr"}
page_path, dom_path, png_path, expected_path = sys.argv[1:5]
expected = json.load(open(expected_path))
faults = []

class Dom(HTMLParser):
    def __init__(self):
        super().__init__(convert_charrefs=True)
        self.stack, self.lanes, self.tags, self.details = [], [], {}, 0
    def handle_starttag(self, tag, attrs):
        a = dict(attrs)
        self.tags[tag] = self.tags.get(tag, 0) + 1
        cls = (a.get("class") or "").split()
        if tag == "details" and "channel" in cls:
            self.details += 1
        if tag == "g" and "lane" in cls:
            self.lanes.append({"key": (a.get("data-switch"), a.get("data-channel"), a.get("data-intf")), "bands": []})
        elif tag == "rect" and "band" in cls:
            if not self.stack or self.stack[-1] != "lane":
                faults.append("a band outside a lane")
            else:
                self.lanes[-1]["bands"].append((a.get("data-state"), float(a.get("data-start")), float(a.get("data-end"))))
        if tag not in VOID:
            self.stack.append("lane" if tag == "g" and "lane" in cls else tag)
    def handle_startendtag(self, tag, attrs):
        self.handle_starttag(tag, attrs)
        if tag not in VOID:
            self.stack.pop()
    def handle_endtag(self, tag):
        if tag in VOID:
            return
        while self.stack:
            top = self.stack.pop()
            if top == tag or (top == "lane" and tag == "g"):
                break

dom = Dom()
dom.feed(open(dom_path, encoding="utf-8").read())

want = {tuple(l[:3]): l[3] for l in expected["lanes"]}
got = [l["key"] for l in dom.lanes]
if len(got) != len(want):
    faults.append(f"{len(got)} lanes on the page, {len(want)} expected")
if len(set(got)) != len(got):
    faults.append("a lane is drawn twice")
for key in set(want) - set(got):
    faults.append(f"no lane for {key}")
for key in set(got) - set(want):
    faults.append(f"a lane nobody expects: {key}")
for lane in dom.lanes:
    bands, key = lane["bands"], lane["key"]
    if not bands:
        faults.append(f"{key}: no band")
        continue
    for state, start, end in bands:
        if state not in KNOWN:
            faults.append(f"{key}: unknown state {state!r}")
        if not end > start:
            faults.append(f"{key}: band {state} from {start} to {end}")
    for (s1, _, e1), (s2, b2, _) in zip(bands, bands[1:]):
        if abs(e1 - b2) > 1e-9:
            faults.append(f"{key}: a gap or an overlap at {e1}")
        if s1 == s2:
            faults.append(f"{key}: two neighbouring bands in {s1}")
    final = want.get(key)
    if final is not None and bands[-1][0] != final:
        faults.append(f"{key}: ends in {bands[-1][0]}, vorn-sim says {final}")
if expected.get("collapsed") is not None and dom.details != expected["collapsed"]:
    faults.append(f"{dom.details} collapsed channels, {expected['collapsed']} expected")
for tag in expected.get("absentTags", []):
    if dom.tags.get(tag):
        faults.append(f"a <{tag}> element made from a name on the page")

raw = open(page_path, "rb").read()
if expected.get("maxBytes") and len(raw) > expected["maxBytes"]:
    faults.append(f"the page is {len(raw)} bytes, more than {expected['maxBytes']}")
lower = raw.lower()
for needle in (b"<link", b"<img", b"src=", b"http:", b"https:", b"url("):
    # The SVG namespace is a name, not something fetched.
    if needle in lower.replace(b'xmlns="http://www.w3.org/2000/svg"', b""):
        faults.append(f"the page refers to something outside itself ({needle.decode()})")

def pixels(path):
    data = open(path, "rb").read()
    if data[:8] != b"\x89PNG\r\n\x1a\n":
        raise ValueError("not a PNG")
    pos, idat, header = 8, b"", None
    while pos < len(data):
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + length]
        if kind == b"IHDR":
            header = struct.unpack(">IIBBBBB", body)
        elif kind == b"IDAT":
            idat += body
        pos += 12 + length
    width, height, depth, colour, _, _, interlace = header
    channels = {2: 3, 6: 4}.get(colour)
    if depth != 8 or channels is None or interlace:
        raise ValueError(f"PNG of depth {depth}, colour type {colour}, interlace {interlace}")
    raw, stride, rows, prev = zlib.decompress(idat), width * channels, [], bytearray(width * channels)
    for y in range(height):
        f, line = raw[y * (stride + 1)], bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for i in range(stride):
            a = line[i - channels] if i >= channels else 0
            b, c = prev[i], prev[i - channels] if i >= channels else 0
            if f == 1: line[i] = (line[i] + a) & 255
            elif f == 2: line[i] = (line[i] + b) & 255
            elif f == 3: line[i] = (line[i] + (a + b) // 2) & 255
            elif f == 4:
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                line[i] = (line[i] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 255
        rows.append(bytes(line))
        prev = line
    return width, height, channels, rows

try:
    width, height, channels, rows = pixels(png_path)
    counts, coloured = {}, 0
    for row in rows[::2]:
        for x in range(0, width * channels, channels * 2):
            rgb = row[x:x + 3]
            if rgb != b"\xff\xff\xff":
                coloured += 1
            key = bytes(v >> 3 for v in rgb)
            counts[key] = counts.get(key, 0) + 1
    sampled = len(rows[::2]) * len(range(0, width * channels, channels * 2))
    distinct = sum(1 for n in counts.values() if n >= 20)
    if coloured < sampled * 0.05:
        faults.append(f"the screenshot is nearly blank: {coloured} of {sampled} sampled pixels not white")
    if distinct < 5:
        faults.append(f"the screenshot has {distinct} colours over 20 pixels, not at least 5")
except (ValueError, TypeError, zlib.error, struct.error) as e:
    faults.append(f"the screenshot cannot be read: {e}")

for f in faults[:20]:
    print(f)
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
        for k in range(30):
            events.append({"time": k * 10 + i * 0.013, "switch": f"sw{sw}", "type": "linkState", "intf": intf,
                           "channel": channel, "from": cycle[(k + 4) % 5], "to": cycle[k % 5],
                           "reason": "heartbeat timed out"})
    events.append({"time": 150, "switch": f"sw{sw}", "type": "scenario", "text": f"reload <sw{sw}>"})
events.append({"time": 5, "switch": "sw9", "type": "linkState", "intf": hostile, "channel": "<x>",
               "from": "ethLinkDown", "to": "ethLinkUp", "reason": "<x>"})
events.append({"time": 6, "switch": "sw9", "type": "syslog", "intf": hostile, "name": "<x>", "severity": "3",
               "text": "</svg><x>"})
lanes.append(["sw9", "<x>", hostile, "ethLinkUp"])
with open(sys.argv[1], "w") as f:
    for e in events:
        f.write(json.dumps(e) + "\n")
json.dump({"lanes": lanes, "collapsed": 16, "maxBytes": 5_000_000, "absentTags": ["x"]}, open(sys.argv[2], "w"))
EOF
if "$timeline" "$work/group.jsonl" -o "$work/group.html" --end 310 --title "8 x 64 links" 2>"$work/err"; then
  check "8 switches x 64 links" "$work/group.html" "$work/group.json"
else
  fail "vorn-timeline refused the group's events: $(head -c 300 "$work/err")"
fi

# Every shipped example, through the simulator.
shopt -s nullglob
scenarios=("$examples"/*.json)
[ ${#scenarios[@]} -gt 0 ] || fail "no example scenario in $examples"
for scenario in "${scenarios[@]}"; do
  name=$(basename "$scenario" .json)
  if ! timeout 120 "$sim" "$scenario" --timeline "$work/$name.html" >"$work/$name.out" 2>"$work/err"; then
    fail "$name: vorn-sim failed: $(head -c 300 "$work/err")"; continue
  fi
  # The final table: switch channel member state ...
  python3 - "$work/$name.out" "$work/$name.json" <<'EOF'
import json, sys
lines, lanes, inside = open(sys.argv[1]).read().splitlines(), [], False
for line in lines:
    words = line.split()
    if words[:4] == ["switch", "channel", "member", "state"]:
        inside = True
    elif inside and len(words) >= 4:
        lanes.append(words[:4])
    elif inside:
        inside = False
json.dump({"lanes": lanes, "collapsed": 0}, open(sys.argv[2], "w"))
EOF
  if [ "$(python3 -c 'import json,sys; print(len(json.load(open(sys.argv[1]))["lanes"]))' "$work/$name.json")" -eq 0 ]; then
    fail "$name: no member interface in vorn-sim's final table"; continue
  fi
  check "$name" "$work/$name.html" "$work/$name.json"
done

if [ "$failures" -ne 0 ]; then
  echo "$failures failed"
  exit 1
fi
echo "timeline pages: all checks passed"

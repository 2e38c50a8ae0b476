#!/usr/bin/env bash
# The tools' command lines: --help lists every option and exits 0; an unknown
# option, a missing value or a value out of range is one line on stderr
# naming the option, nothing on stdout, and exit code 2; a good command line
# gets past the parser to the tool's own work.
#
#   command_lines.sh VORN_SIM VORNFABRICLLDPD RLTRACE VORNCTL VORN_TIMELINE
set -euo pipefail

sim=$(realpath "$1")
daemon=$(realpath "$2")
rltrace=$(realpath "$3")
vornctl=$(realpath "$4")
timeline=$(realpath "$5")
src=$(cd "$(dirname "$0")/../.." && pwd)

work=$(mktemp -d "${TMPDIR:-/tmp}/vorn-command-lines.XXXXXX")
trap 'rm -rf "$work"' EXIT

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# expect RC STREAM TEXT COMMAND...: COMMAND exits with RC and TEXT is in its
# STREAM (out or err). A command line refused (RC 2) says so in exactly one
# line on stderr and writes nothing on stdout.
expect() {
  local want_rc=$1 stream=$2 want=$3 rc=0
  shift 3
  local what="$(basename "$1") ${*:2}"
  timeout 20 "$@" >"$work/out" 2>"$work/err" </dev/null || rc=$?
  [ "$rc" -eq "$want_rc" ] || { fail "$what: exit code $rc, not $want_rc"; head -c 600 "$work/err"; return; }
  grep -qF -- "$want" "$work/$stream" || { fail "$what: std$stream does not say: $want"; head -c 600 "$work/$stream"; }
  if [ "$want_rc" -eq 2 ]; then
    [ "$(wc -l <"$work/err")" -eq 1 ] || fail "$what: $(wc -l <"$work/err") lines on stderr, not one"
    [ ! -s "$work/out" ] || fail "$what: writes on stdout"
  fi
}

# --help on stdout names every option of the tool.
expect_help() {  # tool options...
  expect 0 out "Usage:" "$1" --help
  for option in "${@:2}"; do grep -qF -- "$option" "$work/out" || fail "$(basename "$1") --help does not list $option"; done
}

expect_help "$sim" SCENARIO --json --pcap --trace-dir --members --links --small-members --small-links --hours --frames
expect_help "$daemon" --config --check --stderr --after-reload
expect_help "$rltrace" FILE --level
expect_help "$vornctl" --socket --json show history watch timeline
expect_help "$timeline" EVENTS --output --title --start --end --collapse-above

scenario="$src/examples/two-members.json"
config="$src/tools/vornfabriclldpd/vornfabriclldpd.json.example"
trace="$work/trace/VornFabricLldp-sw1.rl"
mkdir "$work/trace"

#      exit stream  text                     command line
expect 2    err     "--bogus"                "$sim" --bogus
expect 2    err     "--members"              "$sim" --bench --members 1
expect 2    err     "--json"                 "$sim" "$scenario" --json
expect 2    err     "scenario"               "$sim" --json "$work/state.json"
expect 0    out     "frames:"                "$sim" "$scenario" --json "$work/ignored.json" --json "$work/state.json" \
                                             --trace-dir "$work/trace" --events "$work/events.jsonl"
[ -s "$work/state.json" ] || fail "vorn-sim --json given twice: the last file was not written"
[ ! -e "$work/ignored.json" ] || fail "vorn-sim --json given twice: the first file was written"
# Numbers are decimal: 08 is eight, not a broken octal number. A tiny bench;
# its exit code says whether its CPU targets were met, which is not this
# test's business.
rc=0
timeout 60 "$sim" --bench --members 08 --links 2 --small-members 2 --small-links 2 --hours 0.001 --frames 1000 \
  >"$work/out" 2>"$work/err" || rc=$?
{ [ "$rc" -ne 2 ] && grep -qF "8 x 2 links" "$work/out"; } \
  || { fail "vorn-sim --bench --members 08: exit code $rc, not a bench of 8 members"; head -c 600 "$work/err"; }

expect 2    err     "--config"               "$daemon" --config
expect 2    err     "--stderr"               "$daemon" --stderr=maybe --config "$config"
expect 0    out     "OK"                     "$daemon" --check --config="$config"

expect 2    err     "--level"                "$rltrace" "$trace" --level 0x5
expect 2    err     "FILE"                   "$rltrace" --level 3
expect 1    err     "$work/none.rl"          "$rltrace" "$work/none.rl" --level 99
# Numbers are decimal: 08 is eight, not a broken octal number.
expect 0    out     " 8 "                    "$rltrace" "$trace" --level 08
expect 0    out     " 1 "                    "$rltrace" "$trace" --level=7
awk '$2 > 7 { bad = 1 } END { exit bad }' "$work/out" || fail "rltrace --level=7 prints records above level 7"

# vornctl: a bad command line is 2, a daemon that is not there 3.
expect 2    err     "bogus"                  "$vornctl" bogus
expect 2    err     "show"                   "$vornctl"
expect 2    err     "lag-groups"             "$vornctl" show
expect 2    err     "bogus"                  "$vornctl" show bogus
expect 3    err     "$work/none.sock"        "$vornctl" --socket "$work/none.sock" show links

# vorn-timeline draws the simulator's events; a broken line names its number.
expect 2    err     "--output"               "$timeline" "$work/events.jsonl"
expect 2    err     "--collapse-above"       "$timeline" "$work/events.jsonl" -o "$work/page.html" --collapse-above -1
"$timeline" "$work/events.jsonl" -o "$work/page.html" --title "two members" || fail "vorn-timeline: exit code $?"
grep -qF "two members" "$work/page.html" || fail "vorn-timeline --title: not in the page"
{ head -n 3 "$work/events.jsonl"; echo '{"time": "soon"}'; } >"$work/broken.jsonl"
expect 1    err     "broken.jsonl:4:"        "$timeline" "$work/broken.jsonl" -o "$work/page.html"

[ "$failures" -eq 0 ] || { echo "$failures failures"; exit 1; }

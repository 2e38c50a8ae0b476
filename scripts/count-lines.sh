#!/usr/bin/env bash
# Lines of tests against lines of code: non-blank lines that are not only a
# comment, of the C++ under src/ and tools/ and of the C++ and shell under
# tests/ (golden files and corpora are data, not tests).
#
#   scripts/count-lines.sh          prints the two counts and their ratio
#   scripts/count-lines.sh --max R  fails when the ratio is above R
set -euo pipefail
cd "$(dirname "$0")/.."

count() {
  local cxx shell
  cxx=$(find "$@" -type f \( -name '*.cpp' -o -name '*.h' \) -print0 |
    xargs -0 cat | grep -v '^[[:space:]]*$' | grep -cv '^[[:space:]]*//' || true)
  shell=$(find "$@" -type f -name '*.sh' -print0 |
    xargs -0 -r cat | grep -v '^[[:space:]]*$' | grep -cv '^[[:space:]]*#' || true)
  echo $((cxx + shell))
}

code=$(count src tools)
tests=$(count tests)
ratio=$(awk -v t="$tests" -v c="$code" 'BEGIN { printf "%.2f", t / c }')
echo "code: $code lines (src, tools); tests: $tests lines (tests); tests/code: $ratio"
if [ "${1:-}" = "--max" ]; then
  awk -v r="$ratio" -v m="$2" 'BEGIN { exit !(r <= m) }' || { echo "count-lines: tests/code $ratio is above $2" >&2; exit 1; }
fi

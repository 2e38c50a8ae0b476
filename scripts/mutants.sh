#!/usr/bin/env bash
# Deliberate faults, one at a time: does some test notice each of them?
#
#   scripts/mutants.sh [-f REGEX] [LIST...]
#
# Each list (default: every scripts/mutants/*.txt) holds one fault per line,
# three or four fields separated by tabs:
#
#   FILE  ORIGINAL  FAULTY  [TEST]
#
# FILE is relative to the repository; ORIGINAL must occur exactly once in it
# and is replaced by FAULTY. TEST names the test binary to run (default: the
# one of FILE's folder), optionally with a gtest filter after a colon
# ("agent_tests:LldpHigig*"), or "ctest:REGEX" for tests ctest runs. Blank
# lines and lines starting with # are skipped.
#
# The faults are applied in a copy of the working tree (build-mutants/tree,
# uncommitted changes included), built with the same flags as the Release
# build so that ccache serves every file a fault does not touch. The copy's
# original is restored after each fault. A fault is caught when the test
# fails or times out; one that does not compile counts as a broken list
# entry, not as caught.
#
# -f REGEX   only faults whose line matches REGEX
# Prints one line per fault and "N of M faults caught"; exits 0 only when
# every fault was caught and every entry applied.
set -uo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
filter=""
while getopts "f:" opt; do
  case $opt in
    f) filter=$OPTARG ;;
    *) echo "usage: $0 [-f REGEX] [LIST...]" >&2; exit 2 ;;
  esac
done
shift $((OPTIND - 1))
lists=("$@")
if [ ${#lists[@]} -eq 0 ]; then
  lists=("$repo"/scripts/mutants/*.txt)
fi
for l in "${lists[@]}"; do
  [ -f "$l" ] || { echo "mutants: no list $l" >&2; exit 2; }
done

work=${VORN_MUTANTS_DIR:-$repo/build-mutants}
tree=$work/tree
build=$tree/build
mkdir -p "$tree"
echo "mutants: copying the working tree to $tree"
(cd "$repo" && git ls-files -co --exclude-standard -z) |
  rsync -a --from0 --files-from=- "$repo"/ "$tree"/
# A file the tree no longer has leaves the copy too: sources are globbed,
# so a stale one would be built.
(cd "$repo" && git ls-files -co --exclude-standard | sort) > "$work/files.lst"
(cd "$tree" && find . -path ./build -prune -o -type f -print | sed 's#^\./##' | sort) |
  comm -23 - "$work/files.lst" | (cd "$tree" && xargs -r -d '\n' rm -f --)
if [ ! -f "$build/build.ninja" ]; then
  cmake -S "$tree" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVORN_BUILD_BENCH=OFF \
    -DCMAKE_CXX_COMPILER_LAUNCHER=ccache > "$work/configure.log" 2>&1 ||
    { echo "mutants: configure failed, see $work/configure.log" >&2; exit 2; }
fi

binary_of() {  # the test binary of a source file's folder
  case $1 in
    src/platform/*) echo platform_tests ;;
    src/lldp/*) echo lldp_tests ;;
    src/VornFabricLldp/*) echo agent_tests ;;
    tools/*) echo tools_tests ;;
    *) echo "" ;;
  esac
}

run_test() {  # run_test TEST -> exit status of the test
  local test=$1 name filter=""
  if [[ $test == ctest:* ]]; then
    (cd "$build" && timeout 600 ctest -R "${test#ctest:}" --output-on-failure) > "$work/test.log" 2>&1
    return
  fi
  name=${test%%:*}
  [[ $test == *:* ]] && filter=${test#*:}
  local path
  path=$(find "$build" -name "$name" -type f -perm -u+x | head -1)
  [ -n "$path" ] || { echo "mutants: no binary $name" >&2; return 125; }
  (cd "$(dirname "$path")" && timeout 300 "$path" --gtest_brief=1 ${filter:+--gtest_filter="$filter"}) \
    > "$work/test.log" 2>&1
}

echo "mutants: building the test binaries"
nice ninja -C "$build" -j2 platform_tests lldp_tests agent_tests tools_tests vorn-sim vornfabriclldpd rltrace \
  > "$work/build.log" 2>&1 || { echo "mutants: the unmodified tree does not build, see $work/build.log" >&2; exit 2; }
for b in platform_tests lldp_tests agent_tests tools_tests; do
  run_test "$b" || { echo "mutants: $b fails on the unmodified tree, see $work/test.log" >&2; exit 2; }
done

total=0
caught=0
broken=0
missed=()
for list in "${lists[@]}"; do
  lineno=0
  while IFS= read -r line || [ -n "$line" ]; do
    lineno=$((lineno + 1))
    [[ -z ${line//[[:space:]]/} || $line == \#* ]] && continue
    [ -n "$filter" ] && ! [[ $line =~ $filter ]] && continue
    # Split on every tab: an empty FAULTY (a deleted statement) is a field.
    readarray -d $'\t' -t fields < <(printf '%s' "$line")
    file=${fields[0]:-} original=${fields[1]:-} faulty=${fields[2]:-} test=${fields[3]:-}
    where="$(basename "$list"):$lineno"
    total=$((total + 1))
    test=${test:-$(binary_of "$file")}
    if [ -z "$file" ] || [ -z "$original" ] || [ -z "$test" ]; then
      echo "BROKEN  $where  needs FILE<tab>ORIGINAL<tab>FAULTY[<tab>TEST]"
      broken=$((broken + 1)); continue
    fi
    target=$tree/$file
    if ! python3 - "$target" "$original" "$faulty" <<'EOF'
import sys
path, original, faulty = sys.argv[1:4]
try:
    text = open(path).read()
except OSError as e:
    print(f"cannot read: {e.strerror}"); sys.exit(1)
n = text.count(original)
if n != 1:
    print(f"original occurs {n} times"); sys.exit(1)
open(path, "w").write(text.replace(original, faulty))
EOF
    then
      echo "BROKEN  $where  $file: the original text does not occur exactly once"
      broken=$((broken + 1)); continue
    fi
    bin=${test%%:*}
    [[ $test == ctest:* ]] && bin="platform_tests lldp_tests agent_tests tools_tests vorn-sim vornfabriclldpd rltrace"
    # shellcheck disable=SC2086
    if ! nice ninja -C "$build" -j2 $bin > "$work/build.log" 2>&1; then
      echo "BROKEN  $where  $file: the fault does not compile"
      broken=$((broken + 1))
    elif run_test "$test"; then
      echo "MISSED  $where  $file: $original -> $faulty"
      missed+=("$where")
    else
      echo "caught  $where  $file: $original -> $faulty"
      caught=$((caught + 1))
    fi
    cp "$repo/$file" "$target"
  done < "$list"
done
# Leave the copy's binaries built from the originals.
nice ninja -C "$build" -j2 platform_tests lldp_tests agent_tests tools_tests > "$work/build.log" 2>&1

summary="$caught of $total faults caught"
[ "$broken" -gt 0 ] && summary+=", $broken broken entries"
[ ${#missed[@]} -gt 0 ] && summary+=", missed: ${missed[*]}"
echo "$summary"
[ "$caught" -eq "$total" ]

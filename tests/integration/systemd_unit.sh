#!/usr/bin/env bash
# The daemon's systemd unit, as the package installs it.
#
#   systemd_unit.sh VORNFABRICLLDPD
#
# systemd-analyze verify reads a copy whose executables are the built ones
# (it refuses a unit whose ExecStart binary does not exist); the unit's own
# command lines are run against the built daemon with the shipped example
# configuration (an option the daemon no longer takes fails here, not at a
# switch's boot); and every directory the example configuration writes to is
# one the unit's ProtectSystem=strict leaves writable and that exists when it
# starts. Exits 77 (skipped) where systemd-analyze is missing.
set -euo pipefail

daemon=$(realpath "$1")
src=$(cd "$(dirname "$0")/../.." && pwd)
unit="$src/tools/vornfabriclldpd/vornfabriclldpd.service"
example="$src/tools/vornfabriclldpd/vornfabriclldpd.json.example"

command -v systemd-analyze >/dev/null || { echo "SKIP: systemd-analyze is not installed (Debian package systemd)"; exit 77; }

work=$(mktemp -d "${TMPDIR:-/tmp}/vorn-unit.XXXXXX")
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# The value of each `Key=` line of the unit, one per line.
values() { sed -n "s/^$1=//p" "$unit"; }

# --- systemd-analyze verify --------------------------------------------------
sed "s|/usr/sbin/vornfabriclldpd|$daemon|g" "$unit" >"$work/vornfabriclldpd.service"
grep -q "$daemon" "$work/vornfabriclldpd.service" || fail "the unit does not start /usr/sbin/vornfabriclldpd"
# --man=no: the man pages are in the package, not on this machine.
if ! systemd-analyze verify --man=no "$work/vornfabriclldpd.service" >"$work/verify.out" 2>&1; then
  fail "systemd-analyze verify refuses the unit: $(cat "$work/verify.out")"
fi
# Warnings leave the exit code 0 but are faults all the same; lines about
# other units on this machine are not this unit's.
if grep -i "vornfabriclldpd.service" "$work/verify.out" >"$work/warnings"; then
  fail "systemd-analyze verify warns: $(cat "$work/warnings")"
fi

# --- the unit's command lines against the built daemon -----------------------
# The pre-start check, on the example configuration, must pass; the start
# line with --check appended must too (same options, nothing started).
while read -r key line; do
  args=${line#/usr/sbin/vornfabriclldpd }
  [ "$args" != "$line" ] || { fail "$key does not run /usr/sbin/vornfabriclldpd: $line"; continue; }
  args=${args//\/etc\/vorn\/vornfabriclldpd.json/$example}
  [ "$key" = ExecStartPre ] || args+=" --check"
  # shellcheck disable=SC2086  # the unit's words, split as systemd splits these
  if ! "$daemon" $args >"$work/run.out" 2>&1; then
    fail "$key: vornfabriclldpd $args fails: $(head -c 300 "$work/run.out")"
  fi
done < <(sed -n 's/^\(ExecStartPre\|ExecStart\)=/\1 /p' "$unit")
[ "$(values ExecStartPre)" != "" ] || fail "no ExecStartPre: a bad configuration would be found only by a failed start"

# --- the directories the daemon writes ----------------------------------------
# ProtectSystem=strict leaves writable only what the unit names. A
# ReadWritePaths entry must exist when the unit starts, or the start fails:
# each is made by the unit itself (State-, Logs-, RuntimeDirectory) or marked
# optional with "-" (/mnt/flash exists on a switch only).
made=$(values StateDirectory | tr ' ' '\n' | sed 's|^|/var/lib/|')
made+=$'\n'$(values LogsDirectory | tr ' ' '\n' | sed 's|^|/var/log/|')
made+=$'\n'$(values RuntimeDirectory | tr ' ' '\n' | sed 's|^|/run/|')
writable=$made
for w in $(values ReadWritePaths); do
  if [[ $w != -* ]] && [[ $'\n'$made$'\n' != *$'\n'"$w"$'\n'* ]]; then
    fail "ReadWritePaths $w is neither made by the unit nor optional (-$w): a machine without it cannot start the daemon"
  fi
  writable+=$'\n'${w#-}
done
# Every directory the example configuration writes to is writable.
for field in backupDir traceDir; do
  dir=$(python3 -c 'import json, sys; print(json.load(open(sys.argv[1]))[sys.argv[2]])' "$example" "$field")
  ok=0
  while read -r w; do
    [ -n "$w" ] && { [ "$dir" = "$w" ] || [[ $dir == "$w"/* ]]; } && ok=1
  done <<<"$writable"
  [ $ok = 1 ] || fail "the example's $field $dir is read-only under the unit (writable: $(echo $writable))"
done
# The daemon's control socket lives in the runtime directory.
[[ $'\n'$made$'\n' == *$'\n/run/vornfabriclldp\n'* ]] || fail "no RuntimeDirectory /run/vornfabriclldp for the control socket"

if [ $failures -ne 0 ]; then
  echo "$failures failures"
  exit 1
fi
echo "systemd unit: verified"

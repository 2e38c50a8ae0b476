#!/usr/bin/env bash
# The Debian package, built by cpack from this build directory into a
# scratch directory (the build's own package/ is left alone).
#
#   package.sh BUILD_DIR
#
# Checks: the file is vornfabriclldp_<project version>_amd64.deb; it holds
# every executable, the unit, the man pages, the documentation and the
# examples, owned by root with the right modes, and nothing outside /usr and
# the unit's directory; its control data names the package, version,
# architecture, section and dependencies found by dpkg-shlibdeps (libc6,
# libstdc++6, libfmt, libsystemd0), and its maintainer scripts parse.
# Unpacked into a scratch root, each executable answers --help from there,
# and every option its --help lists is in its man page. Exits 77 (skipped)
# where cpack or dpkg-deb is missing.
set -euo pipefail

build=$(realpath "$1")
src=$(cd "$(dirname "$0")/../.." && pwd)
for tool in cpack dpkg-deb dpkg-shlibdeps; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed (Debian packages cmake, dpkg-dev)"; exit 77; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/vorn-package.XXXXXX")
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

version=$(sed -n 's/^project(VornFabricLldp VERSION \([0-9.]*\).*/\1/p' "$src/CMakeLists.txt")
[ -n "$version" ] || { echo "FAIL: no project VERSION in $src/CMakeLists.txt"; exit 1; }
arch=$(dpkg --print-architecture)
[ "$arch" = amd64 ] || { echo "SKIP: this test expects an amd64 machine, not $arch"; exit 77; }

(cd "$build" && cpack -G DEB -B "$work/out") >"$work/cpack.log" 2>&1 \
  || { echo "FAIL: cpack failed:"; tail -n 30 "$work/cpack.log"; exit 1; }
deb="$work/out/vornfabriclldp_${version}_amd64.deb"
[ -f "$deb" ] || { echo "FAIL: no $(basename "$deb"); cpack made: $(ls "$work/out")"; exit 1; }

# --- contents ------------------------------------------------------------------
dpkg-deb -c "$deb" >"$work/contents"
# Where each tool is installed: the daemon is for the administrator.
exe() { [ "$1" = vornfabriclldpd ] && echo ./usr/sbin/$1 || echo ./usr/bin/$1; }
tools=(vornfabriclldpd rltrace vorn-sim vornctl)
doc=./usr/share/doc/vornfabriclldp
# path|mode (file type and permissions, as dpkg-deb -c prints them)
expected=()
for tool in "${tools[@]}"; do expected+=("$(exe "$tool")|-rwxr-xr-x"); done
for path in ./lib/systemd/system/vornfabriclldpd.service ./usr/share/man/man8/{vornfabriclldpd,vornctl}.8.gz \
    ./usr/share/man/man1/{vorn-sim,rltrace}.1.gz "$doc"/{README.md,README.vornfabriclldpd.md} \
    "$doc"/examples/{vornfabriclldpd.json.example,two-members.json}; do
  expected+=("$path|-rw-r--r--")
done
for e in "${expected[@]}"; do
  path=${e%|*} mode=${e#*|}
  line=$(awk -v p="$path" '$6 == p' "$work/contents")
  if [ -z "$line" ]; then
    fail "the package has no $path"
  elif [[ $line != "$mode root/root "* ]]; then
    fail "$path: $(echo "$line" | awk '{print $1, $2}'), not $mode root/root"
  fi
done
# Nothing from the build tree leaks in (libraries, headers, test binaries).
# An entry is in one of these trees or is a directory leading to one.
awk 'BEGIN { n = split("./usr/bin/ ./usr/sbin/ ./usr/share/man/ ./usr/share/doc/vornfabriclldp/ ./lib/systemd/system/", trees, " ") }
     { ok = 0
       for (i = 1; i <= n; i++) if (index($6, trees[i]) == 1 || index(trees[i], $6) == 1) ok = 1
       if (!ok) print $6 }' "$work/contents" >"$work/strays"
[ ! -s "$work/strays" ] || fail "files outside the package's directories: $(head -n 5 "$work/strays" | tr '\n' ' ')"

# --- control data --------------------------------------------------------------
dpkg-deb -f "$deb" >"$work/control"
field() { sed -n "s/^$1: //p" "$work/control"; }
# field|what it must be (a regular expression, whole value)
control=(
  "Package|vornfabriclldp"
  "Version|${version//./\\.}"
  "Architecture|amd64"
  "Section|net"
  "Maintainer|.+ <[^ >]+@[^ >]+>"
  "Description|.*LLDP.*"
)
for c in "${control[@]}"; do
  name=${c%%|*} want=${c#*|}
  [[ $(field "$name") =~ ^($want)$ ]] || fail "$name is '$(field "$name")', not /$want/"
done
depends=$(field Depends)
for lib in 'libc6 \(>= [0-9.]+\)' 'libstdc\+\+6 \(>= [0-9.]+\)' 'libfmt[0-9]+' 'libsystemd0' 'adduser \| passwd'; do
  [[ $depends =~ (^|, )$lib ]] || fail "Depends does not name /$lib/: $depends"
done
dpkg-deb -e "$deb" "$work/control.d"
for script in postinst prerm postrm; do
  f="$work/control.d/$script"
  if [ ! -x "$f" ]; then
    fail "no executable maintainer script $script"
  elif ! sh -n "$f"; then
    fail "$script does not parse"
  fi
done
# postinst against stand-ins for the account tools, which record their
# calls: it makes the system user (and group) only when missing, with
# adduser where there is one, else groupadd and useradd.
stubs="$work/stubs"
mkdir "$stubs"
for tool in adduser groupadd useradd systemctl; do
  printf '#!/bin/sh\necho "%s $*" >>"%s"\n' "$tool" "$work/calls" >"$stubs/$tool"
done
printf '#!/bin/sh\n[ "$1" = passwd ] && exit "$PASSWD_RC"; exit "$GROUP_RC"\n' >"$stubs/getent"
chmod 755 "$stubs"/*
# user missing (getent rc), group missing, adduser present, action | calls wanted (regular expressions, in order, ";" between)
postinst_cases=(
  "2 2 yes configure|^adduser --system --group .*vornfabriclldp$"
  "2 2 no configure|^groupadd --system vornfabriclldp$;^useradd --system --gid vornfabriclldp .*vornfabriclldp$"
  "0 2 yes configure|^groupadd --system vornfabriclldp$"
  "0 0 yes configure|"
  "2 2 yes abort-upgrade|"
)
for c in "${postinst_cases[@]}"; do
  read -r passwd_rc group_rc adduser action <<<"${c%%|*}"
  IFS=';' read -ra want <<<"${c#*|}"
  [ "$adduser" = yes ] || mv "$stubs/adduser" "$stubs/adduser.off"
  : >"$work/calls"
  PATH="$stubs" PASSWD_RC=$passwd_rc GROUP_RC=$group_rc /bin/sh "$work/control.d/postinst" "$action" \
    || fail "postinst $action (${c%%|*}) fails"
  [ "$adduser" = yes ] || mv "$stubs/adduser.off" "$stubs/adduser"
  mapfile -t calls < <(grep -v '^systemctl ' "$work/calls")
  ok=$([ ${#calls[@]} -eq ${#want[@]} ] && echo 1 || echo 0)
  for i in "${!want[@]}"; do [[ ${calls[$i]:-} =~ ${want[$i]} ]] || ok=0; done
  [ "$ok" = 1 ] || fail "postinst (${c%%|*}) runs [${calls[*]}], not [${want[*]}]"
done

# --- unpacked: each tool runs from the package and its man page knows it -------
root="$work/root"
dpkg-deb -x "$deb" "$root"
cmp -s "$root/lib/systemd/system/vornfabriclldpd.service" "$src/tools/vornfabriclldpd/vornfabriclldpd.service" \
  || fail "the packaged unit is not tools/vornfabriclldpd/vornfabriclldpd.service"
for tool in "${tools[@]}"; do
  [ -x "$root/$(exe "$tool")" ] || continue  # reported above
  rc=0
  "$root/$(exe "$tool")" --help >"$work/help" 2>"$work/err" </dev/null || rc=$?
  if [ $rc -ne 0 ] || ! grep -q "Usage:" "$work/help"; then
    fail "$tool --help from the package: exit code $rc: $(head -c 300 "$work/err")"
    continue
  fi
  page=$(ls "$root"/usr/share/man/man[18]/"$tool".[18].gz 2>/dev/null | head -n 1)
  [ -n "$page" ] || { fail "no man page for $tool"; continue; }
  # The page's text with troff's escaped hyphens plain.
  gzip -dc "$page" | sed 's/\\-/-/g' >"$work/page"
  for option in $(grep -o -- '--[a-z][a-z-]*' "$work/help" | sort -u); do
    grep -qF -- "$option" "$work/page" || fail "$tool --help lists $option, its man page does not"
  done
  if command -v man >/dev/null; then
    man --warnings -l "$page" 2>"$work/man.err" >/dev/null || true
    [ ! -s "$work/man.err" ] || fail "man warns about $(basename "$page"): $(head -n 3 "$work/man.err")"
  fi
done

if [ $failures -ne 0 ]; then
  echo "$failures failures"
  exit 1
fi
echo "package $(basename "$deb"): checked (${tools[*]})"

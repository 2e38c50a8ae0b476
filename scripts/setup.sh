#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the tools need.
# Safe to run again: it installs only what is missing.
set -euo pipefail

packages=(
  g++ cmake ninja-build pkg-config
  libfmt-dev nlohmann-json3-dev libmnl-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  # Capture files (libpcap) and the tools' command lines (CLI11).
  libpcap-dev libcli11-dev
  # The daemon's readiness and watchdog notifications to systemd; the
  # Debian package (cpack's dependency lookup needs dpkg-shlibdeps).
  libsystemd-dev dpkg-dev
  # The daemon's integration test: namespaces, a standard LLDP peer and a
  # decoder for the frames on the wire.
  iproute2 lldpd tshark python3
  # The timeline page's test loads it in a headless browser.
  chromium
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "setup: installing ${missing[*]}"
if [ "$(id -u)" -ne 0 ]; then
  if command -v sudo >/dev/null 2>&1; then
    SUDO=sudo
  else
    echo "setup: these Debian packages are missing and this user cannot install them: ${missing[*]}" >&2
    echo "setup: run this script as root, or install them with apt-get" >&2
    exit 1
  fi
else
  SUDO=
fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq || { echo "setup: apt-get update failed" >&2; exit 1; }
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null \
  || { echo "setup: apt-get install failed for: ${missing[*]}" >&2; exit 1; }

#!/usr/bin/env bash
# Installs from Debian's packages whatever the build, the tests and the demo need.
# Safe to run again: packages already present are skipped.
set -euo pipefail
packages=(
  g++ cmake ninja-build pkg-config
  libssl-dev libpugixml-dev
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  qt6-base-dev
  mosquitto mosquitto-clients
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi
echo "Installing: ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
# The broker is a test peer only: the tests start their own instances on free ports.
if command -v systemctl >/dev/null 2>&1; then
  $SUDO systemctl disable --now mosquitto >/dev/null 2>&1 || true
fi

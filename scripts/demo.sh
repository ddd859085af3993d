#!/usr/bin/env bash
# Builds the driver and shows what it is through the reference host.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup-deps.sh
scripts/build.sh default >/dev/null
build/default/bin/mqtt-host info

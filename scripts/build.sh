#!/usr/bin/env bash
# Configures and builds one preset (default: "default"). Usage: scripts/build.sh [preset]
set -euo pipefail
cd "$(dirname "$0")/.."
preset="${1:-default}"
extra=()
if [ -n "${DRAVO_WERROR:-}" ]; then extra+=(-DDRAVO_WERROR=ON); fi
cmake --preset "$preset" "${extra[@]}" >/dev/null
cmake --build --preset "$preset"

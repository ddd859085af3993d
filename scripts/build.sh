#!/usr/bin/env bash
# Configures and builds one preset (default: "default"), optionally only some targets.
# Usage: scripts/build.sh [preset [target...]]
set -euo pipefail
cd "$(dirname "$0")/.."
preset="${1:-default}"
shift || true
targets=()
for t in "$@"; do targets+=(--target "$t"); done
extra=()
if [ -n "${DRAVO_WERROR:-}" ]; then extra+=(-DDRAVO_WERROR=ON); fi
cmake --preset "$preset" "${extra[@]}" >/dev/null
cmake --build --preset "$preset" "${targets[@]}"

#!/usr/bin/env bash
# The test command: installs dependencies, builds, runs every test, then builds the unit
# tests with AddressSanitizer and UndefinedBehaviorSanitizer and runs them again.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup-deps.sh
export DRAVO_WERROR=1
jobs=$(nproc)
scripts/build.sh default
ctest --test-dir build/default --output-on-failure -j "$jobs"
scripts/build.sh asan unit_tests
ctest --test-dir build/asan --output-on-failure -L unit -j "$jobs"

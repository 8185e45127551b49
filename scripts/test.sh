#!/usr/bin/env bash
# Builds the project twice (the presets `plain` and `sanitize`: AddressSanitizer +
# UndefinedBehaviorSanitizer), with warnings as errors, and runs every test of both builds through CTest.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 4)

# One build of CMakePresets.json: configure, build, run its tests.
run_build() {
  cmake --preset "$1" >/dev/null
  cmake --build --preset "$1" -j "$jobs"
  ctest --preset "$1" -j "$jobs"
}

echo "== plain build =="
run_build plain
echo "== sanitizer build =="
run_build sanitize

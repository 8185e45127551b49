#!/usr/bin/env bash
# Builds the project twice (plain, and with AddressSanitizer + UndefinedBehaviorSanitizer)
# with warnings as errors, and runs every test of both builds through CTest.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 4)

run_build() {
  local dir=$1; shift
  cmake -S . -B "$dir" -DQUERN_WERROR=ON "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
  (cd "$dir" && ctest --output-on-failure -j "$jobs" --timeout 300)
}

echo "== plain build =="
run_build build -DCMAKE_BUILD_TYPE=RelWithDebInfo
echo "== sanitizer build =="
run_build build-asan -DCMAKE_BUILD_TYPE=Debug -DQUERN_SANITIZE=ON

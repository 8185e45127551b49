#!/usr/bin/env bash
# Builds everything and starts the daemon in the foreground.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc 2>/dev/null || echo 4)"
if [ -x build/quernd/quernd ]; then
  exec build/quernd/quernd "$@"
fi
echo "Built the protocol library and its tests; the daemon (build/quernd/quernd) is not part of this build yet."

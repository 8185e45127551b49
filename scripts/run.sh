#!/usr/bin/env bash
# Builds everything and starts the daemon in the foreground.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc 2>/dev/null || echo 4)"
exec build/quernd/quernd "$@"

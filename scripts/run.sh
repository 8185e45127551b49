#!/usr/bin/env bash
# Builds what it runs (the daemon, the test shim, the client and the web
# server) and starts the daemon in the foreground.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc 2>/dev/null || echo 4)" --target quernd quern-session quern-client quern-web
exec build/quernd/quernd "$@"

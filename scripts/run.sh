#!/usr/bin/env bash
# Builds what it runs (the daemon, the test shim, the client and the web
# server) and starts the daemon in the foreground.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset plain >/dev/null
cmake --build --preset plain -j "$(nproc 2>/dev/null || echo 4)" --target quernd quern-session quern-client quern-web
exec build/quernd/quernd "$@"

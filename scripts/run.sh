#!/usr/bin/env bash
# Builds everything and starts the daemon in the foreground.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc 2>/dev/null || echo 4)"
if [ -x build/quernd/quernd ]; then
  exec build/quernd/quernd "$@"
fi
echo "Built the libraries, the test shim (build/quernd/quern-session) and the tests. This command will start the daemon, build/quernd/quernd, in the foreground once it is part of the build."

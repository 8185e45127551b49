#!/usr/bin/env bash
# Installs, with apt-get on Debian 12, what building and running the project
# needs; with --tests also what only the tests need (a real browser, and
# clang-16 with its runtime libraries for the fuzz targets); with --bench
# also the peers the relay benchmark compares against (Node's `ws` and dtach).
# Then the browser page's terminal library, pinned in testkit/web's
# package-lock.json, with `npm ci` into testkit/web/node_modules (Debian's
# npm is installed when there is no npm).
# Idempotent: packages already present are skipped. apt-get runs as root: directly
# when the script is run as root, else through sudo.
set -euo pipefail
cd "$(dirname "$0")/.."

with_tests=false
with_bench=false
for arg in "$@"; do
  case "$arg" in
    --tests) with_tests=true ;;
    --bench) with_bench=true ;;
    *) echo "install-deps: unknown argument $arg (only --tests, --bench)" >&2; exit 2 ;;
  esac
done

packages=(
  g++
  cmake
  make
  libboost1.81-dev
  libboost-json1.81-dev
  libssl-dev
  libgtest-dev
  procps
  lsof
)
if $with_tests; then
  # The browser end-to-end test drives headless Chromium; the fuzz targets
  # are built with clang-16 and its libFuzzer and sanitizer runtimes.
  packages+=(chromium clang-16 libclang-rt-16-dev)
fi
# quern-web's page runs its terminal library from the npm registry.
if ! command -v npm >/dev/null 2>&1; then
  packages+=(npm)
fi
if $with_bench; then
  # quern-bench-relay's anchors: a bridge written with Node's `ws` (node-ws
  # puts it in /usr/share/nodejs/ws and brings nodejs along) and dtach.
  packages+=(node-ws dtach)
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q '^install ok installed$'; then
    missing+=("$p")
  fi
done

install_page_library() {
  # Installed again only when the lock file is not the one installed last.
  local web=testkit/web
  if cmp -s "$web/package-lock.json" "$web/node_modules/.installed-lock.json"; then
    return 0
  fi
  echo "install-deps: installing the page's terminal library (npm ci in $web)"
  (cd "$web" && npm ci --no-audit --no-fund --ignore-scripts)
  cp "$web/package-lock.json" "$web/node_modules/.installed-lock.json"
}

if [ ${#missing[@]} -eq 0 ]; then
  install_page_library
  exit 0
fi

as_root=()
if [ "$(id -u)" -ne 0 ]; then
  if command -v sudo >/dev/null 2>&1; then
    as_root=(sudo)
  else
    echo "install-deps: missing packages: ${missing[*]}; run this script as root" >&2
    exit 1
  fi
fi

echo "install-deps: installing ${missing[*]}"
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -q
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive \
  apt-get install -y -q --no-install-recommends "${missing[@]}"
install_page_library

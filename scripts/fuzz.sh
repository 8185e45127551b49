#!/usr/bin/env bash
# Builds the libFuzzer targets with clang-16 (AddressSanitizer and
# UndefinedBehaviorSanitizer) in build-fuzz/ and runs each for the given
# number of seconds, 60 by default. What a run finds is kept: the corpus in
# build-fuzz/corpus/<target>/ grows from run to run, starting from the seeds in
# fuzz/corpus/<target>/, and a failing input is written to
# build-fuzz/artifacts/. Exits non-zero when any target fails.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
if ! [[ "$seconds" =~ ^[0-9]+$ ]] || [ "$seconds" -eq 0 ]; then
  echo "usage: scripts/fuzz.sh [seconds per target]" >&2
  exit 2
fi
cxx=${QUERN_FUZZ_CXX:-clang++-16}
if ! command -v "$cxx" >/dev/null 2>&1; then
  echo "fuzz: $cxx not found; ./scripts/install-deps.sh --tests installs it" >&2
  exit 1
fi
jobs=$(nproc 2>/dev/null || echo 4)

dir=build-fuzz
cmake --preset fuzz -DCMAKE_CXX_COMPILER="$cxx" >/dev/null
cmake --build --preset fuzz -j "$jobs"

failed=()
# fuzz/targets.txt: each target with its dictionary and seeds.
while read -r t dict seeds; do
  [[ -z "$t" || "$t" == \#* ]] && continue
  mkdir -p "$dir/corpus/$t" "$dir/artifacts" "$dir/logs"
  log="$dir/logs/$t.log"
  if "$dir/fuzz/fuzz_$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 </dev/null \
      -dict="fuzz/$dict" -artifact_prefix="$dir/artifacts/$t-" \
      "$dir/corpus/$t" "fuzz/$seeds" >"$log" 2>&1; then
    echo "fuzz $t: $(grep -E '^Done [0-9]+ runs' "$log" | tail -n 1), corpus $(find "$dir/corpus/$t" -type f | wc -l) inputs"
  else
    echo "fuzz $t: FAILED (log $log)"
    tail -n 40 "$log"
    failed+=("$t")
  fi
done <fuzz/targets.txt

if [ ${#failed[@]} -ne 0 ]; then
  echo "fuzz: failing targets: ${failed[*]}" >&2
  exit 1
fi

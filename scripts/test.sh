#!/usr/bin/env bash
# Sets up, builds and runs every test under AddressSanitizer + UndefinedBehaviorSanitizer,
# then runs the threaded tests again under ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh

# ccache hits across checkouts only with these.
export CCACHE_BASEDIR="$(dirname "$PWD")"
export CCACHE_NOHASHDIR=1

for preset in asan tsan; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  ctest --preset "$preset"
done

#!/usr/bin/env bash
# Sets up and builds the development configuration (programs, tests and benchmarks).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
export CCACHE_BASEDIR="$(dirname "$PWD")"
export CCACHE_NOHASHDIR=1
cmake --preset dev >/dev/null
cmake --build --preset dev

#!/usr/bin/env bash
# Builds the fuzz targets with clang (libFuzzer, AddressSanitizer, UndefinedBehaviorSanitizer)
# and runs each over its seeds: the design corpus of the tests (tests/data/corpus) and fuzz/seeds.
#   scripts/fuzz.sh [SECONDS]      default 30 seconds per target
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-30}"

if ! command -v clang++ >/dev/null || ! ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1; then
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang libclang-rt-dev >/dev/null
fi

export CCACHE_BASEDIR="$(cd .. && pwd)" CCACHE_NOHASHDIR=1
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j2

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
seeds=(fuzz/seeds fuzz/seeds/stitchfiles)
seeds+=(tests/data/corpus/synthetic/pes tests/data/corpus/synthetic/pes_v6
                                  tests/data/corpus/synthetic/pec tests/data/corpus/real/pes tests/data/corpus/real/pec
                                  tests/data/corpus/synthetic/xxx
                                  tests/data/corpus/synthetic/dst tests/data/corpus/synthetic/exp
                                  tests/data/corpus/synthetic/jef tests/data/corpus/synthetic/vp3
                                  tests/data/corpus/synthetic/u01)
for target in formats_fuzz compress_fuzz process_brother_fuzz process_pfaff_fuzz process_viking_fuzz process_janome_fuzz process_artista_happy_fuzz process_xl_fuzz; do
  mkdir -p "$work/$target"
  target_seeds=("${seeds[@]}")
  # Card images for the card extraction; design files mean nothing to it.
  [ "$target" = process_brother_fuzz ] && target_seeds=(fuzz/seeds/brother)
  [ "$target" = process_pfaff_fuzz ] && target_seeds=(fuzz/seeds/pfaff)
  [ "$target" = process_viking_fuzz ] && target_seeds=(fuzz/seeds/viking)
  [ "$target" = process_janome_fuzz ] && target_seeds=(fuzz/seeds/janome)
  [ "$target" = process_artista_happy_fuzz ] && target_seeds=(fuzz/seeds/artista_happy)
  [ "$target" = process_xl_fuzz ] && target_seeds=(fuzz/seeds/xl)
  echo "fuzzing $target for $seconds s"
  "build/fuzz/fuzz/$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="$work/" "$work/$target" "${target_seeds[@]}" 2>&1 | tail -n 25
done

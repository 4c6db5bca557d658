#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (build-fuzz/) and runs each for SECONDS (default 20)
# from the seed corpus it writes itself. Crashes, and inputs that run longer than 10 s (a hang),
# leave their input in build-fuzz/crashes/.
#   scripts/fuzz.sh [SECONDS]
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
seconds=${1:-20}
build=$root/build-fuzz
CC=clang CXX=clang++ BUILD_DIR=$build BUILD_TYPE=RelWithDebInfo "$root/scripts/build.sh" \
  -DQO_FUZZ=ON -DQO_BUILD_TESTS=OFF -DQO_BUILD_BENCH=OFF -DQO_BUILD_TOOLS=OFF
mkdir -p "$build/crashes"
for fuzzer in "$build"/fuzz/fuzz_*; do
  name=$(basename "$fuzzer")
  corpus=$build/corpus/$name
  mkdir -p "$corpus"
  QO_FUZZ_SEEDS=$corpus "$fuzzer"
  echo "[fuzz] $name for ${seconds}s"
  "$fuzzer" "$corpus" -max_total_time="$seconds" -timeout=10 -artifact_prefix="$build/crashes/$name-" \
    -print_final_stats=1 2>&1 | grep -E '^(stat::number_of_executed_units|==|SUMMARY|INFO: (Loaded|seed))' || true
  if ls "$build/crashes/$name-"* >/dev/null 2>&1; then echo "[fuzz] $name found a crash" >&2; exit 1; fi
done

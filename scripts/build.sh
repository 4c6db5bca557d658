#!/usr/bin/env bash
# Configures and builds libqo_core, the qo tool, tests and benchmarks into BUILD_DIR (default build/).
#   scripts/build.sh [extra cmake args...]
# Environment: BUILD_DIR, BUILD_TYPE (Release), JOBS (all cores).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${BUILD_DIR:-$root/build}
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE="${BUILD_TYPE:-Release}" "$@" >/dev/null
ninja -C "$build" ${JOBS:+-j "$JOBS"}

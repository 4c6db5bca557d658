#!/usr/bin/env bash
# The main job from a bare machine: dependencies, build, then the qo tool on a bundle.
#   scripts/run.sh [BUNDLE]    (default: the sample bundle in examples/minimal)
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
"$root/scripts/install-deps.sh"
"$root/scripts/build.sh"
bundle=${1:-$root/examples/minimal}
exec "${BUILD_DIR:-$root/build}/bin/qo" info "$bundle"

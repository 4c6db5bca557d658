#!/usr/bin/env bash
# The main job from a bare machine: dependencies, build, then the engine on a bundle.
#   scripts/run.sh [BUNDLE]    (default: the demo bundle, written to out/demo.qobundle on first use)
# Replays the bundle's drive tables through the C API into out/render.mp4 and a contact sheet.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
"$root/scripts/install-deps.sh"
"$root/scripts/build.sh"
qo="${BUILD_DIR:-$root/build}/bin/qo"
mkdir -p "$root/out"
bundle=${1:-$root/out/demo.qobundle}
if [[ $# -eq 0 && ! -e "$bundle/manifest.json" ]]; then "$qo" demo "$bundle"; fi
"$qo" info "$bundle"
exec "$qo" render "$bundle" --out "$root/out/render.mp4"

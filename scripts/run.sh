#!/usr/bin/env bash
# The main job from a bare machine: dependencies, build, then the engine speaking.
#   scripts/run.sh [BUNDLE [IN.wav]]   (default: the demo bundle, written to out/demo.qobundle on
#                                       first use, speaking a built-in sentence)
# Writes out/say.mp4 (video with the speech, teeth borrowed live when the bundle carries the teeth
# members) and its contact sheet out/say_sheet.png; for the demo bundle also out/teeth_sheet.png, its
# mouths before and after the teeth borrow, and out/m4b.mp4, the fused m4b director rendered on the
# native fp16 conv engine.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
"$root/scripts/install-deps.sh"
"$root/scripts/build.sh"
qo="${BUILD_DIR:-$root/build}/bin/qo"
mkdir -p "$root/out"
bundle=${1:-$root/out/demo.qobundle}
if [[ $# -eq 0 && ! -e "$bundle/manifest.json" ]]; then "$qo" demo "$bundle"; fi
"$qo" info "$bundle"
args=("$bundle" --out "$root/out/say.mp4")
if [[ $# -ge 2 ]]; then args+=(--wav "$2"); fi
"$qo" say "${args[@]}"
if [[ $# -eq 0 ]]; then
  "$qo" teeth "$bundle" --out "$root/out"
  # The fused m4b director on the engine's own fp16 conv backend: a second demo bundle, one second of video.
  m4b=$root/out/demo_m4b.qobundle
  if [[ ! -e "$m4b/model_m4b.onnx" ]]; then "$qo" demo "$m4b" --m4b; fi
  QO_CONV_BACKEND=neon "$qo" render "$m4b" --model m4b --frames 25 --out "$root/out/m4b.mp4"
fi

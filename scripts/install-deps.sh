#!/usr/bin/env bash
# Installs everything libqo_core needs to build, test and benchmark on Debian 12.
# Idempotent: packages already present and an ONNX Runtime already extracted are left alone.
#
#   scripts/install-deps.sh            build + test dependencies
#   scripts/install-deps.sh --bench    also the benchmark-only comparisons (OpenCV)
#   scripts/install-deps.sh --browser  also Chromium, for the headless test of qo serve
#
# ONNX Runtime comes from the npm registry (Debian ships none); the tarball is cached under
# ${XDG_CACHE_HOME:-~/.cache}/qo_core so a fresh clone reuses it, and is verified by checksum.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(cd "$here/.." && pwd)

packages=(
  build-essential cmake ninja-build pkg-config clang lld llvm ca-certificates
  libhwy-dev libavformat-dev libavcodec-dev libswscale-dev libavutil-dev libstb-dev
  libgtest-dev libgmock-dev libbenchmark-dev ffmpeg espeak-ng libonnx-testdata libkissfft-dev
  libcpp-httplib-dev python3-numpy
)
if [[ "${1:-}" == "--bench" ]]; then packages+=(libopencv-dev); fi
if [[ "${1:-}" == "--browser" ]]; then packages+=(chromium); fi
# Any working npm will do (some machines carry nodejs builds that conflict with Debian's npm).
command -v npm >/dev/null || packages+=(npm)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "[deps] installing: ${missing[*]}"
  sudo=()
  [[ $(id -u) -eq 0 ]] || sudo=(sudo)
  export DEBIAN_FRONTEND=noninteractive
  "${sudo[@]}" apt-get update -qq
  "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

"$here/fetch-onnxruntime.sh" "$root/third_party/onnxruntime"

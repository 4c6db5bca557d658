#!/usr/bin/env bash
# Builds libqo_core for 64-bit Arm Linux with Debian's cross toolchain and runs its tests under
# qemu's user-mode emulation, from a bare Debian 12 machine.
#   scripts/cross-aarch64.sh          every ORT-free test binary; the per-target suites (simd*, paste)
#                                     on NEON and on SVE at 128, 256 and 512 bits
#   scripts/cross-aarch64.sh --quick  the per-target suites only, at SVE 128 and 256 bits (CI)
# Environment: BUILD_DIR (build-aarch64), JOBS.
#
# Each emulated CPU runs every per-target test once per Highway target it supports, and every
# such test compares each target bit for bit with the scalar references. The NEON-only CPU
# (cortex-a72) shows the NEON path alone; qemu's max CPU adds SVE and SVE2, and its vector
# length decides whether the SVE2_128 (128 bits) or SVE_256 (256 bits) targets also run.
#
# The npm package the project takes ONNX Runtime from has no Linux arm64 library (its arm64
# builds are for Android, Apple and Windows), so the renderer, audio models, pipelines, C API and
# tools are left out (-DQO_WITH_ORT=OFF).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${BUILD_DIR:-$root/build-aarch64}
quick=0
case "${1:-}" in
  --quick) quick=1 ;;
  "") ;;
  *) echo "usage: scripts/cross-aarch64.sh [--quick]" >&2; exit 2 ;;
esac

# --- packages: the cross compiler, arm64 libraries beside the host's (multiarch), qemu
start=$SECONDS
packages=(g++-aarch64-linux-gnu binutils-aarch64-linux-gnu qemu-user-static cmake ninja-build pkg-config libstb-dev
          libhwy-dev:arm64 libgtest-dev:arm64 libgmock-dev:arm64
          libavformat-dev:arm64 libavcodec-dev:arm64 libswscale-dev:arm64 libavutil-dev:arm64)
sudo=()
[[ $(id -u) -eq 0 ]] || sudo=(sudo)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "[cross] installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  dpkg --print-foreign-architectures | grep -qx arm64 || "${sudo[@]}" dpkg --add-architecture arm64
  "${sudo[@]}" apt-get -o DPkg::Lock::Timeout=600 update -qq
  "${sudo[@]}" apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
echo "[cross] packages ready in $((SECONDS - start)) s"

# --- configure and build
start=$SECONDS
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
# Tests are listed by ctest when it runs (not by running each binary under qemu after linking).
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchains/aarch64-linux-gnu.cmake" -DQO_WITH_ORT=OFF \
  -DCMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE=PRE_TEST "${launcher[@]}" >/dev/null
# Per-target suites: every test binary named qo_test_simd*, and the compositor's.
mapfile -t simd < <(ninja -C "$build" -t targets all | sed -n 's/^\(qo_test_simd[A-Za-z0-9_]*\): phony$/\1/p')
targeted=("${simd[@]}" qo_test_paste)
once=()  # every other gtest binary (not the C smoke test: the qo tool, which needs ORT, writes its bundle)
if ((!quick)); then
  mapfile -t once < <(ninja -C "$build" -t targets all | sed -n 's/^\(qo_test_[A-Za-z0-9_]*\): phony$/\1/p' |
                      grep -v -x -e qo_test_support -e qo_test_paste -e 'qo_test_simd.*' -e 'qo_test_.*_c')
fi
ninja -C "$build" ${JOBS:+-j "$JOBS"} "${targeted[@]}" "${once[@]}"
echo "[cross] built ${targeted[*]} ${once[*]} in $((SECONDS - start)) s"

# GCC contracts a * b + c into one fused instruction by default on AArch64, which changes the
# rounding; the project builds with -ffp-contract=off, so no kernel may contain one.
fused=$(for o in "$build"/src/CMakeFiles/qo_core_objects.dir/{compute,paste}/*.o; do
          aarch64-linux-gnu-objdump -d "$o" | grep -q -E '\s(fn?m(la|ls|add|sub|ad|sb))\s' && basename "$o"
        done || true)
[[ -z "$fused" ]] || { echo "[cross] fused multiply-add in: $fused" >&2; exit 1; }

# --- run under qemu
qemu=$(command -v qemu-aarch64-static || command -v qemu-aarch64)
binary() { find "$build/tests" -type f -name "$1" -perm -u+x | head -n 1; }
run() {  # run CPU LABEL BINARY...
  local cpu=$1 label=$2 start=$SECONDS
  shift 2
  for name in "$@"; do
    local exe log
    exe=$(binary "$name")
    log="$build/qemu-$label-$name.log"
    # Death tests fork without re-executing: a re-exec would bypass qemu (no binfmt handler needed).
    # QO_TEST_UNDER_QEMU skips the one death test that must re-execute the binary (qemu-user
    # cannot be re-entered through execv without a binfmt handler; the logs list it as skipped).
    if ! QO_TEST_UNDER_QEMU=1 QEMU_CPU=$cpu "$qemu" "$exe" --gtest_brief=1 --gtest_death_test_style=fast >"$log" 2>&1; then
      grep -E '^\[  FAILED  \]|Failure|error' "$log" | head -n 40 >&2
      echo "[cross] $label: $name FAILED (log: $log)" >&2
      exit 1
    fi
    local passed skipped targets
    passed=$(sed -n 's/^\[  PASSED  \] \([0-9]*\) test.*/\1/p' "$log")
    skipped=$(sed -n 's/^\[  SKIPPED \] \([0-9]*\) test.*/\1/p' "$log")
    targets=$(sed -n 's/^\[   SIMD   \] targets checked: //p' "$log" | sort -u | paste -sd '|')
    echo "[cross] $label: $name: ${passed:-?} tests passed${skipped:+, $skipped skipped}${targets:+, targets $targets}"
  done
  echo "[cross] $label took $((SECONDS - start)) s"
}

if ((quick)); then
  run max,sve-default-vector-length=16 sve128 "${targeted[@]}"
  run max,sve-default-vector-length=32 sve256 "${targeted[@]}"
else
  run cortex-a72 neon "${targeted[@]}"
  run max,sve-default-vector-length=16 sve128 "${targeted[@]}"
  run max,sve-default-vector-length=32 sve256 "${targeted[@]}"
  run max,sve-default-vector-length=64 sve512 "${targeted[@]}" "${once[@]}"
fi
echo "[cross] all passed"

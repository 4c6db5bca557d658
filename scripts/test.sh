#!/usr/bin/env bash
# The test suite from a bare machine: dependencies, build, every test.
#   scripts/test.sh               Release build in build/
#   scripts/test.sh --asan        AddressSanitizer + UBSan build in build-asan/
#   scripts/test.sh --tsan        ThreadSanitizer build in build-tsan/ (threaded parts)
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# The plain suite also runs qo serve in headless Chromium (about 110 s to install on a machine
# that has the build dependencies; the sanitizer runs skip that test).
deps=()
[[ -n "${1:-}" ]] || deps=(--browser)
"$root/scripts/install-deps.sh" "${deps[@]}"

extra=()
filter=()
# Sanitizer builds at -O1 with line tables only (-g1): reports still name file and line, and the
# tree compiles in about half the time of -O2 -g, which is most of what these runs cost.
sanitized=(-DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1 -DNDEBUG" -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O1 -g1 -DNDEBUG")
case "${1:-}" in
  --asan) export BUILD_DIR=${BUILD_DIR:-$root/build-asan} BUILD_TYPE=RelWithDebInfo
          export LSAN_OPTIONS="suppressions=$root/scripts/lsan.supp${LSAN_OPTIONS:+:$LSAN_OPTIONS}"
          extra=(-DQO_SANITIZE=address,undefined -DQO_BUILD_BENCH=OFF "${sanitized[@]}") ;;
  --tsan) export BUILD_DIR=${BUILD_DIR:-$root/build-tsan} BUILD_TYPE=RelWithDebInfo
          extra=(-DQO_SANITIZE=thread -DQO_BUILD_BENCH=OFF "${sanitized[@]}")
          export TSAN_OPTIONS="suppressions=$root/scripts/tsan.supp${TSAN_OPTIONS:+:$TSAN_OPTIONS}"
          filter=(-R 'Pool|Cursor|Utt|Pipeline|Concurrent|Thread|Identity|paste|a2x|Frontend|Hoist|serve|StreamOverlap|ConvBackendTest') ;;
  "") ;;
  *) echo "usage: scripts/test.sh [--asan|--tsan]" >&2; exit 2 ;;
esac
build=${BUILD_DIR:-$root/build}
"$root/scripts/build.sh" "${extra[@]}"
ctest --test-dir "$build" --output-on-failure -j "$(nproc)" "${filter[@]}"

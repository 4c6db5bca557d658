#!/usr/bin/env bash
# command_log_test.sh QO say|render|stream: runs the command on a tiny demo bundle with standard error in
# a file, as a log. The log holds no carriage return and a few dozen lines at most; the summary
# lines on standard output keep the forms scripts and the README rely on.
set -euo pipefail
qo=$1 cmd=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$qo" demo "$work/bundle" --tiny >/dev/null
if [[ $cmd == say ]]; then
  "$qo" say "$work/bundle" --fast --out "$work/out.mp4" >"$work/stdout" 2>"$work/log"
elif [[ $cmd == stream ]]; then
  "$qo" stream "$work/bundle" --out "$work/out.mp4" >"$work/stdout" 2>"$work/log"
else
  "$qo" render "$work/bundle" --frames 40 --out "$work/out.mp4" >"$work/stdout" 2>"$work/log"
fi
fail() { echo "FAIL: $*"; echo "--- log:"; cat -A "$work/log" | head -c 2000; echo; echo "--- stdout:"; cat "$work/stdout"; exit 1; }
if grep -q $'\r' "$work/log"; then fail "carriage returns in a log"; fi
lines=$(wc -l <"$work/log")
((lines <= 40)) || fail "$lines lines of log"
want=(
  "^wrote $work/out.mp4 \\([0-9]+ frames 96x64, .+\\) and $work/out_sheet.png$"
)
if [[ $cmd == stream ]]; then
  want=("^wrote $work/out.mp4 \\([0-9]+ frames 96x64, .+\\)$"
        "^streamed [0-9]+ frames in [0-9.]+ s: [0-9.]+ fps")
elif [[ $cmd == say ]]; then
  want+=("^frames: [0-9]+ idle, [0-9]+ speech, [0-9]+ ramp; first speech frame [0-9]+ ms after the first audio$"
         "^delivered [0-9.]+ fps over [0-9.]+ s \\(as fast as possible pace\\); speech render [0-9.]+ ms/frame")
else
  want+=("^per frame: render [0-9.]+ ms, decode [0-9.]+ ms, paste [0-9.]+ ms, encode [0-9.]+ ms; [0-9.]+ fps overall$")
fi
for re in "${want[@]}"; do grep -Eq "$re" "$work/stdout" || fail "no summary line matching $re"; done
echo "ok: $lines lines of log"

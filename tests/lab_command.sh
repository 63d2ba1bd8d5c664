#!/usr/bin/env bash
# The README's command for the lab by hand, with Wine and the build as
# stand-ins that log their calls: it refuses without a display; on one it
# builds the lab, starts it there under Wine's X11 driver with the
# arguments given, and gives the tests' null driver back afterwards.
set -uo pipefail
root=$1
fail() { echo "FAIL: $*"; exit 1; }
command=$(awk '/^## Try the lab by hand/ {f = 1; next} /^## / {f = 0} f && /^    / {print; exit}' "$root/README.md")
command=${command#"${command%%[! ]*}"}
[ -n "$command" ] || fail "the README gives no command under 'Try the lab by hand'"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/bin" "$work/build/wineprefix"
touch "$work/build/wineprefix/.kestrel-ready"
for tool in wine wineserver wineboot cmake; do
  printf '#!/bin/sh\necho "%s $* [DISPLAY=${DISPLAY:-}]" >>"%s/calls"\n' "$tool" "$work" >"$work/bin/$tool"
  chmod +x "$work/bin/$tool"
done
run() { (cd "$root" && PATH="$work/bin:$PATH" KESTREL_BUILD="$work/build" bash -c "$command $*" </dev/null); }

: >"$work/calls"
run 2>"$work/err" && fail "'$command' started without a display"
grep -q DISPLAY "$work/err" || fail "no word of the display: $(cat "$work/err")"
[ -s "$work/calls" ] && fail "without a display it still ran: $(cat "$work/calls")"

export DISPLAY=:42
run --auto || fail "'$command --auto' failed on a display"
export -n DISPLAY
line() { grep -n -F -- "$1" "$work/calls" | tail -1 | cut -d: -f1; }
built=$(line "cmake --build $work/build") x11=$(line "/d x11") started=$(line "wine $work/build/bin/KestrelLab.exe --auto [DISPLAY=:42]") null=$(line "/d null")
[ -n "$built" ] || fail "the lab was not built: $(cat "$work/calls")"
[ -n "$x11" ] && [ -n "$started" ] && [ -n "$null" ] || fail "not started on the display: $(cat "$work/calls")"
[ "$built" -lt "$started" ] && [ "$x11" -lt "$started" ] && [ "$started" -lt "$null" ] ||
  fail "out of order: $(cat "$work/calls")"
echo "PASS: $command"

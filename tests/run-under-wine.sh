#!/usr/bin/env bash
# Runs a test program under Wine for CTest. Now and then, under load, Wine's
# loader gives up before the program starts: no output at all, nothing ran.
# Such a start is reported and made once more; anything the program itself
# printed (a crash included) is judged as it stands.
out=$(mktemp)
trap 'rm -f "$out"' EXIT
wine "$@" >"$out" 2>&1
rc=$?
if [ ! -s "$out" ]; then
  echo "run-under-wine: the program did not start (wine exit code $rc); starting it once more"
  wine "$@"
  exit $?
fi
cat "$out"
exit $rc

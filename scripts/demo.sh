#!/usr/bin/env bash
# Builds the lab and runs its demos: the transcript of a virtual drive taking
# an update, then KestrelLab.exe, the updater's own dialog over the virtual
# machine room, in a real window. Without a display it runs on a virtual one
# (Xvfb, framed by Wine's virtual desktop) and saves a screenshot.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
kestrel_install xvfb xauth x11-apps imagemagick
saved_display=${DISPLAY:-}
unset DISPLAY
kestrel_wine_env
kestrel_wine_start
kestrel_build --target KestrelLabDemo --target KestrelLab
wine "$KESTREL_BUILD/bin/KestrelLabDemo.exe" "$@" </dev/null

# The dialog needs a real graphics driver; the tests' prefix uses the null one.
kestrel_wine_graphics x11
xvfb_pid=""
restore() {
  kestrel_wine_graphics null || true
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
}
trap restore EXIT

# KestrelLab.exe runs one whole update as a person would: the drive is
# selected, RUN pressed, the question answered, the closing message read.
marks="$KESTREL_BUILD/demo-marks"
rm -rf "$marks" && mkdir -p "$marks"
guided=(wine "$KESTREL_BUILD/bin/KestrelLab.exe" --guided "$(winepath -w "$marks" 2>/dev/null)")
# Answers a mark of the guided run, with a screenshot when there is a file name.
answer() {
  local name=$1 shot=$2
  for _ in $(seq 1 600); do
    [ -f "$marks/$name.ready" ] && break
    sleep 0.2
  done
  [ -n "$shot" ] && import -window root "$shot" && echo "== screenshot: $shot"
  touch "$marks/$name.taken"
}
if [ -n "$saved_display" ]; then
  echo "== KestrelLab.exe on your display: watch the update run"
  DISPLAY=$saved_display "${guided[@]}" </dev/null >/dev/null 2>&1 &
  for name in ready question progress done waiting failure; do answer "$name" ""; done
else
  export DISPLAY=:97
  Xvfb "$DISPLAY" -screen 0 1100x620x24 </dev/null >/dev/null 2>&1 &
  xvfb_pid=$!
  sleep 1
  wine explorer /desktop=KestrelLab,1100x620 "$KESTREL_BUILD/bin/KestrelLab.exe" --guided \
    "$(winepath -w "$marks" 2>/dev/null)" </dev/null >/dev/null 2>&1 &
  answer ready "$KESTREL_BUILD/kestrel-lab.png"
  answer question "$KESTREL_BUILD/kestrel-lab-question.png"
  answer progress "$KESTREL_BUILD/kestrel-lab-progress.png"
  answer done "$KESTREL_BUILD/kestrel-lab-done.png"
  answer waiting "$KESTREL_BUILD/kestrel-lab-waiting.png"
  answer failure "$KESTREL_BUILD/kestrel-lab-failure.png"
fi
for _ in $(seq 1 100); do
  [ -f "$marks/demo-report.txt" ] && break
  sleep 0.2
done
echo "== the drive before and after the update"
cat "$marks/demo-report.txt" 2>/dev/null | tr -d '\r' || echo "(no report: the guided run did not finish)"

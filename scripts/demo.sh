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
wineserver -k </dev/null >/dev/null 2>&1 || true
wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d x11 /f </dev/null >/dev/null 2>&1
wineserver -k </dev/null >/dev/null 2>&1 || true
xvfb_pid=""
restore() {
  wineserver -k </dev/null >/dev/null 2>&1 || true
  wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f </dev/null >/dev/null 2>&1 || true
  wineserver -k </dev/null >/dev/null 2>&1 || true
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
}
trap restore EXIT

shot="$KESTREL_BUILD/kestrel-lab.png"
if [ -n "$saved_display" ]; then
  echo "== KestrelLab.exe on your display; close its dialog to end the demo"
  DISPLAY=$saved_display wine "$KESTREL_BUILD/bin/KestrelLab.exe" </dev/null >/dev/null 2>&1
else
  export DISPLAY=:97
  Xvfb "$DISPLAY" -screen 0 1100x620x24 </dev/null >/dev/null 2>&1 &
  xvfb_pid=$!
  sleep 1
  wine explorer /desktop=KestrelLab,1100x620 "$KESTREL_BUILD/bin/KestrelLab.exe" </dev/null >/dev/null 2>&1 &
  # Wait for the dialog to fill its list (a rescan takes a moment in Wine).
  for _ in $(seq 1 30); do
    sleep 1
    xwininfo -root -tree 2>/dev/null | grep -q "Kestrel Demo Firmware Update" && break
  done
  sleep 3
  import -window root "$shot"
  echo "== screenshot of KestrelLab.exe: $shot"
fi

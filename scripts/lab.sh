#!/usr/bin/env bash
# Starts KestrelLab.exe on the current display as a person tries it: the
# updater's own dialog over the lab's machine room, with real message boxes
# and real time. Builds it first when needed. Arguments go to the program
# (--auto: the lab answers every box itself, in virtual time). A file
# KestrelLab.scenario beside the program in build/bin replaces the built-in
# machine (lab/Scenario.h).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
display=${DISPLAY:-}
if [ -z "$display" ]; then
  echo "lab.sh: there is no display (DISPLAY is empty); scripts/demo.sh runs the lab on a virtual one" >&2
  exit 2
fi
kestrel_install
unset DISPLAY
kestrel_wine_env
kestrel_wine_start
kestrel_build --target KestrelLab
# Windows on the display need Wine's X11 driver; the tests' null one comes back after.
kestrel_wine_graphics x11
trap 'kestrel_wine_graphics null' EXIT
DISPLAY=$display wine "$KESTREL_BUILD/bin/KestrelLab.exe" "$@"

#!/usr/bin/env bash
# Builds the lab and runs its demo: a virtual drive receives an update.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
kestrel_install
unset DISPLAY
kestrel_wine_env
kestrel_wine_start
kestrel_build --target KestrelLabDemo
wine "$KESTREL_BUILD/lab/KestrelLabDemo.exe" "$@" </dev/null

#!/usr/bin/env bash
# Builds everything and runs every test under Wine with CTest.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
start=$(date +%s)
kestrel_install
unset DISPLAY
# The build runs its own tools under Wine too.
kestrel_wine_env
kestrel_wine_start
kestrel_build
cd "$KESTREL_BUILD"
ctest --output-on-failure -j "$(nproc)" --timeout 120 </dev/null
echo "== tests done in $(( $(date +%s) - start )) s"

# Shared by the README commands: installs what the build needs, configures and
# builds the tree, and keeps a private Wine prefix inside the build folder.
# Sourced, not run.

KESTREL_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
KESTREL_BUILD=${KESTREL_BUILD:-$KESTREL_ROOT/build}

KESTREL_PACKAGES="g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
libz-mingw-w64-dev wine wine64 fonts-wine cmake ninja-build googletest"

kestrel_install() {
  local missing=() p
  for p in $KESTREL_PACKAGES $*; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  # Commands that may come from elsewhere than Debian's packages.
  command -v python3 >/dev/null || missing+=(python3)
  command -v npm >/dev/null || missing+=(npm)
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "== installing: ${missing[*]}"
  local sudo=""
  [ "$(id -u)" -ne 0 ] && sudo=sudo
  $sudo apt-get update -qq </dev/null >/dev/null
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" </dev/null >/dev/null
}

kestrel_build() {
  mkdir -p "$KESTREL_BUILD"
  cmake -S "$KESTREL_ROOT" -B "$KESTREL_BUILD" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$KESTREL_ROOT/cmake/mingw-w64-x86_64.cmake" \
    -DCMAKE_BUILD_TYPE=${KESTREL_BUILD_TYPE:-RelWithDebInfo} </dev/null >"$KESTREL_BUILD/configure.log" 2>&1 \
    || { cat "$KESTREL_BUILD/configure.log"; return 1; }
  cmake --build "$KESTREL_BUILD" -j "$(nproc)" "$@" </dev/null
}

# A private prefix per build tree; tests and the demo never touch ~/.wine.
kestrel_wine_env() {
  mkdir -p "$KESTREL_BUILD"
  export WINEPREFIX="$KESTREL_BUILD/wineprefix"
  export WINEARCH=win64
  export WINEDEBUG=-all
  export WINEDLLOVERRIDES="mscoree,mshtml="
  if [ ! -f "$WINEPREFIX/.kestrel-ready" ]; then
    echo "== creating the Wine prefix"
    rm -rf "$WINEPREFIX"
    wineboot -i </dev/null >/dev/null 2>&1
    # Without a display Wine refuses to create windows unless the null
    # graphics driver is chosen.
    wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f </dev/null >/dev/null 2>&1
    # Debian's Wine does not find its own fonts.
    mkdir -p "$WINEPREFIX/drive_c/windows/Fonts"
    cp /usr/share/wine/fonts/* "$WINEPREFIX/drive_c/windows/Fonts/" 2>/dev/null || true
    wineserver -w </dev/null >/dev/null 2>&1
    touch "$WINEPREFIX/.kestrel-ready"
  fi
}

# One persistent server with every stream on /dev/null: a server that inherits
# ctest's pipes makes each test wait for it.
kestrel_wine_start() {
  # A server already running for this prefix (a run that was cut short)
  # serves as well: its start refusing is no failure.
  wineserver -p </dev/null >/dev/null 2>&1 || true
  wine cmd /c exit </dev/null >/dev/null 2>&1
  trap 'wineserver -k </dev/null >/dev/null 2>&1 || true' EXIT
}

# The prefix's graphics driver: null for the tests, x11 for windows on a
# display. Wine reads it when its server starts.
kestrel_wine_graphics() {
  wineserver -k </dev/null >/dev/null 2>&1 || true
  wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d "$1" /f </dev/null >/dev/null 2>&1
  wineserver -k </dev/null >/dev/null 2>&1 || true
}

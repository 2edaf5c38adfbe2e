# Sourced: a fresh, quiet, headless wine prefix inside a build folder.
#   source scripts/wine/env.sh BUILD_DIR
# Sets WINEPREFIX to BUILD_DIR/wineprefix (created on first use, with no mono
# or gecko prompts and wine's null graphics driver), WINEDEBUG and
# WINEDLLOVERRIDES. A test that must draw a window sets the graphics driver
# back with odu_wine_graphics x11 and runs under Xvfb.
odu_wine_build=${1:?usage: source scripts/wine/env.sh BUILD_DIR}
export WINEPREFIX="$(cd "$odu_wine_build" && pwd)/wineprefix"
export WINEARCH=win64
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="

odu_wine_graphics() {  # null | x11
  local driver=$1
  if [[ $driver == x11 ]]; then
    wine reg delete 'HKCU\Software\Wine\Drivers' /v Graphics /f >/dev/null 2>&1 || true
  else
    wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1
  fi
}

if [[ ! -f $WINEPREFIX/system.reg ]]; then
  mkdir -p "$WINEPREFIX"
  wineboot -i >/dev/null 2>&1 || true
  wineserver -w
  odu_wine_graphics null
  # A running wine server keeps the driver it started with.
  wineserver -w
fi

#!/usr/bin/env bash
# Runs the Win32 window tests of a Windows build under wine:
#   scripts/wine/window-tests.sh WIN_BUILD [--pictures]
# The tests labelled "window" run on wine's null graphics driver at its
# default 96 dpi, the layout checks once more at 144 dpi. With --pictures a
# simulated upgrade also runs on a drawn window under Xvfb, and screenshots
# of it mid-run and at "Done." go to WIN_BUILD/artifacts/. Exits non-zero on
# the first failure.
set -euo pipefail
build=${1:?usage: scripts/wine/window-tests.sh WIN_BUILD [--pictures]}
pictures=${2:-}
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "$build" && pwd)
test_exe=$build/tests/window_win32/win32_window_test.exe
[[ -f $test_exe ]] || { echo "no $test_exe: build the target win32_window_test first" >&2; exit 1; }
source "$here/env.sh" "$build"

dpi_key='HKCU\Control Panel\Desktop'
x11_key='HKCU\Software\Wine\X11 Driver'
restore() {
  wine reg delete "$dpi_key" /v LogPixels /f >/dev/null 2>&1 || true
  wine reg delete "$x11_key" /v Decorated /f >/dev/null 2>&1 || true
  odu_wine_graphics null
  wineserver -w
}
trap restore EXIT

odu_wine_graphics null
wineserver -w  # a server still running keeps the graphics driver it started with
ctest --test-dir "$build" -L window --output-on-failure

echo "== layout at 144 dpi"
wine reg add "$dpi_key" /v LogPixels /t REG_DWORD /d 144 /f >/dev/null 2>&1
wine "$test_exe" layout
wine reg delete "$dpi_key" /v LogPixels /f >/dev/null 2>&1

[[ $pictures == --pictures ]] || exit 0

echo "== pictures of a simulated upgrade under Xvfb"
artifacts=$build/artifacts
mkdir -p "$artifacts"
rm -f "$artifacts"/{mid,done}.ready "$artifacts"/done.taken
odu_wine_graphics x11
# Xvfb has no window manager: wine draws the frame and title bar itself.
wine reg add "$x11_key" /v Decorated /d N /f >/dev/null 2>&1
wineserver -w
export test_exe artifacts
xvfb-run -a -s '-screen 0 1024x768x24' bash -c '
  set -euo pipefail
  wait_for() {  # file, test pid
    for _ in $(seq 1200); do [[ -f $1 ]] && return 0; kill -0 "$2" 2>/dev/null || return 1; sleep 0.1; done
    return 1
  }
  shoot() {  # moment
    read -r x y w h < "$artifacts/$1.ready"
    import -window root "$artifacts/screen-$1.png"
    convert "$artifacts/screen-$1.png" -crop "${w}x${h}+${x}+${y}" +repage "$artifacts/window-$1.png"
    echo "picture: $artifacts/window-$1.png"
  }
  wine "$test_exe" upgrade --pictures "$artifacts" &
  pid=$!
  wait_for "$artifacts/mid.ready" $pid && shoot mid
  wait_for "$artifacts/done.ready" $pid && shoot done
  touch "$artifacts/done.taken"
  wait $pid
'

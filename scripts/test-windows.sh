#!/usr/bin/env bash
# The Windows build's tests under wine: builds the MinGW tree with its tests
# and warnings as errors in build/ci-win, makes its wine prefix, runs the
# suites with CTest, then the serial-port tests against the Linux build
# build/ci (made before by scripts/test.sh) and the window tests.
# Run as root, it first installs what it needs. WIN_BUILD and LINUX_BUILD
# name other folders.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${WIN_BUILD:-build/ci-win}
linux_build=${LINUX_BUILD:-build/ci}

if [[ $(id -u) == 0 ]]; then
  bash scripts/install-deps.sh g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 cmake python3 googletest \
    wine64 wine xvfb xauth
fi

jobs=$(nproc)
phase() { echo "== $1 (${SECONDS} s in)"; }
phase "Windows build with tests"
cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DCMAKE_BUILD_TYPE=Release \
  -DODU_WERROR=ON -DODU_BUILD_TESTS=ON -DODU_BUILD_BENCH=OFF --no-warn-unused-cli >/dev/null
cmake --build "$build" -j"$jobs"

phase "the suites under wine"
source scripts/wine/env.sh "$build"
trap 'wineserver -k 2>/dev/null || true' EXIT
# The window tests are run by window-tests.sh, with the settings they need.
ctest --test-dir "$build" --output-on-failure -j"$jobs" -LE window --timeout 300

if [[ -f scripts/wine/serial-tests.sh ]]; then
  phase "the Win32 serial layer under wine"
  bash scripts/wine/serial-tests.sh "$linux_build" "$build"
fi
if [[ -f scripts/wine/window-tests.sh ]]; then
  phase "the Win32 window under wine"
  bash scripts/wine/window-tests.sh "$build"
fi

phase "the Windows suites passed"

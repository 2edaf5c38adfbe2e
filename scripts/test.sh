#!/usr/bin/env bash
# The whole test suite: installs its packages, builds with warnings as errors,
# runs every test and a short fault soak, builds the Windows programs with
# MinGW and runs their tests under wine, makes and checks the release
# packages from those two builds (scripts/package.sh), then runs the serial-port,
# enumeration, simulator, handshake, sequence and window tests again under
# AddressSanitizer + UndefinedBehaviorSanitizer, the serial-port, simulator
# and command-line tests under ThreadSanitizer, and each fuzz target for a
# while.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

if [[ $(id -u) == 0 ]]; then bash scripts/install-deps.sh; fi

jobs=$(nproc)
build() {  # build <dir> <targets...> -- <cmake options...>
  local dir=$1; shift
  local targets=()
  while [[ $# -gt 0 && $1 != -- ]]; do targets+=("$1"); shift; done
  shift || true
  cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DODU_WERROR=ON "$@" >/dev/null
  if ((${#targets[@]})); then
    cmake --build "$dir" -j"$jobs" --target "${targets[@]}"
  else
    cmake --build "$dir" -j"$jobs"
  fi
}

export QT_QPA_PLATFORM=offscreen

echo "== build and test ($SECONDS s in)"
build build/ci -- -DODU_REQUIRE_GUI=ON
ctest --test-dir build/ci --output-on-failure -j"$jobs" --timeout 300

echo "== a short fault soak ($SECONDS s in)"
build/ci/bench/upgrade-soak 300 1

echo "== the Windows programs (MinGW) and their tests under wine ($SECONDS s in)"
WIN_BUILD=build/ci-win LINUX_BUILD=build/ci bash scripts/test-windows.sh

echo "== the release from those builds: packages, zip, man pages, versions ($SECONDS s in)"
LINUX_BUILD=build/ci WIN_BUILD=build/ci-win DIST=build/ci-dist bash scripts/package.sh

echo "== comm, enum, sim, handshake, sequence and window under AddressSanitizer + UndefinedBehaviorSanitizer ($SECONDS s in)"
build build/asan comm_tests enum_tests registry_walk_replay sim_tests sim_pty_tests odu-station-sim odu_modem_shim \
  handshake_tests sequence_tests frame_assembly_replay station_reply_replay telnet_stream_replay \
  qt_toolkit_tests main_window_tests \
  -- -DODU_SANITIZE=address,undefined -DODU_BUILD_BENCH=OFF -DODU_REQUIRE_GUI=ON
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build/asan --output-on-failure -j"$jobs" -L 'comm|enum|sim|handshake|sequence|window' --timeout 300

echo "== comm, sim and the command line (several stations at once) under ThreadSanitizer ($SECONDS s in)"
build build/tsan comm_tests sim_tests telnet_stream_replay cli_tests -- -DODU_SANITIZE=thread -DODU_BUILD_GUI=OFF -DODU_BUILD_BENCH=OFF
TSAN_OPTIONS=halt_on_error=1 ctest --test-dir build/tsan --output-on-failure -j"$jobs" -L 'comm|sim|cli' -E sim_pty --timeout 300

echo "== fuzz targets, ${FUZZ_SECONDS:-20} s each ($SECONDS s in)"
bash scripts/fuzz.sh

echo "== all suites passed ($SECONDS s in)"

#!/usr/bin/env bash
# The whole test suite: installs its packages, builds with warnings as errors,
# runs every test, then runs the serial-port and enumeration tests again under
# AddressSanitizer+UndefinedBehaviorSanitizer and under ThreadSanitizer.
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

echo "== build and test"
build build/ci --
ctest --test-dir build/ci --output-on-failure -j"$jobs" --timeout 300

echo "== comm and enum under AddressSanitizer + UndefinedBehaviorSanitizer"
build build/asan comm_tests enum_tests -- -DODU_SANITIZE=address,undefined -DODU_BUILD_GUI=OFF -DODU_BUILD_BENCH=OFF
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build/asan --output-on-failure -j"$jobs" -L 'comm|enum' --timeout 300

echo "== comm under ThreadSanitizer"
build build/tsan comm_tests -- -DODU_SANITIZE=thread -DODU_BUILD_GUI=OFF -DODU_BUILD_BENCH=OFF
TSAN_OPTIONS=halt_on_error=1 ctest --test-dir build/tsan --output-on-failure -j"$jobs" -L comm --timeout 300

echo "== all suites passed"

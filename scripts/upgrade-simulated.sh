#!/usr/bin/env bash
# The main job: builds odu-upgrade (installing what it needs when run as root)
# and upgrades the built-in simulated station with the embedded firmware,
# showing the run as it goes. Extra arguments go to odu-upgrade (--trace,
# --verbose, --image FILE).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

if [[ $(id -u) == 0 ]]; then bash scripts/install-deps.sh >&2; fi

build=build/release
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DODU_BUILD_TESTS=OFF -DODU_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target odu-upgrade >/dev/null
exec "$build/app/odu-upgrade" --simulate "$@"

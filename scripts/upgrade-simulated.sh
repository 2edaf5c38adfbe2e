#!/usr/bin/env bash
# The main job: builds odu-upgrade (installing the build tools when run as
# root) and upgrades the built-in simulated station with the embedded
# firmware, showing the run as it goes. Extra arguments go to odu-upgrade
# (--trace, --verbose, --image FILE).
#
# Installing and building say what they do on standard error and keep their
# own output in build/release/setup.log, which is shown when a step fails.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

build=build/release
log=$build/setup.log
mkdir -p "$build"
: >"$log"

# quietly <command...>: runs a step with its output in the log; when it fails,
# says which command failed and shows the end of the log.
quietly() {
  if ! "$@" >>"$log" 2>&1; then
    {
      echo "Failed: $*"
      echo "The end of $log:"
      tail -n 40 "$log" | sed 's/^/  /'
    } >&2
    exit 1
  fi
}

# What building odu-upgrade alone needs (scripts/test.sh installs the rest).
tools=(build-essential cmake)
installed() {
  local p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || return 1
  done
}

if [[ $(id -u) == 0 ]] && ! installed "${tools[@]}"; then
  echo "Installing the build tools (apt)..." >&2
  quietly bash scripts/install-deps.sh "${tools[@]}"
fi
if ! command -v cmake >/dev/null || ! command -v c++ >/dev/null; then
  echo "Building odu-upgrade needs cmake and a C++ compiler: run this as root to install them (Debian's build-essential and cmake)." >&2
  exit 1
fi

echo "Building odu-upgrade (about a minute and a half the first time)..." >&2
quietly cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DODU_BUILD_TESTS=OFF -DODU_BUILD_BENCH=OFF
quietly cmake --build "$build" -j"$(nproc)" --target odu-upgrade
exec "$build/app/odu-upgrade" --simulate "$@"

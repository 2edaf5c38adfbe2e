#!/usr/bin/env bash
# upgrade-bench for odu-upgrade.exe under wine, through the Win32 device layer
# on a COM port mapped to the simulator's pseudo-terminal, then for the Linux
# odu-upgrade, RUNS times each (default 2):
#   scripts/wine/bench.sh LINUX_BUILD WIN_BUILD [RUNS]
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
linux_build=$(cd "${1:?usage: bench.sh LINUX_BUILD WIN_BUILD [RUNS]}" && pwd)
win_build=$(cd "${2:?usage: bench.sh LINUX_BUILD WIN_BUILD [RUNS]}" && pwd)
runs=${3:-2}
port=${ODU_COM_NAME:-COM7}
bench=$linux_build/bench/upgrade-bench

source "$root/scripts/wine/env.sh" "$win_build"
work=$(mktemp -d "${TMPDIR:-/tmp}/odu-wine-bench.XXXXXX")
trap 'wineserver -k 2>/dev/null || true; rm -rf "$work"' EXIT
ln -s /dev/null "$work/$port"
bash "$root/scripts/wine/map-com.sh" "${port#COM}" "$work/$port"

for ((i = 1; i <= runs; ++i)); do
  echo "== wine, run $i: $bench --link $work/$port -- $(command -v wine) $win_build/app/odu-upgrade.exe --port $port"
  "$bench" --link "$work/$port" -- "$(command -v wine)" "$win_build/app/odu-upgrade.exe" --port "$port"
done
for ((i = 1; i <= runs; ++i)); do
  echo "== linux, run $i: $bench"
  "$bench"
done

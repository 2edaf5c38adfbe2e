#!/usr/bin/env bash
# odu-upgrade.exe --list-ports under wine prints the ports of wine's SERIALCOMM
# map (its mapped COM ports and, for the run, a USB adapter's entry), one a
# line, in the map's order: wine's device tree holds no serial instances.
#   list_ports_wine.sh WIN_BUILD ODU_UPGRADE_EXE
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
exe=${2:?usage: list_ports_wine.sh WIN_BUILD ODU_UPGRADE_EXE}
source "$root/scripts/wine/env.sh" "${1:?}"

map='HKLM\HARDWARE\DEVICEMAP\SERIALCOMM'
entry='\Device\OduTestVCP0'
# The map is volatile, made by wine at start-up when it maps a port; with no
# port mapped there is nothing to add to (CTest counts 77 as skipped).
if ! wine reg query "$map" >/dev/null 2>&1; then
  echo "no SERIALCOMM map: wine has no COM port mapped" >&2
  exit 77
fi
wine reg add "$map" /v "$entry" /d COM12 /f >/dev/null
trap 'wine reg delete "$map" /v "$entry" /f >/dev/null 2>&1 || true' EXIT

expected=$(wine reg query "$map" | tr -d '\r' | awk '$2 == "REG_SZ" { print $3 }')
actual=$(wine "$exe" --list-ports | tr -d '\r')
echo "SERIALCOMM: $(echo $expected)"
echo "listed:     $(echo $actual)"
grep -qx COM12 <<<"$actual"
[[ $actual == "$expected" ]]

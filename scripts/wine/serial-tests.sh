#!/usr/bin/env bash
# Every test of the Win32 serial device layer under wine, on pseudo-terminals
# mapped as COM ports; exits non-zero when one fails.
#   scripts/wine/serial-tests.sh LINUX_BUILD WIN_BUILD
# Extra arguments go to wine_serial_tests. LINUX_BUILD holds wine_serial_tests, odu-station-sim and the modem-line
# shim; WIN_BUILD (MinGW) holds odu-upgrade.exe and odu-serial-probe.exe, and
# gets the wine prefix. The port (COM7 unless ODU_COM_NAME=COMn says
# otherwise) is mapped once to a symlink that the test re-points at each new
# pseudo-terminal, so wine's session is restarted only once.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
linux_build=$(cd "${1:?usage: serial-tests.sh LINUX_BUILD WIN_BUILD}" && pwd)
win_build=$(cd "${2:?usage: serial-tests.sh LINUX_BUILD WIN_BUILD}" && pwd)
shift 2  # the rest goes to the test (e.g. --gtest_filter=...)
port=${ODU_COM_NAME:-COM7}

for f in "$linux_build/tests/win32/wine_serial_tests" "$win_build/app/odu-upgrade.exe" \
         "$win_build/tests/win32/odu-serial-probe.exe"; do
  [[ -e $f ]] || { echo "serial-tests.sh: $f is not built" >&2; exit 2; }
done

source "$root/scripts/wine/env.sh" "$win_build"
work=$(mktemp -d "${TMPDIR:-/tmp}/odu-wine-serial.XXXXXX")
cleanup() {
  wineserver -k 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
# Dangling until the test points it at its first terminal.
ln -s /dev/null "$work/$port"
bash "$root/scripts/wine/map-com.sh" "${port#COM}" "$work/$port"

# The port-name table of the opener, under wine, when the Windows build has
# its unit tests.
if [[ -e $win_build/tests/comm_tests.exe ]]; then
  wine "$win_build/tests/comm_tests.exe" --gtest_filter='Win32PortPath.*'
fi

export ODU_WIN_BUILD=$win_build ODU_COM_LINK=$work/$port ODU_COM_NAME=$port
"$linux_build/tests/win32/wine_serial_tests" "$@"

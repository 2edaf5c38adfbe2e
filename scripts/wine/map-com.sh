#!/usr/bin/env bash
# Maps a wine COM port to a Unix path (a pseudo-terminal slave, or a symlink
# to one), in the prefix of $WINEPREFIX (source scripts/wine/env.sh first):
#   scripts/wine/map-com.sh N PATH
# Wine reads HKLM\Software\Wine\Ports only when its session starts, so the
# session is ended and a new one started; then the port's dosdevices link and
# its SERIALCOMM entry are checked. With a stale mapping CreateFileA still
# opens the port, but GetFileType answers 0: map before the program starts.
# Mapping to a symlink lets a caller re-point the symlink at each new
# pseudo-terminal without restarting wine. The new session's wineserver is
# left running (persistent) so that later programs need not start one; end it
# with wineserver -k.
set -euo pipefail
n=${1:?usage: map-com.sh N PATH}
path=${2:?usage: map-com.sh N PATH}
: "${WINEPREFIX:?source scripts/wine/env.sh BUILD_DIR first}"
[[ $n =~ ^[1-9][0-9]*$ ]] || { echo "map-com.sh: not a port number: $n" >&2; exit 2; }

# Not with a test's preloaded library, if the caller has one set.
unset LD_PRELOAD
wine reg add 'HKLM\Software\Wine\Ports' /v "COM$n" /d "$path" /f >/dev/null
wineserver -k 2>/dev/null || true
wineserver -w
# Its standard error is not kept: it dumps its objects there when it gets a
# SIGHUP, as it does when a pseudo-terminal it opened as a port (and so took
# as its controlling terminal) loses its other end.
wineserver -p 2>/dev/null
# A program of the new session; wine links the ports as the session starts.
listed=$(wine reg query 'HKLM\HARDWARE\DEVICEMAP\SERIALCOMM' 2>/dev/null | tr -d '\r')
link=$(readlink "$WINEPREFIX/dosdevices/com$n" || true)
if [[ $link != "$path" ]]; then
  echo "map-com.sh: $WINEPREFIX/dosdevices/com$n points to '${link}', not $path" >&2
  exit 1
fi
if ! grep -qw "COM$n" <<<"$listed"; then
  echo "map-com.sh: COM$n is not in HKLM\\HARDWARE\\DEVICEMAP\\SERIALCOMM" >&2
  exit 1
fi

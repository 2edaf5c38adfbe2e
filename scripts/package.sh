#!/usr/bin/env bash
# The release, into dist/: the Debian packages odu-upgrade (the command line,
# without Qt), odu-upgrade-gui and odu-station-sim, and the Windows zip
# odu-upgrade-VERSION-win64.zip with its .sha256 file; then each is checked:
# lintian finds no error, each package unpacks with dpkg-deb -x and the
# unpacked odu-upgrade --simulate runs to "Done.", the command line's package
# depends on no Qt library, the man pages render without a warning, the
# unzipped odu-upgrade.exe gives its version under wine, and every program
# gives the same version text.
#
# Run as root on Debian 12, it first installs what it needs. By default it
# makes release builds of its own (build/package, build/package-win) with
# Debian's hardening flags; LINUX_BUILD and WIN_BUILD name builds to package
# instead, and DIST another folder for the result (scripts/test.sh passes the
# builds it has tested and build/ci-dist). A build not at a release tag is
# packaged as a snapshot: odu-upgrade_3.5.0~git1a2b3c4_amd64.deb.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
jobs=$(nproc)
phase() { echo "== $1 (${SECONDS} s in)"; }

if [[ $(id -u) == 0 ]]; then
  bash scripts/install-deps.sh build-essential cmake pkg-config qt6-base-dev python3 \
    g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine64 wine \
    help2man gzip man-db lintian dpkg-dev file unzip
fi

linux_build=${LINUX_BUILD:-}
win_build=${WIN_BUILD:-}
dist=${DIST:-dist}
if [[ -z $linux_build ]]; then
  phase "release build for Linux"
  linux_build=build/package
  export DEB_BUILD_MAINT_OPTIONS=hardening=+all
  cmake -S . -B "$linux_build" -DCMAKE_BUILD_TYPE=Release -DODU_WERROR=ON -DODU_REQUIRE_GUI=ON \
    -DODU_BUILD_TESTS=OFF -DODU_BUILD_BENCH=OFF \
    -DCMAKE_CXX_FLAGS="$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS)" \
    -DCMAKE_EXE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" >/dev/null
  cmake --build "$linux_build" -j"$jobs"
fi
if [[ -z $win_build ]]; then
  phase "release build for Windows"
  win_build=build/package-win
  WIN_BUILD=$win_build bash scripts/build-windows.sh
fi

phase "packages"
# cpack only installs what is built: the builds first, up to date.
cmake --build "$linux_build" -j"$jobs" >/dev/null
cmake --build "$win_build" -j"$jobs" --target odu-upgrade odu-upgrade-gui >/dev/null
rm -rf "$dist" "$linux_build/dist" "$win_build/dist"
mkdir -p "$dist"
(cd "$linux_build" && cpack -G DEB >/dev/null)
(cd "$win_build" && cpack -G ZIP >/dev/null)
cp "$linux_build"/dist/*.deb "$win_build"/dist/*.zip "$win_build"/dist/*.zip.sha256 "$dist"/
ls -l "$dist"


phase "checks"
failed=0
fail() { echo "FAILED: $*" >&2; failed=1; }
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# lintian: no error and no warning (its notes are printed for the reader).
said=$(lintian --no-cfg --fail-on error,warning "$dist"/*.deb 2>&1) || fail "lintian reports an error or a warning"
grep -v 'running with root privileges' <<<"$said" || true

version=$(sed -n 's/^#define ODU_VERSION_TEXT "\(.*\)"$/\1/p' "$linux_build/resources/version/odu_version.h")
[[ -n $version ]] || fail "no version text in the build"
for deb in "$dist"/*.deb; do
  name=$(dpkg-deb -f "$deb" Package)
  dpkg-deb -x "$deb" "$scratch/$name" || fail "$deb does not unpack"
  for program in "$scratch/$name"/usr/bin/*; do
    said=$("$program" --version 2>&1 | head -n 1) || true
    [[ $said == "$(basename "$program") $version" ]] || fail "$(basename "$program") --version says \"$said\", not \"$version\""
  done
  for page in "$scratch/$name"/usr/share/man/man1/*.1.gz; do
    [[ -f $page ]] || continue
    warnings=$(MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
    [[ -z $warnings ]] || fail "$(basename "$page"): $warnings"
  done
done
# cmake --install into a scratch prefix gives programs that run from there.
cmake --install "$linux_build" --prefix "$scratch/prefix" >/dev/null || fail "cmake --install failed"
for program in odu-upgrade odu-upgrade-gui odu-station-sim; do
  said=$("$scratch/prefix/bin/$program" --version 2>&1 | head -n 1) || true
  [[ $said == "$program $version" ]] || fail "the installed $program --version says \"$said\""
done
for program in odu-upgrade odu-upgrade-gui odu-station-sim; do
  [[ -f $scratch/$program/usr/share/man/man1/$program.1.gz ]] || fail "$program has no man page"
done
depends=$(dpkg-deb -f "$dist"/odu-upgrade_*.deb Depends)
[[ ${depends,,} != *qt* ]] || fail "odu-upgrade depends on Qt: $depends"

run=$("$scratch/odu-upgrade/usr/bin/odu-upgrade" --simulate 2>&1) || fail "the unpacked odu-upgrade --simulate failed"
grep -qx 'Done.' <<<"$run" || fail "the unpacked odu-upgrade --simulate did not say Done.: $(tail -n 3 <<<"$run")"

(cd "$dist" && sha256sum -c --quiet ./*.zip.sha256) || fail "the zip does not match its SHA-256 file"
unzip -q "$dist"/*.zip -d "$scratch/zip" || fail "the zip does not unzip"
source scripts/wine/env.sh "$win_build"
for exe in "$scratch"/zip/*/odu-upgrade.exe "$scratch"/zip/*/odu-upgrade-gui.exe; do
  said=$(wine "$exe" --version 2>/dev/null | tr -d '\r' | head -n 1) || true
  want="$(basename "$exe" .exe) $version"
  [[ $said == "$want" ]] || fail "$(basename "$exe") --version under wine says \"$said\", not \"$want\""
done
wineserver -k 2>/dev/null || true

if ((failed)); then exit 1; fi
echo "$dist/ holds the release $version, checked"

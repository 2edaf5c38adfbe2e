#!/usr/bin/env bash
# Installs what building and testing odu-upgrade needs, from Debian's packages.
# Run as root on Debian 12. Packages already present are left alone.
#   install-deps.sh              everything
#   install-deps.sh PACKAGE...   only these (the Windows scripts' subsets)
set -euo pipefail

packages=(
  build-essential cmake pkg-config
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  qt6-base-dev xvfb xauth
  clang libclang-rt-14-dev
  # The Windows programs (MinGW-w64, posix threads) and their tests under wine.
  g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 python3 wine64 wine
  # Independent RFC 2217 servers that the network ports are tested against.
  ser2net python3-serial
  # The release: man pages, Debian packages and their checks, the zip.
  help2man gzip man-db lintian dpkg-dev file unzip
)
if (($#)); then packages=("$@"); fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

#!/usr/bin/env bash
# Builds the Windows programs with MinGW-w64 into build/windows/app/:
# odu-upgrade.exe and, when the build has it, odu-upgrade-gui.exe. Each is
# checked to import nothing but Windows' own DLLs, so it runs from any folder.
# The zip for users is made from this build by scripts/package.sh (cpack).
# Run as root, it first installs what the build needs. WIN_BUILD names
# another build folder.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${WIN_BUILD:-build/windows}
mingw=x86_64-w64-mingw32

if [[ $(id -u) == 0 ]]; then
  bash scripts/install-deps.sh g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 cmake python3
fi

cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DCMAKE_BUILD_TYPE=Release \
  -DODU_WERROR=ON -DODU_BUILD_TESTS=OFF -DODU_BUILD_BENCH=OFF --no-warn-unused-cli >/dev/null
programs=(odu-upgrade)
targets=$(cmake --build "$build" --target help)
if grep -qx '\.\.\. odu-upgrade-gui' <<<"$targets"; then programs+=(odu-upgrade-gui); fi
cmake --build "$build" -j"$(nproc)" --target "${programs[@]}"

# The DLLs every Windows installation has. MinGW's own runtime
# (libstdc++-6, libgcc_s_seh-1, libwinpthread-1) must be linked in instead.
system_dll='^(kernel32|user32|gdi32|advapi32|comctl32|comdlg32|shell32|shlwapi|ole32|oleaut32|uxtheme|dwmapi|msvcrt|ntdll|ws2_32|version|winmm|imm32|setupapi|cfgmgr32|bcrypt|crypt32|api-ms-win-[a-z0-9-]+)\.dll$'

status=0
for program in "${programs[@]}"; do
  exe=$build/app/$program.exe
  dlls=$("$mingw-objdump" -p "$exe" | sed -n 's/^[[:space:]]*DLL Name: //p')
  foreign=$(grep -viE "$system_dll" <<<"$dlls" || true)
  if [[ -n $foreign ]]; then
    echo "$exe imports DLLs that Windows does not have: $(echo $foreign)" >&2
    status=1
  else
    echo "$exe: imports only $(echo $dlls)"
  fi
done
exit $status

#include "platform/toolkit/window_toolkit.h"

#include <cstdio>

#include "platform/toolkit/toolkit_win32.h"

// After the toolkit's declarations, whose MessageBox <windows.h> would
// rename to MessageBoxA.
#include <windows.h>

namespace odu::platform {

void UseParentConsole() {
  const auto unset = [](DWORD which) { return ::GetFileType(::GetStdHandle(which)) == FILE_TYPE_UNKNOWN; };
  const bool out = unset(STD_OUTPUT_HANDLE);
  const bool err = unset(STD_ERROR_HANDLE);
  if (!(out || err) || !::AttachConsole(ATTACH_PARENT_PROCESS)) return;
  if (out && std::freopen("CONOUT$", "w", stdout) == nullptr) return;
  if (err) std::freopen("CONOUT$", "w", stderr);
}

// A Windows desktop always has a display to show the window on.
std::string WindowToolkitUnavailable() { return ""; }

// Windows hands the program its command line; nothing here needs it.
std::unique_ptr<Toolkit> CreateWindowToolkit(int&, char**, int) { return std::make_unique<Win32Toolkit>(); }

}  // namespace odu::platform

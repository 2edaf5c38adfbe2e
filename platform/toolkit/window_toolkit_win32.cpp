#include "platform/toolkit/window_toolkit.h"

#include "platform/toolkit/toolkit_win32.h"

namespace odu::platform {

// A Windows desktop always has a display to show the window on.
std::string WindowToolkitUnavailable() { return ""; }

// Windows hands the program its command line; nothing here needs it.
std::unique_ptr<Toolkit> CreateWindowToolkit(int&, char**, int) { return std::make_unique<Win32Toolkit>(); }

}  // namespace odu::platform

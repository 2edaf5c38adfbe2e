#include "platform/toolkit/window_toolkit.h"

#include "platform/toolkit/toolkit_win32.h"

namespace odu::platform {

// Windows hands the program its command line; nothing here needs it.
std::unique_ptr<Toolkit> CreateWindowToolkit(int&, char**) { return std::make_unique<Win32Toolkit>(); }

}  // namespace odu::platform

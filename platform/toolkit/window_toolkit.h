// The window toolkit of this build (Qt on Linux, Win32 on Windows), for the
// window program. The build links exactly one implementation.
#pragma once

#include <memory>
#include <string>

#include "platform/toolkit/toolkit.h"

namespace odu::platform {

// Makes the standard streams reach the console the program was started from,
// where they reach nowhere else: a window program on Windows has no console
// of its own, so that --version would print nothing. Streams that are
// redirected (to a file, a pipe) are left as they are.
void UseParentConsole();

// Why no window can be shown here (no display to show it on), or empty.
std::string WindowToolkitUnavailable();

// Creates the toolkit, which becomes the current one. `argc` must outlive it
// (some toolkits keep the reference). When the toolkit cannot start after
// all, the program says why and ends with `no_display`.
std::unique_ptr<Toolkit> CreateWindowToolkit(int& argc, char** argv, int no_display);

}  // namespace odu::platform

// The window toolkit of this build (Qt on Linux, Win32 on Windows), for the
// window program. The build links exactly one implementation.
#pragma once

#include <memory>

#include "platform/toolkit/toolkit.h"

namespace odu::platform {

// Creates the toolkit, which becomes the current one. `argc` must outlive it
// (some toolkits keep the reference).
std::unique_ptr<Toolkit> CreateWindowToolkit(int& argc, char** argv);

}  // namespace odu::platform

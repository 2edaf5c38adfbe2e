#include "platform/toolkit/window_toolkit.h"

#include "platform/toolkit/toolkit_qt.h"

namespace odu::platform {

std::unique_ptr<Toolkit> CreateWindowToolkit(int& argc, char** argv) { return std::make_unique<QtToolkit>(argc, argv); }

}  // namespace odu::platform

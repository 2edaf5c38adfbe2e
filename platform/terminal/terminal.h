// Whether a stream is an interactive terminal.
#pragma once

#include <cstdio>

namespace odu::platform {

bool IsTerminal(std::FILE* stream);

}  // namespace odu::platform

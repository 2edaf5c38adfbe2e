#include <unistd.h>

#include "platform/terminal/terminal.h"

namespace odu::platform {

bool IsTerminal(std::FILE* stream) { return isatty(fileno(stream)) == 1; }

}  // namespace odu::platform

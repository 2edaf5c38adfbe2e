// Terminals on Windows: a console. The progress line redraws itself with
// "\r" and the erase-to-end-of-line sequence, which a console understands
// once virtual-terminal processing is on.
#include <io.h>
#include <windows.h>

#include "platform/terminal/terminal.h"

namespace odu::platform {

bool IsTerminal(std::FILE* stream) {
  const int fd = _fileno(stream);
  if (fd < 0 || !_isatty(fd)) return false;
  HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
  DWORD mode = 0;
  // _isatty is also true for the NUL device, which is no console.
  if (handle == INVALID_HANDLE_VALUE || !GetConsoleMode(handle, &mode)) return false;
  SetConsoleMode(handle, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
  return true;
}

}  // namespace odu::platform

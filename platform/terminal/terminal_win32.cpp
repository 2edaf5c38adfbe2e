// Terminals on Windows: a console. The progress line redraws itself with
// "\r" and the erase-to-end-of-line sequence, which a console understands
// once virtual-terminal processing is on.
#include <io.h>
#include <windows.h>

#include "platform/terminal/terminal.h"

namespace odu::platform {

namespace {

int interrupt_exit_status = 1;

// Runs on a thread that the system starts for each console event.
BOOL WINAPI OnConsoleEvent(DWORD event) {
  if (!DeliverInterrupt()) ExitProcess(static_cast<UINT>(interrupt_exit_status));
  // When the console closes (or the user logs off) the process is ended as
  // soon as this returns: wait here instead, so that the program can close
  // its port and return from main, which ends the process.
  if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) Sleep(INFINITE);
  return TRUE;
}

}  // namespace

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

void CatchInterrupts(int exit_status) {
  interrupt_exit_status = exit_status;
  SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

}  // namespace odu::platform

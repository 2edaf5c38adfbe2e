// Terminals on Windows: a console. The progress line redraws itself with
// "\r" and the erase-to-end-of-line sequence, which a console understands
// once virtual-terminal processing is on.
#include <io.h>
#include <windows.h>

#include "platform/terminal/terminal.h"

namespace odu::platform {

namespace {

int interrupt_exit_status = 1;
void (*interrupt_before_exit)() = nullptr;

// Runs on a thread that the system starts for each console event.
BOOL WINAPI OnConsoleEvent(DWORD event) {
  // Sent when any user logs off, not only the one whose console this is (a
  // program run as a service or over a remote session gets it too); the
  // user's own interactive programs end at logoff anyway.
  if (event == CTRL_LOGOFF_EVENT) return TRUE;
  // At once: the window's thread may be inside a call holding the C
  // library's locks, which ExitProcess would wait for.
  if (!DeliverInterrupt()) {
    if (interrupt_before_exit) interrupt_before_exit();
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(interrupt_exit_status));
  }
  // When the console closes (or the system shuts down) the process is ended as
  // soon as this returns: wait here instead, so that the program can close
  // its port and return from main, which ends the process.
  if (event == CTRL_CLOSE_EVENT || event == CTRL_SHUTDOWN_EVENT) Sleep(INFINITE);
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
  // A legacy console does not take the sequence: plain lines then.
  return SetConsoleMode(handle, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != FALSE;
}

int TerminalColumns(std::FILE* stream) {
  const int fd = stream ? _fileno(stream) : -1;
  if (fd < 0 || !_isatty(fd)) return 0;
  HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
  CONSOLE_SCREEN_BUFFER_INFO info{};
  // No console (the NUL device, a pipe, a mintty window): not known.
  if (handle == INVALID_HANDLE_VALUE || !GetConsoleScreenBufferInfo(handle, &info)) return 0;
  // The window's width, not the buffer's: the buffer is often far wider, and
  // a line as long as the buffer would run past the right edge of the window.
  const int columns = info.srWindow.Right - info.srWindow.Left + 1;
  return columns > 0 ? columns : 0;
}

void CatchInterrupts(int exit_status, void (*before_exit)()) {
  interrupt_exit_status = exit_status;
  interrupt_before_exit = before_exit;
  // A program started with Ctrl-C ignored passes that on to its children.
  SetConsoleCtrlHandler(nullptr, FALSE);
  SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

}  // namespace odu::platform

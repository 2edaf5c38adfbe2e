// The terminal the command line runs in: whether a stream is an interactive
// terminal, how wide it is, and the user's interrupts (Ctrl-C, a closed
// terminal or console).
#pragma once

#include <cstdio>
#include <functional>

namespace odu::platform {

bool IsTerminal(std::FILE* stream);

// The width in columns of the terminal (or console window) that `stream`
// writes to, as it is now: 0 when that is not known or there is no terminal.
// Cheap enough to ask at every redraw, which is how a resized window is
// followed. On POSIX systems a terminal that reports no width (a serial
// console, some emulators) gives the COLUMNS environment variable instead.
int TerminalColumns(std::FILE* stream);

// From now on the user's interrupts are caught: SIGINT, SIGTERM and SIGHUP on
// POSIX systems; Ctrl-C, Ctrl-Break and closing the console on Windows. Each
// is handed to the handler set at the time, on a thread of the terminal
// layer's own. With no handler set, or at a second interrupt while the first
// is being handled, the process ends at once with `exit_status`, after
// `before_exit` (if given) has run: it must only make calls that are safe
// while other threads hold any lock. Call once, before any other thread
// starts.
void CatchInterrupts(int exit_status, void (*before_exit)() = nullptr);

// Sets the interrupt handler (an empty function clears it). Clearing waits
// for a handler that is running, so whatever the handler uses may be
// destroyed once this returns. The handler should only post work and return.
void SetInterruptHandler(std::function<void()> handler);

// The backends' side: runs the handler for an interrupt. False when there is
// none to run, or one ran already: the process is to end at once.
bool DeliverInterrupt();

}  // namespace odu::platform

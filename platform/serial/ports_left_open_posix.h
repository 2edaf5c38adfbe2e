// The POSIX devices' side of the ports that a sudden end must put back.
#pragma once

#include <termios.h>

namespace odu::platform {

// Enters the port open on `fd`, with the settings it was found with (null
// for a device that has none) and its lock file (empty for none). Returns
// the entry, or -1 when the table is full (the port is then only put back
// by its own close).
int EnterOpenPort(int fd, const termios* found, const char* lock_file);
// Leaves the terminal on `fd` as closing it does: output still queued
// dropped, DTR and RTS down, and the settings it was `found` with (if
// given) put back. Only calls that are safe at any moment.
void LeaveLineAsFound(int fd, const termios* found);
// The port's settings are back: from now on only its lock file is left.
void SettingsPutBack(int entry);
// The port is closed and its lock file removed.
void LeaveOpenPort(int entry);

}  // namespace odu::platform

// The line state (the device control block) in termios terms, apart from any
// device: what SetCommState writes into the terminal's settings and what
// GetCommState reads back from them. The POSIX device only applies these.
#pragma once

#include <termios.h>

#include <cstdint>
#include <optional>

#include "platform/serial/serial_device.h"

namespace odu::platform::detail {

// The B-constant of a speed in bits per second, where there is one.
std::optional<speed_t> SpeedCode(uint32_t baud);
// The speed of a B-constant; 0 for none of ours.
uint32_t BaudOfCode(speed_t code);
// Two speeds a driver would treat as the same setting: drivers round a speed
// by number to what their clock divides to.
bool SameSpeed(uint32_t a, uint32_t b);

// Whether termios can hold `d`: 5 to 8 data bits, a known parity (mark and
// space where the system has CMSPAR), a known stop-bit code, a speed.
bool ValidState(const Dcb& d);

// Writes the framing, handshake, parity checking and event characters of
// `d` into `t`, leaving its other settings. One and a half stop bits, which
// termios cannot express, become two. A speed with a B-constant is set for
// both directions; false for a speed without one, which the device sets by
// number.
bool ApplyState(const Dcb& d, termios& t);

// The line state to report: `last` (what SetCommState was given) with every
// field termios holds taken from `t`, and `baud` (0: unknown) as the speed.
// A field whose termios form matches that of `last` keeps its value from
// `last`, so the fields termios cannot hold exactly (one and a half stop
// bits, a rounded speed) and those it has no place for (DSR handshake, fNull,
// the event characters) round-trip unchanged.
Dcb ReportedState(const Dcb& last, const termios& t, uint32_t baud);

}  // namespace odu::platform::detail

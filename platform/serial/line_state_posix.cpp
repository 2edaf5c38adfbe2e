#include "platform/serial/line_state_posix.h"

#include <algorithm>

namespace odu::platform::detail {

namespace {

struct Speed {
  uint32_t baud;
  speed_t code;
};

constexpr Speed kSpeeds[] = {
    {50, B50},         {75, B75},         {110, B110},       {134, B134},       {150, B150},
    {200, B200},       {300, B300},       {600, B600},       {1200, B1200},     {1800, B1800},
    {2400, B2400},     {4800, B4800},     {9600, B9600},     {19200, B19200},   {38400, B38400},
    {57600, B57600},   {115200, B115200}, {230400, B230400},
#if defined(B460800)
    {460800, B460800}, {500000, B500000}, {576000, B576000}, {921600, B921600}, {1000000, B1000000},
#endif
};
// The input-speed field of c_cflag (Linux): 0 there runs the input at the
// output speed. cfsetispeed writes the output field, so a field still holding
// BOTHER from a speed by number would keep the input at that old speed.
#if defined(CIBAUD)
constexpr tcflag_t kInputSpeedBits = CIBAUD;
#else
constexpr tcflag_t kInputSpeedBits = 0;
#endif

// ---- line state <-> termios ----

tcflag_t SizeBits(uint8_t byte_size) {
  switch (byte_size) {
    case 5: return CS5;
    case 6: return CS6;
    case 7: return CS7;
    default: return CS8;
  }
}

uint8_t ByteSizeOf(tcflag_t cflag) {
  switch (cflag & CSIZE) {
    case CS5: return 5;
    case CS6: return 6;
    case CS7: return 7;
    default: return 8;
  }
}

#if defined(CMSPAR)
constexpr tcflag_t kStickParity = CMSPAR;
#else
constexpr tcflag_t kStickParity = 0;
#endif
constexpr tcflag_t kParityBits = PARENB | PARODD | kStickParity;

tcflag_t ParityBits(uint8_t parity) {
  switch (parity) {
    case ODDPARITY: return PARENB | PARODD;
    case EVENPARITY: return PARENB;
    case MARKPARITY: return PARENB | PARODD | kStickParity;
    case SPACEPARITY: return PARENB | kStickParity;
    default: return 0;
  }
}

uint8_t ParityOf(tcflag_t cflag) {
  if (!(cflag & PARENB)) return NOPARITY;
  const bool odd = (cflag & PARODD) != 0;
  if (kStickParity != 0 && (cflag & kStickParity)) return odd ? MARKPARITY : SPACEPARITY;
  return odd ? ODDPARITY : EVENPARITY;
}

}  // namespace

std::optional<speed_t> SpeedCode(uint32_t baud) {
  for (const Speed& s : kSpeeds)
    if (s.baud == baud) return s.code;
  return std::nullopt;
}

uint32_t BaudOfCode(speed_t code) {
  for (const Speed& s : kSpeeds)
    if (s.code == code) return s.baud;
  return 0;
}

bool ValidState(const Dcb& d) {
  if (d.BaudRate == 0 || d.ByteSize < 5 || d.ByteSize > 8 || d.StopBits > TWOSTOPBITS) return false;
  if (d.Parity > SPACEPARITY) return false;
  if (kStickParity == 0 && (d.Parity == MARKPARITY || d.Parity == SPACEPARITY)) return false;
  return true;
}

bool ApplyState(const Dcb& d, termios& t) {
  t.c_cflag &= ~(CSIZE | kParityBits | CSTOPB | CRTSCTS);
  t.c_cflag |= CLOCAL | CREAD | SizeBits(d.ByteSize) | ParityBits(d.Parity);
  if (d.StopBits != ONESTOPBIT) t.c_cflag |= CSTOPB;
  // Output handshake on CTS. CRTSCTS is the only way to have the driver
  // hold output while CTS is low (and the far end of a pseudo-terminal can
  // see it), but it also lets the driver lower RTS to throttle input.
  // Windows drives RTS only as told (the port never asks for RTS
  // handshaking), so SetCommState re-asserts the RTS state that
  // EscapeCommFunction last set after every tcsetattr. DSR has no termios
  // counterpart: WriteFile holds output itself while DSR is low.
  if (d.fOutxCtsFlow) t.c_cflag |= CRTSCTS;

  t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY | INPCK | ISTRIP | IGNPAR | PARMRK);
  if (d.fOutX) t.c_iflag |= IXON;
  if (d.fInX) t.c_iflag |= IXOFF;
  // Without PARMRK or IGNPAR a byte with a parity error reads as 0; the
  // ErrorChar replacement of Windows is not emulated, the flag is only kept.
  if (d.fParity) t.c_iflag |= INPCK;
  t.c_cc[VSTART] = static_cast<cc_t>(d.XonChar);
  t.c_cc[VSTOP] = static_cast<cc_t>(d.XoffChar);

  // Both directions change speed on every path: a B-constant goes into both
  // (the input field cleared); a speed without one is left to the device.
  const std::optional<speed_t> code = SpeedCode(d.BaudRate);
  if (!code) return false;
  t.c_cflag &= ~kInputSpeedBits;
  ::cfsetispeed(&t, *code);
  ::cfsetospeed(&t, *code);
  return true;
}

bool SameSpeed(uint32_t a, uint32_t b) {
  const uint32_t diff = a > b ? a - b : b - a;
  return uint64_t{diff} * 50 <= std::max(a, b);
}

Dcb ReportedState(const Dcb& last, const termios& t, uint32_t baud) {
  Dcb d = last;
  if (baud != 0 && !SameSpeed(baud, last.BaudRate)) d.BaudRate = baud;
  d.ByteSize = ByteSizeOf(t.c_cflag);
  const tcflag_t parity = (t.c_cflag & PARENB) ? (t.c_cflag & kParityBits) : 0;
  if (parity != ParityBits(last.Parity)) d.Parity = ParityOf(t.c_cflag);
  const bool two = (t.c_cflag & CSTOPB) != 0;
  if (two != (last.StopBits != ONESTOPBIT)) d.StopBits = two ? TWOSTOPBITS : ONESTOPBIT;
  d.fOutxCtsFlow = (t.c_cflag & CRTSCTS) != 0;
  d.fOutX = (t.c_iflag & IXON) != 0;
  d.fInX = (t.c_iflag & IXOFF) != 0;
  d.fParity = (t.c_iflag & INPCK) != 0;
  d.XonChar = t.c_cc[VSTART];
  d.XoffChar = t.c_cc[VSTOP];
  return d;
}

}  // namespace odu::platform::detail

// Line speeds by number, beyond the B-constants of <termios.h> (14,400,
// 56,000, 128,000 and 256,000 baud have none), through Linux's termios2.
// A file of its own because <asm/termbits.h> redefines what <termios.h>
// declares; serial_posix.cpp declares these two functions itself.
//
// SetArbitraryBaud sets both directions (BOTHER in the input field too), so
// that the input never keeps an earlier speed; CurrentSpeeds reads both back
// as numbers, which is the only view of the input speed the driver runs.
#include <cerrno>
#include <cstdint>

#if defined(__linux__)
#include <asm/termbits.h>
#include <sys/ioctl.h>
#endif

namespace odu::platform::detail {

#if defined(__linux__)

bool SetArbitraryBaud(int fd, uint32_t baud) {
  struct termios2 t {};
  if (ioctl(fd, TCGETS2, &t) != 0) return false;
  t.c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT));
  t.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
  t.c_ospeed = baud;
  t.c_ispeed = baud;
  return ioctl(fd, TCSETS2, &t) == 0;
}

bool CurrentSpeeds(int fd, uint32_t& input, uint32_t& output) {
  struct termios2 t {};
  if (ioctl(fd, TCGETS2, &t) != 0) return false;
  input = t.c_ispeed;
  output = t.c_ospeed;
  return true;
}

#else

bool SetArbitraryBaud(int, uint32_t) {
  errno = ENOTSUP;
  return false;
}

bool CurrentSpeeds(int, uint32_t&, uint32_t&) {
  errno = ENOTSUP;
  return false;
}

#endif

}  // namespace odu::platform::detail

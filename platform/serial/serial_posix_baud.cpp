// Line speeds by number, beyond the B-constants of <termios.h> (14,400,
// 56,000, 128,000 and 256,000 baud have none), through Linux's termios2.
// A file of its own because <asm/termbits.h> redefines what <termios.h>
// declares; serial_posix.cpp declares these two functions itself.
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

uint32_t CurrentBaud(int fd) {
  struct termios2 t {};
  if (ioctl(fd, TCGETS2, &t) != 0) return 0;
  return t.c_ospeed;
}

#else

bool SetArbitraryBaud(int, uint32_t) {
  errno = ENOTSUP;
  return false;
}

uint32_t CurrentBaud(int) { return 0; }

#endif

}  // namespace odu::platform::detail

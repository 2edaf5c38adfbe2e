// What Linux offers a serial device beyond POSIX: a pipe made close-on-exec
// and non-blocking at once, the low-latency flag of USB adapters' drivers,
// and the driver's counts of line errors. Elsewhere the POSIX way, or
// nothing. serial_posix.cpp declares these functions itself.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdint>

#if defined(__linux__)
#include <linux/serial.h>
#endif

namespace odu::platform::detail {

#if defined(__linux__)

bool MakeWakeupPipe(int ends[2]) { return ::pipe2(ends, O_CLOEXEC | O_NONBLOCK) == 0; }

#else

bool MakeWakeupPipe(int ends[2]) {
  if (::pipe(ends) != 0) return false;
  for (int i = 0; i < 2; ++i) {
    ::fcntl(ends[i], F_SETFD, FD_CLOEXEC);
    ::fcntl(ends[i], F_SETFL, O_NONBLOCK);
  }
  return true;
}

#endif

#if defined(__linux__) && defined(ASYNC_LOW_LATENCY)

bool AskLowLatency(int fd) {
  serial_struct serial{};
  if (::ioctl(fd, TIOCGSERIAL, &serial) != 0 || (serial.flags & ASYNC_LOW_LATENCY)) return false;
  serial.flags |= ASYNC_LOW_LATENCY;
  return ::ioctl(fd, TIOCSSERIAL, &serial) == 0;
}

void EndLowLatency(int fd) {
  serial_struct serial{};
  if (::ioctl(fd, TIOCGSERIAL, &serial) != 0) return;
  serial.flags &= ~ASYNC_LOW_LATENCY;
  ::ioctl(fd, TIOCSSERIAL, &serial);
}

#else

bool AskLowLatency(int) { return false; }
void EndLowLatency(int) {}

#endif

#if defined(__linux__) && defined(TIOCGICOUNT)

bool ReadLineErrorCounts(int fd, int (&counts)[5]) {
  serial_icounter_struct c{};
  if (::ioctl(fd, TIOCGICOUNT, &c) != 0) return false;
  counts[0] = c.brk;
  counts[1] = c.frame;
  counts[2] = c.parity;
  counts[3] = c.overrun;
  counts[4] = c.buf_overrun;
  return true;
}

#else

bool ReadLineErrorCounts(int, int (&)[5]) { return false; }

#endif

}  // namespace odu::platform::detail

#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "platform/serial/port_lock_posix.h"
#include "platform/serial/ports_left_open.h"
#include "platform/serial/ports_left_open_posix.h"

namespace odu::platform {

namespace {

// An entry is claimed by PutBackOpenPorts while it puts the port back: the
// device's own close then waits for the end of the process rather than close
// the descriptor, whose number the next open would take.
enum State : int { kFree, kTaking, kOpen, kLockOnly, kClaimed };

struct Entry {
  std::atomic<int> state{kFree};
  int fd = -1;
  bool has_settings = false;
  termios found{};
  char lock_file[256] = {};
};

// More ports than a fleet opens at once; a port beyond them is only put back
// by its own close.
Entry entries[64];

}  // namespace

void LeaveLineAsFound(int fd, const termios* found) {
  // Closing never waits for unsent output. Only bytes still queued are
  // discarded: on a pseudo-terminal TCOFLUSH reaches into the far end's
  // input, where the bytes have already arrived.
  int queued = 0;
  if (::ioctl(fd, TIOCOUTQ, &queued) == 0 && queued > 0) ::tcflush(fd, TCOFLUSH);
  // Closing drops DTR and RTS, as it does on Windows, whatever HUPCL the
  // device came with: the station sees the tool leave by its lines. A
  // device without modem lines refuses, which changes nothing.
  int lines = TIOCM_DTR | TIOCM_RTS;
  ::ioctl(fd, TIOCMBIC, &lines);
  if (found) ::tcsetattr(fd, TCSANOW, found);
}

int EnterOpenPort(int fd, const termios* found, const char* lock_file) {
  const size_t length = lock_file ? std::strlen(lock_file) : 0;
  for (int i = 0; i < static_cast<int>(std::size(entries)); ++i) {
    Entry& e = entries[i];
    int expected = kFree;
    if (!e.state.compare_exchange_strong(expected, kTaking)) continue;
    e.fd = fd;
    e.has_settings = found != nullptr;
    if (found) e.found = *found;
    // A name too long for the entry is left out rather than cut short.
    e.lock_file[0] = '\0';
    if (length < sizeof e.lock_file) std::memcpy(e.lock_file, lock_file ? lock_file : "", length + 1);
    e.state.store(kOpen);
    return i;
  }
  return -1;
}

namespace {
// Moves the entry from `from` to `to`, or, while PutBackOpenPorts has it,
// waits for the process to end.
void Move(int entry, int from, int to) {
  if (entry < 0) return;
  for (int state = from; !entries[entry].state.compare_exchange_strong(state, to); state = from) {
    if (state != kClaimed) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}
}  // namespace

void SettingsPutBack(int entry) { Move(entry, kOpen, kLockOnly); }

void LeaveOpenPort(int entry) { Move(entry, kLockOnly, kFree); }

void PutBackOpenPorts() {
  for (Entry& e : entries) {
    int state = kOpen;
    if (!e.state.compare_exchange_strong(state, kClaimed)) {
      state = kLockOnly;
      if (!e.state.compare_exchange_strong(state, kClaimed)) continue;
    }
    // As a close leaves it (the last close, inside the exit, would
    // otherwise wait for unsent output).
    if (state == kOpen && e.has_settings) LeaveLineAsFound(e.fd, &e.found);
    if (e.lock_file[0] != '\0' && LockFileHolder(e.lock_file) == ::getpid()) ::unlink(e.lock_file);
  }
}

}  // namespace odu::platform

// The lock files by which the programs of one machine keep out of each
// other's serial ports, the UUCP convention of the FHS that minicom, cu and
// their kin share: /var/lock/LCK..ttyUSB0 holds the process id of the port's
// user as ten characters, right-aligned, and a newline.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>

namespace odu::platform {

struct OpenRefusal;

// The lock files go to ODU_LOCK_DIR when it is set (read once, at the first
// open), otherwise to /var/lock. This puts them in `dir` from now on, for
// tests that must keep out of the system's directory.
void SetPortLockDir(const std::string& dir);

// The lock file name of the device at `path`, symlinks already followed:
// "LCK.." and the path below /dev/ with each '/' made a '_' (/dev/ttyUSB0:
// LCK..ttyUSB0; /dev/pts/3: LCK..pts_3, as minicom names it); "" for a path
// outside /dev/, which takes no lock.
std::string LockFileName(const std::string& path);

// The process id that the contents of a lock file name: the ASCII form
// (blanks, the digits, then the end or a newline and whatever follows) or the
// binary int of older programs; 0 for anything else.
pid_t LockHolderOf(std::string_view contents);

// The holder the lock file at `file` names: nullopt when there is no such
// file, 0 when it names no process that can be read. Takes no lock and
// allocates nothing, so it may run at any moment.
std::optional<pid_t> LockFileHolder(const char* file);

// The lock of one open port.
class PortLock {
 public:
  PortLock() = default;
  ~PortLock() { Release(); }
  PortLock(const PortLock&) = delete;
  PortLock& operator=(const PortLock&) = delete;

  // Takes the lock of the device that `name` opens when that is a character
  // device under /dev/ (through any symlinks, so that two names of one port
  // share its lock); other names take none. A lock whose process no longer
  // exists is removed and taken. Fails while another live process holds the
  // lock, or a lock file names no process that can be read: the last error is
  // kPortHeldError and `refusal` names the holder and the lock file.
  // Succeeds without a lock where none can be taken (no lock directory, no
  // right to write there), as terminal programs do.
  bool Acquire(const std::string& name, OpenRefusal& refusal);
  // Removes the lock file that Acquire took, if any, while it still names
  // this process. Leaves the last error and errno as they were.
  void Release();
  // The lock file taken; empty when none.
  const std::string& file() const { return file_; }

 private:
  std::string file_;  // the lock file taken; empty when none
};

}  // namespace odu::platform

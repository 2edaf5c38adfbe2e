#include "platform/serial/port_lock_posix.h"

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <optional>
#include <set>
#include <utility>

#include "platform/last_error.h"
#include "platform/serial/serial_device.h"

namespace odu::platform {

namespace {

// What this process knows of the lock directory. Its mutex is held around
// every look at a lock file, so that two threads never race for one; `held`
// keeps a port that this process has open from being taken over by a second
// open of it here (which the device's own lock then refuses).
struct LockTable {
  std::mutex mu;
  std::optional<std::string> dir;  // SetPortLockDir's
  std::set<std::string> held;
};

LockTable& Table() {
  static LockTable table;
  return table;
}

std::string LockDir(const LockTable& table) {
  if (table.dir) return *table.dir;
  static const std::string from_environment = [] {
    const char* dir = std::getenv("ODU_LOCK_DIR");
    return std::string(dir && *dir ? dir : "/var/lock");
  }();
  return from_environment;
}

}  // namespace

std::optional<pid_t> LockFileHolder(const char* file) {
  const int fd = ::open(file, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return errno == ENOENT ? std::nullopt : std::optional<pid_t>(0);
  char text[128];
  ssize_t n;
  do {
    n = ::read(fd, text, sizeof text);
  } while (n < 0 && errno == EINTR);
  ::close(fd);
  if (n <= 0) return 0;  // empty: its writer may be about to fill it
  return LockHolderOf(std::string_view(text, static_cast<size_t>(n)));
}

namespace {

// kill(pid, 0) fails with EPERM for a live process of another user.
bool Alive(pid_t pid) { return ::kill(pid, 0) == 0 || errno != ESRCH; }

std::string CommandOf(pid_t pid) {
  const std::string path = "/proc/" + std::to_string(pid) + "/comm";
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return "";
  char text[64];
  const ssize_t n = ::read(fd, text, sizeof text);
  ::close(fd);
  std::string name(text, static_cast<size_t>(std::max<ssize_t>(n, 0)));
  while (!name.empty() && (name.back() == '\n' || name.back() == '\0')) name.pop_back();
  return name;
}

enum class Made { kTaken, kExists, kCannot };

// The lock file, complete before anyone can see it: written under a name of
// its own and linked to the lock file's name, which fails if that is taken.
Made CreateLock(const std::string& dir, const std::string& file) {
  std::string temp = dir + "/LTMP.XXXXXX";
  const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) return Made::kCannot;
  char text[16];
  const int length = std::snprintf(text, sizeof text, "%10d\n", static_cast<int>(::getpid()));
  // Readable by all, so that other programs can see who holds the port.
  const bool written = ::fchmod(fd, 0644) == 0 && ::write(fd, text, static_cast<size_t>(length)) == length;
  const bool closed = ::close(fd) == 0;
  const int linked = written && closed ? ::link(temp.c_str(), file.c_str()) : -1;
  const int err = errno;
  ::unlink(temp.c_str());
  if (linked == 0) return Made::kTaken;
  return written && closed && err == EEXIST ? Made::kExists : Made::kCannot;
}

bool RefuseHeld(const std::string& file, pid_t holder, OpenRefusal& refusal) {
  refusal.lock_file = file;
  refusal.holder_pid = holder;
  if (holder > 0) refusal.holder_name = CommandOf(holder);
  SetLastError(kPortHeldError);
  return false;
}

}  // namespace

void SetPortLockDir(const std::string& dir) {
  LockTable& table = Table();
  std::lock_guard g(table.mu);
  table.dir = dir;
}

std::string LockFileName(const std::string& path) {
  constexpr std::string_view kDev = "/dev/";
  if (path.size() <= kDev.size() || path.compare(0, kDev.size(), kDev) != 0) return "";
  std::string name = path.substr(kDev.size());
  std::replace(name.begin(), name.end(), '/', '_');
  return "LCK.." + name;
}

pid_t LockHolderOf(std::string_view contents) {
  // A binary int of a real process id has a zero byte: its high one.
  if (contents.find('\0') == std::string_view::npos) {
    size_t i = contents.find_first_not_of(' ');
    if (i == std::string_view::npos) return 0;
    int64_t pid = 0;
    const size_t digits = i;
    for (; i < contents.size() && contents[i] >= '0' && contents[i] <= '9'; ++i) {
      pid = pid * 10 + (contents[i] - '0');
      if (pid > INT_MAX) return 0;
    }
    if (i == digits || (i < contents.size() && contents[i] != '\n')) return 0;
    return static_cast<pid_t>(pid);
  }
  int pid = 0;
  if (contents.size() != sizeof pid) return 0;
  std::memcpy(&pid, contents.data(), sizeof pid);
  return pid > 0 ? pid : 0;
}

bool PortLock::Acquire(const std::string& name, OpenRefusal& refusal) {
  Release();
  char resolved[PATH_MAX];
  // A name that cannot be followed is left to the open to explain.
  if (!::realpath(name.c_str(), resolved)) return true;
  struct stat st {};
  if (::stat(resolved, &st) != 0 || !S_ISCHR(st.st_mode)) return true;
  const std::string lock_name = LockFileName(resolved);
  if (lock_name.empty()) return true;

  LockTable& table = Table();
  std::lock_guard g(table.mu);
  const std::string dir = LockDir(table);
  const std::string file = dir + "/" + lock_name;
  const pid_t self = ::getpid();
  // Each turn either decides or finds the lock file changed by another
  // program in the meantime; one that keeps changing is given up on.
  for (int turn = 0; turn < 4; ++turn) {
    const std::optional<pid_t> holder = LockFileHolder(file.c_str());
    if (!holder) {
      const Made made = CreateLock(dir, file);
      if (made == Made::kExists) continue;
      if (made == Made::kTaken) {
        table.held.insert(file);
        file_ = file;
      }
      return true;  // taken, or no lock directory, or not ours to write
    }
    if (*holder == self) {
      // Another device of this process has the port (a fleet given two
      // names of one port): refused as another program would be. Or an
      // earlier process with this id left the lock, ours to take over.
      if (!table.held.insert(file).second) return RefuseHeld(file, self, refusal);
      file_ = file;
      return true;
    }
    if (*holder == 0 || Alive(*holder)) return RefuseHeld(file, *holder, refusal);
    // Stale: its process has gone. One that we may not remove (another
    // user's, in a sticky directory) leaves the port unlocked but free.
    if (::unlink(file.c_str()) != 0 && errno != ENOENT) return true;
  }
  return true;
}

void PortLock::Release() {
  if (file_.empty()) return;
  const int saved_errno = errno;
  LockTable& table = Table();
  std::lock_guard g(table.mu);
  // A lock file that was removed by hand and taken by another program since
  // is that program's.
  if (LockFileHolder(file_.c_str()) == ::getpid()) ::unlink(file_.c_str());
  table.held.erase(file_);
  file_.clear();
  errno = saved_errno;
}

}  // namespace odu::platform

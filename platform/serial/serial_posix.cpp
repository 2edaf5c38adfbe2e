#include "platform/serial/serial_posix.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <utility>

#include "platform/last_error.h"
#include "platform/serial/comm_timeouts.h"
#include "platform/serial/line_state_posix.h"
#include "platform/serial/ports_left_open_posix.h"
#include "platform/serial/posix_errors.h"

namespace odu::platform {

namespace detail {
// serial_posix_baud.cpp: speeds by number (termios2). SetArbitraryBaud sets
// both directions; CurrentSpeeds reads both back. Both leave errno set on
// failure (also where the system has no speeds by number).
bool SetArbitraryBaud(int fd, uint32_t baud);
bool CurrentSpeeds(int fd, uint32_t& input, uint32_t& output);
// serial_posix_linux.cpp: a close-on-exec, non-blocking pipe; the low-latency
// flag (AskLowLatency is true when it set it, for EndLowLatency to clear at
// close); the driver's counts of breaks, framing, parity, overrun and buffer
// overrun errors.
bool MakeWakeupPipe(int ends[2]);
bool AskLowLatency(int fd);
void EndLowLatency(int fd);
bool ReadLineErrorCounts(int fd, int (&counts)[5]);
}  // namespace detail

namespace {

using detail::ApplyState;
using detail::BaudOfCode;
using detail::ReportedState;
using detail::SameSpeed;
using detail::ValidState;

// Windows' defaults for the two line-control fields, reported until set.
constexpr uint8_t kDtrControlEnable = 1;
constexpr uint8_t kRtsControlEnable = 1;

constexpr uint32_t kLineEvents = EV_CTS | EV_DSR | EV_RLSD | EV_RING;
constexpr uint32_t kCountEvents = EV_BREAK | EV_ERR;

// Pacing of what poll() cannot announce: input that is waiting but already
// reported, an output queue that is draining, held output, and the modem
// lines and error counters, which are sampled.
constexpr Nanos kInputRecheck = Millis(5);
constexpr Nanos kHandshakeRecheck = Millis(5);
constexpr Nanos kLineCheck = Millis(50);  // modem lines and error counters are sampled, not signalled
constexpr Nanos kDrainMin = Millis(1);
constexpr Nanos kDrainMax = Millis(20);

bool Fail(uint32_t code) {
  SetLastError(code);
  return false;
}

Nanos Now() { return RealTime().Now(); }

OpenRefusal::Kind KindOf(mode_t mode) {
  using Kind = OpenRefusal::Kind;
  if (S_ISCHR(mode)) return Kind::kCharacterDevice;
  if (S_ISREG(mode)) return Kind::kRegularFile;
  if (S_ISDIR(mode)) return Kind::kDirectory;
  if (S_ISBLK(mode)) return Kind::kBlockDevice;
  if (S_ISFIFO(mode)) return Kind::kFifo;
  if (S_ISSOCK(mode)) return Kind::kSocket;
  return Kind::kUnknown;
}

// Runs `f` when the scope ends, on every return path.
template <class F>
class Finally {
 public:
  explicit Finally(F f) : f_(std::move(f)) {}
  ~Finally() { f_(); }
  Finally(const Finally&) = delete;
  Finally& operator=(const Finally&) = delete;

 private:
  F f_;
};

// A poll() timeout in whole milliseconds, rounded up so that a wait never
// ends just before its deadline; kForever waits without limit.
int PollMillis(Nanos remaining) {
  if (remaining == kForever) return -1;
  if (remaining <= Nanos::zero()) return 0;
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(remaining).count();
  return static_cast<int>(std::min<int64_t>(ms, INT_MAX));
}

Nanos Until(Nanos deadline, Nanos now) { return deadline == kForever ? kForever : deadline - now; }

// A request the device does not support, as opposed to a device that failed.
bool Unsupported(int err) { return err == ENOTTY || err == EINVAL || err == ENOSYS || err == EOPNOTSUPP; }

// The speed the device runs at, in bits per second (0: unknown or hung up):
// its output speed, which SetCommState makes sure the input runs at too.
uint32_t DeviceBaud(int fd, const termios& t) {
  uint32_t input = 0, output = 0;
  if (detail::CurrentSpeeds(fd, input, output) && output != 0) return output;
  return BaudOfCode(cfgetospeed(&t));
}

// Removes the NUL bytes of buffer[0, n) (fNull); the new length.
uint32_t DropNuls(uint8_t* buffer, uint32_t n) {
  return static_cast<uint32_t>(std::remove(buffer, buffer + n, uint8_t{0}) - buffer);
}

// The time one character takes on the line.
Nanos CharTime(const Dcb& d) {
  const int64_t bits = 1 + d.ByteSize + (d.Parity != NOPARITY ? 1 : 0) + (d.StopBits == ONESTOPBIT ? 1 : 2);
  const int64_t baud = d.BaudRate ? d.BaudRate : 9600;
  return Nanos(bits * 1'000'000'000 / baud);
}

}  // namespace

// ---- self-pipe ----

bool PosixSerialDevice::Wakeup::Create() {
  int ends[2];
  if (!detail::MakeWakeupPipe(ends)) return false;
  read_end = ends[0];
  write_end = ends[1];
  return true;
}

void PosixSerialDevice::Wakeup::Signal() const {
  const char one = 1;
  // A full pipe already wakes the reader; nothing to do on failure.
  const ssize_t n = ::write(write_end, &one, 1);
  static_cast<void>(n);
}

void PosixSerialDevice::Wakeup::Drain() const {
  char sink[64];
  while (::read(read_end, sink, sizeof sink) > 0) {
  }
}

void PosixSerialDevice::Wakeup::Destroy() {
  if (read_end >= 0) ::close(read_end);
  if (write_end >= 0) ::close(write_end);
  read_end = write_end = -1;
}

// ---- open and close ----

DeviceHandle PosixSerialOpener::Open(const std::string& name, OpenRefusal& refusal) {
  std::shared_ptr<PosixSerialDevice> device(new PosixSerialDevice);
  if (!device->OpenPath(name, refusal)) return nullptr;
  return device;
}

SerialOpener& LocalSerialOpener() {
  static PosixSerialOpener opener;
  return opener;
}

bool PosixSerialDevice::OpenPath(const std::string& name, OpenRefusal& refusal) {
  name_ = name;
  if (name.empty()) return Fail(error::kFileNotFound);
  // The lock file first, as terminal programs take it: opening a port may
  // already move its lines.
  if (!lock_.Acquire(name, refusal)) return false;
  fd_ = ::open(name.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd_ < 0) {
    const int err = errno;
    lock_.Release();
    return FailOpen(err, refusal);
  }
  auto fail = [this, &refusal](int err) {
    ShutDevice();
    return FailOpen(err, refusal);
  };

  // Not shared: a port another program holds is not opened. The lock keeps
  // out programs that lock too; TIOCEXCL keeps out any other open (except
  // by root).
  while (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
    if (errno == EINTR) continue;
    if (errno == EWOULDBLOCK) return fail(EBUSY);
    break;  // a file system without locks: carry on unlocked
  }

  struct stat st {};
  if (::fstat(fd_, &st) != 0) return fail(errno);
  is_char_ = S_ISCHR(st.st_mode);
  is_tty_ = is_char_ && ::isatty(fd_) == 1;
  if (!is_tty_) refusal.kind = KindOf(st.st_mode);

  if (is_tty_) {
    ::ioctl(fd_, TIOCEXCL);
    if (::tcgetattr(fd_, &saved_) != 0) return fail(errno);
    saved_valid_ = true;
    left_open_entry_ = EnterOpenPort(fd_, &saved_, lock_.file().c_str());
    termios raw = saved_;
    ::cfmakeraw(&raw);
    raw.c_cflag |= CLOCAL | CREAD;
    raw.c_cc[VMIN] = 0;
    raw.c_cc[VTIME] = 0;
    if (::tcsetattr(fd_, TCSANOW, &raw) != 0) return fail(errno);
    // USB adapters otherwise hold short replies back for their latency
    // timer (16 ms). Drivers that refuse are left as they are.
    restore_low_latency_ = detail::AskLowLatency(fd_);
    int lines = 0;
    lines_supported_ = ::ioctl(fd_, TIOCMGET, &lines) == 0;
    const int lines_err = lines_supported_ ? 0 : errno;
    if (lines_supported_) {
      wait_lines_ = lines;
      rts_ = (lines & TIOCM_RTS) != 0;
    }
    // A port of the system's table without its UART opens, but its driver
    // fails every line request with EIO (Linux's serial core).
    if (!lines_supported_ && lines_err == EIO) return fail(EIO);
    modem_lines_ = lines_supported_ || !Unsupported(lines_err);
    counts_supported_ = ReadCounts(clear_counts_);
    wait_counts_ = clear_counts_;

    Dcb base;
    base.fDtrControl = kDtrControlEnable;
    base.fRtsControl = kRtsControlEnable;
    dcb_ = ReportedState(base, raw, DeviceBaud(fd_, raw));
  }

  if (left_open_entry_ < 0) left_open_entry_ = EnterOpenPort(fd_, nullptr, lock_.file().c_str());
  if (!wait_wake_.Create() || !read_wake_.Create() || !write_wake_.Create()) return fail(errno);
  closed_ = false;
  return true;
}

bool PosixSerialDevice::FailOpen(int err, OpenRefusal& refusal) {
  // A name that is no character device is no serial device, whatever the
  // open said of it (EISDIR for a directory, ENXIO for a socket).
  struct stat st {};
  if (::stat(name_.c_str(), &st) == 0 && !S_ISCHR(st.st_mode)) {
    refusal.kind = KindOf(st.st_mode);
    return Fail(kNotSerialDeviceError);
  }
  const uint32_t code = OpenErrorFromErrno(err);
  if (code == kNotSerialDeviceError) refusal.kind = OpenRefusal::Kind::kCharacterDevice;
  return Fail(code);
}

PosixSerialDevice::~PosixSerialDevice() { Close(); }

void PosixSerialDevice::Close() {
  std::unique_lock lock(mu_);
  if (closed_) return;
  closed_ = true;
  wait_wake_.Signal();
  read_wake_.Signal();
  write_wake_.Signal();
  idle_.wait(lock, [this] { return users_ == 0; });
  ShutDevice();
}

void PosixSerialDevice::ShutDevice() {
  if (fd_ >= 0 && is_tty_) {
    if (restore_low_latency_) detail::EndLowLatency(fd_);
    // Leave the device as it was found.
    LeaveLineAsFound(fd_, saved_valid_ ? &saved_ : nullptr);
    ::ioctl(fd_, TIOCNXCL);
  }
  SettingsPutBack(left_open_entry_);
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  wait_wake_.Destroy();
  read_wake_.Destroy();
  write_wake_.Destroy();
  lock_.Release();
  LeaveOpenPort(left_open_entry_);
  left_open_entry_ = -1;
}

void PosixSerialDevice::Leave() {
  if (--users_ == 0) idle_.notify_all();
}

// ---- settings ----

bool PosixSerialDevice::IsCharacterDevice() {
  std::lock_guard g(mu_);
  if (closed_) return Fail(error::kInvalidHandle);
  if (is_char_ && is_tty_) return true;
  return Fail(kNotSerialDeviceError);
}

bool PosixSerialDevice::SetupComm(uint32_t in_queue, uint32_t out_queue) {
  std::lock_guard g(mu_);
  if (closed_) return Fail(error::kInvalidHandle);
  // The tty layer sizes its queues itself; the request is only checked.
  if (in_queue == 0 || out_queue == 0) return Fail(error::kInvalidParameter);
  return true;
}

bool PosixSerialDevice::GetCommState(Dcb& dcb) {
  std::lock_guard g(mu_);
  if (closed_) return Fail(error::kInvalidHandle);
  termios t{};
  if (::tcgetattr(fd_, &t) != 0) return FailWithDeviceErrno();
  dcb = ReportedState(dcb_, t, DeviceBaud(fd_, t));
  return true;
}

bool PosixSerialDevice::SetCommState(const Dcb& dcb) {
  std::lock_guard g(mu_);
  if (closed_) return Fail(error::kInvalidHandle);
  if (!ValidState(dcb)) return Fail(error::kInvalidParameter);
  termios t{};
  if (::tcgetattr(fd_, &t) != 0) return FailWithDeviceErrno();
  const bool speed_set = ApplyState(dcb, t);
  if (::tcsetattr(fd_, TCSANOW, &t) != 0) return FailWithDeviceErrno();
  // A speed without a B-constant is set by number, for both directions.
  if (!speed_set && !detail::SetArbitraryBaud(fd_, dcb.BaudRate)) return FailWithDeviceErrno();
  // GetCommState reports one speed: a driver that runs the input at another
  // speed than the output has not taken the setting.
  uint32_t input = 0, output = 0;
  if (detail::CurrentSpeeds(fd_, input, output) && input != 0 && output != 0 && !SameSpeed(input, output))
    return Fail(error::kInvalidParameter);
  if (rts_) {
    int rts = TIOCM_RTS;
    ::ioctl(fd_, *rts_ ? TIOCMBIS : TIOCMBIC, &rts);
  }
  dcb_ = dcb;
  return true;
}

bool PosixSerialDevice::SetCommTimeouts(const CommTimeouts& timeouts) {
  std::lock_guard g(mu_);
  if (closed_) return Fail(error::kInvalidHandle);
  timeouts_ = timeouts;
  return true;
}

bool PosixSerialDevice::SetCommMask(uint32_t mask) {
  std::lock_guard g(mu_);
  if (closed_) return Fail(error::kInvalidHandle);
  mask_ = mask;
  // A pending wait completes at once with no events, as on Windows.
  if (waiting_) {
    mask_changed_ = true;
    wait_wake_.Signal();
  }
  return true;
}

// ---- line events ----

bool PosixSerialDevice::ReadCounts(ErrorCounts& counts) const {
  int c[5];
  if (!detail::ReadLineErrorCounts(fd_, c)) return false;
  counts = ErrorCounts{c[0], c[1], c[2], c[3], c[4]};
  return true;
}

uint32_t PosixSerialDevice::HangupError() const {
  int waiting = 0;
  if (::ioctl(fd_, FIONREAD, &waiting) != 0) return DeviceErrorFromErrno(errno);
  return kDeviceGoneError;
}

// EV_RXCHAR: bytes beyond those already announced (notified_). poll() would
// report input that is waiting but old at every turn, so a wait asks it for
// input only when the queue is empty and otherwise re-checks the queue every
// few milliseconds. EV_RXFLAG is not raised: finding the event character
// would mean reading the input before its reader does.
// EV_CTS, EV_DSR, EV_RLSD, EV_RING: modem lines sampled every kLineCheck,
// where the driver has them (a pseudo-terminal has not); a line that goes and
// comes back between two samples goes unseen. EV_BREAK, EV_ERR: the driver's
// error counters (TIOCGICOUNT), sampled the same way. EV_TXEMPTY: the output
// queue is empty after a write.
bool PosixSerialDevice::WaitCommEvent(uint32_t& events) {
  events = 0;
  std::unique_lock lock(mu_);
  if (closed_) return Fail(error::kInvalidHandle);
  if (cancelled_) return Fail(error::kOperationAborted);
  if (waiting_) return Fail(error::kInvalidParameter);
  waiting_ = true;
  mask_changed_ = false;
  ++users_;
  Finally done([&] {
    if (!lock.owns_lock()) lock.lock();
    waiting_ = false;
    Leave();
  });
  const int fd = fd_;
  wait_wake_.Drain();

  // Under the lock: whether the wait ends without events, and its result.
  bool result = false;
  auto interrupted = [&] {
    if (closed_) {
      result = Fail(error::kInvalidHandle);
    } else if (cancelled_) {
      result = Fail(error::kOperationAborted);
    } else if (mask_changed_) {
      carried_ &= mask_;
      result = true;
    } else {
      return false;
    }
    return true;
  };

  bool hangup = false;
  bool input_signalled = false;
  for (;;) {
    // Lock held here.
    if (interrupted()) return result;
    const uint32_t mask = mask_;
    Nanos pace = kForever;

    // Modem lines and error counters, without the lock: on a USB adapter
    // TIOCMGET is a round trip to the device.
    const bool sample_lines = (mask & kLineEvents) && lines_supported_;
    const bool sample_counts = (mask & kCountEvents) && counts_supported_;
    if (is_tty_ && (sample_lines || sample_counts)) {
      lock.unlock();
      if (!SampleLines(fd, sample_lines, sample_counts, pace)) return false;
      lock.lock();
      if (interrupted()) return result;
    }
    carried_ &= mask_;

    bool want_input = false;
    uint32_t waiting = 0;
    if (is_tty_ && !CheckQueues(fd, input_signalled, waiting, want_input, pace)) return false;
    if (carried_ != 0) {
      events = carried_;
      carried_ = 0;
      if (events & EV_RXCHAR) notified_ = waiting;
      return true;
    }
    if (hangup) return Fail(HangupError());

    lock.unlock();
    pollfd fds[2] = {{wait_wake_.read_end, POLLIN, 0}, {fd, static_cast<short>(want_input ? POLLIN : 0), 0}};
    const int r = ::poll(fds, is_tty_ ? 2 : 1, PollMillis(pace));
    const int err = errno;
    lock.lock();
    if (r < 0 && err != EINTR) return FailWithDeviceErrno(err);
    if (r <= 0) {
      input_signalled = false;
      continue;
    }
    if (fds[0].revents) wait_wake_.Drain();
    // Readable but nothing new on the next look: pace instead of spinning.
    input_signalled = (fds[1].revents & POLLIN) != 0;
    // A device that hung up (an adapter pulled out) fails the wait once
    // what it had delivered has been reported; the caller paces its
    // restarts.
    if (fds[1].revents & (POLLHUP | POLLERR | POLLNVAL)) hangup = true;
  }
}

bool PosixSerialDevice::SampleLines(int fd, bool lines, bool counts, Nanos& pace) {
  const Nanos now = Now();
  if (now >= next_line_check_) {
    next_line_check_ = now + kLineCheck;
    if (lines) {
      int state = 0;
      if (::ioctl(fd, TIOCMGET, &state) != 0) return FailWithDeviceErrno();
      const int changed = state ^ wait_lines_;
      wait_lines_ = state;
      if (changed & TIOCM_CTS) carried_ |= EV_CTS;
      if (changed & TIOCM_DSR) carried_ |= EV_DSR;
      if (changed & TIOCM_CAR) carried_ |= EV_RLSD;
      if (changed & TIOCM_RNG) carried_ |= EV_RING;
    }
    ErrorCounts now_counts;
    if (counts && ReadCounts(now_counts)) {
      if (now_counts.brk != wait_counts_.brk) carried_ |= EV_BREAK;
      if (now_counts.frame != wait_counts_.frame || now_counts.parity != wait_counts_.parity ||
          now_counts.overrun != wait_counts_.overrun || now_counts.buf_overrun != wait_counts_.buf_overrun)
        carried_ |= EV_ERR;
      wait_counts_ = now_counts;
    }
  }
  pace = std::min(pace, next_line_check_ - now);
  return true;
}

bool PosixSerialDevice::CheckQueues(int fd, bool input_signalled, uint32_t& waiting, bool& want_input, Nanos& pace) {
  if (mask_ & EV_RXCHAR) {
    int n = 0;
    if (::ioctl(fd, FIONREAD, &n) != 0) return FailWithDeviceErrno();
    waiting = static_cast<uint32_t>(std::max(n, 0));
    if (waiting > notified_) {
      carried_ |= EV_RXCHAR;
    } else if (waiting == 0 && !input_signalled) {
      want_input = true;
    } else {
      pace = std::min(pace, kInputRecheck);
    }
  }
  if ((mask_ & EV_TXEMPTY) && tx_pending_) {
    int queued = 0;
    if (!OutputQueued(queued)) return false;
    if (queued == 0) {
      carried_ |= EV_TXEMPTY;
      tx_pending_ = false;
    } else {
      pace = std::min(pace, kInputRecheck);
    }
  }
  return true;
}

void PosixSerialDevice::CancelWait() {
  std::lock_guard g(mu_);
  cancelled_ = true;
  if (!closed_) wait_wake_.Signal();
}

// ---- transfers ----

bool PosixSerialDevice::OutputQueued(int& queued) const {
  queued = 0;
  if (::ioctl(fd_, TIOCOUTQ, &queued) == 0) return true;
  queued = 0;
  return Unsupported(errno) || FailWithDeviceErrno();
}

bool PosixSerialDevice::ReadFile(void* buffer, uint32_t count, uint32_t& read) {
  read = 0;
  std::lock_guard serial(read_mu_);
  std::unique_lock lock(mu_);
  if (closed_) return Fail(error::kInvalidHandle);
  if (count == 0) return true;
  const CommTimeouts t = timeouts_;
  const bool drop_nuls = dcb_.fNull;
  const int fd = fd_;
  ++users_;
  reading_ = true;
  rx_abort_ = false;
  read_wake_.Drain();
  Finally done([&] {
    if (!lock.owns_lock()) lock.lock();
    reading_ = false;
    rx_abort_ = false;
    Leave();
  });

  // Windows' timeouts: the read ends when `count` bytes have come, the total
  // has passed, or the line has been silent for the interval after a byte
  // (comm_timeouts.h for the cases that return sooner).
  const ReadTimeouts rule = ReadTimeoutsFor(t, count);
  const Nanos start = Now();
  auto* out = static_cast<uint8_t*>(buffer);
  Nanos last_byte{};
  bool hangup = false;

  for (;;) {
    // Lock held here.
    if (closed_) return Fail(error::kInvalidHandle);
    if (rx_abort_) return Fail(error::kOperationAborted);
    const ssize_t n = ::read(fd, out + read, count - read);
    if (n > 0) {
      uint32_t got = static_cast<uint32_t>(n);
      notified_ = notified_ > got ? notified_ - got : 0;
      if (drop_nuls) got = DropNuls(out + read, got);
      read += got;
      last_byte = Now();
      if (read == count) return true;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return FailWithDeviceErrno();
    // Nothing waiting (a raw tty reads 0 then). A read whose time has come
    // returns what it has, even from a device that has just hung up.
    if (!is_tty_) return true;
    const std::optional<Nanos> left = ReadWaitLeft(rule, start, Now(), read, last_byte);
    if (!left) return true;
    if (hangup) return Fail(HangupError());

    lock.unlock();
    pollfd fds[2] = {{fd, POLLIN, 0}, {read_wake_.read_end, POLLIN, 0}};
    const int r = ::poll(fds, 2, PollMillis(*left));
    const int err = errno;
    lock.lock();
    if (r < 0 && err != EINTR) return FailWithDeviceErrno(err);
    if (r > 0 && fds[1].revents) read_wake_.Drain();
    // Read once more: what the device delivered before it went comes first.
    if (r > 0 && (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL))) hangup = true;
  }
}

bool PosixSerialDevice::WriteFile(const void* buffer, uint32_t count, uint32_t& written) {
  written = 0;
  std::lock_guard serial(write_mu_);
  std::unique_lock lock(mu_);
  if (closed_) return Fail(error::kInvalidHandle);
  if (count == 0) return true;
  const CommTimeouts t = timeouts_;
  const bool dsr_handshake = dcb_.fOutxDsrFlow && lines_supported_;
  const Nanos char_time = CharTime(dcb_);
  const int fd = fd_;
  ++users_;
  writing_ = true;
  tx_abort_ = false;
  write_wake_.Drain();
  uint32_t sent = 0;
  Finally done([&] {
    if (!lock.owns_lock()) lock.lock();
    written = sent;
    if (sent > 0) {
      tx_pending_ = true;
      // A wait that is already pending for EV_TXEMPTY looks at the output
      // queue again: nothing else would wake it.
      if (waiting_ && (mask_ & EV_TXEMPTY) && !closed_) wait_wake_.Signal();
    }
    writing_ = false;
    tx_abort_ = false;
    Leave();
  });

  const std::optional<uint64_t> total = WriteTotalFor(t, count);
  const Nanos deadline = total ? DeadlineAfter(Now(), *total) : kForever;
  const auto* bytes = static_cast<const uint8_t*>(buffer);
  auto pause = [&](Nanos limit, short fd_events) { return PauseWrite(lock, fd, deadline, limit, fd_events); };

  if (!is_tty_) {
    const ssize_t n = ::write(fd, bytes, count);
    if (n < 0) return FailWithDeviceErrno();
    sent = static_cast<uint32_t>(n);
    return true;
  }

  bool hangup = false;
  while (sent < count) {
    // Lock held here.
    if (closed_) return Fail(error::kInvalidHandle);
    if (tx_abort_) return AbortWrite(sent);
    if (dsr_handshake) {
      // Output waits while DSR is low (termios cannot gate on it).
      int lines = TIOCM_DSR;
      if (::ioctl(fd, TIOCMGET, &lines) != 0) {
        if (!Unsupported(errno)) return FailWithDeviceErrno();
        lines = TIOCM_DSR;  // lines unknown: output is not held
      }
      if (!(lines & TIOCM_DSR)) {
        if (deadline != kForever && Now() >= deadline) break;
        pause(kHandshakeRecheck, 0);
        continue;
      }
    }
    const ssize_t n = ::write(fd, bytes + sent, count - sent);
    if (n > 0) {
      sent += static_cast<uint32_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return FailWithDeviceErrno();
    // The output queue is full.
    if (hangup) return Fail(HangupError());
    if (deadline != kForever && Now() >= deadline) break;
    const short revents = pause(kForever, POLLOUT);
    if (revents & (POLLHUP | POLLERR | POLLNVAL)) hangup = true;
  }

  return DrainWrite(lock, fd, deadline, char_time, sent);
}

short PosixSerialDevice::PauseWrite(std::unique_lock<std::mutex>& lock, int fd, Nanos deadline, Nanos limit,
                                    short fd_events) {
  const Nanos span = std::min(limit, Until(deadline, Now()));
  lock.unlock();
  pollfd fds[2] = {{write_wake_.read_end, POLLIN, 0}, {fd, fd_events, 0}};
  const int r = ::poll(fds, fd_events ? 2 : 1, PollMillis(span));
  lock.lock();
  if (r > 0 && fds[0].revents) write_wake_.Drain();
  return r > 0 ? fds[1].revents : short{0};
}

bool PosixSerialDevice::AbortWrite(uint32_t& sent) {
  int queued = 0;
  OutputQueued(queued);
  sent -= std::min(sent, static_cast<uint32_t>(queued));
  return Fail(error::kOperationAborted);
}

// The count is what has left the port by the deadline. The output queue is
// waited for a little at a time in proportion to what is left in it;
// whatever is still queued at the deadline is discarded.
bool PosixSerialDevice::DrainWrite(std::unique_lock<std::mutex>& lock, int fd, Nanos deadline, Nanos char_time,
                                   uint32_t& sent) {
  for (;;) {
    if (closed_) return Fail(error::kInvalidHandle);
    if (tx_abort_) return AbortWrite(sent);
    int queued = 0;
    if (!OutputQueued(queued)) return false;
    if (queued == 0) return true;
    if (deadline != kForever && Now() >= deadline) {
      ::tcflush(fd, TCOFLUSH);
      sent -= std::min(sent, static_cast<uint32_t>(queued));
      return true;
    }
    PauseWrite(lock, fd, deadline, std::clamp(char_time * queued, kDrainMin, kDrainMax), 0);
  }
}

// ---- purge, status and lines ----

// The abort flags end a transfer that is pending in another thread (it
// returns false with 995); the clear flags empty one queue each, so that a
// receive purge never touches what is on its way out.
bool PosixSerialDevice::PurgeComm(uint32_t flags) {
  std::lock_guard g(mu_);
  if (closed_) return Fail(error::kInvalidHandle);
  if (flags & ~uint32_t{PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR})
    return Fail(error::kInvalidParameter);
  if ((flags & PURGE_RXABORT) && reading_) {
    rx_abort_ = true;
    read_wake_.Signal();
  }
  if ((flags & PURGE_TXABORT) && writing_) {
    tx_abort_ = true;
    write_wake_.Signal();
  }
  if (!is_tty_) return true;
  if (flags & PURGE_RXCLEAR) {
    if (::tcflush(fd_, TCIFLUSH) != 0) return FailWithDeviceErrno();
    notified_ = 0;
  }
  if ((flags & PURGE_TXCLEAR) && ::tcflush(fd_, TCOFLUSH) != 0) return FailWithDeviceErrno();
  return true;
}

bool PosixSerialDevice::ClearCommError(uint32_t& errors, ComStat& status) {
  errors = 0;
  status = {};
  std::lock_guard g(mu_);
  if (closed_) return Fail(error::kInvalidHandle);
  if (!is_tty_) return true;
  int waiting = 0;
  if (::ioctl(fd_, FIONREAD, &waiting) != 0) return FailWithDeviceErrno();
  int queued = 0;
  if (!OutputQueued(queued)) return false;
  status.cbInQue = static_cast<uint32_t>(std::max(waiting, 0));
  status.cbOutQue = static_cast<uint32_t>(std::max(queued, 0));
  ErrorCounts counts;
  if (counts_supported_ && ReadCounts(counts)) {
    if (counts.overrun != clear_counts_.overrun) errors |= CE_OVERRUN;
    if (counts.buf_overrun != clear_counts_.buf_overrun) errors |= CE_RXOVER;
    if (counts.parity != clear_counts_.parity) errors |= CE_RXPARITY;
    if (counts.frame != clear_counts_.frame) errors |= CE_FRAME;
    if (counts.brk != clear_counts_.brk) errors |= CE_BREAK;
    clear_counts_ = counts;
  }
  return true;
}

bool PosixSerialDevice::EscapeCommFunction(uint32_t function) {
  std::lock_guard g(mu_);
  if (closed_) return Fail(error::kInvalidHandle);
  auto lines = [&](unsigned long request, int bits) { return ::ioctl(fd_, request, &bits) == 0 || FailWithDeviceErrno(); };
  switch (function) {
    case SETDTR: return lines(TIOCMBIS, TIOCM_DTR);
    case CLRDTR: return lines(TIOCMBIC, TIOCM_DTR);
    case SETRTS:
    case CLRRTS: {
      const bool on = function == SETRTS;
      if (!lines(on ? TIOCMBIS : TIOCMBIC, TIOCM_RTS)) return false;
      rts_ = on;
      return true;
    }
    case SETBREAK: return ::ioctl(fd_, TIOCSBRK) == 0 || FailWithDeviceErrno();
    case CLRBREAK: return ::ioctl(fd_, TIOCCBRK) == 0 || FailWithDeviceErrno();
    // As if XON (XOFF) had been received: output resumes (stops).
    case SETXON: return ::tcflow(fd_, TCOON) == 0 || FailWithDeviceErrno();
    case SETXOFF: return ::tcflow(fd_, TCOOFF) == 0 || FailWithDeviceErrno();
    default: return Fail(error::kInvalidParameter);
  }
}

bool PosixSerialDevice::GetCommModemStatus(uint32_t& status) {
  status = 0;
  std::lock_guard g(mu_);
  if (closed_) return Fail(error::kInvalidHandle);
  int lines = 0;
  if (::ioctl(fd_, TIOCMGET, &lines) != 0) return FailWithDeviceErrno();
  if (lines & TIOCM_CTS) status |= MS_CTS_ON;
  if (lines & TIOCM_DSR) status |= MS_DSR_ON;
  if (lines & TIOCM_RNG) status |= MS_RING_ON;
  if (lines & TIOCM_CAR) status |= MS_RLSD_ON;
  return true;
}

}  // namespace odu::platform

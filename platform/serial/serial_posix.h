// The POSIX backend of the serial device layer: a tty opened by name and
// driven through termios and poll(), giving the results and error codes of
// the Windows calls that the port component is written against.
#pragma once

#include <termios.h>

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

#include "platform/clock.h"
#include "platform/serial/port_lock_posix.h"
#include "platform/serial/serial_device.h"

namespace odu::platform {

// One open tty (or, for IsCharacterDevice to refuse, any other file).
//
// Locking: mu_ guards every member and is held around each system call except
// the blocking poll() of ReadFile, WriteFile and WaitCommEvent and the
// modem-line sampling of a wait. Those calls count themselves in users_
// while they use the descriptor without the lock; Close
// wakes them through their self-pipes and closes the descriptor only once
// users_ is back at 0, so no call ever touches a closed (and perhaps reused)
// descriptor.
class PosixSerialDevice final : public SerialDevice {
 public:
  ~PosixSerialDevice() override;
  PosixSerialDevice(const PosixSerialDevice&) = delete;
  PosixSerialDevice& operator=(const PosixSerialDevice&) = delete;

  bool IsCharacterDevice() override;
  bool SetupComm(uint32_t in_queue, uint32_t out_queue) override;
  bool GetCommState(Dcb& dcb) override;
  bool SetCommState(const Dcb& dcb) override;
  bool SetCommTimeouts(const CommTimeouts& timeouts) override;
  bool SetCommMask(uint32_t mask) override;
  bool WaitCommEvent(uint32_t& events) override;
  void CancelWait() override;
  bool ReadFile(void* buffer, uint32_t count, uint32_t& read) override;
  bool WriteFile(const void* buffer, uint32_t count, uint32_t& written) override;
  bool PurgeComm(uint32_t flags) override;
  bool ClearCommError(uint32_t& errors, ComStat& status) override;
  bool EscapeCommFunction(uint32_t function) override;
  bool GetCommModemStatus(uint32_t& status) override;
  bool HasModemLines() override { return modem_lines_; }
  void Close() override;

 private:
  friend class PosixSerialOpener;
  PosixSerialDevice() = default;
  // Opens `name` as the Windows open of an unshared port would; on failure
  // the last error is set, `refusal` says more where it can, and the object
  // stays closed. A name that opens but is no tty is described in `refusal`
  // for IsCharacterDevice's refusal.
  bool OpenPath(const std::string& name, OpenRefusal& refusal);
  // Puts the device back as it was found, closes every descriptor and
  // gives the port's lock file up.
  void ShutDevice();
  // Records the last error of an open of name_ that failed with `err`.
  bool FailOpen(int err, OpenRefusal& refusal);

  // A self-pipe that ends another thread's poll().
  struct Wakeup {
    int read_end = -1;
    int write_end = -1;
    bool Create();
    void Signal() const;
    void Drain() const;
    void Destroy();
  };

  // The driver's line-error counters (TIOCGICOUNT).
  struct ErrorCounts {
    int brk = 0;
    int frame = 0;
    int parity = 0;
    int overrun = 0;
    int buf_overrun = 0;
  };
  bool ReadCounts(ErrorCounts& counts) const;

  // Leaves the descriptor to Close once the last user is gone. Under mu_.
  void Leave();
  // Bytes waiting in the output queue; 0 where the driver cannot tell.
  // Under mu_; false on a device failure.
  bool OutputQueued(int& queued) const;
  // The last error for a device that poll() reported hung up.
  uint32_t HangupError() const;

  // A wait's look at the modem lines and the error counters, made without
  // mu_ (on a USB adapter TIOCMGET is a round trip to the device), every
  // kLineCheck: their changes go to carried_ and `pace` is cut to the next
  // look. False on a device failure.
  bool SampleLines(int fd, bool lines, bool counts, Nanos& pace);
  // A wait's look at the queues, under mu_ so that a concurrent read moves
  // the input queue and notified_ together: EV_RXCHAR for input beyond what
  // was announced (`waiting` is the queue), EV_TXEMPTY once the output has
  // gone; `want_input` when poll() is to watch for input, `pace` cut while
  // something is to be looked at again. False on a device failure.
  bool CheckQueues(int fd, bool input_signalled, uint32_t& waiting, bool& want_input, Nanos& pace);

  // A write's sleep of up to `limit` (not past `deadline`), or until woken
  // or `fd_events` come; mu_ held on entry and return. The events that came.
  short PauseWrite(std::unique_lock<std::mutex>& lock, int fd, Nanos deadline, Nanos limit, short fd_events);
  // An aborted write: what has not left yet no longer counts as written.
  bool AbortWrite(uint32_t& sent);
  // A write's wait for its bytes to leave the port, up to its deadline.
  bool DrainWrite(std::unique_lock<std::mutex>& lock, int fd, Nanos deadline, Nanos char_time, uint32_t& sent);

  std::mutex mu_;
  std::condition_variable idle_;
  // Serialise transfers of one direction, so that an abort or a wake-up
  // always reaches the one transfer that is pending.
  std::mutex read_mu_;
  std::mutex write_mu_;

  // Fixed between a successful open and Close.
  std::string name_;
  PortLock lock_;  // the port's lock file, given up by ShutDevice
  int fd_ = -1;
  bool is_tty_ = false;
  bool is_char_ = false;
  bool lines_supported_ = false;   // TIOCMGET works (not on a pseudo-terminal)
  bool modem_lines_ = false;       // a tty whose driver has modem lines (kept after Close)
  bool counts_supported_ = false;  // TIOCGICOUNT works
  termios saved_{};                // as found at open, put back at Close
  bool saved_valid_ = false;
  bool restore_low_latency_ = false;
  int left_open_entry_ = -1;       // what a sudden end puts back
  Wakeup wait_wake_;
  Wakeup read_wake_;
  Wakeup write_wake_;

  bool closed_ = true;
  int users_ = 0;
  Dcb dcb_{};
  CommTimeouts timeouts_{};
  uint32_t mask_ = 0;
  bool cancelled_ = false;
  bool waiting_ = false;
  bool mask_changed_ = false;
  bool reading_ = false;
  bool writing_ = false;
  bool rx_abort_ = false;
  bool tx_abort_ = false;
  // Bytes at the head of the input queue that an EV_RXCHAR has already
  // announced; only bytes beyond them are new to the next wait.
  uint32_t notified_ = 0;
  // A write has ended since EV_TXEMPTY was last reported.
  bool tx_pending_ = false;
  // RTS as EscapeCommFunction last set it, re-asserted after each tcsetattr.
  std::optional<bool> rts_;
  ErrorCounts clear_counts_;  // at the last ClearCommError

  // The waiting thread's own (one wait at a time).
  int wait_lines_ = 0;  // TIOCMGET at the last check
  ErrorCounts wait_counts_;
  Nanos next_line_check_{};
  uint32_t carried_ = 0;  // events seen by a wait that ended for another reason
};

class PosixSerialOpener final : public SerialOpener {
 public:
  using SerialOpener::Open;
  DeviceHandle Open(const std::string& name, OpenRefusal& refusal) override;
};

}  // namespace odu::platform

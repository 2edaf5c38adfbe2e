// The Windows backend of the serial device layer: each call is the Windows
// communications function of the same name on a handle opened overlapped,
// with Windows' own error codes passed on unchanged.
//
// Overlapped, so that a wait on one thread never holds up the owner's reads
// and writes, and so that CancelWait and Close can end a call that is
// blocked. Each transfer still ends before its call returns: the call waits
// for its own OVERLAPPED (one per direction, each with its own manual-reset
// event) and takes the result with GetOverlappedResult(..., TRUE).
//
// Lifetime: every call counts itself in users_ while it uses the handle.
// Close marks the device closed (later calls fail with error 6 before they
// touch the handle), signals the closing event so that each pending call
// cancels its own operation and waits for it to finish, waits until users_
// is back at 0, and only then closes the handle. So nothing touches a closed (perhaps
// reused) handle, and no OVERLAPPED goes away while the system may still
// write to it. The backend starts no threads of its own.
#include "platform/last_error.h"
#include "platform/serial/serial_device.h"
#include "platform/serial/win32_port_name.h"

// After the project's headers: windows.h defines the line-event, purge,
// escape and status names as macros, which would rewrite their declarations
// in serial_device.h.
#include <windows.h>

#include <condition_variable>
#include <mutex>
#include <new>

namespace odu::platform {
namespace {

// Records the reason Windows gave for the call that just failed.
bool Failed() {
  SetLastError(static_cast<uint32_t>(::GetLastError()));
  return false;
}

// The device's manual-reset events, all unsignalled at the start.
struct Events {
  HANDLE closing = nullptr;  // set by Close: every pending call cancels its operation
  HANDLE cancel = nullptr;   // set by CancelWait: every wait, pending or later, ends
  HANDLE wait = nullptr;     // one per OVERLAPPED
  HANDLE read = nullptr;
  HANDLE write = nullptr;

  // False, with the last error of the failed creation, when one is missing.
  bool Create() {
    for (HANDLE* e : {&closing, &cancel, &wait, &read, &write})
      if (!(*e = ::CreateEventA(nullptr, TRUE, FALSE, nullptr))) return Failed();
    return true;
  }
  void Destroy() {
    for (HANDLE* e : {&closing, &cancel, &wait, &read, &write}) {
      if (*e) ::CloseHandle(*e);
      *e = nullptr;
    }
  }
};

class Win32SerialDevice final : public SerialDevice {
 public:
  // Takes over `handle` (open, overlapped) and `events` (all created).
  Win32SerialDevice(HANDLE handle, const Events& events) : handle_(handle), ev_(events) {}
  Win32SerialDevice(const Win32SerialDevice&) = delete;
  Win32SerialDevice& operator=(const Win32SerialDevice&) = delete;
  ~Win32SerialDevice() override {
    Close();
    ev_.Destroy();
  }

  bool IsCharacterDevice() override {
    Use use(*this);
    if (!use) return false;
    // Anything else (wine answers FILE_TYPE_UNKNOWN for a port whose
    // mapping changed after its session started) is no port; the last error
    // is what Windows left, 0 when the call itself worked.
    ::SetLastError(NO_ERROR);
    return ::GetFileType(handle_) == FILE_TYPE_CHAR || Failed();
  }

  bool SetupComm(uint32_t in_queue, uint32_t out_queue) override {
    Use use(*this);
    return use && (::SetupComm(handle_, in_queue, out_queue) || Failed());
  }

  bool GetCommState(Dcb& dcb) override {
    Use use(*this);
    if (!use) return false;
    DCB d{};
    d.DCBlength = sizeof d;
    if (!::GetCommState(handle_, &d)) return Failed();
    dcb.BaudRate = d.BaudRate;
    dcb.fBinary = d.fBinary;
    dcb.fParity = d.fParity;
    dcb.fOutxCtsFlow = d.fOutxCtsFlow;
    // Wine reads this back as 0 after it was set: termios has no DSR flow
    // control, so wine cannot keep it.
    dcb.fOutxDsrFlow = d.fOutxDsrFlow;
    dcb.fDtrControl = static_cast<uint8_t>(d.fDtrControl);
    dcb.fDsrSensitivity = d.fDsrSensitivity;
    dcb.fTXContinueOnXoff = d.fTXContinueOnXoff;
    dcb.fOutX = d.fOutX;
    dcb.fInX = d.fInX;
    dcb.fErrorChar = d.fErrorChar;
    dcb.fNull = d.fNull;
    dcb.fRtsControl = static_cast<uint8_t>(d.fRtsControl);
    dcb.fAbortOnError = d.fAbortOnError;
    dcb.XonLim = d.XonLim;
    dcb.XoffLim = d.XoffLim;
    dcb.ByteSize = d.ByteSize;
    dcb.Parity = d.Parity;
    dcb.StopBits = d.StopBits;
    dcb.XonChar = static_cast<uint8_t>(d.XonChar);
    dcb.XoffChar = static_cast<uint8_t>(d.XoffChar);
    dcb.ErrorChar = static_cast<uint8_t>(d.ErrorChar);
    dcb.EofChar = static_cast<uint8_t>(d.EofChar);
    dcb.EvtChar = static_cast<uint8_t>(d.EvtChar);
    return true;
  }

  bool SetCommState(const Dcb& dcb) override {
    Use use(*this);
    if (!use) return false;
    DCB d{};
    d.DCBlength = sizeof d;
    d.BaudRate = dcb.BaudRate;
    d.fBinary = dcb.fBinary;
    d.fParity = dcb.fParity;
    d.fOutxCtsFlow = dcb.fOutxCtsFlow;
    d.fOutxDsrFlow = dcb.fOutxDsrFlow;
    d.fDtrControl = dcb.fDtrControl & 3u;  // out-of-range values are cut, as the bit field would
    d.fDsrSensitivity = dcb.fDsrSensitivity;
    d.fTXContinueOnXoff = dcb.fTXContinueOnXoff;
    d.fOutX = dcb.fOutX;
    d.fInX = dcb.fInX;
    d.fErrorChar = dcb.fErrorChar;
    d.fNull = dcb.fNull;
    d.fRtsControl = dcb.fRtsControl & 3u;
    d.fAbortOnError = dcb.fAbortOnError;
    d.XonLim = dcb.XonLim;
    d.XoffLim = dcb.XoffLim;
    d.ByteSize = dcb.ByteSize;
    d.Parity = dcb.Parity;
    d.StopBits = dcb.StopBits;
    d.XonChar = static_cast<char>(dcb.XonChar);
    d.XoffChar = static_cast<char>(dcb.XoffChar);
    d.ErrorChar = static_cast<char>(dcb.ErrorChar);
    d.EofChar = static_cast<char>(dcb.EofChar);
    d.EvtChar = static_cast<char>(dcb.EvtChar);
    return ::SetCommState(handle_, &d) || Failed();
  }

  bool SetCommTimeouts(const CommTimeouts& t) override {
    Use use(*this);
    if (!use) return false;
    COMMTIMEOUTS w{t.ReadIntervalTimeout, t.ReadTotalTimeoutMultiplier, t.ReadTotalTimeoutConstant,
                   t.WriteTotalTimeoutMultiplier, t.WriteTotalTimeoutConstant};
    // Windows' serial drivers read an interval of MAXDWORD beside a total
    // timeout (multiplier not MAXDWORD) as "return at once with what is
    // waiting, if anything is": a read of a 10-byte reply whose first bytes
    // are already in would end with part of it. The reads of this layer wait
    // for their count until the total timeout, which is interval 0.
    const bool has_total = t.ReadTotalTimeoutConstant != 0 || t.ReadTotalTimeoutMultiplier != 0;
    if (t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier != MAXDWORD && has_total)
      w.ReadIntervalTimeout = 0;
    return ::SetCommTimeouts(handle_, &w) || Failed();
  }

  bool SetCommMask(uint32_t mask) override {
    Use use(*this);
    if (!use) return false;
    std::lock_guard g(mu_);  // so that RearmMask never puts back an older mask
    if (!::SetCommMask(handle_, mask)) return Failed();
    mask_ = mask;
    return true;
  }

  bool WaitCommEvent(uint32_t& events) override {
    events = 0;
    std::lock_guard one(wait_mu_);  // one OVERLAPPED for waits
    Use use(*this);
    if (!use) return false;
    if (Cancelled()) return Aborted();
    OVERLAPPED ov{};
    ov.hEvent = ev_.wait;
    DWORD mask = 0;  // written by the system until the wait has finished
    if (!::WaitCommEvent(handle_, &mask, &ov) && ::GetLastError() != ERROR_IO_PENDING) return Failed();
    const bool stopped = !Finish(ov, {ev_.closing, ev_.cancel});
    DWORD unused = 0;
    if (stopped && !::GetOverlappedResult(handle_, &ov, &unused, FALSE) && ::GetLastError() == ERROR_IO_INCOMPLETE) {
      // Wine (8.0) does not cancel a pending wait, which would then last
      // until the next event. Like Windows it ends one when the mask is set
      // again: the same mask is set.
      RearmMask();
    }
    if (!::GetOverlappedResult(handle_, &ov, &unused, TRUE)) return Failed();
    // A wait that ended on its own as it was cancelled still counts as
    // cancelled: the caller asked for this wait to end with 995.
    if (stopped) return Aborted();
    events = mask;
    return true;
  }

  void CancelWait() override {
    std::lock_guard g(mu_);
    cancelled_ = true;
    ::SetEvent(ev_.cancel);  // never reset: every later wait ends at once too
  }

  bool ReadFile(void* buffer, uint32_t count, uint32_t& read) override {
    read = 0;
    std::lock_guard one(read_mu_);
    return Transfer(ev_.read, read, [&](OVERLAPPED& ov) { return ::ReadFile(handle_, buffer, count, nullptr, &ov); });
  }

  bool WriteFile(const void* buffer, uint32_t count, uint32_t& written) override {
    written = 0;
    std::lock_guard one(write_mu_);
    return Transfer(ev_.write, written, [&](OVERLAPPED& ov) { return ::WriteFile(handle_, buffer, count, nullptr, &ov); });
  }

  bool PurgeComm(uint32_t flags) override {
    Use use(*this);
    return use && (::PurgeComm(handle_, flags) || Failed());
  }

  bool ClearCommError(uint32_t& errors, ComStat& status) override {
    errors = 0;
    status = ComStat{};
    Use use(*this);
    if (!use) return false;
    DWORD e = 0;
    COMSTAT s{};
    if (!::ClearCommError(handle_, &e, &s)) return Failed();
    errors = e;
    // The seven hold and state bits, fCtsHold first, as one word.
    status.Flags = s.fCtsHold | s.fDsrHold << 1 | s.fRlsdHold << 2 | s.fXoffHold << 3 | s.fXoffSent << 4 |
                   s.fEof << 5 | s.fTxim << 6;
    status.cbInQue = s.cbInQue;
    status.cbOutQue = s.cbOutQue;
    return true;
  }

  bool EscapeCommFunction(uint32_t function) override {
    Use use(*this);
    return use && (::EscapeCommFunction(handle_, function) || Failed());
  }

  bool GetCommModemStatus(uint32_t& status) override {
    status = 0;
    Use use(*this);
    if (!use) return false;
    DWORD s = 0;
    if (!::GetCommModemStatus(handle_, &s)) return Failed();
    status = s;
    return true;
  }

  void Close() override {
    std::unique_lock lock(mu_);
    if (closed_) return;
    closed_ = true;
    ::SetEvent(ev_.closing);
    idle_.wait(lock, [this] { return users_ == 0; });
    ::CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
  }

 private:
  // A call's use of the handle; false (error 6) once the device is closed.
  class Use {
   public:
    explicit Use(Win32SerialDevice& d) : d_(d) {
      std::lock_guard g(d_.mu_);
      ok_ = !d_.closed_;
      if (ok_) ++d_.users_;
      else SetLastError(error::kInvalidHandle);
    }
    ~Use() {
      if (!ok_) return;
      std::lock_guard g(d_.mu_);
      if (--d_.users_ == 0) d_.idle_.notify_all();
    }
    Use(const Use&) = delete;
    Use& operator=(const Use&) = delete;
    explicit operator bool() const { return ok_; }

   private:
    Win32SerialDevice& d_;
    bool ok_ = false;
  };

  void RearmMask() {
    std::lock_guard g(mu_);
    ::SetCommMask(handle_, mask_);
  }

  bool Cancelled() {
    std::lock_guard g(mu_);
    return cancelled_;
  }

  static bool Aborted() {
    SetLastError(error::kOperationAborted);
    return false;
  }

  // Waits until the operation of `ov` has completed or one of `stops` is
  // signalled; then cancels it. False when it was stopped. Either way the
  // caller must still take its result with GetOverlappedResult(..., TRUE),
  // which returns once the system is done with `ov`.
  bool Finish(OVERLAPPED& ov, std::initializer_list<HANDLE> stops) {
    HANDLE handles[3] = {ov.hEvent};
    DWORD n = 1;
    for (HANDLE s : stops) handles[n++] = s;
    const DWORD r = ::WaitForMultipleObjects(n, handles, FALSE, INFINITE);
    if (r == WAIT_OBJECT_0) return true;
    // Cancelling an operation that has just completed fails with
    // ERROR_NOT_FOUND, which is as good.
    ::CancelIoEx(handle_, &ov);
    return false;
  }

  // One overlapped transfer with `event`, ended early only by Close.
  template <typename Start>
  bool Transfer(HANDLE event, uint32_t& done, Start start) {
    Use use(*this);
    if (!use) return false;
    OVERLAPPED ov{};
    ov.hEvent = event;
    if (!start(ov) && ::GetLastError() != ERROR_IO_PENDING) return Failed();
    Finish(ov, {ev_.closing});
    DWORD n = 0;
    const BOOL ok = ::GetOverlappedResult(handle_, &ov, &n, TRUE);
    done = n;  // what was transferred, also when the transfer failed
    return ok || Failed();
  }

  std::mutex mu_;
  std::condition_variable idle_;
  int users_ = 0;
  bool closed_ = false;
  bool cancelled_ = false;
  uint32_t mask_ = 0;  // as last set
  std::mutex wait_mu_, read_mu_, write_mu_;

  HANDLE handle_;
  Events ev_;
};

class Win32SerialOpener final : public SerialOpener {
 public:
  using SerialOpener::Open;
  DeviceHandle Open(const std::string& name, OpenRefusal& /*refusal*/) override {
    const auto path = Win32PortPath(name);
    if (!path) {
      SetLastError(kInvalidPortName);
      return nullptr;
    }
    HANDLE h = ::CreateFileA(path->c_str(), GENERIC_READ | GENERIC_WRITE, 0 /* no sharing */, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
      Failed();
      return nullptr;
    }
    Events events;
    if (events.Create()) {
      try {
        return std::make_shared<Win32SerialDevice>(h, events);
      } catch (const std::bad_alloc&) {
        SetLastError(error::kNotEnoughMemory);
      }
    }
    const uint32_t code = GetLastError();
    events.Destroy();
    ::CloseHandle(h);
    SetLastError(code);
    return nullptr;
  }
};

}  // namespace

SerialOpener& LocalSerialOpener() {
  static Win32SerialOpener opener;
  return opener;
}

}  // namespace odu::platform

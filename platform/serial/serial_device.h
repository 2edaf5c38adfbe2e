// The serial device layer: one open device and the calls the port component
// makes on it, each the counterpart of one Windows communications function.
//
// The Windows backend passes each call straight through; the POSIX backend and
// the virtual null-modem give the same results with the same error codes. A
// call that fails returns false and leaves the reason in GetLastError() of the
// calling thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/last_error.h"

namespace odu::platform {

// The error of every call on a device whose hardware has gone while it was
// open (a USB adapter pulled out), on every backend: ERROR_BAD_COMMAND, "The
// device does not recognize the command". It is what Windows' own USB serial
// drivers (usbser.sys, FTDI's) give for calls on such a handle in the common
// case, and so what the Windows backend passes through; some drivers give
// ERROR_GEN_FAILURE (31) instead, but that code also stands for any failure
// without a closer counterpart, so it cannot tell the user what happened. The
// POSIX backend reports a terminal that hung up with this code, the virtual
// null-modem a vanished end, and the port component's message for it says
// that the port has gone.
inline constexpr uint32_t kDeviceGoneError = error::kBadCommand;

// The open of a port whose lock file names another live process (the lock
// files that terminal programs such as minicom take, /var/lock/LCK..ttyUSB0):
// ERROR_SHARING_VIOLATION, "being used by another process". The open's
// OpenRefusal names the process and the file.
inline constexpr uint32_t kPortHeldError = error::kSharingViolation;

// A name that is no serial device: a regular file, a directory, a character
// device that is no terminal (/dev/null). ERROR_INVALID_FUNCTION, what the
// Windows comm calls give on a handle whose driver has no serial requests.
// The open itself fails for a directory; a file or another device opens, as
// on Windows, and IsCharacterDevice refuses it with this code.
// The open's OpenRefusal says what the name is.
inline constexpr uint32_t kNotSerialDeviceError = error::kInvalidFunction;

// A device node with no hardware behind it (a serial port of the system's
// table whose UART is not fitted): ERROR_NOT_READY.
inline constexpr uint32_t kNoHardwareError = error::kNotReady;

// What an open found beyond its error code, for the message that explains a
// refusal: the holder of a port (kPortHeldError), what a name is instead of a
// serial device (kNotSerialDeviceError). The opener fills it in for the open
// it makes; a name that opens but is no serial device (IsCharacterDevice
// refuses it) is described too.
struct OpenRefusal {
  enum class Kind : uint8_t { kUnknown, kCharacterDevice, kRegularFile, kDirectory, kBlockDevice, kFifo, kSocket };

  std::string lock_file{};
  int64_t holder_pid = 0;   // 0: the lock file names no process that can be read
  std::string holder_name{};  // its command name; empty where it cannot be read
  Kind kind = Kind::kUnknown;
};

// Line events (SetCommMask / WaitCommEvent bits).
inline constexpr uint32_t EV_RXCHAR = 0x0001;
inline constexpr uint32_t EV_RXFLAG = 0x0002;
inline constexpr uint32_t EV_TXEMPTY = 0x0004;
inline constexpr uint32_t EV_CTS = 0x0008;
inline constexpr uint32_t EV_DSR = 0x0010;
inline constexpr uint32_t EV_RLSD = 0x0020;
inline constexpr uint32_t EV_BREAK = 0x0040;
inline constexpr uint32_t EV_ERR = 0x0080;
inline constexpr uint32_t EV_RING = 0x0100;

// PurgeComm flags.
inline constexpr uint32_t PURGE_TXABORT = 0x0001;
inline constexpr uint32_t PURGE_RXABORT = 0x0002;
inline constexpr uint32_t PURGE_TXCLEAR = 0x0004;
inline constexpr uint32_t PURGE_RXCLEAR = 0x0008;

// EscapeCommFunction codes.
inline constexpr uint32_t SETXOFF = 1;
inline constexpr uint32_t SETXON = 2;
inline constexpr uint32_t SETRTS = 3;
inline constexpr uint32_t CLRRTS = 4;
inline constexpr uint32_t SETDTR = 5;
inline constexpr uint32_t CLRDTR = 6;
inline constexpr uint32_t SETBREAK = 8;
inline constexpr uint32_t CLRBREAK = 9;

// GetCommModemStatus bits.
inline constexpr uint32_t MS_CTS_ON = 0x0010;
inline constexpr uint32_t MS_DSR_ON = 0x0020;
inline constexpr uint32_t MS_RING_ON = 0x0040;
inline constexpr uint32_t MS_RLSD_ON = 0x0080;

// ClearCommError error word bits.
inline constexpr uint32_t CE_RXOVER = 0x0001;
inline constexpr uint32_t CE_OVERRUN = 0x0002;
inline constexpr uint32_t CE_RXPARITY = 0x0004;
inline constexpr uint32_t CE_FRAME = 0x0008;
inline constexpr uint32_t CE_BREAK = 0x0010;

// Parity codes of the line state.
inline constexpr uint8_t NOPARITY = 0;
inline constexpr uint8_t ODDPARITY = 1;
inline constexpr uint8_t EVENPARITY = 2;
inline constexpr uint8_t MARKPARITY = 3;
inline constexpr uint8_t SPACEPARITY = 4;

// Stop-bit codes of the line state.
inline constexpr uint8_t ONESTOPBIT = 0;
inline constexpr uint8_t ONE5STOPBITS = 1;
inline constexpr uint8_t TWOSTOPBITS = 2;

// The line state (the device control block).
struct Dcb {
  uint32_t BaudRate = 0;
  bool fBinary = true;
  bool fParity = false;
  bool fOutxCtsFlow = false;
  bool fOutxDsrFlow = false;
  uint8_t fDtrControl = 0;
  bool fDsrSensitivity = false;
  bool fTXContinueOnXoff = false;
  bool fOutX = false;
  bool fInX = false;
  bool fErrorChar = false;
  bool fNull = false;
  uint8_t fRtsControl = 0;
  bool fAbortOnError = false;
  uint16_t XonLim = 0;
  uint16_t XoffLim = 0;
  uint8_t ByteSize = 8;
  uint8_t Parity = NOPARITY;
  uint8_t StopBits = ONESTOPBIT;
  uint8_t XonChar = 0;
  uint8_t XoffChar = 0;
  uint8_t ErrorChar = 0;
  uint8_t EofChar = 0;
  uint8_t EvtChar = 0;

  bool operator==(const Dcb&) const = default;
};

struct CommTimeouts {
  uint32_t ReadIntervalTimeout = 0;
  uint32_t ReadTotalTimeoutMultiplier = 0;
  uint32_t ReadTotalTimeoutConstant = 0;
  uint32_t WriteTotalTimeoutMultiplier = 0;
  uint32_t WriteTotalTimeoutConstant = 0;

  bool operator==(const CommTimeouts&) const = default;
};

// Queue status as ClearCommError reports it.
struct ComStat {
  uint32_t Flags = 0;
  uint32_t cbInQue = 0;
  uint32_t cbOutQue = 0;
};

// One open device. Calls may come from two threads: the port's owner (all of
// them) and its event thread (WaitCommEvent, and CancelWait from the owner).
class SerialDevice {
 public:
  virtual ~SerialDevice() = default;

  // GetFileType() == FILE_TYPE_CHAR. The POSIX backend refuses what is no
  // terminal with kNotSerialDeviceError.
  virtual bool IsCharacterDevice() = 0;
  virtual bool SetupComm(uint32_t in_queue, uint32_t out_queue) = 0;
  virtual bool GetCommState(Dcb& dcb) = 0;
  virtual bool SetCommState(const Dcb& dcb) = 0;
  virtual bool SetCommTimeouts(const CommTimeouts& timeouts) = 0;
  virtual bool SetCommMask(uint32_t mask) = 0;

  // Blocks until one of the masked events has occurred since the previous
  // wait returned (its bits in `events`), until CancelWait, or until the
  // device fails. Returns false on failure (error 995 when cancelled).
  virtual bool WaitCommEvent(uint32_t& events) = 0;
  // Ends the pending wait and every later one with error 995. Any thread.
  virtual void CancelWait() = 0;

  // Both transfers complete before they return: a read ends when `count`
  // bytes have arrived or its total timeout has passed (at once with what is
  // waiting when the total timeout is 0); a write ends when all bytes have
  // left or its total timeout has passed. The count transferred is set even
  // when the call fails.
  virtual bool ReadFile(void* buffer, uint32_t count, uint32_t& read) = 0;
  virtual bool WriteFile(const void* buffer, uint32_t count, uint32_t& written) = 0;

  virtual bool PurgeComm(uint32_t flags) = 0;
  virtual bool ClearCommError(uint32_t& errors, ComStat& status) = 0;
  virtual bool EscapeCommFunction(uint32_t function) = 0;
  virtual bool GetCommModemStatus(uint32_t& status) = 0;

  // Whether the device has modem-control lines. A pseudo-terminal and the
  // driver of a three-wire adapter have none: EscapeCommFunction for DTR and
  // RTS fails there with error 50 and GetCommModemStatus fails or never shows
  // a carrier. Fixed at open; no last error. Devices that do not know say yes.
  virtual bool HasModemLines() { return true; }

  // CloseHandle. Afterwards every call fails with error 6 (invalid handle).
  virtual void Close() = 0;
};

// A handle to an open device. The port and its event thread each hold one, so
// the event thread can never touch a destroyed object, only a closed one.
using DeviceHandle = std::shared_ptr<SerialDevice>;

// Opens devices by name (CreateFileA with read/write access, no sharing,
// open-existing, overlapped).
class SerialOpener {
 public:
  virtual ~SerialOpener() = default;
  // An empty handle on failure, with the reason in GetLastError(). `refusal`
  // starts empty and gets what the backend found beyond the code.
  virtual DeviceHandle Open(const std::string& name, OpenRefusal& refusal) = 0;
  // The same, for callers that need no more than the code.
  DeviceHandle Open(const std::string& name) {
    OpenRefusal refusal;
    return Open(name, refusal);
  }
};

// The opener of the platform this program was built for: names of the
// network schemes (rfc2217://, socket://) lead to the network backend,
// every other name to the local devices.
SerialOpener& SystemSerialOpener();
// The local devices only (a tty or a COM port).
SerialOpener& LocalSerialOpener();

}  // namespace odu::platform

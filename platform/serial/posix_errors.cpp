#include "platform/serial/posix_errors.h"

#include "platform/last_error.h"
#include "platform/serial/serial_device.h"

namespace odu::platform {

namespace {
// ERROR_TOO_MANY_OPEN_FILES, which only this mapping needs.
constexpr uint32_t kTooManyOpenFiles = 4;
}  // namespace

uint32_t ErrorFromErrno(int err) {
  switch (err) {
    case 0: return error::kSuccess;
    // Nothing by that name, or a device node whose hardware is gone.
    case ENOENT:
    case ENODEV:
    case ENXIO: return error::kFileNotFound;
    case ENOTDIR:
    case ENAMETOOLONG:
    case ELOOP: return error::kPathNotFound;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR: return error::kAccessDenied;
    // A port in use (TIOCEXCL, or the lock another program holds): Windows
    // reports an unshared port that is open elsewhere as access denied. Read
    // and write handle EAGAIN themselves, so it only escapes from the lock.
    case EBUSY:
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
      return error::kAccessDenied;
    case EBADF: return error::kInvalidHandle;
    case ENOMEM:
    case ENOBUFS: return error::kNotEnoughMemory;
    case EMFILE:
    case ENFILE: return kTooManyOpenFiles;
    // A request the driver does not know: a modem-line ioctl on a
    // pseudo-terminal, a tty call on a plain file.
    case ENOTTY:
    case ENOSYS:
    case EOPNOTSUPP:
#if ENOTSUP != EOPNOTSUPP
    case ENOTSUP:
#endif
      return error::kNotSupported;
    case EINVAL:
    case EFAULT:
    case ERANGE: return error::kInvalidParameter;
    case ETIMEDOUT: return error::kSemTimeout;
    case EINTR:
    case ECANCELED: return error::kOperationAborted;
    // An I/O error is what a USB adapter gives once it has been unplugged.
    case EIO: return kDeviceGoneError;
    default: return error::kGenFailure;
  }
}

uint32_t DeviceErrorFromErrno(int err) {
  switch (err) {
    // A USB adapter that is pulled out: its driver fails the calls still in
    // flight with these, and its terminal is hung up (EIO) after them.
    case EIO:
    case ENODEV:
    case ENXIO:
    case ESHUTDOWN: return kDeviceGoneError;
    default: return ErrorFromErrno(err);
  }
}

uint32_t OpenErrorFromErrno(int err) {
  switch (err) {
    case EISDIR:
    case ENOTTY: return kNotSerialDeviceError;
    // A character device whose driver has nothing at that minor (ENXIO), or
    // a port that cannot start its hardware (EIO).
    case ENXIO:
    case EIO: return kNoHardwareError;
    // USB serial drivers (usb-serial, cdc-acm) once the adapter of a node
    // that is still there has been unplugged.
    case ENODEV: return kDeviceGoneError;
    default: return ErrorFromErrno(err);
  }
}

bool FailWithErrno(int err) {
  SetLastError(ErrorFromErrno(err));
  return false;
}

bool FailWithDeviceErrno(int err) {
  SetLastError(DeviceErrorFromErrno(err));
  return false;
}

}  // namespace odu::platform

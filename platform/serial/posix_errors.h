// errno values of the POSIX backends as the Windows error codes that the
// device layers report (last_error.h), so that a message names the same code
// on every platform: a port that another program holds is "(Error: 5)" here
// as on Windows.
#pragma once

#include <cerrno>
#include <cstdint>

namespace odu::platform {

// The Windows error code for `err`; 0 for 0, a general failure (31) for a
// value with no closer counterpart, kDeviceGoneError for an I/O error.
uint32_t ErrorFromErrno(int err);

// The same for a call on a device that is open, where "no such device" and
// an I/O error mean its hardware has gone (kDeviceGoneError).
uint32_t DeviceErrorFromErrno(int err);

// The same for the open of a port by name, where the errno values of a name
// that is no serial device (EISDIR, ENOTTY: kNotSerialDeviceError) and of a
// node without its hardware have codes of their own: ENXIO and EIO, a node
// that no hardware answers (kNoHardwareError); ENODEV, a node whose adapter
// has gone (kDeviceGoneError).
uint32_t OpenErrorFromErrno(int err);

// Records ErrorFromErrno(err) as the calling thread's last error and returns
// false, for `return FailWithErrno();` after a failed system call.
bool FailWithErrno(int err = errno);
// Records DeviceErrorFromErrno(err), for calls on a device that is open.
bool FailWithDeviceErrno(int err = errno);

}  // namespace odu::platform

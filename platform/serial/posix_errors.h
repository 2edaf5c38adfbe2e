// errno values of the POSIX backends as the Windows error codes that the
// device layers report (last_error.h), so that a message names the same code
// on every platform: a port that another program holds is "(Error: 5)" here
// as on Windows.
#pragma once

#include <cerrno>
#include <cstdint>

namespace odu::platform {

// The Windows error code for `err`; 0 for 0, a general failure (31) for a
// value with no closer counterpart.
uint32_t ErrorFromErrno(int err);

// Records ErrorFromErrno(err) as the calling thread's last error and returns
// false, for `return FailWithErrno();` after a failed system call.
bool FailWithErrno(int err = errno);

}  // namespace odu::platform

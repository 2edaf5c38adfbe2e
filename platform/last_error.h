// The calling thread's last error code, as the device and registry layers leave it.
//
// Every layer call that fails returns false (or an empty handle) and records why
// here, with the numeric codes of the Windows API, so that the messages the user
// sees carry the same code on every platform ("(Error: 5)" is access denied
// everywhere).
#pragma once

#include <cstdint>

namespace odu::platform {

namespace error {
inline constexpr uint32_t kSuccess = 0;
inline constexpr uint32_t kInvalidFunction = 1;
inline constexpr uint32_t kFileNotFound = 2;
inline constexpr uint32_t kPathNotFound = 3;
inline constexpr uint32_t kAccessDenied = 5;
inline constexpr uint32_t kInvalidHandle = 6;
inline constexpr uint32_t kNotEnoughMemory = 8;
inline constexpr uint32_t kNotReady = 21;
inline constexpr uint32_t kBadCommand = 22;
inline constexpr uint32_t kGenFailure = 31;
inline constexpr uint32_t kSharingViolation = 32;
inline constexpr uint32_t kNotSupported = 50;
inline constexpr uint32_t kInvalidParameter = 87;
inline constexpr uint32_t kSemTimeout = 121;
inline constexpr uint32_t kMoreData = 234;
inline constexpr uint32_t kNoMoreItems = 259;
inline constexpr uint32_t kOperationAborted = 995;
inline constexpr uint32_t kIoIncomplete = 996;
inline constexpr uint32_t kIoPending = 997;
inline constexpr uint32_t kDeviceNotConnected = 1167;
// Those of a port reached over the network.
inline constexpr uint32_t kBadNetPath = 53;           // no such host
inline constexpr uint32_t kInvalidName = 123;         // a name that is no HOST:PORT
inline constexpr uint32_t kConnectionRefused = 1225;  // nothing listens there
inline constexpr uint32_t kNetworkUnreachable = 1231;
inline constexpr uint32_t kHostUnreachable = 1232;
}  // namespace error

uint32_t GetLastError();
void SetLastError(uint32_t code);

}  // namespace odu::platform

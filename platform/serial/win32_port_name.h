// The name CreateFileA is given for a port the user names. Portable (no
// windows.h), so that its table test runs on every build.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace odu::platform {

// What Windows answers for a name it cannot take (ERROR_INVALID_NAME).
inline constexpr uint32_t kInvalidPortName = 123;

// CreateFileA finds only COM1 to COM9 by their bare names; COM10 and above
// exist only in the device namespace, as \\.\COM10. So a bare "COM" (any
// case) followed by two or more digits and nothing else is given that
// prefix; every other name (COM1..COM9, a \\.\ path, a file, anything)
// goes to CreateFileA exactly as the user wrote it, for Windows to judge.
// No value for a name with a NUL inside, which CreateFileA would cut short
// and so open some other device.
std::optional<std::string> Win32PortPath(std::string_view name);

}  // namespace odu::platform

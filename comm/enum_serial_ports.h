// The machine's serial ports, as names the port component can open.
//
// On Windows the names (COM1, ...) are read from the registry, in the layout
// of the running system's family: the Windows 9x device list, the NT 4
// SERIALCOMM map, or the device tree of NT 5 and later followed by the
// SERIALCOMM ports the tree did not yield. Elsewhere they come
// from sysfs (sysfs_ports.h). Either way the caller's list is only appended
// to, in discovery order, duplicates kept; nothing is reported on failure,
// which only means fewer names.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/registry/registry.h"

namespace odu {

inline constexpr size_t kSubKeyNameBufferSize = 1024;
// The NT device tree, below HKEY_LOCAL_MACHINE.
inline constexpr const char* kDeviceTree = "SYSTEM\\CurrentControlSet\\Enum";
inline constexpr size_t kValueDataBufferSize = 1024;
// Registry request limits: a value name must be shorter than kValueNameLimit
// characters, its data at most kValueDataLimit bytes, or the value is passed by.
inline constexpr uint32_t kValueNameLimit = 512;
inline constexpr uint32_t kValueDataLimit = 512;

using ValueDataBuffer = std::array<char, kValueDataBufferSize>;

// Appends this machine's serial port names to `list`.
void EnumSerialPorts(std::vector<std::string>& list);

// Appends the serial port names recorded in `reg` to `list`, choosing the
// layout by the version query (platform id 1: 9x; 2 with major version <= 4:
// SERIALCOMM; 2 with major >= 5: device tree, then the SERIALCOMM ports the
// tree did not yield; anything else: nothing). Every key it opens is closed
// before it returns.
void EnumSerialPorts(platform::Registry& reg, std::vector<std::string>& list);

// Opens `path` below `root` for reading and reads its sub-key and value
// counts. Both counts are 0 unless the open and the query succeed. `key` is
// the open key, which the caller closes, or 0 when the open failed. The value
// count is a 16-bit count: a key with more values gives 65,535. Returns the
// result of the open, or of the query when the open succeeded.
platform::RegResult OpenKeyInfo(platform::Registry& reg, platform::RegKey root, const std::string& path,
                                platform::RegKey& key, uint32_t& subkeys, uint16_t& values);

// Looks among the first `value_count` values of `key` for one named `name`,
// compared after upper-casing both in the current C locale. On a match `data`
// holds the value's bytes followed by zeros, so that it reads as a
// zero-terminated text ending at the first zero or at the end of the value's
// data. Otherwise returns false and `data` is all zero. Values whose name or
// data exceed the limits above, or that can't be read, never match. On a
// match `type` and `size`, where given, get the value's type and the number
// of bytes it holds.
bool ReadNamedValue(platform::Registry& reg, platform::RegKey key, uint16_t value_count, const std::string& name,
                    ValueDataBuffer& data, uint32_t* type = nullptr, uint32_t* size = nullptr);

// Upper-cases with the C library's current locale, as the system compares
// value names and service names.
std::string UpperCase(std::string text);

}  // namespace odu

// Windows' rules for how long one read or write of `count` bytes may take
// under a device's timeouts, for the backends that must keep them
// themselves (POSIX, network).
#pragma once

#include <cstdint>
#include <optional>

#include "platform/serial/serial_device.h"

namespace odu::platform {

inline constexpr uint32_t kMaxDword = 0xFFFFFFFF;

struct ReadTimeouts {
  // Interval MAXDWORD with both totals 0: return what is waiting.
  bool immediate = false;
  // Interval and multiplier MAXDWORD with a constant: return with the first
  // bytes, or after the constant.
  bool first_bytes = false;
  // The total (constant + multiplier * count, or the constant alone for
  // first_bytes); none when both are 0.
  std::optional<uint64_t> total_ms;
  // The silence after a byte that ends the read; none for 0 and MAXDWORD.
  std::optional<uint32_t> interval_ms;
};

inline ReadTimeouts ReadTimeoutsFor(const CommTimeouts& t, uint32_t count) {
  ReadTimeouts r;
  r.immediate = t.ReadIntervalTimeout == kMaxDword && t.ReadTotalTimeoutConstant == 0 &&
                t.ReadTotalTimeoutMultiplier == 0;
  r.first_bytes = t.ReadIntervalTimeout == kMaxDword && t.ReadTotalTimeoutMultiplier == kMaxDword &&
                  t.ReadTotalTimeoutConstant != 0 && t.ReadTotalTimeoutConstant != kMaxDword;
  if (t.ReadTotalTimeoutConstant != 0 || t.ReadTotalTimeoutMultiplier != 0) {
    r.total_ms = r.first_bytes ? t.ReadTotalTimeoutConstant
                               : uint64_t{t.ReadTotalTimeoutConstant} + uint64_t{t.ReadTotalTimeoutMultiplier} * count;
  }
  if (t.ReadIntervalTimeout != 0 && t.ReadIntervalTimeout != kMaxDword) r.interval_ms = t.ReadIntervalTimeout;
  return r;
}

// The total of a write (constant + multiplier * count); none when it is 0.
inline std::optional<uint64_t> WriteTotalFor(const CommTimeouts& t, uint32_t count) {
  const uint64_t total = uint64_t{t.WriteTotalTimeoutConstant} + uint64_t{t.WriteTotalTimeoutMultiplier} * count;
  if (total == 0) return std::nullopt;
  return total;
}

}  // namespace odu::platform

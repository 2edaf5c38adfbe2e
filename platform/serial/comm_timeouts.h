// Windows' rules for how long one read or write of `count` bytes may take
// under a device's timeouts, for the backends that must keep them
// themselves (POSIX, network).
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>

#include "platform/clock.h"
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

// `ms` after `start`; a span beyond any real wait (a multiplier of MAXDWORD
// times the count) is no limit at all (kForever).
inline Nanos DeadlineAfter(Nanos start, uint64_t ms) {
  constexpr uint64_t kLongest = uint64_t{1} << 40;  // ~35 years
  return ms >= kLongest ? kForever : start + Millis(static_cast<int64_t>(ms));
}

// How long a read that began at `start` still waits for bytes at `now`, with
// `read` bytes so far, the last of them at `last_byte`: up to its total and,
// once a byte has come, up to the interval after the last byte (kForever:
// without limit). None when the read ends now: an immediate read, a
// first-bytes read with bytes, a read whose time has come.
inline std::optional<Nanos> ReadWaitLeft(const ReadTimeouts& rule, Nanos start, Nanos now, uint32_t read,
                                         Nanos last_byte) {
  if (rule.immediate || (rule.first_bytes && read > 0)) return std::nullopt;
  Nanos until = rule.total_ms ? DeadlineAfter(start, *rule.total_ms) : kForever;
  if (read > 0 && rule.interval_ms) until = std::min(until, last_byte + Millis(*rule.interval_ms));
  if (until == kForever) return kForever;
  if (now >= until) return std::nullopt;
  return until - now;
}

// The total of a write (constant + multiplier * count); none when it is 0.
inline std::optional<uint64_t> WriteTotalFor(const CommTimeouts& t, uint32_t count) {
  const uint64_t total = uint64_t{t.WriteTotalTimeoutConstant} + uint64_t{t.WriteTotalTimeoutMultiplier} * count;
  if (total == 0) return std::nullopt;
  return total;
}

}  // namespace odu::platform

// Puts the station's replies on the line: one byte after another at the
// line rate, each handed to the far end once all of its bits would have
// arrived (10 bit times a byte at 8N1). Replies that overlap in time are
// sent one after the other, in the order of their times.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

#include "sim/station.h"

namespace odu::sim {

// The time a byte takes on the line at `baud` with start, 8 data and stop
// bit; 0 for an unpaced line (baud 0).
Nanos ByteTime(uint32_t baud);

class LinePacer {
 public:
  explicit LinePacer(uint32_t baud) : byte_time_(ByteTime(baud)) {}

  Nanos byte_time() const { return byte_time_; }
  // A new line rate, for the bytes not yet on the line.
  void SetBaud(uint32_t baud) { byte_time_ = ByteTime(baud); }
  void Add(std::vector<Output> outputs);
  bool Empty() const { return queue_.empty(); }
  void Clear() {
    queue_.clear();
    sent_ = 0;
  }
  // When the next byte will have arrived, if there is one.
  std::optional<Nanos> NextDue() const;

  struct Chunk {
    std::vector<uint8_t> bytes;
    // When the last byte of an acknowledgement among `bytes` arrived.
    std::optional<Nanos> ack_end;
  };
  // The bytes that have arrived by `now`, in line order.
  Chunk TakeDue(Nanos now);

 private:
  Nanos byte_time_;
  std::deque<Output> queue_;  // by time; the front one may be partly sent
  size_t sent_ = 0;           // bytes of the front one already taken
  Nanos line_free_{Nanos::min()};
};

}  // namespace odu::sim

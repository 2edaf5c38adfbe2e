#include "sim/line_pacer.h"

#include <algorithm>
#include <iterator>

namespace odu::sim {

Nanos ByteTime(uint32_t baud) { return baud == 0 ? Nanos(0) : Nanos(10'000'000'000LL / baud); }

void LinePacer::Add(std::vector<Output> outputs) {
  for (auto& o : outputs) {
    if (o.bytes.empty()) continue;
    // A reply already on its way is not interrupted.
    const auto first = queue_.begin() + (sent_ > 0 ? 1 : 0);
    const auto at = std::upper_bound(first, queue_.end(), o.at, [](Nanos t, const Output& q) { return t < q.at; });
    queue_.insert(at, std::move(o));
  }
}

std::optional<Nanos> LinePacer::NextDue() const {
  if (queue_.empty()) return std::nullopt;
  return std::max(line_free_, queue_.front().at) + byte_time_;
}

LinePacer::Chunk LinePacer::TakeDue(Nanos now) {
  Chunk chunk;
  for (auto due = NextDue(); due && *due <= now; due = NextDue()) {
    Output& front = queue_.front();
    chunk.bytes.push_back(front.bytes[sent_++]);
    line_free_ = *due;
    if (sent_ == front.bytes.size()) {
      if (front.ends_ack) chunk.ack_end = *due;
      queue_.pop_front();
      sent_ = 0;
    }
  }
  return chunk;
}

}  // namespace odu::sim

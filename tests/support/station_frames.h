// Station frames as a test writes them, worked out here on their own rather
// than by the code under test: 0x5A, the total length, the body, and the
// checksum (high byte first) that brings the sum of all bytes to 0 modulo
// 65,536.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

namespace odu::testing {

// `frame` with its last two bytes set to the checksum of the bytes before them.
inline std::vector<uint8_t> Sealed(std::vector<uint8_t> frame) {
  uint32_t sum = 0;
  for (size_t i = 0; i + 2 < frame.size(); ++i) sum += frame[i];
  const uint16_t check = static_cast<uint16_t>(0x10000 - (sum & 0xFFFF));
  frame[frame.size() - 2] = static_cast<uint8_t>(check >> 8);
  frame[frame.size() - 1] = static_cast<uint8_t>(check & 0xFF);
  return frame;
}

// 0x5A, the total length, `body`, and the checksum.
inline std::vector<uint8_t> StationFrame(const std::vector<uint8_t>& body) {
  std::vector<uint8_t> frame{0x5A, static_cast<uint8_t>(body.size() + 4)};
  frame.insert(frame.end(), body.begin(), body.end());
  frame.resize(frame.size() + 2);
  return Sealed(std::move(frame));
}

}  // namespace odu::testing

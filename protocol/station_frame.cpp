#include "protocol/station_frame.h"

#include <cstring>

namespace odu {

uint16_t FrameChecksum(const uint8_t* bytes, size_t n) {
  uint32_t sum = 0;
  for (size_t i = 0; i < n; ++i) sum += bytes[i];
  return static_cast<uint16_t>(0x10000u - (sum & 0xFFFFu));
}

size_t BuildFrame(uint8_t command, const uint8_t* payload, size_t n, uint8_t* out) {
  if (n > 121) return 0;
  out[0] = kFrameStart;
  out[1] = static_cast<uint8_t>(n + 6);
  out[2] = 0x00;
  out[3] = command;
  if (n) std::memcpy(out + 4, payload, n);
  const uint16_t sum = FrameChecksum(out, n + 4);
  out[n + 4] = static_cast<uint8_t>(sum >> 8);
  out[n + 5] = static_cast<uint8_t>(sum & 0xFF);
  return n + 6;
}

bool FrameChecksumHolds(const uint8_t* frame) {
  const unsigned length = frame[1];
  uint32_t total = 0;
  for (unsigned i = 0; i + 2 < length; ++i) total += frame[i];
  total += 256u * frame[length - 2] + frame[length - 1];
  return (total & 0xFFFFu) == 0;
}

bool CheckStationReply(const uint8_t (&reply)[10], int count, std::string& verdict) {
  if (reply[0] != kFrameStart) return false;
  const int length = reply[1];
  if (length < 2 || length > 10 || count < length) return false;
  if (!FrameChecksumHolds(reply)) return false;
  verdict = "OK";
  if ((length == 7 || length == 8) && reply[4] == kAnswerStatus) {
    verdict = "Station upgrade not supported.";
    if (reply[5] == 12) verdict = "OK";
  }
  return true;
}

}  // namespace odu

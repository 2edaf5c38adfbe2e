// Fuzz target: the handshake's judgement of the station's reply.
//
// Input: byte 0 is the count the read reported (as a signed byte, so -1 of a
// closed port and counts above 10 occur too), the next ten bytes are the
// reply buffer (zeros where the input is shorter), and whatever follows is a
// payload that is framed and must then be accepted as a frame.
//
// The verdict is compared with a model written from the frame's definition:
// a start byte, a length L from 2 to 10 within the bytes read, and a 16-bit
// checksum (high byte first) in the last two of the L bytes bringing the sum
// of the bytes before it to 0 modulo 65,536.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "protocol/station_frame.h"
#include "tests/support/fuzz_require.h"

namespace {

constexpr const char* kUntouched = "(untouched)";

void Require(bool condition, const char* what) { odu::testing::RequireOf("station reply", condition, what); }

bool ModelAccepts(const uint8_t* reply, int count) {
  if (reply[0] != 0x5A) return false;
  const int length = reply[1];
  if (length < 2 || length > 10 || count < length) return false;
  uint32_t sum = 0;
  for (int i = 0; i < length - 2; ++i) sum += reply[i];
  const uint32_t checksum = 256u * reply[length - 2] + reply[length - 1];
  return ((sum + checksum) & 0xFFFFu) == 0;
}

std::string ModelVerdict(const uint8_t* reply) {
  const int length = reply[1];
  if ((length == 7 || length == 8) && reply[4] == 0xA2 && reply[5] != 12) return "Station upgrade not supported.";
  return "OK";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const int count = size > 0 ? static_cast<int8_t>(data[0]) : 0;

  // Exactly ten bytes on the heap: a read past the buffer is caught.
  auto buffer = std::make_unique<uint8_t[]>(10);
  const size_t copied = size > 1 ? std::min<size_t>(size - 1, 10) : 0;
  if (copied > 0) std::memcpy(buffer.get(), data + 1, copied);
  const auto& reply = *reinterpret_cast<const uint8_t(*)[10]>(buffer.get());

  std::string verdict = kUntouched;
  const bool accepted = odu::CheckStationReply(reply, count, verdict);
  Require(accepted == ModelAccepts(buffer.get(), count), "acceptance differs from the frame definition");
  if (accepted) {
    Require(verdict == ModelVerdict(buffer.get()), "verdict differs from the frame definition");
  } else {
    Require(verdict == kUntouched, "a refused reply changed the verdict");
  }

  // The rest of the input as a payload: a frame built from it carries a
  // consistent checksum, and one short enough for the handshake's read is a
  // valid reply.
  const size_t rest = size > 11 ? size - 11 : 0;
  uint8_t frame[256];
  const size_t length = odu::BuildFrame(odu::kCommandInit, rest ? data + 11 : nullptr, rest, frame);
  Require((length == 0) == (rest > 121), "a payload within the frame's limit was refused, or one beyond it built");
  if (length != 0) {
    Require(length == rest + 6 && frame[0] == 0x5A && frame[1] == length, "frame header");
    Require(odu::FrameChecksumHolds(frame), "a built frame fails its own checksum");
    if (length <= 10) {
      auto exact = std::make_unique<uint8_t[]>(10);
      std::memcpy(exact.get(), frame, length);
      std::string built_verdict;
      Require(odu::CheckStationReply(*reinterpret_cast<const uint8_t(*)[10]>(exact.get()), static_cast<int>(length),
                                     built_verdict),
              "a built frame is no valid reply");
    }
  }
  return 0;
}

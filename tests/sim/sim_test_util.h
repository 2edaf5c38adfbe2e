// Frames and records as the tool builds them, for the simulator's tests.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "protocol/station_frame.h"
#include "sim/station.h"
#include "tests/support/hex_record.h"
#include "tests/support/station_frames.h"

namespace odu::sim::testing {

using Bytes = std::vector<uint8_t>;

inline Bytes Frame(uint8_t command, const std::string& payload) {
  Bytes f(payload.size() + 6);
  f.resize(BuildFrame(command, reinterpret_cast<const uint8_t*>(payload.data()), payload.size(), f.data()));
  return f;
}
inline Bytes RecordFrame(const std::string& record) { return Frame(kCommandRecord, record); }
inline Bytes InitFrame() { return Bytes(std::begin(kInitFrame), std::end(kInitFrame)); }

// A station reply: 0x5A, length, 0x00, 0x00, `body`, checksum.
inline Bytes Reply(const Bytes& body) {
  Bytes frame_body{0x00, 0x00};
  frame_body.insert(frame_body.end(), body.begin(), body.end());
  return odu::testing::StationFrame(frame_body);
}
inline const Bytes kAck = Reply({0xE5});
inline Bytes Status(uint8_t value) { return Reply({0xA2, value}); }

inline const std::string kErase = ":0100000307F5";
inline const std::string kClose1 = ":03000003060000F4";
inline const std::string kClose2 = ":020000030501F5";
inline const std::string kClose3 = ":00000008F8";

// A data record for `data` at `address`, with its Intel HEX checksum.
inline std::string DataRecord(uint16_t address, const Bytes& data) {
  return odu::testing::HexRecord(address, std::vector<unsigned>(data.begin(), data.end()));
}

inline Bytes Joined(const std::vector<Output>& outputs) {
  Bytes all;
  for (const auto& o : outputs) all.insert(all.end(), o.bytes.begin(), o.bytes.end());
  return all;
}

}  // namespace odu::sim::testing

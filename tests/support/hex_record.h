// Intel HEX record lines as a test writes them, worked out here on their
// own rather than by the code under test: a colon, the byte count, the
// address, the type, the data and the checksum, in uppercase hexadecimal.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace odu::testing {

// The record of `data` at `address`, of record type `type`, with a correct
// checksum.
inline std::string HexRecord(unsigned address, const std::vector<unsigned>& data, unsigned type = 0) {
  std::vector<unsigned> bytes = {static_cast<unsigned>(data.size()), address >> 8 & 0xFF, address & 0xFF, type};
  bytes.insert(bytes.end(), data.begin(), data.end());
  unsigned sum = 0;
  std::string out = ":";
  char hex[4];
  for (unsigned b : bytes) {
    std::snprintf(hex, sizeof hex, "%02X", b & 0xFF);
    out += hex;
    sum += b;
  }
  std::snprintf(hex, sizeof hex, "%02X", (0x100 - (sum & 0xFF)) & 0xFF);
  return out + hex;
}

}  // namespace odu::testing

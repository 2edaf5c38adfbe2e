// The outdoor unit's bootloader as the tool drives it: the fixed command
// records, the data records' block size, the reply timeouts and how late a
// reply may still be told apart. The commands travel as Intel HEX text in station frames
// with command 0xF5 (protocol/station_frame.h).
#pragma once

#include <cstddef>
#include <cstdint>

namespace odu {

// The erase (type 03, data 07), and the three closing commands in the order
// they are sent: type 03 with 06 00 00, type 03 with 05 01, the end (type 08).
inline constexpr const char* kEraseRecord = ":0100000307F5";
inline constexpr const char* kClosingRecords[3] = {":03000003060000F4", ":020000030501F5", ":00000008F8"};

// Each data record carries one block of the image; a block whose bytes are
// all 0xFF is blank and is not sent.
inline constexpr size_t kBlockBytes = 16;
inline bool IsBlankBlock(const uint8_t* block) {
  for (size_t i = 0; i < kBlockBytes; ++i)
    if (block[i] != 0xFF) return false;
  return true;
}
// ":10", four address digits, "00", the data digits and the checksum.
inline constexpr size_t kDataRecordChars = 11 + 2 * kBlockBytes;

// How long the tool waits for a command's reply: the erase takes long.
inline constexpr uint32_t kEraseTimeoutMs = 10000;
inline constexpr uint32_t kReplyTimeoutMs = 1000;

// How late past its command's timeout a reply may come and still be told
// apart from the next command's: after a re-send the tool waits this long
// (or the command's own timeout, if longer) for the replies still owed.
inline constexpr uint32_t kLateReplyMs = 3000;

}  // namespace odu

// Intel HEX records and the whole-file check of an image given on the command
// line. The check runs before any port is opened, so a bad file costs nothing
// but a message naming its line and what is wrong with it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace odu {

struct HexRecord {
  uint8_t count = 0;
  uint16_t address = 0;
  uint8_t type = 0;
  std::vector<uint8_t> data;  // `count` bytes
  uint8_t checksum = 0;
};

// Parses one record line without its terminator: a colon, then hex digit
// pairs (either case) whose length matches the byte count, and a checksum
// that makes the bytes sum to 0 modulo 256. Any record type is accepted.
// Anything else, including surrounding blanks, gives nullopt.
std::optional<HexRecord> ParseRecord(std::string_view line);

// What a "%0<width>X" scan of the characters at [pos, pos + width) of `line`
// gives: the leading hexadecimal digits there (either case), 0 when there
// are none (also past the end of a short line). The programming walk reads
// the image's lines at fixed positions this way, and so does anything that
// must see the image as it does.
unsigned ScanHex(const std::string& line, size_t pos, size_t width);

// The data record (type 00) of the 16 bytes at `bytes`, for `address`:
// ":10", the address as four uppercase hexadecimal digits, "00", the bytes
// as 32 uppercase digits and the checksum: 43 characters.
std::string DataRecord(const uint8_t* bytes, uint16_t address);

// The 64 KiB image that `lines` program, as the programming walk reads
// them: `image` (65,536 bytes) all 0xFF, then each line's bytes at the
// address it carries, whatever its type; a record running past 0xFFFF loses
// the excess.
void UnpackRecords(const std::vector<std::string>& lines, uint8_t* image);

struct HexCheck {
  bool ok = false;
  size_t line = 0;     // 1-based line the refusal is about; 0 when about the whole file
  std::string reason;  // a complete message, "line N: ..." when about a line; empty when ok
  // When ok: what the programming walk is to use, in file order: the data
  // records (type 00) and the end record, normalised (uppercase, without the
  // byte-order mark, blanks and line ends). The address and start address
  // records (types 02 to 05) the check accepted are not kept: the walk reads
  // every kept line as data at the address it carries.
  std::vector<std::string> lines;
};

// Largest image file accepted, and the longest record line (255 data bytes).
inline constexpr size_t kMaxHexFileBytes = 4u * 1024u * 1024u;
inline constexpr size_t kMaxHexLineChars = 521;

// Checks a whole image file's text. Accepted:
// - LF or CRLF line ends, a UTF-8 byte-order mark at the very start of the
//   file, blanks (spaces, tabs) at the end of a line, and empty or blank
//   lines (skipped);
// - lowercase hex digits (the kept lines are uppercased, as the programming
//   walk and the embedded image use them);
// - data records (type 00) whose bytes stay below 0x10000 and set no address
//   another record set;
// - extended segment and extended linear address records (types 02 and 04:
//   byte count 2, address field 0000) of value 0, which change nothing; a
//   non-zero value would place the data that follow elsewhere than the
//   addresses they carry (for type 04, at 64 KiB and beyond), which the walk
//   cannot do, and is refused at that record;
// - start segment and start linear address records (types 03 and 05, byte
//   count 4), which the bootloader has no use for and are ignored;
// - exactly one end record (type 01, no data) after which only empty or
//   blank lines follow.
// A file with no data records but an end record is valid. Anything else is
// refused, with the first fault found: blanks before or inside a record, a
// byte-order mark anywhere but at the start, other record types, bad
// lengths and checksums.
HexCheck CheckHexText(std::string_view text);

// Reads `path` and checks it as CheckHexText does; also refuses a file that
// cannot be opened or read (with the system's reason) or is larger than
// kMaxHexFileBytes. Reasons do not name the file: the caller does.
HexCheck CheckHexFile(const std::string& path);

}  // namespace odu

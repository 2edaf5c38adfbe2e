#include "protocol/intel_hex.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string_view>
#include <utility>

namespace odu {
namespace {

constexpr size_t kMinRecordChars = 11;  // ':' count(2) address(4) type(2) checksum(2)
constexpr uint32_t kAddressSpace = 0x10000;

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

std::string Hex2(unsigned value) {
  char text[8];
  std::snprintf(text, sizeof text, "%02X", value & 0xFFu);
  return text;
}

std::string Hex4(unsigned value) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%04X", value & 0xFFFFu);
  return text;
}

std::string DescribeChar(char c, size_t column) {
  const auto byte = static_cast<unsigned char>(c);
  std::string what = (byte >= 0x20 && byte < 0x7F) ? "character '" + std::string(1, c) + "'" : "byte 0x" + Hex2(byte);
  return what + " at column " + std::to_string(column) + " is not a hex digit";
}

// Decodes one record line into `out`; returns why it is not a record, or the
// empty text when it is one.
std::string Decode(std::string_view line, HexRecord& out) {
  if (line.empty() || line[0] != ':') return "does not start with ':'";
  if (line.size() > kMaxHexLineChars) {
    return "longer than " + std::to_string(kMaxHexLineChars) + " characters (" + std::to_string(line.size()) + ")";
  }
  for (size_t i = 1; i < line.size(); ++i) {
    if (HexValue(line[i]) < 0) return DescribeChar(line[i], i + 1);
  }
  const size_t digits = line.size() - 1;
  if (digits % 2 != 0) return "odd number of hex digits (" + std::to_string(digits) + ")";
  if (line.size() < kMinRecordChars) {
    return "too short for a record (" + std::to_string(line.size()) + " characters, at least " +
           std::to_string(kMinRecordChars) + ")";
  }

  std::vector<uint8_t> bytes(digits / 2);
  for (size_t i = 0; i < bytes.size(); ++i) {
    bytes[i] = static_cast<uint8_t>(HexValue(line[1 + 2 * i]) * 16 + HexValue(line[2 + 2 * i]));
  }
  const size_t count = bytes[0];
  const size_t expected = kMinRecordChars + 2 * count;
  if (line.size() != expected) {
    return "byte count " + Hex2(bytes[0]) + " needs " + std::to_string(expected) + " characters, the line has " +
           std::to_string(line.size());
  }
  unsigned sum = 0;
  for (size_t i = 0; i + 1 < bytes.size(); ++i) sum += bytes[i];
  const unsigned want = (0x100u - (sum & 0xFFu)) & 0xFFu;
  if (bytes.back() != want) return "checksum is " + Hex2(bytes.back()) + ", expected " + Hex2(want);

  out.count = bytes[0];
  out.address = static_cast<uint16_t>(bytes[1] << 8 | bytes[2]);
  out.type = bytes[3];
  out.data.assign(bytes.begin() + 4, bytes.end() - 1);
  out.checksum = bytes.back();
  return {};
}

HexCheck Refuse(size_t line, const std::string& reason) {
  HexCheck check;
  check.line = line;
  check.reason = line == 0 ? reason : "line " + std::to_string(line) + ": " + reason;
  return check;
}

std::string TooLarge(size_t bytes) {
  return "the file is larger than " + std::to_string(kMaxHexFileBytes / (1024 * 1024)) + " MiB (" +
         std::to_string(bytes) + " bytes)";
}

std::string Upper(std::string_view line) {
  std::string out(line);
  for (char& c : out) {
    if (c >= 'a' && c <= 'f') c = static_cast<char>(c - 'a' + 'A');
  }
  return out;
}

// The byte-order mark some editors put at the start of a UTF-8 file.
constexpr std::string_view kBom = "\xEF\xBB\xBF";

const char* RecordName(uint8_t type) {
  switch (type) {
    case 0x02: return "an extended segment address record (type 02)";
    case 0x03: return "a start segment address record (type 03)";
    case 0x04: return "an extended linear address record (type 04)";
    case 0x05: return "a start linear address record (type 05)";
    default: return "a record";
  }
}

// Why an extended segment or linear address record (type 02 or 04) is
// refused, or the empty text when it is well formed and of value 0. The
// programming walk sends every data record at the 16-bit address it
// carries, so any other value would program the data elsewhere than the
// file places them.
std::string CheckBaseRecord(const HexRecord& record) {
  const char* name = RecordName(record.type);
  if (record.count != 2) return std::string(name) + " must carry 2 bytes (byte count " + Hex2(record.count) + ")";
  if (record.address != 0) {
    return std::string(name) + " must have address field 0x0000 (it has " + Hex4(record.address) + ")";
  }
  const unsigned value = static_cast<unsigned>(record.data[0] << 8 | record.data[1]);
  if (value == 0) return {};
  const char* what = record.type == 0x04 ? "extended linear address " : "extended segment address ";
  // Where the data that follow would start: the value is the upper 16 bits
  // of the address (type 04), or a paragraph number (type 02: times 16).
  const uint32_t base = record.type == 0x04 ? uint32_t{value} << 16 : uint32_t{value} << 4;
  char at[16];
  std::snprintf(at, sizeof at, "0x%0*X", record.type == 0x04 ? 8 : 5, static_cast<unsigned>(base));
  if (base >= kAddressSpace) {
    return what + Hex4(value) + " puts the data that follow at " + at +
           " and up, beyond 64 KiB; the unit's flash is 64 KiB";
  }
  return what + Hex4(value) + " moves the data that follow up by " + at +
         ", which the programming cannot do (it sends each record at the address it carries); only 0 is accepted";
}

}  // namespace

std::optional<HexRecord> ParseRecord(std::string_view line) {
  HexRecord record;
  if (!Decode(line, record).empty()) return std::nullopt;
  return record;
}

HexCheck CheckHexText(std::string_view text) {
  if (text.size() > kMaxHexFileBytes) return Refuse(0, TooLarge(text.size()));
  if (text.substr(0, kBom.size()) == kBom) text.remove_prefix(kBom.size());

  std::vector<std::string> lines;
  // Line number of the record that set each address; allocated with the first
  // data record, 0 where nothing is set yet.
  std::vector<size_t> owner;
  bool ended = false;
  size_t records = 0;  // well-formed records of any type, kept or not
  size_t number = 0;
  size_t pos = 0;
  while (pos < text.size()) {
    ++number;
    const size_t newline = text.find('\n', pos);
    const size_t stop = newline == std::string_view::npos ? text.size() : newline;
    std::string_view line = text.substr(pos, stop - pos);
    pos = newline == std::string_view::npos ? text.size() : newline + 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    while (!line.empty() && (line.back() == ' ' || line.back() == '\t')) line.remove_suffix(1);
    if (line.empty()) continue;
    if (ended) return Refuse(number, "data after the end record");
    if (line.substr(0, kBom.size()) == kBom) {
      return Refuse(number, "a UTF-8 byte-order mark is accepted only at the start of the file");
    }

    HexRecord record;
    if (std::string why = Decode(line, record); !why.empty()) return Refuse(number, why);
    ++records;
    switch (record.type) {
      case 0x00:
        if (record.address + size_t{record.count} > kAddressSpace) {
          return Refuse(number, "record runs past 64 KiB (address " + Hex4(record.address) + ", " +
                                    std::to_string(record.count) + " bytes)");
        }
        if (owner.empty()) owner.assign(kAddressSpace, 0);
        for (size_t a = record.address; a < record.address + size_t{record.count}; ++a) {
          if (owner[a] != 0) {
            return Refuse(number, "address " + Hex4(static_cast<unsigned>(a)) + " is already set by line " +
                                      std::to_string(owner[a]));
          }
          owner[a] = number;
        }
        break;
      case 0x01:
        if (record.count != 0) {
          return Refuse(number, "the end record must carry no data (byte count " + Hex2(record.count) + ")");
        }
        ended = true;
        break;
      case 0x02:
      case 0x04:
        if (std::string why = CheckBaseRecord(record); !why.empty()) return Refuse(number, why);
        continue;  // of value 0: changes nothing, and is not kept
      case 0x03:
      case 0x05:
        if (record.count != 4) {
          return Refuse(number, std::string(RecordName(record.type)) + " must carry 4 bytes (byte count " +
                                    Hex2(record.count) + ")");
        }
        continue;  // of no use to the bootloader: not kept
      default:
        return Refuse(number, "record type " + Hex2(record.type) + " is not supported (only types 00 to 05)");
    }
    lines.push_back(Upper(line));
  }

  if (!ended) return Refuse(0, records == 0 ? "the file holds no records" : "missing end record");
  HexCheck check;
  check.ok = true;
  check.lines = std::move(lines);
  return check;
}

HexCheck CheckHexFile(const std::string& path) {
  struct Closer {
    void operator()(std::FILE* f) const { std::fclose(f); }
  };
  errno = 0;
  std::unique_ptr<std::FILE, Closer> file(std::fopen(path.c_str(), "rb"));
  if (!file) return Refuse(0, std::string("cannot open the file: ") + std::strerror(errno));

  // One byte past the limit is enough to know the file is too large.
  std::string text;
  char buffer[64 * 1024];
  while (text.size() <= kMaxHexFileBytes) {
    const size_t got = std::fread(buffer, 1, sizeof buffer, file.get());
    text.append(buffer, got);
    if (got < sizeof buffer) break;
  }
  if (std::ferror(file.get())) return Refuse(0, std::string("cannot read the file: ") + std::strerror(errno));
  if (text.size() > kMaxHexFileBytes) {
    std::fseek(file.get(), 0, SEEK_END);
    const long size = std::ftell(file.get());
    return Refuse(0, TooLarge(size > 0 ? static_cast<size_t>(size) : text.size()));
  }
  return CheckHexText(text);
}

std::string DataRecord(const uint8_t* bytes, uint16_t address) {
  char text[44];
  unsigned sum = 0x10 + ((static_cast<unsigned>(address) >> 8) & 0xFF) + (static_cast<unsigned>(address) & 0xFF);
  int pos = std::snprintf(text, sizeof text, ":10%04X00", static_cast<unsigned>(address));
  for (int i = 0; i < 16; ++i) {
    sum += bytes[i];
    pos += std::snprintf(text + pos, sizeof text - static_cast<size_t>(pos), "%02X", bytes[i]);
  }
  std::snprintf(text + pos, sizeof text - static_cast<size_t>(pos), "%02X", (0x100 - (sum & 0xFF)) & 0xFF);
  return std::string(text, 43);
}

unsigned ScanHex(const std::string& line, size_t pos, size_t width) {
  unsigned value = 0;
  for (size_t i = pos; i < pos + width && i < line.size(); ++i) {
    const char c = line[i];
    unsigned d;
    if (c >= '0' && c <= '9')
      d = static_cast<unsigned>(c - '0');
    else if (c >= 'A' && c <= 'F')
      d = static_cast<unsigned>(c - 'A' + 10);
    else if (c >= 'a' && c <= 'f')
      d = static_cast<unsigned>(c - 'a' + 10);
    else
      break;
    value = value * 16 + d;
  }
  return value;
}

void UnpackRecords(const std::vector<std::string>& lines, uint8_t* image) {
  std::memset(image, 0xFF, 0x10000);
  for (const std::string& line : lines) {
    const unsigned count = ScanHex(line, 1, 2) & 0xFF;
    const unsigned address = ScanHex(line, 3, 4) & 0xFFFF;
    for (unsigned j = 0; j < count && address + j <= 0xFFFF; ++j)
      image[address + j] = static_cast<uint8_t>(ScanHex(line, 9 + 2 * j, 2) & 0xFF);
  }
}

}  // namespace odu

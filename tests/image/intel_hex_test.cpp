// The image-file check: which files pass, and for each fault the line it
// names and the reason it gives.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "app/intel_hex.h"

namespace odu {
namespace {

const std::string kReset = ":100000000220BBA21492B4122885220227FAC2B79A";
const std::string kEnd = ":00000001FF";

// A record line with a correct checksum.
std::string Record(unsigned address, const std::vector<unsigned>& data, unsigned type = 0) {
  std::vector<unsigned> bytes = {static_cast<unsigned>(data.size()), address >> 8 & 0xFF, address & 0xFF, type};
  bytes.insert(bytes.end(), data.begin(), data.end());
  unsigned sum = 0;
  std::string out = ":";
  char hex[4];
  for (unsigned b : bytes) {
    std::snprintf(hex, sizeof hex, "%02X", b);
    out += hex;
    sum += b;
  }
  std::snprintf(hex, sizeof hex, "%02X", (0x100 - (sum & 0xFF)) & 0xFF);
  return out + hex;
}

TEST(HexCheck, AcceptsGoodFilesAndRefusesEachFaultWithItsLineAndReason) {
  const std::vector<unsigned> sixteen(16, 0xA5);
  const std::string tooLong = ":" + std::string(522, '0');
  struct Row {
    const char* name;
    std::string text;
    size_t line;         // 0 with an empty reason means the file is accepted
    std::string reason;
  };
  const std::vector<Row> rows = {
      {"LF lines", kReset + "\n" + kEnd + "\n", 0, ""},
      {"CRLF lines and trailing empty lines", kReset + "\r\n" + kEnd + "\r\n\r\n\n", 0, ""},
      {"no final newline", kReset + "\n" + kEnd, 0, ""},
      {"empty lines between records", "\n" + kReset + "\n\n" + kEnd + "\n", 0, ""},
      {"lowercase digits", ":100000000220bba21492b4122885220227fac2b79a\n" + kEnd, 0, ""},
      {"end record only", kEnd + "\n", 0, ""},
      {"last byte at 0xFFFF", Record(0xFFF0, sixteen) + "\n" + kEnd, 0, ""},
      {"empty text", "", 0, "the file holds no records"},
      {"blank lines only", "\n\r\n\n", 0, "the file holds no records"},
      {"no end record", kReset + "\n", 0, "missing end record"},
      {"no colon", kReset + "\n" + kEnd.substr(1), 2, "line 2: does not start with ':'"},
      {"leading blank", " " + kReset + "\n" + kEnd, 1, "line 1: does not start with ':'"},
      {"trailing blank", kReset + " \n" + kEnd, 1, "line 1: character ' ' at column 44 is not a hex digit"},
      {"letter that is not hex", ":01000000G1EE\n" + kEnd, 1, "line 1: character 'G' at column 10 is not a hex digit"},
      {"control byte", ":01000000\t1EE\n" + kEnd, 1, "line 1: byte 0x09 at column 10 is not a hex digit"},
      {"stray CR inside a line", ":0100\r000011EE\n" + kEnd, 1, "line 1: byte 0x0D at column 6 is not a hex digit"},
      {"odd digit count", ":0100000011E\n" + kEnd, 1, "line 1: odd number of hex digits (11)"},
      {"too short", ":00000001\n", 1, "line 1: too short for a record (9 characters, at least 11)"},
      {"count larger than the data", ":0200000011ED\n" + kEnd, 1,
       "line 1: byte count 02 needs 15 characters, the line has 13"},
      {"longest line exceeded", tooLong + "\n" + kEnd, 1, "line 1: longer than 521 characters (523)"},
      {"bad checksum, counted past blank lines", "\n\n" + kReset + "\n:0100000011EF\n" + kEnd, 4,
       "line 4: checksum is EF, expected EE"},
      {"extended segment address", Record(0, {0x10, 0x00}, 0x02) + "\n" + kEnd, 1,
       "line 1: record type 02 is not supported (only 00 data and 01 end)"},
      {"extended linear address", kReset + "\n" + Record(0, {0x00, 0x00}, 0x04) + "\n" + kEnd, 2,
       "line 2: record type 04 is not supported (only 00 data and 01 end)"},
      {"end record with data", kReset + "\n" + Record(0, {0x00}, 0x01), 2,
       "line 2: the end record must carry no data (byte count 01)"},
      {"record after the end", kEnd + "\n" + kReset + "\n", 2, "line 2: data after the end record"},
      {"second end record", kEnd + "\n\n" + kEnd + "\n", 3, "line 3: data after the end record"},
      {"garbage after the end", kEnd + "\nxyz", 2, "line 2: data after the end record"},
      {"past 64 KiB", Record(0xFFF8, sixteen) + "\n" + kEnd, 1,
       "line 1: record runs past 64 KiB (address 0xFFF8, 16 bytes)"},
      {"address set twice", kReset + "\n" + Record(0x20, {1}) + "\n" + Record(0x000F, {1, 2}) + "\n" + kEnd, 3,
       "line 3: address 0x000F is already set by line 1"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const HexCheck check = CheckHexText(row.text);
    EXPECT_EQ(check.ok, row.reason.empty());
    EXPECT_EQ(check.line, row.line);
    EXPECT_EQ(check.reason, row.reason);
    if (!check.ok) {
      EXPECT_TRUE(check.lines.empty());
    }
  }
}

TEST(HexCheck, KeepsTheRecordsInFileOrderUppercasedWithoutLineEnds) {
  const std::string second = Record(0x0010, {0xAB});
  const HexCheck check = CheckHexText(second + "\r\n" + ":100000000220bba21492b4122885220227fac2b79a\r\n\r\n" + kEnd);
  ASSERT_TRUE(check.ok) << check.reason;
  EXPECT_EQ(check.lines, (std::vector<std::string>{second, kReset, kEnd}));
}

TEST(HexCheck, RefusesTextLargerThanTheFileLimit) {
  const HexCheck check = CheckHexText(std::string(kMaxHexFileBytes + 1, '\n'));
  EXPECT_FALSE(check.ok);
  EXPECT_EQ(check.line, 0u);
  EXPECT_EQ(check.reason, "the file is larger than 4 MiB (4194305 bytes)");
}

TEST(HexRecordParse, DecodesFieldsOfAnyRecordTypeAndRefusesMalformedLines) {
  const auto data = ParseRecord(kReset);
  ASSERT_TRUE(data.has_value());
  EXPECT_EQ(data->count, 16);
  EXPECT_EQ(data->address, 0x0000);
  EXPECT_EQ(data->type, 0x00);
  EXPECT_EQ(data->data.front(), 0x02);
  EXPECT_EQ(data->data.back(), 0xB7);
  EXPECT_EQ(data->data.size(), 16u);
  EXPECT_EQ(data->checksum, 0x9A);

  const auto erase = ParseRecord(":0100000307F5");
  ASSERT_TRUE(erase.has_value());
  EXPECT_EQ(erase->type, 0x03);
  EXPECT_EQ(erase->data, std::vector<uint8_t>{0x07});

  for (const char* bad : {"", ":", ":0100000307F6", " :0100000307F5", ":0100000307F5 ", ":01000003070F5", "0100000307F5"}) {
    EXPECT_FALSE(ParseRecord(bad).has_value()) << '"' << bad << '"';
  }
}

class HexFile : public ::testing::Test {
 protected:
  std::string path_ = ::testing::TempDir() + "odu_hex_file_test_" +
                      ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".hex";
  void Write(const std::string& text) { std::ofstream(path_, std::ios::binary) << text; }
  void TearDown() override { std::remove(path_.c_str()); }
};

TEST_F(HexFile, ChecksTheFileItReads) {
  Write(kReset + "\r\n" + kEnd + "\r\n");
  const HexCheck check = CheckHexFile(path_);
  ASSERT_TRUE(check.ok) << check.reason;
  EXPECT_EQ(check.lines, (std::vector<std::string>{kReset, kEnd}));
}

TEST_F(HexFile, RefusesAnEmptyFile) {
  Write("");
  EXPECT_EQ(CheckHexFile(path_).reason, "the file holds no records");
}

TEST_F(HexFile, RefusesAMissingFileWithTheSystemReason) {
  const HexCheck check = CheckHexFile(path_ + ".missing");
  EXPECT_FALSE(check.ok);
  EXPECT_EQ(check.line, 0u);
  EXPECT_EQ(check.reason, std::string("cannot open the file: ") + std::strerror(ENOENT));
}

TEST_F(HexFile, RefusesADirectoryAsUnreadable) {
  const HexCheck check = CheckHexFile(::testing::TempDir());
  EXPECT_FALSE(check.ok);
  EXPECT_EQ(check.reason.rfind("cannot ", 0), 0u) << check.reason;
}

TEST_F(HexFile, RefusesAFileOverTheLimitWithoutCheckingItsLines) {
  Write(std::string(kMaxHexFileBytes + 5, 'x'));
  const HexCheck check = CheckHexFile(path_);
  EXPECT_FALSE(check.ok);
  EXPECT_EQ(check.reason, "the file is larger than 4 MiB (4194309 bytes)");
}

}  // namespace
}  // namespace odu

// The image-file check: which files pass, and for each fault the line it
// names and the reason it gives.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "protocol/intel_hex.h"
#include "resources/firmware_image.h"
#include "tests/support/hex_record.h"

namespace odu {
namespace {

const std::string kReset = ":100000000220BBA21492B4122885220227FAC2B79A";
const std::string kEnd = ":00000001FF";
const std::string kLinear0 = ":020000040000FA";
const std::string kSegment0 = ":020000020000FC";
const std::string kBom = "\xEF\xBB\xBF";

using testing::HexRecord;

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
      {"last byte at 0xFFFF", HexRecord(0xFFF0, sixteen) + "\n" + kEnd, 0, ""},
      {"empty text", "", 0, "the file holds no records"},
      {"blank lines only", "\n\r\n\n", 0, "the file holds no records"},
      {"no end record", kReset + "\n", 0, "missing end record"},
      {"no colon", kReset + "\n" + kEnd.substr(1), 2, "line 2: does not start with ':'"},
      {"leading blank", " " + kReset + "\n" + kEnd, 1, "line 1: does not start with ':'"},
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
      // What toolchains write around the data: address records of value 0,
      // start addresses, blanks after a record, a byte-order mark.
      {"extended linear address 0", kLinear0 + "\n" + kReset + "\n" + kEnd, 0, ""},
      {"extended segment address 0", kSegment0 + "\n" + kReset + "\n" + kEnd, 0, ""},
      {"extended linear address 0 in lowercase", ":020000040000fa\n" + kReset + "\n" + kEnd, 0, ""},
      {"start segment address", kReset + "\n" + HexRecord(0, {0x00, 0x00, 0x01, 0x00}, 0x03) + "\n" + kEnd, 0, ""},
      {"start linear address", kReset + "\n" + HexRecord(0, {0x00, 0x00, 0x01, 0x00}, 0x05) + "\n" + kEnd, 0, ""},
      {"address and start records only", kLinear0 + "\n" + HexRecord(0, {0, 0, 0, 0}, 0x05) + "\n" + kEnd, 0, ""},
      {"trailing blanks", kReset + "  \t\n" + kEnd + " \r\n", 0, ""},
      {"blank lines", kReset + "\n \t\n" + kEnd + "\n  \n", 0, ""},
      {"byte-order mark", kBom + kReset + "\n" + kEnd, 0, ""},
      {"byte-order mark before an empty line", kBom + "\r\n" + kReset + "\r\n" + kEnd, 0, ""},
      // ... and their neighbours that stay refused.
      {"extended linear address 1", kReset + "\n" + HexRecord(0, {0x00, 0x01}, 0x04) + "\n" + kReset + "\n" + kEnd, 2,
       "line 2: extended linear address 0x0001 puts the data that follow at 0x00010000 and up, beyond 64 KiB; the "
       "unit's flash is 64 KiB"},
      {"extended linear address 0x0800 at the end", kReset + "\n" + HexRecord(0, {0x08, 0x00}, 0x04) + "\n" + kEnd, 2,
       "line 2: extended linear address 0x0800 puts the data that follow at 0x08000000 and up, beyond 64 KiB; the "
       "unit's flash is 64 KiB"},
      {"extended segment address 0x1000", HexRecord(0, {0x10, 0x00}, 0x02) + "\n" + kEnd, 1,
       "line 1: extended segment address 0x1000 puts the data that follow at 0x10000 and up, beyond 64 KiB; the "
       "unit's flash is 64 KiB"},
      {"extended segment address 0x0800", kSegment0 + "\n" + HexRecord(0, {0x08, 0x00}, 0x02) + "\n" + kEnd, 2,
       "line 2: extended segment address 0x0800 moves the data that follow up by 0x08000, which the programming "
       "cannot do (it sends each record at the address it carries); only 0 is accepted"},
      {"extended linear address of 1 byte", HexRecord(0, {0x00}, 0x04) + "\n" + kEnd, 1,
       "line 1: an extended linear address record (type 04) must carry 2 bytes (byte count 01)"},
      {"extended segment address of 4 bytes", HexRecord(0, {0, 0, 0, 0}, 0x02) + "\n" + kEnd, 1,
       "line 1: an extended segment address record (type 02) must carry 2 bytes (byte count 04)"},
      {"extended linear address with an address field", HexRecord(0x0010, {0x00, 0x00}, 0x04) + "\n" + kEnd, 1,
       "line 1: an extended linear address record (type 04) must have address field 0x0000 (it has 0x0010)"},
      {"extended segment address with an address field", HexRecord(0x8000, {0x00, 0x00}, 0x02) + "\n" + kEnd, 1,
       "line 1: an extended segment address record (type 02) must have address field 0x0000 (it has 0x8000)"},
      {"start segment address of 2 bytes", kReset + "\n" + HexRecord(0, {0x01, 0x00}, 0x03) + "\n" + kEnd, 2,
       "line 2: a start segment address record (type 03) must carry 4 bytes (byte count 02)"},
      {"start linear address of 5 bytes", kReset + "\n" + HexRecord(0, {0, 0, 0, 1, 0}, 0x05) + "\n" + kEnd, 2,
       "line 2: a start linear address record (type 05) must carry 4 bytes (byte count 05)"},
      {"the bootloader's erase command", ":0100000307F5\n" + kEnd, 1,
       "line 1: a start segment address record (type 03) must carry 4 bytes (byte count 01)"},
      {"record type 06", HexRecord(0, {}, 0x06) + "\n" + kEnd, 1,
       "line 1: record type 06 is not supported (only types 00 to 05)"},
      {"the bootloader's closing command", kReset + "\n:00000008F8\n" + kEnd, 2,
       "line 2: record type 08 is not supported (only types 00 to 05)"},
      {"address record after the end", kEnd + "\n" + kLinear0 + "\n", 2, "line 2: data after the end record"},
      {"address and start records without an end", kLinear0 + "\n" + HexRecord(0, {0, 0, 0, 0}, 0x05) + "\n", 0,
       "missing end record"},
      {"byte-order mark on the second line", kReset + "\n" + kBom + kEnd, 2,
       "line 2: a UTF-8 byte-order mark is accepted only at the start of the file"},
      {"byte-order mark twice", kBom + kBom + kReset + "\n" + kEnd, 1,
       "line 1: a UTF-8 byte-order mark is accepted only at the start of the file"},
      {"byte-order mark after the colon", ":" + kBom + kReset.substr(1) + "\n" + kEnd, 1,
       "line 1: byte 0xEF at column 2 is not a hex digit"},
      {"byte-order mark only", kBom, 0, "the file holds no records"},
      {"blank inside a record", ":10000000 0220BBA21492B4122885220227FAC2B79A\n" + kEnd, 1,
       "line 1: character ' ' at column 10 is not a hex digit"},
      {"tab inside a record", kReset.substr(0, 20) + "\t" + kReset.substr(20) + "\n" + kEnd, 1,
       "line 1: byte 0x09 at column 21 is not a hex digit"},
      {"blank before the line end of the checksum", kReset.substr(0, 42) + " " + kReset.substr(42) + "\n" + kEnd, 1,
       "line 1: character ' ' at column 43 is not a hex digit"},
      {"CR before trailing blanks", kReset + "\r \n" + kEnd, 1, "line 1: byte 0x0D at column 44 is not a hex digit"},
      {"end record with data", kReset + "\n" + HexRecord(0, {0x00}, 0x01), 2,
       "line 2: the end record must carry no data (byte count 01)"},
      {"record after the end", kEnd + "\n" + kReset + "\n", 2, "line 2: data after the end record"},
      {"second end record", kEnd + "\n\n" + kEnd + "\n", 3, "line 3: data after the end record"},
      {"garbage after the end", kEnd + "\nxyz", 2, "line 2: data after the end record"},
      {"past 64 KiB", HexRecord(0xFFF8, sixteen) + "\n" + kEnd, 1,
       "line 1: record runs past 64 KiB (address 0xFFF8, 16 bytes)"},
      {"address set twice", kReset + "\n" + HexRecord(0x20, {1}) + "\n" + HexRecord(0x000F, {1, 2}) + "\n" + kEnd, 3,
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
  const std::string second = HexRecord(0x0010, {0xAB});
  const HexCheck check = CheckHexText(second + "\r\n" + ":100000000220bba21492b4122885220227fac2b79a\r\n\r\n" + kEnd);
  ASSERT_TRUE(check.ok) << check.reason;
  EXPECT_EQ(check.lines, (std::vector<std::string>{second, kReset, kEnd}));
}

TEST(HexCheck, KeepsOnlyTheDataAndEndRecordsNormalisedForTheProgrammingWalk) {
  // The walk (TMainPanel::UnpackImage) reads every kept line as data at the
  // address it carries: an address or start address record kept would
  // program its bytes at 0x0000.
  const std::string second = HexRecord(0x0010, {0xAB});
  const std::string text = kBom + kLinear0 + "\r\n" + ":020000020000fc \r\n" + second + "\t\r\n" +
                           ":100000000220bba21492b4122885220227fac2b79a  \r\n" + HexRecord(0, {0, 0, 0x01, 0}, 0x03) +
                           "\r\n" + HexRecord(0, {0, 0, 0x01, 0}, 0x05) + "\r\n" + kEnd + " \r\n";
  const HexCheck check = CheckHexText(text);
  ASSERT_TRUE(check.ok) << check.reason;
  EXPECT_EQ(check.lines, (std::vector<std::string>{second, kReset, kEnd}));
}

TEST(HexCheck, TheEmbeddedImageAsAToolchainWritesItKeepsTheEmbeddedLines) {
  // A byte-order mark, an extended linear and an extended segment address of
  // 0 at the top and again halfway, lowercase digits, blanks after the
  // records, CRLF ends, a start linear address before the end record.
  const auto embedded = EmbeddedFirmwareLines();
  std::string text = kBom + kLinear0 + "\r\n" + kSegment0 + "\r\n";
  for (size_t i = 0; i < embedded.size(); ++i) {
    if (i == embedded.size() / 2) text += kLinear0 + "\r\n";
    if (i + 1 == embedded.size()) text += HexRecord(0, {0x00, 0x00, 0x20, 0xBB}, 0x05) + "\r\n";
    std::string line(embedded[i]);
    if (i % 3 == 0) {
      for (char& c : line) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    text += line + (i % 2 ? " \t" : "") + "\r\n";
  }
  const HexCheck check = CheckHexText(text);
  ASSERT_TRUE(check.ok) << check.reason;
  EXPECT_TRUE(std::equal(check.lines.begin(), check.lines.end(), embedded.begin(), embedded.end()));
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

// The file check reads the file and checks its text as the text check does;
// a file it cannot read, or one over the size limit, is refused on line 0.
TEST_F(HexFile, ChecksWhatItReadsAndRefusesWhatItCannotRead) {
  // Writes `text` to the test's file and gives its path.
  auto written = [this](std::string text) { return [this, text] { Write(text); return path_; }; };
  struct Row {
    const char* name;
    std::function<std::string()> make;  // makes the file and gives the path to check
    bool ok;
    std::string reason;  // the whole reason, or only its start if `whole` is false
    bool whole = true;
    std::vector<std::string> lines = {};  // the records kept, when accepted
  };
  const Row rows[] = {
      {"records with CRLF ends", written(kReset + "\r\n" + kEnd + "\r\n"), true, "", true, {kReset, kEnd}},
      {"a byte-order mark, address records and blanks, as the text check reads them",
       written(kBom + kLinear0 + "\r\n" + kReset + " \r\n" + HexRecord(0, {0, 0, 0, 0}, 0x05) + "\r\n" + kEnd + "\r\n"),
       true, "", true, {kReset, kEnd}},
      {"an empty file", written(""), false, "the file holds no records"},
      {"a missing file, with the system's reason", [this] { return path_ + ".missing"; }, false,
       std::string("cannot open the file: ") + std::strerror(ENOENT)},
      // Opening a directory fails on some systems and reading it on others.
      {"a directory", [] { return ::testing::TempDir(); }, false, "cannot ", false},
      // Not a line of it is a record: the size alone refuses it.
      {"over the size limit, its lines unchecked", written(std::string(kMaxHexFileBytes + 5, 'x')), false,
       "the file is larger than 4 MiB (4194309 bytes)"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const HexCheck check = CheckHexFile(row.make());
    EXPECT_EQ(check.ok, row.ok) << check.reason;
    EXPECT_EQ(check.line, 0u);
    if (row.whole) {
      EXPECT_EQ(check.reason, row.reason);
    } else {
      EXPECT_EQ(check.reason.rfind(row.reason, 0), 0u) << check.reason;
    }
    EXPECT_EQ(check.lines, row.lines);
  }
}

}  // namespace
}  // namespace odu

// What --check-image says a run would send: the embedded image's figures,
// small images whose counts are known by hand, and the printed text.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/cli/image_summary.h"
#include "protocol/intel_hex.h"
#include "resources/firmware_image.h"
#include "tests/support/hex_record.h"

namespace odu {
namespace {

std::vector<std::string> Embedded() {
  const auto lines = EmbeddedFirmwareLines();
  return {lines.begin(), lines.end()};
}

TEST(ImageSummary, TheEmbeddedImage) {
  const ImageSummary s = SummarizeImage(Embedded());
  EXPECT_EQ(s.records, 730u);
  EXPECT_EQ(s.data_bytes, 10393u);
  ASSERT_TRUE(s.has_data);
  EXPECT_EQ(s.lowest, 0x0000u);
  EXPECT_EQ(s.end, 0x289Bu);
  EXPECT_EQ(s.blocks, 650u);
  // The initialisation frame (10), the erase (19), 650 records (49 each),
  // the closing commands (23, 21, 17).
  EXPECT_EQ(s.frames_sent, 655u);
  EXPECT_EQ(s.bytes_sent, 10u + 19u + 650u * 49u + 23u + 21u + 17u);
  EXPECT_EQ(s.bytes_sent, 31940u);
  // The handshake's reply (8) and 654 acknowledgements (7 each).
  EXPECT_EQ(s.replies, 655u);
  EXPECT_EQ(s.bytes_received, 8u + 654u * 7u);
  EXPECT_EQ(s.bytes_received, 4586u);
  EXPECT_DOUBLE_EQ(s.wire_s, 36526 * 10 / 19200.0);  // 19.024 s
  EXPECT_DOUBLE_EQ(s.waits_s, 2.0);
  EXPECT_DOUBLE_EQ(s.expected_s, s.wire_s + 2.0);
}

TEST(ImageSummary, PrintsKeyValueLines) {
  EXPECT_EQ(FormatImageSummary(SummarizeImage(Embedded())),
            "records: 730\n"
            "data bytes: 10393\n"
            "address range: 0x0000 to 0x289B (lowest, highest + 1)\n"
            "blocks sent: 650 (of 16 bytes; blank ones are skipped)\n"
            "frames sent: 655 (31940 bytes: handshake, erase, blocks, 3 closing commands)\n"
            "replies: 655 (4586 bytes)\n"
            "wire time: 19.024 s (both ways, at 19200 baud, 10 bits a byte)\n"
            "expected time: 21.0 s (wire time plus the tool's fixed waits of 2 s; the station's erase and answer "
            "times are not included)\n");
  // An image without data still makes the handshake, the erase and the
  // closing commands.
  EXPECT_EQ(FormatImageSummary(SummarizeImage({":00000001FF"})),
            "records: 0\n"
            "data bytes: 0\n"
            "address range: none (no data)\n"
            "blocks sent: 0 (of 16 bytes; blank ones are skipped)\n"
            "frames sent: 5 (90 bytes: handshake, erase, blocks, 3 closing commands)\n"
            "replies: 5 (36 bytes)\n"
            "wire time: 0.066 s (both ways, at 19200 baud, 10 bits a byte)\n"
            "expected time: 2.1 s (wire time plus the tool's fixed waits of 2 s; the station's erase and answer "
            "times are not included)\n");
}

using testing::HexRecord;

TEST(ImageSummary, SmallImagesCountedByHand) {
  struct Row {
    const char* name;
    std::vector<std::string> lines;
    size_t records, data_bytes;
    uint32_t lowest, end;  // end 0: no data
    size_t blocks;
  };
  const std::vector<unsigned> sixteen(16, 0x5A);
  const std::vector<unsigned> blank(16, 0xFF);
  const Row rows[] = {
      {"end record only", {":00000001FF"}, 0, 0, 0, 0, 0},
      {"one byte", {HexRecord(0x0005, {0x42}), ":00000001FF"}, 1, 1, 0x0005, 0x0006, 1},
      // 0x0018-0x0027 straddles two blocks; the block of 0xFF at 0x0100 is
      // data in the file but blank, so not sent.
      {"a byte, a straddling record, a blank block",
       {HexRecord(0x0005, {0x42}), HexRecord(0x0018, sixteen), HexRecord(0x0100, blank), ":00000001FF"},
       3,
       33,
       0x0005,
       0x0110,
       3},
      {"two records in one block",
       {HexRecord(0x0030, {1, 2}), HexRecord(0x003E, {3, 4}), ":00000001FF"}, 2, 4, 0x0030, 0x0040, 1},
      {"the top of the address space", {HexRecord(0xFFF0, sixteen), ":00000001FF"}, 1, 16, 0xFFF0, 0x10000, 1},
      {"bytes of 0xFF next to data", {HexRecord(0x0200, {0xFF, 0xFF, 0x00}), ":00000001FF"}, 1, 3, 0x0200, 0x0203, 1},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const ImageSummary s = SummarizeImage(row.lines);
    EXPECT_EQ(s.records, row.records);
    EXPECT_EQ(s.data_bytes, row.data_bytes);
    EXPECT_EQ(s.has_data, row.end != 0);
    EXPECT_EQ(s.lowest, row.lowest);
    EXPECT_EQ(s.end, row.end);
    EXPECT_EQ(s.blocks, row.blocks);
    EXPECT_EQ(s.frames_sent, 5 + row.blocks);
    EXPECT_EQ(s.bytes_sent, 10 + 19 + 49 * row.blocks + 23 + 21 + 17);
    EXPECT_EQ(s.replies, 5 + row.blocks);
    EXPECT_EQ(s.bytes_received, 8 + 7 * (4 + row.blocks));
    EXPECT_DOUBLE_EQ(s.wire_s, static_cast<double>(s.bytes_sent + s.bytes_received) / 1920.0);
    EXPECT_DOUBLE_EQ(s.expected_s, s.wire_s + 2.0);
  }

  // Three blocks: 237 bytes sent, 57 received, 294 in all: 0.153 s of wire.
  const ImageSummary three = SummarizeImage(rows[2].lines);
  EXPECT_EQ(three.bytes_sent, 237u);
  EXPECT_EQ(three.bytes_received, 57u);
  const std::string text = FormatImageSummary(three);
  EXPECT_NE(text.find("address range: 0x0005 to 0x0110 (lowest, highest + 1)\n"), std::string::npos) << text;
  EXPECT_NE(text.find("wire time: 0.153 s "), std::string::npos) << text;
  EXPECT_NE(text.find("expected time: 2.2 s "), std::string::npos) << text;
}

TEST(ImageSummary, OfAFileAsTheCheckKeepsItTheAddressAndStartRecordsChangeNothing) {
  const std::string data = HexRecord(0x0040, {1, 2, 3});
  const HexCheck plain = CheckHexText(data + "\n:00000001FF\n");
  const HexCheck toolchain = CheckHexText("\xEF\xBB\xBF:020000040000FA\r\n:020000020000FC\r\n" + data +
                                          " \r\n:0400000500000040B7\r\n:00000001FF\r\n");
  ASSERT_TRUE(plain.ok) << plain.reason;
  ASSERT_TRUE(toolchain.ok) << toolchain.reason;
  EXPECT_EQ(FormatImageSummary(SummarizeImage(toolchain.lines)), FormatImageSummary(SummarizeImage(plain.lines)));
  EXPECT_EQ(SummarizeImage(toolchain.lines).records, 1u);
  EXPECT_EQ(SummarizeImage(toolchain.lines).blocks, 1u);
}

}  // namespace
}  // namespace odu

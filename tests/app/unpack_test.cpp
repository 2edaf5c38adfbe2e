#include <gtest/gtest.h>

#include "protocol/intel_hex.h"
#include "app_fixture.h"

namespace odu::testing {
namespace {

using Unpack = AppFixture;

TEST_F(Unpack, TheEmbeddedImageFillsItsAddressesAndLeavesTheRestBlank) {
  panel->UnpackImage();
  const uint8_t* image = panel->Image;
  EXPECT_EQ(image[0x0021], 0xFF);
  EXPECT_EQ(image[0x0022], 0xFF);
  for (int a = 0x289B; a <= 0xFFFF; ++a) ASSERT_EQ(image[a], 0xFF) << a;
  const uint8_t first_line[6] = {0x00, 0x00, 0x5E, 0x00, 0x00, 0x71};
  EXPECT_TRUE(std::equal(first_line, first_line + 6, image + 0x288C));
  const uint8_t reset[16] = {0x02, 0x20, 0xBB, 0xA2, 0x14, 0x92, 0xB4, 0x12, 0x28, 0x85, 0x22, 0x02, 0x27, 0xFA, 0xC2, 0xB7};
  EXPECT_TRUE(std::equal(reset, reset + 16, image));
  EXPECT_EQ(panel->ProgressBar1->Max(), 10392);
  // Byte for byte what the records say, 0xFF everywhere else.
  std::vector<uint8_t> expected(65536, 0xFF);
  for (const std::string& line : panel->ProgSrc->Items) {
    const auto record = ParseRecord(line);
    ASSERT_TRUE(record) << line;
    std::copy(record->data.begin(), record->data.end(), expected.begin() + record->address);
  }
  EXPECT_TRUE(std::equal(expected.begin(), expected.end(), image));

  // Again, from a maximum that is already higher: nothing is lowered.
  panel->ProgressBar1->SetMax(20000);
  panel->Image[0x5000] = 0x12;
  panel->UnpackImage();
  EXPECT_EQ(panel->ProgressBar1->Max(), 20000);
  EXPECT_EQ(panel->Image[0x5000], 0xFF);
}

TEST_F(Unpack, TheEndRecordChangesNothing) {
  panel->UnpackImage();
  std::vector<uint8_t> with_end(panel->Image, panel->Image + 65536);
  panel->ProgSrc->Items.pop_back();
  panel->ProgressBar1->SetMax(100);
  panel->UnpackImage();
  EXPECT_TRUE(std::equal(with_end.begin(), with_end.end(), panel->Image));
  EXPECT_EQ(panel->ProgressBar1->Max(), 10392);
}

TEST_F(Unpack, AddressAndStartRecordsAFileCarriesProgramTheSameFlashAsWithoutThem) {
  // The image-file check keeps only the data and end records, normalised:
  // an address or start address record reaching the walk would be unpacked
  // as data at 0x0000 (see HandMadeImagesAreTakenLiterally).
  const std::string plain =
      ":040000001122334452\n:10001000000102030405060708090A0B0C0D0E0F68\n:02FFFE00A1A2BE\n:00000001FF\n";
  const std::string toolchain =
      "\xEF\xBB\xBF:020000040000FA\r\n:020000020000fc\r\n:040000001122334452 \r\n"
      ":10001000000102030405060708090a0b0c0d0e0f68\t\r\n:0400000300000100F8\r\n:020000040000FA\r\n"
      ":02FFFE00A1A2BE  \r\n:0400000500000100F6\r\n:00000001FF \r\n";
  const HexCheck with = CheckHexText(toolchain);
  const HexCheck without = CheckHexText(plain);
  ASSERT_TRUE(with.ok) << with.reason;
  ASSERT_TRUE(without.ok) << without.reason;
  EXPECT_EQ(with.lines, without.lines);

  panel->ProgSrc->Items = without.lines;
  panel->ProgressBar1->SetMax(100);
  panel->UnpackImage();
  const std::vector<uint8_t> expected(panel->Image, panel->Image + 65536);
  const int expected_max = panel->ProgressBar1->Max();
  EXPECT_EQ(expected[0x0000], 0x11);
  EXPECT_EQ(expected[0x001F], 0x0F);
  EXPECT_EQ(expected[0xFFFF], 0xA2);

  panel->ProgSrc->Items = with.lines;
  panel->ProgressBar1->SetMax(100);
  panel->UnpackImage();
  EXPECT_TRUE(std::equal(expected.begin(), expected.end(), panel->Image));
  EXPECT_EQ(panel->ProgressBar1->Max(), expected_max);
}

TEST_F(Unpack, HandMadeImagesAreTakenLiterally) {
  struct Row {
    const char* name;
    std::vector<std::string> lines;
    std::vector<std::pair<int, int>> bytes;  // address, value
    int max;
  };
  const Row rows[] = {
      {"a later record overwrites an earlier one", {":0200100011223F", ":01001100AA45"}, {{0x10, 0x11}, {0x11, 0xAA}}, 100},
      {"a record past 0xFFFF loses the excess", {":04FFFE00A1A2A3A4xx"}, {{0xFFFE, 0xA1}, {0xFFFF, 0xA2}, {0, 0xFF}, {1, 0xFF}}, 0xFFFE},
      {"a record of another type is unpacked as data", {":02020004BEEF4D"}, {{0x0200, 0xBE}, {0x0201, 0xEF}}, 0x0200},
      {"the maximum follows the start address, not the end", {":10007000000102030405060708090A0B0C0D0E0F00"}, {{0x7F, 0x0F}}, 0x70},
      {"a short line stores what it has and zeros", {":03004000AB"}, {{0x40, 0xAB}, {0x41, 0x00}, {0x42, 0x00}}, 100},
      {"lowercase digits read as hexadecimal", {":01005000ff"}, {{0x50, 0xFF}}, 100},
  };
  for (const Row& r : rows) {
    panel->ProgSrc->Items = r.lines;
    panel->ProgressBar1->SetMax(100);
    panel->UnpackImage();
    for (auto [addr, value] : r.bytes) EXPECT_EQ(panel->Image[addr], value) << r.name << " at " << addr;
    EXPECT_EQ(panel->ProgressBar1->Max(), r.max) << r.name;
  }
}

TEST_F(Unpack, ARecordRunningPastTheTopStoresNothingBeyondTheImage) {
  // In the window object the image is followed by the rest of the run's
  // state; a byte stored past 0xFFFF would land there.
  panel->LateReplies = 0;
  panel->Settling = false;
  panel->SettlePositive = false;
  panel->ProgSrc->Items = {":0CFFFC00A1A2A3A4A5A6A7A8A9AAABACxx"};
  panel->UnpackImage();
  EXPECT_EQ(panel->Image[0xFFFB], 0xFF);
  EXPECT_EQ(panel->Image[0xFFFC], 0xA1);
  EXPECT_EQ(panel->Image[0xFFFF], 0xA4);
  EXPECT_EQ(panel->Image[0x0000], 0xFF);
  EXPECT_EQ(panel->LateReplies, 0u);
  EXPECT_FALSE(panel->Settling);
  EXPECT_FALSE(panel->SettlePositive);
}

}  // namespace
}  // namespace odu::testing

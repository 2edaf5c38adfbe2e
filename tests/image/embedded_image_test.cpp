// Properties of the firmware image compiled into the program, decoded here
// on their own terms (not through the image-file checker), since the
// programming walk relies on them block by block.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <string>
#include <vector>

#include "protocol/intel_hex.h"
#include "resources/firmware_image.h"
#include "tests/support/hex_record.h"

namespace odu {
namespace {

constexpr size_t kSpace = 0x10000;

int Nibble(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;  // lowercase counts as malformed here: the image is uppercase
}

// The line's bytes after the colon, or empty when the line is not a colon
// followed by uppercase digit pairs.
std::vector<unsigned> Bytes(std::string_view line) {
  if (line.size() < 3 || line[0] != ':' || line.size() % 2 == 0) return {};
  std::vector<unsigned> out;
  for (size_t i = 1; i < line.size(); i += 2) {
    const int hi = Nibble(line[i]), lo = Nibble(line[i + 1]);
    if (hi < 0 || lo < 0) return {};
    out.push_back(static_cast<unsigned>(hi * 16 + lo));
  }
  return out;
}

struct Unpacked {
  std::array<unsigned, kSpace> image{};
  std::array<int, kSpace> setters{};  // records that set each address
  std::vector<unsigned> starts;       // data record start addresses, in line order
  std::vector<unsigned> counts;
};

Unpacked Unpack() {
  Unpacked u;
  u.image.fill(0xFF);
  const auto lines = EmbeddedFirmwareLines();
  for (size_t i = 0; i + 1 < lines.size(); ++i) {
    const auto b = Bytes(lines[i]);
    if (b.size() < 5) continue;  // reported by the well-formedness test
    const unsigned count = b[0], address = b[1] << 8 | b[2];
    u.starts.push_back(address);
    u.counts.push_back(count);
    for (unsigned j = 0; j < count && 4 + j < b.size() && address + j < kSpace; ++j) {
      u.image[address + j] = b[4 + j];
      ++u.setters[address + j];
    }
  }
  return u;
}

std::string DataRecord(const Unpacked& u, unsigned address) {
  return testing::HexRecord(address, std::vector<unsigned>(&u.image[address], &u.image[address] + 16));
}

bool Blank(const Unpacked& u, unsigned block) {
  return std::all_of(&u.image[block], &u.image[block] + 16, [](unsigned b) { return b == 0xFF; });
}

TEST(EmbeddedImage, Has731LinesFromTheTableRecordToTheEndRecord) {
  const auto lines = EmbeddedFirmwareLines();
  ASSERT_EQ(lines.size(), 731u);
  EXPECT_EQ(lines.front(), ":06288C0000005E00007177");
  EXPECT_EQ(lines.back(), ":00000001FF");
}

TEST(EmbeddedImage, EveryLineIsAnUppercaseRecordWithMatchingLengthAndValidChecksum) {
  const auto lines = EmbeddedFirmwareLines();
  size_t data_records = 0;
  for (size_t i = 0; i < lines.size(); ++i) {
    SCOPED_TRACE("line " + std::to_string(i + 1) + ": " + std::string(lines[i]));
    EXPECT_GE(lines[i].size(), 11u);
    EXPECT_LE(lines[i].size(), 43u);
    const auto b = Bytes(lines[i]);
    ASSERT_GE(b.size(), 5u) << "not a colon and uppercase hex digit pairs";
    EXPECT_EQ(lines[i].size(), 11 + 2 * b[0]);
    unsigned sum = 0;
    for (unsigned x : b) sum += x;
    EXPECT_EQ(sum % 256, 0u);
    if (i + 1 < lines.size()) {
      EXPECT_EQ(b[3], 0x00u);
      ++data_records;
    }
  }
  EXPECT_EQ(data_records, 730u);
}

TEST(EmbeddedImage, Carries10393BytesInRecordsOf1To16With604Full) {
  const Unpacked u = Unpack();
  ASSERT_EQ(u.counts.size(), 730u);
  unsigned total = 0;
  for (unsigned c : u.counts) total += c;
  EXPECT_EQ(total, 10393u);
  EXPECT_EQ(*std::min_element(u.counts.begin(), u.counts.end()), 1u);
  EXPECT_EQ(*std::max_element(u.counts.begin(), u.counts.end()), 16u);
  EXPECT_EQ(std::count(u.counts.begin(), u.counts.end(), 16u), 604);
}

TEST(EmbeddedImage, SetsEachAddressOnceCoveringExactlyTwoRanges) {
  const Unpacked u = Unpack();
  for (size_t a = 0; a < kSpace; ++a) {
    const bool covered = a <= 0x0020 || (a >= 0x0023 && a <= 0x289A);
    ASSERT_EQ(u.setters[a], covered ? 1 : 0) << "address " << a;
  }
  EXPECT_EQ(u.image[0x0021], 0xFFu);
  EXPECT_EQ(u.image[0x0022], 0xFFu);
}

TEST(EmbeddedImage, IsNotInAddressOrderAndHighestRecordIsThreeBytesAt0x2898) {
  const Unpacked u = Unpack();
  EXPECT_FALSE(std::is_sorted(u.starts.begin(), u.starts.end()));
  const auto top = std::max_element(u.starts.begin(), u.starts.end());
  ASSERT_NE(top, u.starts.end());
  EXPECT_EQ(*top, 0x2898u);
  EXPECT_EQ(u.counts[static_cast<size_t>(top - u.starts.begin())], 3u);
}

TEST(EmbeddedImage, ProgramsAllBlocksUpTo0x2890AndNothingAbove) {
  const Unpacked u = Unpack();
  EXPECT_EQ(DataRecord(u, 0x0000), ":100000000220BBA21492B4122885220227FAC2B79A");
  size_t sent = 0;
  for (unsigned block = 0; block < kSpace; block += 16) {
    if (block <= 0x2890) {
      EXPECT_FALSE(Blank(u, block)) << "block " << block;
      sent += Blank(u, block) ? 0 : 1;
    } else {
      EXPECT_TRUE(Blank(u, block)) << "block " << block;
    }
  }
  EXPECT_EQ(sent, 650u);
}

TEST(EmbeddedImage, PassesTheImageFileCheckUnchanged) {
  std::string text;
  for (std::string_view line : EmbeddedFirmwareLines()) text.append(line).append("\n");
  const HexCheck check = CheckHexText(text);
  ASSERT_TRUE(check.ok) << check.reason;
  const auto lines = EmbeddedFirmwareLines();
  EXPECT_TRUE(std::equal(check.lines.begin(), check.lines.end(), lines.begin(), lines.end()));
}

}  // namespace
}  // namespace odu

#include "app/cli/image_summary.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <span>
#include <string_view>

#include "protocol/bootloader.h"
#include "protocol/intel_hex.h"
#include "protocol/station_frame.h"
#include "resources/firmware_image.h"

namespace odu {
namespace {

constexpr uint32_t kSpace = 0x10000;

// What a frame adds to the record it carries: 0x5A, the length, 0x00, the
// command, and the two checksum bytes (BuildFrame).
constexpr size_t kFrameOverhead = 6;
// The station's replies: a status answer to the initialisation frame (0xA2
// and its value) and an acknowledgement (0xE5) of every record.
constexpr size_t kHandshakeReplyBytes = 8;
constexpr size_t kAckBytes = 7;
// The tool's fixed waits: the start delay between the handshake and the
// erase, and the handshake's read of ten bytes for a reply of eight, which
// ends at its timeout.
constexpr double kStartDelayS = 1.0;
constexpr double kHandshakeReadS = 1.0;

std::string Format(const char* format, auto... values) {
  char text[160];
  std::snprintf(text, sizeof text, format, values...);
  return text;
}

}  // namespace

ImageSummary SummarizeImage(const std::vector<std::string>* lines) {
  if (lines) return SummarizeImage(*lines);
  const std::span<const std::string_view> embedded = EmbeddedFirmwareLines();
  return SummarizeImage(std::vector<std::string>(embedded.begin(), embedded.end()));
}

ImageSummary SummarizeImage(const std::vector<std::string>& lines) {
  ImageSummary s;
  std::array<uint8_t, kSpace> image;
  UnpackRecords(lines, image.data());
  for (const std::string& line : lines) {
    if ((ScanHex(line, 7, 2) & 0xFF) != 0x00) continue;
    ++s.records;
    const unsigned count = ScanHex(line, 1, 2) & 0xFF;
    const unsigned address = ScanHex(line, 3, 4) & 0xFFFF;
    const unsigned end = std::min(address + count, kSpace);
    if (end <= address) continue;
    s.data_bytes += end - address;
    s.lowest = s.has_data ? std::min(s.lowest, address) : address;
    s.end = std::max(s.end, end);
    s.has_data = true;
  }
  for (uint32_t block = 0; block < kSpace; block += kBlockBytes) s.blocks += IsBlankBlock(&image[block]) ? 0 : 1;

  s.frames_sent = 2 + s.blocks + std::size(kClosingRecords);
  s.bytes_sent = sizeof kInitFrame + (std::strlen(kEraseRecord) + kFrameOverhead);
  s.bytes_sent += s.blocks * (kDataRecordChars + kFrameOverhead);
  for (const char* record : kClosingRecords) s.bytes_sent += std::strlen(record) + kFrameOverhead;
  s.replies = s.frames_sent;
  s.bytes_received = kHandshakeReplyBytes + (s.replies - 1) * kAckBytes;
  s.wire_s = static_cast<double>((s.bytes_sent + s.bytes_received) * kSummaryBitsPerByte) / kSummaryBaud;
  s.waits_s = kStartDelayS + kHandshakeReadS;
  s.expected_s = s.wire_s + s.waits_s;
  return s;
}

std::string FormatImageSummary(const ImageSummary& s) {
  std::string out;
  out += Format("records: %zu\n", s.records);
  out += Format("data bytes: %zu\n", s.data_bytes);
  out += s.has_data ? Format("address range: 0x%04X to 0x%04X (lowest, highest + 1)\n", static_cast<unsigned>(s.lowest),
                             static_cast<unsigned>(s.end))
                    : std::string("address range: none (no data)\n");
  out += Format("blocks sent: %zu (of 16 bytes; blank ones are skipped)\n", s.blocks);
  out += Format("frames sent: %zu (%zu bytes: handshake, erase, blocks, 3 closing commands)\n", s.frames_sent,
                s.bytes_sent);
  out += Format("replies: %zu (%zu bytes)\n", s.replies, s.bytes_received);
  out += Format("wire time: %.3f s (both ways, at %u baud, %u bits a byte)\n", s.wire_s,
                static_cast<unsigned>(kSummaryBaud), static_cast<unsigned>(kSummaryBitsPerByte));
  out += Format("expected time: %.1f s (wire time plus the tool's fixed waits of %.0f s; the station's erase and "
                "answer times are not included)\n",
                s.expected_s, s.waits_s);
  return out;
}

}  // namespace odu

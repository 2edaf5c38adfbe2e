// What a run would send for an image, worked out from its record lines
// without opening any port: for --check-image, and for anyone who wants to
// know how long an upgrade takes.
//
// The figures follow the programming sequence of app/main_panel.cpp: the
// handshake (the initialisation frame and the station's reply), a
// one-second start delay, the erase, one data record per 16-byte block of
// the unpacked image that is not blank (all 0xFF; blank blocks are skipped,
// as DoStep and the progress line's count skip them), and the three closing
// commands, each acknowledged by the station. Every frame is a station frame
// (protocol/station_frame.h) carrying one record as text; the reply sizes are
// those of the station as sim/station.cpp models it.
//
// The expected time is the wire time of all those bytes, both ways, at
// 19,200 baud with 10 bits a byte (start, 8 data, stop), plus the tool's
// fixed waits: the start delay and the handshake's read, which asks for ten
// bytes and so waits out its one-second timeout for a reply of eight. It
// assumes a fault-free run with the station on the first port tried. Not
// included, since they cannot be known here: the station's erase time and
// its time to answer each command, the scan's time on other ports, and
// retries. The handshake's reply travels during the read's wait, so a run
// with an instant station takes that reply's time (about 4 ms) less.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace odu {

// The line rate and the bits each byte takes on the wire.
inline constexpr uint32_t kSummaryBaud = 19200;
inline constexpr uint32_t kSummaryBitsPerByte = 10;

struct ImageSummary {
  size_t records = 0;        // data records (type 00)
  size_t data_bytes = 0;     // the bytes they carry inside the 64 KiB
  bool has_data = false;     // at least one data byte; then:
  uint32_t lowest = 0;       //   the lowest address with data
  uint32_t end = 0;          //   the highest address with data, plus 1 (up to 0x10000)
  size_t blocks = 0;         // 16-byte blocks sent (the non-blank ones)
  size_t frames_sent = 0;    // the initialisation frame, the erase, one per block, the three closing commands
  size_t bytes_sent = 0;     // the bytes of those frames
  size_t replies = 0;        // the station's replies: one per frame sent
  size_t bytes_received = 0; // the bytes of those replies
  double wire_s = 0;         // (bytes_sent + bytes_received) at kSummaryBaud
  double waits_s = 0;        // the tool's fixed waits
  double expected_s = 0;     // wire_s + waits_s
};

// Works out the figures for `lines`: the record lines a run programs, as
// CheckHexText keeps them (HexCheck::lines) or as the embedded image holds
// them (EmbeddedFirmwareLines()). The image is unpacked as
// TMainPanel::UnpackImage unpacks it: every line's bytes at the address it
// carries, read at fixed character positions.
ImageSummary SummarizeImage(const std::vector<std::string>& lines);
// The summary of `lines`, or of the image the program carries when null.
ImageSummary SummarizeImage(const std::vector<std::string>* lines);

// The summary as a few lines of "key: value", each ending in a newline; the
// value starts with the figure, and what follows it in parentheses explains.
std::string FormatImageSummary(const ImageSummary& summary);

}  // namespace odu

// The window's status texts and the captions of its boxes, each with the
// value the rest of the program passes instead of the text: what a run
// reached and how it ended are decided on these values, and the texts are
// written here once.
#pragma once

#include <string_view>

namespace odu {

// The stage of a run, as the window's status line shows it.
enum class Stage {
  kIdle,          // the line is empty: before Start, and after a failure
  kInitialize,    // "Initialize bootloader...": the port scan and handshake
  kErase,         // "Erase processor..."
  kProgramming,   // "Programming..."
  kReset,         // "Reset station...": the closing commands
  kDone,          // "Done."
};
const char* StageText(Stage stage);

// Whether the run waits on the station in this stage (a long wait is worth
// telling), and whether the bar and the bytes mean something in it.
bool Waits(Stage stage);
bool ShowsBytes(Stage stage);

// What a message box is about, by its caption.
enum class Caption {
  kOther,
  kHardware,     // "Hardware error.": no station found
  kInitialize,   // "Initialize error.": the station refused the bootloader
  kUpgrade,      // "Upgrade error.": the programming sequence failed
  kSerialPort,   // "Serial Port Error.": a call of the port component failed
};
const char* CaptionText(Caption caption);
// The caption of a box as the toolkit was given it.
Caption CaptionOf(std::string_view text);

// The Hardware error's message: the scan found no station.
inline constexpr char kStationNotFound[] = "Station ORVELA not found.";
// The Upgrade error's messages: a refusal or a garbled reply, and no reply.
inline constexpr char kCommunicationError[] = "Communication error.";
inline constexpr char kCommandTimeout[] = "Command timeout.";

}  // namespace odu

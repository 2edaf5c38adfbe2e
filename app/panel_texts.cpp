#include "app/panel_texts.h"

#include "comm/thread_comm.h"

namespace odu {

const char* StageText(Stage stage) {
  switch (stage) {
    case Stage::kIdle: return "";
    case Stage::kInitialize: return "Initialize bootloader...";
    case Stage::kErase: return "Erase processor...";
    case Stage::kProgramming: return "Programming...";
    case Stage::kReset: return "Reset station...";
    case Stage::kDone: return "Done.";
  }
  return "";
}

bool Waits(Stage stage) { return stage != Stage::kIdle && stage != Stage::kDone; }

bool ShowsBytes(Stage stage) { return stage == Stage::kProgramming || stage == Stage::kReset || stage == Stage::kDone; }

const char* CaptionText(Caption caption) {
  switch (caption) {
    case Caption::kOther: return "";
    case Caption::kHardware: return "Hardware error.";
    case Caption::kInitialize: return "Initialize error.";
    case Caption::kUpgrade: return "Upgrade error.";
    case Caption::kSerialPort: return kSerialPortErrorCaption;
  }
  return "";
}

Caption CaptionOf(std::string_view text) {
  for (Caption c : {Caption::kHardware, Caption::kInitialize, Caption::kUpgrade, Caption::kSerialPort})
    if (text == CaptionText(c)) return c;
  return Caption::kOther;
}

}  // namespace odu

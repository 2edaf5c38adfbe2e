#include "app/run/run_explained.h"

#include <algorithm>
#include <cstdio>

#include "app/main_panel.h"
#include "app/panel_texts.h"
#include "protocol/bootloader.h"

namespace odu {

namespace {

std::string Hex(int32_t address) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%04X", static_cast<unsigned>(address) & 0xFFFFu);
  return text;
}

// The command at `at`, and the unit's state when it did not get through.
struct CommandState {
  std::string command;
  std::string unit;
};

CommandState StateAt(const SequencePoint& at) {
  switch (at.step) {
    case 1: return {"the erase", "the unit's firmware may be partly erased"};
    case 2: return {"the record at " + Hex(at.address), "the unit is erased and not fully programmed"};
    case 3:
    case 4:
    case 5:
      return {"closing command " + std::to_string(at.step - 2) + " of 3",
              "the unit is programmed but the bootloader did not finish (it may not start the new firmware)"};
    default: return {"the first command", "the unit's firmware is unchanged"};
  }
}

// The sends of the command that failed with `message`: each timeout and
// each refusal but a refused erase is followed by a re-send, up to four.
uint32_t AttemptsOf(const TMainPanel& panel, const std::string& message, const SequencePoint& at) {
  // A refused erase ends the run at once, after the timeouts before it.
  if (at.step == 1 && message == kCommunicationError) return panel.Retries + 1;
  return std::max<uint32_t>(1, panel.Retries);
}

}  // namespace

SequencePoint PointOf(const TMainPanel& panel) { return {panel.Step, panel.Address}; }

std::string ExplainUpgradeError(const TMainPanel& panel, const std::string& message, const SequencePoint& at,
                                bool port_gone) {
  const CommandState state = StateAt(at);
  const uint32_t attempts = AttemptsOf(panel, message, at);
  const std::string tries = std::to_string(attempts) + (attempts == 1 ? " attempt" : " attempts");
  if (port_gone) {
    return "The port has gone: was the adapter unplugged? The run stopped at " + state.command + ": " + state.unit +
           ". Plug the adapter in again and run odu-upgrade again.";
  }
  if (panel.RepliesOutOfStep) {
    return "The replies fell out of step after a late reply: the station answered once more after the last "
           "command, so a reply was taken for the wrong command and the unit may not be fully programmed. "
           "Run odu-upgrade again.";
  }
  const std::string each = std::to_string((at.step == 1 ? kEraseTimeoutMs : kReplyTimeoutMs) / 1000) + " s";
  if (message == kCommandTimeout) {
    return "The station did not answer " + state.command + " (" + tries + ", " + each + " each): " + state.unit +
           ". Check the cable and the station's power, then run odu-upgrade again.";
  }
  if (message == kCommunicationError) {
    return "The station refused " + state.command + " (" + tries + "): " + state.unit +
           ". Run odu-upgrade again; if it fails at the same place, check the image.";
  }
  return "The run stopped at " + state.command + ": " + state.unit + ". Run odu-upgrade again.";
}

std::string InterruptedLine(const TMainPanel& panel) {
  const bool untouched = panel.Step == 0 || (panel.Step == 1 && panel.SendPending && panel.Retries == 0);
  if (untouched) return "Upgrade interrupted before the erase: the port is closed and the unit's firmware is unchanged.";
  if (panel.EndCheck)
    return "Upgrade interrupted after the last command was acknowledged, while the tool listened for a reply still "
           "owed after a timeout: the port is closed and the unit is likely programmed, but that was not confirmed. "
           "Run odu-upgrade again.";
  const SequencePoint at = PointOf(panel);
  const CommandState state = StateAt(at);
  const std::string where = at.step == 1   ? "during the erase"
                            : at.step == 2 ? "during programming at " + Hex(at.address)
                                           : "at " + state.command;
  return "Upgrade interrupted " + where + ": the port is closed and " + state.unit + ". Run odu-upgrade again.";
}

}  // namespace odu

// The lines the command line adds when a run ends early, after the window's
// own message: which command the run had reached, what state that leaves
// the unit in, and what to do.
#pragma once

#include <cstdint>
#include <string>

namespace odu {

class TMainPanel;

// Where the programming sequence was when it last sent a command.
struct SequencePoint {
  int32_t step = 0;     // 1 the erase, 2 a data record, 3 to 5 the closing commands
  int32_t address = 0;  // of the data record
};

// Taken from the window's state while a command is being sent.
SequencePoint PointOf(const TMainPanel& panel);

// After "Upgrade error. <message>" of `panel`'s run: the command, the
// attempts made, the unit's state and what to do; `port_gone` when the
// port's hardware went away during the run.
std::string ExplainUpgradeError(const TMainPanel& panel, const std::string& message, const SequencePoint& at,
                                bool port_gone);

// The line said when the user interrupts a run, by the state it had reached.
std::string InterruptedLine(const TMainPanel& panel);

}  // namespace odu

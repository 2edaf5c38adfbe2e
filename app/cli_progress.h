// Shows the window's status line and progress bar on a terminal: one line
// redrawn in place with a bar, percentage, bytes, rate and time left; or,
// when the output is no terminal, plain lines as the run moves on.
#pragma once

#include <cstdio>
#include <string>

#include "platform/clock.h"

namespace odu {

class TMainPanel;

class ProgressReporter {
 public:
  ProgressReporter(TMainPanel& panel, std::FILE* out, bool terminal, platform::Clock& clock);
  ~ProgressReporter();
  ProgressReporter(const ProgressReporter&) = delete;
  ProgressReporter& operator=(const ProgressReporter&) = delete;

  // Ends a line being redrawn, before something else is printed.
  void Break();

 private:
  class StatusPeer;
  class BarPeer;
  void StatusChanged();
  void PositionChanged();
  void CountImage();
  void Draw();
  int DoneBytes() const;

  TMainPanel& panel_;
  std::FILE* out_;
  bool terminal_;
  platform::Clock& clock_;
  std::string status_;
  int total_bytes_ = 0;
  int blocks_below_[4097] = {};  // non-blank blocks below each block index
  platform::Nanos programming_since_{};
  bool line_open_ = false;
  int last_decile_ = -1;
  platform::Nanos last_draw_{};
};

}  // namespace odu

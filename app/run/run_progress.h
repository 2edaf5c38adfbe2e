// Follows one run through the window's stage and progress bar, and
// works out what a progress display shows of it: the stage, the bytes of the
// image programmed so far (the blocks that are sent, not the address
// reached), the rate and the time left.
#pragma once

#include <functional>
#include <string>

#include "app/panel_texts.h"
#include "app/run/progress_figures.h"
#include "platform/clock.h"

namespace odu {

class TMainPanel;

class RunProgress {
 public:
  // `changed` is called on the run's thread after the status line changed
  // (stage true) or the bar moved (stage false).
  RunProgress(TMainPanel& panel, platform::Clock& clock, std::function<void(bool stage)> changed);
  ~RunProgress();
  RunProgress(const RunProgress&) = delete;
  RunProgress& operator=(const RunProgress&) = delete;

  Stage stage() const { return stage_; }
  // Whether the bar, percentage and bytes mean something in this stage.
  bool counting() const;
  int done_bytes() const;
  int total_bytes() const { return total_bytes_; }
  // The bytes programmed when the run last moved on, kept after a failed
  // end has cleared the window.
  int programmed_bytes() const { return programmed_; }
  // The figures for a progress line (without a port), as of now: while the
  // tool waits for a reply (a long erase, a retry) the time left counts on
  // down and the wait is shown once it has lasted a while.
  ProgressFigures Figures() const;

 private:
  void StatusChanged(Stage stage);
  void PositionChanged();
  void CountImage();
  void Moved();

  TMainPanel& panel_;
  platform::Clock& clock_;
  std::function<void(bool)> changed_;
  Stage stage_ = Stage::kIdle;
  int total_bytes_ = 0;
  int blocks_below_[4097] = {};  // non-blank blocks below each block index
  platform::Nanos programming_since_{};
  platform::Nanos moved_at_{};  // when the stage changed or the bar moved last
  double left_at_move_ = -1;    // the time left then, in seconds
  int programmed_ = 0;
};

}  // namespace odu

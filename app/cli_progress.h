// Shows one run's status line and progress bar on a terminal: one line
// redrawn in place with a bar, percentage, bytes, rate and time left, fitted
// to the terminal's width at each redraw and redrawn every second while the
// tool waits; or, when the output is no terminal, plain lines as the run
// moves on.
#pragma once

#include <cstdio>
#include <functional>
#include <memory>
#include <string>

#include "app/run_progress.h"
#include "platform/clock.h"
#include "platform/toolkit/toolkit.h"

namespace odu {

class ProgressReporter {
 public:
  // Shows what `progress` follows; its owner calls Changed. `columns`
  // gives the terminal's width (0 or unset: 80).
  ProgressReporter(const RunProgress& progress, std::FILE* out, bool terminal, platform::Clock& clock,
                   std::function<int()> columns = {});
  ~ProgressReporter();
  ProgressReporter(const ProgressReporter&) = delete;
  ProgressReporter& operator=(const ProgressReporter&) = delete;

  // The run's status line changed (stage true) or its bar moved.
  void Changed(bool stage);
  // Ends a line being redrawn, before something else is printed.
  void Break();

 private:
  void StatusChanged();
  void PositionChanged();
  void Draw();

  std::FILE* out_;
  bool terminal_;
  platform::Clock& clock_;
  std::function<int()> columns_;
  const RunProgress& progress_;
  std::unique_ptr<platform::TTimer> tick_;  // redraws while nothing moves
  bool line_open_ = false;
  int last_decile_ = -1;
  platform::Nanos last_draw_{};
};

}  // namespace odu

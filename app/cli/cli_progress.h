// Shows one run's status line and progress bar on a terminal: one line
// redrawn in place with a bar, percentage, bytes, rate and time left, fitted
// to the terminal's width at each redraw and redrawn every second while the
// tool waits; or, when the output is no terminal, plain lines as the run
// moves on.
#pragma once

#include <cstdio>
#include <functional>

#include "app/run/progress_figures.h"
#include "app/run/run_view.h"
#include "platform/clock.h"

namespace odu {

class ProgressReporter {
 public:
  // `columns` gives the terminal's width (0 or unset: 80).
  ProgressReporter(std::FILE* out, bool terminal, platform::Clock& clock, std::function<int()> columns = {});
  ~ProgressReporter();
  ProgressReporter(const ProgressReporter&) = delete;
  ProgressReporter& operator=(const ProgressReporter&) = delete;

  void Changed(const ProgressFigures& figures, Change change);
  // Ends a line being redrawn, before something else is printed.
  void Break();

 private:
  void Draw(const ProgressFigures& figures);

  std::FILE* out_;
  bool terminal_;
  platform::Clock& clock_;
  std::function<int()> columns_;
  bool line_open_ = false;
  int last_decile_ = -1;
  platform::Nanos last_draw_{};
};

}  // namespace odu

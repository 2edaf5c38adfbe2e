#include "app/cli/cli_progress.h"

#include "app/cli/progress_line.h"

namespace odu {

using namespace odu::platform;

ProgressReporter::ProgressReporter(std::FILE* out, bool terminal, Clock& clock, std::function<int()> columns)
    : out_(out), terminal_(terminal), clock_(clock), columns_(std::move(columns)) {}

ProgressReporter::~ProgressReporter() { Break(); }

void ProgressReporter::Break() {
  if (line_open_) {
    std::fputc('\n', out_);
    std::fflush(out_);
    line_open_ = false;
  }
}

void ProgressReporter::Changed(const ProgressFigures& f, Change change) {
  switch (change) {
    case Change::kStage:
      if (f.stage_kind == Stage::kIdle) {
        Break();  // a failed end; its message follows
      } else if (!terminal_) {
        std::fprintf(out_, "%s\n", f.stage.c_str());
        std::fflush(out_);
      } else {
        Draw(f);
        if (f.stage_kind == Stage::kDone) Break();
      }
      return;
    case Change::kBar: {
      if (terminal_) {
        // Redrawing more often than a person can read costs time on the wire.
        if (clock_.Now() - last_draw_ >= Millis(50)) Draw(f);
        return;
      }
      const int percent = PercentDone(f.done_bytes, f.total_bytes);
      if (const int decile = percent / 10; decile != last_decile_ && decile > 0) {
        last_decile_ = decile;
        std::fprintf(out_, "Programming... %d%% (%d of %d bytes)\n", percent, f.done_bytes, f.total_bytes);
        std::fflush(out_);
      }
      return;
    }
    case Change::kTick:
      // While the tool waits the line counts on: the time left, the wait.
      if (terminal_ && line_open_ && Waits(f.stage_kind)) Draw(f);
      return;
  }
}

void ProgressReporter::Draw(const ProgressFigures& figures) {
  last_draw_ = clock_.Now();
  int columns = columns_ ? columns_() : 0;
  if (columns <= 0) columns = 80;
  // "\r" and the line, then clear what a longer earlier line left.
  const std::string line = "\r" + FormatProgressLine(figures, columns) + "\x1b[K";
  std::fputs(line.c_str(), out_);
  std::fflush(out_);
  line_open_ = true;
}

}  // namespace odu

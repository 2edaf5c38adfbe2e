#include "app/cli_progress.h"

#include <algorithm>


namespace odu {

using namespace odu::platform;

ProgressReporter::ProgressReporter(const RunProgress& progress, std::FILE* out, bool terminal, Clock& clock,
                                   std::function<int()> columns)
    : out_(out), terminal_(terminal), clock_(clock), columns_(std::move(columns)), progress_(progress) {
  if (!terminal_) return;
  tick_ = std::make_unique<TTimer>(nullptr);
  tick_->SetEnabled(false);
  tick_->SetInterval(1000);
  tick_->OnTimer = [this](TTimer&) {
    if (line_open_) Draw();
  };
}

ProgressReporter::~ProgressReporter() { Break(); }

void ProgressReporter::Changed(bool stage) {
  if (stage) StatusChanged();
  else PositionChanged();
}

void ProgressReporter::Break() {
  if (line_open_) {
    std::fputc('\n', out_);
    std::fflush(out_);
    line_open_ = false;
  }
}

void ProgressReporter::StatusChanged() {
  const std::string& stage = progress_.stage();
  const bool going = !stage.empty() && stage != "Done.";
  if (tick_ && tick_->Enabled() != going) tick_->SetEnabled(going);
  if (stage.empty()) {
    Break();  // a failed end; its message follows
    return;
  }
  if (!terminal_) {
    std::fprintf(out_, "%s\n", stage.c_str());
    std::fflush(out_);
    return;
  }
  Draw();
  if (stage == "Done.") Break();
}

void ProgressReporter::PositionChanged() {
  if (!terminal_) {
    const int total = progress_.total_bytes();
    const int done = progress_.done_bytes();
    const int percent = total ? done * 100 / total : 100;
    const int decile = percent / 10;
    if (decile != last_decile_ && decile > 0) {
      last_decile_ = decile;
      std::fprintf(out_, "Programming... %d%% (%d of %d bytes)\n", std::min(percent, 100), done, total);
      std::fflush(out_);
    }
    return;
  }
  // Redrawing more often than a person can read costs time on the wire.
  const Nanos now = clock_.Now();
  if (now - last_draw_ < Millis(50)) return;
  Draw();
}

void ProgressReporter::Draw() {
  last_draw_ = clock_.Now();
  int columns = columns_ ? columns_() : 0;
  if (columns <= 0) columns = 80;
  // "\r" and the line, then clear what a longer earlier line left.
  const std::string line = "\r" + FormatProgressLine(progress_.Figures(), columns) + "\x1b[K";
  std::fputs(line.c_str(), out_);
  std::fflush(out_);
  line_open_ = true;
}

}  // namespace odu

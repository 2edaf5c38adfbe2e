#include "app/run/run_progress.h"

#include <algorithm>

#include "app/main_panel.h"
#include "protocol/bootloader.h"

namespace odu {

using namespace odu::platform;

RunProgress::RunProgress(TMainPanel& panel, Clock& clock, std::function<void(bool)> changed)
    : panel_(panel), clock_(clock), changed_(std::move(changed)) {
  panel_.OnStage = [this](Stage stage) { StatusChanged(stage); };
  panel_.OnPosition = [this](int32_t) { PositionChanged(); };
}

RunProgress::~RunProgress() {
  panel_.OnStage = nullptr;
  panel_.OnPosition = nullptr;
}

void RunProgress::CountImage() {
  total_bytes_ = 0;
  for (int block = 0; block < 4096; ++block) {
    blocks_below_[block] = total_bytes_ / 16;
    if (!IsBlankBlock(panel_.Image + block * kBlockBytes)) total_bytes_ += kBlockBytes;
  }
  blocks_below_[4096] = total_bytes_ / 16;
}

bool RunProgress::counting() const { return ShowsBytes(stage_); }

int RunProgress::done_bytes() const {
  if (stage_ == Stage::kReset || stage_ == Stage::kDone) return total_bytes_;
  if (stage_ != Stage::kProgramming) return 0;
  const int position = std::clamp(panel_.ProgressBar1->Position(), 0, 0x10000);
  return blocks_below_[position / 16] * 16;
}

void RunProgress::StatusChanged(Stage stage) {
  if (stage == stage_) return;
  stage_ = stage;
  if (stage_ == Stage::kErase) {
    CountImage();
    programmed_ = 0;
  }
  if (stage_ == Stage::kProgramming) programming_since_ = clock_.Now();
  if (counting()) programmed_ = done_bytes();
  Moved();
  changed_(true);
}

void RunProgress::PositionChanged() {
  if (stage_ != Stage::kProgramming) return;
  programmed_ = done_bytes();
  Moved();
  changed_(false);
}

void RunProgress::Moved() {
  moved_at_ = clock_.Now();
  left_at_move_ = -1;
  if (stage_ != Stage::kProgramming) return;
  const int done = done_bytes();
  const double seconds = std::chrono::duration<double>(moved_at_ - programming_since_).count();
  if (seconds > 0.05 && done > 0 && done < total_bytes_) left_at_move_ = (total_bytes_ - done) * seconds / done;
}

ProgressFigures RunProgress::Figures() const {
  ProgressFigures f;
  f.stage_kind = stage_;
  f.stage = StageText(stage_);
  f.counting = counting() && total_bytes_ > 0;
  f.done_bytes = done_bytes();
  f.total_bytes = total_bytes_;
  if (stage_ == Stage::kProgramming) {
    const double seconds = std::chrono::duration<double>(moved_at_ - programming_since_).count();
    f.rate = seconds > 0.05 ? f.done_bytes / seconds : 0.0;
  }
  const double waited = std::chrono::duration<double>(clock_.Now() - moved_at_).count();
  if (left_at_move_ >= 0) f.seconds_left = static_cast<int>(std::max(0.0, left_at_move_ - waited) + 0.5);
  // A record's reply takes milliseconds; a wait this long is worth telling.
  constexpr double kLongWait = 2.0;
  if (Waits(stage_) && waited >= kLongWait) f.waiting_s = static_cast<int>(waited);
  return f;
}

}  // namespace odu

#include "app/run_progress.h"

#include <algorithm>

#include "app/main_panel.h"

namespace odu {

using namespace odu::platform;

class RunProgress::StatusPeer final : public ControlPeer {
 public:
  explicit StatusPeer(RunProgress& r) : r_(r) {}
  void Changed() override { r_.StatusChanged(); }
  void Repaint() override { r_.StatusChanged(); }

 private:
  RunProgress& r_;
};

class RunProgress::BarPeer final : public ControlPeer {
 public:
  explicit BarPeer(RunProgress& r) : r_(r) {}
  void Changed() override { r_.PositionChanged(); }
  void Repaint() override {}

 private:
  RunProgress& r_;
};

RunProgress::RunProgress(TMainPanel& panel, Clock& clock, std::function<void(bool)> changed)
    : panel_(panel), clock_(clock), changed_(std::move(changed)) {
  panel_.StaticText1->SetPeer(std::make_unique<StatusPeer>(*this));
  panel_.ProgressBar1->SetPeer(std::make_unique<BarPeer>(*this));
}

RunProgress::~RunProgress() {
  panel_.StaticText1->SetPeer(nullptr);
  panel_.ProgressBar1->SetPeer(nullptr);
}

void RunProgress::CountImage() {
  total_bytes_ = 0;
  for (int block = 0; block < 4096; ++block) {
    blocks_below_[block] = total_bytes_ / 16;
    const uint8_t* b = panel_.Image + block * 16;
    if (std::any_of(b, b + 16, [](uint8_t v) { return v != 0xFF; })) total_bytes_ += 16;
  }
  blocks_below_[4096] = total_bytes_ / 16;
}

bool RunProgress::counting() const {
  return stage_ == "Programming..." || stage_ == "Reset station..." || stage_ == "Done.";
}

int RunProgress::done_bytes() const {
  if (stage_ == "Reset station..." || stage_ == "Done.") return total_bytes_;
  if (stage_ != "Programming...") return 0;
  const int position = std::clamp(panel_.ProgressBar1->Position(), 0, 0x10000);
  return blocks_below_[position / 16] * 16;
}

void RunProgress::StatusChanged() {
  const std::string& text = panel_.StaticText1->Caption();
  if (text == stage_) return;
  stage_ = text;
  if (stage_ == "Erase processor...") {
    CountImage();
    programmed_ = 0;
  }
  if (stage_ == "Programming...") programming_since_ = clock_.Now();
  if (counting()) programmed_ = done_bytes();
  Moved();
  changed_(true);
}

void RunProgress::PositionChanged() {
  if (stage_ != "Programming...") return;
  programmed_ = done_bytes();
  Moved();
  changed_(false);
}

void RunProgress::Moved() {
  moved_at_ = clock_.Now();
  left_at_move_ = -1;
  if (stage_ != "Programming...") return;
  const int done = done_bytes();
  const double seconds = std::chrono::duration<double>(moved_at_ - programming_since_).count();
  if (seconds > 0.05 && done > 0 && done < total_bytes_) left_at_move_ = (total_bytes_ - done) * seconds / done;
}

ProgressFigures RunProgress::Figures() const {
  ProgressFigures f;
  f.stage = stage_;
  f.counting = counting() && total_bytes_ > 0;
  f.done_bytes = done_bytes();
  f.total_bytes = total_bytes_;
  if (stage_ == "Programming...") {
    const double seconds = std::chrono::duration<double>(moved_at_ - programming_since_).count();
    f.rate = seconds > 0.05 ? f.done_bytes / seconds : 0.0;
  }
  const double waited = std::chrono::duration<double>(clock_.Now() - moved_at_).count();
  if (left_at_move_ >= 0) f.seconds_left = static_cast<int>(std::max(0.0, left_at_move_ - waited) + 0.5);
  // A record's reply takes milliseconds; a wait this long is worth telling.
  constexpr double kLongWait = 2.0;
  const bool waiting = stage_ == "Initialize bootloader..." || stage_ == "Erase processor..." ||
                       stage_ == "Programming..." || stage_ == "Reset station...";
  if (waiting && waited >= kLongWait) f.waiting_s = static_cast<int>(waited);
  return f;
}

}  // namespace odu

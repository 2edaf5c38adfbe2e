#include "app/cli_progress.h"

#include <algorithm>

#include "app/main_panel.h"

namespace odu {

using namespace odu::platform;

class ProgressReporter::StatusPeer final : public ControlPeer {
 public:
  explicit StatusPeer(ProgressReporter& r) : r_(r) {}
  void Changed() override { r_.StatusChanged(); }
  void Repaint() override { r_.StatusChanged(); }

 private:
  ProgressReporter& r_;
};

class ProgressReporter::BarPeer final : public ControlPeer {
 public:
  explicit BarPeer(ProgressReporter& r) : r_(r) {}
  void Changed() override { r_.PositionChanged(); }
  void Repaint() override {}

 private:
  ProgressReporter& r_;
};

ProgressReporter::ProgressReporter(TMainPanel& panel, std::FILE* out, bool terminal, Clock& clock)
    : panel_(panel), out_(out), terminal_(terminal), clock_(clock) {
  panel_.StaticText1->SetPeer(std::make_unique<StatusPeer>(*this));
  panel_.ProgressBar1->SetPeer(std::make_unique<BarPeer>(*this));
}

ProgressReporter::~ProgressReporter() {
  panel_.StaticText1->SetPeer(nullptr);
  panel_.ProgressBar1->SetPeer(nullptr);
  Break();
}

void ProgressReporter::Break() {
  if (line_open_) {
    std::fputc('\n', out_);
    std::fflush(out_);
    line_open_ = false;
  }
}

void ProgressReporter::CountImage() {
  total_bytes_ = 0;
  for (int block = 0; block < 4096; ++block) {
    blocks_below_[block] = total_bytes_ / 16;
    const uint8_t* b = panel_.Image + block * 16;
    if (std::any_of(b, b + 16, [](uint8_t v) { return v != 0xFF; })) total_bytes_ += 16;
  }
  blocks_below_[4096] = total_bytes_ / 16;
}

int ProgressReporter::DoneBytes() const {
  if (status_ == "Reset station..." || status_ == "Done.") return total_bytes_;
  if (status_ != "Programming...") return 0;
  const int position = std::clamp(panel_.ProgressBar1->Position(), 0, 0x10000);
  return blocks_below_[position / 16] * 16;
}

void ProgressReporter::StatusChanged() {
  const std::string& text = panel_.StaticText1->Caption();
  if (text == status_) return;
  status_ = text;
  if (status_ == "Erase processor...") CountImage();
  if (status_ == "Programming...") programming_since_ = clock_.Now();
  if (status_.empty()) {
    Break();  // a failed end; its message follows
    return;
  }
  if (!terminal_) {
    std::fprintf(out_, "%s\n", status_.c_str());
    std::fflush(out_);
    return;
  }
  Draw();
  if (status_ == "Done.") Break();
}

void ProgressReporter::PositionChanged() {
  if (status_ != "Programming...") return;
  if (!terminal_) {
    const int percent = total_bytes_ ? DoneBytes() * 100 / total_bytes_ : 100;
    const int decile = percent / 10;
    if (decile != last_decile_ && decile > 0) {
      last_decile_ = decile;
      std::fprintf(out_, "Programming... %d%% (%d of %d bytes)\n", std::min(percent, 100), DoneBytes(), total_bytes_);
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
  const int done = DoneBytes();
  const int total = total_bytes_;
  const bool counting = status_ == "Programming..." || status_ == "Reset station..." || status_ == "Done.";
  std::string line = "\r";
  if (counting && total > 0) {
    const int percent = std::min(100, done * 100 / total);
    constexpr int kWidth = 30;
    const int fill = percent * kWidth / 100;
    line += "[" + std::string(static_cast<size_t>(fill), '#') + std::string(static_cast<size_t>(kWidth - fill), '.') + "] ";
    char figures[128];
    const double seconds = std::chrono::duration<double>(clock_.Now() - programming_since_).count();
    const double rate = seconds > 0.05 ? done / seconds : 0.0;
    if (rate > 0 && done < total) {
      const int left = static_cast<int>((total - done) / rate + 0.5);
      std::snprintf(figures, sizeof figures, "%3d%%  %d/%d bytes  %.0f B/s  %d:%02d left  ", percent, done, total, rate, left / 60, left % 60);
    } else {
      std::snprintf(figures, sizeof figures, "%3d%%  %d/%d bytes  ", percent, done, total);
    }
    line += figures;
  }
  line += status_;
  line += "\x1b[K";  // clear what a longer earlier line left
  std::fputs(line.c_str(), out_);
  std::fflush(out_);
  line_open_ = true;
}

}  // namespace odu

#include "app/run/station_run.h"

#include "app/run/exit_status.h"
#include "app/run/run_explained.h"

namespace odu {

using namespace odu::platform;

namespace {

int StatusOfBox(Caption caption) {
  switch (caption) {
    case Caption::kHardware: return kExitNotFound;
    case Caption::kInitialize: return kExitRefused;
    case Caption::kUpgrade: return kExitUpgradeError;
    default: return kExitDone;  // the port's own reports do not end the run
  }
}

}  // namespace

StationRun::StationRun(Clock& clock, SerialOpener& opener) : clock_(clock), toolkit_(clock), app_(toolkit_) {
  app_.Initialize();
  app_.Title = "TZ_M -> ODU";
  app_.CreateForm(panel_);
  panel_->Port->SetOpener(&opener);
  panel_->StopScan = [this] { return scan_stopped_ = stop_.load(); };
  toolkit_.on_box = [this](const HeadlessToolkit::Box& shown) {
    const RunBox box{CaptionOf(shown.caption), shown.caption, shown.text};
    if (const int s = StatusOfBox(box.caption); s != kExitDone) {
      status_ = s;
      failure_ = box.Line();
    }
    if (on_box) on_box(box);
  };
}

StationRun::~StationRun() = default;

bool StationRun::ended() const { return panel_->Button1->Enabled() && panel_->Step == 0; }

void StationRun::Interrupt() {
  stop_ = true;
  toolkit_.Post([this] { TakeInterrupt(); });
}

// Taken on the run's thread, between two handlers, or when the scan it
// stopped has returned (which leaves the run looking ended).
void StationRun::TakeInterrupt() {
  if (interrupted_ || (ended() && !scan_stopped_)) return;
  interrupted_ = true;
  status_ = kExitInterrupted;
  TMainPanel& panel = *panel_;
  const std::string line = InterruptedLine(panel);
  panel.Delay->SetEnabled(false);
  panel.Paket->SetEnabled(false);
  if (panel.Port->Connected()) panel.Port->Close();
  if (on_interrupt) on_interrupt(line);
}

int StationRun::Run() {
  panel_->Button1->Click();
  if (scan_stopped_) TakeInterrupt();
  toolkit_.RunUntil([this] { return interrupted_ || ended(); });
  if (interrupted_) return status_;
  if (status_ == kExitDone && panel_->stage() != Stage::kDone) status_ = kExitInternal;
  return status_;
}

bool StationRun::Handshake(std::string& verdict) {
  const bool answered = panel_->Handshake(verdict);
  if (!scan_stopped_) return answered;
  TakeInterrupt();
  return false;
}

}  // namespace odu

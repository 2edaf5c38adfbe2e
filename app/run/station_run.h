// One station's upgrade: the upgrade window on the headless toolkit, its
// Start button pressed, and the loop run on the calling thread until the run
// has ended. The command line's single run and each run of a fleet are this,
// so they cannot disagree.
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "app/main_panel.h"
#include "app/run/run_view.h"
#include "platform/clock.h"
#include "platform/serial/serial_device.h"
#include "platform/toolkit/toolkit_headless.h"

namespace odu {

class StationRun {
 public:
  // Builds the window on this thread, which is then the run's thread.
  StationRun(platform::Clock& clock, platform::SerialOpener& opener);
  ~StationRun();
  StationRun(const StationRun&) = delete;
  StationRun& operator=(const StationRun&) = delete;

  TMainPanel& panel() { return *panel_; }
  platform::HeadlessToolkit& toolkit() { return toolkit_; }
  platform::Clock& clock() { return clock_; }

  // Called on the run's thread for every message box, after its status is
  // noted; the box is then closed at once.
  std::function<void(const RunBox&)> on_box;
  // Called on the run's thread when an interrupt has stopped the run and
  // closed the port, with the line that says what state the unit is left in.
  std::function<void(const std::string& line)> on_interrupt;

  // Presses Start and runs until the run ends or is interrupted. Returns
  // the exit status: that of the box that ended it, kExitInterrupted, or
  // kExitInternal when it ended without "Done." and without a box.
  int Run();
  // The scan alone (--handshake-only): true with the verdict of the station
  // that answered, whose port is closed again; false when none answered or
  // an interrupt stopped the scan (then interrupted() is true).
  bool Handshake(std::string& verdict);
  // From any thread: stops the run. Nothing more is sent, the port is
  // closed (which puts the line as it was found). A scan under way stops
  // before its next attempt, so within one handshake read.
  void Interrupt();
  bool interrupted() const { return interrupted_; }
  bool ended() const;
  // The last box that decided the status ("caption text"), if any.
  const std::string& failure() const { return failure_; }

 private:
  void TakeInterrupt();

  platform::Clock& clock_;
  platform::HeadlessToolkit toolkit_;
  platform::TApplication app_;
  TMainPanel* panel_ = nullptr;
  int status_ = 0;
  bool interrupted_ = false;
  std::atomic<bool> stop_{false};  // an interrupt was asked for
  bool scan_stopped_ = false;      // and the scan stopped for it
  std::string failure_;
};

}  // namespace odu

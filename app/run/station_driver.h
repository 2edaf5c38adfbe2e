// The headless run that every front end drives: one station's upgrade (or
// the handshake alone) on the ports a scan is given, told through a view.
// The command line's single run is one of these on the calling thread; a
// fleet runs one per port, each on a thread of its own.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app/run/run_view.h"
#include "platform/clock.h"
#include "platform/serial/serial_device.h"

namespace odu {

class StationRun;

// The clock and the devices of one run, made on that run's thread.
struct RunHost {
  platform::Clock* clock = nullptr;
  platform::SerialOpener* opener = nullptr;
  // A simulated station's check of its flash against the image; empty for
  // a real one.
  std::function<bool(const uint8_t* image)> flash_matches;
  std::shared_ptr<void> keep;  // owns what the pointers above point to
};

// The runs under way, for an interrupt: it stops each run there is and
// each one that comes after it.
class RunRegister {
 public:
  void Add(StationRun& run);
  void Remove(StationRun& run);
  void InterruptAll();

 private:
  std::mutex mutex_;
  std::vector<StationRun*> runs_;
  bool interrupted_ = false;
};

struct RunSetup {
  // The port the run's events are about until the scan opens one (a
  // fleet's port; for a single run the one port it was given, if so).
  std::string port;
  // The ports the scan tries, in order.
  std::function<void(std::vector<std::string>& names)> list_ports;
  RunHost host;
  const std::vector<std::string>* image_lines = nullptr;  // the built-in image when null
  // Every frame written and received goes to the view's Trace (--trace,
  // --log).
  bool trace = false;
  // Only the scan and the station's verdict: nothing is erased.
  bool handshake_only = false;
  RunRegister* runs = nullptr;  // where an interrupt finds the run
};

// How the run ended, as the view's Ended was told it; for a handshake
// alone, the station's verdict ("OK" or its refusal; empty when none
// answered), and no Ended.
struct RunOutcome {
  StationResult result;
  std::string verdict;
  int ports_tried = 0;
};

RunOutcome RunStation(const RunSetup& setup, RunView& view);

}  // namespace odu

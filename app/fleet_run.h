// Several stations at once (odu-upgrade --all): each port's upgrade is a
// whole run of its own, on a thread of its own with its own window, loop,
// port, timers and state, so that a timeout, a refusal or an unplugged
// adapter on one port never slows, stalls or fails another.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/run_view.h"
#include "platform/clock.h"
#include "platform/serial/serial_device.h"

namespace odu {

class RunLog;

// The clock and the devices of one port's run, made on that run's thread.
struct RunHost {
  platform::Clock* clock = nullptr;
  platform::SerialOpener* opener = nullptr;
  // A simulated station's check of its flash against the image; empty for
  // a real one.
  std::function<bool(const uint8_t* image)> flash_matches;
  std::shared_ptr<void> keep;  // owns what the pointers above point to
};

struct FleetSetup {
  std::vector<std::string> ports;
  std::function<RunHost(const std::string& port)> host;
  const std::vector<std::string>* image_lines = nullptr;  // the built-in image when null
  bool trace = false;
  RunLog* log = nullptr;  // --log: the trace goes there too
  RunView* view = nullptr;
  // Installs the fleet's interrupt handler (an empty function removes it).
  std::function<void(std::function<void()>)> set_interrupt_handler;
  // Called on the calling thread about ten times a second while runs go on.
  std::function<void()> tick;
};

// Runs every port's upgrade at once and returns their results in port order.
std::vector<StationResult> RunFleet(const FleetSetup& setup);

// How many ports a fleet tried, on how many a station answered, and how
// many of those were upgraded.
struct FleetCounts {
  int ports = 0;
  int found = 0;
  int upgraded = 0;
};
FleetCounts CountFleet(const std::vector<StationResult>& results);

// The exit status of a fleet: done when every station found was upgraded
// and one was found at least; kExitPartial when some were and some failed;
// otherwise what a single run would give (the first failure's, in port
// order), and kExitInterrupted when the user stopped it.
int FleetStatus(const std::vector<StationResult>& results);

}  // namespace odu

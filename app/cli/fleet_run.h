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

#include "app/run/run_view.h"
#include "app/run/station_driver.h"
#include "platform/clock.h"
#include "platform/serial/serial_device.h"

namespace odu {

struct FleetSetup {
  std::vector<std::string> ports;
  std::function<RunHost(const std::string& port)> host;
  const std::vector<std::string>* image_lines = nullptr;  // the built-in image when null
  bool trace = false;  // every frame to the view (--trace, --log)
  RunView* view = nullptr;
  RunRegister* runs = nullptr;  // where an interrupt finds the runs
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

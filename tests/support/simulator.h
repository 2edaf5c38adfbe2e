// The station behind --simulate in tests: one with the faults and the line
// speed a test gives it.
#pragma once

#include <cstdint>
#include <memory>

#include "app/cli/cli_environment.h"
#include "sim/simulated_station.h"

namespace odu::testing {

// `config` and `baud` are read when each run starts, so a test may change
// them between runs.
inline std::function<Simulator(platform::Clock&)> SimulatorOf(const sim::StationConfig& config, const uint32_t& baud) {
  return [&config, &baud](platform::Clock& clock) {
    return odu::SimulatorOf(clock, std::make_shared<sim::SimulatedStation>(clock, baud, config),
                            sim::SimulatedStation::kPortName);
  };
}

}  // namespace odu::testing

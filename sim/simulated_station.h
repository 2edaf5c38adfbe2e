// The built-in simulated station of --simulate: a station on the far end of
// a virtual null-modem, reached through the port name "SIM".
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/serial/serial_virtual.h"
#include "sim/station.h"
#include "sim/virtual_link.h"

namespace odu::sim {

class SimulatedStation {
 public:
  static constexpr const char* kPortName = "SIM";

  // Bytes go both ways at `baud` (0: unpaced). The station is reached
  // through `port_name`.
  SimulatedStation(platform::Clock& clock, uint32_t baud, StationConfig config = {},
                   const std::string& port_name = kPortName);

  platform::SerialOpener& opener() { return opener_; }
  const Station& station() const { return station_; }
  // The station's flash equals `image` (65,536 bytes).
  bool FlashMatches(const uint8_t* image) const;

 private:
  Station station_;
  std::shared_ptr<platform::VirtualNullModem> modem_;
  VirtualLink link_;
  platform::VirtualPortOpener opener_;
};

}  // namespace odu::sim

#include "sim/simulated_station.h"

#include <cstring>

namespace odu::sim {

namespace {
std::shared_ptr<platform::VirtualNullModem> PacedModem(platform::Clock& clock, uint32_t baud) {
  auto modem = platform::VirtualNullModem::Create(clock);
  modem->SetPaced(baud != 0);
  return modem;
}
}  // namespace

SimulatedStation::SimulatedStation(platform::Clock& clock, uint32_t baud, StationConfig config,
                                   const std::string& port_name)
    : station_(std::move(config)), modem_(PacedModem(clock, baud)), link_(station_, modem_, 1, clock, baud) {
  opener_.Add(port_name, modem_, 0);
}

bool SimulatedStation::FlashMatches(const uint8_t* image) const {
  return std::memcmp(station_.Flash().data(), image, station_.Flash().size()) == 0;
}

}  // namespace odu::sim

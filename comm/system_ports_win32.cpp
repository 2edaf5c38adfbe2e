// The machine's serial ports on Windows: the registry walk on the system's
// own registry.
#include "comm/enum_serial_ports.h"
#include "comm/port_listing.h"
#include "comm/registry_port_details.h"

namespace odu {

void EnumSerialPorts(std::vector<std::string>& list) { EnumSerialPorts(platform::SystemRegistry(), list); }

// The registry's names, then what the device tree says of each; nothing is
// left out that could be told.
PortListing ListMachinePorts() {
  std::vector<std::string> names;
  EnumSerialPorts(names);
  PortListing listing = ListingOfNames(std::move(names));
  DescribeRegistryPorts(platform::SystemRegistry(), listing.ports);
  return listing;
}

uint32_t PortLatencyTimer(const std::string& port) {
  std::vector<SerialPortInfo> ports(1);
  ports[0].name = port;
  DescribeRegistryPorts(platform::SystemRegistry(), ports);
  return ports[0].latency_timer_ms;
}

std::string LatencyTimerRemedy(const std::string& port) {
  return "in the Device Manager, open " + port + " under Ports (COM & LPT), then Port Settings, Advanced, "
         "and set Latency Timer to 1 ms (this takes an administrator)";
}

}  // namespace odu

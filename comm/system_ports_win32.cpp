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

}  // namespace odu

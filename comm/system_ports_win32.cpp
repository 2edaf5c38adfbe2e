// The machine's serial ports on Windows: the registry walk on the system's
// own registry.
#include "comm/enum_serial_ports.h"
#include "comm/port_listing.h"

namespace odu {

void EnumSerialPorts(std::vector<std::string>& list) { EnumSerialPorts(platform::SystemRegistry(), list); }

// The registry gives names only, and leaves nothing out that could be told.
PortListing ListMachinePorts() {
  std::vector<std::string> names;
  EnumSerialPorts(names);
  return ListingOfNames(std::move(names));
}

}  // namespace odu

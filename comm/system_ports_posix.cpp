// The machine's serial ports on Linux: the tty devices that sysfs lists.
#include "comm/enum_serial_ports.h"
#include "comm/port_listing.h"
#include "comm/sysfs_ports.h"

namespace odu {

void EnumSerialPorts(std::vector<std::string>& list) {
  const std::vector<std::string> ports = ListSysfsSerialPorts();
  list.insert(list.end(), ports.begin(), ports.end());
}

PortListing ListMachinePorts() { return ScanSysfsSerialPorts(); }

}  // namespace odu

// The machine's serial ports on Windows: the registry walk on the system's
// own registry.
#include "comm/enum_serial_ports.h"

namespace odu {

void EnumSerialPorts(std::vector<std::string>& list) { EnumSerialPorts(platform::SystemRegistry(), list); }

}  // namespace odu

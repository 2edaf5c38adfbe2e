// The serial ports of a Linux machine, read from sysfs without opening any.
//
// Every tty class device with a `device` link is a port (USB adapters, PCI
// and PNP cards, on-chip UARTs), except the legacy ports that the kernel
// registers without hardware behind them (their `type` reads 0) and the port
// that serves as the kernel's console (its `console` reads Y).
#pragma once

#include <string>
#include <vector>

namespace odu {

// The device paths (`dev_root`/NAME) of the ports under `sysfs_root`, in
// natural order of their names (ttyS2 before ttyS10). Empty when sysfs can't
// be read.
std::vector<std::string> ListSysfsSerialPorts(const std::string& sysfs_root = "/sys",
                                              const std::string& dev_root = "/dev");

}  // namespace odu

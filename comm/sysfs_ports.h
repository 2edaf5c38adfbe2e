// The serial ports of a Linux machine, read from sysfs without opening any.
//
// Every tty class device with a `device` link is a candidate (USB adapters,
// PCI and PNP cards, on-chip UARTs). It is listed when its node under /dev
// is a character device, what the port component opens. The others are
// left out, each with its reason: the legacy ports that the kernel registers
// without hardware behind them (their `type` reads 0), the port that serves
// as the kernel's console (its `console` reads Y; the kernel writes its log
// there, which would garble the station's frames), and those whose node is
// missing or is no character device (udev has not made it yet, or something
// else sits at the name).
//
// ttys without a `device` link (the virtual terminals tty0..tty63, console,
// ptmx, the pseudo-terminals) are no serial lines: they are passed by
// without a word, since dozens of them would bury the few lines that matter.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "comm/port_listing.h"

namespace odu {

// The ports under `sysfs_root` with their details, and the candidates left
// out, each in natural order of the tty names (ttyS2 before ttyS10). Port
// names are `dev_root`/NAME; a port's by-id name is the link in
// `dev_root`/serial/by-id that leads to that node. Empty when sysfs can't be
// read.
PortListing ScanSysfsSerialPorts(const std::string& sysfs_root = "/sys", const std::string& dev_root = "/dev");

// The latency timer of the USB serial converter behind `port` (a name under
// /dev, through any symbolic links), as its driver has it now; 0 where there
// is none.
uint32_t SysfsLatencyTimer(const std::string& port, const std::string& sysfs_root = "/sys");

// The names of ScanSysfsSerialPorts' ports.
std::vector<std::string> ListSysfsSerialPorts(const std::string& sysfs_root = "/sys",
                                              const std::string& dev_root = "/dev");

}  // namespace odu

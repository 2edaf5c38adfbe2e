// The machine's serial ports on Linux: the tty devices that sysfs lists.
#include <filesystem>
#include <system_error>

#include "comm/enum_serial_ports.h"
#include "comm/port_listing.h"
#include "comm/sysfs_ports.h"

namespace odu {

void EnumSerialPorts(std::vector<std::string>& list) {
  const std::vector<std::string> ports = ListSysfsSerialPorts();
  list.insert(list.end(), ports.begin(), ports.end());
}

PortListing ListMachinePorts() { return ScanSysfsSerialPorts(); }

uint32_t PortLatencyTimer(const std::string& port) { return SysfsLatencyTimer(port); }

std::string LatencyTimerRemedy(const std::string& port) {
  std::error_code ec;
  const std::string tty = std::filesystem::canonical(port, ec).filename().string();
  return "as root: echo 1 > /sys/bus/usb-serial/devices/" + (ec || tty.empty() ? "TTY" : tty) +
         "/latency_timer (or a udev rule that does so when the adapter is plugged in)";
}

}  // namespace odu

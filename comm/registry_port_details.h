// What Windows' device tree tells of the serial ports a listing holds: the
// friendly name ("USB Serial Port (COM7)"), the manufacturer, the driver's
// service, the USB vendor and product and the adapter's serial number from
// the instance's path, and the latency timer of FTDI's driver. Looked up
// after the listing is made, by port name, so the listing itself (its names
// and their order) stays as the registry walk made it.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "comm/port_listing.h"
#include "platform/registry/registry.h"

namespace odu {

// What a device instance path (ENUMERATOR\DEVICE\INSTANCE) says of a USB
// device: "USB\VID_0403&PID_6015\A1B2" gives 0403:6015 and serial number A1B2;
// FTDI's own enumerator, "FTDIBUS\VID_0403+PID_6001+A50285BIA\0000", gives
// 0403:6001 and A50285BI (FTDI adds the channel's letter to the serial
// number). An instance that Windows numbered itself (it holds "&") is no
// serial number. Paths of other devices, and malformed ones, give nothing.
struct UsbIdentity {
  std::string usb_id;         // vvvv:pppp, lower-case hexadecimal as on Linux
  std::string serial_number;  // empty when the path holds none
};
std::optional<UsbIdentity> UsbIdentityOf(std::string_view instance_path);

// Fills in what the device tree of `reg` says of each of `ports` whose name
// an instance's "Device Parameters\PortName" gives (compared without regard
// to case). Values of the wrong type or size are passed by; every key opened
// is closed again.
void DescribeRegistryPorts(platform::Registry& reg, std::vector<SerialPortInfo>& ports);

}  // namespace odu

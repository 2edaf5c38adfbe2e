// The machine's serial ports with what the system tells of each, and the
// devices that look like ports but are not offered, each with the reason.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace odu {

// A port the port component can open. Fields the system does not tell are
// empty: a port on the mainboard has no USB fields, and on Windows only the
// name is known.
struct SerialPortInfo {
  std::string name;              // what the port component opens: /dev/ttyUSB0, COM3
  std::string driver;            // the kernel driver of the port's device: serial8250, ftdi_sio, cdc_acm
  std::string interface_driver;  // USB: the driver bound to the interface the port belongs to
  std::string usb_id;            // USB: idVendor:idProduct of the device, 0403:6001
  std::string manufacturer;      // USB: the device's own strings
  std::string product;
  std::string serial_number;
  std::string by_id;             // the /dev/serial/by-id link that leads to the port's node
  std::string description{};     // Windows: the device's friendly name, "USB Serial Port (COM7)"
  uint32_t latency_timer_ms = 0;  // USB adapters that hold short reads back for it (FTDI); 0: unknown
};

enum class LeftOutReason {
  kConsole,             // the kernel writes its log there
  kNoUart,              // a legacy port registered without a UART behind it
  kNoDeviceNode,        // nothing at the port's name under /dev
  kNotCharacterDevice,  // something at the name, but no character device
};

struct LeftOutPort {
  std::string name;  // the name the port would have: /dev/ttyS0
  LeftOutReason reason;
};

struct PortListing {
  std::vector<SerialPortInfo> ports;
  std::vector<LeftOutPort> left_out;
};

// Why a port is left out, for a message after its name.
inline const char* DescribeLeftOut(LeftOutReason reason) {
  switch (reason) {
    case LeftOutReason::kConsole:
      return "the kernel's console (the kernel writes its log there)";
    case LeftOutReason::kNoUart:
      return "no UART behind it (legacy 8250 port of type 0)";
    case LeftOutReason::kNoDeviceNode:
      return "no device node";
    case LeftOutReason::kNotCharacterDevice:
      return "the device node is not a character device";
  }
  return "left out";
}

// A listing of ports known by their names alone, nothing left out.
inline PortListing ListingOfNames(std::vector<std::string> names) {
  PortListing listing;
  for (std::string& name : names) {
    SerialPortInfo port;
    port.name = std::move(name);
    listing.ports.push_back(std::move(port));
  }
  return listing;
}

// The latency timer of the USB adapter behind `port` as it stands now, in
// ms (0: none, or not known): on Linux what the driver kept after the open
// asked it for low latency, read from sysfs; on Windows the driver's setting
// in the registry, which only an administrator may change.
uint32_t PortLatencyTimer(const std::string& port);
// How the user lowers it to 1 ms, as the end of a sentence.
std::string LatencyTimerRemedy(const std::string& port);

// This machine's ports: on Linux read from sysfs (sysfs_ports.h) with their
// details and the ttys left out; on Windows the registry's names
// (enum_serial_ports.h) and nothing more.
PortListing ListMachinePorts();

}  // namespace odu

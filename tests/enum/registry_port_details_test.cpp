// What the device tree says of listed ports, on in-memory registries: the
// USB identity read from instance paths, the values that describe a port,
// and values of the wrong type or size passed by.
#include "comm/registry_port_details.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "platform/registry/registry_memory.h"

namespace odu {
namespace {

using platform::kHkeyLocalMachine;
using platform::MemoryRegistry;

TEST(UsbIdentityOf, ReadsVendorProductAndSerialNumberFromInstancePaths) {
  const struct {
    const char* path;
    const char* usb_id;  // nullptr: no identity
    const char* serial_number;
  } rows[] = {
      {"USB\\VID_0403&PID_6015\\A1B2", "0403:6015", "A1B2"},
      {"usb\\vid_067B&pid_2303\\5&2c8f2a3&0&1", "067b:2303", ""},  // numbered by Windows
      {"USB\\VID_2341&PID_0043&MI_00\\6&1a2b&0&0000", "2341:0043", ""},
      {"FTDIBUS\\VID_0403+PID_6001+A50285BIA\\0000", "0403:6001", "A50285BI"},
      {"FTDIBUS\\VID_0403+PID_6010+FT4ZS6I5B\\0000", "0403:6010", "FT4ZS6I5"},  // channel B
      {"ACPI\\PNP0501\\1", nullptr, nullptr},
      {"USB\\VID_0403&PID_60\\X", nullptr, nullptr},        // short product
      {"USB\\VID_04G3&PID_6015\\X", nullptr, nullptr},      // not hexadecimal
      {"USB\\VID_0403PID_6015\\X", nullptr, nullptr},       // no separator
      {"USB\\VID_0403&PID_6015X\\X", nullptr, nullptr},     // trailing junk
      {"USB\\VID_0403&PID_6015", nullptr, nullptr},         // no instance
      {"USB\\VID_0403&PID_6015\\", nullptr, nullptr},
      {"USB\\VID_0403&PID_6015\\A\\B", nullptr, nullptr},   // too deep
      {"FTDIBUS\\VID_0403+PID_6001+\\0000", nullptr, nullptr},
      {"FTDIBUS\\VID_0403&PID_6001+A1A\\0000", nullptr, nullptr},
      {"", nullptr, nullptr},
  };
  for (const auto& row : rows) {
    const std::optional<UsbIdentity> identity = UsbIdentityOf(row.path);
    ASSERT_EQ(identity.has_value(), row.usb_id != nullptr) << row.path;
    if (!identity) continue;
    EXPECT_EQ(identity->usb_id, row.usb_id) << row.path;
    EXPECT_EQ(identity->serial_number, row.serial_number) << row.path;
  }
}

std::vector<uint8_t> Dword(uint32_t v) {
  return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
          static_cast<uint8_t>(v >> 24)};
}

// An instance of the device tree at `path` (enumerator\device\instance),
// naming `port` in its Device Parameters.
MemoryRegistry::Key& Instance(MemoryRegistry& reg, const std::string& path, const std::string& port) {
  auto& instance = reg.CreateKey(kHkeyLocalMachine, "SYSTEM\\CurrentControlSet\\Enum\\" + path);
  instance.SubKey("Device Parameters").AddString("PortName", port);
  return instance;
}

// Three adapters as Windows records them, and one port of the list that the
// tree does not name; each described by what its instance holds, nothing
// more, and the list left as it was. Values of the wrong type or size are
// passed by as if absent.
TEST(DescribeRegistryPorts, EachListedPortGetsWhatItsInstanceSaysAndNothingElse) {
  MemoryRegistry reg;
  Instance(reg, "FTDIBUS\\VID_0403+PID_6001+A50285BIA\\0000", "COM7")
      .AddString("FriendlyName", "USB Serial Port (COM7)")
      .AddString("Mfg", "@oem12.inf,%ftdi%;FTDI")
      .AddString("Service", "FTSER2K")
      .SubKey("Device Parameters")
      .AddValue("LatencyTimer", platform::kRegDword, Dword(16));
  Instance(reg, "USB\\VID_2341&PID_0043\\7543331393735", "com9")  // the tree's case
      .AddString("FriendlyName", "Arduino Uno (COM9)")
      .AddValue("Mfg", platform::kRegBinary, {'X', 0})    // wrong type
      .AddString("Service", "usbser")
      .SubKey("Device Parameters")
      .AddValue("LatencyTimer", platform::kRegDword, {16, 0, 0, 0, 0, 0, 0, 0});  // wrong size
  Instance(reg, "ACPI\\PNP0501\\1", "COM1")
      .AddString("FriendlyName", "Communications Port (COM1)")
      .AddString("Service", "Serial")
      .SubKey("Device Parameters")
      .AddValue("LatencyTimer", platform::kRegSz, {'1', '6', 0});  // wrong type
  Instance(reg, "USB\\VID_1A86&PID_7523\\5&1&0&2", "COM30")  // not listed
      .AddString("FriendlyName", "USB-SERIAL CH340 (COM30)");

  std::vector<SerialPortInfo> ports(4);
  ports[0].name = "COM1";
  ports[1].name = "COM7";
  ports[2].name = "Com9";
  ports[3].name = "COM12";
  DescribeRegistryPorts(reg, ports);
  EXPECT_EQ(reg.OpenHandles(), 0);
  EXPECT_EQ(reg.InvalidHandleUses(), 0);

  const struct {
    const char* description;
    const char* manufacturer;
    const char* driver;
    const char* usb_id;
    const char* serial_number;
    uint32_t latency_ms;
  } want[] = {
      {"Communications Port (COM1)", "", "Serial", "", "", 0},
      {"USB Serial Port (COM7)", "FTDI", "FTSER2K", "0403:6001", "A50285BI", 16},
      {"Arduino Uno (COM9)", "", "usbser", "2341:0043", "7543331393735", 0},
      {"", "", "", "", "", 0},
  };
  const char* names[] = {"COM1", "COM7", "Com9", "COM12"};
  for (size_t i = 0; i < std::size(want); ++i) {
    const SerialPortInfo& p = ports[i];
    EXPECT_EQ(p.name, names[i]);
    EXPECT_EQ(p.description, want[i].description) << names[i];
    EXPECT_EQ(p.manufacturer, want[i].manufacturer) << names[i];
    EXPECT_EQ(p.driver, want[i].driver) << names[i];
    EXPECT_EQ(p.usb_id, want[i].usb_id) << names[i];
    EXPECT_EQ(p.serial_number, want[i].serial_number) << names[i];
    EXPECT_EQ(p.latency_timer_ms, want[i].latency_ms) << names[i];
  }
}

}  // namespace
}  // namespace odu

// The registry walk on in-memory registries: which layout is read for which
// system, which entries count as serial ports, the limits of a value lookup,
// and that every key opened is closed again.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "comm/enum_serial_ports.h"
#include "platform/registry/registry_memory.h"

namespace odu {
namespace {

using platform::kHkeyDynData;
using platform::kHkeyLocalMachine;
using platform::MemoryRegistry;
using platform::RegKey;

using Build = std::function<void(MemoryRegistry&)>;

std::vector<uint8_t> Bytes(std::string_view text) { return {text.begin(), text.end()}; }

// A Windows 9x device: its Config Manager entry and, unless the hardware key
// is empty, the hardware key with the given values (absent when nullopt).
void Win9xDevice(MemoryRegistry& reg, const std::string& id, const std::string& hardware_key,
                 std::optional<std::string> device_class, std::optional<std::string> port_name) {
  auto& device = reg.CreateKey(kHkeyDynData, "Config Manager\\Enum\\" + id);
  device.AddValue("Status", platform::kRegBinary, {0x2b, 0x60, 0, 0}).AddString("HardWareKey", hardware_key);
  if (hardware_key.empty()) return;
  auto& hardware = reg.CreateKey(kHkeyLocalMachine, "Enum\\" + hardware_key);
  hardware.AddString("DeviceDesc", "Communications Port");
  if (device_class) hardware.AddString("Class", *device_class);
  if (port_name) hardware.AddString("PORTNAME", *port_name);
}

// An NT device-tree instance at `path` (enumerator\device\instance).
void NtInstance(MemoryRegistry& reg, const std::string& path, const std::string& service,
                std::optional<std::string> port_name) {
  auto& instance = reg.CreateKey(kHkeyLocalMachine, "SYSTEM\\CurrentControlSet\\Enum\\" + path);
  instance.AddString("HardwareID", "x").AddString("Service", service);
  auto& parameters = instance.SubKey("Device Parameters");
  if (port_name) parameters.AddString("PortName", *port_name);
}

MemoryRegistry::Key& SerialComm(MemoryRegistry& reg) {
  return reg.CreateKey(kHkeyLocalMachine, "HARDWARE\\DEVICEMAP\\SERIALCOMM");
}

// One port in each layout, so that the result tells which layout was read.
Build AllLayouts(uint32_t platform_id, uint32_t major, bool version_succeeds = true) {
  return [=](MemoryRegistry& reg) {
    reg.SetVersion(platform_id, major, version_succeeds);
    Win9xDevice(reg, "0001", "ROOT\\PORTS\\0000", "Ports", "COM9X");
    SerialComm(reg).AddString("Serial0", "COMNT4");
    NtInstance(reg, "ACPI\\PNP0501\\0", "Serial", "COMNT5");
  };
}

struct WalkCase {
  const char* name;
  Build build;
  std::vector<std::string> found;
};

TEST(RegistryWalk, ListsThePortsOfTheLayoutOfTheRunningSystemAndClosesEveryKey) {
  const std::string long_name(1100, 'K');
  const std::vector<WalkCase> cases = {
      {"9x family", AllLayouts(1, 4), {"COM9X"}},
      {"NT 3", AllLayouts(2, 3), {"COMNT4"}},
      {"NT 4", AllLayouts(2, 4), {"COMNT4"}},
      {"NT 5", AllLayouts(2, 5), {"COMNT5", "COMNT4"}},
      {"NT 10", AllLayouts(2, 10), {"COMNT5", "COMNT4"}},
      {"platform id 0", AllLayouts(0, 5), {}},
      {"platform id 3", AllLayouts(3, 5), {}},
      {"failed version query", AllLayouts(2, 5, false), {}},
      {"9x: class Ports in any case, port name starting with C, O or M",
       [](MemoryRegistry& reg) {
         reg.SetVersion(1, 4);
         Win9xDevice(reg, "01", "ROOT\\*PNP0500\\0000", "Ports", "COM2");
         Win9xDevice(reg, "02", "BIOS\\*PNP0400\\0000", "PORTS", "LPT1");
         Win9xDevice(reg, "03", "ROOT\\PORTS\\0001", "ports", "");
         Win9xDevice(reg, "04", "ROOT\\PORTS\\0002", "pOrTs", "MODEM");
         Win9xDevice(reg, "05", "", "Ports", "COM6");
         reg.CreateKey(kHkeyDynData, "Config Manager\\Enum\\06").AddString("HardWareKey", "ROOT\\MISSING\\0000");
         Win9xDevice(reg, "07", "ROOT\\MODEM\\0000", "Modem", "COM5");
         Win9xDevice(reg, "08", "ROOT\\PORTS\\0003", "Ports", "com3");
         Win9xDevice(reg, "09", "ROOT\\PORTS\\0004", std::nullopt, "COM7");
         reg.CreateKey(kHkeyDynData, "Config Manager\\Enum\\10").AddString("Problem", "0");
       },
       {"COM2", "MODEM"}},
      {"9x: a port reported twice",
       [](MemoryRegistry& reg) {
         reg.SetVersion(1, 4);
         Win9xDevice(reg, "01", "ROOT\\PORTS\\0000", "Ports", "COM1");
         Win9xDevice(reg, "02", "ROOT\\PORTS\\0001", "Ports", "COM1");
       },
       {"COM1", "COM1"}},
      {"NT 4: SERIALn in any case from 0 up to the value count, gaps missed",
       [](MemoryRegistry& reg) {
         reg.SetVersion(2, 4);
         SerialComm(reg).AddString("Serial1", "COM2").AddString("SERIAL0", "COM1").AddString("serial3", "COM4");
       },
       {"COM1", "COM2"}},
      {"NT 5: serial and Ser2pl services, an empty port name kept, deeper and shallower keys ignored",
       [](MemoryRegistry& reg) {
         reg.SetVersion(2, 5);
         NtInstance(reg, "ACPI\\PNP0501\\1", "Serial", "COM1");
         NtInstance(reg, "ACPI\\PNP0501\\2", "serial", "COM2");
         NtInstance(reg, "ACPI\\PNP0501\\3", "Serial", std::nullopt);
         NtInstance(reg, "Root\\Ports\\0000", "Ser2pl", "COM7");
         NtInstance(reg, "USB\\VID_1\\5", "Serial2", "COM9");
         NtInstance(reg, "USB\\VID_2\\6", "usbser", "COM10");
         NtInstance(reg, "PCI\\DEV_1\\7\\Deeper", "Serial", "COM11");
         reg.CreateKey(kHkeyLocalMachine, "SYSTEM\\CurrentControlSet\\Enum\\Shallow\\Dev").AddString("Service", "Serial");
       },
       {"COM1", "COM2", "", "COM7"}},
      {"NT 5: SERIALCOMM ports the walk did not yield follow the walk's own, in value order, once each",
       [](MemoryRegistry& reg) {
         reg.SetVersion(2, 10);
         NtInstance(reg, "ACPI\\PNP0501\\1", "Serial", "COM1");
         NtInstance(reg, "FTDIBUS\\VID_0403\\A1", "FTSER2K", "COM12");
         NtInstance(reg, "Root\\Ports\\0000", "Ser2pl", "COM7");
         SerialComm(reg)
             .AddString("\\Device\\Serial0", "COM1")
             .AddString("\\Device\\VCP0", "COM12")
             .AddString("\\Device\\Serial1", "com7")
             .AddString("\\Device\\Gone", "")
             .AddString("\\Device\\ProlificSerial0", "COM3")
             .AddString("\\Device\\VCP1", "COM12");
       },
       {"COM1", "COM7", "COM12", "COM3"}},
      {"NT 5: a port reported twice",
       [](MemoryRegistry& reg) {
         reg.SetVersion(2, 6);
         NtInstance(reg, "ACPI\\PNP0501\\1", "Serial", "COM3");
         NtInstance(reg, "Root\\Ports\\0000", "Serial", "COM3");
       },
       {"COM3", "COM3"}},
      {"9x: no ports", [](MemoryRegistry& reg) { reg.SetVersion(1, 4); }, {}},
      {"NT 4: no ports", [](MemoryRegistry& reg) { reg.SetVersion(2, 4); }, {}},
      {"NT 5: no ports", [](MemoryRegistry& reg) { reg.SetVersion(2, 5); }, {}},
      {"sub-keys that no longer enumerate, or whose names don't fit, are skipped",
       [&](MemoryRegistry& reg) {
         reg.SetVersion(2, 5);
         NtInstance(reg, "A\\D\\0", "Serial", "COM1");
         NtInstance(reg, "B\\D\\0", "Serial", "COM2");
         NtInstance(reg, "C\\D\\0", "Serial", "COM3");
         NtInstance(reg, "C\\D\\1", "Serial", "COM4");
         NtInstance(reg, "C\\" + long_name + "\\0", "Serial", "COM5");
         reg.CreateKey(kHkeyLocalMachine, "SYSTEM\\CurrentControlSet\\Enum").FailEnumKeyAt(1);
         reg.CreateKey(kHkeyLocalMachine, "SYSTEM\\CurrentControlSet\\Enum\\C\\D").FailEnumKeyAt(0, 234);
       },
       {"COM1", "COM4"}},
      {"9x: a device that no longer enumerates is skipped",
       [](MemoryRegistry& reg) {
         reg.SetVersion(1, 4);
         Win9xDevice(reg, "01", "ROOT\\PORTS\\0000", "Ports", "COM1");
         Win9xDevice(reg, "02", "ROOT\\PORTS\\0001", "Ports", "COM2");
         reg.CreateKey(kHkeyDynData, "Config Manager\\Enum").FailEnumKeyAt(0);
       },
       {"COM2"}},
      {"a key whose counts can't be read contributes nothing",
       [](MemoryRegistry& reg) {
         reg.SetVersion(2, 5);
         NtInstance(reg, "A\\D\\0", "Serial", "COM1");
         NtInstance(reg, "B\\D\\0", "Serial", "COM2");
         reg.CreateKey(kHkeyLocalMachine, "SYSTEM\\CurrentControlSet\\Enum\\A").FailQueryInfo(5);
       },
       {"COM2"}},
  };

  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    MemoryRegistry reg;
    c.build(reg);
    std::vector<std::string> list = {"kept"};
    EnumSerialPorts(reg, list);

    std::vector<std::string> expected = {"kept"};
    expected.insert(expected.end(), c.found.begin(), c.found.end());
    EXPECT_EQ(list, expected);
    EXPECT_EQ(reg.OpenHandles(), 0);
    EXPECT_EQ(reg.InvalidHandleUses(), 0);
  }
}

struct Value {
  std::string name;
  uint32_t type;
  std::vector<uint8_t> data;
};

struct LookupCase {
  const char* name;
  std::vector<Value> values;
  std::string wanted;
  bool found;
  std::string text;
  std::optional<uint16_t> count = std::nullopt;  // all values when absent
};

TEST(ReadNamedValue, FindsTheNamedValueWithinTheLimitsAndNeverLeavesStaleBytes) {
  using platform::kRegBinary;
  using platform::kRegDword;
  using platform::kRegSz;
  const std::string name511(511, 'n');
  const std::string name512(512, 'n');
  const std::vector<uint8_t> data512(512, 'd');
  const std::vector<uint8_t> data513(513, 'd');
  const std::vector<LookupCase> cases = {
      {"name compared without regard to case",
       {{"Other", kRegSz, Bytes("LPT1\0")}, {"portname", kRegSz, Bytes(std::string_view("COM1\0", 5))}},
       "PortName",
       true,
       "COM1"},
      {"511-character name found", {{name511, kRegSz, Bytes("x")}}, std::string(511, 'N'), true, "x"},
      {"512-character name passed by", {{name512, kRegSz, Bytes("x")}}, name512, false, ""},
      {"512 data bytes found", {{"Data", kRegBinary, data512}}, "Data", true, std::string(512, 'd')},
      {"513 data bytes passed by", {{"Data", kRegBinary, data513}}, "Data", false, ""},
      {"failed lookup after other values wrote their data",
       {{"A", kRegSz, Bytes("LONG TEXT")}, {"B", kRegBinary, data512}},
       "C",
       false,
       ""},
      {"short unterminated value after a longer one ends at its own data",
       {{"Other", kRegSz, Bytes("LONGERDATA")}, {"PortName", kRegSz, Bytes("COM1")}},
       "PortName",
       true,
       "COM1"},
      {"non-text type taken up to its first zero", {{"N", kRegDword, {0x31, 0, 0, 0}}}, "N", true, "1"},
      {"binary data cut at an inner zero", {{"N", kRegBinary, {'A', 'B', 0, 'C'}}}, "N", true, "AB"},
      {"empty data give the empty text", {{"PortName", kRegSz, {}}}, "PortName", true, ""},
      {"the first of two equal names wins",
       {{"Name", kRegSz, Bytes("one")}, {"NAME", kRegSz, Bytes("two")}},
       "name",
       true,
       "one"},
      {"only the first value_count values are looked at",
       {{"A", kRegSz, Bytes("a")}, {"B", kRegSz, Bytes("b")}, {"C", kRegSz, Bytes("c")}},
       "C",
       false,
       "",
       2},
  };

  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    MemoryRegistry reg;
    auto& key = reg.CreateKey(kHkeyLocalMachine, "K");
    for (const auto& v : c.values) key.AddValue(v.name, v.type, v.data);
    RegKey handle = 0;
    ASSERT_EQ(reg.OpenKey(kHkeyLocalMachine, "K", 0, platform::kKeyRead, handle), 0);

    ValueDataBuffer data;
    data.fill('G');  // leftovers of an earlier use
    const auto count = c.count.value_or(static_cast<uint16_t>(c.values.size()));
    EXPECT_EQ(ReadNamedValue(reg, handle, count, c.wanted, data), c.found);
    EXPECT_EQ(std::string(data.data(), std::find(data.begin(), data.end(), '\0')), c.text);
    // Nothing beyond the data limit is written; a miss leaves nothing at all.
    const auto untouched = data.begin() + (c.found ? kValueDataLimit : 0);
    EXPECT_TRUE(std::all_of(untouched, data.end(), [](char b) { return b == 0; }));
    reg.CloseKey(handle);
  }
}

TEST(OpenKeyInfo, GivesNoCountsForAKeyThatCantBeOpenedOrRead) {
  MemoryRegistry reg;
  reg.CreateKey(kHkeyLocalMachine, "A\\B").AddString("v", "x").SubKey("C");
  reg.CreateKey(kHkeyLocalMachine, "A\\Locked").AddString("v", "x").SubKey("C");
  reg.CreateKey(kHkeyLocalMachine, "A\\Locked").FailQueryInfo(5);

  RegKey key = 1;
  uint32_t subkeys = 9;
  uint16_t values = 9;
  EXPECT_EQ(OpenKeyInfo(reg, kHkeyLocalMachine, "A\\Missing", key, subkeys, values), 2);
  EXPECT_EQ(key, 0u);
  EXPECT_EQ(subkeys, 0u);
  EXPECT_EQ(values, 0u);

  EXPECT_EQ(OpenKeyInfo(reg, kHkeyLocalMachine, "A\\Locked", key, subkeys, values), 5);
  EXPECT_NE(key, 0u);  // open, so the caller still closes it
  EXPECT_EQ(subkeys, 0u);
  EXPECT_EQ(values, 0u);
  reg.CloseKey(key);

  EXPECT_EQ(OpenKeyInfo(reg, kHkeyLocalMachine, "a\\b", key, subkeys, values), 0);
  EXPECT_EQ(subkeys, 1u);
  EXPECT_EQ(values, 1u);
  reg.CloseKey(key);
  EXPECT_EQ(reg.OpenHandles(), 0);
}

TEST(OpenKeyInfo, CountsAtMost65535ValuesSoLaterOnesAreNeverExamined) {
  MemoryRegistry reg;
  auto& big = reg.CreateKey(kHkeyLocalMachine, "Big");
  for (int i = 0; i < 65537; ++i) big.AddValue("v" + std::to_string(i), platform::kRegSz, {'x', 0});

  RegKey key = 0;
  uint32_t subkeys = 0;
  uint16_t values = 0;
  ASSERT_EQ(OpenKeyInfo(reg, kHkeyLocalMachine, "Big", key, subkeys, values), 0);
  EXPECT_EQ(values, 65535u);
  ValueDataBuffer data{};
  EXPECT_TRUE(ReadNamedValue(reg, key, values, "v65534", data));
  EXPECT_FALSE(ReadNamedValue(reg, key, values, "v65535", data));
  reg.CloseKey(key);
}

}  // namespace
}  // namespace odu

#include "comm/enum_serial_ports.h"

#include <algorithm>
#include <cctype>
#include <limits>
#include <string_view>

#include "comm/registry_keys.h"

namespace odu {

using platform::kHkeyDynData;
using platform::kHkeyLocalMachine;
using platform::kRegSuccess;
using platform::Registry;
using platform::RegKey;

std::string UpperCase(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

namespace {

// The text of value `name` of `key`, read into the cleared `data`; empty when
// the key has no such value.
std::string LookUpText(Registry& reg, const OpenedKey& key, const std::string& name, ValueDataBuffer& data) {
  data.fill(0);
  ReadNamedValue(reg, key.handle(), key.values(), name, data);
  return TextIn(data.data(), data.size());
}

// Windows 9x: the devices of the dynamic Config Manager list, each pointing
// at its hardware key; a port is of class Ports with a port name starting
// with one of the letters C, O or M (COM4 and MODEM pass, LPT1 does not).
void ListWin9xPorts(Registry& reg, std::vector<std::string>& list) {
  ValueDataBuffer data{};
  ForEachSubKey(reg, kHkeyDynData, "Config Manager\\Enum", [&](const std::string& device_path) {
    std::string hardware_key;
    {
      OpenedKey device(reg, kHkeyDynData, device_path);
      hardware_key = LookUpText(reg, device, "HardWareKey", data);
    }
    if (hardware_key.empty()) return;

    OpenedKey hardware(reg, kHkeyLocalMachine, JoinKeyPath("Enum", hardware_key));
    const std::string device_class = LookUpText(reg, hardware, "Class", data);
    const std::string port_name = LookUpText(reg, hardware, "PORTNAME", data);
    const bool port_letter = !port_name.empty() && std::string_view("COM").find(port_name[0]) != std::string_view::npos;
    if (UpperCase(device_class) == "PORTS" && port_letter) list.push_back(port_name);
  });
}

// NT 4 and earlier: the values SERIAL0, SERIAL1, ... of the SERIALCOMM map,
// n running up to the number of values, so names with gaps are missed.
void ListSerialCommPorts(Registry& reg, std::vector<std::string>& list) {
  ValueDataBuffer data{};
  OpenedKey map(reg, kHkeyLocalMachine, "HARDWARE\\DEVICEMAP\\SERIALCOMM");
  for (uint32_t n = 0; n < map.values(); ++n) {
    data.fill(0);
    if (ReadNamedValue(reg, map.handle(), map.values(), "SERIAL" + std::to_string(n), data)) {
      list.push_back(TextIn(data.data(), data.size()));
    }
  }
}

bool IsSerialService(const std::string& service) {
  const std::string upper = UpperCase(service);
  return upper == "SERIAL" || upper == "SER2PL";
}

// The ports every serial driver registers in the SERIALCOMM map, in value
// order, that `walked` does not already hold (compared without regard to
// case, as Windows compares device names). The device-tree walk counts only
// two service names, and the drivers of most USB-serial adapters register
// others, so their ports are found here.
void AppendSerialCommPorts(Registry& reg, const std::vector<std::string>& walked, std::vector<std::string>& list) {
  std::vector<std::string> known;
  for (const std::string& name : walked) known.push_back(UpperCase(name));
  OpenedKey map(reg, kHkeyLocalMachine, "HARDWARE\\DEVICEMAP\\SERIALCOMM");
  std::array<char, kValueNameLimit> value_name{};
  ValueDataBuffer data{};
  for (uint32_t index = 0; index < map.values(); ++index) {
    uint32_t name_len = kValueNameLimit;
    uint32_t data_len = kValueDataLimit;
    data.fill(0);
    if (reg.EnumValue(map.handle(), index, value_name.data(), name_len, nullptr, reinterpret_cast<uint8_t*>(data.data()),
                      data_len) != kRegSuccess)
      continue;
    const std::string port = TextIn(data.data(), std::min<size_t>(data_len, kValueDataLimit));
    if (port.empty() || std::find(known.begin(), known.end(), UpperCase(port)) != known.end()) continue;
    known.push_back(UpperCase(port));
    list.push_back(port);
  }
}

// NT 5 and later: the instances exactly three levels below the device tree
// (enumerator, device, instance) whose service is a serial driver; the port
// name is in the instance's "Device Parameters", and is listed even when empty.
void ListDeviceTreePorts(Registry& reg, std::vector<std::string>& list) {
  ValueDataBuffer data{};
  ForEachDeviceInstance(reg, [&](const std::string& instance_path) {
    OpenedKey instance(reg, kHkeyLocalMachine, instance_path);
    if (!IsSerialService(LookUpText(reg, instance, "Service", data))) return;
    OpenedKey parameters(reg, kHkeyLocalMachine, JoinKeyPath(instance_path, "Device Parameters"));
    list.push_back(LookUpText(reg, parameters, "PortName", data));
  });
}

}  // namespace

platform::RegResult OpenKeyInfo(Registry& reg, RegKey root, const std::string& path, RegKey& key, uint32_t& subkeys,
                                uint16_t& values) {
  subkeys = 0;
  values = 0;
  key = 0;
  const platform::RegResult opened = reg.OpenKey(root, path, 0, platform::kKeyRead, key);
  if (opened != kRegSuccess) {
    key = 0;
    return opened;
  }
  uint32_t sub_count = 0;
  uint32_t value_count = 0;
  const platform::RegResult queried = reg.QueryInfoKey(key, sub_count, value_count);
  if (queried == kRegSuccess) {
    subkeys = sub_count;
    values = static_cast<uint16_t>(std::min<uint32_t>(value_count, std::numeric_limits<uint16_t>::max()));
  }
  return queried;
}

bool ReadNamedValue(Registry& reg, RegKey key, uint16_t value_count, const std::string& name, ValueDataBuffer& data,
                    uint32_t* type, uint32_t* size) {
  const std::string wanted = UpperCase(name);
  std::array<char, kValueNameLimit> value_name{};
  auto* bytes = reinterpret_cast<uint8_t*>(data.data());
  for (uint32_t index = 0; index < value_count; ++index) {
    uint32_t name_len = kValueNameLimit;
    uint32_t data_len = kValueDataLimit;
    if (reg.EnumValue(key, index, value_name.data(), name_len, type, bytes, data_len) != kRegSuccess) continue;
    const size_t name_end = std::min<size_t>(name_len, value_name.size());
    if (UpperCase(TextIn(value_name.data(), name_end)) != wanted) continue;
    // Values passed over left their data in the buffer; data stored without a
    // terminating zero must not run on into those bytes.
    std::fill(data.begin() + std::min(data_len, kValueDataLimit), data.end(), '\0');
    if (size) *size = std::min(data_len, kValueDataLimit);
    return true;
  }
  data.fill(0);
  return false;
}

void EnumSerialPorts(Registry& reg, std::vector<std::string>& list) {
  uint32_t platform_id = 0;
  uint32_t major = 0;
  if (!reg.GetVersion(platform_id, major)) platform_id = 0;

  if (platform_id == platform::kPlatformWin32Windows) {
    ListWin9xPorts(reg, list);
  } else if (platform_id == platform::kPlatformWin32Nt) {
    if (major <= 4) {
      ListSerialCommPorts(reg, list);
    } else {
      std::vector<std::string> walked;
      ListDeviceTreePorts(reg, walked);
      list.insert(list.end(), walked.begin(), walked.end());
      AppendSerialCommPorts(reg, walked, list);
    }
  }
}

}  // namespace odu

#include "comm/registry_port_details.h"

#include <cctype>
#include <cstdint>

#include "comm/enum_serial_ports.h"
#include "comm/registry_keys.h"

namespace odu {

using platform::kHkeyLocalMachine;
using platform::Registry;

namespace {

bool IsHex(std::string_view text) {
  for (char c : text)
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
  return true;
}

// "VID_0403" + separator + "PID_6001" at the start of `device`: the id as
// Linux prints it, 0403:6001; the rest of `device` after it in `rest`.
std::optional<std::string> VendorAndProduct(std::string_view device, char separator, std::string_view& rest) {
  const std::string upper = UpperCase(std::string(device));
  if (upper.size() < 17 || upper.compare(0, 4, "VID_") != 0 || upper[8] != separator ||
      upper.compare(9, 4, "PID_") != 0)
    return std::nullopt;
  const std::string_view vendor = std::string_view(upper).substr(4, 4);
  const std::string_view product = std::string_view(upper).substr(13, 4);
  if (!IsHex(vendor) || !IsHex(product)) return std::nullopt;
  rest = device.substr(17);
  std::string id = std::string(vendor) + ":" + std::string(product);
  for (char& c : id) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return id;
}

// A text value (REG_SZ), up to its first zero; empty for anything else. A
// reference into a driver's string table, "@oem12.inf,%ftdi%;FTDI", gives the
// text after it.
std::string ReadText(Registry& reg, const OpenedKey& key, const std::string& name) {
  uint32_t type = 0;
  uint32_t size = 0;
  ValueDataBuffer data{};
  if (!ReadNamedValue(reg, key.handle(), key.values(), name, data, &type, &size) || type != platform::kRegSz) return "";
  std::string text = TextIn(data.data(), size);
  if (!text.empty() && text[0] == '@') {
    const size_t semicolon = text.rfind(';');
    text = semicolon == std::string::npos ? "" : text.substr(semicolon + 1);
  }
  return text;
}

// FTDI's latency timer: a REG_DWORD of 1 to 255 ms; 0 for anything else.
uint32_t ReadLatencyTimer(Registry& reg, const OpenedKey& parameters) {
  uint32_t type = 0;
  uint32_t size = 0;
  ValueDataBuffer data{};
  if (!ReadNamedValue(reg, parameters.handle(), parameters.values(), "LatencyTimer", data, &type, &size)) return 0;
  if (type != platform::kRegDword || size != 4) return 0;
  const auto byte = [&](int i) { return static_cast<uint32_t>(static_cast<uint8_t>(data[i])); };
  const uint32_t ms = byte(0) | byte(1) << 8 | byte(2) << 16 | byte(3) << 24;
  return ms >= 1 && ms <= 255 ? ms : 0;
}

void FillIn(std::string& field, std::string value) {
  if (field.empty()) field = std::move(value);
}

}  // namespace

std::optional<UsbIdentity> UsbIdentityOf(std::string_view path) {
  const size_t first = path.find('\\');
  const size_t second = first == std::string_view::npos ? first : path.find('\\', first + 1);
  if (second == std::string_view::npos || path.find('\\', second + 1) != std::string_view::npos) return std::nullopt;
  const std::string enumerator = UpperCase(std::string(path.substr(0, first)));
  const std::string_view device = path.substr(first + 1, second - first - 1);
  const std::string_view instance = path.substr(second + 1);
  if (instance.empty()) return std::nullopt;

  std::string_view rest;
  UsbIdentity identity;
  if (enumerator == "USB") {
    const std::optional<std::string> id = VendorAndProduct(device, '&', rest);
    if (!id || (!rest.empty() && rest[0] != '&')) return std::nullopt;
    identity.usb_id = *id;
    // Windows numbers an instance itself ("6&2c8f2a3&0&1") when the device
    // has no serial number; otherwise the instance is that number.
    if (instance.find('&') == std::string_view::npos) identity.serial_number = std::string(instance);
    return identity;
  }
  if (enumerator == "FTDIBUS") {
    const std::optional<std::string> id = VendorAndProduct(device, '+', rest);
    if (!id || rest.size() < 3 || rest[0] != '+') return std::nullopt;
    identity.usb_id = *id;
    const std::string_view serial = rest.substr(1);
    const char channel = serial.back();
    // The serial number, without the letter of the chip's channel (A, B, ...).
    identity.serial_number =
        std::string(channel >= 'A' && channel <= 'H' ? serial.substr(0, serial.size() - 1) : serial);
    return identity;
  }
  return std::nullopt;
}

void DescribeRegistryPorts(Registry& reg, std::vector<SerialPortInfo>& ports) {
  if (ports.empty()) return;
  const std::string tree_prefix = std::string(kDeviceTree) + "\\";
  ForEachDeviceInstance(reg, [&](const std::string& instance_path) {
    OpenedKey parameters(reg, kHkeyLocalMachine, JoinKeyPath(instance_path, "Device Parameters"));
    const std::string port_name = UpperCase(ReadText(reg, parameters, "PortName"));
    if (port_name.empty()) return;
    for (SerialPortInfo& port : ports) {
      if (UpperCase(port.name) != port_name) continue;
      OpenedKey instance(reg, kHkeyLocalMachine, instance_path);
      FillIn(port.description, ReadText(reg, instance, "FriendlyName"));
      FillIn(port.manufacturer, ReadText(reg, instance, "Mfg"));
      FillIn(port.driver, ReadText(reg, instance, "Service"));
      if (const auto identity = UsbIdentityOf(std::string_view(instance_path).substr(tree_prefix.size()))) {
        FillIn(port.usb_id, identity->usb_id);
        FillIn(port.serial_number, identity->serial_number);
      }
      if (port.latency_timer_ms == 0) port.latency_timer_ms = ReadLatencyTimer(reg, parameters);
    }
  });
}

}  // namespace odu

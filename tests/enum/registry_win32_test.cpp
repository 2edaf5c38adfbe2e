// The registry walk through the Windows registry layer on the system's own
// registry (wine's, in the build folder's prefix): serial instances and a
// USB adapter are written where the walk reads them, and removed afterwards.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "comm/enum_serial_ports.h"

namespace odu {
namespace {

constexpr const char* kEnumerator = "SYSTEM\\CurrentControlSet\\Enum\\ODUTEST";
constexpr const char* kSerialComm = "HARDWARE\\DEVICEMAP\\SERIALCOMM";

struct Instance {
  const char* path;  // below the enumerator: device\instance
  const char* service;
  const char* port;
};

// Created out of index order: the walk follows the registry's order. The
// adapter's service is no serial driver, so only its map entry lists it.
const std::array<Instance, 3> kInstances = {{
    {"PNP0501\\1", "Serial", "COM21"},
    {"PNP0501\\0", "Ser2pl", "COM22"},
    {"VID_0403&PID_6001\\A1", "FTSER2K", "COM12"},
}};

struct MapEntry {
  const char* device;
  const char* port;
};

// Windows keeps values in the order written, wine sorts them by name: these
// names give the same order both ways, the tree's ports after the adapter's,
// so that a port the walk missed would be listed out of place.
const std::array<MapEntry, 3> kMapEntries = {{
    {"\\Device\\VCP0", "COM12"},
    {"\\Device\\WalkedSerial21", "COM21"},
    {"\\Device\\WalkedSerial22", "com22"},  // other case
}};

bool IsWalked(std::string port) {
  for (char& c : port) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return port == "COM21" || port == "COM22";
}

bool SetText(HKEY key, const char* name, const char* text) {
  return RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                        static_cast<DWORD>(std::strlen(text) + 1)) == ERROR_SUCCESS;
}

// The port names in the SERIALCOMM map, in value order.
std::vector<std::string> MapPorts() {
  std::vector<std::string> ports;
  HKEY map = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSerialComm, 0, KEY_READ, &map) != ERROR_SUCCESS) return ports;
  for (DWORD index = 0;; ++index) {
    std::array<char, 256> name{};
    std::array<char, 256> data{};
    DWORD name_len = static_cast<DWORD>(name.size());
    DWORD data_len = static_cast<DWORD>(data.size() - 1);
    if (RegEnumValueA(map, index, name.data(), &name_len, nullptr, nullptr, reinterpret_cast<BYTE*>(data.data()),
                      &data_len) != ERROR_SUCCESS)
      break;
    ports.emplace_back(data.data());
  }
  RegCloseKey(map);
  return ports;
}

// The handles open in this process, registry keys among them, found by
// asking after every value below a bound far above what the test uses
// (GetProcessHandleCount gives 0 under wine).
int OpenHandles() {
  int count = 0;
  for (uintptr_t value = 4; value < 0x4000; value += 4) {
    DWORD flags = 0;
    if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) ++count;
  }
  return count;
}

class SystemRegistryWalk : public ::testing::Test {
 protected:
  void SetUp() override {
    Remove();  // what a crashed run left
    EnumSerialPorts(platform::SystemRegistry(), before_);
    ASSERT_EQ(before_, MapPorts()) << "wine lists no serial instances of its own, only its mapped COM ports";
    for (const char* port : {"COM12", "COM21", "COM22"}) {
      ASSERT_EQ(std::count(before_.begin(), before_.end(), port), 0) << port << " is taken";
    }

    for (const Instance& instance : kInstances) {
      const std::string path = std::string(kEnumerator) + "\\" + instance.path;
      HKEY key = nullptr;
      HKEY parameters = nullptr;
      ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                                nullptr),
                ERROR_SUCCESS)
          << path;
      const bool written = SetText(key, "Service", instance.service) &&
                           RegCreateKeyExA(key, "Device Parameters", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                           &parameters, nullptr) == ERROR_SUCCESS &&
                           SetText(parameters, "PortName", instance.port);
      if (parameters != nullptr) RegCloseKey(parameters);
      RegCloseKey(key);
      ASSERT_TRUE(written) << path;
    }

    // The map is below a volatile key, so it can only be created volatile.
    HKEY map = nullptr;
    DWORD disposition = 0;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, kSerialComm, 0, nullptr, REG_OPTION_VOLATILE, KEY_ALL_ACCESS,
                              nullptr, &map, &disposition),
              ERROR_SUCCESS);
    created_map_ = disposition == REG_CREATED_NEW_KEY;
    bool written = true;
    for (const MapEntry& entry : kMapEntries) written = written && SetText(map, entry.device, entry.port);
    RegCloseKey(map);
    ASSERT_TRUE(written);
  }

  // Runs after a failed test too.
  void TearDown() override {
    Remove();
    if (created_map_) RegDeleteKeyA(HKEY_LOCAL_MACHINE, kSerialComm);
  }

  static void Remove() {
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, kEnumerator);
    HKEY map = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSerialComm, 0, KEY_ALL_ACCESS, &map) != ERROR_SUCCESS) return;
    for (const MapEntry& entry : kMapEntries) RegDeleteValueA(map, entry.device);
    RegCloseKey(map);
  }

  std::vector<std::string> before_;
  bool created_map_ = false;
};

TEST_F(SystemRegistryWalk, ListsTheTreesSerialPortsInRegistryOrderThenTheMapsOthersAndClosesEveryKey) {
  std::vector<std::string> list = {"kept"};
  const int handles_before = OpenHandles();
  EnumSerialPorts(platform::SystemRegistry(), list);
  EXPECT_EQ(OpenHandles(), handles_before);

  // The tree's serial instances in index order, then the map's other ports
  // (wine's own and the adapter's) in value order.
  std::vector<std::string> expected = {"kept", "COM22", "COM21"};
  for (const std::string& port : MapPorts()) {
    if (!IsWalked(port)) expected.push_back(port);
  }
  ASSERT_EQ(std::count(expected.begin(), expected.end(), "COM12"), 1);
  EXPECT_EQ(list, expected);
}

}  // namespace
}  // namespace odu

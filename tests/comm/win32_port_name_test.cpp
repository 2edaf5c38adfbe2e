// The opener's names for CreateFileA: the rule is portable, so it is proven on
// every build (and under wine, in the Windows test program).
#include <gtest/gtest.h>

#include <string>

#include "platform/serial/win32_port_name.h"

namespace odu::platform {
namespace {

TEST(Win32PortPath, OnlyBareComPortsFromTenUpGetTheDeviceNamespacePrefix) {
  const struct {
    std::string name;
    std::string path;
  } rows[] = {
      {"COM1", "COM1"},
      {"COM9", "COM9"},
      {"COM10", "\\\\.\\COM10"},
      {"com12", "\\\\.\\com12"},
      {"Com256", "\\\\.\\Com256"},
      {"COM07", "\\\\.\\COM07"},
      {"\\\\.\\COM10", "\\\\.\\COM10"},  // already in the device namespace
      {"\\\\.\\COM3", "\\\\.\\COM3"},
      {"COM", "COM"},
      {"COM1A", "COM1A"},
      {"COM10 ", "COM10 "},
      {"COM10:", "COM10:"},
      {"XCOM10", "XCOM10"},
      {"COM-10", "COM-10"},
      {"LPT10", "LPT10"},
      {"C:\\firmware\\COM10", "C:\\firmware\\COM10"},
      {"", ""},
  };
  for (const auto& row : rows) EXPECT_EQ(Win32PortPath(row.name), row.path) << '"' << row.name << '"';
}

TEST(Win32PortPath, ANameWithANulInsideIsRefusedNotCutShort) {
  EXPECT_EQ(Win32PortPath(std::string("COM1\0COM10", 10)), std::nullopt);
  EXPECT_EQ(Win32PortPath(std::string("\0", 1)), std::nullopt);
}

}  // namespace
}  // namespace odu::platform

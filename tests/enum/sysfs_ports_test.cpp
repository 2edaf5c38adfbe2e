// The sysfs port lister on fixture trees laid out like the kernel's: each
// /sys/class/tty entry a link into /sys/devices, hardware-backed ones with a
// `device` link, serial-core ports with `type` and `console` attributes.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "comm/sysfs_ports.h"

namespace odu {
namespace {

namespace fs = std::filesystem;

class SysfsTree {
 public:
  SysfsTree() : root_(fs::temp_directory_path() / ("odu-sysfs-" + std::to_string(std::random_device{}()))) {
    fs::create_directories(root_ / "class" / "tty");
  }
  ~SysfsTree() {
    std::error_code ec;
    fs::remove_all(root_, ec);
  }
  SysfsTree(const SysfsTree&) = delete;
  SysfsTree& operator=(const SysfsTree&) = delete;

  // A tty; `type` and `console` are written when not empty.
  void AddTty(const std::string& name, bool hardware, const std::string& type = "", const std::string& console = "") {
    const fs::path dir = root_ / "devices" / "tty" / name;
    fs::create_directories(dir);
    if (hardware) {
      const fs::path device = root_ / "devices" / "hw" / name;
      fs::create_directories(device);
      fs::create_directory_symlink(device, dir / "device");
    }
    if (!type.empty()) std::ofstream(dir / "type") << type << "\n";
    if (!console.empty()) std::ofstream(dir / "console") << console << "\n";
    fs::create_directory_symlink(dir, root_ / "class" / "tty" / name);
  }

  std::string root() const { return root_.string(); }

 private:
  fs::path root_;
};

TEST(SysfsPorts, ListsHardwarePortsInNaturalOrderWithoutPhantomOrConsolePorts) {
  SysfsTree sys;
  sys.AddTty("ttyUSB10", true);
  sys.AddTty("ttyS10", true, "4", "N");
  sys.AddTty("ttyS2", true, "4", "N");
  sys.AddTty("ttyS1", true, "0", "N");  // legacy port, no UART
  sys.AddTty("ttyS0", true, "4", "N");
  sys.AddTty("ttyS3", true, "4", "Y");  // the kernel's console
  sys.AddTty("ttyACM0", true);
  sys.AddTty("ttyUSB2", true);
  sys.AddTty("ttyUSB0", true);
  sys.AddTty("ttyAMA0", true, "32", "N");
  sys.AddTty("tty0", false);
  sys.AddTty("console", false);
  sys.AddTty("ptmx", false);

  EXPECT_EQ(ListSysfsSerialPorts(sys.root()),
            (std::vector<std::string>{"/dev/ttyACM0", "/dev/ttyAMA0", "/dev/ttyS0", "/dev/ttyS2", "/dev/ttyS10",
                                      "/dev/ttyUSB0", "/dev/ttyUSB2", "/dev/ttyUSB10"}));
}

TEST(SysfsPorts, MachineWithoutSerialPortsGivesAnEmptyList) {
  SysfsTree sys;
  sys.AddTty("tty0", false);
  sys.AddTty("ttyS0", true, "0", "N");
  EXPECT_TRUE(ListSysfsSerialPorts(sys.root()).empty());
  EXPECT_TRUE(ListSysfsSerialPorts(sys.root() + "/missing").empty());
}

}  // namespace
}  // namespace odu

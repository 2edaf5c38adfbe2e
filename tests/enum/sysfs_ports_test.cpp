// The sysfs port lister on fixture trees laid out like the kernel's: each
// /sys/class/tty entry a link into /sys/devices, hardware-backed ones with a
// `device` link, serial-core ports with `type` and `console` attributes, USB
// ports below their interface and device; beside it a /dev whose nodes are
// links to /dev/null (a character device a test can't make itself) and whose
// serial/by-id links lead to those nodes.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "comm/sysfs_ports.h"
#include "platform/serial/serial_device.h"

namespace odu {
namespace {

namespace fs = std::filesystem;

// What sits at a tty's name under /dev.
enum class Node { kCharDevice, kNone, kRegularFile, kDanglingLink, kDirectory };

class SysfsTree {
 public:
  SysfsTree() : root_(fs::temp_directory_path() / ("odu-sysfs-" + std::to_string(std::random_device{}()))) {
    fs::create_directories(root_ / "class" / "tty");
    fs::create_directories(root_ / "dev" / "serial" / "by-id");
  }
  ~SysfsTree() {
    std::error_code ec;
    fs::remove_all(root_, ec);
  }
  SysfsTree(const SysfsTree&) = delete;
  SysfsTree& operator=(const SysfsTree&) = delete;

  // A tty; `type` and `console` are written when not empty.
  void AddTty(const std::string& name, bool hardware, const std::string& type = "", const std::string& console = "",
              Node node = Node::kCharDevice) {
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
    MakeNode(name, node);
  }

  // The tty NAME of the device at devices/`device` as the kernel lays it out:
  // the class device in `device`/tty/NAME, its `device` link and the class
  // entry relative links.
  void AddTtyOf(const std::string& device, const std::string& name, Node node = Node::kCharDevice) {
    const fs::path dir = root_ / "devices" / device / "tty" / name;
    fs::create_directories(dir);
    fs::create_directory_symlink(fs::path("../../..") / fs::path(device).filename(), dir / "device");
    fs::create_directory_symlink(fs::path("../../devices") / device / "tty" / name, root_ / "class" / "tty" / name);
    MakeNode(name, node);
  }

  // The attribute devices/`file` holding `text` and a newline.
  void Attribute(const std::string& file, const std::string& text) {
    fs::create_directories((root_ / "devices" / file).parent_path());
    std::ofstream(root_ / "devices" / file, std::ios::binary) << text << "\n";
  }
  // A USB device at devices/`device` with its identity and strings.
  void UsbDevice(const std::string& device, const std::string& vendor, const std::string& product_id,
                 const std::string& manufacturer, const std::string& product, const std::string& serial) {
    Attribute(device + "/idVendor", vendor);
    Attribute(device + "/idProduct", product_id);
    if (!manufacturer.empty()) Attribute(device + "/manufacturer", manufacturer);
    if (!product.empty()) Attribute(device + "/product", product);
    if (!serial.empty()) Attribute(device + "/serial", serial);
  }
  // Binds `driver` of `bus` to the device at devices/`device`.
  void Driver(const std::string& device, const std::string& bus, const std::string& driver) {
    const fs::path drivers = root_ / "bus" / bus / "drivers" / driver;
    fs::create_directories(drivers);
    fs::create_directories(root_ / "devices" / device);
    fs::create_directory_symlink(drivers, root_ / "devices" / device / "driver");
  }
  // dev/`link` -> `target`, as udev writes it.
  void DevLink(const std::string& link, const std::string& target) {
    fs::create_directories((root_ / "dev" / link).parent_path());
    fs::create_symlink(target, root_ / "dev" / link);
  }

  std::string root() const { return root_.string(); }
  std::string dev() const { return (root_ / "dev").string(); }

 private:
  void MakeNode(const std::string& name, Node node) {
    const fs::path at = root_ / "dev" / name;
    switch (node) {
      case Node::kCharDevice: fs::create_symlink("/dev/null", at); break;
      case Node::kNone: break;
      case Node::kRegularFile: std::ofstream(at) << "not a device\n"; break;
      case Node::kDanglingLink: fs::create_symlink(root_ / "dev" / "gone", at); break;
      case Node::kDirectory: fs::create_directory(at); break;
    }
  }

  fs::path root_;
};

std::vector<std::string> Names(const std::vector<SerialPortInfo>& ports) {
  std::vector<std::string> names;
  for (const SerialPortInfo& port : ports) names.push_back(port.name);
  return names;
}

// A port's fields on one line, so that a mismatch shows whole.
std::string Describe(const SerialPortInfo& p) {
  return p.name + " | driver " + p.driver + " | interface " + p.interface_driver + " | usb " + p.usb_id + " | " +
         p.manufacturer + " | " + p.product + " | " + p.serial_number + " | by-id " + p.by_id + " | latency " +
         std::to_string(p.latency_timer_ms);
}

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

  const std::string d = sys.dev();
  EXPECT_EQ(ListSysfsSerialPorts(sys.root(), d),
            (std::vector<std::string>{d + "/ttyACM0", d + "/ttyAMA0", d + "/ttyS0", d + "/ttyS2", d + "/ttyS10",
                                      d + "/ttyUSB0", d + "/ttyUSB2", d + "/ttyUSB10"}));
}

TEST(SysfsPorts, EveryTtyWithADeviceIsListedOrLeftOutWithItsReason) {
  enum Verdict { kListed, kSilent, kLeftOut };
  const struct {
    const char* name;
    bool hardware;
    const char* type;
    const char* console;
    Node node;
    Verdict verdict;
    LeftOutReason reason;
  } rows[] = {
      // In natural order, as both lists come out.
      {"tty0", false, "", "", Node::kCharDevice, kSilent, {}},  // a virtual terminal
      {"tty5", false, "", "", Node::kNone, kSilent, {}},
      {"ttyACM0", true, "", "", Node::kCharDevice, kListed, {}},
      {"ttyACM1", true, "", "", Node::kDirectory, kLeftOut, LeftOutReason::kNotCharacterDevice},
      {"ttyS0", true, "4", "Y", Node::kCharDevice, kLeftOut, LeftOutReason::kConsole},
      {"ttyS1", true, "0", "N", Node::kCharDevice, kLeftOut, LeftOutReason::kNoUart},
      {"ttyS2", true, "4", "N", Node::kCharDevice, kListed, {}},
      {"ttyS3", true, "0", "N", Node::kNone, kLeftOut, LeftOutReason::kNoUart},
      {"ttyS4", true, "4", "N", Node::kNone, kLeftOut, LeftOutReason::kNoDeviceNode},
      {"ttyUSB0", true, "", "", Node::kRegularFile, kLeftOut, LeftOutReason::kNotCharacterDevice},
      {"ttyUSB1", true, "", "", Node::kDanglingLink, kLeftOut, LeftOutReason::kNoDeviceNode},
      {"ttyUSB2", true, "", "", Node::kCharDevice, kListed, {}},
      {"ttyUSB10", true, "", "", Node::kNone, kLeftOut, LeftOutReason::kNoDeviceNode},
  };
  SysfsTree sys;
  std::vector<std::string> listed;
  std::vector<std::string> left_out;
  for (const auto& row : rows) {
    sys.AddTty(row.name, row.hardware, row.type, row.console, row.node);
    const std::string node = sys.dev() + "/" + row.name;
    if (row.verdict == kListed) listed.push_back(node);
    if (row.verdict == kLeftOut) left_out.push_back(node + ": " + DescribeLeftOut(row.reason));
  }

  const PortListing listing = ScanSysfsSerialPorts(sys.root(), sys.dev());
  EXPECT_EQ(Names(listing.ports), listed);
  std::vector<std::string> said;
  for (const LeftOutPort& tty : listing.left_out) said.push_back(tty.name + ": " + DescribeLeftOut(tty.reason));
  EXPECT_EQ(said, left_out);
  EXPECT_EQ(ListSysfsSerialPorts(sys.root(), sys.dev()), listed);
}

// A machine's worth of adapters: an FTDI converter on a root port, a CH340
// behind a hub (which has a vendor id of its own), an ACM modem whose tty
// hangs on the interface itself, an odd device with long and hostile
// strings, and a port on the mainboard.
TEST(SysfsPorts, UsbPortsCarryTheirDriversIdentityStringsAndByIdName) {
  SysfsTree sys;
  const std::string bus = "pci0000:00/0000:00:14.0/usb1";
  sys.UsbDevice(bus, "1d6b", "0002", "Linux 6.1.0 xhci-hcd", "xHCI Host Controller", "0000:00:14.0");

  const std::string ftdi = bus + "/1-2";
  sys.UsbDevice(ftdi, "0403", "6001", "FTDI", "FT232R USB UART", "A50285BI");
  sys.Driver(ftdi + "/1-2:1.0", "usb", "ftdi_sio");
  sys.Driver(ftdi + "/1-2:1.0/ttyUSB0", "usb-serial", "ftdi_sio");
  sys.AddTtyOf(ftdi + "/1-2:1.0/ttyUSB0", "ttyUSB0");
  sys.Attribute(ftdi + "/1-2:1.0/ttyUSB0/latency_timer", "16");
  sys.DevLink("serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0", "../../ttyUSB0");

  const std::string hub = bus + "/1-1";
  sys.UsbDevice(hub, "05e3", "0608", "", "USB2.0 Hub", "");
  const std::string ch340 = hub + "/1-1.4";
  sys.UsbDevice(ch340, "1a86", "7523", "", "USB Serial", "");
  sys.Driver(ch340 + "/1-1.4:1.0", "usb", "ch341");
  sys.Driver(ch340 + "/1-1.4:1.0/ttyUSB1", "usb-serial", "ch341-uart");
  sys.AddTtyOf(ch340 + "/1-1.4:1.0/ttyUSB1", "ttyUSB1");
  sys.Attribute(ch340 + "/1-1.4:1.0/ttyUSB1/latency_timer", "1x");  // not a number: none
  sys.DevLink("serial/by-id/usb-1a86_USB_Serial-if00-port0", "../../ttyUSB1");

  const std::string acm = bus + "/1-3";
  sys.UsbDevice(acm, "2341", "0043", "Arduino (www.arduino.cc)", "", "75833353035351E0A1C1");
  sys.Driver(acm + "/1-3:1.0", "usb", "cdc_acm");
  sys.AddTtyOf(acm + "/1-3:1.0", "ttyACM0");
  sys.DevLink("serial/by-id/usb-Arduino__www.arduino.cc__0043_75833353035351E0A1C1-if00", "../../ttyACM0");
  sys.DevLink("serial/by-path/pci-0000:00:14.0-usb-0:3:1.0", "../../ttyACM0");
  sys.DevLink("serial/by-id/0-loop", "0-loop");  // read first, leads nowhere

  const std::string odd = bus + "/1-4";
  const std::string long_product(120, 'P');
  sys.UsbDevice(odd, "dead", "beef", "Bad\x1b]0;owned\x07 Inc", long_product, "S\x1b[2J");
  sys.Driver(odd + "/1-4:1.0", "usb", "pl2303");
  sys.Driver(odd + "/1-4:1.0/ttyUSB2", "usb-serial", "pl2303");
  sys.AddTtyOf(odd + "/1-4:1.0/ttyUSB2", "ttyUSB2");

  sys.Driver("pnp0/00:04", "pnp", "serial");
  sys.Attribute("pnp0/00:04/tty/ttyS0/type", "4");
  sys.AddTtyOf("pnp0/00:04", "ttyS0");

  const std::string d = sys.dev();
  const std::string by_id = d + "/serial/by-id/";
  const SerialPortInfo expected[] = {
      {d + "/ttyACM0", "cdc_acm", "cdc_acm", "2341:0043", "Arduino (www.arduino.cc)", "", "75833353035351E0A1C1",
       by_id + "usb-Arduino__www.arduino.cc__0043_75833353035351E0A1C1-if00"},
      {d + "/ttyS0", "serial", "", "", "", "", "", ""},
      {d + "/ttyUSB0", "ftdi_sio", "ftdi_sio", "0403:6001", "FTDI", "FT232R USB UART", "A50285BI",
       by_id + "usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0", "", 16},
      {d + "/ttyUSB1", "ch341-uart", "ch341", "1a86:7523", "", "USB Serial", "", by_id + "usb-1a86_USB_Serial-if00-port0"},
      {d + "/ttyUSB2", "pl2303", "pl2303", "dead:beef", "Bad?]0;owned? Inc", long_product, "S?[2J", ""},
  };
  const PortListing listing = ScanSysfsSerialPorts(sys.root(), d);
  ASSERT_EQ(listing.ports.size(), std::size(expected)) << ::testing::PrintToString(Names(listing.ports));
  for (size_t i = 0; i < listing.ports.size(); ++i) EXPECT_EQ(Describe(listing.ports[i]), Describe(expected[i]));
  EXPECT_TRUE(listing.left_out.empty());
  // The timer as the driver has it now, for a port named by its node or its by-id link.
  EXPECT_EQ(SysfsLatencyTimer(d + "/ttyUSB0", sys.root()), 16u);
  EXPECT_EQ(SysfsLatencyTimer(by_id + "usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0", sys.root()), 16u);
  EXPECT_EQ(SysfsLatencyTimer(d + "/ttyUSB1", sys.root()), 0u);
  EXPECT_EQ(SysfsLatencyTimer(d + "/ttyS0", sys.root()), 0u);
}

TEST(SysfsPorts, MachineWithoutSerialPortsGivesAnEmptyList) {
  SysfsTree sys;
  sys.AddTty("tty0", false);
  sys.AddTty("ttyS0", true, "0", "N");
  EXPECT_TRUE(ListSysfsSerialPorts(sys.root(), sys.dev()).empty());
  EXPECT_TRUE(ListSysfsSerialPorts(sys.root() + "/missing", sys.dev()).empty());
  const PortListing missing = ScanSysfsSerialPorts(sys.root() + "/missing", sys.dev());
  EXPECT_TRUE(missing.ports.empty());
  EXPECT_TRUE(missing.left_out.empty());
}

// The by-id name the listing gives is a link, and the port component opens
// it as given: here it leads through the node to a pseudo-terminal.
TEST(SysfsPorts, TheByIdNameOfAListedPortOpens) {
  const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(::grantpt(master), 0);
  ASSERT_EQ(::unlockpt(master), 0);
  const std::string terminal = ::ptsname(master);

  SysfsTree sys;
  sys.Driver("hw/usb1/1-1/1-1:1.0/ttyUSB0", "usb-serial", "ftdi_sio");
  sys.AddTtyOf("hw/usb1/1-1/1-1:1.0/ttyUSB0", "ttyUSB0", Node::kNone);
  sys.DevLink("ttyUSB0", terminal);
  sys.DevLink("serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0", "../../ttyUSB0");

  const PortListing listing = ScanSysfsSerialPorts(sys.root(), sys.dev());
  ASSERT_EQ(listing.ports.size(), 1u);
  const std::string name = listing.ports[0].by_id;
  EXPECT_EQ(name, sys.dev() + "/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0");
  EXPECT_NE(platform::SystemSerialOpener().Open(name), nullptr) << name;
  ::close(master);
}

}  // namespace
}  // namespace odu

#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "app/cli.h"
#include "app/cli_options.h"
#include "platform/serial/serial_virtual.h"

namespace odu::testing {
namespace {

using namespace odu::platform;

// Runs the command line on a virtual clock and collects what it printed.
struct Outcome {
  int status = -1;
  std::string out, err;
};

class Cli : public ::testing::Test {
 protected:
  Outcome Invoke(std::vector<std::string> args) {
    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    env.out = out;
    env.err = err;
    env.clock = &clock;
    env.opener = &opener;
    Outcome r;
    r.status = RunCli(args, env);
    r.out = Slurp(out);
    r.err = Slurp(err);
    std::fclose(out);
    std::fclose(err);
    return r;
  }
  static std::string Slurp(std::FILE* f) {
    std::fflush(f);
    std::rewind(f);
    std::string s;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, n);
    return s;
  }
  std::string WriteFile(const std::string& name, const std::string& text) {
    const auto path = std::filesystem::temp_directory_path() / ("odu_cli_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "_" + name);
    std::ofstream(path, std::ios::binary) << text;
    files.push_back(path);
    return path.string();
  }
  ~Cli() override {
    for (const auto& f : files) std::filesystem::remove(f);
  }

  VirtualClock clock;
  VirtualPortOpener opener;
  CliEnvironment env = Unpaced();
  static CliEnvironment Unpaced() {
    CliEnvironment e;
    e.simulated_baud = 0;
    return e;
  }
  std::vector<std::filesystem::path> files;
};

TEST_F(Cli, UsageErrorsExitWithStatus2AndSayWhy) {
  const struct {
    std::vector<std::string> args;
    const char* says;
  } rows[] = {
      {{"--frobnicate"}, "unknown option '--frobnicate'"},
      {{"--port"}, "--port needs a value"},
      {{"--port="}, "--port needs a device name"},
      {{"--image", "a.hex", "--image", "b.hex"}, "--image may be given once"},
      {{"--simulate", "--port", "COM1"}, "--simulate and --port exclude each other"},
  };
  for (const auto& row : rows) {
    const Outcome r = Invoke(row.args);
    EXPECT_EQ(r.status, kExitUsage) << row.says;
    EXPECT_NE(r.err.find(row.says), std::string::npos) << r.err;
  }
  EXPECT_TRUE(opener.opened().empty());
}

TEST_F(Cli, HelpVersionAndTheListOfPorts) {
  Outcome r = Invoke({"--help"});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("Exit status:"), std::string::npos);
  r = Invoke({"--version"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.rfind("odu-upgrade ", 0), 0u);
  env.list_ports = [](std::vector<std::string>& l) { l = {"/dev/ttyS0", "/dev/ttyUSB0"}; };
  r = Invoke({"--list-ports"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "/dev/ttyS0\n/dev/ttyUSB0\n");
}

SerialPortInfo Port(std::string name, std::string driver = "") {
  SerialPortInfo port;
  port.name = std::move(name);
  port.driver = std::move(driver);
  return port;
}

SerialPortInfo FtdiAdapter() {
  SerialPortInfo port = Port("/dev/ttyUSB0", "ftdi_sio");
  port.interface_driver = "ftdi_sio";
  port.usb_id = "0403:6001";
  port.manufacturer = "FTDI";
  port.product = "FT232R USB UART";
  port.serial_number = "A50285BI";
  port.by_id = "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0";
  return port;
}

constexpr const char* kConsoleLeftOut =
    "/dev/ttyS0: left out: the kernel's console (the kernel writes its log there)\n";

TEST_F(Cli, ListPortsNamesThePortsOnStandardOutputAndTheTtysLeftOutOnStandardError) {
  const struct {
    const char* name;
    PortListing listing;
    std::vector<std::string> args;
    const char* out;
    const char* err;
  } rows[] = {
      {"only the console", {{}, {{"/dev/ttyS0", LeftOutReason::kConsole}}}, {"--list-ports"}, "", kConsoleLeftOut},
      {"names only",
       {{FtdiAdapter(), Port("/dev/ttyS4", "serial8250")},
        {{"/dev/ttyS0", LeftOutReason::kConsole},
         {"/dev/ttyS1", LeftOutReason::kNoUart},
         {"/dev/ttyUSB3", LeftOutReason::kNoDeviceNode},
         {"/dev/ttyUSB4", LeftOutReason::kNotCharacterDevice}}},
       {"--list-ports"},
       "/dev/ttyUSB0\n/dev/ttyS4\n",
       "/dev/ttyS0: left out: the kernel's console (the kernel writes its log there)\n"
       "/dev/ttyS1: left out: no UART behind it (legacy 8250 port of type 0)\n"
       "/dev/ttyUSB3: left out: no device node\n"
       "/dev/ttyUSB4: left out: the device node is not a character device\n"},
      {"details",
       {{FtdiAdapter(), Port("/dev/ttyS4", "serial8250"), Port("/dev/ttyS5")}, {{"/dev/ttyS0", LeftOutReason::kConsole}}},
       {"--verbose", "--list-ports"},
       "/dev/ttyUSB0\n"
       "  driver: ftdi_sio\n"
       "  interface driver: ftdi_sio\n"
       "  usb id: 0403:6001\n"
       "  manufacturer: FTDI\n"
       "  product: FT232R USB UART\n"
       "  serial number: A50285BI\n"
       "  by-id: /dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0\n"
       "/dev/ttyS4\n"
       "  driver: serial8250\n"
       "/dev/ttyS5\n",
       kConsoleLeftOut},
  };
  for (const auto& row : rows) {
    env.port_listing = [&] { return row.listing; };
    const Outcome r = Invoke(row.args);
    EXPECT_EQ(r.status, kExitDone) << row.name;
    EXPECT_EQ(r.out, row.out) << row.name;
    EXPECT_EQ(r.err, row.err) << row.name;
  }
  EXPECT_TRUE(opener.opened().empty());
}

// The scan tries the listed ports and never one left out; with --verbose it
// says first which ttys it left out.
TEST_F(Cli, TheScanTriesTheListedPortsAndWithVerboseNamesThoseLeftOut) {
  opener.Add("/dev/ttyUSB0", VirtualNullModem::Create(clock), 0);
  env.port_listing = [] { return PortListing{{FtdiAdapter()}, {{"/dev/ttyS0", LeftOutReason::kConsole}}}; };
  Outcome r = Invoke({"--verbose"});
  EXPECT_EQ(r.status, kExitNotFound);
  EXPECT_EQ(r.err, std::string(kConsoleLeftOut) + "/dev/ttyUSB0: no carrier detect: nothing sent\n"
                                                   "Hardware error. Station ORVELA not found.\n");
  r = Invoke({});
  EXPECT_EQ(r.err, "Hardware error. Station ORVELA not found.\n");
  EXPECT_EQ(opener.opened(), (std::vector<std::string>{"/dev/ttyUSB0", "/dev/ttyUSB0"}));

  env.port_listing = [] { return PortListing{{}, {{"/dev/ttyS0", LeftOutReason::kConsole}}}; };
  r = Invoke({"--verbose"});
  EXPECT_EQ(r.err, std::string(kConsoleLeftOut) + "no serial ports to try (none found on this machine)\n"
                                                   "Hardware error. Station ORVELA not found.\n");
}

// A by-id name is a link to the node: it reaches the port as given.
TEST_F(Cli, APortGivenByItsByIdNameIsOpenedAsGiven) {
  const std::string by_id = FtdiAdapter().by_id;
  auto line = VirtualNullModem::Create(clock);
  line->SetLines(1, true, true);
  opener.Add(by_id, line, 0);
  const Outcome r = Invoke({"--verbose", "--port", by_id});
  EXPECT_EQ(r.status, kExitNotFound);
  EXPECT_EQ(opener.opened(), (std::vector<std::string>{by_id}));
  EXPECT_NE(r.err.find(by_id + ": no valid reply after 4 attempts"), std::string::npos) << r.err;
}

TEST_F(Cli, ABadImageIsRefusedWithItsLineBeforeAnyPortIsOpened) {
  const struct {
    const char* name;
    std::string text;
    const char* says;
  } rows[] = {
      {"checksum", ":0100000011EE\n:0100010022CC\n:00000001FF\n", "line 2:"},
      {"no end", ":0100000011EE\n", "end record"},
      {"type", ":020000040000FA\n:00000001FF\n", "line 1:"},
      {"not hex", ":01000000GGEE\n:00000001FF\n", "line 1:"},
  };
  for (const auto& row : rows) {
    const std::string path = WriteFile(row.name, row.text);
    const Outcome r = Invoke({"--port", "COM1", "--image", path});
    EXPECT_EQ(r.status, kExitBadImage) << row.name;
    EXPECT_NE(r.err.find(path + ": "), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(row.says), std::string::npos) << r.err;
  }
  const Outcome missing = Invoke({"--image", "/nonexistent/odu.hex"});
  EXPECT_EQ(missing.status, kExitBadImage);
  EXPECT_TRUE(opener.opened().empty());
}

TEST_F(Cli, TheSimulatedStationIsUpgradedAndItsFlashChecked) {
  const Outcome r = Invoke({"--simulate"});
  EXPECT_EQ(r.status, kExitDone) << r.err;
  EXPECT_NE(r.out.find("Erase processor..."), std::string::npos);
  EXPECT_NE(r.out.find("Done."), std::string::npos);
  EXPECT_NE(r.out.find("Simulated flash matches the image."), std::string::npos);
  EXPECT_EQ(r.err, "");
}

TEST_F(Cli, TraceShowsEveryWriteAndRead) {
  const Outcome r = Invoke({"--simulate", "--trace"});
  ASSERT_EQ(r.status, kExitDone) << r.err;
  std::vector<std::string> tx;
  size_t rx = 0;
  std::istringstream lines(r.err);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("TX ", 0) == 0) tx.push_back(line);
    else if (line.rfind("RX ", 0) == 0) ++rx;
    else ADD_FAILURE() << "unexpected line: " << line;
  }
  // The initialisation frame, the erase, 650 records, the three closing commands.
  ASSERT_EQ(tx.size(), 655u);
  EXPECT_EQ(tx[0], "TX 5A 0A 00 F3 30 30 30 30 FD E9");
  EXPECT_EQ(tx[1].substr(0, 14), "TX 5A 13 00 F5");
  EXPECT_GE(rx, 655u);
}

sim::StationConfig Init(sim::StationConfig::Init init) {
  sim::StationConfig c;
  c.init = init;
  return c;
}
sim::StationConfig Faulty(int command, sim::Fault fault) {
  sim::StationConfig c;
  c.faults[command] = fault;
  return c;
}

TEST_F(Cli, EachEndHasItsOwnExitStatusAndMessage) {
  const struct {
    const char* name;
    sim::StationConfig station;
    int status;
    const char* says;
  } rows[] = {
      {"silent", Init(sim::StationConfig::Init::Silent), kExitNotFound, "Hardware error. Station ORVELA not found.\n"},
      {"refused", Init(sim::StationConfig::Init::Refuse), kExitRefused, "Initialize error. Station upgrade not supported.\n"},
      {"stalled", Faulty(5, sim::Fault::Stall), kExitUpgradeError, "Upgrade error. Command timeout.\n"},
      {"erase refused", Faulty(0, sim::Fault::Refuse), kExitUpgradeError, "Upgrade error. Communication error.\n"},
  };
  for (const auto& row : rows) {
    env.simulated_station = row.station;
    const Outcome r = Invoke({"--simulate"});
    EXPECT_EQ(r.status, row.status) << row.name;
    EXPECT_EQ(r.err, row.says) << row.name;
  }
}

TEST_F(Cli, VerboseSaysWhatTheScanFoundOnEveryPort) {
  auto silent = VirtualNullModem::Create(clock);
  silent->SetLines(1, true, true);
  opener.Add("COM1", silent, 0);
  opener.Add("COM2", VirtualNullModem::Create(clock), 0);
  opener.FailOpen("COM3", 5);
  opener.FailOpen("COM5", 22);
  const Outcome r =
      Invoke({"--verbose", "--port", "COM1", "--port", "COM2", "--port", "COM3", "--port", "COM4", "--port", "COM5"});
  EXPECT_EQ(r.status, kExitNotFound);
  EXPECT_NE(r.err.find("COM1: no valid reply after 4 attempts"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("COM2: no carrier detect"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("COM3: could not be opened: access denied"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("dialout"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("COM4: could not be opened: no such device"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("COM5: could not be opened: the port has gone: was the adapter unplugged?"), std::string::npos)
      << r.err;
  EXPECT_EQ(opener.opened(), (std::vector<std::string>{"COM1", "COM2", "COM3", "COM4", "COM5"}));

  env.list_ports = [](std::vector<std::string>& l) { l.clear(); };
  const Outcome none = Invoke({"--verbose"});
  EXPECT_EQ(none.status, kExitNotFound);
  EXPECT_EQ(none.err, "no serial ports to try (none found on this machine)\nHardware error. Station ORVELA not found.\n");
}

TEST_F(Cli, AnInterruptClosesThePortSendsNothingMoreAndSaysWhatStateTheUnitIsIn) {
  const struct {
    int64_t at_ms;
    const char* says;
  } rows[] = {
      {500, "Upgrade interrupted before the erase: the port is closed and the unit's firmware is unchanged.\n"},
      {5000, "Upgrade interrupted: the port is closed and the unit is not upgraded"},
  };
  env.simulated_baud = 19200;  // a whole run takes 21 s of virtual time
  for (const auto& row : rows) {
    std::function<void()> interrupt;
    env.set_interrupt_handler = [&](std::function<void()> handler) { interrupt = std::move(handler); };
    clock.Schedule(clock.Now() + Millis(row.at_ms), [&] { interrupt(); });
    const Outcome r = Invoke({"--simulate", "--trace"});
    EXPECT_EQ(r.status, kExitInterrupted) << row.says;
    EXPECT_FALSE(interrupt) << "the handler is removed when the run ends";
    const size_t said = r.err.find(row.says);
    ASSERT_NE(said, std::string::npos) << r.err.substr(r.err.size() - std::min<size_t>(r.err.size(), 400));
    EXPECT_EQ(r.err.find("TX ", said), std::string::npos) << "a frame was sent after the interrupt";
    EXPECT_EQ(r.out.find("Done."), std::string::npos);
  }
}

TEST_F(Cli, AnImageFileIsWhatGetsProgrammed) {
  const std::string path = WriteFile("good.hex", ":10010000000102030405060708090A0B0C0D0E0F77\n:00000001FF\n");
  const Outcome r = Invoke({"--simulate", "--image", path});
  EXPECT_EQ(r.status, kExitDone) << r.err;
  EXPECT_NE(r.out.find("Simulated flash matches the image."), std::string::npos);
}

}  // namespace
}  // namespace odu::testing

namespace odu::testing {
namespace {

TEST_F(Cli, OnATerminalTheProgressBarRedrawsOneLineAndNeverPasses100Percent) {
  env.out_is_terminal = true;
  const Outcome r = Invoke({"--simulate"});
  ASSERT_EQ(r.status, kExitDone) << r.err;
  // Redrawn in place: carriage returns, one line per status that ends it.
  EXPECT_NE(r.out.find('\r'), std::string::npos);
  EXPECT_NE(r.out.find("Done."), std::string::npos);
  EXPECT_NE(r.out.find("/10400 bytes"), std::string::npos) << r.out.substr(0, 400);
  EXPECT_NE(r.out.find("100%"), std::string::npos);
  for (size_t at = r.out.find('%'); at != std::string::npos; at = r.out.find('%', at + 1)) {
    size_t start = at;
    while (start > 0 && std::isdigit(static_cast<unsigned char>(r.out[start - 1]))) --start;
    ASSERT_LE(std::stoi(r.out.substr(start, at - start)), 100);
  }
}

}  // namespace
}  // namespace odu::testing

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <fstream>
#include <sstream>
#include <string>

#include "app/cli/cli.h"
#include "app/cli/cli_options.h"
#include "app/cli/fleet_run.h"
#include "app/cli/json_lines.h"
#include "sim/simulated_station.h"
#include "platform/serial/serial_virtual.h"
#include "tests/support/cli_capture.h"
#include "tests/support/python_json.h"
#include "tests/support/simulator.h"

namespace odu::testing {
namespace {

using namespace odu::platform;

using Outcome = CliOutcome;

// Runs the command line on a virtual clock and collects what it printed.
class Cli : public ::testing::Test {
 protected:
  Outcome Invoke(std::vector<std::string> args) {
    env.clock = &clock;
    env.opener = &opener;
    return CaptureCli(args, env);
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
  sim::StationConfig station;  // behind --simulate
  uint32_t baud = 0;            // its line speed (0: unpaced)
  CliEnvironment env = WithSimulator();
  CliEnvironment WithSimulator() {
    CliEnvironment e;
    e.simulator = SimulatorOf(station, baud);
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
  // Without --verbose each port's finding follows the box.
  r = Invoke({});
  EXPECT_EQ(r.err, "Hardware error. Station ORVELA not found.\n/dev/ttyUSB0: no carrier detect: nothing sent\n");
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
      {"type", ":0100000011EE\n:0100000606F3\n:00000001FF\n", "line 2:"},
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

TEST_F(Cli, TraceShowsEveryWriteAndRead) {
  const Outcome r = Invoke({"--simulate", "--trace"});
  ASSERT_EQ(r.status, kExitDone) << r.err;
  // "<ms> ms <port> TX|RX <bytes>": the milliseconds since the start rise,
  // and every reply is one whole frame of its own.
  std::vector<std::string> tx, rx;
  long long last_ms = 0;
  std::istringstream lines(r.err);
  for (std::string line; std::getline(lines, line);) {
    std::istringstream fields(line);
    long long ms = -1;
    std::string unit, port;
    fields >> ms >> unit >> port;
    ASSERT_TRUE(unit == "ms" && port == "SIM" && ms >= last_ms) << line;
    last_ms = ms;
    std::string frame;
    std::getline(fields >> std::ws, frame);
    if (frame.rfind("TX ", 0) == 0) tx.push_back(frame);
    else if (frame.rfind("RX ", 0) == 0) rx.push_back(frame);
    else ADD_FAILURE() << "unexpected line: " << line;
  }
  // The initialisation frame, the erase, 650 records, the three closing commands.
  ASSERT_EQ(tx.size(), 655u);
  EXPECT_EQ(tx[0], "TX 5A 0A 00 F3 30 30 30 30 FD E9");
  EXPECT_EQ(tx[1].substr(0, 14), "TX 5A 13 00 F5");
  ASSERT_EQ(rx.size(), 655u);
  EXPECT_EQ(rx[0], "RX 5A 08 00 00 A2 0C FE F0");
  EXPECT_EQ(rx[1], "RX 5A 07 00 00 E5 FE BA");
  EXPECT_GE(last_ms, 2000) << "the start delay and the handshake's read come first";

  // Noise before a reply is told apart from the frame that follows it.
  station.faults[3] = sim::Fault::Noise;
  const Outcome noisy = Invoke({"--simulate", "--trace"});
  ASSERT_EQ(noisy.status, kExitDone) << noisy.err;
  const size_t noise = noisy.err.find(" (outside a frame)\n");
  ASSERT_NE(noise, std::string::npos) << noisy.err.substr(0, 3000);
  const size_t line = noisy.err.rfind('\n', noise) + 1;
  EXPECT_EQ(noisy.err.substr(line, noise - line).find("5A 07"), std::string::npos)
      << "the noise and no reply: " << noisy.err.substr(line, noise - line);
  EXPECT_EQ(noisy.err.find(" ms SIM RX 5A 07 00 00 E5 FE BA\n", noise), noisy.err.find(" ms SIM RX", noise))
      << "the reply after the noise is a whole frame of its own";
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
// A reply 4.5 s past its command's timeout, later than the settling wait
// tells apart, and a refusal while the replies are one behind.
sim::StationConfig OutOfStep() {
  sim::StationConfig c = Faulty(300, sim::Fault::LateTimeout);
  c.late_by = Millis(4500);
  c.faults[380] = sim::Fault::Refuse;
  return c;
}

TEST_F(Cli, EachEndHasItsOwnExitStatusAndMessage) {
  const struct {
    const char* name;
    sim::StationConfig station;
    int status;
    const char* says;
    uint32_t baud = 0;
    const char* out = "";  // what standard output ends with
  } rows[] = {
      // The stages on standard output, and the simulated flash checked.
      {"clean", {}, kExitDone, "", 0,
       "Initialize bootloader...\nErase processor...\nProgramming...\nProgramming... 10% (1040 of 10400 bytes)\n"},
      {"silent", Init(sim::StationConfig::Init::Silent), kExitNotFound,
       "Hardware error. Station ORVELA not found.\nSIM: no valid reply after 4 attempts\n"},
      {"refused", Init(sim::StationConfig::Init::Refuse), kExitRefused, "Initialize error. Station upgrade not supported.\n"},
      // After the window's message, the command, the attempts, the unit's
      // state and what to do.
      {"stalled", Faulty(5, sim::Fault::Stall), kExitUpgradeError,
       "Upgrade error. Command timeout.\nThe station did not answer the record at 0x0040 (4 attempts, 1 s each): the "
       "unit is erased and not fully programmed. Check the cable and the station's power, then run odu-upgrade again.\n"},
      {"erase refused", Faulty(0, sim::Fault::Refuse), kExitUpgradeError,
       "Upgrade error. Communication error.\nThe station refused the erase (1 attempt): the unit's firmware may be "
       "partly erased. Run odu-upgrade again; if it fails at the same place, check the image.\n"},
      {"closing refused", Faulty(651, sim::Fault::Stall), kExitUpgradeError,
       "Upgrade error. Command timeout.\nThe station did not answer closing command 1 of 3 (4 attempts, 1 s each): "
       "the unit is programmed but the bootloader did not finish (it may not start the new firmware). Check the cable "
       "and the station's power, then run odu-upgrade again.\n"},
      {"pulled out", Faulty(100, sim::Fault::Vanish), kExitUpgradeError,
       "Upgrade error. Command timeout.\nThe port has gone: was the adapter unplugged? The run stopped at the record "
       "at 0x0630: the unit is erased and not fully programmed. Plug the adapter in again and run odu-upgrade again.\n"},
      {"out of step", OutOfStep(), kExitUpgradeError,
       "Upgrade error. Communication error.\nThe replies fell out of step after a late reply: the station answered once "
       "more after the last command, so a reply was taken for the wrong command and the unit may not be fully "
       "programmed. Run odu-upgrade again.\n",
       19200},
  };
  for (const auto& row : rows) {
    station = row.station;
    baud = row.baud;
    const Outcome r = Invoke({"--simulate"});
    EXPECT_EQ(r.status, row.status) << row.name;
    EXPECT_EQ(r.err, row.says) << row.name;
    EXPECT_EQ(r.out.rfind(row.out, 0), 0u) << row.name << ": " << r.out;
    if (row.status == kExitDone) {
      EXPECT_TRUE(r.out.ends_with("Reset station...\nDone.\nSimulated flash matches the image.\n")) << r.out;
    }
  }
}

// An adapter that holds every reply for its latency timer is named once,
// before the erase, with what it costs; one at 2 ms or less is not.
TEST_F(Cli, AnAdapterWithASlowLatencyTimerIsNamedBeforeTheErase) {
  const struct {
    uint32_t latency_ms;
    bool advised;
  } rows[] = {{16, true}, {3, true}, {2, false}, {0, false}};
  for (const auto& row : rows) {
    Simulator simulated = SimulatorOf(station, baud)(clock);
    env.latency_timer = [&](const std::string& port) { return port == simulated.port ? row.latency_ms : 99; };
    CliEnvironment with_station = env;
    with_station.opener = simulated.host.opener;
    with_station.clock = &clock;
    const Outcome r = CaptureCli({"--port", simulated.port, "--json"}, with_station);
    EXPECT_EQ(r.status, kExitDone) << row.latency_ms;
    const std::string advice = simulated.port + ": the adapter holds each reply for its latency timer of " +
                               std::to_string(row.latency_ms) + " ms: this upgrade takes about ";
    const size_t told = r.out.find(advice);
    EXPECT_EQ(told != std::string::npos, row.advised) << r.out;
    if (told == std::string::npos) continue;
    EXPECT_LT(told, r.out.find("\"Erase processor...\"")) << "before the erase";
    EXPECT_EQ(r.out.find(advice, told + 1), std::string::npos) << "once";
    EXPECT_NE(r.out.find("To lower it to 1 ms, " + LatencyTimerRemedy(simulated.port) + "."), std::string::npos);
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

constexpr const char* kUnchanged =
    "Upgrade interrupted before the erase: the port is closed and the unit's firmware is unchanged.\n";

sim::StationConfig SlowErase() {
  sim::StationConfig c = Faulty(0, sim::Fault::Delay);
  c.delay = Millis(5000);
  return c;
}

// An interrupt at each stage of a run at 19,200 baud (a whole run takes 21 s
// of virtual time), at `at_ms` on the run's clock, and what the run says.
struct InterruptStage {
  const char* port;  // its station's, in a fleet
  int64_t at_ms;
  sim::StationConfig station;
  const char* says;
  int frames = -1;  // frames sent in all, when known
};
const std::vector<InterruptStage>& InterruptStages() {
  static const std::vector<InterruptStage> stages = {
      // Half-way through a silent station's first handshake read: the scan
      // stops before its next attempt.
      {"HANDSHAKE", 500, Init(sim::StationConfig::Init::Silent), kUnchanged, 1},
      {"WAITING", 1500, {}, kUnchanged, 1},   // in the second before the erase
      {"ERASING", 4000, SlowErase(),
       "Upgrade interrupted during the erase: the port is closed and the unit's firmware may be partly erased. Run "
       "odu-upgrade again.\n",
       2},
      {"PROGRAMMING", 5000, {},
       "Upgrade interrupted during programming at 0x0660: the port is closed and the unit is erased and not fully "
       "programmed. Run odu-upgrade again.\n"},
      {"CLOSING", 21500, Faulty(651, sim::Fault::Stall),
       "Upgrade interrupted at closing command 1 of 3: the port is closed and the unit is programmed but the "
       "bootloader did not finish (it may not start the new firmware). Run odu-upgrade again.\n"},
      // The last command acknowledged after a reply had timed out.
      {"LISTENING", 25500, Faulty(5, sim::Fault::Drop),
       "Upgrade interrupted after the last command was acknowledged, while the tool listened for a reply still owed "
       "after a timeout: the port is closed and the unit is likely programmed, but that was not confirmed. Run "
       "odu-upgrade again.\n"},
  };
  return stages;
}

TEST_F(Cli, AnInterruptClosesThePortSendsNothingMoreAndSaysWhatStateTheUnitIsIn) {
  struct Row {
    int64_t at_ms;
    const char* says;
    sim::StationConfig station = {};
    std::vector<std::string> args = {};
    int frames = -1;  // frames sent in all, when known
  };
  std::vector<Row> rows = {
      {500, kUnchanged, {}, {}, 1},
      {1500, kUnchanged, Init(sim::StationConfig::Init::Silent), {"--handshake-only"}, 2},
  };
  for (const InterruptStage& stage : InterruptStages())
    rows.push_back({stage.at_ms, stage.says, stage.station, {}, stage.frames});
  baud = 19200;  // a whole run takes 21 s of virtual time
  for (const auto& row : rows) {
    SCOPED_TRACE(row.at_ms);
    std::function<void()> interrupt;
    env.set_interrupt_handler = [&](std::function<void()> handler) { interrupt = std::move(handler); };
    station = row.station;
    clock.Schedule(clock.Now() + Millis(row.at_ms), [&] { interrupt(); });
    std::vector<std::string> args = {"--simulate", "--trace"};
    args.insert(args.end(), row.args.begin(), row.args.end());
    const Outcome r = Invoke(args);
    EXPECT_EQ(r.status, kExitInterrupted) << row.says;
    if (row.frames >= 0) {
      size_t sent = 0;
      for (size_t at = r.err.find(" TX "); at != std::string::npos; at = r.err.find(" TX ", at + 1)) ++sent;
      EXPECT_EQ(sent, static_cast<size_t>(row.frames)) << r.err;
    }
    EXPECT_FALSE(interrupt) << "the handler is removed when the run ends";
    const size_t said = r.err.find(row.says);
    ASSERT_NE(said, std::string::npos) << r.err.substr(r.err.size() - std::min<size_t>(r.err.size(), 400));
    EXPECT_EQ(r.err.find("TX ", said), std::string::npos) << "a frame was sent after the interrupt";
    EXPECT_EQ(r.out.find("Done."), std::string::npos);
  }
}

// --check-image opens nothing; --handshake-only sends the initialisation
// frame and nothing more; --log keeps the whole run in a file.
TEST_F(Cli, TheImageAndTheStationCanBeTriedWithoutTouchingTheUnit) {
  Outcome r = Invoke({"--check-image"});
  EXPECT_EQ(r.status, kExitDone) << r.err;
  EXPECT_NE(r.out.find("blocks"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("650"), std::string::npos) << r.out;
  EXPECT_TRUE(opener.opened().empty());

  const struct {
    sim::StationConfig station;
    int status;
    const char* says;
  } rows[] = {
      {{}, kExitDone, "Station on SIM answered: OK (ready for an upgrade; nothing was erased)\n"},
      {Init(sim::StationConfig::Init::Refuse), kExitRefused, "Station on SIM answered: Station upgrade not supported.\n"},
  };
  for (const auto& row : rows) {
    station = row.station;
    r = Invoke({"--simulate", "--handshake-only", "--trace"});
    EXPECT_EQ(r.status, row.status) << r.err;
    EXPECT_EQ(r.out, row.says);
    size_t sent = 0;
    for (size_t at = r.err.find(" TX "); at != std::string::npos; at = r.err.find(" TX ", at + 1)) ++sent;
    EXPECT_EQ(sent, 1u) << r.err;
  }

  station = Faulty(5, sim::Fault::Stall);
  const std::string log = WriteFile("run.log", "");
  r = Invoke({"--simulate", "--log", log});
  EXPECT_EQ(r.status, kExitUpgradeError);
  std::ifstream in(log);
  const std::string logged((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  for (const char* line : {" ms SIM: station answered: OK\n", " ms SIM: stage: Programming...\n", " ms SIM TX 5A 0A 00 F3",
                           " ms SIM RX 5A 07 00 00 E5 FE BA\n", " ms SIM: Upgrade error. Command timeout.\n",
                           " ms SIM: The station did not answer the record at 0x0040", " ms exit status 5\n"})
    EXPECT_NE(logged.find(line), std::string::npos) << line << " in\n" << logged.substr(0, 2000);
  // Before a station answers, a run over several ports has no port to name.
  const std::string several = WriteFile("several.log", "");
  EXPECT_EQ(Invoke({"--port", "COM1", "--port", "COM2", "--log", several}).status, kExitNotFound);
  std::ifstream several_in(several);
  const std::string several_logged((std::istreambuf_iterator<char>(several_in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(several_logged.find(" ms : "), std::string::npos) << several_logged;
  EXPECT_NE(several_logged.find(" ms COM2: could not be opened: no such device\n"), std::string::npos) << several_logged;
  EXPECT_NE(several_logged.find(" ms Hardware error. Station ORVELA not found.\n"), std::string::npos) << several_logged;
  EXPECT_EQ(Invoke({"--simulate", "--log", "/nonexistent/dir/run.log"}).status, kExitUsage);
}

// Without --verbose, the findings follow "Station ORVELA not found.": each
// port's when few were tried or they were named, else their count.
TEST_F(Cli, AScanThatFoundNoStationSaysWhatItFoundOnThePortsTried) {
  std::vector<std::string> many;
  for (int i = 0; i < 6; ++i) many.push_back("/dev/ttyUSB" + std::to_string(i));
  env.list_ports = [&](std::vector<std::string>& l) { l = many; };
  Outcome r = Invoke({});
  EXPECT_EQ(r.status, kExitNotFound);
  EXPECT_EQ(r.err, "Hardware error. Station ORVELA not found.\n"
                   "6 ports tried, none with a station: run with --verbose for each port\n");
  std::vector<std::string> named;
  for (const auto& p : many) named.insert(named.end(), {"--port", p});
  r = Invoke(named);
  EXPECT_NE(r.err.find("/dev/ttyUSB5: could not be opened: no such device\n"), std::string::npos) << r.err;
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

TEST_F(Cli, OnATerminalTheProgressLineIsRedrawnInPlaceWithinTheTerminalsWidth) {
  env.out_is_terminal = true;
  baud = 19200;
  // The erase answered after 5 s: the line shows that the tool waits.
  station = Faulty(0, sim::Fault::Delay);
  station.delay = Millis(5000);
  for (const int columns : {40, 80, 200}) {
    env.terminal_columns = [columns] { return columns; };
    const Outcome r = Invoke({"--simulate"});
    ASSERT_EQ(r.status, kExitDone) << r.err;
    EXPECT_NE(r.out.find("Done."), std::string::npos);
    EXPECT_NE(r.out.find("100%"), std::string::npos);
    EXPECT_NE(r.out.find("waiting 4 s"), std::string::npos) << columns;
    if (columns >= 80) {
      EXPECT_NE(r.out.find("/10400 B"), std::string::npos) << r.out.substr(0, 400);
    }
    // Each redraw: "\r", the line, the erase to its end; never as wide as
    // the terminal, so that it never wraps.
    std::istringstream redraws(r.out);
    size_t count = 0;
    for (std::string redraw; std::getline(redraws, redraw, '\r');) {
      const size_t end = redraw.find("\x1b[K");
      if (end == std::string::npos) continue;
      ++count;
      EXPECT_LT(end, static_cast<size_t>(columns)) << redraw;
    }
    EXPECT_GT(count, 20u);
    for (size_t at = r.out.find('%'); at != std::string::npos; at = r.out.find('%', at + 1)) {
      size_t start = at;
      while (start > 0 && std::isdigit(static_cast<unsigned char>(r.out[start - 1]))) --start;
      ASSERT_LE(std::stoi(r.out.substr(start, at - start)), 100);
    }
  }
}

}  // namespace
}  // namespace odu::testing

namespace odu::testing {
namespace {

// A flat JSON object's members as text: strings unquoted, the rest as
// written. Fails the test on anything that is not one.
std::map<std::string, std::string> ParseJsonObject(const std::string& line, std::map<std::string, char>& kinds) {
  std::map<std::string, std::string> members;
  size_t i = 0;
  const auto fail = [&](const char* what) {
    ADD_FAILURE() << what << " at " << i << " in " << line;
    return std::map<std::string, std::string>{};
  };
  const auto string_at = [&](std::string& s) {
    if (line[i] != '"') return false;
    for (++i; i < line.size() && line[i] != '"'; ++i) {
      if (static_cast<unsigned char>(line[i]) < 0x20) return false;
      if (line[i] == '\\') {
        ++i;
        if (i >= line.size()) return false;
        if (line[i] == 'u') {
          if (i + 4 >= line.size()) return false;
          s += '?';
          i += 4;
          continue;
        }
        if (std::string("\"\\/bfnrt").find(line[i]) == std::string::npos) return false;
      }
      s += line[i];
    }
    return i++ < line.size();
  };
  if (line.empty() || line[i++] != '{') return fail("no object");
  while (i < line.size() && line[i] != '}') {
    std::string key, value;
    if (!string_at(key) || line[i++] != ':') return fail("bad key");
    if (line[i] == '"') {
      if (!string_at(value)) return fail("bad string");
      kinds[key] = 's';
    } else {
      while (i < line.size() && line[i] != ',' && line[i] != '}') value += line[i++];
      const bool number = !value.empty() && value.find_first_not_of("-0123456789.") == std::string::npos;
      if (!number && value != "true" && value != "false" && value != "null") return fail("bad value");
      kinds[key] = number ? 'n' : value == "null" ? '0' : 'b';
    }
    if (!members.emplace(key, value).second) return fail("key twice");
    if (line[i] == ',') ++i;
  }
  if (i + 1 != line.size()) return fail("text after the object");
  return members;
}

// What each event carries besides "event" and "port" (s string, n number,
// b true/false, 0 null).
const std::map<std::string, std::map<std::string, std::string>>& JsonSchema() {
  static const std::map<std::string, std::map<std::string, std::string>> schema = {
      {"finding", {{"finding", "s"}}},
      {"stage", {{"stage", "s"}}},
      {"progress", {{"done_bytes", "n"}, {"total_bytes", "n"}, {"percent", "n"}, {"seconds_left", "n0"}}},
      {"message", {{"caption", "s"}, {"text", "s"}}},
      {"note", {{"text", "s"}}},
      {"result",
       {{"status", "n"}, {"found", "b"}, {"result", "s"}, {"bytes", "n"}, {"total_bytes", "n"}, {"seconds", "n"}}},
      {"end", {{"status", "n"}, {"ports", "n"}, {"found", "n"}, {"upgraded", "n"}}},
      {"error", {{"status", "n"}, {"text", "s"}}},
  };
  return schema;
}

// Every line of `out` is one object of the schema; returns them. Where
// Python runs, its json module reads the same members of the same kinds, and
// the strings are as it reads them, escapes decoded.
std::vector<std::map<std::string, std::string>> JsonLinesOf(const std::string& out) {
  std::vector<std::map<std::string, std::string>> objects;
  std::vector<std::map<std::string, char>> all_kinds;
  std::istringstream lines(out);
  for (std::string line; std::getline(lines, line);) {
    std::map<std::string, char> kinds;
    auto members = ParseJsonObject(line, kinds);
    const auto event = JsonSchema().find(members["event"]);
    if (event == JsonSchema().end()) {
      ADD_FAILURE() << "no such event: " << line;
      continue;
    }
    // The end and a refusal to start are about no port.
    const bool portless = event->first == "end" || event->first == "error";
    EXPECT_TRUE(kinds["port"] == '0' || (kinds["port"] == 's' && !portless)) << line;
    EXPECT_EQ(members.size(), event->second.size() + 2) << line;
    for (const auto& [key, types] : event->second)
      EXPECT_NE(types.find(kinds.count(key) ? kinds[key] : 'x'), std::string::npos) << key << " in " << line;
    objects.push_back(std::move(members));
    all_kinds.push_back(std::move(kinds));
  }
  if (!kPythonReadsJson) return objects;
  std::string error;
  const auto read = ReadByPython(out, error);
  EXPECT_EQ(error, "");
  if (read.size() != objects.size()) ADD_FAILURE() << read.size() << " objects read by Python in\n" << out;
  for (size_t i = 0; i < std::min(read.size(), objects.size()); ++i) {
    EXPECT_EQ(read[i].size(), objects[i].size()) << "object " << i;
    for (const JsonMember& m : read[i]) {
      EXPECT_EQ(m.kind, all_kinds[i][m.key]) << m.key << " of object " << i;
      if (m.kind == 's') objects[i][m.key] = m.value;
    }
  }
  return objects;
}

// Four stations in process, each with its own virtual clock: one clean,
// one refusing the upgrade, one that stops answering mid-image, one whose
// adapter is pulled out mid-run; and a port without a station.
class Fleet : public Cli {
 protected:
  Fleet() {
    stations = {{"CLEAN", {}},
                {"REFUSING", Init(sim::StationConfig::Init::Refuse)},
                {"STALLING", Faulty(300, sim::Fault::Stall)},
                {"PULLED", Faulty(200, sim::Fault::Vanish)}};
    env.run_host = [this](const std::string& port) {
      struct Host {
        VirtualClock clock;
        std::unique_ptr<sim::SimulatedStation> station;
        VirtualPortOpener empty;
      };
      auto host = std::make_shared<Host>();
      RunHost r;
      r.clock = &host->clock;
      r.opener = &host->empty;
      if (auto it = stations.find(port); it != stations.end()) {
        host->station = std::make_unique<sim::SimulatedStation>(host->clock, 19200, it->second, port);
        r.opener = &host->station->opener();
        r.flash_matches = [station = host->station.get()](const uint8_t* image) { return station->FlashMatches(image); };
      }
      r.keep = host;
      return r;
    };
  }
  std::map<std::string, sim::StationConfig> stations;
};

TEST_F(Fleet, EachStationEndsWithItsOwnResultAndTheStatusIsPartial) {
  const std::vector<std::string> ports = {"CLEAN", "REFUSING", "STALLING", "PULLED", "EMPTY"};
  const std::string log = WriteFile("fleet.log", "");
  std::vector<std::string> args = {"--all", "--log", log, "--port", "CLEAN"};
  for (const auto& p : ports) args.insert(args.end(), {"--port", p});
  const Outcome r = Invoke(args);
  EXPECT_EQ(r.status, kExitPartial) << r.out << r.err;
  EXPECT_NE(r.err.find("CLEAN: given twice, tried once\n"), std::string::npos) << r.err;
  // The log has every port's events and frames.
  std::ifstream in(log);
  const std::string logged((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  for (const char* line : {" ms CLEAN TX 5A 0A 00 F3", " ms STALLING: Upgrade error. Command timeout.\n",
                           " ms CLEAN: result: Done. (exit status 0, 10400 bytes)\n", " ms exit status 9\n"})
    EXPECT_NE(logged.find(line), std::string::npos) << line;
  // The summary: one row per port, in the order given.
  std::vector<std::string> rows;
  std::istringstream lines(r.out.substr(r.out.find("port ")));
  for (std::string line; std::getline(lines, line);) rows.push_back(line);
  ASSERT_EQ(rows.size(), ports.size() + 2) << r.out;
  EXPECT_NE(rows[1].find("CLEAN"), std::string::npos);
  EXPECT_NE(rows[1].find(" Done. "), std::string::npos) << rows[1];
  EXPECT_NE(rows[1].find("10400"), std::string::npos) << rows[1];
  EXPECT_NE(rows[2].find("Initialize error. Station upgrade not supported."), std::string::npos) << rows[2];
  EXPECT_NE(rows[3].find("Upgrade error. Command timeout."), std::string::npos) << rows[3];
  EXPECT_NE(rows[4].find("Upgrade error."), std::string::npos) << rows[4];
  EXPECT_NE(rows[5].find("no station: could not be opened"), std::string::npos) << rows[5];
  EXPECT_EQ(rows[6], "1 of 4 stations upgraded, 3 failed; 1 port without a station.");
  // Plain lines, each with its port.
  EXPECT_NE(r.out.find("CLEAN: Programming... 50%"), std::string::npos) << r.out;
  EXPECT_NE(r.err.find("STALLING: Upgrade error. Command timeout."), std::string::npos) << r.err;
}

// A single run is a fleet of one: the same log lines and the same JSON
// lines, a run's time apart.
TEST_F(Fleet, ASingleRunAndAFleetOfOneTellTheSame) {
  for (const sim::StationConfig& config : {sim::StationConfig{}, Faulty(5, sim::Fault::Stall)}) {
    station = stations["SIM"] = config;
    baud = 19200;
    const auto told = [&](std::vector<std::string> args) {
      const std::string log = WriteFile("one.log", "");
      args.insert(args.end(), {"--json", "--log", log});
      const Outcome r = Invoke(args);
      std::ifstream in(log);
      std::string lines, line;
      std::getline(in, line);  // "odu-upgrade VERSION started" and how
      while (std::getline(in, line)) lines += line.substr(line.find(" ms ")) + "\n";
      std::istringstream json(r.out);
      while (std::getline(json, line)) lines += line.substr(0, line.find(",\"seconds\":")) + "\n";
      return std::to_string(r.status) + "\n" + lines;
    };
    EXPECT_EQ(told({"--simulate"}), told({"--all", "--port", "SIM"}));
  }
}

TEST_F(Fleet, JsonLinesFollowTheSchemaAndEndWithEachStationsResult) {
  const Outcome r = Invoke({"--all", "--json", "--port", "CLEAN", "--port", "STALLING", "--port", "EMPTY"});
  EXPECT_EQ(r.status, kExitPartial);
  const auto objects = JsonLinesOf(r.out);
  ASSERT_FALSE(objects.empty());
  std::map<std::string, std::map<std::string, std::string>> results;
  std::map<std::string, int> last_percent;
  for (const auto& o : objects) {
    if (o.at("event") == "result") results[o.at("port")] = o;
    if (o.at("event") == "progress") {
      const int percent = std::stoi(o.at("percent"));
      const auto last = last_percent.try_emplace(o.at("port"), -1).first;
      EXPECT_GT(percent, last->second) << "one line per whole percent, rising";
      EXPECT_LE(percent, 100);
      last->second = percent;
    }
  }
  ASSERT_EQ(results.size(), 3u);
  EXPECT_EQ(results["CLEAN"]["result"], "Done.");
  EXPECT_EQ(results["CLEAN"]["status"], "0");
  EXPECT_EQ(results["CLEAN"]["bytes"], "10400");
  EXPECT_EQ(results["STALLING"]["result"], "Upgrade error. Command timeout.");
  EXPECT_EQ(results["STALLING"]["status"], std::to_string(kExitUpgradeError));
  // The records acknowledged before the station stopped answering at the
  // 300th (after the erase), 16 bytes each: kept after the window cleared.
  EXPECT_EQ(results["STALLING"]["bytes"], std::to_string(299 * 16));
  EXPECT_EQ(results["EMPTY"]["found"], "false");
  EXPECT_EQ(objects.back().at("event"), "end");
  EXPECT_EQ(objects.back().at("status"), std::to_string(kExitPartial));
  EXPECT_EQ(objects.back().at("upgraded"), "1");
  EXPECT_EQ(last_percent["CLEAN"], 100);

  // The single run's lines follow the same schema.
  const Outcome single = Invoke({"--simulate", "--json"});
  EXPECT_EQ(single.status, kExitDone);
  const auto one = JsonLinesOf(single.out);
  ASSERT_GE(one.size(), 3u);
  EXPECT_EQ(one[one.size() - 2].at("result"), "Done.");
  EXPECT_EQ(JsonLinesOf(Invoke({"--json", "--image", "/nonexistent/odu.hex"}).out).at(0).at("event"), "error");
  // Before a station answered, a run over several ports is about no port
  // but in each port's finding.
  std::string told;
  for (const auto& o : JsonLinesOf(Invoke({"--json", "--port", "COM1", "--port", "COM2"}).out))
    told += o.at("event") + " " + o.at("port") + ", ";
  EXPECT_EQ(told, "stage null, finding COM1, finding COM2, message null, result null, end null, ");
}

// Whatever a port's name or a message holds, Python reads back what was
// meant: every byte that is not UTF-8 as U+FFFD, the rest as it was.
TEST_F(Fleet, EveryStringOfTheJsonLinesReadsBackAsItWasMeant) {
  if (!kPythonReadsJson) GTEST_SKIP() << "no python3 under wine";
  std::string controls(1, '\0');
  for (char c = 1; c < 0x20; ++c) controls += c;
  const std::string R = "\xEF\xBF\xBD";
  const struct {
    std::string given, meant;
  } rows[] = {
      {R"(\\.\COM10)", R"(\\.\COM10)"},
      {"say \"hi\" / ok", "say \"hi\" / ok"},
      {controls + "\x7F" + " end", controls + "\x7F" + " end"},
      // UTF-8 from U+0080 to U+10FFFF (the last at the very end), each
      // bound of each length and around the surrogates.
      {"\xC2\x80\xDF\xBF\xE0\xA0\x80\xED\x9F\xBF\xEE\x80\x80\xEF\xBF\xBF\xF0\x90\x80\x80\xF4\x8F\xBF\xBF",
       "\xC2\x80\xDF\xBF\xE0\xA0\x80\xED\x9F\xBF\xEE\x80\x80\xEF\xBF\xBF\xF0\x90\x80\x80\xF4\x8F\xBF\xBF"},
      // A stray byte, an overlong '/', both surrogate bounds, past U+10FFFF,
      // a sequence cut short by an ASCII byte, by a lead byte and by the end.
      {"\xFF" "A\xC0\xAF" "B\xED\xA0\x80" "C\xED\xBF\xBF" "D\xF4\x90\x80\x80" "E\xE2\x82" "F\xC3\xE9" "G\xE2\x82",
       R + "A" + R + R + "B" + R + R + R + "C" + R + R + R + "D" + R + R + R + R + "E" + R + R + "F" + R + R + "G" +
           R + R},
  };
  std::FILE* written = std::tmpfile();
  JsonLines lines(written);
  std::vector<std::string> args = {"--all", "--json"};
  for (const auto& row : rows) {
    lines.Note(row.given, row.given);
    lines.Box(row.given, {Caption::kOther, row.given, row.given});
    args.insert(args.end(), {"--port", row.given});
  }
  lines.Error(kExitBadImage, rows[0].given);
  std::fflush(written);
  std::rewind(written);
  std::string out;
  for (int c; (c = std::fgetc(written)) != EOF;) out += static_cast<char>(c);
  std::fclose(written);
  const auto objects = JsonLinesOf(out);
  ASSERT_EQ(objects.size(), 2 * std::size(rows) + 1);
  for (size_t i = 0; i < std::size(rows); ++i) {
    const auto& note = objects[2 * i];
    const auto& box = objects[2 * i + 1];
    EXPECT_EQ(note.at("port"), rows[i].meant) << i;
    EXPECT_EQ(note.at("text"), rows[i].meant) << i;
    EXPECT_EQ(box.at("caption") + box.at("text"), rows[i].meant + rows[i].meant) << i;
  }
  EXPECT_EQ(objects.back().at("text"), rows[0].meant);

  // The same port names through a fleet: each line of each port names it.
  const Outcome r = Invoke(args);
  EXPECT_EQ(r.status, kExitNotFound);
  std::map<std::string, std::string> told;
  for (const auto& o : JsonLinesOf(r.out)) told[o.at("port")] += o.at("event") + " ";
  for (const auto& row : rows) EXPECT_EQ(told[row.meant], "stage finding message result ") << row.meant;
  EXPECT_EQ(told["null"], "end ");
}

TEST_F(Fleet, TheExitStatusIsTheSingleRunsUnlessSomeWereUpgradedAndSomeFailed) {
  std::function<void()> interrupt;
  env.set_interrupt_handler = [&](std::function<void()> handler) { interrupt = std::move(handler); };
  // When set, the interrupt comes at that moment on the first port's clock
  // (another's may be anywhere in its run by then).
  int64_t interrupt_ms = 0;
  std::string first;
  env.run_host = [&, host = env.run_host](const std::string& port) {
    RunHost h = host(port);
    if (interrupt_ms > 0 && port == first)
      static_cast<VirtualClock*>(h.clock)->Schedule(Millis(interrupt_ms), [&] { interrupt(); });
    return h;
  };
  stations["CLEAN2"] = {};
  stations["SILENT"] = Init(sim::StationConfig::Init::Silent);
  const struct {
    std::vector<std::string> ports;
    int status;
    int64_t interrupt_ms = 0;
  } rows[] = {
      {{"CLEAN", "CLEAN2"}, kExitDone},
      {{"CLEAN", "EMPTY"}, kExitDone},
      {{"EMPTY", "NOTHING"}, kExitNotFound},
      {{"REFUSING", "EMPTY"}, kExitRefused},
      {{"STALLING", "REFUSING"}, kExitUpgradeError},
      // All failed: the first failure's, past the ports without a station.
      {{"EMPTY", "NOTHING", "REFUSING", "STALLING"}, kExitRefused},
      {{"EMPTY", "STALLING", "REFUSING"}, kExitUpgradeError},
      {{"CLEAN", "REFUSING"}, kExitPartial},
      {{"EMPTY", "STALLING", "CLEAN2"}, kExitPartial},
      // Before any station answered, and once one had.
      {{"SILENT", "EMPTY"}, kExitInterrupted, 500},
      {{"CLEAN", "CLEAN2", "EMPTY"}, kExitInterrupted, 5000},
  };
  for (const auto& row : rows) {
    interrupt_ms = row.interrupt_ms;
    first = row.ports[0];
    std::vector<std::string> args = {"--all"};
    for (const auto& p : row.ports) args.insert(args.end(), {"--port", p});
    EXPECT_EQ(Invoke(args).status, row.status) << ::testing::PrintToString(row.ports) << " " << row.interrupt_ms;
  }
}

TEST_F(Fleet, AnInterruptStopsEveryRunAndEachSaysWhatStateItsUnitIsIn) {
  std::function<void()> interrupt;
  env.set_interrupt_handler = [&](std::function<void()> handler) { interrupt = std::move(handler); };
  // Each run's clock is its own: each run waits at its stage's moment until
  // every run is at its own, and then the interrupt stops them all.
  std::mutex mutex;
  std::condition_variable all_there;
  size_t there = 0;
  const size_t runs = InterruptStages().size();
  env.run_host = [&, host = env.run_host](const std::string& port) {
    RunHost h = host(port);
    const auto stage = std::find_if(InterruptStages().begin(), InterruptStages().end(),
                                    [&](const InterruptStage& s) { return s.port == port; });
    static_cast<VirtualClock*>(h.clock)->Schedule(Millis(stage->at_ms), [&] {
      std::unique_lock lock(mutex);
      if (++there == runs) interrupt();
      all_there.notify_all();
      // Bounded, so that a run that never gets there fails the test instead of hanging it.
      all_there.wait_for(lock, std::chrono::seconds(30), [&] { return there == runs; });
    });
    return h;
  };
  std::vector<std::string> args = {"--all"};
  for (const InterruptStage& stage : InterruptStages()) {
    stations[stage.port] = stage.station;
    args.insert(args.end(), {"--port", stage.port});
  }
  const Outcome r = Invoke(args);
  EXPECT_EQ(r.status, kExitInterrupted) << r.out << r.err;
  EXPECT_FALSE(interrupt) << "the handler is removed when the runs end";
  for (const InterruptStage& stage : InterruptStages())
    EXPECT_NE(r.err.find(std::string(stage.port) + ": " + stage.says), std::string::npos) << stage.port << r.err;
  EXPECT_EQ(r.out.find("Done."), std::string::npos) << r.out;
}

}  // namespace
}  // namespace odu::testing

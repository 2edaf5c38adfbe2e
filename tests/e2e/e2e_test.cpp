// odu-upgrade against odu-station-sim on a pseudo-terminal: the real program
// and the real POSIX device layer, the station in another process. The tool
// runs with the test shim preloaded, which gives the pseudo-terminal the
// modem lines the simulator sets; with --all over several terminals, each
// terminal the lines of its own simulator.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/report_file.h"

namespace odu::testing {
namespace {

namespace fs = std::filesystem;

// Its standard output until it closes it (the program prints no empty line).
std::string ReadOutput(ChildProcess& child) {
  std::string out;
  for (std::string line; !(line = child.ReadLine(120000)).empty();) out += line + "\n";
  return out;
}

struct Result {
  int status = -1;
  std::string port;  // the simulator's terminal
  std::string out, err;
  std::map<std::string, std::string> report;
};

struct FleetResult {
  int status = -1;
  std::string out, err;
  std::vector<std::string> ports;  // each simulator's terminal
  std::vector<std::map<std::string, std::string>> reports;
};

// The lines of `out` that name `port` (a whole name: a line about
// /dev/pts/10 does not name /dev/pts/1).
std::vector<std::string> LinesNaming(const std::string& out, const std::string& port) {
  std::vector<std::string> found;
  std::istringstream lines(out);
  for (std::string line; std::getline(lines, line);) {
    for (size_t at = line.find(port); at != std::string::npos; at = line.find(port, at + 1)) {
      const size_t end = at + port.size();
      if (end == line.size() || !std::isdigit(static_cast<unsigned char>(line[end]))) {
        found.push_back(line);
        break;
      }
    }
  }
  return found;
}

bool AnyHas(const std::vector<std::string>& lines, const std::string& text) {
  for (const auto& line : lines)
    if (line.find(text) != std::string::npos) return true;
  return false;
}

// The lock file that minicom and its kin take for the device at `path` (a
// path below /dev/): LCK.. and the rest of the path with each '/' made '_'.
std::string LockFileOf(const std::string& path) {
  std::string name = path.substr(std::string("/dev/").size());
  std::replace(name.begin(), name.end(), '/', '_');
  return "LCK.." + name;
}

// A lock file's contents naming `pid`: ten characters and a newline.
std::string LockNaming(pid_t pid) {
  char text[16];
  std::snprintf(text, sizeof text, "%10d\n", static_cast<int>(pid));
  return text;
}

// A terminal's settings as text to compare: its speeds, flags and control
// characters.
std::string Describe(const termios& t) {
  std::string text = "speed " + std::to_string(cfgetispeed(&t)) + "/" + std::to_string(cfgetospeed(&t));
  char flags[128];
  std::snprintf(flags, sizeof flags, " iflag %#o oflag %#o cflag %#o lflag %#o cc", static_cast<unsigned>(t.c_iflag),
                static_cast<unsigned>(t.c_oflag), static_cast<unsigned>(t.c_cflag), static_cast<unsigned>(t.c_lflag));
  text += flags;
  for (const cc_t c : t.c_cc) text += " " + std::to_string(c);
  return text;
}

// A cooked terminal at 9600 baud, two stop bits, no hardware flow and no
// CLOCAL: unlike the tool's raw 8N1 at 19,200 in every field it sets that a
// pseudo-terminal keeps (Linux keeps it at 8 data bits without parity,
// whatever is set).
termios CookedTerminal(termios t) {
  cfsetispeed(&t, B9600);
  cfsetospeed(&t, B9600);
  t.c_cflag = (t.c_cflag & ~(CRTSCTS | CLOCAL)) | PARODD | CSTOPB | CREAD;
  t.c_iflag = BRKINT | INPCK | ISTRIP | ICRNL | IXON | IXANY;
  t.c_oflag = OPOST | ONLCR;
  t.c_lflag = ISIG | ICANON | ECHO | ECHOE | ECHOK | IEXTEN;
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 5;
  return t;
}

class EndToEnd : public ::testing::Test {
 protected:
  EndToEnd() : dir_(fs::temp_directory_path() / ("odu-e2e-" + std::to_string(getpid()) + "-" + Name())) {
    fs::create_directories(dir_);
  }
  ~EndToEnd() override { fs::remove_all(dir_); }

  static std::string Name() { return ::testing::UnitTest::GetInstance()->current_test_info()->name(); }

  // What a test does around one run of the tool, besides starting it.
  struct Around {
    std::vector<std::string> env;     // the tool's, before the modem shim's
    bool shim = true;                 // without it the terminal has no modem lines
    bool station_left_alone = false;  // the tool is not to reach the station, which is stopped once the tool ends
    // Once the simulator's terminal is known, before the tool starts.
    std::function<void(const std::string& pty, ChildProcess& station)> before;
    // Each line of the tool's standard output as it comes.
    std::function<void(const std::string& line, ChildProcess& tool, ChildProcess& station)> line;
    // Once the tool has ended, before the simulator is waited for.
    std::function<void(ChildProcess& station)> after;
  };

  // Starts the simulator with `sim_args`, then odu-upgrade on its terminal
  // with `tool_args` after the --port option.
  Result Upgrade(const std::vector<std::string>& sim_args, const std::vector<std::string>& tool_args = {}) {
    return Upgrade(sim_args, tool_args, Around{});
  }
  Result Upgrade(const std::vector<std::string>& sim_args, const std::vector<std::string>& tool_args,
                 const Around& around) {
    const std::string state = (dir_ / "modem").string();
    const std::string report = (dir_ / "report").string();
    std::vector<std::string> sim{ODU_STATION_SIM, "--modem-state", state, "--report", report, "--exit-when-done",
                                 "--timeout-s", "120"};
    sim.insert(sim.end(), sim_args.begin(), sim_args.end());
    ChildProcess station(sim, {}, true, (dir_ / "sim.err").string());
    const std::string pty = station.ReadLine();
    Result r;
    r.port = pty;
    if (pty.empty()) {
      ADD_FAILURE() << "the simulator gave no terminal: " << ReadWholeFile(dir_ / "sim.err");
      return r;
    }
    if (around.before) around.before(pty, station);
    std::vector<std::string> tool{ODU_UPGRADE, "--port", pty};
    tool.insert(tool.end(), tool_args.begin(), tool_args.end());
    std::vector<std::string> env = around.env;
    if (around.shim) env.insert(env.end(), {"LD_PRELOAD=" ODU_MODEM_SHIM, "ODU_MODEM_STATE=" + state});
    {
      ChildProcess upgrade(tool, env, true, (dir_ / "tool.err").string());
      for (std::string line; !(line = upgrade.ReadLine(120000)).empty();) {
        r.out += line + "\n";
        if (around.line) around.line(line, upgrade, station);
      }
      r.status = upgrade.Wait();
    }
    if (around.after) around.after(station);
    if (around.station_left_alone) station.Stop(0);
    else station.Wait(30000);
    r.err = ReadWholeFile(dir_ / "tool.err");
    r.report = ReadReportFile(report);
    return r;
  }

  // odu-upgrade alone, with `args` and `env` before the inherited environment.
  Result Tool(const std::vector<std::string>& args, const std::vector<std::string>& env) {
    std::vector<std::string> tool{ODU_UPGRADE};
    tool.insert(tool.end(), args.begin(), args.end());
    Result r;
    {
      ChildProcess upgrade(tool, env, true, (dir_ / "tool.err").string());
      r.out = ReadOutput(upgrade);
      r.status = upgrade.Wait();
    }
    r.err = ReadWholeFile(dir_ / "tool.err");
    return r;
  }

  // Starts one simulator per entry of `sim_args` (its options), each on its
  // own terminal with its own modem-state file, then one odu-upgrade --all
  // over all the terminals (without `all`, one run that scans them in turn);
  // `started` is called once the tool has started, with the terminals.
  FleetResult UpgradeFleet(const std::vector<std::vector<std::string>>& sim_args, bool all = true,
                           const std::function<void(ChildProcess& tool, const std::vector<std::string>& ports)>&
                               started = {}) {
    FleetResult r;
    std::vector<std::unique_ptr<ChildProcess>> stations;
    std::vector<std::string> tool{ODU_UPGRADE};
    if (all) tool.push_back("--all");
    std::string states;
    for (size_t i = 0; i < sim_args.size(); ++i) {
      const std::string n = std::to_string(i);
      const std::string state = (dir_ / ("modem-" + n)).string();
      std::vector<std::string> sim{ODU_STATION_SIM, "--modem-state", state, "--report", (dir_ / ("report-" + n)).string(),
                                   "--exit-when-done", "--timeout-s", "120"};
      sim.insert(sim.end(), sim_args[i].begin(), sim_args[i].end());
      stations.push_back(std::make_unique<ChildProcess>(sim, std::vector<std::string>{}, true,
                                                        (dir_ / ("sim-" + n + ".err")).string()));
      r.ports.push_back(stations.back()->ReadLine());
      if (r.ports.back().empty()) {
        ADD_FAILURE() << "simulator " << i << " gave no terminal: " << ReadWholeFile(dir_ / ("sim-" + n + ".err"));
        return r;
      }
      tool.insert(tool.end(), {"--port", r.ports.back()});
      states += (i ? ":" : "") + state;
    }
    {
      ChildProcess upgrade(tool, {"LD_PRELOAD=" ODU_MODEM_SHIM, "ODU_MODEM_STATE=" + states}, true,
                           (dir_ / "tool.err").string());
      if (started) started(upgrade, r.ports);
      // A row takes some seconds; these bounds end a hung run well within
      // the test's CTest timeout, so that the tool is always reaped.
      r.out = upgrade.ReadToEnd(30000);
      r.status = upgrade.Wait(5000);
    }
    for (size_t i = 0; i < stations.size(); ++i) {
      // A simulator the tool never wrote to (no carrier) would wait for it.
      stations[i]->Stop(1000);
      r.reports.push_back(ReadReportFile((dir_ / ("report-" + std::to_string(i))).string()));
    }
    r.err = ReadWholeFile(dir_ / "tool.err");
    return r;
  }

  fs::path dir_;
};

TEST_F(EndToEnd, TheStationIsUpgradedAndItsFlashEqualsTheImage) {
  const Result r = Upgrade({"--baud", "0"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("Done."), std::string::npos) << r.out;
  EXPECT_EQ(r.report.at("finished"), "true");
  EXPECT_EQ(r.report.at("flash_matches_embedded"), "true");
  EXPECT_EQ(r.err, "");
}

TEST_F(EndToEnd, AnUpgradeThroughFaultsStillEndsWithTheImage) {
  const Result r = Upgrade({"--baud", "0", "--fault", "3:drop", "--fault", "9:refuse", "--fault", "20:corrupt",
                            "--fault", "40:split-slow", "--fault", "60:noise", "--fault", "650:drop"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.report.at("flash_matches_embedded"), "true");
}

TEST_F(EndToEnd, EachEndIsReportedWithItsMessageAndStatus) {
  // The window's message, then what the command line adds: where the run
  // stopped, how often it tried, the unit's state.
  const struct {
    const char* name;
    std::vector<std::string> sim;
    int status;
    const char* says;
    const char* then;
  } rows[] = {
      {"no station answers", {"--init", "silent"}, 3, "Hardware error. Station ORVELA not found.\n",
       ": no valid reply after 4 attempts\n"},
      {"the station refuses", {"--init", "refuse"}, 4, "Initialize error. Station upgrade not supported.\n", ""},
      {"a command is refused to the end", {"--fault", "5:refuse", "--fault-every-time"}, 5,
       "Upgrade error. Communication error.\n", "The station refused the record at 0x0040 (4 attempts): "},
      {"the bootloader stalls", {"--fault", "5:stall"}, 5, "Upgrade error. Command timeout.\n",
       "The station did not answer the record at 0x0040 (4 attempts, 1 s each): "},
      {"the adapter is pulled out", {"--fault", "5:vanish"}, 5, "Upgrade error. Command timeout.\n",
       "The port has gone: was the adapter unplugged? The run stopped at the record at 0x0040: "},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    std::vector<std::string> args{"--baud", "0"};
    args.insert(args.end(), row.sim.begin(), row.sim.end());
    const Result r = Upgrade(args);
    EXPECT_EQ(r.status, row.status);
    EXPECT_EQ(r.err.rfind(row.says, 0), 0u) << r.err;
    const std::string rest = r.err.substr(std::min(r.err.size(), std::string(row.says).size()));
    if (*row.then) {
      EXPECT_NE(rest.find(row.then), std::string::npos) << r.err;
    } else {
      EXPECT_EQ(rest, "");
    }
  }
}

TEST_F(EndToEnd, VerboseAndTraceShowTheHandshake) {
  const Result r = Upgrade({"--baud", "0", "--init", "refuse"}, {"--verbose", "--trace"});
  EXPECT_EQ(r.status, 4);
  EXPECT_NE(r.err.find(" ms " + r.port + " TX 5A 0A 00 F3 30 30 30 30 FD E9\n"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find(" ms " + r.port + " RX 5A 08 00 00 A2 0B"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find(": station answered: Station upgrade not supported."), std::string::npos) << r.err;
}

// A signal (Ctrl-C, a kill, the terminal hanging up) ends the run at once:
// the port is closed and left with the settings it had before the tool
// opened it, and one line on the error stream says what the unit is left
// with. The terminal's settings are the test's own, held open by the test
// throughout.
TEST_F(EndToEnd, ASignalClosesThePortAsItWasFoundAndSaysWhatTheUnitIsLeftWith) {
  const char* const programming =
      "Upgrade interrupted during programming at 0x[0-9A-F]{4}: the port is closed and the unit is erased and not "
      "fully programmed\\. Run odu-upgrade again\\.\n";
  const struct {
    const char* name;
    int signal;
    const char* at;     // the start of the line of output at which it is sent
    bool hold_station;  // the simulator is stopped until then: the handshake waits for its answer
    const char* says;   // the whole of standard error, as a regular expression
    bool erased;
    bool twice = false;  // a second signal while the first is being taken: the program ends at once
  } rows[] = {
      {"Ctrl-C while programming", SIGINT, "Programming... 10%", false, programming, true},
      {"a kill while programming", SIGTERM, "Programming... 10%", false, programming, true},
      {"the terminal hangs up while programming", SIGHUP, "Programming... 10%", false, programming, true},
      {"Ctrl-C while the handshake waits for the station", SIGINT, "Initialize bootloader...", true,
       "Upgrade interrupted before the erase: the port is closed and the unit's firmware is unchanged\\.\n", false},
      // The first is taken when the handshake read returns; the second (a
      // kill) comes before that and ends the program, which first puts the
      // terminal's settings back and removes its lock file. The tool is held
      // while both are sent, so that the second comes within the read.
      {"Ctrl-C, then a kill, while the handshake waits", SIGINT, "Initialize bootloader...", true, "", false, true},
  };
  const fs::path locks = dir_ / "locks";
  fs::create_directories(locks);
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    int slave = -1;
    termios set{}, during{}, after{};
    bool sent = false;
    std::string lock;
    bool locked = false;
    Around around;
    around.env = {"ODU_LOCK_DIR=" + locks.string()};
    // A station held past the handshake read may never see the frame: the
    // tool's close discards what the station has not read.
    around.station_left_alone = row.hold_station;
    around.before = [&](const std::string& pty, ChildProcess& station) {
      lock = (locks / LockFileOf(pty)).string();
      slave = open(pty.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
      ASSERT_GE(slave, 0) << pty;
      ASSERT_EQ(tcgetattr(slave, &set), 0);
      set = CookedTerminal(set);
      ASSERT_EQ(tcsetattr(slave, TCSANOW, &set), 0);
      ASSERT_EQ(tcgetattr(slave, &set), 0);  // as the terminal keeps them
      if (row.hold_station) station.Signal(SIGSTOP);
    };
    around.line = [&](const std::string& line, ChildProcess& tool, ChildProcess& station) {
      if (sent || line.rfind(row.at, 0) != 0) return;
      sent = true;
      // The tool opens the port after its first line: the signal comes once
      // the port is set up (raw, that is).
      for (int ms = 0; ms < 3000 && tcgetattr(slave, &during) == 0 && (during.c_lflag & ICANON); ++ms) usleep(1000);
      locked = fs::exists(lock);
      if (row.twice) tool.Signal(SIGSTOP);
      tool.Signal(row.signal);
      if (row.twice) {
        tool.Signal(SIGTERM);
        tool.Signal(SIGCONT);
        return;  // the station stays held: its answer must not end the read first
      }
      station.Signal(SIGCONT);
    };
    around.after = [&](ChildProcess& station) {
      station.Signal(SIGCONT);
      tcgetattr(slave, &after);
      if (slave >= 0) close(slave);  // the station sees the terminal hang up once the tool has closed it too
    };
    const Result r = Upgrade({"--baud", "19200"}, {}, around);
    ASSERT_TRUE(sent) << r.out << r.err;
    EXPECT_EQ(r.status, 8) << r.err;
    EXPECT_TRUE(std::regex_match(r.err, std::regex(row.says))) << r.err;
    EXPECT_EQ(r.out.find("Done."), std::string::npos) << r.out;
    EXPECT_NE(Describe(during), Describe(set)) << "the tool had set the port up when the signal came";
    EXPECT_EQ(Describe(after), Describe(set));
    EXPECT_TRUE(locked) << lock;
    EXPECT_FALSE(fs::exists(lock)) << lock;
    EXPECT_EQ(r.report.at("finished"), "false");
    EXPECT_EQ(r.report.at("erased"), row.erased ? "true" : "false");
    if (!row.erased) {
      EXPECT_EQ(r.report.at("records"), "0");
    }
  }
}

// Half a second into a scan of stations that do not answer (each
// handshake read waits a second), an interrupt stops the scan before its
// next attempt: no station sees a further frame, and the tool says that the
// firmware is unchanged.
TEST_F(EndToEnd, AnInterruptStopsTheScanBeforeItsNextFrame) {
  constexpr size_t kStations = 3;
  for (const bool all : {false, true}) {
    SCOPED_TRACE(all ? "--all" : "one run over the ports in turn");
    const FleetResult r = UpgradeFleet(std::vector<std::vector<std::string>>(kStations, {"--init", "silent"}), all,
                                       [](ChildProcess& tool, const std::vector<std::string>& ports) {
                                         // From the first port's open: the tool sets it raw.
                                         const int slave = open(ports[0].c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
                                         termios t{};
                                         for (int ms = 0; ms < 5000 && slave >= 0 && tcgetattr(slave, &t) == 0 &&
                                                          (t.c_lflag & ICANON);
                                              ++ms)
                                           usleep(1000);
                                         if (slave >= 0) close(slave);
                                         usleep(500000);
                                         tool.Signal(SIGINT);
                                       });
    ASSERT_EQ(r.reports.size(), kStations);
    EXPECT_EQ(r.status, 8) << r.out << r.err;
    EXPECT_NE(r.err.find("Upgrade interrupted before the erase: the port is closed and the unit's firmware is "
                         "unchanged."),
              std::string::npos)
        << r.err;
    EXPECT_EQ(r.err.find("Station ORVELA not found."), std::string::npos) << r.err;
    // One run tries the first port only before the signal; --all each
    // port at once. Without the stop, the first port would see four.
    for (size_t i = 0; i < kStations; ++i)
      EXPECT_LE(std::stoi(r.reports[i].at("init_frames")), all || i == 0 ? 1 : 0) << "station " << i;
  }
}

// A port that another program holds by its lock file (minicom, say) is left
// alone, and the scan names the holder; the lock of a process that has gone
// is taken over while the tool runs and removed when it ends.
TEST_F(EndToEnd, ALockedPortIsLeftToItsHolderAndAStaleLockIsTakenOver) {
  ChildProcess holder({"/bin/sleep", "30"}, {}, false, (dir_ / "sleep.err").string());
  ChildProcess gone({"/bin/true"}, {}, false, (dir_ / "true.err").string());
  ASSERT_EQ(gone.Wait(10000), 0);  // and reaped: its id names no process now
  const fs::path locks = dir_ / "locks";
  fs::create_directories(locks);
  const struct {
    const char* name;
    pid_t pid;
    bool alive;
  } rows[] = {
      {"a live holder", holder.pid(), true},
      {"a holder that has exited", gone.pid(), false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    std::string lock, during;
    pid_t tool_pid = 0;
    Around around;
    around.env = {"ODU_LOCK_DIR=" + locks.string()};
    around.station_left_alone = row.alive;
    around.before = [&](const std::string& pty, ChildProcess&) {
      lock = (locks / LockFileOf(pty)).string();
      std::ofstream(lock) << LockNaming(row.pid);
    };
    around.line = [&](const std::string& line, ChildProcess& tool, ChildProcess&) {
      // The erase waits a second after this line, with the port open.
      if (line != "Erase processor...") return;
      during = ReadWholeFile(lock);
      tool_pid = tool.pid();
    };
    const Result r = Upgrade({"--baud", "0"}, {}, around);
    if (row.alive) {
      EXPECT_EQ(r.status, 3);
      EXPECT_EQ(r.err, "Hardware error. Station ORVELA not found.\n" + r.port + ": could not be opened: in use by process " +
                           std::to_string(row.pid) + " (sleep), which holds " + lock + "\n");
      EXPECT_EQ(ReadWholeFile(lock), LockNaming(row.pid)) << "the holder's lock is not touched";
      EXPECT_EQ(r.report.at("bytes_from_tool"), "0");
    } else {
      EXPECT_EQ(r.status, 0) << r.err;
      EXPECT_EQ(r.report.at("flash_matches_embedded"), "true");
      EXPECT_EQ(during, LockNaming(tool_pid));
      EXPECT_FALSE(fs::exists(lock));
    }
  }
}

// Names that lead to no serial port, each told apart in its finding after
// the window's message; none of them is left locked.
TEST_F(EndToEnd, ANameThatIsNoSerialPortIsToldApart) {
  const fs::path file = dir_ / "a-file", folder = dir_ / "a-folder", locks = dir_ / "locks";
  std::ofstream(file) << "not a port\n";
  fs::create_directories(folder);
  fs::create_directories(locks);
  const struct {
    const char* name;
    std::string port;  // none: a simulator's terminal, and the tool without the modem shim
    const char* finding;
  } rows[] = {
      {"the null device", "/dev/null",
       "could not be opened: not a serial device (a character device that is no terminal)"},
      {"a regular file", file.string(), "could not be opened: not a serial device (a regular file)"},
      {"a directory", folder.string(), "could not be opened: not a serial device (a directory)"},
      {"a name that does not exist", (dir_ / "absent").string(), "could not be opened: no such device"},
      // Once, without the port component's boxes about DTR and RTS.
      {"a pseudo-terminal", "",
       "no modem-control lines (a three-wire adapter or a pseudo-terminal): the station's carrier cannot be seen"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    Around around;
    around.env = {"ODU_LOCK_DIR=" + locks.string()};
    around.shim = false;
    around.station_left_alone = true;
    const Result r = row.port.empty() ? Upgrade({"--baud", "0"}, {}, around) : Tool({"--port", row.port}, around.env);
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.err, "Hardware error. Station ORVELA not found.\n" + (row.port.empty() ? r.port : row.port) + ": " +
                         row.finding + "\n");
    EXPECT_EQ(r.out, "Initialize bootloader...\n");
    if (row.port.empty()) {
      EXPECT_EQ(r.report.at("bytes_from_tool"), "0");
    }
    EXPECT_TRUE(fs::is_empty(locks));
  }
}

// --handshake-only asks the station whether it would take an upgrade, and
// sends it nothing more.
TEST_F(EndToEnd, TheHandshakeAloneLeavesTheStationAsItWas) {
  const struct {
    const char* name;
    std::vector<std::string> sim;
    int status;
    const char* says;  // after "Station on PORT answered: "
  } rows[] = {
      {"a station that is ready", {}, 0, "OK (ready for an upgrade; nothing was erased)"},
      {"a station that refuses", {"--init", "refuse"}, 4, "Station upgrade not supported."},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    std::vector<std::string> args{"--baud", "0"};
    args.insert(args.end(), row.sim.begin(), row.sim.end());
    const Result r = Upgrade(args, {"--handshake-only"});
    EXPECT_EQ(r.status, row.status) << r.err;
    EXPECT_EQ(r.out, "Station on " + r.port + " answered: " + row.says + "\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.report.at("bytes_from_tool"), "10") << "the one handshake frame";
    EXPECT_EQ(r.report.at("records"), "0");
    EXPECT_EQ(r.report.at("erased"), "false");
  }
}

// Eight stations on eight terminals, upgraded side by side by one
// odu-upgrade --all. A station that fails fails alone, and says so on its
// own port; a port whose station shows no carrier (its own lines, which the
// shim gives that terminal alone) has no station and is not a failure.
TEST_F(EndToEnd, EightStationsAtOnceEachEndOnItsOwnPort) {
  struct Fails {
    const char* says;  // what its port's lines say instead of "Done."
    const char* key;   // and what its simulator reports
    const char* value;
  };
  const struct {
    const char* name;
    std::map<size_t, std::vector<std::string>> sim;  // by station, what its simulator does besides
    int status;
    std::map<size_t, Fails> fails;
  } rows[] = {
      {"all eight are upgraded", {}, 0, {}},
      {"one adapter is pulled out mid-image", {{3, {"--fault", "5:vanish"}}}, 9,
       {{3, {"Upgrade error. Command timeout.", "vanished", "true"}}}},
      {"one port has no carrier", {{5, {"--carrier", "off"}}}, 0, {{5, {"no station", "bytes_from_tool", "0"}}}},
  };
  constexpr size_t kStations = 8;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    std::vector<std::vector<std::string>> sims(kStations, {"--baud", "0"});
    for (const auto& [station, args] : row.sim) sims[station].insert(sims[station].end(), args.begin(), args.end());
    const FleetResult r = UpgradeFleet(sims);
    ASSERT_EQ(r.reports.size(), kStations);
    EXPECT_EQ(r.status, row.status) << r.out << r.err;
    for (size_t i = 0; i < kStations; ++i) {
      SCOPED_TRACE("station " + std::to_string(i) + " on " + r.ports[i]);
      const auto lines = LinesNaming(r.out, r.ports[i]);
      const auto fails = row.fails.find(i);
      if (fails == row.fails.end()) {
        EXPECT_EQ(r.reports[i].at("flash_matches_embedded"), "true");
        EXPECT_TRUE(AnyHas(lines, "Done.")) << r.out;
        continue;
      }
      EXPECT_EQ(r.reports[i].at("flash_matches_embedded"), "false");
      EXPECT_EQ(r.reports[i].at(fails->second.key), fails->second.value);
      EXPECT_TRUE(AnyHas(lines, fails->second.says)) << r.out;
      EXPECT_FALSE(AnyHas(lines, "Done.")) << r.out;
    }
  }
}

// The program's own simulated station, paced at 19,200 baud: what a user runs first.
TEST(Simulate, TheBuiltInStationIsUpgradedWithEveryFrameTraced) {
  const auto dir = fs::temp_directory_path() / ("odu-e2e-simulate-" + std::to_string(getpid()));
  fs::create_directories(dir);
  ChildProcess upgrade({ODU_UPGRADE, "--simulate", "--trace"}, {}, true, (dir / "err").string());
  const std::string out = ReadOutput(upgrade);
  EXPECT_EQ(upgrade.Wait(), 0);
  const std::string err = ReadWholeFile(dir / "err");
  fs::remove_all(dir);
  EXPECT_NE(out.find("Done.\n"), std::string::npos) << out;
  EXPECT_NE(out.find("Simulated flash matches the image.\n"), std::string::npos) << out;
  std::istringstream lines(err);
  std::vector<std::string> tx;
  for (std::string line; std::getline(lines, line);) {
    // "<ms> ms SIM TX ..."
    const size_t frame = line.find(" ms SIM ");
    ASSERT_NE(frame, std::string::npos) << line;
    line.erase(0, frame + 8);
    if (line.rfind("TX ", 0) == 0) tx.push_back(line);
    else EXPECT_EQ(line.rfind("RX ", 0), 0u) << line;
  }
  ASSERT_EQ(tx.size(), 1u + 1 + 650 + 3);
  EXPECT_EQ(tx[0], "TX 5A 0A 00 F3 30 30 30 30 FD E9");
  for (size_t i = 2; i < 652; ++i) ASSERT_EQ(tx[i].substr(0, 15), "TX 5A 31 00 F5 ") << i;
  EXPECT_EQ(tx[652].substr(0, 14), "TX 5A 17 00 F5");
  EXPECT_EQ(tx[653].substr(0, 14), "TX 5A 15 00 F5");
  EXPECT_EQ(tx[654].substr(0, 14), "TX 5A 11 00 F5");
}

}  // namespace
}  // namespace odu::testing

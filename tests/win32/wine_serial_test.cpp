// The Win32 serial device layer under wine, with real Windows calls on a wine
// COM port behind which is a pseudo-terminal that this test holds the other
// end of. Run by scripts/wine/serial-tests.sh, which maps the port (COMn to
// a symlink this test re-points at each new pseudo-terminal) and sets:
//   ODU_WIN_BUILD  the Windows build folder (odu-upgrade.exe, odu-serial-probe.exe)
//   ODU_COM_LINK   the symlink wine maps as ODU_COM_NAME (default COM7)
// and the wine prefix. The Windows programs run with the modem-line shim
// preloaded into wine (whose serial code runs in the program's own process),
// so the pseudo-terminal has the lines of the state file this test (or the
// simulator) keeps.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "sim/modem_state.h"
#include "tests/support/child_process.h"
#include "tests/support/read_fd.h"
#include "tests/support/report_file.h"

extern char** environ;

namespace odu::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::string Env(const char* name, const char* fallback = "") {
  const char* v = std::getenv(name);
  return v && *v ? v : fallback;
}

std::string Wine() {
  for (const char* dir : {"/usr/bin", "/usr/local/bin", "/opt/wine/bin"})
    if (fs::exists(fs::path(dir) / "wine")) return (fs::path(dir) / "wine").string();
  return "wine";
}

// A Windows program's text output with its line ends made Unix ones.
std::string Unix(std::string text) {
  std::erase(text, '\r');
  return text;
}

// Points the mapped symlink at `target` in one step (rename over it).
void PointComLinkAt(const std::string& target) {
  const std::string link = Env("ODU_COM_LINK");
  const std::string tmp = link + ".new";
  fs::remove(tmp);
  fs::create_symlink(target, tmp);
  fs::rename(tmp, link);
}

// A Windows program under wine, talked to through its standard input and
// output one line at a time.
class Conversation {
 public:
  Conversation(const std::vector<std::string>& args, const std::vector<std::string>& env, const std::string& err) {
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&fa, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&fa, STDERR_FILENO, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<std::string> all(env);
    for (char** e = environ; *e; ++e) all.emplace_back(*e);
    std::vector<char*> argv, envp;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    for (auto& e : all) envp.push_back(e.data());
    argv.push_back(nullptr);
    envp.push_back(nullptr);
    if (posix_spawn(&pid_, argv[0], &fa, nullptr, argv.data(), envp.data()) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&fa);
    ::close(in[0]);
    ::close(out[1]);
    to_ = in[1];
    from_ = out[0];
  }
  ~Conversation() {
    Say("quit", 0);
    if (to_ >= 0) ::close(to_);
    // It ends with its input; a hung one is killed.
    for (int i = 0; i < 500 && pid_ > 0; ++i) {
      if (waitpid(pid_, nullptr, WNOHANG) == pid_) pid_ = -1;
      else std::this_thread::sleep_for(10ms);
    }
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (from_ >= 0) ::close(from_);
  }

  // Sends `command`; its one-line reply ("" when none came in `timeout_ms`).
  std::string Say(const std::string& command, int timeout_ms = 5000) {
    const std::string line = command + "\n";
    if (to_ < 0 || ::write(to_, line.data(), line.size()) != static_cast<ssize_t>(line.size())) return "";
    if (timeout_ms == 0) return "";
    std::string reply;
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (std::chrono::steady_clock::now() < until) {
      pollfd p{from_, POLLIN, 0};
      if (::poll(&p, 1, 20) <= 0) continue;
      char c;
      if (::read(from_, &c, 1) != 1) break;
      if (c == '\n') return reply;
      if (c != '\r') reply += c;
    }
    return reply;
  }

 private:
  pid_t pid_ = -1;
  int to_ = -1;
  int from_ = -1;
};

class WineTest : public ::testing::Test {
 protected:
  WineTest()
      : dir_(fs::temp_directory_path() / ("odu-wine-" + std::to_string(getpid()) + "-" +
                                          ::testing::UnitTest::GetInstance()->current_test_info()->name())) {
    fs::create_directories(dir_);
  }
  ~WineTest() override { fs::remove_all(dir_); }

  void SetUp() override {
    if (Env("ODU_WIN_BUILD").empty() || Env("ODU_COM_LINK").empty())
      GTEST_SKIP() << "run by scripts/wine/serial-tests.sh (ODU_WIN_BUILD and ODU_COM_LINK unset)";
  }

  static std::string Port() { return Env("ODU_COM_NAME", "COM7"); }
  static std::string WinProgram(const char* relative) { return (fs::path(Env("ODU_WIN_BUILD")) / relative).string(); }
  std::vector<std::string> ShimEnv(const std::string& state) const {
    return {"LD_PRELOAD=" ODU_MODEM_SHIM, "ODU_MODEM_STATE=" + state};
  }

  fs::path dir_;
};

// The device layer on a pseudo-terminal this test holds: the master is the
// far end, the state file its modem lines.
class Win32Device : public WineTest {
 protected:
  void SetUp() override {
    WineTest::SetUp();
    if (IsSkipped()) return;
    char name[128] = {};
    ASSERT_EQ(openpty(&master_, &slave_, name, nullptr, nullptr), 0) << std::strerror(errno);
    ::fcntl(master_, F_SETFL, O_NONBLOCK);
    termios raw{};
    ::tcgetattr(slave_, &raw);
    ::cfmakeraw(&raw);
    ::tcsetattr(slave_, TCSANOW, &raw);
    const std::string state = (dir_ / "modem").string();
    const int fd = ::open(state.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, sizeof(odu_modem_state)), 0);
    void* map = ::mmap(nullptr, sizeof(odu_modem_state), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    ::close(fd);
    ASSERT_NE(map, MAP_FAILED);
    lines_ = static_cast<odu_modem_state*>(map);
    odu_modem_set(&lines_->station_dtr, 1);
    odu_modem_set(&lines_->station_rts, 1);
    odu_modem_set(&lines_->carrier_override, -1);
    __atomic_store_n(&lines_->magic, ODU_MODEM_STATE_MAGIC, __ATOMIC_SEQ_CST);
    PointComLinkAt(name);
    probe_ = std::make_unique<Conversation>(
        std::vector<std::string>{Wine(), WinProgram("tests/win32/odu-serial-probe.exe")}, ShimEnv(state),
        (dir_ / "probe.err").string());
    ASSERT_EQ(Say("open " + Port()), "ok") << ReadWholeFile(dir_ / "probe.err");
    ASSERT_EQ(Say("char"), "ok");
  }
  void TearDown() override {
    probe_.reset();
    if (lines_) ::munmap(lines_, sizeof *lines_);
    if (slave_ >= 0) ::close(slave_);
    if (master_ >= 0) ::close(master_);
  }

  std::string Say(const std::string& command) { return probe_->Say(command); }

  void FarEndWrites(const std::string& bytes) {
    ASSERT_EQ(::write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }
  std::string FarEndReads(size_t n) { return ReadUpTo(master_, n); }
  // Until the device's input queue holds `n` bytes (bounded).
  void AwaitInput(uint32_t n) {
    const std::string want = "ok 0 " + std::to_string(n) + " ";
    for (int i = 0; i < 200 && Say("errors").rfind(want, 0) != 0; ++i) std::this_thread::sleep_for(5ms);
  }

  int master_ = -1;
  int slave_ = -1;
  odu_modem_state* lines_ = nullptr;
  std::unique_ptr<Conversation> probe_;
};

TEST_F(Win32Device, TheLineStateReachesTheTerminalAndReadsBack) {
  // A pseudo-terminal keeps only 8 data bits and no parity (the kernel sets
  // them so), so those are not varied here.
  const struct {
    const char* command;  // baud bits parity stop ctsflow dsrflow dtrcontrol rtscontrol
    speed_t speed;
    bool two_stop_bits, crtscts;
    int32_t dtr, rts;     // as the far end sees them
    const char* reads_back;  // baud bits parity stop ctsflow dsrflow dtr rts outx inx binary
  } rows[] = {
      // Wine keeps no DSR output flow control (termios has none): it reads
      // back as 0 once set.
      // With CTS output flow control wine leaves RTS to the driver.
      {"state 19200 8 0 0 1 1 1 1", B19200, false, true, 1, 0, "ok 19200 8 0 0 1 0 1 1 0 0 1"},
      {"state 9600 8 0 2 0 0 0 0", B9600, true, false, 0, 0, "ok 9600 8 0 2 0 0 0 0 0 0 1"},
      {"state 115200 8 0 0 0 0 1 0", B115200, false, false, 1, 0, "ok 115200 8 0 0 0 0 1 0 0 0 1"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.command);
    ASSERT_EQ(Say(row.command), "ok");
    termios t{};
    ASSERT_EQ(::tcgetattr(master_, &t), 0);
    EXPECT_EQ(::cfgetospeed(&t), row.speed);
    EXPECT_EQ(::cfgetispeed(&t), row.speed);
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(t.c_cflag & PARENB, 0u);
    EXPECT_EQ((t.c_cflag & CSTOPB) != 0, row.two_stop_bits);
    EXPECT_EQ((t.c_cflag & CRTSCTS) != 0, row.crtscts);
    EXPECT_EQ(odu_modem_get(&lines_->tool_dtr), row.dtr);
    EXPECT_EQ(odu_modem_get(&lines_->tool_rts), row.rts);
    EXPECT_EQ(Say("getstate"), row.reads_back);
  }
}

TEST_F(Win32Device, DtrAndRtsReachTheFarEndAndItsLinesComeBack) {
  const struct {
    const char* command;
    int32_t odu_modem_state::*line;
    int32_t value;
  } rows[] = {
      {"escape 5", &odu_modem_state::tool_dtr, 1},  // SETDTR
      {"escape 6", &odu_modem_state::tool_dtr, 0},  // CLRDTR
      {"escape 3", &odu_modem_state::tool_rts, 1},  // SETRTS
      {"escape 4", &odu_modem_state::tool_rts, 0},  // CLRRTS
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.command);
    EXPECT_EQ(Say(row.command), "ok");
    EXPECT_EQ(odu_modem_get(&(lines_->*row.line)), row.value);
  }
  EXPECT_EQ(Say("modem"), "ok 176");  // CTS, DSR and carrier detect
  odu_modem_set(&lines_->station_rts, 0);
  EXPECT_EQ(Say("modem"), "ok 160");  // CTS gone
  odu_modem_set(&lines_->station_dtr, 0);
  EXPECT_EQ(Say("modem"), "ok 0");
}

TEST_F(Win32Device, TransfersTimeOutAndPurgeEmptiesTheInput) {
  ASSERT_EQ(Say("timeouts 0xFFFFFFFF 0 100 0 1000"), "ok");
  // A silent line: nothing after the timeout. Windows calls that a success;
  // wine fails the read with ERROR_TIMEOUT (1460), the count still 0.
  const std::string silent = Say("read 10");
  EXPECT_TRUE(silent == "ok 0 -" || silent == "fail 1460 0 -") << silent;
  FarEndWrites("hello");
  EXPECT_EQ(Say("read 10"), "ok 5 68656C6C6F");  // what came within the timeout
  EXPECT_EQ(Say("write 5A0A00F3"), "ok 4");
  EXPECT_EQ(FarEndReads(4), std::string("\x5A\x0A\x00\xF3", 4));

  FarEndWrites("abc");
  AwaitInput(3);
  EXPECT_EQ(Say("errors"), "ok 0 3 0");
  EXPECT_EQ(Say("purge 0x0A"), "ok");  // PURGE_RXABORT | PURGE_RXCLEAR
  EXPECT_EQ(Say("errors"), "ok 0 0 0");
  EXPECT_EQ(Say("read 3"), silent);
}

TEST_F(Win32Device, AWaitEndsWithItsEventOrWith995OnceCancelled) {
  ASSERT_EQ(Say("mask 1"), "ok");  // EV_RXCHAR
  ASSERT_EQ(Say("wait"), "ok");
  std::this_thread::sleep_for(50ms);  // let the wait start, so the event comes during it
  FarEndWrites("x");
  EXPECT_EQ(Say("join"), "ok 1");
  ASSERT_EQ(Say("purge 0x0A"), "ok");

  ASSERT_EQ(Say("wait"), "ok");
  std::this_thread::sleep_for(50ms);  // pending
  EXPECT_EQ(Say("cancel"), "ok");
  EXPECT_EQ(Say("join"), "fail 995");
  // And every later wait, even with an event waiting.
  FarEndWrites("y");
  ASSERT_EQ(Say("wait"), "ok");
  EXPECT_EQ(Say("join"), "fail 995");
}

TEST_F(Win32Device, CloseEndsAPendingWaitAndEveryLaterCallFailsWith6) {
  ASSERT_EQ(Say("mask 1"), "ok");
  ASSERT_EQ(Say("wait"), "ok");
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(Say("close"), "ok");
  // 995 for the wait that was pending; 6 only if, on a busy machine, it had
  // not begun within the pause.
  const std::string wait = Say("join");
  EXPECT_TRUE(wait == "fail 995" || wait == "fail 6") << wait;
  EXPECT_EQ(Say("modem"), "fail 6");
  EXPECT_EQ(Say("read 1"), "fail 6 0 -");
  EXPECT_EQ(Say("write 00"), "fail 6 0");
  EXPECT_EQ(Say("escape 5"), "fail 6");
  EXPECT_EQ(Say("char"), "fail 6");
}

TEST_F(Win32Device, CloseEndsAPendingReadLongBeforeItsTimeout) {
  ASSERT_EQ(Say("timeouts 0xFFFFFFFF 0 60000 0 1000"), "ok");
  ASSERT_EQ(Say("readbg 10"), "ok");
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(Say("close"), "ok");  // within Say's 5 s, not the read's 60
  const std::string read = Say("join");
  EXPECT_TRUE(read == "fail 995 0" || read == "fail 6 0") << read;
}

// odu-upgrade.exe under wine against odu-station-sim on the terminal behind
// the COM port: the whole program through the Win32 device layer.
class WineEndToEnd : public WineTest {
 protected:
  struct Result {
    int status = -1;
    std::string out, err;
    std::map<std::string, std::string> report;
  };

  // With `interrupt_at`, the tool gets SIGINT (which wine hands to the
  // program as Ctrl-C) once it has printed that line.
  // With `network`, the simulator serves the station as an RFC 2217 server
  // on 127.0.0.1 instead, and the tool is given its rfc2217:// name.
  Result Upgrade(const std::vector<std::string>& sim_args, const std::string& interrupt_at = "",
                 bool network = false) {
    const std::string state = (dir_ / "modem").string();
    const std::string report = (dir_ / "report").string();
    std::vector<std::string> sim{ODU_STATION_SIM, "--modem-state", state, "--report", report, "--exit-when-done",
                                 "--timeout-s", "120", "--baud", "0"};
    sim.insert(sim.end(), sim_args.begin(), sim_args.end());
    if (network) sim.insert(sim.end(), {"--listen", "127.0.0.1:0"});
    ChildProcess station(sim, {}, true, (dir_ / "sim.err").string());
    const std::string where = station.ReadLine();
    Result r;
    if (where.empty()) {
      ADD_FAILURE() << "the simulator gave no terminal or address: " << ReadWholeFile(dir_ / "sim.err");
      return r;
    }
    if (!network) PointComLinkAt(where);
    {
      ChildProcess upgrade({Wine(), WinProgram("app/odu-upgrade.exe"), "--port", network ? where : Port()},
                           ShimEnv(state), true,
                           (dir_ / "tool.err").string());
      for (std::string line; !(line = upgrade.ReadLine(120000)).empty();) {
        r.out += line + "\n";
        if (!interrupt_at.empty() && Unix(line) == interrupt_at) upgrade.Signal(SIGINT);
      }
      r.status = upgrade.Wait();
    }
    station.Wait(30000);
    r.out = Unix(r.out);
    r.err = Unix(ReadWholeFile(dir_ / "tool.err"));
    r.report = ReadReportFile(report);
    return r;
  }
};

TEST_F(WineEndToEnd, TheStationIsUpgradedAndItsFlashEqualsTheImage) {
  const Result r = Upgrade({});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("Done."), std::string::npos) << r.out;
  EXPECT_EQ(r.report.at("finished"), "true");
  EXPECT_EQ(r.report.at("flash_matches_embedded"), "true");
  EXPECT_EQ(r.err, "");
}

TEST_F(WineEndToEnd, EachEndIsReportedWithItsMessageAndStatus) {
  const struct {
    const char* name;
    std::vector<std::string> sim;
    int status;
    const char* says;
  } rows[] = {
      {"the station refuses", {"--init", "refuse"}, 4, "Initialize error. Station upgrade not supported.\n"},
      {"the bootloader stalls", {"--fault", "5:stall"}, 5, "Upgrade error. Command timeout.\n"},
      {"the adapter is pulled out", {"--fault", "5:vanish"}, 5, "Upgrade error. Command timeout.\n"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const Result r = Upgrade(row.sim);
    EXPECT_EQ(r.status, row.status);
    // The window's message, then for a failed upgrade the line that says
    // where it stopped.
    EXPECT_EQ(r.err.rfind(row.says, 0), 0u) << r.err;
    if (row.status == 5) {
      EXPECT_NE(r.err.find("the record at 0x0040", std::string(row.says).size()), std::string::npos) << r.err;
    } else {
      EXPECT_EQ(r.err, row.says);
    }
  }
}

// The same program over Winsock: the station behind an RFC 2217 server.
TEST_F(WineEndToEnd, ANetworkPortUpgradesTheStationAndADroppedConnectionEndsTheRun) {
  const Result done = Upgrade({}, "", true);
  EXPECT_EQ(done.status, 0) << done.err;
  EXPECT_NE(done.out.find("Done."), std::string::npos) << done.out;
  EXPECT_EQ(done.report.at("flash_matches_embedded"), "true");
  const Result dropped = Upgrade({"--fault", "5:vanish"}, "", true);
  EXPECT_EQ(dropped.status, 5);
  EXPECT_EQ(dropped.err.rfind("Upgrade error. Command timeout.\nThe port has gone: was the adapter unplugged? The run "
                              "stopped at the record at 0x0040", 0),
            0u)
      << dropped.err;
  EXPECT_EQ(dropped.report.at("finished"), "false");
}

TEST_F(WineEndToEnd, CtrlCClosesThePortAndSaysTheUnitIsNotUpgraded) {
  const Result r = Upgrade({"--baud", "19200"}, "Programming...");
  EXPECT_EQ(r.status, 8) << r.err;
  EXPECT_NE(r.err.find("Upgrade interrupted during programming at 0x"), std::string::npos)
      << r.err;
  EXPECT_EQ(r.out.find("Done."), std::string::npos) << r.out;
  EXPECT_EQ(r.report.at("finished"), "false");
  EXPECT_EQ(r.report.at("exit_reason"), "hangup") << "the station saw the port closed";
}

// Registry keys as Windows writes them for three kinds of port, made for the
// test and removed after it: FTDI's driver naming the mapped port, a usbser
// adapter (listed through the SERIALCOMM map) and a motherboard port.
class DescribedPorts {
 public:
  DescribedPorts(const fs::path& dir, const std::string& port, int latency_ms = 16) : dir_(dir) {
    const std::string enum_key = "HKLM\\SYSTEM\\CurrentControlSet\\Enum\\";
    const std::string ftdi = enum_key + "FTDIBUS\\VID_0403+PID_6001+ODU285BIA\\0000";
    const std::string usbser = enum_key + "USB\\VID_2341&PID_0043\\ODU7543331";
    const std::string serial = enum_key + "ODUACPI\\PNP0501\\31";
    Text(ftdi, "FriendlyName", "USB Serial Port (" + port + ")");
    Text(ftdi, "Mfg", "@oem12.inf,%ftdi%;FTDI");
    Text(ftdi, "Service", "FTSER2K");
    Text(ftdi + "\\Device Parameters", "PortName", port);
    Reg({"add", ftdi + "\\Device Parameters", "/v", "LatencyTimer", "/t", "REG_DWORD", "/d", std::to_string(latency_ms), "/f"});
    Text(usbser, "FriendlyName", "Arduino Uno (COM32)");
    Text(usbser, "Service", "usbser");
    Text(usbser + "\\Device Parameters", "PortName", "COM32");
    Text("HKLM\\HARDWARE\\DEVICEMAP\\SERIALCOMM", "\\Device\\ODUUSBSER0", "COM32");
    Text(serial, "FriendlyName", "Communications Port (COM31)");
    Text(serial, "Service", "Serial");
    Text(serial + "\\Device Parameters", "PortName", "COM31");
    made_ = {enum_key + "FTDIBUS\\VID_0403+PID_6001+ODU285BIA", enum_key + "USB\\VID_2341&PID_0043",
             enum_key + "ODUACPI"};
  }
  ~DescribedPorts() {
    for (const std::string& key : made_) Reg({"delete", key, "/f"});
    Reg({"delete", "HKLM\\HARDWARE\\DEVICEMAP\\SERIALCOMM", "/v", "\\Device\\ODUUSBSER0", "/f"});
  }

 private:
  void Text(const std::string& key, const std::string& name, const std::string& text) {
    Reg({"add", key, "/v", name, "/t", "REG_SZ", "/d", text, "/f"});
  }
  void Reg(std::vector<std::string> args) {
    args.insert(args.begin(), {Wine(), "reg"});
    ChildProcess reg(args, {}, false, (dir_ / "reg.err").string());
    EXPECT_EQ(reg.Wait(30000), 0) << args[3] << ": " << ReadWholeFile(dir_ / "reg.err");
  }
  fs::path dir_;
  std::vector<std::string> made_;
};

// The port list, and with --verbose what the registry says of each port
// after its name; the verbose list without those lines is the plain list.
TEST_F(WineEndToEnd, ThePortListShowsTheMappedPortAndWhatTheRegistrySaysOfEachPort) {
  const DescribedPorts keys(dir_, Port());
  auto list = [&](std::vector<std::string> args) {
    args.insert(args.begin(), {Wine(), WinProgram("app/odu-upgrade.exe"), "--list-ports"});
    ChildProcess program(args, {}, true, (dir_ / "list.err").string());
    const std::string out = Unix(program.ReadToEnd(30000));
    EXPECT_EQ(program.Wait(), 0) << ReadWholeFile(dir_ / "list.err");
    return out;
  };
  const std::string plain = list({});
  const std::string verbose = list({"--verbose"});
  EXPECT_NE(("\n" + plain).find("\n" + Port() + "\n"), std::string::npos) << plain;

  std::string names;
  std::istringstream lines(verbose);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("  ", 0) != 0) names += line + "\n";
  }
  EXPECT_EQ(names, plain);
  const std::string described[] = {
      Port() + "\n  description: USB Serial Port (" + Port() + ")\n  driver: FTSER2K\n  usb id: 0403:6001\n"
               "  manufacturer: FTDI\n  serial number: ODU285BI\n  latency timer: 16 ms\n",
      "COM32\n  description: Arduino Uno (COM32)\n  driver: usbser\n  usb id: 2341:0043\n"
      "  serial number: ODU7543331\n",
      "COM31\n  description: Communications Port (COM31)\n  driver: Serial\n",
  };
  for (const std::string& port : described) {
    EXPECT_NE(("\n" + verbose).find("\n" + port), std::string::npos) << "wanted:\n" << port << "in:\n" << verbose;
  }
}

// FTDI's driver holding every reply for 16 ms is named before the erase,
// with the remedy; at 1 ms nothing is said.
TEST_F(WineEndToEnd, AnAdapterWithASlowLatencyTimerIsNamedBeforeTheErase) {
  const std::string advice = Port() + ": the adapter holds each reply for its latency timer of 16 ms";
  {
    const DescribedPorts keys(dir_, Port(), 16);
    const Result slow = Upgrade({});
    EXPECT_EQ(slow.status, 0) << slow.err;
    EXPECT_NE(slow.err.find(advice), std::string::npos) << slow.err;
    EXPECT_NE(slow.err.find("Port Settings, Advanced, and set Latency Timer to 1 ms"), std::string::npos) << slow.err;
  }
  const DescribedPorts keys(dir_, Port(), 1);
  const Result quick = Upgrade({});
  EXPECT_EQ(quick.status, 0) << quick.err;
  EXPECT_EQ(quick.err, "");
}

}  // namespace
}  // namespace odu::testing

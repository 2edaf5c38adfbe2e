// The POSIX serial backend on a real pseudo-terminal pair: the device opens
// the slave by name, the test plays the far end on the master.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <iterator>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/last_error.h"
#include "platform/serial/port_lock_posix.h"
#include "platform/serial/posix_errors.h"
#include "platform/serial/serial_posix.h"
#include "sim/modem_state.h"
#include "tests/support/read_fd.h"

extern char** environ;

namespace odu::platform {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using odu::testing::ReadUpTo;

constexpr uint32_t kMaxDword = 0xFFFFFFFF;

// The kernel's termios2 (<asm/termbits.h>, which cannot share a file with
// <termios.h>): the only view of the input and output speeds by number.
struct KernelTermios2 {
  tcflag_t c_iflag, c_oflag, c_cflag, c_lflag;
  cc_t c_line;
  cc_t c_cc[19];
  speed_t c_ispeed, c_ospeed;
};
static_assert(sizeof(KernelTermios2) == 44);
const unsigned long kGetTermios2 = _IOR('T', 0x2A, KernelTermios2);  // TCGETS2

// Every open of this program takes its lock files in a directory of its own,
// never the system's; the children that tests start inherit it.
class LockDirEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    char dir[] = "/tmp/odu-locks-XXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr) << std::strerror(errno);
    Dir() = dir;
    ::chmod(dir, 0755);  // as /var/lock: others read, only root writes
    ::setenv("ODU_LOCK_DIR", dir, 1);
    SetPortLockDir(dir);
  }
  void TearDown() override {
    std::error_code ec;
    std::filesystem::remove_all(Dir(), ec);
  }
  static std::string& Dir() {
    static std::string dir;
    return dir;
  }
};
[[maybe_unused]] ::testing::Environment* const kLockDir = ::testing::AddGlobalTestEnvironment(new LockDirEnvironment);

std::optional<std::string> ReadWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void WriteWhole(const std::string& path, const std::string& contents) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << contents;
}

// The two forms of a lock file: ten characters and a newline, and the
// binary int of older programs.
std::string AsciiLock(pid_t pid) {
  char text[16];
  std::snprintf(text, sizeof text, "%10d\n", static_cast<int>(pid));
  return text;
}
std::string BinaryLock(pid_t pid) {
  const int value = pid;
  return std::string(reinterpret_cast<const char*>(&value), sizeof value);
}

// A live process other than this one, named `command`, while the object lives.
class OtherProcess {
 public:
  explicit OtherProcess(const char* command) {
    int named[2];
    if (::pipe(named) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::prctl(PR_SET_NAME, command);
      ::close(named[1]);  // named now
      for (;;) ::pause();
    }
    ::close(named[1]);
    char end;
    while (pid_ > 0 && ::read(named[0], &end, 1) < 0 && errno == EINTR) {
    }
    ::close(named[0]);
  }
  ~OtherProcess() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  OtherProcess(const OtherProcess&) = delete;
  OtherProcess& operator=(const OtherProcess&) = delete;
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
};

// Runs `check` on what opening `name` gives a user who is not root (a child
// that has become nobody); 0 when it holds.
int OpenAsNobody(const std::string& name, const std::function<bool(const DeviceHandle&, const OpenRefusal&)>& check) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(2);
    PosixSerialOpener opener;
    OpenRefusal refusal;
    const DeviceHandle device = opener.Open(name, refusal);
    ::_exit(check(device, refusal) ? 0 : 1);
  }
  int status = 0;
  if (pid < 0 || ::waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The id of a process that has exited.
pid_t ExitedProcess() {
  const pid_t pid = ::fork();
  if (pid == 0) ::_exit(0);
  ::waitpid(pid, nullptr, 0);
  return pid;
}

class PosixSerialTest : public ::testing::Test {
 protected:
  void SetUp() override {
    int slave = -1;
    char name[128] = {};
    ASSERT_EQ(openpty(&master_, &slave, name, nullptr, nullptr), 0) << std::strerror(errno);
    name_ = name;
    ::close(slave);
    ::fcntl(master_, F_SETFL, O_NONBLOCK);
  }
  void TearDown() override {
    if (master_ >= 0) ::close(master_);
  }

  DeviceHandle OpenPort() {
    DeviceHandle device = opener_.Open(name_);
    EXPECT_TRUE(device) << "error " << GetLastError();
    return device;
  }

  void FarEndWrites(const std::string& bytes) {
    ASSERT_EQ(::write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }

  // What the far end has received, up to `n` bytes within `limit`.
  std::string FarEndReads(size_t n) { return ReadUpTo(master_, n); }

  // Waits (bounded) until the device's input queue holds `n` bytes.
  static void AwaitInput(SerialDevice& device, uint32_t n) {
    const auto end = Clock::now() + 2s;
    uint32_t errors = 0;
    ComStat stat;
    while (device.ClearCommError(errors, stat) && stat.cbInQue < n && Clock::now() < end)
      std::this_thread::sleep_for(1ms);
    ASSERT_EQ(stat.cbInQue, n);
  }

  static void SetTimeouts(SerialDevice& device, uint32_t read_ms, uint32_t write_ms = 0) {
    ASSERT_TRUE(device.SetCommTimeouts({kMaxDword, 0, read_ms, 0, write_ms}));
  }

  termios FarEndSees() const {
    termios t{};
    EXPECT_EQ(::tcgetattr(master_, &t), 0);
    return t;
  }

  // The input and output speeds the terminal runs at (the master reads the
  // slave's settings).
  std::pair<uint32_t, uint32_t> FarEndSpeeds() const {
    KernelTermios2 t{};
    EXPECT_EQ(::ioctl(master_, kGetTermios2, &t), 0) << std::strerror(errno);
    return {t.c_ispeed, t.c_ospeed};
  }

  // The lock file of the terminal, as minicom names it.
  std::string LockPath() const {
    return LockDirEnvironment::Dir() + "/LCK..pts_" + std::filesystem::path(name_).filename().string();
  }

  int master_ = -1;
  std::string name_;
  PosixSerialOpener opener_;
};

// A wait that is cancelled after `limit` unless it has returned by then.
bool WaitWithin(SerialDevice& device, uint32_t& events, std::chrono::milliseconds limit) {
  std::mutex m;
  std::condition_variable cv;
  bool done = false;
  std::thread watchdog([&] {
    std::unique_lock lock(m);
    if (!cv.wait_for(lock, limit, [&] { return done; })) device.CancelWait();
  });
  const bool ok = device.WaitCommEvent(events);
  {
    std::lock_guard g(m);
    done = true;
  }
  cv.notify_all();
  watchdog.join();
  return ok;
}

// ---- modem lines through the test-only shim ----
// A pseudo-terminal has no modem lines. The modem-line shim
// (tests/support/modem_shim.c), preloaded into a child run of this program,
// gives its terminal the lines of a state file that this test keeps; the
// child records its own DTR and RTS there.

constexpr char kLinesChildPort[] = "ODU_TEST_LINES_CHILD_PORT";

// The child: raises DTR and RTS on the terminal, checks that the state file
// shows them, closes the device and exits with 0 (another status says which
// step failed). Run before main(), so that no test of the child runs.
int LinesChild(const char* port) {
  const char* state_path = std::getenv(ODU_MODEM_STATE_ENV);
  const int state_fd = state_path ? ::open(state_path, O_RDONLY | O_CLOEXEC) : -1;
  if (state_fd < 0) return 10;
  void* map = ::mmap(nullptr, sizeof(odu_modem_state), PROT_READ, MAP_SHARED, state_fd, 0);
  ::close(state_fd);
  if (map == MAP_FAILED) return 11;
  auto* state = static_cast<odu_modem_state*>(map);
  PosixSerialOpener opener;
  DeviceHandle device = opener.Open(port);
  if (!device) return 12;
  uint32_t status = 0;
  if (!device->GetCommModemStatus(status)) return 13;  // the shim is not in place
  if (!device->HasModemLines()) return 16;
  if (!device->EscapeCommFunction(SETDTR) || !device->EscapeCommFunction(SETRTS)) return 14;
  if (odu_modem_get(&state->tool_dtr) != 1 || odu_modem_get(&state->tool_rts) != 1) return 15;
  device->Close();
  return 0;
}

[[maybe_unused]] const bool kRanAsLinesChild = [] {
  if (const char* port = std::getenv(kLinesChildPort)) std::_Exit(LinesChild(port));
  return false;
}();

// The shim as built beside this program (tests/sim/), or ODU_MODEM_SHIM.
std::string ModemShimPath() {
  namespace fs = std::filesystem;
  if (const char* shim = std::getenv("ODU_MODEM_SHIM"); shim && *shim) return shim;
  std::error_code ec;
  const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
  if (ec) return "";
  const fs::path shim = exe.parent_path() / "sim" / "libodu_modem_shim.so";
  return fs::exists(shim, ec) ? shim.string() : "";
}

// Runs the child on terminal `port` with the shim and state file
// `state_path`; its exit status, or -1.
int RunLinesChild(const std::string& shim, const std::string& state_path, const std::string& port) {
  std::vector<std::string> env_text = {"LD_PRELOAD=" + shim, std::string(ODU_MODEM_STATE_ENV) + "=" + state_path,
                                       std::string(kLinesChildPort) + "=" + port};
  std::string asan = "ASAN_OPTIONS=verify_asan_link_order=0";
  for (char** e = environ; *e; ++e) {
    const std::string entry(*e);
    if (entry.rfind("LD_PRELOAD=", 0) == 0 || entry.rfind(std::string(ODU_MODEM_STATE_ENV) + "=", 0) == 0) continue;
    if (entry.rfind("ASAN_OPTIONS=", 0) == 0) {
      asan = entry + ":verify_asan_link_order=0";
      continue;
    }
    env_text.push_back(entry);
  }
  env_text.push_back(asan);
  std::vector<char*> env;
  for (auto& e : env_text) env.push_back(e.data());
  env.push_back(nullptr);
  std::string exe = "/proc/self/exe";
  char* argv[] = {exe.data(), nullptr};
  pid_t pid = -1;
  if (::posix_spawn(&pid, exe.c_str(), nullptr, nullptr, argv, env.data()) != 0) return -1;
  int status = 0;
  // Bounded: a hung child is killed.
  for (int i = 0; i < 2000; ++i) {
    const pid_t r = ::waitpid(pid, &status, WNOHANG);
    if (r == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::this_thread::sleep_for(5ms);
  }
  ::kill(pid, SIGKILL);
  ::waitpid(pid, &status, 0);
  return -1;
}

TEST(PosixErrorsTest, MapsErrnoToWindowsCodes) {
  const struct {
    int err;
    uint32_t code;
  } rows[] = {
      {0, error::kSuccess},
      {ENOENT, error::kFileNotFound},
      {ENODEV, error::kFileNotFound},
      {ENXIO, error::kFileNotFound},
      {EACCES, error::kAccessDenied},
      {EPERM, error::kAccessDenied},
      {EBUSY, error::kAccessDenied},
      {EWOULDBLOCK, error::kAccessDenied},
      {EBADF, error::kInvalidHandle},
      {ENOTTY, error::kNotSupported},
      {EINVAL, error::kInvalidParameter},
      {EIO, kDeviceGoneError},
      {ENOMEM, error::kNotEnoughMemory},
      {ETIMEDOUT, error::kSemTimeout},
      {EDOM, error::kGenFailure},
  };
  for (const auto& row : rows) EXPECT_EQ(ErrorFromErrno(row.err), row.code) << std::strerror(row.err);
  // On a device that is open, "no such device" means it has gone.
  const struct {
    int err;
    uint32_t code;
  } open_rows[] = {
      {EIO, kDeviceGoneError},      {ENODEV, kDeviceGoneError}, {ENXIO, kDeviceGoneError},
      {ESHUTDOWN, kDeviceGoneError}, {EACCES, error::kAccessDenied}, {ENOTTY, error::kNotSupported},
      {EDOM, error::kGenFailure},
  };
  for (const auto& row : open_rows) EXPECT_EQ(DeviceErrorFromErrno(row.err), row.code) << std::strerror(row.err);
  // Opening by name: a wrong name and a node without hardware say so.
  const struct {
    int err;
    uint32_t code;
  } by_name_rows[] = {
      {EISDIR, kNotSerialDeviceError}, {ENOTTY, kNotSerialDeviceError}, {ENXIO, kNoHardwareError},
      {EIO, kNoHardwareError},         {ENODEV, kDeviceGoneError},      {ENOENT, error::kFileNotFound},
      {EBUSY, error::kAccessDenied},   {EACCES, error::kAccessDenied},
  };
  for (const auto& row : by_name_rows) EXPECT_EQ(OpenErrorFromErrno(row.err), row.code) << std::strerror(row.err);
  SetLastError(0);
  EXPECT_FALSE(FailWithErrno(EACCES));
  EXPECT_EQ(GetLastError(), error::kAccessDenied);
}

TEST(PortLockTest, NamesLockFilesAndReadsTheirHolders) {
  EXPECT_EQ(LockFileName("/dev/ttyUSB0"), "LCK..ttyUSB0");
  EXPECT_EQ(LockFileName("/devices/ttyUSB0"), "");  // outside /dev/: no lock

  const struct {
    std::string contents;
    pid_t pid;
  } holders[] = {
      {AsciiLock(1234), 1234},
      {"1234", 1234},
      {"  77\nminicom\n", 77},
      {BinaryLock(0x0A31), 0x0A31},  // "1\n" and zeros: binary, not ASCII
      {"", 0},
      {"-5\n", 0},
      {"12ab\n", 0},
      {"99999999999\n", 0},
      {BinaryLock(-3), 0},
  };
  for (const auto& row : holders) EXPECT_EQ(LockHolderOf(row.contents), row.pid) << row.contents;
}

// A pseudo-terminal keeps the speed, stop bits and handshake but forces 8
// data bits and no parity: the line state reads back as set except where the
// device holds something else, which it reports as the device has it.
TEST_F(PosixSerialTest, LineSettingsReachTheDeviceAndReadBackAsItHoldsThem) {
  const struct {
    uint32_t baud;
    uint8_t byte_size;
    uint8_t parity;
    uint8_t stop_bits;
    bool cts;
    speed_t speed;  // B0: a speed without a B-constant, not visible as one
    tcflag_t cflag;
  } rows[] = {
      {19200, 8, NOPARITY, ONESTOPBIT, true, B19200, CRTSCTS},
      {9600, 7, EVENPARITY, TWOSTOPBITS, false, B9600, CSTOPB},
      {115200, 5, ODDPARITY, ONE5STOPBITS, false, B115200, CSTOPB},
      {57600, 6, MARKPARITY, ONESTOPBIT, true, B57600, CRTSCTS},
      {14400, 8, SPACEPARITY, ONESTOPBIT, true, B0, CRTSCTS},
      // From a speed without a B-constant to one with, and back.
      {19200, 8, NOPARITY, ONESTOPBIT, false, B19200, 0},
      {56000, 8, NOPARITY, ONESTOPBIT, false, B0, 0},
      {9600, 8, NOPARITY, TWOSTOPBITS, false, B9600, CSTOPB},
      {256000, 8, NOPARITY, TWOSTOPBITS, false, B0, CSTOPB},
      {115200, 8, NOPARITY, ONESTOPBIT, true, B115200, CRTSCTS},
      {128000, 8, NOPARITY, ONESTOPBIT, false, B0, 0},
      {57600, 8, NOPARITY, ONESTOPBIT, false, B57600, 0},
  };
  DeviceHandle device = OpenPort();
  ASSERT_TRUE(device);
  for (const auto& row : rows) {
    Dcb set;
    ASSERT_TRUE(device->GetCommState(set));
    set.BaudRate = row.baud;
    set.ByteSize = row.byte_size;
    set.Parity = row.parity;
    set.StopBits = row.stop_bits;
    set.fOutxCtsFlow = row.cts;
    set.fOutxDsrFlow = true;  // no termios counterpart: kept as set
    set.fNull = true;
    set.XonChar = 0x11;
    set.XoffChar = 0x13;
    set.EvtChar = 0x7E;
    ASSERT_TRUE(device->SetCommState(set)) << row.baud << " error " << GetLastError();
    const termios seen = FarEndSees();
    EXPECT_EQ(seen.c_cflag & (CSTOPB | CRTSCTS), row.cflag) << row.baud;
    if (row.speed != B0) {
      EXPECT_EQ(cfgetospeed(&seen), row.speed) << row.baud;
    }
    // Both directions run at the new speed, whatever the one before was.
    EXPECT_EQ(FarEndSpeeds(), std::make_pair(row.baud, row.baud)) << row.baud;
    Dcb expected = set;
    expected.ByteSize = 8;
    expected.Parity = NOPARITY;
    Dcb got;
    ASSERT_TRUE(device->GetCommState(got));
    EXPECT_EQ(got, expected) << row.baud;
  }
  Dcb four_bits;
  ASSERT_TRUE(device->GetCommState(four_bits));
  four_bits.ByteSize = 4;
  EXPECT_FALSE(device->SetCommState(four_bits));
  EXPECT_EQ(GetLastError(), error::kInvalidParameter);
}

// Closing drops DTR and RTS, as closing a Windows port does, even on a
// terminal without HUPCL (which alone would leave them as they are).
TEST_F(PosixSerialTest, CloseDropsDtrAndRtsWithoutHupcl) {
  const std::string shim = ModemShimPath();
  if (shim.empty()) GTEST_SKIP() << "the modem-line shim (target odu_modem_shim) is not built";
  termios t = FarEndSees();
  t.c_cflag &= ~static_cast<tcflag_t>(HUPCL);
  ASSERT_EQ(::tcsetattr(master_, TCSANOW, &t), 0);
  ASSERT_FALSE(FarEndSees().c_cflag & HUPCL);

  char state_template[] = "/tmp/odu-lines-XXXXXX";
  const int fd = ::mkstemp(state_template);
  ASSERT_GE(fd, 0);
  const std::string state_path = state_template;
  odu_modem_state initial{ODU_MODEM_STATE_MAGIC, 0, 0, 1, 1, -1};
  ASSERT_EQ(::write(fd, &initial, sizeof initial), static_cast<ssize_t>(sizeof initial));
  ::close(fd);

  EXPECT_EQ(RunLinesChild(shim, state_path, name_), 0);
  odu_modem_state after{};
  const int in = ::open(state_path.c_str(), O_RDONLY);
  ASSERT_GE(in, 0);
  ASSERT_EQ(::read(in, &after, sizeof after), static_cast<ssize_t>(sizeof after));
  ::close(in);
  ::unlink(state_path.c_str());
  EXPECT_EQ(after.tool_dtr, 0);
  EXPECT_EQ(after.tool_rts, 0);
}

TEST_F(PosixSerialTest, CloseLeavesTheDeviceAsFound) {
  const termios before = FarEndSees();
  DeviceHandle device = OpenPort();
  ASSERT_TRUE(device);
  Dcb dcb;
  ASSERT_TRUE(device->GetCommState(dcb));
  dcb.BaudRate = 19200;
  dcb.fOutxCtsFlow = true;
  ASSERT_TRUE(device->SetCommState(dcb));
  EXPECT_NE(FarEndSees().c_lflag, before.c_lflag);  // raw while open
  device->Close();
  const termios after = FarEndSees();
  EXPECT_EQ(after.c_iflag, before.c_iflag);
  EXPECT_EQ(after.c_oflag, before.c_oflag);
  EXPECT_EQ(after.c_cflag, before.c_cflag);
  EXPECT_EQ(after.c_lflag, before.c_lflag);
  // And it can be opened again.
  EXPECT_TRUE(OpenPort());
}

TEST_F(PosixSerialTest, SilentLineReadReturnsNothingAfterItsTimeout) {
  DeviceHandle device = OpenPort();
  ASSERT_TRUE(device);
  SetTimeouts(*device, 50);
  char buf[10];
  uint32_t read = 99;
  const auto start = Clock::now();
  EXPECT_TRUE(device->ReadFile(buf, sizeof buf, read));
  const auto took = Clock::now() - start;
  EXPECT_EQ(read, 0u);
  EXPECT_GE(took, 45ms);
  EXPECT_LT(took, 1000ms);
}

TEST_F(PosixSerialTest, ReadWaitsForTheWholeCountAcrossPieces) {
  DeviceHandle device = OpenPort();
  ASSERT_TRUE(device);
  // A total alone, and with an interval, which counts from the last byte:
  // the pause between the pieces is far shorter than either.
  for (const CommTimeouts t : {CommTimeouts{kMaxDword, 0, 5000, 0, 0}, CommTimeouts{1000, 0, 5000, 0, 0}}) {
    ASSERT_TRUE(device->SetCommTimeouts(t));
    FarEndWrites("0123");
    std::thread rest([&] {
      std::this_thread::sleep_for(20ms);
      FarEndWrites("456789");
    });
    char buf[10];
    uint32_t read = 0;
    const auto start = Clock::now();
    EXPECT_TRUE(device->ReadFile(buf, sizeof buf, read));
    rest.join();
    EXPECT_LT(Clock::now() - start, 2000ms);
    ASSERT_EQ(read, 10u) << "interval " << t.ReadIntervalTimeout;
    EXPECT_EQ(std::string(buf, read), "0123456789");
  }
}

TEST_F(PosixSerialTest, ImmediateReadTakesWhatIsWaitingAndDropsNulsWhenAsked) {
  DeviceHandle device = OpenPort();
  ASSERT_TRUE(device);
  SetTimeouts(*device, 0);  // interval MAXDWORD, no totals: return at once
  Dcb dcb;
  ASSERT_TRUE(device->GetCommState(dcb));
  dcb.fNull = true;
  ASSERT_TRUE(device->SetCommState(dcb));
  FarEndWrites(std::string("a\0b\0\0c", 6));
  AwaitInput(*device, 6);
  char buf[10];
  uint32_t read = 0;
  EXPECT_TRUE(device->ReadFile(buf, sizeof buf, read));
  EXPECT_EQ(std::string(buf, read), "abc");
  EXPECT_TRUE(device->ReadFile(buf, sizeof buf, read));
  EXPECT_EQ(read, 0u);
}

TEST_F(PosixSerialTest, ReceivePurgeDropsInputButNotOutput) {
  DeviceHandle device = OpenPort();
  ASSERT_TRUE(device);
  SetTimeouts(*device, 0, 1000);
  uint32_t written = 0;
  ASSERT_TRUE(device->WriteFile("OUT", 3, written));
  EXPECT_EQ(written, 3u);
  FarEndWrites("IN");
  AwaitInput(*device, 2);
  // In packet mode the far end learns of each flush of the device's queues
  // (a status byte) as well as getting the data (after a 0 byte).
  int on = 1;
  ASSERT_EQ(::ioctl(master_, TIOCPKT, &on), 0);
  ASSERT_TRUE(device->PurgeComm(PURGE_RXABORT | PURGE_RXCLEAR));
  uint32_t errors = 0;
  ComStat stat;
  ASSERT_TRUE(device->ClearCommError(errors, stat));
  EXPECT_EQ(stat.cbInQue, 0u);

  int flushed = 0;
  std::string out;
  for (const auto end = Clock::now() + 2s; out.size() < 3 && Clock::now() < end;) {
    pollfd p{master_, POLLIN, 0};
    ::poll(&p, 1, 10);
    char buf[16];
    const ssize_t r = ::read(master_, buf, sizeof buf);
    if (r == 1 && buf[0] != TIOCPKT_DATA) flushed |= buf[0];
    if (r > 1 && buf[0] == TIOCPKT_DATA) out.append(buf + 1, static_cast<size_t>(r - 1));
  }
  EXPECT_TRUE(flushed & TIOCPKT_FLUSHREAD);
  EXPECT_FALSE(flushed & TIOCPKT_FLUSHWRITE);
  EXPECT_EQ(out, "OUT");
}

TEST_F(PosixSerialTest, WriteWithHandshakeOnAPtyIsNotHeldAndReportsTxEmpty) {
  DeviceHandle device = OpenPort();
  ASSERT_TRUE(device);
  SetTimeouts(*device, 0, 1000);
  Dcb dcb;
  ASSERT_TRUE(device->GetCommState(dcb));
  dcb.fOutxCtsFlow = true;
  dcb.fOutxDsrFlow = true;  // a pty has no modem lines: output is not held
  ASSERT_TRUE(device->SetCommState(dcb));
  EXPECT_FALSE(device->HasModemLines());
  ASSERT_TRUE(device->SetCommMask(EV_TXEMPTY));
  uint32_t written = 0;
  ASSERT_TRUE(device->WriteFile("hello", 5, written));
  EXPECT_EQ(written, 5u);
  EXPECT_EQ(FarEndReads(5), "hello");
  uint32_t events = 0;
  EXPECT_TRUE(WaitWithin(*device, events, 2000ms));
  EXPECT_EQ(events, EV_TXEMPTY);
}

// EV_TXEMPTY ends a wait that is already pending when a later write empties
// the output queue (a pty announces nothing of its own then).
TEST_F(PosixSerialTest, AWriteEndsAPendingWaitForTxEmpty) {
  DeviceHandle device = OpenPort();
  ASSERT_TRUE(device);
  SetTimeouts(*device, 0, 1000);
  ASSERT_TRUE(device->SetCommMask(EV_TXEMPTY));
  uint32_t events = 0;
  auto pending = std::async(std::launch::async, [&] {
    const bool ok = WaitWithin(*device, events, 10000ms);  // a safety net only
    return std::make_pair(ok, GetLastError());
  });
  std::this_thread::sleep_for(20ms);  // the wait is blocked by now
  uint32_t written = 0;
  ASSERT_TRUE(device->WriteFile("hello", 5, written));
  EXPECT_EQ(written, 5u);
  EXPECT_EQ(pending.get(), std::make_pair(true, error::kSuccess));
  EXPECT_EQ(events, EV_TXEMPTY);
  EXPECT_EQ(FarEndReads(5), "hello");
}

TEST_F(PosixSerialTest, WriteEndsAtItsTimeoutWhenTheFarEndStopsTakingBytes) {
  DeviceHandle device = OpenPort();
  ASSERT_TRUE(device);
  SetTimeouts(*device, 0, 50);
  const std::string big(1 << 20, 'x');
  uint32_t written = 0;
  const auto start = Clock::now();
  EXPECT_TRUE(device->WriteFile(big.data(), static_cast<uint32_t>(big.size()), written));
  EXPECT_LT(Clock::now() - start, 1000ms);
  EXPECT_GT(written, 0u);
  EXPECT_LT(written, big.size());
}

TEST_F(PosixSerialTest, OpenRefusesMissingNamesAndSecondOpens) {
  EXPECT_FALSE(opener_.Open("/dev/odu-no-such-port"));
  EXPECT_EQ(GetLastError(), error::kFileNotFound);
  EXPECT_FALSE(opener_.Open(""));
  EXPECT_EQ(GetLastError(), error::kFileNotFound);

  // The open takes the port's lock file, complete and alone in its directory.
  DeviceHandle first = OpenPort();
  ASSERT_TRUE(first);
  EXPECT_TRUE(first->IsCharacterDevice());
  EXPECT_EQ(ReadWhole(LockPath()), AsciiLock(::getpid()));
  const std::filesystem::directory_iterator locks(LockDirEnvironment::Dir());
  EXPECT_EQ(std::distance(begin(locks), end(locks)), 1);
  // A second open here (a fleet given two names of one port) is refused as
  // one by another program would be, and leaves the lock file to the first.
  SetLastError(0);
  OpenRefusal refusal;
  EXPECT_FALSE(opener_.Open(name_, refusal));
  EXPECT_EQ(GetLastError(), kPortHeldError);
  EXPECT_EQ(refusal.holder_pid, ::getpid());
  EXPECT_EQ(ReadWhole(LockPath()), AsciiLock(::getpid()));
  first->Close();
  EXPECT_FALSE(ReadWhole(LockPath()));

  // An open that fails after it has taken the lock file gives it up.
  const int other = ::open(name_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(other, 0);
  ASSERT_EQ(::flock(other, LOCK_EX | LOCK_NB), 0);
  EXPECT_FALSE(opener_.Open(name_));
  EXPECT_EQ(GetLastError(), error::kAccessDenied);
  EXPECT_FALSE(ReadWhole(LockPath()));
  ::close(other);

  // So does one that the device refuses (a pseudo-terminal not yet unlocked).
  const int locked = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(locked, 0);
  const std::string locked_name = ::ptsname(locked);
  EXPECT_FALSE(opener_.Open(locked_name));
  EXPECT_TRUE(std::filesystem::is_empty(LockDirEnvironment::Dir()));
  ::close(locked);
}

// The lock file of another live process refuses the open and names the
// holder, in either form of the file and by any name of the port; the file
// stays as it was.
TEST_F(PosixSerialTest, ALockOfAnotherLiveProcessRefusesTheOpenAndNamesItsHolder) {
  OtherProcess minicom("minicom");
  ASSERT_GT(minicom.pid(), 0);
  char dir[] = "/tmp/odu-by-id-XXXXXX";
  ASSERT_NE(::mkdtemp(dir), nullptr);
  const std::string link = std::string(dir) + "/usb-FTDI_FT232R-if00-port0";
  ASSERT_EQ(::symlink(name_.c_str(), link.c_str()), 0);
  const struct {
    const char* what;
    std::string contents;
    std::string open_as;
    pid_t holder;
    const char* command;  // nullptr: any
  } rows[] = {
      {"ascii", AsciiLock(minicom.pid()), name_, minicom.pid(), "minicom"},
      {"binary", BinaryLock(minicom.pid()), name_, minicom.pid(), "minicom"},
      {"through a symlink", AsciiLock(minicom.pid()), link, minicom.pid(), "minicom"},
      {"init", AsciiLock(1), name_, 1, nullptr},
      {"no process", "junk\n", name_, 0, ""},
      {"empty", "", link, 0, ""},
  };
  for (const auto& row : rows) {
    WriteWhole(LockPath(), row.contents);
    SetLastError(0);
    OpenRefusal refusal;
    EXPECT_FALSE(opener_.Open(row.open_as, refusal)) << row.what;
    EXPECT_EQ(GetLastError(), kPortHeldError) << row.what;
    EXPECT_EQ(refusal.holder_pid, row.holder) << row.what;
    EXPECT_EQ(refusal.lock_file, LockPath()) << row.what;
    if (row.command) {
      EXPECT_EQ(refusal.holder_name, row.command) << row.what;
    } else {
      EXPECT_FALSE(refusal.holder_name.empty()) << row.what;
    }
    EXPECT_EQ(ReadWhole(LockPath()), row.contents) << row.what;
  }
  // Nor does closing remove a lock that another program has taken since
  // ours was removed by hand.
  ::unlink(LockPath().c_str());
  DeviceHandle device = OpenPort();
  ASSERT_TRUE(device);
  WriteWhole(LockPath(), AsciiLock(minicom.pid()));
  device->Close();
  EXPECT_EQ(ReadWhole(LockPath()), AsciiLock(minicom.pid()));
  ::unlink(LockPath().c_str());
  std::filesystem::remove_all(dir);
}

// A lock whose process has gone, in either form, or one left by an earlier
// process with this one's id, is taken over; ours goes when the port closes.
TEST_F(PosixSerialTest, AStaleLockIsTakenOverAndOursGoesAtClose) {
  const pid_t gone = ExitedProcess();
  ASSERT_GT(gone, 0);
  for (const std::string& contents : {AsciiLock(gone), BinaryLock(gone), AsciiLock(::getpid())}) {
    WriteWhole(LockPath(), contents);
    DeviceHandle device = OpenPort();
    ASSERT_TRUE(device);
    EXPECT_EQ(ReadWhole(LockPath()), AsciiLock(::getpid()));
    device->Close();
    EXPECT_FALSE(ReadWhole(LockPath()));
  }
}

// Where no lock file can be made, the port opens without one, as in
// terminal programs.
TEST_F(PosixSerialTest, WithoutALockDirectoryThePortOpensUnlocked) {
  SetPortLockDir(LockDirEnvironment::Dir() + "/missing");
  DeviceHandle device = opener_.Open(name_);
  const uint32_t error = GetLastError();
  SetPortLockDir(LockDirEnvironment::Dir());
  EXPECT_TRUE(device) << "error " << error;
}

// A user who is not root: init's lock holds although kill() may not reach
// init (EPERM), and a lock directory that the user may not write to leaves
// the port usable without a lock.
TEST_F(PosixSerialTest, AUserWhoIsNotRootSeesOtherUsersLocksAndOpensWhereItMayNotLock) {
  if (::getuid() != 0) GTEST_SKIP() << "becoming another user takes root";
  ASSERT_EQ(::chmod(name_.c_str(), 0666), 0);
  WriteWhole(LockPath(), AsciiLock(1));
  EXPECT_EQ(OpenAsNobody(name_,
                         [&](const DeviceHandle& device, const OpenRefusal& refusal) {
                           return !device && GetLastError() == kPortHeldError && refusal.holder_pid == 1;
                         }),
            0);
  ::unlink(LockPath().c_str());
  // The lock file this process takes tells others who holds the port.
  DeviceHandle device = OpenPort();
  ASSERT_TRUE(device);
  EXPECT_EQ(OpenAsNobody(name_,
                         [&](const DeviceHandle& other, const OpenRefusal& refusal) {
                           return !other && refusal.holder_pid == ::getppid();
                         }),
            0);
  device->Close();
  EXPECT_EQ(OpenAsNobody(name_, [](const DeviceHandle& other, const OpenRefusal&) { return other != nullptr; }), 0);
  EXPECT_TRUE(std::filesystem::is_empty(LockDirEnvironment::Dir()));
}

// A file or a device that is no terminal opens, as on Windows, and
// IsCharacterDevice refuses it; a directory or a socket is refused at open.
// Each says what it is, still after the device is closed, and leaves no lock
// file.
TEST_F(PosixSerialTest, NamesThatAreNoSerialDeviceSayWhatTheyAre) {
  namespace fs = std::filesystem;
  char dir_template[] = "/tmp/odu-not-serial-XXXXXX";
  ASSERT_NE(::mkdtemp(dir_template), nullptr);
  const std::string dir = dir_template;
  const std::string file = dir + "/file";
  WriteWhole(file, "x");
  const std::string socket_path = dir + "/socket";
  const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(listener, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s", socket_path.c_str());
  ASSERT_EQ(::bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);

  using Kind = OpenRefusal::Kind;
  const struct {
    std::string name;
    bool opens;
    Kind kind;
  } rows[] = {
      {file, true, Kind::kRegularFile},
      {"/dev/null", true, Kind::kCharacterDevice},
      {dir, false, Kind::kDirectory},
      {socket_path, false, Kind::kSocket},  // whose open fails with ENXIO
  };
  for (const auto& row : rows) {
    SetLastError(0);
    OpenRefusal refusal;
    DeviceHandle device = opener_.Open(row.name, refusal);
    EXPECT_EQ(static_cast<bool>(device), row.opens) << row.name << " error " << GetLastError();
    if (device) {
      EXPECT_FALSE(device->IsCharacterDevice()) << row.name;
      device->Close();
    }
    EXPECT_EQ(GetLastError(), kNotSerialDeviceError) << row.name;
    EXPECT_EQ(refusal.kind, row.kind) << row.name;
  }
  EXPECT_TRUE(fs::is_empty(LockDirEnvironment::Dir()));

  // A device node that no driver answers (a major number for local use).
  const std::string node = dir + "/node";
  if (::mknod(node.c_str(), S_IFCHR | 0600, makedev(61, 0)) == 0) {
    EXPECT_FALSE(opener_.Open(node));
    EXPECT_EQ(GetLastError(), kNoHardwareError);
  }
  ::close(listener);
  fs::remove_all(dir);
}

TEST_F(PosixSerialTest, WaitReportsArrivingBytesOnceUntilMoreCome) {
  DeviceHandle device = OpenPort();
  ASSERT_TRUE(device);
  ASSERT_TRUE(device->SetCommMask(EV_RXCHAR | EV_TXEMPTY));
  uint32_t events = 0;
  auto pending = std::async(std::launch::async, [&] { return WaitWithin(*device, events, 2000ms); });
  std::this_thread::sleep_for(10ms);
  FarEndWrites("abc");
  ASSERT_TRUE(pending.get());
  EXPECT_EQ(events, EV_RXCHAR);

  // New bytes behind unread ones are news.
  FarEndWrites("de");
  ASSERT_TRUE(WaitWithin(*device, events, 2000ms));
  EXPECT_EQ(events, EV_RXCHAR);

  // Once read, what comes next is news too, even if it came before the wait.
  SetTimeouts(*device, 1000);
  char buf[5];
  uint32_t read = 0;
  ASSERT_TRUE(device->ReadFile(buf, 5, read));
  EXPECT_EQ(std::string(buf, read), "abcde");
  FarEndWrites("f");
  AwaitInput(*device, 1);
  ASSERT_TRUE(WaitWithin(*device, events, 2000ms));
  EXPECT_EQ(events, EV_RXCHAR);

  // The same unread byte does not end another wait.
  EXPECT_FALSE(WaitWithin(*device, events, 50ms));
  EXPECT_EQ(GetLastError(), error::kOperationAborted);
  EXPECT_EQ(events, 0u);
}

// The far end going away is what an unplugged adapter looks like: waits and
// reads fail with an error instead of blocking or spinning on old news.
// Every call fails with the one code of a vanished device, the code the
// virtual null-modem's Vanish gives too.
TEST_F(PosixSerialTest, AHungUpDeviceFailsWaitsAndReads) {
  DeviceHandle device = OpenPort();
  ASSERT_TRUE(device);
  ASSERT_TRUE(device->SetCommMask(EV_RXCHAR | EV_CTS));
  auto pending = std::async(std::launch::async, [&] {
    uint32_t events = 0;
    const bool ok = WaitWithin(*device, events, 2000ms);
    return std::make_pair(ok, GetLastError());
  });
  std::this_thread::sleep_for(20ms);
  ::close(master_);
  master_ = -1;
  EXPECT_EQ(pending.get(), std::make_pair(false, kDeviceGoneError));
  uint32_t events = 0;
  EXPECT_FALSE(WaitWithin(*device, events, 2000ms));
  EXPECT_EQ(GetLastError(), kDeviceGoneError);
  SetTimeouts(*device, 2000, 2000);
  char buf[10] = {};
  uint32_t n = 0;
  EXPECT_FALSE(device->ReadFile(buf, sizeof buf, n));
  EXPECT_EQ(GetLastError(), kDeviceGoneError);
  EXPECT_FALSE(device->WriteFile(buf, sizeof buf, n));
  EXPECT_EQ(GetLastError(), kDeviceGoneError);
  EXPECT_FALSE(device->EscapeCommFunction(SETDTR));
  EXPECT_EQ(GetLastError(), kDeviceGoneError);
  ComStat stat;
  EXPECT_FALSE(device->ClearCommError(n, stat));
  EXPECT_EQ(GetLastError(), kDeviceGoneError);
}

TEST_F(PosixSerialTest, SetCommMaskEndsAPendingWaitWithNoEvents) {
  DeviceHandle device = OpenPort();
  ASSERT_TRUE(device);
  ASSERT_TRUE(device->SetCommMask(EV_RXCHAR));
  uint32_t events = 99;
  auto pending = std::async(std::launch::async, [&] { return WaitWithin(*device, events, 2000ms); });
  std::this_thread::sleep_for(20ms);
  ASSERT_TRUE(device->SetCommMask(EV_RXCHAR | EV_CTS));
  EXPECT_TRUE(pending.get());
  EXPECT_EQ(events, 0u);
}

TEST_F(PosixSerialTest, CancelWaitEndsThePendingWaitAndEveryLaterOne) {
  DeviceHandle device = OpenPort();
  ASSERT_TRUE(device);
  ASSERT_TRUE(device->SetCommMask(EV_RXCHAR));
  auto pending = std::async(std::launch::async, [&] {
    uint32_t events = 0;
    const bool ok = device->WaitCommEvent(events);
    return std::make_pair(ok, GetLastError());
  });
  std::this_thread::sleep_for(20ms);
  device->CancelWait();
  EXPECT_EQ(pending.get(), std::make_pair(false, error::kOperationAborted));
  FarEndWrites("x");
  uint32_t events = 0;
  EXPECT_FALSE(device->WaitCommEvent(events));
  EXPECT_EQ(GetLastError(), error::kOperationAborted);
}

TEST_F(PosixSerialTest, CloseWakesABlockedWaitAndLeavesAHandleThatOnlyFails) {
  DeviceHandle device = OpenPort();
  ASSERT_TRUE(device);
  ASSERT_TRUE(device->SetCommMask(EV_RXCHAR));
  auto pending = std::async(std::launch::async, [&] {
    uint32_t events = 0;
    const bool ok = device->WaitCommEvent(events);
    return std::make_pair(ok, GetLastError());
  });
  std::this_thread::sleep_for(20ms);
  device->Close();
  ASSERT_EQ(pending.wait_for(2s), std::future_status::ready);
  EXPECT_EQ(pending.get(), std::make_pair(false, error::kInvalidHandle));

  SerialDevice& d = *device;
  char buf[4] = {};
  uint32_t n = 0;
  uint32_t events = 0;
  ComStat stat;
  Dcb dcb;
  const std::function<bool()> calls[] = {
      [&] { return d.IsCharacterDevice(); },
      [&] { return d.SetupComm(4096, 4096); },
      [&] { return d.GetCommState(dcb); },
      [&] { return d.SetCommState(Dcb{9600}); },
      [&] { return d.SetCommTimeouts({}); },
      [&] { return d.SetCommMask(EV_RXCHAR); },
      [&] { return d.WaitCommEvent(events); },
      [&] { return d.ReadFile(buf, 4, n); },
      [&] { return d.WriteFile(buf, 4, n); },
      [&] { return d.PurgeComm(PURGE_RXCLEAR); },
      [&] { return d.ClearCommError(n, stat); },
      [&] { return d.EscapeCommFunction(SETDTR); },
      [&] { return d.GetCommModemStatus(n); },
  };
  for (size_t i = 0; i < std::size(calls); ++i) {
    SetLastError(0);
    EXPECT_FALSE(calls[i]()) << "call " << i;
    EXPECT_EQ(GetLastError(), error::kInvalidHandle) << "call " << i;
  }
  d.CancelWait();
  d.Close();
}

}  // namespace
}  // namespace odu::platform

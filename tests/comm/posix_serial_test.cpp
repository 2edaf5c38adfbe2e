// The POSIX serial backend on a real pseudo-terminal pair: the device opens
// the slave by name, the test plays the far end on the master.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
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
#include <functional>
#include <future>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/last_error.h"
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
  SetLastError(0);
  EXPECT_FALSE(FailWithErrno(EACCES));
  EXPECT_EQ(GetLastError(), error::kAccessDenied);
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
  SetTimeouts(*device, 5000);
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
  ASSERT_EQ(read, 10u);
  EXPECT_EQ(std::string(buf, read), "0123456789");
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

  DeviceHandle first = OpenPort();
  ASSERT_TRUE(first);
  EXPECT_TRUE(first->IsCharacterDevice());
  SetLastError(0);
  EXPECT_FALSE(opener_.Open(name_));
  EXPECT_EQ(GetLastError(), error::kAccessDenied);
}

TEST_F(PosixSerialTest, FilesThatAreNotTtysOpenButAreNotCharacterDevices) {
  char path[] = "/tmp/odu-posix-serial-XXXXXX";
  const int fd = ::mkstemp(path);
  ASSERT_GE(fd, 0);
  ::close(fd);
  for (const std::string& name : {std::string(path), std::string("/dev/null")}) {
    DeviceHandle device = opener_.Open(name);
    ASSERT_TRUE(device) << name << " error " << GetLastError();
    EXPECT_FALSE(device->IsCharacterDevice()) << name;
    device->Close();
  }
  ::unlink(path);
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

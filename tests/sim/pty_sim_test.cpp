// The real POSIX device layer against odu-station-sim on a pseudo-terminal.
// The test runs with the modem-line shim preloaded, which answers the
// modem-line calls on the terminal from the state the simulator keeps.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/report_file.h"
#include "platform/clock.h"
#include "platform/last_error.h"
#include "platform/serial/serial_device.h"
#include "sim/line_pacer.h"
#include "sim/modem_state.h"
#include "tests/sim/sim_test_util.h"

extern char** environ;

namespace odu::sim::testing {
namespace {

using namespace odu::platform;

// A simulator child process and its scratch files.
class SimProcess {
 public:
  SimProcess() {
    char dir_template[] = "/tmp/odu-sim-XXXXXX";
    dir_ = ::mkdtemp(dir_template) ? dir_template : "";
    state_path_ = dir_ + "/lines";
    report_path_ = dir_ + "/report";
    // The shim in this process reads the same file.
    ::setenv(ODU_MODEM_STATE_ENV, state_path_.c_str(), 1);
  }

  // Starts the simulator with `args` besides the scratch files; true when
  // it is running.
  bool Start(std::vector<std::string> args) {

    args.insert(args.begin(), {ODU_STATION_SIM, "--modem-state", state_path_, "--report", report_path_, "--timeout-s", "60"});
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    int out[2];
    if (::pipe(out) != 0) return false;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    // The simulator itself must not get the shim.
    std::vector<std::string> env_text;
    for (char** e = environ; *e; ++e)
      if (std::string(*e).rfind("LD_PRELOAD=", 0) != 0) env_text.emplace_back(*e);
    std::vector<char*> env;
    for (auto& e : env_text) env.push_back(e.data());
    env.push_back(nullptr);
    if (::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), env.data()) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    out_ = out[0];
    return pid_ > 0;
  }

  ~SimProcess() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    if (out_ >= 0) ::close(out_);
    std::remove(state_path_.c_str());
    std::remove(report_path_.c_str());
    std::remove(image_path().c_str());
    ::rmdir(dir_.c_str());
  }

  // The first line the simulator prints: its terminal's path.
  std::string SlavePath() {
    std::string line;
    char c = 0;
    while (line.size() < 256) {
      pollfd p{out_, POLLIN, 0};
      if (::poll(&p, 1, 10000) != 1 || ::read(out_, &c, 1) != 1) return "";
      if (c == '\n') return line;
      line += c;
    }
    return "";
  }

  // Waits for the simulator to exit; its exit status, or -1.
  int Wait() {
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    int status = 0;
    while (std::chrono::steady_clock::now() < give_up) {
      const pid_t r = ::waitpid(pid_, &status, WNOHANG);
      if (r == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return -1;
  }

  std::map<std::string, std::string> Report() const { return odu::testing::ReadReportFile(report_path_); }

  const odu_modem_state* Lines() {
    if (!lines_) {
      const int fd = ::open(state_path_.c_str(), O_RDONLY);
      if (fd < 0) return nullptr;
      void* map = ::mmap(nullptr, sizeof(odu_modem_state), PROT_READ, MAP_SHARED, fd, 0);
      ::close(fd);
      if (map != MAP_FAILED) lines_ = static_cast<const odu_modem_state*>(map);
    }
    return lines_;
  }

  std::string image_path() const { return dir_ + "/image.hex"; }

 private:
  std::string dir_, state_path_, report_path_;
  pid_t pid_ = -1;
  int out_ = -1;
  const odu_modem_state* lines_ = nullptr;
};

DeviceHandle OpenTool(const std::string& path) {
  DeviceHandle tool = SystemSerialOpener().Open(path);
  if (!tool) return tool;
  Dcb dcb;
  EXPECT_TRUE(tool->GetCommState(dcb));
  dcb.BaudRate = 19200;
  dcb.ByteSize = 8;
  CommTimeouts timeouts;
  timeouts.ReadTotalTimeoutConstant = 5000;
  timeouts.WriteTotalTimeoutConstant = 1000;
  EXPECT_TRUE(tool->SetCommState(dcb));
  EXPECT_TRUE(tool->SetCommTimeouts(timeouts));
  return tool;
}

Bytes Exchange(SerialDevice& tool, const Bytes& frame, size_t reply) {
  uint32_t done = 0;
  EXPECT_TRUE(tool.WriteFile(frame.data(), static_cast<uint32_t>(frame.size()), done));
  Bytes in(reply);
  EXPECT_TRUE(tool.ReadFile(in.data(), static_cast<uint32_t>(reply), done));
  in.resize(done);
  return in;
}

bool ShimPreloaded() {
  const char* preload = std::getenv("LD_PRELOAD");
  return preload && std::string(preload).find("odu_modem_shim") != std::string::npos;
}

TEST(PtySimTest, TheHandshakeRunsOverAPseudoTerminalWithModemLines) {
  ASSERT_TRUE(ShimPreloaded()) << "the modem-line shim must be preloaded: run this test through ctest";
  SimProcess sim;
  ASSERT_TRUE(sim.Start({"--baud", "0"}));
  const std::string path = sim.SlavePath();
  ASSERT_FALSE(path.empty());
  {
    DeviceHandle tool = OpenTool(path);
    ASSERT_TRUE(tool) << "open " << path << ": error " << GetLastError();
    ASSERT_TRUE(tool->EscapeCommFunction(SETDTR));
    ASSERT_TRUE(tool->EscapeCommFunction(SETRTS));
    uint32_t lines = 0;
    ASSERT_TRUE(tool->GetCommModemStatus(lines));
    EXPECT_EQ(lines & (MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON), MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON);
    const odu_modem_state* shared = sim.Lines();
    ASSERT_NE(shared, nullptr);
    EXPECT_EQ(odu_modem_get(&shared->tool_dtr), 1);
    EXPECT_EQ(odu_modem_get(&shared->tool_rts), 1);

    EXPECT_EQ(Exchange(*tool, InitFrame(), 8), Status(0x0C));
    tool->Close();
  }
  // Closing the terminal ends the simulator's session.
  EXPECT_EQ(sim.Wait(), 0);
  auto report = sim.Report();
  EXPECT_EQ(report["exit_reason"], "hangup");
  EXPECT_EQ(report["init_frames"], "1");
  EXPECT_EQ(report["bytes_from_tool"], "10");
  EXPECT_EQ(report["bytes_to_tool"], "8");
  EXPECT_EQ(report["finished"], "false");
}

TEST(PtySimTest, AShortPacedSessionIsReportedAndEndsTheSimulator) {
  const std::string record = DataRecord(0x0100, {0x01, 0x02, 0x03, 0x04});
  SimProcess sim;
  std::ofstream(sim.image_path()) << record << "\n:00000001FF\n";
  ASSERT_TRUE(sim.Start({"--exit-when-done", "--baud", "19200", "--image", sim.image_path()}));
  const std::string path = sim.SlavePath();
  ASSERT_FALSE(path.empty());
  {
    DeviceHandle tool = OpenTool(path);
    ASSERT_TRUE(tool);
    const Bytes erase = RecordFrame(kErase);
    const auto start = RealTime().Now();
    EXPECT_EQ(Exchange(*tool, erase, 7), kAck);
    // The frame and the reply each take their line time.
    EXPECT_GE(RealTime().Now() - start, static_cast<int64_t>(erase.size() + 7) * ByteTime(19200));
    for (const std::string& r : {record, kClose1, kClose2, kClose3}) EXPECT_EQ(Exchange(*tool, RecordFrame(r), 7), kAck) << r;
    tool->Close();
  }
  EXPECT_EQ(sim.Wait(), 0);
  auto report = sim.Report();
  EXPECT_EQ(report["exit_reason"], "done");
  EXPECT_EQ(report["finished"], "true");
  EXPECT_EQ(report["records"], "5");
  EXPECT_EQ(report["acknowledged"], "5");
  EXPECT_EQ(report["flash_matches_image"], "true");
  EXPECT_EQ(report["flash_matches_embedded"], "false");
  EXPECT_EQ(report["turnaround_count"], "4");
  EXPECT_NE(report["turnaround_median_us"], "");
}

}  // namespace
}  // namespace odu::sim::testing

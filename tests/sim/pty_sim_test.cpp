// The real POSIX device layer against odu-station-sim on a pseudo-terminal.
// The test runs with the modem-line shim preloaded, which answers the
// modem-line calls on the terminal from the state the simulator keeps.
// Then odu-station-sim --listen, the station as an RFC 2217 server, against a
// plain TCP client that speaks Telnet by hand.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <map>
#include <optional>
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

  // The first line the simulator prints: its terminal's path, or with
  // --listen its address.
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

  odu_modem_state* Lines() {
    if (!lines_) {
      const int fd = ::open(state_path_.c_str(), O_RDWR);
      if (fd < 0) return nullptr;
      void* map = ::mmap(nullptr, sizeof(odu_modem_state), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
      ::close(fd);
      if (map != MAP_FAILED) lines_ = static_cast<odu_modem_state*>(map);
    }
    return lines_;
  }

  std::string image_path() const { return dir_ + "/image.hex"; }

 private:
  std::string dir_, state_path_, report_path_;
  pid_t pid_ = -1;
  int out_ = -1;
  odu_modem_state* lines_ = nullptr;
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

// Telnet and COM-PORT-OPTION bytes, written out here rather than taken from
// the simulator.
constexpr uint8_t kIac = 255, kSb = 250, kSe = 240, kWill = 251, kWont = 252, kDo = 253, kDont = 254, kNop = 241,
                  kGa = 249, kComPort = 44;
// The client's greeting to a server that offered BINARY and SUPPRESS-GO-AHEAD
// both ways: it accepts them and offers the COM-PORT-OPTION.
const Bytes kAcceptAndOfferComPort = {kIac, kDo, 0, kIac, kWill, 0, kIac, kDo, 3, kIac, kWill, 3, kIac, kWill, kComPort};

// A COM-PORT-OPTION subnegotiation around `body` (IAC in it already doubled).
Bytes Sub(const Bytes& body) {
  Bytes b;
  b.reserve(body.size() + 5);
  for (uint8_t x : {kIac, kSb, kComPort}) b.push_back(x);
  for (uint8_t x : body) b.push_back(x);
  for (uint8_t x : {kIac, kSe}) b.push_back(x);
  return b;
}

Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// A plain TCP client of odu-station-sim --listen.
class TelnetClient {
 public:
  // `address` as the simulator prints it, rfc2217://127.0.0.1:PORT.
  explicit TelnetClient(const std::string& address) {
    const std::string prefix = "rfc2217://127.0.0.1:";
    if (address.rfind(prefix, 0) != 0) return;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(std::atoi(address.c_str() + prefix.size())));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ >= 0 && ::connect(fd_, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) Close();
    const int one = 1;
    if (fd_ >= 0) ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  }
  ~TelnetClient() { Close(); }

  bool connected() const { return fd_ >= 0; }
  void Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

  bool Send(const Bytes& bytes) {
    for (size_t done = 0; done < bytes.size();) {
      const ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
      if (n <= 0) return false;
      done += static_cast<size_t>(n);
    }
    return true;
  }

  // What the server said before it said `expected`; nothing when it did
  // not say it (within a guard time that only a hang runs into).
  std::optional<Bytes> Until(const Bytes& expected) {
    for (;;) {
      const auto at = std::search(in_.begin(), in_.end(), expected.begin(), expected.end());
      if (at != in_.end()) {
        Bytes before(in_.begin(), at);
        in_.erase(in_.begin(), at + static_cast<std::ptrdiff_t>(expected.size()));
        return before;
      }
      if (!Read()) {
        ADD_FAILURE() << "not received; had " << ::testing::PrintToString(in_);
        return std::nullopt;
      }
    }
  }

  // True when the server closes the connection.
  bool ClosedByServer() {
    while (Read()) {}
    return eof_;
  }

 private:
  bool Read() {
    pollfd p{fd_, POLLIN, 0};
    if (fd_ < 0 || ::poll(&p, 1, 10000) != 1) return false;
    uint8_t buffer[4096];
    const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
    eof_ = n == 0;
    if (n <= 0) return false;
    in_.insert(in_.end(), buffer, buffer + n);
    return true;
  }

  int fd_ = -1;
  Bytes in_;
  bool eof_ = false;
};

// Waits for a modem-state field the simulator sets to become `value`.
bool Becomes(const int32_t* field, int32_t value) {
  for (int i = 0; i < 2000 && odu_modem_get(field) != value; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  return odu_modem_get(field) == value;
}

TEST(ListenSimTest, TheComPortOptionIsNegotiatedAndTheStationServed) {
  SimProcess sim;
  ASSERT_TRUE(sim.Start({"--listen", "127.0.0.1:0", "--baud", "0"}));
  const std::string address = sim.SlavePath();
  TelnetClient client(address);
  ASSERT_TRUE(client.connected()) << address;
  odu_modem_state* lines = sim.Lines();
  ASSERT_NE(lines, nullptr);

  // The server offers; the client's acceptances need no answer, its offer does.
  ASSERT_TRUE(client.Send(kAcceptAndOfferComPort));
  EXPECT_EQ(client.Until({kIac, kDo, kComPort}), (Bytes{kIac, kWill, 0, kIac, kDo, 0, kIac, kWill, 3, kIac, kDo, 3}));

  const Bytes signature = {'o', 'd', 'u', '-', 's', 't', 'a', 't', 'i', 'o', 'n', '-', 's', 'i', 'm'};
  const struct {
    const char* what;
    Bytes request, answer;
  } rows[] = {
      {"baud rate 19200", {1, 0x00, 0x00, 0x4B, 0x00}, {101, 0x00, 0x00, 0x4B, 0x00}},
      {"baud rate asked", {1, 0, 0, 0, 0}, {101, 0x00, 0x00, 0x4B, 0x00}},
      {"baud rate of no line", {1, 0, 0, 0, 10}, {101, 0x00, 0x00, 0x4B, 0x00}},
      {"data size 7", {2, 7}, {102, 7}},
      {"data size 9 is kept at 7", {2, 9}, {102, 7}},
      {"even parity", {3, 3}, {103, 3}},
      {"parity asked", {3, 0}, {103, 3}},
      {"two stop bits", {4, 2}, {104, 2}},
      {"no flow control", {5, 1}, {105, 1}},
      {"DTR asked", {5, 7}, {105, 9}},
      {"purge both", {12, 3}, {112, 3}},
      {"line-state mask", {10, 0}, {110, 0}},
      {"signature asked", {0}, Bytes{100} + signature},
  };
  for (const auto& row : rows) {
    ASSERT_TRUE(client.Send(Sub(row.request)));
    EXPECT_EQ(client.Until(Sub(row.answer)), Bytes{}) << row.what;
  }

  // Setting the mask tells the lines at once: the station's DTR and RTS are
  // up while it serves, seen as carrier, DSR and CTS before the client has
  // raised its own. Then every change the mask lets through, with its deltas.
  ASSERT_TRUE(client.Send(Sub({11, kIac, kIac})));
  EXPECT_EQ(client.Until(Sub({111, kIac, kIac})), Bytes{});
  EXPECT_EQ(client.Until(Sub({107, 0xB0})), Bytes{});
  EXPECT_EQ(odu_modem_get(&lines->tool_dtr), 0);
  ASSERT_TRUE(client.Send(Sub({5, 8})));  // DTR on: recorded for the station
  EXPECT_EQ(client.Until(Sub({105, 8})), Bytes{});
  EXPECT_EQ(odu_modem_get(&lines->tool_dtr), 1);
  ASSERT_TRUE(client.Send(Sub({5, 11})));  // RTS on
  EXPECT_EQ(client.Until(Sub({105, 11})), Bytes{});
  EXPECT_EQ(odu_modem_get(&lines->tool_rts), 1);
  odu_modem_set(&lines->station_rts, 0);  // the station drops RTS: CTS and its delta
  EXPECT_EQ(client.Until(Sub({107, 0xA1})), Bytes{});
  odu_modem_set(&lines->station_rts, 1);
  EXPECT_EQ(client.Until(Sub({107, 0xB1})), Bytes{});

  // Carrier detect only: its loss is told (the delta is masked out), a
  // change of CTS is not.
  ASSERT_TRUE(client.Send(Sub({11, 0x80})));
  EXPECT_EQ(client.Until(Sub({111, 0x80})), Bytes{});
  EXPECT_EQ(client.Until(Sub({107, 0x80})), Bytes{});
  odu_modem_set(&lines->station_rts, 0);
  odu_modem_set(&lines->carrier_override, 0);
  EXPECT_EQ(client.Until(Sub({107, 0x00})), Bytes{});
  ASSERT_TRUE(client.Send(Sub({5, 12}) + Sub({5, 10})));  // RTS off, RTS asked
  EXPECT_EQ(client.Until(Sub({105, 12})), Bytes{});
  EXPECT_EQ(client.Until(Sub({105, 12})), Bytes{});

  // At 300 baud the initialisation frame takes longer than the frame window
  // the simulator started with: the client's rate paces the line and the
  // station's window widens with it.
  ASSERT_TRUE(client.Send(Sub({1, 0x00, 0x00, 0x01, 0x2C})));
  EXPECT_EQ(client.Until(Sub({101, 0x00, 0x00, 0x01, 0x2C})), Bytes{});
  ASSERT_TRUE(client.Send(InitFrame()));
  EXPECT_EQ(client.Until(Status(0x0C)), Bytes{});

  // Leaving after data ends the session, as closing the terminal does.
  client.Close();
  EXPECT_EQ(sim.Wait(), 0);
  EXPECT_EQ(odu_modem_get(&lines->tool_dtr), 0);
  auto report = sim.Report();
  EXPECT_EQ(report["exit_reason"], "hangup");
  EXPECT_EQ(report["clients"], "1");
  EXPECT_EQ(report["init_frames"], "1");
  EXPECT_EQ(report["bad_frames"], "0");
  EXPECT_EQ(report["bytes_from_tool"], "10");
  EXPECT_EQ(report["bytes_to_tool"], "8");
}

TEST(ListenSimTest, IacIsDoubledInDataBothWaysAndTheClientsRatePacesTheLine) {
  SimProcess sim;
  ASSERT_TRUE(sim.Start({"--listen", "127.0.0.1:0", "--baud", "0", "--init", "echo"}));
  TelnetClient client(sim.SlavePath());
  ASSERT_TRUE(client.connected());
  ASSERT_TRUE(client.Send(kAcceptAndOfferComPort));
  ASSERT_TRUE(client.Until({kIac, kDo, kComPort}));

  // The loopback station gets 01 FF 02 03 FF and sends them back.
  ASSERT_TRUE(client.Send({0x01, kIac, kIac, 0x02, kIac, kNop, 0x03, kIac, kGa, kIac, kIac}));
  EXPECT_EQ(client.Until({0x01, kIac, kIac, 0x02, 0x03, kIac, kIac}), Bytes{});

  // At 300 baud the echo of 40 bytes takes over a second, byte by byte: an
  // answer asked for after the first echoed byte overtakes the rest. (On
  // the unpaced line the simulator started with, all 40 would come at once.)
  ASSERT_TRUE(client.Send(Sub({1, 0x00, 0x00, 0x01, 0x2C})));
  ASSERT_TRUE(client.Until(Sub({101, 0x00, 0x00, 0x01, 0x2C})));
  ASSERT_TRUE(client.Send(Bytes(40, 0x11)));
  ASSERT_EQ(client.Until({0x11}), Bytes{});
  ASSERT_TRUE(client.Send(Sub({2, 0})));
  const auto before = client.Until(Sub({102, 8}));
  ASSERT_TRUE(before);
  EXPECT_LT(before->size(), 39u);
  EXPECT_EQ(client.Until(Bytes(39 - std::min<size_t>(before->size(), 39), 0x11)), Bytes{});

  client.Close();
  EXPECT_EQ(sim.Wait(), 0);
  auto report = sim.Report();
  EXPECT_EQ(report["bytes_from_tool"], "45");
  EXPECT_EQ(report["bytes_to_tool"], "45");
}

TEST(ListenSimTest, BadTelnetInputIsDroppedAndTheServerGoesOn) {
  SimProcess sim;
  ASSERT_TRUE(sim.Start({"--listen", "127.0.0.1:0", "--baud", "0"}));
  TelnetClient client(sim.SlavePath());
  ASSERT_TRUE(client.connected());
  ASSERT_TRUE(client.Send(kAcceptAndOfferComPort));
  ASSERT_TRUE(client.Until({kIac, kDo, kComPort}));

  // Options it does not have are refused once each, however often asked
  // (the COM-PORT-OPTION is the client's to offer, not the server's).
  const Bytes asked_rate = Sub({1, 0, 0, 0, 0});
  const Bytes unpaced = Sub({101, 0, 0, 0, 0});
  ASSERT_TRUE(client.Send(Bytes{kIac, kDo, 99, kIac, kDo, 99, kIac, kWill, 98, kIac, kWill, 98, kIac, kDo, kComPort, kIac,
                                kDo, kComPort} +
                          asked_rate));
  EXPECT_EQ(client.Until(unpaced), (Bytes{kIac, kWont, 99, kIac, kDont, 98, kIac, kWont, kComPort}));

  // Subnegotiations that are too long, broken off, of another option, empty
  // or short are dropped unanswered; none sets the rate (1200) it carries.
  Bytes overlong = Bytes{kIac, kSb, kComPort, 1, 0x00, 0x00, 0x04, 0xB0} + Bytes(1000, 0x00) + Bytes{kIac, kSe};
  ASSERT_TRUE(client.Send(overlong));
  ASSERT_TRUE(client.Send({kIac, kSb, kComPort, 1, 0x00, 0x00, 0x04, 0xB0, kIac, kNop}));
  ASSERT_TRUE(client.Send({kIac, kSb, 99, 1, 0x00, 0x00, 0x04, 0xB0, kIac, kSe}));
  ASSERT_TRUE(client.Send({kIac, kSb, kIac, kSe, kIac, kSb, kComPort, kIac, kSe, kIac, kSb, kComPort, 1, 0x04, 0xB0, kIac, kSe}));
  ASSERT_TRUE(client.Send({kIac, kSe, kIac, 0x01, kIac, 200}));
  ASSERT_TRUE(client.Send(asked_rate));
  EXPECT_EQ(client.Until(unpaced), Bytes{});

  // A flood of noise, then the station still answers.
  Bytes noise(4096, 0x00);
  noise[100] = kIac;
  noise[101] = kNop;
  for (int i = 0; i < 64; ++i) ASSERT_TRUE(client.Send(noise));
  ASSERT_TRUE(client.Send(InitFrame()));
  EXPECT_EQ(client.Until(Status(0x0C)), Bytes{});
  client.Close();
  EXPECT_EQ(sim.Wait(), 0);
  EXPECT_EQ(sim.Report()["bytes_from_tool"], std::to_string(64 * 4094 + 10));
}

TEST(ListenSimTest, TheNextClientIsServedAfterOneLeaves) {
  for (bool keep_open : {false, true}) {
    SCOPED_TRACE(keep_open ? "--keep-open, the first client sent data" : "the first client only negotiated");
    SimProcess sim;
    std::vector<std::string> args = {"--listen", "127.0.0.1:0", "--exit-when-done"};
    if (keep_open) args.push_back("--keep-open");
    ASSERT_TRUE(sim.Start(args));
    const std::string address = sim.SlavePath();
    odu_modem_state* lines = sim.Lines();
    ASSERT_NE(lines, nullptr);
    {
      TelnetClient first(address);
      ASSERT_TRUE(first.connected());
      ASSERT_TRUE(first.Send(kAcceptAndOfferComPort + Sub({5, 8})));
      ASSERT_TRUE(first.Until(Sub({105, 8})));
      EXPECT_EQ(odu_modem_get(&lines->tool_dtr), 1);
      if (keep_open) {
        ASSERT_TRUE(first.Send(InitFrame()));
        EXPECT_EQ(first.Until(Status(0x0C)), Bytes{});
      }
    }
    // Gone mid-run: its DTR drops.
    EXPECT_TRUE(Becomes(&lines->tool_dtr, 0));

    TelnetClient second(address);
    ASSERT_TRUE(second.connected());
    ASSERT_TRUE(second.Send(kAcceptAndOfferComPort + Sub({1, 0x00, 0x00, 0x4B, 0x00})));
    EXPECT_EQ(second.Until({kIac, kDo, kComPort}), (Bytes{kIac, kWill, 0, kIac, kDo, 0, kIac, kWill, 3, kIac, kDo, 3}));
    ASSERT_TRUE(second.Until(Sub({101, 0x00, 0x00, 0x4B, 0x00})));
    for (const std::string& r : {kErase, DataRecord(0x0100, {0x01, 0x02, 0x03, 0x04}), kClose1, kClose2, kClose3}) {
      ASSERT_TRUE(second.Send(RecordFrame(r)));
      EXPECT_EQ(second.Until(kAck), Bytes{}) << r;
    }
    second.Close();
    EXPECT_EQ(sim.Wait(), 0);
    auto report = sim.Report();
    EXPECT_EQ(report["exit_reason"], "done");
    EXPECT_EQ(report["clients"], "2");
    EXPECT_EQ(report["acknowledged"], "5");
  }
}

TEST(ListenSimTest, AVanishingStationClosesTheConnection) {
  SimProcess sim;
  ASSERT_TRUE(sim.Start({"--listen", "127.0.0.1:0", "--fault", "0:vanish"}));
  TelnetClient client(sim.SlavePath());
  ASSERT_TRUE(client.connected());
  ASSERT_TRUE(client.Send(kAcceptAndOfferComPort + RecordFrame(kErase)));
  EXPECT_TRUE(client.ClosedByServer());
  EXPECT_EQ(sim.Wait(), 0);
  EXPECT_EQ(sim.Report()["exit_reason"], "vanished");
}

}  // namespace
}  // namespace odu::sim::testing

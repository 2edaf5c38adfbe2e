// odu-upgrade through RFC 2217 servers written by others: ser2net 4 and a
// pyserial PortManager, each in front of odu-station-sim's pseudo-terminal
// on 127.0.0.1. The tool talks Telnet COM-PORT-OPTION to the server; the
// server, with the test shim preloaded, applies the line settings to the
// terminal and sets its modem lines, which the simulator shares with it.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "sim/modem_state.h"
#include "tests/support/child_process.h"
#include "tests/support/report_file.h"
#include "tests/support/rfc2217_peers.h"

namespace odu::testing {

// For the test names CTest shows: the peer's name, not its bytes.
void PrintTo(Rfc2217Peer peer, std::ostream* out) { *out << PeerName(peer); }

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// The simulator's shared modem lines, mapped read-only.
class SharedLines {
 public:
  explicit SharedLines(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    void* map = ::mmap(nullptr, sizeof(odu_modem_state), PROT_READ, MAP_SHARED, fd, 0);
    ::close(fd);
    if (map != MAP_FAILED) state_ = static_cast<const odu_modem_state*>(map);
  }
  ~SharedLines() {
    if (state_) ::munmap(const_cast<odu_modem_state*>(state_), sizeof(odu_modem_state));
  }
  SharedLines(const SharedLines&) = delete;
  SharedLines& operator=(const SharedLines&) = delete;

  bool mapped() const { return state_ != nullptr; }
  bool ToolDtr() const { return odu_modem_get(&state_->tool_dtr) != 0; }
  bool ToolRts() const { return odu_modem_get(&state_->tool_rts) != 0; }

 private:
  const odu_modem_state* state_ = nullptr;
};

// What the far end saw while the tool held the line.
struct Seen {
  bool dtr = false, rts = false;
  std::optional<LineSettings> settings;  // the last read while the tool's DTR was up
};

struct Result {
  int status = -1;
  std::string out, err;
  std::map<std::string, std::string> report;
  Seen seen;
  bool dtr_after = true, rts_after = true;
  std::string server_log;
};

enum class Cut { kNone, kKillServerMidImage };

class ThroughRfc2217Server : public ::testing::TestWithParam<Rfc2217Peer> {
 protected:
  void SetUp() override {
    if (const std::string missing = Rfc2217Server::Missing(GetParam()); !missing.empty()) GTEST_SKIP() << missing;
    std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();  // "Test/peer"
    for (char& c : name) c = (c == '/') ? '-' : c;
    dir_ = fs::temp_directory_path() / ("odu-e2e-rfc2217-" + std::to_string(getpid()) + "-" + name);
    fs::create_directories(dir_);
  }
  void TearDown() override {
    if (!dir_.empty()) fs::remove_all(dir_);
  }

  // The simulator with `sim_args`, the server in front of its terminal, and
  // odu-upgrade on the server with `tool_args` after --port. Every process
  // is killed when this returns, whatever happened.
  Result Upgrade(const std::vector<std::string>& sim_args, const std::vector<std::string>& tool_args = {},
                 Cut cut = Cut::kNone) {
    const std::string state = (dir_ / "modem").string();
    const std::string report = (dir_ / "report").string();
    std::vector<std::string> sim{ODU_STATION_SIM, "--modem-state", state, "--report", report, "--exit-when-done",
                                 "--timeout-s", "120"};
    sim.insert(sim.end(), sim_args.begin(), sim_args.end());
    ChildProcess station(sim, {}, true, (dir_ / "sim.err").string());
    Result r;
    const std::string pty = station.ReadLine();
    if (pty.empty()) {
      ADD_FAILURE() << "the simulator gave no terminal: " << ReadWholeFile(dir_ / "sim.err");
      return r;
    }
    SharedLines lines(state);
    if (!lines.mapped()) {
      ADD_FAILURE() << "cannot map " << state;
      return r;
    }
    Rfc2217Server server(GetParam(), pty, ODU_MODEM_SHIM, state, dir_);
    if (!server.ready()) {
      ADD_FAILURE() << PeerName(GetParam()) << " did not start: " << server.Log();
      return r;
    }

    std::vector<std::string> tool{ODU_UPGRADE, "--port", server.url()};
    tool.insert(tool.end(), tool_args.begin(), tool_args.end());
    {
      // The terminal is looked at while the tool runs, and only then: once
      // the simulator has gone its path may be someone else's.
      Seen seen;
      std::jthread watch([&](std::stop_token stop) {
        while (!stop.stop_requested()) {
          const auto settings = ReadLineSettings(pty);  // before the lines: the tool still held them
          const bool dtr = lines.ToolDtr(), rts = lines.ToolRts();
          seen.dtr |= dtr;
          seen.rts |= rts;
          if (dtr && settings) seen.settings = settings;
          std::this_thread::sleep_for(2ms);
        }
      });
      ChildProcess upgrade(tool, {}, true, (dir_ / "tool.err").string());
      for (std::string line; !(line = upgrade.ReadLine(120000)).empty();) {
        r.out += line + "\n";
        if (cut == Cut::kKillServerMidImage && line.rfind("Programming... 30%", 0) == 0) server.Kill();
      }
      r.status = upgrade.Wait();
      watch.request_stop();
      watch.join();
      r.seen = seen;
    }
    // The tool's last SET-CONTROL commands may still be on their way.
    for (int i = 0; i < 500 && (lines.ToolDtr() || lines.ToolRts()); ++i) std::this_thread::sleep_for(10ms);
    r.dtr_after = lines.ToolDtr();
    r.rts_after = lines.ToolRts();
    station.Wait(30000);
    r.err = ReadWholeFile(dir_ / "tool.err");
    r.report = ReadReportFile(report);
    r.server_log = server.Log();
    return r;
  }

  fs::path dir_;
};

TEST_P(ThroughRfc2217Server, TheStationIsUpgradedWithTheWindowsLineSettingsAndLines) {
  const Result r = Upgrade({"--baud", "0"});
  EXPECT_EQ(r.status, 0) << r.err << r.server_log;
  EXPECT_NE(r.out.find("Done.\n"), std::string::npos) << r.out;
  EXPECT_EQ(r.report.count("flash_matches_embedded") ? r.report.at("flash_matches_embedded") : "", "true");
  EXPECT_EQ(r.err, "");
  // What the server applied to its terminal while the tool held it: the
  // window's 19,200 baud, 8N1, RTS/CTS.
  ASSERT_TRUE(r.seen.settings) << "the tool's DTR never reached the terminal";
  EXPECT_EQ(*r.seen.settings, (LineSettings{19200, 8, 'N', 1, true}))
      << r.seen.settings->baud << " " << r.seen.settings->data_bits << r.seen.settings->parity
      << r.seen.settings->stop_bits << (r.seen.settings->rtscts ? " rtscts" : " no flow control");
  EXPECT_TRUE(r.seen.rts);
  EXPECT_FALSE(r.dtr_after);
  EXPECT_FALSE(r.rts_after);
}

TEST_P(ThroughRfc2217Server, EachEndIsReportedWithItsMessageAndStatus) {
  const struct {
    const char* name;
    std::vector<std::string> sim;
    std::vector<std::string> tool;
    Cut cut;
    int status;
    std::vector<std::string> says;  // each somewhere on standard error
  } rows[] = {
      {"no carrier at the far end: the port is skipped",
       {"--carrier", "off"},
       {"--verbose"},
       Cut::kNone,
       3,
       {"no carrier detect", "Hardware error. Station ORVELA not found.\n"}},
      {"the server dies mid-image",
       {"--processing-ms", "5"},
       {},
       Cut::kKillServerMidImage,
       5,
       {"Upgrade error. Command timeout.\n"}},
      {"the station's adapter is pulled out mid-image", {"--fault", "300:vanish"}, {}, Cut::kNone, 5,
       {"Upgrade error. Command timeout.\n"}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    std::vector<std::string> sim{"--baud", "0"};
    sim.insert(sim.end(), row.sim.begin(), row.sim.end());
    const Result r = Upgrade(sim, row.tool, row.cut);
    EXPECT_EQ(r.status, row.status) << r.out << r.err << r.server_log;
    for (const auto& says : row.says) EXPECT_NE(r.err.find(says), std::string::npos) << says << " in:\n" << r.err;
    EXPECT_EQ(r.out.find("Done."), std::string::npos) << r.out;
  }
}

std::string PeerTestName(const ::testing::TestParamInfo<Rfc2217Peer>& peer) { return PeerName(peer.param); }

INSTANTIATE_TEST_SUITE_P(Peers, ThroughRfc2217Server, ::testing::Values(Rfc2217Peer::kSer2net, Rfc2217Peer::kPyserial),
                         PeerTestName);

}  // namespace
}  // namespace odu::testing

// odu-upgrade against odu-station-sim on a pseudo-terminal: the real program
// and the real POSIX device layer, the station in another process. The tool
// runs with the test shim preloaded, which gives the pseudo-terminal the
// modem lines the simulator sets.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <map>
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
  std::string out, err;
  std::map<std::string, std::string> report;
};

class EndToEnd : public ::testing::Test {
 protected:
  EndToEnd() : dir_(fs::temp_directory_path() / ("odu-e2e-" + std::to_string(getpid()) + "-" + Name())) {
    fs::create_directories(dir_);
  }
  ~EndToEnd() override { fs::remove_all(dir_); }

  static std::string Name() { return ::testing::UnitTest::GetInstance()->current_test_info()->name(); }

  // Starts the simulator with `sim_args`, then odu-upgrade on its terminal
  // with `tool_args` after the --port option.
  Result Upgrade(const std::vector<std::string>& sim_args, const std::vector<std::string>& tool_args = {}) {
    const std::string state = (dir_ / "modem").string();
    const std::string report = (dir_ / "report").string();
    std::vector<std::string> sim{ODU_STATION_SIM, "--modem-state", state, "--report", report, "--exit-when-done",
                                 "--timeout-s", "120"};
    sim.insert(sim.end(), sim_args.begin(), sim_args.end());
    ChildProcess station(sim, {}, true, (dir_ / "sim.err").string());
    const std::string pty = station.ReadLine();
    Result r;
    if (pty.empty()) {
      ADD_FAILURE() << "the simulator gave no terminal: " << ReadWholeFile(dir_ / "sim.err");
      return r;
    }
    std::vector<std::string> tool{ODU_UPGRADE, "--port", pty};
    tool.insert(tool.end(), tool_args.begin(), tool_args.end());
    {
      ChildProcess upgrade(tool, {"LD_PRELOAD=" ODU_MODEM_SHIM, "ODU_MODEM_STATE=" + state}, true,
                           (dir_ / "tool.err").string());
      r.out = ReadOutput(upgrade);
      r.status = upgrade.Wait();
    }
    station.Wait(30000);
    r.err = ReadWholeFile(dir_ / "tool.err");
    r.report = ReadReportFile(report);
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
  const struct {
    const char* name;
    std::vector<std::string> sim;
    int status;
    const char* says;
  } rows[] = {
      {"no station answers", {"--init", "silent"}, 3, "Hardware error. Station ORVELA not found.\n"},
      {"the station refuses", {"--init", "refuse"}, 4, "Initialize error. Station upgrade not supported.\n"},
      {"a command is refused to the end", {"--fault", "5:refuse", "--fault-every-time"}, 5,
       "Upgrade error. Communication error.\n"},
      {"the bootloader stalls", {"--fault", "5:stall"}, 5, "Upgrade error. Command timeout.\n"},
      {"the adapter is pulled out", {"--fault", "5:vanish"}, 5, "Upgrade error. Command timeout.\n"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    std::vector<std::string> args{"--baud", "0"};
    args.insert(args.end(), row.sim.begin(), row.sim.end());
    const Result r = Upgrade(args);
    EXPECT_EQ(r.status, row.status);
    EXPECT_EQ(r.err, row.says);
  }
}

TEST_F(EndToEnd, VerboseAndTraceShowTheHandshake) {
  const Result r = Upgrade({"--baud", "0", "--init", "refuse"}, {"--verbose", "--trace"});
  EXPECT_EQ(r.status, 4);
  EXPECT_NE(r.err.find("TX 5A 0A 00 F3 30 30 30 30 FD E9\n"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("RX 5A 08 00 00 A2 0B"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find(": station answered: Station upgrade not supported."), std::string::npos) << r.err;
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

// odu-upgrade against odu-station-sim on a pseudo-terminal: the real program
// and the real POSIX device layer, the station in another process. The tool
// runs with the test shim preloaded, which gives the pseudo-terminal the
// modem lines the simulator sets; with --all over several terminals, each
// terminal the lines of its own simulator.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cctype>
#include <filesystem>
#include <map>
#include <memory>
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
    r.port = pty;
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

  // Starts one simulator per entry of `sim_args` (its options), each on its
  // own terminal with its own modem-state file, then one odu-upgrade --all
  // over all the terminals.
  FleetResult UpgradeFleet(const std::vector<std::vector<std::string>>& sim_args) {
    FleetResult r;
    std::vector<std::unique_ptr<ChildProcess>> stations;
    std::vector<std::string> tool{ODU_UPGRADE, "--all"};
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

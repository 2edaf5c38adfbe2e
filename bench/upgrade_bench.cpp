// upgrade-bench: one whole upgrade of the embedded image at 19,200 baud
// through the real POSIX device layer: odu-upgrade on one end of a
// pseudo-terminal, odu-station-sim on the other, the simulator modelling the
// wire in both directions. Prints one figure a line, "name: value".
//
// A pseudo-terminal has no modem lines, so odu-upgrade runs with the test
// shim preloaded, which answers the modem-line calls from state it shares
// with the simulator.
//
// With a command after --, the same run times any other tool: the Windows
// build under wine on a COM port mapped to the terminal (scripts/wine/bench.sh).
//
// With --port-kind rfc2217 the tool reaches the terminal through ser2net
// (Telnet COM-PORT-OPTION on 127.0.0.1), which then holds the terminal and
// has the shim preloaded instead; ser2net runs with chardelay off unless
// --ser2net-chardelay keeps its default wait for more serial input.
//
// With --stations N the tool upgrades a fleet: N simulators at 19,200 baud,
// each on its own terminal, and one "odu-upgrade --all --port T1 ... --port
// TN" with the shim preloaded, which gives each terminal the lines of its
// own simulator. The limit is still one station's wire time and mandated
// waits (the largest of the N): the stations are upgraded side by side, so
// the fleet should take no longer than its slowest station alone. The tool's
// CPU is given per station and per second of the run; simulators_cpu_s is
// what the simulators took of the same cores. With a list, --stations
// 1,2,4,8,16, each count is run in turn and the figures come as one table
// row per count.
//
// This program starts processes and reads their resource use: it is written
// for Linux.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/report_file.h"
#include "tests/support/rfc2217_peers.h"

using odu::testing::ChildProcess;

namespace {

double Number(const std::map<std::string, std::string>& r, const std::string& key) {
  auto it = r.find(key);
  return it == r.end() ? 0.0 : std::atof(it->second.c_str());
}

constexpr double kBaud = 19200;
// The one-second start delay, and the handshake's read of ten bytes, which
// waits out its one-second timeout for a reply of eight.
constexpr double kMandated = 1.0 + 1.0;

double Seconds(const rusage& usage) {
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// The wire time of the upgrade a simulator's report tells of.
double WireSeconds(const std::map<std::string, std::string>& r) {
  return (Number(r, "bytes_from_tool") + Number(r, "bytes_to_tool")) * 10.0 / kBaud;
}

struct FleetRun {
  int stations = 0;
  int exit_status = -1;
  int flash_matches = 0;
  double measured = 0, limit = 0, cpu = 0, sim_cpu = 0;
  long peak_rss_kib = 0;
  std::string error;  // why the run could not be made
};

// One "odu-upgrade --all" over `n` simulators on their own terminals, its
// scratch files in `dir`.
FleetRun RunFleet(int n, const std::string& tool, const std::string& sim, const std::string& shim,
                  const std::filesystem::path& dir) {
  FleetRun run;
  run.stations = n;
  std::filesystem::create_directories(dir);
  std::vector<std::unique_ptr<ChildProcess>> stations;
  std::vector<std::string> command{tool, "--all"};
  std::string states;
  for (int i = 0; i < n; ++i) {
    const std::string state = (dir / ("modem-" + std::to_string(i))).string();
    stations.push_back(std::make_unique<ChildProcess>(
        std::vector<std::string>{sim, "--baud", "19200", "--modem-state", state, "--report",
                                 (dir / ("report-" + std::to_string(i))).string(), "--exit-when-done"},
        std::vector<std::string>{}, true, (dir / ("sim-" + std::to_string(i) + ".err")).string()));
    const std::string pty = stations.back()->ReadLine();
    if (pty.empty()) {
      run.error = "simulator " + std::to_string(i) + " gave no terminal";
      return run;
    }
    command.insert(command.end(), {"--port", pty});
    states += (i ? ":" : "") + state;
  }

  const auto start = std::chrono::steady_clock::now();
  ChildProcess upgrade(command, {"LD_PRELOAD=" + shim, "ODU_MODEM_STATE=" + states}, false,
                       (dir / "tool.err").string());
  run.exit_status = upgrade.Wait(600000);
  run.measured = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  run.cpu = Seconds(upgrade.usage());
  run.peak_rss_kib = upgrade.usage().ru_maxrss;
  for (int i = 0; i < n; ++i) {
    // A simulator the tool never wrote to would wait for it.
    stations[i]->Stop(2000);
    run.sim_cpu += Seconds(stations[i]->usage());
    const auto r = odu::testing::ReadReportFile((dir / ("report-" + std::to_string(i))).string());
    if (r.count("flash_matches_embedded") && r.at("flash_matches_embedded") == "true") ++run.flash_matches;
    run.limit = std::max(run.limit, WireSeconds(r) + kMandated);
  }
  return run;
}

// --stations LIST: one count prints its figures, several a table.
int BenchFleet(const std::string& list, const std::string& tool, const std::string& sim, const std::string& shim) {
  std::vector<int> counts;
  for (size_t at = 0; at <= list.size();) {
    const size_t comma = std::min(list.find(',', at), list.size());
    const int n = std::atoi(list.substr(at, comma - at).c_str());
    if (n < 1 || n > 64) {
      std::fprintf(stderr, "--stations wants counts from 1 to 64, separated by commas: %s\n", list.c_str());
      return 2;
    }
    counts.push_back(n);
    at = comma + 1;
  }
  const auto dir = std::filesystem::temp_directory_path() / ("odu-bench-" + std::to_string(getpid()));
  bool all_good = true;
  std::vector<FleetRun> runs;
  for (int n : counts) {
    runs.push_back(RunFleet(n, tool, sim, shim, dir / std::to_string(runs.size())));
    const FleetRun& r = runs.back();
    if (!r.error.empty()) std::fprintf(stderr, "%d stations: %s\n", n, r.error.c_str());
    if (r.exit_status != 0 || r.flash_matches != n) {
      all_good = false;
      std::fprintf(stderr, "%d stations: the tool said: %s", n,
                   odu::testing::ReadWholeFile(dir / std::to_string(runs.size() - 1) / "tool.err").c_str());
    }
  }
  std::filesystem::remove_all(dir);
  // The simulators' CPU is printed too: they share the machine with the
  // tool, and when they and the tool together need most of its cores, the
  // line timing they model (and so measured_s) suffers.
  if (runs.size() == 1) {
    const FleetRun& r = runs[0];
    std::printf("stations: %d\n", r.stations);
    std::printf("exit_status: %d\n", r.exit_status);
    std::printf("flash_matches: %d/%d\n", r.flash_matches, r.stations);
    std::printf("measured_s: %.3f\n", r.measured);
    std::printf("limit_s: %.3f\n", r.limit);
    std::printf("ratio: %.4f\n", r.limit > 0 ? r.measured / r.limit : 0.0);
    std::printf("cpu_s: %.4f\n", r.cpu);
    std::printf("cpu_share_per_station: %.5f\n", r.cpu / r.measured / r.stations);
    std::printf("peak_rss_kib: %ld\n", r.peak_rss_kib);
    std::printf("simulators_cpu_s: %.3f\n", r.sim_cpu);
  } else {
    std::printf("%8s %6s %7s %10s %8s %8s %21s %12s %16s\n", "stations", "exit", "flash", "measured_s", "ratio",
                "cpu_s", "cpu_share_per_station", "peak_rss_kib", "simulators_cpu_s");
    for (const FleetRun& r : runs) {
      const std::string flash = std::to_string(r.flash_matches) + "/" + std::to_string(r.stations);
      std::printf("%8d %6d %7s %10.3f %8.4f %8.4f %21.5f %12ld %16.3f\n", r.stations, r.exit_status, flash.c_str(),
                  r.measured, r.limit > 0 ? r.measured / r.limit : 0.0, r.cpu, r.cpu / r.measured / r.stations,
                  r.peak_rss_kib, r.sim_cpu);
    }
  }
  return all_good ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  // upgrade-bench [--unplug-at N] [--link PATH] [--port-kind pty|rfc2217] [--ser2net-chardelay]
  //               [tool [simulator [shim]]] [-- COMMAND...]
  // upgrade-bench --stations N[,N...] [tool [simulator [shim]]]
  // With -- the tool is COMMAND (for example wine odu-upgrade.exe --port
  // COM7) instead of "tool --port <terminal>"; --link PATH is a symlink
  // pointed at the terminal first (the one wine maps as that COM port).
  std::vector<std::string> args(argv + 1, argv + argc);
  std::vector<std::string> command;
  if (auto dashes = std::find(args.begin(), args.end(), "--"); dashes != args.end()) {
    command.assign(dashes + 1, args.end());
    args.erase(dashes, args.end());
  }
  std::string unplug_at, link, port_kind = "pty", stations;
  bool chardelay = false;
  for (bool more = true; more;) {
    if (!args.empty() && args[0] == "--ser2net-chardelay") {
      chardelay = true;
      args.erase(args.begin());
      continue;
    }
    more = args.size() >= 2 && (args[0] == "--unplug-at" || args[0] == "--link" || args[0] == "--port-kind" ||
                                args[0] == "--stations");
    if (more) {
      (args[0] == "--link"        ? link
       : args[0] == "--port-kind" ? port_kind
       : args[0] == "--stations"  ? stations
                                  : unplug_at) = args[1];
      args.erase(args.begin(), args.begin() + 2);
    }
  }
  const bool rfc2217 = port_kind == "rfc2217";
  const bool fleet_alone = stations.empty() || (port_kind == "pty" && command.empty() && link.empty() &&
                                                unplug_at.empty() && !chardelay);
  if ((!rfc2217 && port_kind != "pty") || (rfc2217 && (!command.empty() || !link.empty())) || !fleet_alone) {
    std::fprintf(stderr, "usage: upgrade-bench [--unplug-at N] [--link PATH] [--port-kind pty|rfc2217] "
                         "[--ser2net-chardelay] [tool [simulator [shim]]] [-- COMMAND...]\n"
                         "       upgrade-bench --stations N[,N...] [tool [simulator [shim]]]\n"
                         "  (--port-kind rfc2217 goes with neither -- COMMAND nor --link)\n");
    return 2;
  }
  const std::string tool = args.size() > 0 ? args[0] : ODU_UPGRADE;
  const std::string sim = args.size() > 1 ? args[1] : ODU_STATION_SIM;
  const std::string shim = args.size() > 2 ? args[2] : ODU_MODEM_SHIM;
  if (!stations.empty()) return BenchFleet(stations, tool, sim, shim);

  const auto dir = std::filesystem::temp_directory_path() / ("odu-bench-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  const std::string state = (dir / "modem").string();
  const std::string report = (dir / "report").string();

  std::vector<std::string> sim_args{sim, "--baud", "19200", "--modem-state", state, "--report", report, "--exit-when-done"};
  if (!unplug_at.empty()) {
    // The adapter is pulled out when command N comes: the run must end with
    // its message within the retries' timeouts, without spinning meanwhile.
    sim_args.push_back("--fault");
    sim_args.push_back(unplug_at + ":vanish");
  }
  ChildProcess station(sim_args, {}, true, (dir / "sim.err").string());
  const std::string pty = station.ReadLine();
  if (pty.empty()) {
    std::fprintf(stderr, "the simulator %s gave no terminal\n", sim.c_str());
    return 1;
  }

  if (!link.empty()) {
    const std::string fresh = link + ".new";
    std::filesystem::remove(fresh);
    std::filesystem::create_symlink(pty, fresh);
    std::filesystem::rename(fresh, link);
  }
  // Through ser2net the server holds the terminal, so the shim goes to it.
  std::vector<std::string> tool_env{"LD_PRELOAD=" + shim, "ODU_MODEM_STATE=" + state};
  std::unique_ptr<odu::testing::Rfc2217Server> server;
  if (rfc2217) {
    if (const std::string missing = odu::testing::Rfc2217Server::Missing(odu::testing::Rfc2217Peer::kSer2net);
        !missing.empty()) {
      std::fprintf(stderr, "--port-kind rfc2217: %s\n", missing.c_str());
      std::filesystem::remove_all(dir);
      return 1;
    }
    server = std::make_unique<odu::testing::Rfc2217Server>(odu::testing::Rfc2217Peer::kSer2net, pty, shim, state, dir,
                                                           chardelay);
    if (!server->ready()) {
      std::fprintf(stderr, "ser2net did not start: %s\n", server->Log().c_str());
      server.reset();
      std::filesystem::remove_all(dir);
      return 1;
    }
    command = {tool, "--port", server->url()};
    tool_env.clear();
  }
  if (command.empty()) command = {tool, "--port", pty};

  const auto start = std::chrono::steady_clock::now();
  ChildProcess upgrade(command, tool_env, false, (dir / "tool.err").string());
  const int status = upgrade.Wait(600000);
  const double measured = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const rusage& usage = upgrade.usage();
  station.Wait(30000);
  server.reset();

  const auto r = odu::testing::ReadReportFile(report);
  const double cpu = Seconds(usage);
  const double wire = WireSeconds(r);
  const double mandated = kMandated;
  const double limit = wire + mandated;

  std::printf("port_kind: %s\n", rfc2217 ? (chardelay ? "rfc2217 (ser2net, chardelay)" : "rfc2217 (ser2net)") : "pty");
  std::printf("exit_status: %d\n", status);
  if (!unplug_at.empty()) {
    std::ifstream err(dir / "tool.err");
    std::string message;
    std::getline(err, message);
    std::printf("message: %s\n", message.c_str());
    std::printf("measured_s: %.3f\n", measured);
    std::printf("cpu_s: %.4f\n", cpu);
    std::printf("cpu_share: %.4f\n", cpu / measured);
    std::filesystem::remove_all(dir);
    return status == 5 ? 0 : 1;
  }
  std::printf("flash_matches: %s\n", r.count("flash_matches_embedded") ? r.at("flash_matches_embedded").c_str() : "unknown");
  std::printf("wire_s: %.3f\n", wire);
  std::printf("mandated_s: %.3f\n", mandated);
  std::printf("limit_s: %.3f\n", limit);
  std::printf("measured_s: %.3f\n", measured);
  std::printf("ratio: %.4f\n", measured / limit);
  std::printf("cpu_share: %.4f\n", cpu / measured);
  std::printf("turnaround_median_us: %s\n", r.count("turnaround_median_us") ? r.at("turnaround_median_us").c_str() : "?");
  std::printf("turnaround_p99_us: %s\n", r.count("turnaround_p99_us") ? r.at("turnaround_p99_us").c_str() : "?");
  std::printf("turnaround_total_s: %.3f\n", Number(r, "turnaround_total_us") / 1e6);
  std::printf("peak_rss_kib: %ld\n", usage.ru_maxrss);
  std::filesystem::remove_all(dir);
  return status == 0 ? 0 : 1;
}

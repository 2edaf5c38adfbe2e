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

}  // namespace

int main(int argc, char** argv) {
  // upgrade-bench [--unplug-at N] [--link PATH] [--port-kind pty|rfc2217] [--ser2net-chardelay]
  //               [tool [simulator [shim]]] [-- COMMAND...]
  // With -- the tool is COMMAND (for example wine odu-upgrade.exe --port
  // COM7) instead of "tool --port <terminal>"; --link PATH is a symlink
  // pointed at the terminal first (the one wine maps as that COM port).
  std::vector<std::string> args(argv + 1, argv + argc);
  std::vector<std::string> command;
  if (auto dashes = std::find(args.begin(), args.end(), "--"); dashes != args.end()) {
    command.assign(dashes + 1, args.end());
    args.erase(dashes, args.end());
  }
  std::string unplug_at, link, port_kind = "pty";
  bool chardelay = false;
  for (bool more = true; more;) {
    if (!args.empty() && args[0] == "--ser2net-chardelay") {
      chardelay = true;
      args.erase(args.begin());
      continue;
    }
    more = args.size() >= 2 && (args[0] == "--unplug-at" || args[0] == "--link" || args[0] == "--port-kind");
    if (more) {
      (args[0] == "--link" ? link : args[0] == "--port-kind" ? port_kind : unplug_at) = args[1];
      args.erase(args.begin(), args.begin() + 2);
    }
  }
  const bool rfc2217 = port_kind == "rfc2217";
  if ((!rfc2217 && port_kind != "pty") || (rfc2217 && (!command.empty() || !link.empty()))) {
    std::fprintf(stderr, "usage: upgrade-bench [--unplug-at N] [--link PATH] [--port-kind pty|rfc2217] "
                         "[--ser2net-chardelay] [tool [simulator [shim]]] [-- COMMAND...]\n"
                         "  (--port-kind rfc2217 goes with neither -- COMMAND nor --link)\n");
    return 2;
  }
  const std::string tool = args.size() > 0 ? args[0] : ODU_UPGRADE;
  const std::string sim = args.size() > 1 ? args[1] : ODU_STATION_SIM;
  const std::string shim = args.size() > 2 ? args[2] : ODU_MODEM_SHIM;
  constexpr double kBaud = 19200;

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
  const double cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                     static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  const double wire = (Number(r, "bytes_from_tool") + Number(r, "bytes_to_tool")) * 10.0 / kBaud;
  // The one-second start delay, and the handshake's read of ten bytes, which
  // waits out its one-second timeout for a reply of eight.
  const double mandated = 1.0 + 1.0;
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

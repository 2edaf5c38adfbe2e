// upgrade-bench: one whole upgrade of the embedded image at 19,200 baud
// through the real POSIX device layer: odu-upgrade on one end of a
// pseudo-terminal, odu-station-sim on the other, the simulator modelling the
// wire in both directions. Prints one figure a line, "name: value".
//
// A pseudo-terminal has no modem lines, so odu-upgrade runs with the test
// shim preloaded, which answers the modem-line calls from state it shares
// with the simulator.
//
// This program starts processes and reads their resource use: it is written
// for Linux.
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

extern char** environ;

namespace {

struct Child {
  pid_t pid = -1;
  int out = -1;  // its standard output, when captured
};

Child Spawn(const std::vector<std::string>& args, const std::vector<std::string>& extra_env, bool capture_out,
            const std::string& err_file) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  int pipe_fds[2] = {-1, -1};
  if (capture_out) {
    if (pipe(pipe_fds) != 0) return {};
    posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, pipe_fds[0]);
  } else {
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  }
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  std::vector<char*> argv;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  std::vector<std::string> env_store(extra_env);
  for (char** e = environ; *e; ++e) env_store.emplace_back(*e);
  std::vector<char*> envp;
  for (auto& e : env_store) envp.push_back(e.data());
  envp.push_back(nullptr);
  Child c;
  if (posix_spawn(&c.pid, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) c.pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  if (capture_out) {
    close(pipe_fds[1]);
    c.out = pipe_fds[0];
  }
  return c;
}

std::string ReadLine(int fd) {
  std::string line;
  char ch;
  while (read(fd, &ch, 1) == 1 && ch != '\n') line += ch;
  return line;
}

std::map<std::string, std::string> ReadReport(const std::string& path) {
  std::map<std::string, std::string> r;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) {
    const auto colon = line.find(": ");
    if (colon != std::string::npos) r[line.substr(0, colon)] = line.substr(colon + 2);
  }
  return r;
}

double Number(const std::map<std::string, std::string>& r, const std::string& key) {
  auto it = r.find(key);
  return it == r.end() ? 0.0 : std::atof(it->second.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  const std::string tool = argc > 1 ? argv[1] : ODU_UPGRADE;
  const std::string sim = argc > 2 ? argv[2] : ODU_STATION_SIM;
  const std::string shim = argc > 3 ? argv[3] : ODU_MODEM_SHIM;
  constexpr double kBaud = 19200;

  const auto dir = std::filesystem::temp_directory_path() / ("odu-bench-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  const std::string state = (dir / "modem").string();
  const std::string report = (dir / "report").string();

  Child station = Spawn({sim, "--baud", "19200", "--modem-state", state, "--report", report, "--exit-when-done"}, {},
                        true, (dir / "sim.err").string());
  if (station.pid < 0) {
    std::fprintf(stderr, "cannot start %s\n", sim.c_str());
    return 1;
  }
  const std::string pty = ReadLine(station.out);
  if (pty.empty()) {
    std::fprintf(stderr, "the simulator gave no terminal\n");
    return 1;
  }

  const auto start = std::chrono::steady_clock::now();
  Child upgrade = Spawn({tool, "--port", pty}, {"LD_PRELOAD=" + shim, "ODU_MODEM_STATE=" + state}, false,
                        (dir / "tool.err").string());
  int status = 0;
  rusage usage{};
  wait4(upgrade.pid, &status, 0, &usage);
  const double measured = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  int sim_status = 0;
  waitpid(station.pid, &sim_status, 0);
  close(station.out);

  const auto r = ReadReport(report);
  const double cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                     static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  const double wire = (Number(r, "bytes_from_tool") + Number(r, "bytes_to_tool")) * 10.0 / kBaud;
  // The one-second start delay, and the handshake's read of ten bytes, which
  // waits out its one-second timeout for a reply of eight.
  const double mandated = 1.0 + 1.0;
  const double limit = wire + mandated;

  std::printf("exit_status: %d\n", WIFEXITED(status) ? WEXITSTATUS(status) : -1);
  std::printf("flash_matches: %s\n", r.count("flash_matches_embedded") ? r.at("flash_matches_embedded").c_str() : "unknown");
  std::printf("wire_s: %.3f\n", wire);
  std::printf("mandated_s: %.3f\n", mandated);
  std::printf("limit_s: %.3f\n", limit);
  std::printf("measured_s: %.3f\n", measured);
  std::printf("ratio: %.4f\n", measured / limit);
  std::printf("cpu_share: %.4f\n", cpu / measured);
  std::printf("turnaround_median_us: %s\n", r.count("turnaround_median_us") ? r.at("turnaround_median_us").c_str() : "?");
  std::printf("turnaround_p99_us: %s\n", r.count("turnaround_p99_us") ? r.at("turnaround_p99_us").c_str() : "?");
  std::printf("peak_rss_kib: %ld\n", usage.ru_maxrss);
  std::filesystem::remove_all(dir);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : 1;
}

#include "tests/support/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

extern char** environ;

namespace odu::testing {

ChildProcess::ChildProcess(const std::vector<std::string>& args, const std::vector<std::string>& extra_env,
                           bool capture_out, const std::string& err_file) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  int fds[2] = {-1, -1};
  if (capture_out && pipe2(fds, O_CLOEXEC) == 0) {
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
  } else {
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  }
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  std::vector<char*> argv;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  std::vector<std::string> env(extra_env);
  for (char** e = environ; *e; ++e) env.emplace_back(*e);
  std::vector<char*> envp;
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) pid_ = -1;
  posix_spawn_file_actions_destroy(&actions);
  if (fds[1] >= 0) close(fds[1]);
  out_ = fds[0];
}

ChildProcess::~ChildProcess() {
  if (pid_ > 0 && !waited_) {
    kill(pid_, SIGKILL);
    Wait(1000);
  }
  if (out_ >= 0) close(out_);
}

std::string ChildProcess::ReadLine(int timeout_ms) {
  std::string line;
  if (out_ < 0) return line;
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now()).count();
    if (left <= 0) return line;
    pollfd p{out_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
    char ch;
    if (read(out_, &ch, 1) != 1 || ch == '\n') return line;
    line += ch;
  }
}

std::string ChildProcess::ReadToEnd(int timeout_ms) {
  std::string out;
  if (out_ < 0) return out;
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now()).count();
    if (left <= 0) return out;
    pollfd p{out_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
    char buffer[4096];
    const ssize_t n = read(out_, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return out;
    out.append(buffer, static_cast<size_t>(n));
  }
}

void ChildProcess::Signal(int signal) {
  if (pid_ > 0 && !waited_) kill(pid_, signal);
}

int ChildProcess::Stop(int grace_ms, int timeout_ms) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(grace_ms);
  while (Running() && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  Signal(SIGTERM);
  return Wait(timeout_ms);
}

bool ChildProcess::Running() {
  if (waited_ || pid_ <= 0) return false;
  int status = 0;
  if (wait4(pid_, &status, WNOHANG, &usage_) != pid_) return true;
  waited_ = true;
  status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return false;
}

int ChildProcess::Wait(int timeout_ms) {
  if (waited_) return status_;
  if (pid_ <= 0) return -1;
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  int status = 0;
  for (;;) {
    const pid_t r = wait4(pid_, &status, WNOHANG, &usage_);
    if (r == pid_) break;
    if (std::chrono::steady_clock::now() >= until) {
      kill(pid_, SIGKILL);
      wait4(pid_, &status, 0, &usage_);
      waited_ = true;
      return status_ = -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  waited_ = true;
  status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return status_;
}

}  // namespace odu::testing

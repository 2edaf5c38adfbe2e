// Starting the project's programs from tests and benchmarks (Linux): a child
// with extra environment, its standard output readable through a pipe, its
// standard error in a file, and its resource use when it ends.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <string>
#include <vector>

namespace odu::testing {

class ChildProcess {
 public:
  // Starts `args[0]` with `args`; `extra_env` entries ("NAME=value") come
  // before the inherited environment. Standard output goes to a pipe when
  // `capture_out`, otherwise to /dev/null; standard error to `err_file`.
  ChildProcess(const std::vector<std::string>& args, const std::vector<std::string>& extra_env, bool capture_out,
               const std::string& err_file);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool started() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }
  // One line of its standard output (without the newline); empty at its end
  // or after `timeout_ms`.
  std::string ReadLine(int timeout_ms = 10000);
  // All of its standard output until it closes it, or what came within
  // `timeout_ms`.
  std::string ReadToEnd(int timeout_ms = 120000);
  // Waits for it to end; its exit status, or -1 when it did not end normally
  // (it is killed after `timeout_ms`).
  int Wait(int timeout_ms = 120000);
  const rusage& usage() const { return usage_; }
  // Whether it has not ended yet (looks without waiting; once it has ended,
  // Wait returns its status at once).
  bool Running();
  // Sends `signal` to it while it runs.
  void Signal(int signal);
  // Lets it end by itself within `grace_ms`, then asks it to (SIGTERM) and
  // waits as Wait does: for a simulator, which writes its report then.
  int Stop(int grace_ms, int timeout_ms = 10000);

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  rusage usage_{};
  bool waited_ = false;
  int status_ = -1;
};

}  // namespace odu::testing

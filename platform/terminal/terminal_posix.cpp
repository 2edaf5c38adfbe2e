#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <charconv>
#include <cstdlib>
#include <string_view>
#include <thread>

#include "platform/terminal/terminal.h"

namespace odu::platform {

bool IsTerminal(std::FILE* stream) { return isatty(fileno(stream)) == 1; }

namespace {

// COLUMNS as the shells set it: a plain positive number, or nothing.
int ColumnsFromEnvironment() {
  const char* text = std::getenv("COLUMNS");
  if (!text) return 0;
  const std::string_view digits(text);
  int columns = 0;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), columns);
  if (error != std::errc() || end != digits.data() + digits.size() || columns <= 0) return 0;
  return columns;
}

}  // namespace

int TerminalColumns(std::FILE* stream) {
  if (!stream) return 0;
  const int fd = fileno(stream);
  winsize size{};
  if (fd < 0 || ioctl(fd, TIOCGWINSZ, &size) != 0) return 0;  // no terminal: COLUMNS is not about this stream
  if (size.ws_col > 0) return size.ws_col;
  return ColumnsFromEnvironment();
}

// The signals are blocked here and in every thread started later (they
// inherit the mask), and taken by one thread with sigwait: the handler then
// runs as ordinary code, not inside a signal handler.
void CatchInterrupts(int exit_status, void (*before_exit)()) {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGHUP);
  if (pthread_sigmask(SIG_BLOCK, &signals, nullptr) != 0) return;
  std::thread([signals, exit_status, before_exit] {
    for (;;) {
      int signal = 0;
      if (sigwait(&signals, &signal) != 0) continue;
      if (DeliverInterrupt()) continue;
      if (before_exit) before_exit();
      _exit(exit_status);
    }
  }).detach();
}

}  // namespace odu::platform

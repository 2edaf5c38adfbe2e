#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <thread>

#include "platform/terminal/terminal.h"

namespace odu::platform {

bool IsTerminal(std::FILE* stream) { return isatty(fileno(stream)) == 1; }

// The signals are blocked here and in every thread started later (they
// inherit the mask), and taken by one thread with sigwait: the handler then
// runs as ordinary code, not inside a signal handler.
void CatchInterrupts(int exit_status) {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGHUP);
  if (pthread_sigmask(SIG_BLOCK, &signals, nullptr) != 0) return;
  std::thread([signals, exit_status] {
    for (;;) {
      int signal = 0;
      if (sigwait(&signals, &signal) != 0) continue;
      if (!DeliverInterrupt()) _exit(exit_status);
    }
  }).detach();
}

}  // namespace odu::platform

// How much CPU the port's event thread burns while its device has vanished
// (an unplugged USB adapter): every wait fails at once, so the thread must
// rest between them rather than spin. Prints the share of one core used by
// the whole process over the measurement; the goal is under 1%.
#include <chrono>
#include <cstdio>
#include <ctime>
#include <string>

#include "comm/thread_comm.h"
#include "platform/serial/serial_virtual.h"
#include "platform/toolkit/toolkit_headless.h"

using namespace odu;
using namespace odu::platform;

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::stod(argv[1]) : 5.0;
  HeadlessToolkit toolkit(RealTime());
  auto modem = VirtualNullModem::Create(RealTime());
  VirtualPortOpener opener;
  opener.Add("COM1", modem, 0);
  TComponent root(nullptr);
  auto* port = new TThreadComm(&root);
  port->SetOpener(&opener);
  port->Open();
  if (!port->Connected()) {
    std::fprintf(stderr, "could not open the virtual port\n");
    return 1;
  }
  int notifications = 0;
  port->OnCommEvent = [&](TThreadComm&, uint32_t, const ComStat&) { ++notifications; };
  modem->Vanish(0);

  const std::clock_t cpu0 = std::clock();
  const auto wall0 = std::chrono::steady_clock::now();
  toolkit.RunFor(std::chrono::duration_cast<Nanos>(std::chrono::duration<double>(seconds)));
  const double cpu = static_cast<double>(std::clock() - cpu0) / CLOCKS_PER_SEC;
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
  port->Close();

  std::printf("vanished_seconds: %.2f\n", wall);
  std::printf("cpu_seconds: %.4f\n", cpu);
  std::printf("cpu_share_of_one_core: %.4f\n", cpu / wall);
  std::printf("notifications: %d\n", notifications);
  std::printf("goal_cpu_share_below: 0.01\n");
  return 0;
}

// How long a read on a silent pseudo-terminal waits under a few timeout
// settings of the POSIX device layer: the wait asked for (asked_ms) next to
// the one measured (waited_ms, the mean of the reads).
#include <pty.h>
#include <stdlib.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "platform/serial/comm_timeouts.h"
#include "platform/serial/port_lock_posix.h"
#include "platform/serial/serial_posix.h"

namespace {

using namespace odu::platform;
using SteadyClock = std::chrono::steady_clock;
constexpr uint32_t M = kMaxDword;

// `t` on a device at the slave end of a new pseudo-terminal; with
// `byte_first` the far end sends one byte before each read, whose wait then
// starts after that byte.
void SilentRead(benchmark::State& state, CommTimeouts t, double asked_ms, bool byte_first) {
  int master = -1, slave = -1;
  char name[128] = {};
  if (::openpty(&master, &slave, name, nullptr, nullptr) != 0) return state.SkipWithError("no pseudo-terminal");
  ::close(slave);
  DeviceHandle device = PosixSerialOpener().Open(name);
  if (!device || !device->SetCommTimeouts(t)) return state.SkipWithError("the device does not open");
  char buf[16];
  double waited_ms = 0;
  for (auto _ : state) {
    uint32_t errors = 0;
    ComStat status;
    if (byte_first && ::write(master, "x", 1) == 1) {
      const auto give_up = SteadyClock::now() + std::chrono::seconds(1);
      while (device->ClearCommError(errors, status) && status.cbInQue == 0 && SteadyClock::now() < give_up)
        std::this_thread::yield();
    }
    uint32_t read = 0;
    const auto start = SteadyClock::now();
    device->ReadFile(buf, sizeof buf, read);
    waited_ms += std::chrono::duration<double, std::milli>(SteadyClock::now() - start).count();
  }
  device->Close();
  ::close(master);
  state.counters["asked_ms"] = asked_ms;
  state.counters["waited_ms"] = benchmark::Counter(waited_ms, benchmark::Counter::kAvgIterations);
}

}  // namespace

#define ODU_READ_BENCH(name, ...) \
  BENCHMARK_CAPTURE(SilentRead, name, __VA_ARGS__)->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(20)
ODU_READ_BENCH(immediate, CommTimeouts{M, 0, 0, 0, 0}, 0, false);
ODU_READ_BENCH(constant_10ms, CommTimeouts{M, 0, 10, 0, 0}, 10, false);
ODU_READ_BENCH(constant_50ms, CommTimeouts{M, 0, 50, 0, 0}, 50, false);
ODU_READ_BENCH(first_bytes_10ms, CommTimeouts{M, M, 10, 0, 0}, 10, false);
ODU_READ_BENCH(total_5ms_plus_1ms_x16, CommTimeouts{0, 1, 5, 0, 0}, 21, false);
ODU_READ_BENCH(interval_20ms_after_a_byte, CommTimeouts{20, 0, 1000, 0, 0}, 20, true);

int main(int argc, char** argv) {
  // Lock files in a folder of this run's own, never the system's.
  char dir[] = "/tmp/odu-read-bench-XXXXXX";
  if (!::mkdtemp(dir)) return 1;
  SetPortLockDir(dir);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
  return 0;
}

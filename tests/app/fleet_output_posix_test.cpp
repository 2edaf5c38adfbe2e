// Several stations at once with an output nobody reads: a pipe of one page,
// as a pager that is not reading or a terminal stopped with Ctrl-S leaves
// it. The runs must still end, each on its own time; only the writing waits.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <thread>

#include "app/cli/cli.h"
#include "app/cli/cli_options.h"
#include "sim/simulated_station.h"

namespace odu::testing {
namespace {

using namespace odu::platform;

TEST(FleetOutput, AStalledOutputHoldsUpNoRun) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  ::fcntl(fds[1], F_SETPIPE_SZ, 4096);
  std::atomic<int> ended{0};
  CliEnvironment env;
  env.run_host = [&ended](const std::string& port) {
    struct Host {
      VirtualClock clock;
      std::unique_ptr<sim::SimulatedStation> station;
    };
    auto host = std::make_shared<Host>();
    host->station = std::make_unique<sim::SimulatedStation>(host->clock, 19200, sim::StationConfig{}, port);
    RunHost r;
    r.clock = &host->clock;
    r.opener = &host->station->opener();
    // Called when the run has ended "Done.", on the run's thread.
    r.flash_matches = [&ended, station = host->station.get()](const uint8_t* image) {
      ++ended;
      return station->FlashMatches(image);
    };
    r.keep = host;
    return r;
  };
  std::FILE* out = ::fdopen(fds[1], "w");
  std::FILE* err = std::tmpfile();
  env.out = out;
  env.err = err;
  // Nothing is read until both runs have ended, or ten seconds have gone.
  bool ended_unread = false;
  std::thread reader([&] {
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (ended < 2 && std::chrono::steady_clock::now() < give_up)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ended_unread = ended == 2;
    char buffer[4096];
    while (::read(fds[0], buffer, sizeof buffer) > 0) {
    }
  });
  const int status = RunCli({"--all", "--json", "--port", "A", "--port", "B"}, env);
  std::fclose(out);
  reader.join();
  ::close(fds[0]);
  std::fclose(err);
  EXPECT_EQ(status, kExitDone);
  EXPECT_TRUE(ended_unread) << "a run waited for its output to be read";
}

}  // namespace
}  // namespace odu::testing

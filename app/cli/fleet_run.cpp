#include "app/cli/fleet_run.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "app/run/exit_status.h"

namespace odu {

using namespace odu::platform;

namespace {

void RunOnePort(const FleetSetup& setup, const std::string& port, StationResult& result) {
  RunSetup run;
  run.port = port;
  run.list_ports = [port](std::vector<std::string>& l) { l.push_back(port); };
  run.host = setup.host(port);
  run.image_lines = setup.image_lines;
  run.trace = setup.trace;
  run.runs = setup.runs;
  result = RunStation(run, *setup.view).result;
}

}  // namespace

std::vector<StationResult> RunFleet(const FleetSetup& setup) {
  std::vector<StationResult> results(setup.ports.size());
  std::mutex mutex;
  std::condition_variable cv;
  size_t finished = 0;
  // A run that failed in itself is told on this thread once all are over,
  // so that what failed it cannot fail the telling on its own thread.
  std::vector<char> failed_runs(setup.ports.size(), 0);
  const auto failed = [&](size_t i, const std::string& why) {
    results[i].port = setup.ports[i];
    results[i].status = kExitInternal;
    results[i].found = true;
    results[i].result = "internal error: " + why;
    failed_runs[i] = 1;
  };
  std::vector<std::thread> threads;
  for (size_t i = 0; i < setup.ports.size(); ++i) {
    try {
      threads.emplace_back([&, i] {
        try {
          RunOnePort(setup, setup.ports[i], results[i]);
        } catch (const std::exception& e) {
          failed(i, e.what());
        } catch (...) {
          failed(i, "unknown exception");
        }
        std::lock_guard lock(mutex);
        ++finished;
        cv.notify_all();
      });
    } catch (const std::exception& e) {
      // No thread for this port (the system's limit): it and the rest are
      // not run; those under way go on.
      for (size_t k = i; k < setup.ports.size(); ++k) failed(k, std::string("no thread to run it: ") + e.what());
      break;
    }
  }
  {
    std::unique_lock lock(mutex);
    while (finished < threads.size()) {
      cv.wait_for(lock, std::chrono::milliseconds(100));
      if (setup.tick) {
        lock.unlock();
        setup.tick();
        lock.lock();
      }
    }
  }
  for (std::thread& t : threads) t.join();
  for (size_t i = 0; i < results.size(); ++i)
    if (failed_runs[i]) setup.view->Ended(results[i]);
  return results;
}

FleetCounts CountFleet(const std::vector<StationResult>& results) {
  FleetCounts counts;
  counts.ports = static_cast<int>(results.size());
  for (const StationResult& r : results) {
    counts.found += r.found ? 1 : 0;
    counts.upgraded += r.found && r.status == kExitDone ? 1 : 0;
  }
  return counts;
}

int FleetStatus(const std::vector<StationResult>& results) {
  for (const StationResult& r : results)
    if (r.status == kExitInterrupted) return kExitInterrupted;
  const FleetCounts counts = CountFleet(results);
  if (counts.found == 0) return kExitNotFound;
  if (counts.upgraded == counts.found) return kExitDone;
  if (counts.upgraded > 0) return kExitPartial;
  for (const StationResult& r : results)
    if (r.found) return r.status;  // every one found failed: the first one's
  return kExitInternal;
}

}  // namespace odu

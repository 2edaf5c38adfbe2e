#include "app/fleet_run.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "app/cli_options.h"
#include "app/run_explained.h"
#include "app/run_log.h"
#include "app/run_progress.h"
#include "app/station_run.h"
#include "app/trace_device.h"

namespace odu {

using namespace odu::platform;

namespace {

// The runs under way, for the interrupt handler.
class RunRegister {
 public:
  void Add(StationRun& run) {
    std::lock_guard lock(mutex_);
    runs_.push_back(&run);
    if (interrupted_) run.Interrupt();
  }
  void Remove(StationRun& run) {
    std::lock_guard lock(mutex_);
    std::erase(runs_, &run);
  }
  void InterruptAll() {
    std::lock_guard lock(mutex_);
    interrupted_ = true;
    for (StationRun* run : runs_) run->Interrupt();
  }

 private:
  std::mutex mutex_;
  std::vector<StationRun*> runs_;
  bool interrupted_ = false;
};

void RunOnePort(const FleetSetup& setup, const std::string& port, RunRegister& runs, StationResult& result) {
  result.port = port;
  RunHost host = setup.host(port);
  Clock& clock = *host.clock;
  SerialOpener* opener = host.opener;
  RunView& view = *setup.view;
  // Every device goes through the tracer: it notes an adapter pulled out,
  // and with --trace reports every frame.
  const Nanos begun = clock.Now();
  SequencePoint point;
  TMainPanel* watched = nullptr;
  TracingOpener tracing(*opener, [&](const std::string&, const std::string& line) {
    if (watched && line.rfind("TX", 0) == 0) point = PointOf(*watched);
    if (setup.log) setup.log->Line(port + " " + line);
    if (!setup.trace) return;
    char stamp[32];
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(clock.Now() - begun).count();
    std::snprintf(stamp, sizeof stamp, "%lld ms ", static_cast<long long>(ms));
    view.Note(port, stamp + line);
  });
  opener = &tracing;

  StationRun run(clock, *opener);
  TMainPanel& panel = run.panel();
  watched = &panel;
  if (setup.image_lines) panel.ProgSrc->Items = *setup.image_lines;
  panel.ListPorts = [port](std::vector<std::string>& l) { l.push_back(port); };
  std::string finding;
  panel.OnScanReport = [&](const std::string& name, const std::string& found) {
    finding = found;
    result.found = found.rfind("station answered", 0) == 0;
    view.Finding(name, found);
  };
  RunProgress* progress_of = nullptr;
  RunProgress progress(panel, clock, [&](bool stage) { view.Changed(port, progress_of->Figures(), stage); });
  progress_of = &progress;
  // While a station keeps the tool waiting its line still moves on: the time
  // left counts, the wait shows.
  TTimer tick(nullptr);
  tick.SetInterval(1000);
  tick.OnTimer = [&](TTimer&) { view.Changed(port, progress.Figures(), false); };
  tick.SetEnabled(true);
  run.on_box = [&](const HeadlessToolkit::Box& box) {
    view.Box(port, box.caption, box.text);
    if (box.caption == "Upgrade error.")
      view.Note(port, ExplainUpgradeError(panel, box.text, point, tracing.gone()));
  };
  std::string interrupted_line;
  run.on_interrupt = [&](const std::string& line) {
    interrupted_line = line;
    view.Note(port, line);
  };

  const Nanos start = clock.Now();
  int status = kExitInternal;
  {
    // Out of the register before the run goes, however it ends.
    runs.Add(run);
    struct Registered {
      RunRegister& runs;
      StationRun& run;
      ~Registered() { runs.Remove(run); }
    } registered{runs, run};
    status = run.Run();
  }
  tick.SetEnabled(false);

  if (status == kExitDone && host.flash_matches && !host.flash_matches(panel.Image)) status = kExitFlashMismatch;
  result.status = status;
  if (!result.found && status != kExitDone && status != kExitNotFound && status != kExitInterrupted)
    result.found = true;  // a failure after the scan, whatever it found
  if (status == kExitDone) result.result = "Done.";
  else if (status == kExitInterrupted) result.result = interrupted_line;
  else if (status == kExitFlashMismatch) result.result = "Simulated flash DIFFERS FROM the image.";
  else if (!result.found) result.result = finding.empty() ? run.failure() : finding;
  else result.result = run.failure().empty() ? "ended without \"Done.\"" : run.failure();
  result.bytes = progress.programmed_bytes();
  result.total_bytes = progress.total_bytes();
  result.seconds = std::chrono::duration<double>(clock.Now() - start).count();
  view.Ended(result);
}

}  // namespace

std::vector<StationResult> RunFleet(const FleetSetup& setup) {
  std::vector<StationResult> results(setup.ports.size());
  RunRegister runs;
  // The handler goes before the register it uses, however this ends.
  struct Handler {
    const FleetSetup& setup;
    explicit Handler(const FleetSetup& s, RunRegister& runs) : setup(s) {
      if (setup.set_interrupt_handler) setup.set_interrupt_handler([&runs] { runs.InterruptAll(); });
    }
    ~Handler() {
      if (setup.set_interrupt_handler) setup.set_interrupt_handler(nullptr);
    }
  } handler(setup, runs);

  std::mutex mutex;
  std::condition_variable cv;
  size_t finished = 0;
  const auto failed = [&](size_t i, const std::string& why) {
    results[i].port = setup.ports[i];
    results[i].status = kExitInternal;
    results[i].found = true;
    results[i].result = "internal error: " + why;
    try {
      setup.view->Ended(results[i]);
    } catch (...) {
    }
  };
  std::vector<std::thread> threads;
  for (size_t i = 0; i < setup.ports.size(); ++i) {
    try {
      threads.emplace_back([&, i] {
        try {
          RunOnePort(setup, setup.ports[i], runs, results[i]);
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

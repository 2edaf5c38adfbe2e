#include "app/run/station_driver.h"

#include <algorithm>
#include <chrono>

#include "app/run/exit_status.h"
#include "app/run/run_explained.h"
#include "app/run/run_progress.h"
#include "app/run/station_run.h"
#include "app/run/trace_device.h"
#include "comm/thread_comm.h"

namespace odu {

using namespace odu::platform;

void RunRegister::Add(StationRun& run) {
  std::lock_guard lock(mutex_);
  runs_.push_back(&run);
  if (interrupted_) run.Interrupt();
}

void RunRegister::Remove(StationRun& run) {
  std::lock_guard lock(mutex_);
  std::erase(runs_, &run);
}

void RunRegister::InterruptAll() {
  std::lock_guard lock(mutex_);
  interrupted_ = true;
  for (StationRun* run : runs_) run->Interrupt();
}

namespace {

// What the scan says of a port without modem-control lines, instead of the
// port component's two boxes about DTR and RTS and "no carrier detect".
constexpr const char* kNoModemLines =
    "no modem-control lines (a three-wire adapter or a pseudo-terminal): the station's carrier cannot be seen";

// Notes which port the scan opened last and whether it has modem-control
// lines.
class ScanOpener final : public SerialOpener {
 public:
  explicit ScanOpener(SerialOpener& inner) : inner_(inner) {}
  using SerialOpener::Open;
  DeviceHandle Open(const std::string& port, OpenRefusal& refusal) override {
    name_ = port;
    DeviceHandle device = inner_.Open(port, refusal);
    lines_ = !device || device->HasModemLines();
    return device;
  }
  // Whether `port`, the one opened last, lacks the lines.
  bool WithoutLines(const std::string& port) const { return !lines_ && port == name_; }
  bool WithoutLines() const { return !lines_; }

 private:
  SerialOpener& inner_;
  std::string name_;
  bool lines_ = true;
};

// In the register while it runs, however it ends.
struct Registered {
  RunRegister* runs;
  StationRun& run;
  Registered(RunRegister* r, StationRun& s) : runs(r), run(s) {
    if (runs) runs->Add(run);
  }
  ~Registered() {
    if (runs) runs->Remove(run);
  }
};

int VerdictStatus(bool answered, const std::string& verdict, bool interrupted) {
  if (interrupted) return kExitInterrupted;
  if (!answered) return kExitNotFound;
  return verdict == "OK" ? kExitDone : kExitRefused;
}

}  // namespace

RunOutcome RunStation(const RunSetup& setup, RunView& view) {
  Clock& clock = *setup.host.clock;
  const Nanos begun = clock.Now();
  RunOutcome outcome;
  StationResult& result = outcome.result;
  std::string station;  // the port the station answered on
  const auto port = [&]() -> const std::string& { return station.empty() ? setup.port : station; };

  // Every device goes through the tracer: it notes an adapter pulled out
  // and where the sequence was at each write, and reports every frame.
  SequencePoint point;
  TMainPanel* watched = nullptr;
  TracingOpener tracing(*setup.host.opener, [&](const std::string& name, Traffic traffic, const std::string& line) {
    if (watched && traffic == Traffic::kSent) point = PointOf(*watched);
    if (!setup.trace) return;
    view.Trace(name, std::chrono::duration_cast<std::chrono::milliseconds>(clock.Now() - begun).count(), line);
  });
  ScanOpener scan_opener(tracing);
  std::string finding;           // the last port's
  std::string interrupted_line;  // what an interrupt left the unit in

  StationRun run(clock, scan_opener);
  TMainPanel& panel = run.panel();
  watched = &panel;
  if (setup.image_lines) panel.ProgSrc->Items = *setup.image_lines;
  panel.ListPorts = setup.list_ports;
  panel.OnScanReport = [&](const ScanFinding& reported) {
    ScanFinding found = reported;
    if (found.kind == ScanFinding::Kind::kNoCarrier && scan_opener.WithoutLines(found.port)) {
      found.kind = ScanFinding::Kind::kNoModemLines;
      found.text = kNoModemLines;
    }
    ++outcome.ports_tried;
    finding = found.text;
    if (found.kind == ScanFinding::Kind::kAnswered) {
      result.found = true;
      station = found.port;
    }
    view.Finding(found);
  };
  // While a station keeps the tool waiting its line still moves on: the time
  // left counts, the wait shows. The tick stops when the run has nothing
  // to wait for (it has ended, or stalled) and starts again when it moves.
  TTimer tick(nullptr);
  tick.SetInterval(1000);
  RunProgress* progress_of = nullptr;
  RunProgress progress(panel, clock, [&](bool stage) {
    view.Changed(port(), progress_of->Figures(), stage ? Change::kStage : Change::kBar);
    tick.SetEnabled(true);
  });
  progress_of = &progress;
  tick.OnTimer = [&](TTimer&) {
    if (!panel.Delay->Enabled()) tick.SetEnabled(false);
    else view.Changed(port(), progress.Figures(), Change::kTick);
  };
  run.on_box = [&](const RunBox& box) {
    // A port without modem lines cannot set DTR and RTS: its finding says
    // so once, instead of a box for each.
    if (box.caption == Caption::kSerialPort && box.text.starts_with(kEscapeCommFailure) && scan_opener.WithoutLines() &&
        panel.Step == 0) {
      view.Aside(port(), box.Line());
      return;
    }
    view.Box(port(), box);
    if (box.caption == Caption::kUpgrade)
      view.Note(port(), ExplainUpgradeError(panel, box.text, point, tracing.gone()));
  };
  run.on_interrupt = [&](const std::string& line) {
    interrupted_line = line;
    view.Note(port(), line);
  };

  if (setup.handshake_only) {
    const Registered registered(setup.runs, run);
    const bool answered = run.Handshake(outcome.verdict);
    if (!answered) outcome.verdict.clear();
    result.port = port();
    result.status = VerdictStatus(answered, outcome.verdict, run.interrupted());
    return outcome;
  }

  const Nanos start = clock.Now();
  int status = kExitInternal;
  {
    const Registered registered(setup.runs, run);
    tick.SetEnabled(true);
    status = run.Run();
    tick.SetEnabled(false);
  }

  if (status == kExitDone && setup.host.flash_matches) {
    const bool match = setup.host.flash_matches(panel.Image);
    result.flash_check = std::string("Simulated flash ") + (match ? "matches" : "DIFFERS FROM") + " the image.";
    if (!match) status = kExitFlashMismatch;
  }
  result.port = port();
  result.status = status;
  if (!result.found && status != kExitDone && status != kExitNotFound && status != kExitInterrupted)
    result.found = true;  // a failure after the scan, whatever it found
  if (status == kExitDone) result.result = StageText(Stage::kDone);
  else if (status == kExitInterrupted) result.result = interrupted_line;
  else if (status == kExitFlashMismatch) result.result = result.flash_check;
  else if (!result.found) result.result = outcome.ports_tried == 1 && !finding.empty() ? finding : run.failure();
  else result.result = run.failure().empty() ? "ended without \"Done.\"" : run.failure();
  result.bytes = progress.programmed_bytes();
  result.total_bytes = progress.total_bytes();
  result.seconds = std::chrono::duration<double>(clock.Now() - start).count();
  view.Ended(result);
  return outcome;
}

}  // namespace odu

#include "app/cli/single_run.h"

#include <memory>
#include <optional>

#include "app/cli/cli_progress.h"
#include "app/cli/image_summary.h"
#include "app/cli/json_lines.h"
#include "app/cli/latency_advice.h"
#include "app/cli/trace_text.h"
#include "app/run/exit_status.h"
#include "comm/port_listing.h"
#include "platform/clock.h"

namespace odu {

using namespace odu::platform;

namespace {

// The findings of a scan that found no station, after "Station ORVELA not
// found." when --verbose did not show them as they came: each port's, or
// with more than a few ports (and no --port), their count.
void ReportNotFound(std::FILE* err, const std::vector<ScanFinding>& findings, bool named) {
  constexpr size_t kFew = 4;
  if (findings.empty()) {
    std::fputs("no serial ports to try (run with --list-ports to see why)\n", err);
  } else if (named || findings.size() <= kFew) {
    for (const ScanFinding& f : findings) std::fprintf(err, "%s: %s\n", f.port.c_str(), f.text.c_str());
  } else {
    std::fprintf(err, "%zu ports tried, none with a station: run with --verbose for each port\n", findings.size());
  }
}

// What one run shows: its progress on the terminal (or plain lines), or
// JSON lines with --json; boxes and notes on the error stream either way.
class SingleRunView final : public RunView {
 public:
  SingleRunView(const CliOptions& o, const CliEnvironment& env, Clock& clock) : o_(o), env_(env) {
    if (o.json) json_ = std::make_unique<JsonLines>(env.out);
    else progress_ = std::make_unique<ProgressReporter>(env.out, env.out_is_terminal, clock, env.terminal_columns);
  }

  JsonLines* json() { return json_.get(); }
  const std::vector<ScanFinding>& findings() const { return findings_; }

  // Ends the progress line, before a line of another kind.
  void Break() {
    if (progress_) progress_->Break();
  }
  // A line for the user on the error stream.
  void Say(const std::string& line) {
    Break();
    std::fprintf(env_.err, "%s\n", line.c_str());
    std::fflush(env_.err);
  }

  void Finding(const ScanFinding& finding) override {
    findings_.push_back(finding);
    if (json_) json_->Finding(finding);
    if (!o_.verbose) return;
    Break();
    std::fprintf(env_.err, "%s: %s\n", finding.port.c_str(), finding.text.c_str());
  }
  void Changed(const std::string& port, const ProgressFigures& figures, Change change) override {
    if (progress_) progress_->Changed(figures, change);
    if (json_) json_->Changed(port, figures, change);
  }
  void Box(const std::string& port, const RunBox& box) override {
    Say(box.Line());
    if (json_) json_->Box(port, box);
    if (box.caption == Caption::kHardware && !o_.verbose && !json_) ReportNotFound(env_.err, findings_, !o_.ports.empty());
  }
  void Note(const std::string& port, const std::string& line) override {
    Say(line);
    if (json_) json_->Note(port, line);
  }
  void Trace(const std::string& port, long long ms, const std::string& line) override {
    if (!o_.trace) return;
    if (env_.out_is_terminal && env_.err_is_terminal) Break();
    std::fprintf(env_.err, "%s\n", TraceText(port, ms, line).c_str());
    std::fflush(env_.err);
  }
  void Ended(const StationResult& result) override {
    Break();
    if (json_) json_->Ended(result);
    else if (!result.flash_check.empty()) std::fprintf(env_.out, "%s\n", result.flash_check.c_str());
  }

 private:
  const CliOptions& o_;
  const CliEnvironment& env_;
  std::unique_ptr<JsonLines> json_;
  std::unique_ptr<ProgressReporter> progress_;
  std::vector<ScanFinding> findings_;
};

// The ports the scan tries: the simulated station's, those of --port, or
// the machine's.
std::function<void(std::vector<std::string>&)> ScanList(const CliOptions& o, const CliEnvironment& env,
                                                        const std::string& simulated, SingleRunView& view) {
  std::function<void(std::vector<std::string>&)> list;
  if (o.simulate) {
    list = [simulated](std::vector<std::string>& l) { l.push_back(simulated); };
  } else if (!o.ports.empty()) {
    list = [ports = o.ports](std::vector<std::string>& l) { l.insert(l.end(), ports.begin(), ports.end()); };
  } else {
    list = [&o, &env, &view](std::vector<std::string>& l) {
      const PortListing listing = MachinePorts(env);
      if (o.verbose) {
        view.Break();
        ReportLeftOut(env.err, listing);
      }
      for (const SerialPortInfo& port : listing.ports) l.push_back(port.name);
    };
  }
  if (!o.verbose) return list;
  return [&o, &env, &view, list](std::vector<std::string>& names) {
    list(names);
    if (!names.empty()) return;
    view.Break();
    std::fprintf(env.err, "no serial ports to try%s\n", o.ports.empty() ? " (none found on this machine)" : "");
  };
}

}  // namespace

int RunSingle(const CliOptions& o, const CliEnvironment& env, const std::vector<std::string>* image_lines) {
  Clock& clock = env.clock ? *env.clock : RealTime();
  bool log_failed = false;
  const std::unique_ptr<RunLog> log = OpenLog(o, env, clock, "", log_failed);
  if (log_failed) return kExitUsage;

  RunSetup setup;
  setup.host.clock = &clock;
  setup.host.opener = env.opener ? env.opener : &SystemSerialOpener();
  std::string simulated_port;
  if (o.simulate) {
    if (!env.simulator) {
      std::fputs("odu-upgrade: --simulate: this program has no simulated station\n", env.err);
      return kExitUsage;
    }
    Simulator simulator = env.simulator(clock);
    setup.host = std::move(simulator.host);
    simulated_port = simulator.port;
  }
  setup.port = o.simulate ? simulated_port : o.ports.size() == 1 ? o.ports[0] : "";
  setup.image_lines = image_lines;
  setup.trace = o.trace || log;
  setup.handshake_only = o.handshake_only;

  SingleRunView shown(o, env, clock);
  std::unique_ptr<LoggedView> logged;
  if (log) logged = std::make_unique<LoggedView>(shown, *log, o.trace);
  RunView& shown_or_logged = logged ? static_cast<RunView&>(*logged) : shown;
  // A real port's adapter may hold every reply back; a simulated one does not.
  std::optional<LatencyAdviceView> advised;
  if (!o.simulate)
    advised.emplace(shown_or_logged, env.latency_timer ? env.latency_timer : PortLatencyTimer, LatencyTimerRemedy,
                    SummarizeImage(image_lines));
  RunView& view = advised ? static_cast<RunView&>(*advised) : shown_or_logged;
  setup.list_ports = ScanList(o, env, simulated_port, shown);

  RunRegister runs;
  setup.runs = &runs;
  // An interrupt stops the run; once it is over, it ends the program.
  const RunOutcome outcome = [&] {
    const InterruptRoute route(env, runs);
    return RunStation(setup, view);
  }();
  const StationResult& r = outcome.result;
  const auto say = [&](const std::string& line) {
    shown.Say(line);
    if (log) log->Line(line);
  };

  JsonLines* json = shown.json();
  if (o.handshake_only) {
    if (r.status == kExitNotFound) {
      say(std::string(CaptionText(Caption::kHardware)) + " " + kStationNotFound);
      if (!o.verbose) ReportNotFound(env.err, shown.findings(), !o.ports.empty());
    } else if (r.status != kExitInterrupted) {
      const std::string line = "Station on " + r.port + " answered: " + outcome.verdict +
                               (r.status == kExitDone ? " (ready for an upgrade; nothing was erased)" : "");
      if (json) json->Note(r.port, line);
      else std::fprintf(env.out, "%s\n", line.c_str());
      if (log) log->Line(line);
    }
    if (json) json->End(r.status, outcome.ports_tried, r.found ? 1 : 0, 0);
    return r.status;
  }
  if (log) log->Line("exit status " + std::to_string(r.status));
  if (json) json->End(r.status, outcome.ports_tried, r.found ? 1 : 0, r.status == kExitDone ? 1 : 0);
  return r.status;
}

}  // namespace odu

#include "app/cli.h"

#include <algorithm>
#include <memory>
#include <utility>

#include "app/cli_options.h"
#include "app/cli_progress.h"
#include "app/fleet_view.h"
#include "app/image_summary.h"
#include "protocol/intel_hex.h"
#include "app/json_lines.h"
#include "app/main_panel.h"
#include "app/run_explained.h"
#include "app/run_log.h"
#include "app/run_progress.h"
#include "app/simulated_station.h"
#include "app/station_run.h"
#include "app/trace_device.h"
#include "comm/port_listing.h"
#include "platform/serial/serial_virtual.h"
#include "resources/firmware_image.h"
#include "platform/terminal/terminal.h"

#ifndef ODU_VERSION
#define ODU_VERSION "0.0.0"
#endif

namespace odu {

using namespace odu::platform;

namespace {

// The machine's ports as the environment gives them.
PortListing MachinePorts(const CliEnvironment& env) {
  if (env.port_listing) return env.port_listing();
  if (!env.list_ports) return ListMachinePorts();
  std::vector<std::string> names;
  env.list_ports(names);
  PortListing listing;
  for (std::string& name : names) {
    SerialPortInfo port;
    port.name = std::move(name);
    listing.ports.push_back(std::move(port));
  }
  return listing;
}

// What --list-ports --verbose tells of a port after its name: one indented
// line per detail known, `  key: value`.
void PrintPortDetails(std::FILE* out, const SerialPortInfo& port) {
  const std::pair<const char*, const std::string*> details[] = {
      {"driver", &port.driver},
      {"interface driver", &port.interface_driver},
      {"usb id", &port.usb_id},
      {"manufacturer", &port.manufacturer},
      {"product", &port.product},
      {"serial number", &port.serial_number},
      {"by-id", &port.by_id},
  };
  for (const auto& [key, value] : details) {
    if (!value->empty()) std::fprintf(out, "  %s: %s\n", key, value->c_str());
  }
}

// The ttys the listing left out, one a line: `NAME: left out: REASON`.
void ReportLeftOut(std::FILE* err, const PortListing& listing) {
  for (const LeftOutPort& tty : listing.left_out) {
    std::fprintf(err, "%s: left out: %s\n", tty.name.c_str(), DescribeLeftOut(tty.reason));
  }
}

std::function<void(std::function<void()>)> InterruptSlot(const CliEnvironment& env) {
  if (env.set_interrupt_handler) return env.set_interrupt_handler;
  return SetInterruptHandler;
}

// Removes the interrupt handler when the run is over.
struct ClearInterruptHandler {
  const std::function<void(std::function<void()>)>& set;
  ~ClearInterruptHandler() { set(nullptr); }
};

// The findings of a scan that found no station, after "Station ORVELA not
// found." when --verbose did not show them as they came: each port's, or
// with more than a few ports (and no --port), their count.
void ReportNotFound(std::FILE* err, const std::vector<std::pair<std::string, std::string>>& findings, bool named) {
  constexpr size_t kFew = 4;
  if (findings.empty()) {
    std::fputs("no serial ports to try (run with --list-ports to see why)\n", err);
  } else if (named || findings.size() <= kFew) {
    for (const auto& [port, finding] : findings) std::fprintf(err, "%s: %s\n", port.c_str(), finding.c_str());
  } else {
    std::fprintf(err, "%zu ports tried, none with a station: run with --verbose for each port\n", findings.size());
  }
}

// What the scan says of a port without modem-control lines, instead of the
// port component's two boxes about DTR and RTS and "no carrier detect".
constexpr const char* kNoModemLines =
    "no modem-control lines (a three-wire adapter or a pseudo-terminal): the station's carrier cannot be seen";

// One run: the scan tries the ports in turn and upgrades the first station
// that answers, as pressing Start does.
int RunSingle(const CliOptions& o, const CliEnvironment& env, const std::vector<std::string>* image_lines) {
  Clock& clock = env.clock ? *env.clock : RealTime();
  std::unique_ptr<RunLog> log;
  if (o.log) {
    log = std::make_unique<RunLog>(*o.log, clock);
    if (!log->ok()) {
      std::fprintf(env.err, "odu-upgrade: --log %s: %s\n", o.log->c_str(), log->error().c_str());
      return kExitUsage;
    }
    log->Line("odu-upgrade " ODU_VERSION " started");
  }
  const Nanos start = clock.Now();
  const auto millis = [&] { return std::chrono::duration_cast<std::chrono::milliseconds>(clock.Now() - start).count(); };

  // Where port names lead. These outlive the window, whose port uses them.
  SerialOpener* opener = env.opener ? env.opener : &SystemSerialOpener();
  std::unique_ptr<SimulatedStation> simulated;
  if (o.simulate) {
    simulated = std::make_unique<SimulatedStation>(clock, env.simulated_baud, env.simulated_station);
    opener = &simulated->opener();
  }
  ProgressReporter* progress_line = nullptr;  // the window's progress, once it exists
  const bool shared_screen = env.out_is_terminal && env.err_is_terminal;
  TMainPanel* panel = nullptr;
  SequencePoint point;           // where the sequence last sent a command
  std::string scanning;          // the port opened last
  bool scanning_has_lines = true;
  // Every device goes through the tracer: it notes an adapter pulled out,
  // and with --trace or --log reports every frame.
  TracingOpener tracing(*opener, [&](const std::string& port, const std::string& line) {
    if (panel && line.rfind("TX", 0) == 0) point = PointOf(*panel);
    if (!o.trace && !log) return;
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%8lld ms ", static_cast<long long>(millis()));
    if (log) log->Line(port + " " + line);
    if (!o.trace) return;
    if (progress_line && shared_screen) progress_line->Break();
    std::fprintf(env.err, "%s%s %s\n", stamp, port.c_str(), line.c_str());
  });
  // Which port is being tried, and whether it has modem-control lines.
  struct ScanOpener final : SerialOpener {
    SerialOpener& inner;
    std::string& name;
    bool& lines;
    ScanOpener(SerialOpener& i, std::string& n, bool& l) : inner(i), name(n), lines(l) {}
    DeviceHandle Open(const std::string& port) override {
      name = port;
      DeviceHandle device = inner.Open(port);
      lines = !device || device->HasModemLines();
      return device;
    }
  } scan_opener(tracing, scanning, scanning_has_lines);

  StationRun run(clock, scan_opener);
  panel = &run.panel();
  MainPanel = panel;
  struct ClearMain {
    ~ClearMain() { MainPanel = nullptr; }
  } clear_main;

  if (image_lines) panel->ProgSrc->Items = *image_lines;
  std::function<void(const PortListing&)> on_machine_ports;  // set by --verbose
  if (o.simulate) {
    panel->ListPorts = [](std::vector<std::string>& l) { l.push_back(SimulatedStation::kPortName); };
  } else if (!o.ports.empty()) {
    panel->ListPorts = [ports = o.ports](std::vector<std::string>& l) { l.insert(l.end(), ports.begin(), ports.end()); };
  } else {
    panel->ListPorts = [&env, &on_machine_ports](std::vector<std::string>& l) {
      const PortListing listing = MachinePorts(env);
      if (on_machine_ports) on_machine_ports(listing);
      for (const SerialPortInfo& port : listing.ports) l.push_back(port.name);
    };
  }

  // The run's progress goes to the terminal or, with --json, to standard
  // output as JSON lines; and to the log.
  std::unique_ptr<JsonLines> json;
  std::unique_ptr<ProgressReporter> progress;
  std::string station_port;
  bool found = false;
  std::vector<std::pair<std::string, std::string>> findings;
  if (o.json) json = std::make_unique<JsonLines>(env.out);
  int logged_decile = 0;
  RunProgress* watched = nullptr;
  RunProgress watch(*panel, clock, [&](bool stage) {
    if (progress) progress->Changed(stage);
    const ProgressFigures f = watched->Figures();
    if (json) json->Changed(station_port, f, stage);
    if (!log) return;
    if (stage && !f.stage.empty()) log->Line("stage: " + f.stage);
    if (!stage && f.counting && f.done_bytes * 10 / std::max(1, f.total_bytes) > logged_decile) {
      logged_decile = f.done_bytes * 10 / std::max(1, f.total_bytes);
      log->Line("progress: " + std::to_string(f.done_bytes) + " of " + std::to_string(f.total_bytes) + " bytes");
    }
  });
  watched = &watch;
  if (!json) {
    progress = std::make_unique<ProgressReporter>(watch, env.out, env.out_is_terminal, clock, env.terminal_columns);
    progress_line = progress.get();
  }
  // The tracer may still report while the run is torn down (a port left
  // open), after the progress display has gone.
  struct ForgetLine {
    ProgressReporter*& line;
    ~ForgetLine() { line = nullptr; }
  } forget_line{progress_line};
  const auto break_line = [&] {
    if (progress) progress->Break();
  };
  const auto say = [&](const std::string& line) {  // a line for the user on the error stream
    break_line();
    std::fprintf(env.err, "%s\n", line.c_str());
    std::fflush(env.err);
    if (log) log->Line(line);
  };
  panel->OnScanReport = [&](const std::string& port, const std::string& reported) {
    std::string what = reported;
    if (!scanning_has_lines && port == scanning && what.rfind("no carrier detect", 0) == 0) what = kNoModemLines;
    findings.emplace_back(port, what);
    if (what.rfind("station answered", 0) == 0) {
      found = true;
      station_port = port;
    }
    if (json) json->Finding(port, what);
    if (log) log->Line(port + ": " + what);
    if (!o.verbose) return;
    break_line();
    std::fprintf(env.err, "%s: %s\n", port.c_str(), what.c_str());
  };
  if (o.verbose) {
    on_machine_ports = [&](const PortListing& listing) {
      break_line();
      ReportLeftOut(env.err, listing);
    };
    panel->ListPorts = [&, list = panel->ListPorts](std::vector<std::string>& names) {
      list(names);
      if (names.empty()) {
        break_line();
        std::fprintf(env.err, "no serial ports to try%s\n", o.ports.empty() ? " (none found on this machine)" : "");
      }
    };
  }

  // Message boxes go to the error stream and are closed at once.
  run.on_box = [&](const HeadlessToolkit::Box& box) {
    // A port without modem lines cannot set DTR and RTS: its finding says
    // so once, instead of a box for each.
    if (box.caption == "Serial Port Error." && !scanning_has_lines && panel->Step == 0 &&
        box.text.rfind("EscapeCommFunction failure.", 0) == 0) {
      if (log) log->Line(box.caption + " " + box.text);
      return;
    }
    say(box.caption + " " + box.text);
    if (json) json->Box(station_port, box.caption, box.text);
    if (box.caption == "Hardware error." && !o.verbose && !json) {
      ReportNotFound(env.err, findings, !o.ports.empty());
    } else if (box.caption == "Upgrade error.") {
      const std::string why = ExplainUpgradeError(*panel, box.text, point, tracing.gone());
      say(why);
      if (json) json->Note(station_port, why);
    }
  };
  std::string interrupted_line;
  run.on_interrupt = [&](const std::string& line) {
    interrupted_line = line;
    say(line);
    if (json) json->Note(station_port, line);
  };

  const auto set_interrupt_handler = InterruptSlot(env);
  set_interrupt_handler([&run] { run.Interrupt(); });
  ClearInterruptHandler clear_interrupt_handler{set_interrupt_handler};

  int status = kExitDone;
  if (o.handshake_only) {
    std::string verdict;
    if (!run.Handshake(verdict)) {
      if (run.interrupted()) {
        status = kExitInterrupted;
      } else {
        say("Hardware error. Station ORVELA not found.");
        if (!o.verbose) ReportNotFound(env.err, findings, !o.ports.empty());
        status = kExitNotFound;
      }
    } else {
      const std::string line = "Station on " + station_port + " answered: " + verdict +
                               (verdict == "OK" ? " (ready for an upgrade; nothing was erased)" : "");
      if (json) json->Note(station_port, line);
      else std::fprintf(env.out, "%s\n", line.c_str());
      if (log) log->Line(line);
      status = verdict == "OK" ? kExitDone : kExitRefused;
    }
    if (json) json->End(status, static_cast<int>(findings.size()), found ? 1 : 0, 0);
    return status;
  }

  status = run.Run();
  break_line();

  std::string flash_line;
  if (status == kExitDone && simulated) {
    const bool match = simulated->FlashMatches(panel->Image);
    flash_line = std::string("Simulated flash ") + (match ? "matches" : "DIFFERS FROM") + " the image.";
    if (!json) std::fprintf(env.out, "%s\n", flash_line.c_str());
    if (log) log->Line(flash_line);
    if (!match) status = kExitFlashMismatch;
  }
  if (log) log->Line("exit status " + std::to_string(status));
  if (json) {
    StationResult r;
    r.port = station_port;
    r.status = status;
    r.found = found;
    r.result = status == kExitDone ? "Done."
               : status == kExitInterrupted ? interrupted_line
               : status == kExitFlashMismatch ? flash_line
               : run.failure();
    r.bytes = watch.programmed_bytes();
    r.total_bytes = watch.total_bytes();
    r.seconds = std::chrono::duration<double>(clock.Now() - start).count();
    json->Ended(r);
    json->End(status, static_cast<int>(findings.size()), found ? 1 : 0, status == kExitDone ? 1 : 0);
  }
  return status;
}

// --all: every port's upgrade at once.
int RunAll(const CliOptions& o, const CliEnvironment& env, const std::vector<std::string>* image_lines) {
  // A port given twice is tried once.
  std::vector<std::string> ports;
  for (const std::string& port : o.ports) {
    if (std::find(ports.begin(), ports.end(), port) == ports.end()) ports.push_back(port);
    else std::fprintf(env.err, "%s: given twice, tried once\n", port.c_str());
  }
  if (ports.empty()) {
    const PortListing listing = MachinePorts(env);
    if (o.verbose) ReportLeftOut(env.err, listing);
    for (const SerialPortInfo& port : listing.ports) ports.push_back(port.name);
  }
  std::unique_ptr<JsonLines> json;
  if (o.json) json = std::make_unique<JsonLines>(env.out);
  if (ports.empty()) {
    std::fprintf(env.err, "no serial ports to try (none found on this machine)\n");
    if (json) json->End(kExitNotFound, 0, 0, 0);
    return kExitNotFound;
  }

  FleetSetup setup;
  setup.ports = ports;
  setup.image_lines = image_lines;
  setup.trace = o.trace;
  setup.set_interrupt_handler = InterruptSlot(env);
  if (env.run_host) {
    setup.host = env.run_host;
  } else {
    Clock* clock = env.clock ? env.clock : &RealTime();
    SerialOpener* opener = env.opener ? env.opener : &SystemSerialOpener();
    setup.host = [clock, opener](const std::string&) {
      RunHost host;
      host.clock = clock;
      host.opener = opener;
      return host;
    };
  }
  std::unique_ptr<FleetScreen> screen;
  std::unique_ptr<FleetLines> lines;
  RunView* shown = nullptr;
  if (json) {
    shown = json.get();
  } else if (env.out_is_terminal) {
    screen = std::make_unique<FleetScreen>(env.out, ports, env.terminal_columns, o.verbose);
    shown = screen.get();
  } else {
    lines = std::make_unique<FleetLines>(env.out, env.err, o.verbose);
    shown = lines.get();
  }
  // The runs only queue what is shown; this thread writes it.
  DeferredView deferred(*shown);
  setup.view = &deferred;
  setup.tick = [&] {
    deferred.Drain();
    if (screen) screen->Redraw();
  };

  std::unique_ptr<RunLog> log;
  std::unique_ptr<LoggedView> logged;
  if (o.log) {
    Clock& clock = env.clock ? *env.clock : RealTime();
    log = std::make_unique<RunLog>(*o.log, clock);
    if (!log->ok()) {
      std::fprintf(env.err, "odu-upgrade: --log %s: %s\n", o.log->c_str(), log->error().c_str());
      return kExitUsage;
    }
    log->Line("odu-upgrade " ODU_VERSION " started, " + std::to_string(ports.size()) + " ports at once");
    logged = std::make_unique<LoggedView>(*setup.view, *log);
    setup.view = logged.get();
    setup.log = log.get();
  }

  const std::vector<StationResult> results = RunFleet(setup);
  deferred.Drain();
  if (screen) screen->Close();
  const int status = FleetStatus(results);
  if (log) log->Line("exit status " + std::to_string(status));
  if (json) {
    const FleetCounts counts = CountFleet(results);
    json->End(status, counts.ports, counts.found, counts.upgraded);
  } else {
    PrintFleetSummary(env.out, results);
  }
  return status;
}

}  // namespace

int RunCli(const std::vector<std::string>& args, const CliEnvironment& env) {
  std::string error;
  const std::optional<CliOptions> parsed = ParseCli(args, error);
  if (!parsed) {
    std::fprintf(env.err, "odu-upgrade: %s\nTry 'odu-upgrade --help'.\n", error.c_str());
    return kExitUsage;
  }
  const CliOptions& o = *parsed;
  if (o.help) {
    std::fputs(CliUsage().c_str(), env.out);
    return kExitDone;
  }
  if (o.version) {
    std::fprintf(env.out, "odu-upgrade %s\n", ODU_VERSION);
    return kExitDone;
  }
  if (o.list_ports) {
    const PortListing listing = MachinePorts(env);
    for (const SerialPortInfo& port : listing.ports) {
      std::fprintf(env.out, "%s\n", port.name.c_str());
      if (o.verbose) PrintPortDetails(env.out, port);
    }
    ReportLeftOut(env.err, listing);
    return kExitDone;
  }

  // The image is checked whole before any port is opened.
  std::vector<std::string> image_lines;
  if (o.image) {
    const HexCheck check = CheckHexFile(*o.image);
    if (!check.ok) {
      std::fprintf(env.err, "odu-upgrade: %s: %s\n", o.image->c_str(), check.reason.c_str());
      if (o.json) JsonLines(env.out).Error(kExitBadImage, *o.image + ": " + check.reason);
      return kExitBadImage;
    }
    image_lines = check.lines;
  }
  const std::vector<std::string>* image = o.image ? &image_lines : nullptr;
  if (o.check_image) {
    if (!o.image)
      for (std::string_view line : EmbeddedFirmwareLines()) image_lines.emplace_back(line);
    std::fputs(FormatImageSummary(SummarizeImage(image_lines)).c_str(), env.out);
    return kExitDone;
  }
  return o.all ? RunAll(o, env, image) : RunSingle(o, env, image);
}

}  // namespace odu

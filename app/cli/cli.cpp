#include "app/cli/cli.h"

#include <algorithm>
#include <memory>
#include <utility>

#include "app/cli/fleet_run.h"
#include "app/cli/fleet_view.h"
#include "app/cli/image_summary.h"
#include "app/cli/json_lines.h"
#include "app/cli/single_run.h"
#include "comm/port_listing.h"
#include "protocol/intel_hex.h"
#include "resources/version.h"

namespace odu {

using namespace odu::platform;

namespace {

// What --list-ports --verbose tells of a port after its name: one indented
// line per detail known, `  key: value`.
void PrintPortDetails(std::FILE* out, const SerialPortInfo& port) {
  const std::pair<const char*, const std::string*> details[] = {
      {"description", &port.description},
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
  if (port.latency_timer_ms != 0) std::fprintf(out, "  latency timer: %u ms\n", port.latency_timer_ms);
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
  if (o.json) json = std::make_unique<JsonLines>(env.out, o.trace);
  if (ports.empty()) {
    std::fprintf(env.err, "no serial ports to try (none found on this machine)\n");
    if (json) json->End(kExitNotFound, 0, 0, 0);
    return kExitNotFound;
  }

  FleetSetup setup;
  setup.ports = ports;
  setup.image_lines = image_lines;
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
    screen = std::make_unique<FleetScreen>(env.out, ports, env.terminal_columns, o.verbose, o.trace);
    shown = screen.get();
  } else {
    lines = std::make_unique<FleetLines>(env.out, env.err, o.verbose, o.trace);
    shown = lines.get();
  }
  // The runs only queue what is shown; this thread writes it.
  DeferredView deferred(*shown);
  setup.view = &deferred;
  setup.tick = [&] {
    deferred.Drain();
    if (screen) screen->Redraw();
  };

  bool log_failed = false;
  const std::unique_ptr<RunLog> log =
      OpenLog(o, env, env.clock ? *env.clock : RealTime(), ", " + std::to_string(ports.size()) + " ports at once",
              log_failed);
  if (log_failed) return kExitUsage;
  std::unique_ptr<LoggedView> logged;
  if (log) {
    logged = std::make_unique<LoggedView>(*setup.view, *log, o.trace);
    setup.view = logged.get();
  }
  setup.trace = o.trace || log;
  RunRegister runs;
  setup.runs = &runs;
  std::vector<StationResult> results;
  {
    // An interrupt stops the runs; once they are over, it ends the program.
    const InterruptRoute route(env, runs);
    results = RunFleet(setup);
  }
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
    std::fprintf(env.out, "odu-upgrade %s\n", VersionText());
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
    std::fputs(FormatImageSummary(SummarizeImage(image)).c_str(), env.out);
    return kExitDone;
  }
  return o.all ? RunAll(o, env, image) : RunSingle(o, env, image);
}

}  // namespace odu

#include "app/cli.h"

#include <memory>
#include <utility>

#include "app/cli_options.h"
#include "app/cli_progress.h"
#include "app/intel_hex.h"
#include "app/main_panel.h"
#include "app/simulated_station.h"
#include "app/trace_device.h"
#include "comm/port_listing.h"
#include "platform/serial/serial_virtual.h"
#include "platform/terminal/terminal.h"
#include "platform/toolkit/toolkit_headless.h"

#ifndef ODU_VERSION
#define ODU_VERSION "0.0.0"
#endif

namespace odu {

using namespace odu::platform;

namespace {

int StatusOfBox(const std::string& caption) {
  if (caption == "Hardware error.") return kExitNotFound;
  if (caption == "Initialize error.") return kExitRefused;
  if (caption == "Upgrade error.") return kExitUpgradeError;
  return kExitDone;  // the port's own reports do not end the run
}

// The user interrupted the run: nothing more goes to the station, the port
// is closed (which puts the line as it was found), and the user is told what
// state the unit is left in.
void InterruptRun(TMainPanel& panel, std::FILE* err) {
  const bool untouched = panel.Step == 0 || (panel.Step == 1 && panel.SendPending && panel.Retries == 0);
  panel.Delay->SetEnabled(false);
  panel.Paket->SetEnabled(false);
  if (panel.Port->Connected()) panel.Port->Close();
  std::fputs(untouched ? "Upgrade interrupted before the erase: the port is closed and the unit's firmware is unchanged.\n"
                       : "Upgrade interrupted: the port is closed and the unit is not upgraded (its firmware may be "
                         "erased or incomplete). Run odu-upgrade again.\n",
             err);
  std::fflush(err);
}

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
      return kExitBadImage;
    }
    image_lines = check.lines;
  }

  Clock& clock = env.clock ? *env.clock : RealTime();

  // Where port names lead. These outlive the window, whose port uses them.
  SerialOpener* opener = env.opener ? env.opener : &SystemSerialOpener();
  std::unique_ptr<SimulatedStation> simulated;
  if (o.simulate) {
    simulated = std::make_unique<SimulatedStation>(clock, env.simulated_baud, env.simulated_station);
    opener = &simulated->opener();
  }
  ProgressReporter* progress_line = nullptr;  // the window's progress, once it exists
  std::unique_ptr<TracingOpener> tracing;
  if (o.trace) {
    tracing = std::make_unique<TracingOpener>(*opener, [&](const std::string& line) {
      if (progress_line && env.err == env.out) progress_line->Break();
      std::fprintf(env.err, "%s\n", line.c_str());
    });
    opener = tracing.get();
  }

  HeadlessToolkit toolkit(clock);
  TApplication app(toolkit);
  app.Initialize();
  app.Title = "TZ_M -> ODU";
  TMainPanel* panel = nullptr;
  app.CreateForm(panel);
  MainPanel = panel;
  struct ClearMain {
    ~ClearMain() { MainPanel = nullptr; }
  } clear_main;

  if (o.image) panel->ProgSrc->Items = image_lines;
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
  panel->Port->SetOpener(opener);

  ProgressReporter progress(*panel, env.out, env.out_is_terminal, clock);
  progress_line = &progress;
  if (o.verbose) {
    on_machine_ports = [&](const PortListing& listing) {
      progress.Break();
      ReportLeftOut(env.err, listing);
    };
    panel->OnScanReport = [&](const std::string& port, const std::string& finding) {
      progress.Break();
      std::fprintf(env.err, "%s: %s\n", port.c_str(), finding.c_str());
    };
    panel->ListPorts = [&, list = panel->ListPorts](std::vector<std::string>& names) {
      list(names);
      if (names.empty()) {
        progress.Break();
        std::fprintf(env.err, "no serial ports to try%s\n", o.ports.empty() ? " (none found on this machine)" : "");
      }
    };
  }

  // Message boxes go to the error stream and are closed at once.
  int status = kExitDone;
  toolkit.on_box = [&](const HeadlessToolkit::Box& box) {
    progress.Break();
    std::fprintf(env.err, "%s %s\n", box.caption.c_str(), box.text.c_str());
    std::fflush(env.err);
    if (const int s = StatusOfBox(box.caption); s != kExitDone) status = s;
  };

  // An interrupt is taken on the window's thread, between two handlers.
  const auto run_ended = [&] { return panel->Button1->Enabled() && panel->Step == 0; };
  bool interrupted = false;
  std::function<void(std::function<void()>)> set_interrupt_handler = SetInterruptHandler;
  if (env.set_interrupt_handler) set_interrupt_handler = env.set_interrupt_handler;
  set_interrupt_handler([&] {
    toolkit.Post([&] {
      if (interrupted || run_ended()) return;
      interrupted = true;
      progress.Break();
      InterruptRun(*panel, env.err);
      status = kExitInterrupted;
    });
  });
  struct ClearInterruptHandler {
    const std::function<void(std::function<void()>)>& set;
    ~ClearInterruptHandler() { set(nullptr); }
  } clear_interrupt_handler{set_interrupt_handler};

  panel->Button1->Click();
  toolkit.RunUntil([&] { return interrupted || run_ended(); });
  progress.Break();
  if (interrupted) return status;

  if (status == kExitDone && panel->StaticText1->Caption() != "Done.") status = kExitInternal;
  if (status == kExitDone && simulated) {
    const bool match = simulated->FlashMatches(panel->Image);
    std::fprintf(env.out, "Simulated flash %s the image.\n", match ? "matches" : "DIFFERS FROM");
    if (!match) status = kExitFlashMismatch;
  }
  return status;
}

}  // namespace odu

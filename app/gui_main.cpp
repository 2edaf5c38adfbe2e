// odu-upgrade-gui: the upgrade window on the build's window toolkit (Qt on
// Linux, Win32 on Windows). With --simulate the window upgrades the built-in
// simulated station (a virtual port at 19,200 baud) instead of the machine's
// serial ports, so a whole run can be watched. With --port NAME (repeatable)
// the scan tries only those ports, in that order; the names are those of the
// command line, network ports (rfc2217://HOST:PORT, socket://HOST:PORT) too.
// Where no window can be shown (no display), it says so and ends with
// kNoDisplay. --version and --help print and end without a window.
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "app/main_panel.h"
#include "platform/toolkit/window_toolkit.h"
#include "resources/version.h"
#include "sim/simulated_station.h"

namespace {
constexpr int kNoDisplay = 1;

constexpr char kUsage[] =
    "Usage: odu-upgrade-gui [options]\n"
    "\n"
    "The upgrade window: press Start to find the station on the serial ports and\n"
    "upgrade its firmware.\n"
    "\n"
    "Options:\n"
    "  --port NAME   try only this port (repeatable, in the order given); network\n"
    "                names too: rfc2217://HOST:PORT, socket://HOST:PORT\n"
    "  --simulate    upgrade the built-in simulated station instead\n"
    "  --version     print the version and end\n"
    "  --help        print this and end\n";
}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const bool version = std::strcmp(argv[i], "--version") == 0;
    if (!version && std::strcmp(argv[i], "--help") != 0) continue;
    odu::platform::UseParentConsole();
    if (version) std::printf("odu-upgrade-gui %s\n", odu::VersionText());
    else std::fputs(kUsage, stdout);
    return 0;
  }
  if (const std::string why = odu::platform::WindowToolkitUnavailable(); !why.empty()) {
    std::fprintf(stderr, "odu-upgrade-gui: cannot open the window: %s\n", why.c_str());
    return kNoDisplay;
  }
  const std::unique_ptr<odu::platform::Toolkit> owned = odu::platform::CreateWindowToolkit(argc, argv, kNoDisplay);
  odu::platform::Toolkit& toolkit = *owned;
  bool simulate = false;
  std::vector<std::string> ports;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--simulate") == 0) simulate = true;
    if (std::strcmp(argv[i], "--port") == 0 && i + 1 < argc) ports.emplace_back(argv[++i]);
  }
  std::unique_ptr<odu::sim::SimulatedStation> simulated;
  if (simulate) simulated = std::make_unique<odu::sim::SimulatedStation>(toolkit.clock(), 19200);

  odu::platform::TApplication app(toolkit);
  try {
    app.Initialize();
    app.Title = "TZ_M -> ODU";
    app.CreateForm(odu::MainPanel);
    if (simulated) {
      odu::MainPanel->Port->SetOpener(&simulated->opener());
      odu::MainPanel->ListPorts = [](std::vector<std::string>& l) { l.push_back(odu::sim::SimulatedStation::kPortName); };
    } else if (!ports.empty()) {
      odu::MainPanel->ListPorts = [ports](std::vector<std::string>& l) { l.insert(l.end(), ports.begin(), ports.end()); };
    }
    app.Run();
  } catch (const odu::platform::ToolkitError& e) {
    // Only the toolkit's own kind; anything else ends the program as usual.
    app.ShowException(e);
  }
  return 0;
}

// odu-upgrade-gui: the upgrade window on the build's window toolkit (Qt on
// Linux, Win32 on Windows). With --simulate the window upgrades the built-in
// simulated station (a virtual port at 19,200 baud) instead of the machine's
// serial ports, so a whole run can be watched. With --port NAME (repeatable)
// the scan tries only those ports, in that order; the names are those of the
// command line, network ports (rfc2217://HOST:PORT, socket://HOST:PORT) too.
// Where no window can be shown (no display), it says so and ends with
// kNoDisplay.
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "app/main_panel.h"
#include "sim/simulated_station.h"
#include "platform/toolkit/window_toolkit.h"

namespace {
constexpr int kNoDisplay = 1;
}  // namespace

int main(int argc, char** argv) {
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

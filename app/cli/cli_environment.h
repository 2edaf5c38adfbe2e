// What odu-upgrade runs in: its streams, clock, devices and ports, which
// tests replace; and what the single run and the fleet both need of it.
#pragma once

#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/cli/cli_options.h"
#include "app/run/run_log.h"
#include "app/run/station_driver.h"
#include "comm/port_listing.h"
#include "platform/clock.h"
#include "platform/serial/serial_device.h"

namespace odu {

// The station behind --simulate: the devices that reach it and its port.
struct Simulator {
  RunHost host;
  std::string port;
};

// A simulated station (any that has opener() and FlashMatches(image)) as
// --simulate reaches it on `port`.
template <class Station>
Simulator SimulatorOf(platform::Clock& clock, std::shared_ptr<Station> station, std::string port) {
  Simulator simulator;
  simulator.host.clock = &clock;
  simulator.host.opener = &station->opener();
  simulator.host.flash_matches = [s = station.get()](const uint8_t* image) { return s->FlashMatches(image); };
  simulator.host.keep = std::move(station);
  simulator.port = std::move(port);
  return simulator;
}

struct CliEnvironment {
  platform::Clock* clock = nullptr;            // the real clock unless set
  platform::SerialOpener* opener = nullptr;    // the platform's devices unless set
  std::function<void(std::vector<std::string>&)> list_ports;  // the machine's ports unless set
  // The machine's ports with their details and the ttys left out; unless
  // set, list_ports' names (when that is set) or the machine's own listing.
  std::function<PortListing()> port_listing;
  // The latency timer of a port's adapter (PortLatencyTimer unless set).
  std::function<uint32_t(const std::string& port)> latency_timer;
  std::FILE* out = stdout;
  std::FILE* err = stderr;
  bool out_is_terminal = false;
  bool err_is_terminal = false;
  // The terminal's width at this moment (0: not known, 80 is taken).
  std::function<int()> terminal_columns;
  // The station of --simulate on the run's clock, given by the program's
  // main (the built-in station at 19,200 baud) or a test; without it
  // --simulate is refused.
  std::function<Simulator(platform::Clock&)> simulator;
  // For --all: the clock and devices of each port's run, made on that run's
  // thread (tests give each port a virtual clock and a simulated station of
  // its own). Unless set, every run has the real clock (or `clock`) and
  // `opener`.
  std::function<RunHost(const std::string& port)> run_host;
  // Installs the run's interrupt handler (an empty function removes it); the
  // terminal's own slot unless set.
  std::function<void(std::function<void()>)> set_interrupt_handler;
};

// The machine's ports as the environment gives them.
PortListing MachinePorts(const CliEnvironment& env);

// The ttys the listing left out, one a line: `NAME: left out: REASON`.
void ReportLeftOut(std::FILE* err, const PortListing& listing);

// The interrupt handler's slot.
std::function<void(std::function<void()>)> InterruptSlot(const CliEnvironment& env);

// Stops every run of `runs` on an interrupt while it lives.
class InterruptRoute {
 public:
  InterruptRoute(const CliEnvironment& env, RunRegister& runs);
  ~InterruptRoute();
  InterruptRoute(const InterruptRoute&) = delete;
  InterruptRoute& operator=(const InterruptRoute&) = delete;

 private:
  std::function<void(std::function<void()>)> set_;
};

// --log FILE, opened with its first line ("odu-upgrade VERSION started" and
// `what`); null without --log. `failed` is set, and the reason printed,
// when the file cannot be opened.
std::unique_ptr<RunLog> OpenLog(const CliOptions& o, const CliEnvironment& env, platform::Clock& clock,
                                const std::string& what, bool& failed);

}  // namespace odu

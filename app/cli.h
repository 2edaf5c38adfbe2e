// odu-upgrade: the upgrade window run on the headless toolkit, so that the
// command line does exactly what pressing Start does.
#pragma once

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "app/fleet_run.h"
#include "comm/port_listing.h"
#include "platform/clock.h"
#include "platform/serial/serial_device.h"
#include "sim/station.h"

namespace odu {

struct CliEnvironment {
  platform::Clock* clock = nullptr;            // the real clock unless set
  platform::SerialOpener* opener = nullptr;    // the platform's devices unless set
  std::function<void(std::vector<std::string>&)> list_ports;  // the machine's ports unless set
  // The machine's ports with their details and the ttys left out; unless
  // set, list_ports' names (when that is set) or the machine's own listing.
  std::function<PortListing()> port_listing;
  std::FILE* out = stdout;
  std::FILE* err = stderr;
  bool out_is_terminal = false;
  bool err_is_terminal = false;
  // The terminal's width at this moment (0: not known, 80 is taken).
  std::function<int()> terminal_columns;
  // The station behind --simulate and its line speed.
  sim::StationConfig simulated_station;
  uint32_t simulated_baud = 19200;
  // For --all: the clock and devices of each port's run, made on that run's
  // thread (tests give each port a virtual clock and a simulated station of
  // its own). Unless set, every run has the real clock (or `clock`) and
  // `opener`.
  std::function<RunHost(const std::string& port)> run_host;
  // Installs the run's interrupt handler (an empty function removes it); the
  // terminal's own slot unless set.
  std::function<void(std::function<void()>)> set_interrupt_handler;
};

// Runs odu-upgrade with `args` (without the program name); returns the exit status.
int RunCli(const std::vector<std::string>& args, const CliEnvironment& env);

}  // namespace odu

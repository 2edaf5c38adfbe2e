// odu-upgrade: the command line.
#include <cstdio>
#include <exception>
#include <memory>

#include "app/cli/cli.h"
#include "app/cli/cli_options.h"
#include "platform/serial/ports_left_open.h"
#include "platform/terminal/terminal.h"
#include "sim/simulated_station.h"

int main(int argc, char** argv) {
  // A second interrupt ends the program at once, with its ports put back.
  odu::platform::CatchInterrupts(odu::kExitInterrupted, odu::platform::PutBackOpenPorts);
  std::vector<std::string> args(argv + 1, argv + argc);
  odu::CliEnvironment env;
  env.out_is_terminal = odu::platform::IsTerminal(stdout);
  env.err_is_terminal = odu::platform::IsTerminal(stderr);
  env.terminal_columns = [] { return odu::platform::TerminalColumns(stdout); };
  // --simulate: the built-in station at the station's line speed.
  env.simulator = [](odu::platform::Clock& clock) {
    return odu::SimulatorOf(clock, std::make_shared<odu::sim::SimulatedStation>(clock, 19200),
                            odu::sim::SimulatedStation::kPortName);
  };
  try {
    return odu::RunCli(args, env);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "odu-upgrade: %s\n", e.what());
    return odu::kExitInternal;
  }
}

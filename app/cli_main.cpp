// odu-upgrade: the command line.
#include <cstdio>
#include <exception>

#include "app/cli.h"
#include "app/cli_options.h"
#include "platform/serial/ports_left_open.h"
#include "platform/terminal/terminal.h"

int main(int argc, char** argv) {
  // A second interrupt ends the program at once, with its ports put back.
  odu::platform::CatchInterrupts(odu::kExitInterrupted, odu::platform::PutBackOpenPorts);
  std::vector<std::string> args(argv + 1, argv + argc);
  odu::CliEnvironment env;
  env.out_is_terminal = odu::platform::IsTerminal(stdout);
  env.err_is_terminal = odu::platform::IsTerminal(stderr);
  env.terminal_columns = [] { return odu::platform::TerminalColumns(stdout); };
  try {
    return odu::RunCli(args, env);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "odu-upgrade: %s\n", e.what());
    return odu::kExitInternal;
  }
}

// odu-upgrade: the upgrade window run on the headless toolkit, so that the
// command line does exactly what pressing Start does.
#pragma once

#include <string>
#include <vector>

#include "app/cli/cli_environment.h"

namespace odu {

// Runs odu-upgrade with `args` (without the program name); returns the exit status.
int RunCli(const std::vector<std::string>& args, const CliEnvironment& env);

}  // namespace odu

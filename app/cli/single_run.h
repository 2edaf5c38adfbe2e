// odu-upgrade's single run: the scan tries the ports in turn and upgrades
// the first station that answers, as pressing Start does; or, with
// --handshake-only, only asks it.
#pragma once

#include <string>
#include <vector>

#include "app/cli/cli_environment.h"
#include "app/cli/cli_options.h"

namespace odu {

// Returns the exit status. `image_lines` is the image of --image, or null
// for the built-in one.
int RunSingle(const CliOptions& o, const CliEnvironment& env, const std::vector<std::string>* image_lines);

}  // namespace odu

// How a run ends, as the exit status of odu-upgrade: scripts act on these
// numbers, so they never change.
#pragma once

namespace odu {

enum ExitStatus : int {
  kExitDone = 0,
  kExitInternal = 1,
  kExitUsage = 2,
  kExitNotFound = 3,
  kExitRefused = 4,
  kExitUpgradeError = 5,
  kExitBadImage = 6,
  kExitFlashMismatch = 7,
  kExitInterrupted = 8,
  kExitPartial = 9,  // --all: some stations upgraded, some failed
};

}  // namespace odu

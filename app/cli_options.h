// The command line of odu-upgrade.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace odu {

// Exit statuses of odu-upgrade.
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

struct CliOptions {
  std::vector<std::string> ports;  // --port, in order
  bool list_ports = false;
  bool verbose = false;
  bool simulate = false;
  bool trace = false;
  bool all = false;   // every port at once
  bool json = false;  // JSON lines on standard output
  bool check_image = false;     // say what the image would send, open nothing
  bool handshake_only = false;  // scan, report the verdict, erase nothing
  std::optional<std::string> log;  // --log FILE
  std::optional<std::string> image;
  bool help = false;
  bool version = false;
};

// Parses argv[1..]. On bad usage returns nullopt with the reason in `error`.
std::optional<CliOptions> ParseCli(const std::vector<std::string>& args, std::string& error);

// The --help text.
std::string CliUsage();

}  // namespace odu

// The command line of odu-upgrade.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "app/run/exit_status.h"

namespace odu {

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

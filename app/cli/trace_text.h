// A frame of the trace as the command line prints it.
#pragma once

#include <cstdio>
#include <string>

namespace odu {

// "<ms> ms <port> <line>", the milliseconds since the run began right-aligned
// in eight columns, so that the frames stand one under the other.
inline std::string TraceText(const std::string& port, long long ms, const std::string& line) {
  char stamp[32];
  std::snprintf(stamp, sizeof stamp, "%8lld ms ", ms);
  return stamp + port + " " + line;
}

// The same frame as a line about its port, "<ms> ms <line>", as a fleet
// shows it after the port (and as a JSON note with --all --trace).
inline std::string TraceNote(long long ms, const std::string& line) { return std::to_string(ms) + " ms " + line; }

}  // namespace odu

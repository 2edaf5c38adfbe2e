// Reads a report of "name: value" lines (what odu-station-sim writes).
#pragma once

#include <fstream>
#include <map>
#include <string>

namespace odu::testing {

inline std::map<std::string, std::string> ReadReportFile(const std::string& path) {
  std::map<std::string, std::string> values;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) {
    const auto colon = line.find(": ");
    if (colon != std::string::npos) values[line.substr(0, colon)] = line.substr(colon + 2);
  }
  return values;
}

}  // namespace odu::testing

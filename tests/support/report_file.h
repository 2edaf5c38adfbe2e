// Reading what the programs a test starts leave in files: a report of
// "name: value" lines (what odu-station-sim writes), or a whole file.
#pragma once

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

namespace odu::testing {

// The whole file; empty when it can't be read.
inline std::string ReadWholeFile(const std::filesystem::path& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

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

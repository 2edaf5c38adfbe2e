// The command line's --json output: one JSON object a line on standard
// output, for scripts. The README gives the schema.
#pragma once

#include <cstdio>
#include <map>
#include <string>
#include <string_view>

#include "app/run/run_view.h"

namespace odu {

// `text` as a JSON string, quotes included. Bytes that are not UTF-8 become
// U+FFFD, so that the line stays valid JSON whatever a port name holds.
std::string JsonString(std::string_view text);

class JsonLines final : public RunView {
 public:
  // The frames of --trace become notes where `trace_notes` is set (a
  // fleet's, which has all in its JSON lines); a single run shows them on
  // the error stream itself.
  explicit JsonLines(std::FILE* out, bool trace_notes = false) : out_(out), trace_notes_(trace_notes) {}

  void Finding(const ScanFinding& finding) override;
  void Changed(const std::string& port, const ProgressFigures& figures, Change change) override;
  void Box(const std::string& port, const RunBox& box) override;
  void Note(const std::string& port, const std::string& line) override;
  void Trace(const std::string& port, long long ms, const std::string& line) override;
  void Ended(const StationResult& result) override;
  // The last line: the exit status, and for a fleet the counts.
  void End(int status, int stations, int found, int upgraded);
  // A refusal before any port was opened (a bad image file).
  void Error(int status, const std::string& message);

 private:
  void Line(const std::string& event, const std::string& port, const std::string& fields);

  std::FILE* out_;
  bool trace_notes_;
  std::map<std::string, int> percent_;  // of the last progress line of each port
};

}  // namespace odu

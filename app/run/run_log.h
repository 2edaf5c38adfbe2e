// --log FILE: the run's events and its trace written to a file as they
// happen, each line with the milliseconds since the start, so that a field
// run that failed can be sent back whole.
#pragma once

#include <cstdio>
#include <map>
#include <mutex>
#include <string>

#include "app/run/run_view.h"
#include "platform/clock.h"

namespace odu {

class RunLog {
 public:
  // Appends to `path`; ok() tells whether it could be opened (error() why).
  RunLog(const std::string& path, platform::Clock& clock);
  ~RunLog();
  RunLog(const RunLog&) = delete;
  RunLog& operator=(const RunLog&) = delete;

  bool ok() const { return file_ != nullptr; }
  const std::string& error() const { return error_; }
  // Writes "<ms> ms <line>" and flushes it (any thread).
  void Line(const std::string& line);
  // The milliseconds since the start, as trace lines show them.
  long long Millis() const;

 private:
  std::mutex mutex_;
  std::FILE* file_ = nullptr;
  std::string error_;
  platform::Clock& clock_;
  platform::Nanos start_;
};

// Passes a run's events on to `inner` and writes them to the log, each with
// its port: a single run's log and a fleet's read alike. The runs of a fleet
// call it each on its own thread, so that the log has every event when it
// happens.
class LoggedView final : public RunView {
 public:
  // The frames go on to `inner` only with `show_traces` (--trace): the log
  // keeps them either way.
  LoggedView(RunView& inner, RunLog& log, bool show_traces)
      : inner_(inner), log_(log), show_traces_(show_traces) {}

  void Finding(const ScanFinding& finding) override;
  void Changed(const std::string& port, const ProgressFigures& figures, Change change) override;
  void Box(const std::string& port, const RunBox& box) override;
  void Note(const std::string& port, const std::string& line) override;
  void Trace(const std::string& port, long long ms, const std::string& line) override;
  void Aside(const std::string& port, const std::string& line) override;
  void Ended(const StationResult& result) override;

 private:
  // "PORT: line", or the line alone when the run has no port yet.
  void About(const std::string& port, const std::string& line);

  RunView& inner_;
  RunLog& log_;
  bool show_traces_;
  std::mutex mutex_;
  std::map<std::string, int> deciles_;  // of the image logged, by port
};

}  // namespace odu

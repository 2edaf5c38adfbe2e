// --log FILE: the run's events and its trace written to a file as they
// happen, each line with the milliseconds since the start, so that a field
// run that failed can be sent back whole.
#pragma once

#include <cstdio>
#include <mutex>
#include <string>

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

}  // namespace odu

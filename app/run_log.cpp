#include "app/run_log.h"

#include <cerrno>
#include <cstring>

namespace odu {

RunLog::RunLog(const std::string& path, platform::Clock& clock) : clock_(clock), start_(clock.Now()) {
  file_ = std::fopen(path.c_str(), "a");
  if (!file_) error_ = std::strerror(errno);
}

RunLog::~RunLog() {
  if (file_) std::fclose(file_);
}

long long RunLog::Millis() const {
  return std::chrono::duration_cast<std::chrono::milliseconds>(clock_.Now() - start_).count();
}

void RunLog::Line(const std::string& line) {
  if (!file_) return;
  std::lock_guard lock(mutex_);
  std::fprintf(file_, "%8lld ms %s\n", Millis(), line.c_str());
  std::fflush(file_);
}

}  // namespace odu

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

void LoggedView::Finding(const std::string& port, const std::string& finding) {
  log_.Line(port + ": " + finding);
  inner_.Finding(port, finding);
}

void LoggedView::Changed(const std::string& port, const ProgressFigures& figures, bool stage) {
  if (stage && !figures.stage.empty()) log_.Line(port + ": stage: " + figures.stage);
  inner_.Changed(port, figures, stage);
}

void LoggedView::Box(const std::string& port, const std::string& caption, const std::string& text) {
  log_.Line(port + ": " + caption + " " + text);
  inner_.Box(port, caption, text);
}

void LoggedView::Note(const std::string& port, const std::string& line) {
  log_.Line(port + ": " + line);
  inner_.Note(port, line);
}

void LoggedView::Ended(const StationResult& r) {
  log_.Line(r.port + ": result: " + r.result + " (exit status " + std::to_string(r.status) + ", " +
            std::to_string(r.bytes) + " bytes)");
  inner_.Ended(r);
}

}  // namespace odu

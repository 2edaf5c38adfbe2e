#include "app/run/run_log.h"

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

void LoggedView::About(const std::string& port, const std::string& line) {
  log_.Line(port.empty() ? line : port + ": " + line);
}

void LoggedView::Finding(const ScanFinding& finding) {
  About(finding.port, finding.text);
  inner_.Finding(finding);
}

void LoggedView::Changed(const std::string& port, const ProgressFigures& f, Change change) {
  if (change == Change::kStage && !f.stage.empty()) About(port, "stage: " + f.stage);
  if (change == Change::kBar && f.counting) {
    std::lock_guard lock(mutex_);
    int& logged = deciles_[port];
    if (const int decile = PercentDone(f.done_bytes, f.total_bytes) / 10; decile > logged) {
      logged = decile;
      About(port, "progress: " + std::to_string(f.done_bytes) + " of " + std::to_string(f.total_bytes) + " bytes");
    }
  }
  inner_.Changed(port, f, change);
}

void LoggedView::Box(const std::string& port, const RunBox& box) {
  About(port, box.Line());
  inner_.Box(port, box);
}

void LoggedView::Note(const std::string& port, const std::string& line) {
  About(port, line);
  inner_.Note(port, line);
}

void LoggedView::Trace(const std::string& port, long long ms, const std::string& line) {
  log_.Line(port + " " + line);
  if (show_traces_) inner_.Trace(port, ms, line);
}

void LoggedView::Aside(const std::string& port, const std::string& line) {
  About(port, line);
  inner_.Aside(port, line);
}

void LoggedView::Ended(const StationResult& r) {
  if (!r.flash_check.empty() && r.flash_check != r.result) About(r.port, r.flash_check);
  About(r.port, "result: " + r.result + " (exit status " + std::to_string(r.status) + ", " + std::to_string(r.bytes) +
                    " bytes)");
  inner_.Ended(r);
}

}  // namespace odu

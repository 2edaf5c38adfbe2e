#include "app/cli/fleet_view.h"

#include <algorithm>

#include "app/cli/fleet_run.h"
#include "app/cli/progress_line.h"
#include "app/cli/trace_text.h"

namespace odu {

namespace {

// A port's result as the display and the summary show it.
std::string ResultShown(const StationResult& r) { return r.found ? r.result : "no station: " + r.result; }

}  // namespace

// ---- the terminal ----

FleetScreen::FleetScreen(std::FILE* out, std::vector<std::string> ports, std::function<int()> columns, bool verbose,
                         bool trace)
    : out_(out), ports_(std::move(ports)), columns_(std::move(columns)), verbose_(verbose), trace_(trace) {
  for (const std::string& port : ports_) port_width_ = std::max(port_width_, port.size());
  for (const std::string& port : ports_) lines_[port].stage = "waiting to start";
}

// The ports padded to one width, so that the bars line up.
std::string FleetScreen::Shown(const std::string& port) const {
  return port + std::string(port_width_ - std::min(port_width_, port.size()), ' ');
}

void FleetScreen::Draw() {
  int columns = columns_ ? columns_() : 0;
  if (columns <= 0) columns = 80;
  std::string text;
  if (drawn_ > 0) text += "\x1b[" + std::to_string(drawn_) + "A";
  for (const std::string& port : ports_) {
    ProgressFigures f = lines_[port];
    f.port = Shown(port);
    text += '\r';
    text += FormatProgressLine(f, columns);
    text += "\x1b[K\n";
  }
  std::fputs(text.c_str(), out_);
  std::fflush(out_);
  drawn_ = static_cast<int>(ports_.size());
  dirty_ = false;
}

void FleetScreen::Above(const std::string& line) {
  std::string text;
  if (drawn_ > 0) text += "\x1b[" + std::to_string(drawn_) + "A\r\x1b[J";
  text += line;
  text += '\n';
  std::fputs(text.c_str(), out_);
  drawn_ = 0;
  Draw();
}

void FleetScreen::Finding(const ScanFinding& finding) {
  if (verbose_) Above(finding.port + ": " + finding.text);
}

void FleetScreen::Changed(const std::string& port, const ProgressFigures& figures, Change change) {
  if (change == Change::kStage && figures.stage_kind == Stage::kIdle) return;  // cleared before a failure's box
  lines_[port] = figures;
  dirty_ = true;
}

void FleetScreen::Box(const std::string& port, const RunBox& box) {
  if (verbose_) Above(port + ": " + box.Line());
}

void FleetScreen::Note(const std::string& port, const std::string& line) { Above(port + ": " + line); }

void FleetScreen::Trace(const std::string& port, long long ms, const std::string& line) {
  if (trace_) Note(port, TraceNote(ms, line));
}

void FleetScreen::Ended(const StationResult& r) {
  ProgressFigures& f = lines_[r.port];
  f.stage = ResultShown(r);
  f.counting = r.total_bytes > 0;
  f.done_bytes = r.bytes;
  f.total_bytes = r.total_bytes;
  f.rate = 0;
  f.seconds_left = -1;
  f.waiting_s = -1;
  dirty_ = true;
}

void FleetScreen::Redraw() {
  if (dirty_) Draw();
}

void FleetScreen::Close() {
  Draw();
}

// ---- plain lines ----

void FleetLines::Finding(const ScanFinding& finding) {
  if (!verbose_) return;
  std::fprintf(err_, "%s: %s\n", finding.port.c_str(), finding.text.c_str());
  std::fflush(err_);
}

void FleetLines::Changed(const std::string& port, const ProgressFigures& f, Change change) {
  if (change == Change::kStage) {
    if (f.stage_kind == Stage::kIdle) return;
    std::fprintf(out_, "%s: %s\n", port.c_str(), f.stage.c_str());
  } else {
    if (!f.counting || change == Change::kTick) return;
    const int percent = PercentDone(f.done_bytes, f.total_bytes);
    int& decile = deciles_[port];
    if (percent / 10 == decile || percent < 10) return;
    decile = percent / 10;
    std::fprintf(out_, "%s: Programming... %d%% (%d of %d bytes)\n", port.c_str(), percent, f.done_bytes,
                 f.total_bytes);
  }
  std::fflush(out_);
}

void FleetLines::Box(const std::string& port, const RunBox& box) {
  std::fprintf(err_, "%s: %s\n", port.c_str(), box.Line().c_str());
  std::fflush(err_);
}

void FleetLines::Note(const std::string& port, const std::string& line) {
  std::fprintf(err_, "%s: %s\n", port.c_str(), line.c_str());
  std::fflush(err_);
}

void FleetLines::Trace(const std::string& port, long long ms, const std::string& line) {
  if (trace_) Note(port, TraceNote(ms, line));
}

void FleetLines::Ended(const StationResult&) {}

// ---- deferred ----

void DeferredView::Keep(std::function<void(RunView&)> event) {
  std::lock_guard lock(mutex_);
  kept_.push_back(std::move(event));
}

void DeferredView::Finding(const ScanFinding& finding) {
  Keep([=](RunView& v) { v.Finding(finding); });
}

void DeferredView::Changed(const std::string& port, const ProgressFigures& figures, Change change) {
  Keep([=](RunView& v) { v.Changed(port, figures, change); });
}

void DeferredView::Box(const std::string& port, const RunBox& box) {
  Keep([=](RunView& v) { v.Box(port, box); });
}

void DeferredView::Trace(const std::string& port, long long ms, const std::string& line) {
  Keep([=](RunView& v) { v.Trace(port, ms, line); });
}

void DeferredView::Note(const std::string& port, const std::string& line) {
  Keep([=](RunView& v) { v.Note(port, line); });
}

void DeferredView::Ended(const StationResult& result) {
  Keep([=](RunView& v) { v.Ended(result); });
}

void DeferredView::Drain() {
  std::vector<std::function<void(RunView&)>> events;
  {
    std::lock_guard lock(mutex_);
    events.swap(kept_);
  }
  for (const auto& event : events) event(inner_);
}

// ---- the summary ----

void PrintFleetSummary(std::FILE* out, const std::vector<StationResult>& results) {
  size_t port_width = 4, result_width = 6;
  std::vector<std::string> shown;
  for (const StationResult& r : results) {
    shown.push_back(ResultShown(r));
    port_width = std::max(port_width, r.port.size());
    result_width = std::max(result_width, shown.back().size());
  }
  const int pw = static_cast<int>(port_width), rw = static_cast<int>(result_width);
  std::fprintf(out, "%-*s  %-*s  %8s  %7s\n", pw, "port", rw, "result", "bytes", "seconds");
  for (size_t i = 0; i < results.size(); ++i) {
    const StationResult& r = results[i];
    std::fprintf(out, "%-*s  %-*s  %8d  %7.1f\n", pw, r.port.c_str(), rw, shown[i].c_str(), r.bytes, r.seconds);
  }
  const auto [ports, found, upgraded] = CountFleet(results);
  std::fprintf(out, "%d of %d station%s upgraded", upgraded, found, found == 1 ? "" : "s");
  if (found > upgraded) std::fprintf(out, ", %d failed", found - upgraded);
  if (ports > found) std::fprintf(out, "; %d port%s without a station", ports - found, ports - found == 1 ? "" : "s");
  std::fputs(".\n", out);
  std::fflush(out);
}

}  // namespace odu

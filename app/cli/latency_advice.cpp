#include "app/cli/latency_advice.h"

#include <cmath>
#include <cstdio>

namespace odu {

std::string LatencyAdvice(const std::string& port, uint32_t latency_ms, const ImageSummary& summary,
                          const std::string& remedy) {
  const double held_s = static_cast<double>(summary.replies) * latency_ms / 1000.0;
  char line[160];
  std::snprintf(line, sizeof line,
                "the adapter holds each reply for its latency timer of %u ms: this upgrade takes about %.0f s "
                "instead of %.0f s. To lower it to 1 ms, ",
                latency_ms, std::round(summary.expected_s + held_s), std::round(summary.expected_s));
  return port + ": " + line + remedy + ".";
}

void LatencyAdviceView::Changed(const std::string& port, const ProgressFigures& figures, Change change) {
  if (!told_ && change == Change::kStage && figures.stage_kind == Stage::kErase && !port.empty()) {
    told_ = true;
    const uint32_t ms = latency_of_(port);
    if (ms > kLatencyTimerQuietMs) inner_.Note(port, LatencyAdvice(port, ms, summary_, remedy_of_(port)));
  }
  inner_.Changed(port, figures, change);
}

}  // namespace odu

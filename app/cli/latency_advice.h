// A USB adapter whose driver holds short reads back for its latency timer
// (FTDI's: 16 ms unless lowered) makes every reply of the station wait that
// long. The command line says so once, when the station has answered and
// before the erase, with what it costs and how to lower it.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "app/cli/image_summary.h"
#include "app/run/run_view.h"

namespace odu {

// Timers up to this cost little enough to leave unsaid.
inline constexpr uint32_t kLatencyTimerQuietMs = 2;

// The advice for `port` with a latency timer of `latency_ms`, for an upgrade
// that `summary` describes; `remedy` ends the sentence that says how to
// lower it.
std::string LatencyAdvice(const std::string& port, uint32_t latency_ms, const ImageSummary& summary,
                          const std::string& remedy);

// Passes everything on to `inner`, and the advice as a note before the
// first erase stage of a port whose timer (`latency_of`) is above
// kLatencyTimerQuietMs.
class LatencyAdviceView final : public RunView {
 public:
  using LatencyOf = std::function<uint32_t(const std::string&)>;
  using RemedyOf = std::function<std::string(const std::string&)>;
  LatencyAdviceView(RunView& inner, LatencyOf latency_of, RemedyOf remedy_of, ImageSummary summary)
      : inner_(inner), latency_of_(std::move(latency_of)), remedy_of_(std::move(remedy_of)), summary_(summary) {}

  void Finding(const ScanFinding& finding) override { inner_.Finding(finding); }
  void Changed(const std::string& port, const ProgressFigures& figures, Change change) override;
  void Box(const std::string& port, const RunBox& box) override { inner_.Box(port, box); }
  void Note(const std::string& port, const std::string& line) override { inner_.Note(port, line); }
  void Trace(const std::string& port, long long ms, const std::string& line) override { inner_.Trace(port, ms, line); }
  void Aside(const std::string& port, const std::string& line) override { inner_.Aside(port, line); }
  void Ended(const StationResult& result) override { inner_.Ended(result); }

 private:
  RunView& inner_;
  LatencyOf latency_of_;
  RemedyOf remedy_of_;
  ImageSummary summary_;
  bool told_ = false;
};

}  // namespace odu

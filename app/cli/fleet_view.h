// What the command line shows of several runs at once: on a terminal one
// line per station, redrawn in place; otherwise plain lines, each starting
// with its port. And the summary table at the end. The runs' events reach
// these views through a DeferredView, on the fleet's own thread.
#pragma once

#include <cstdio>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "app/run/run_view.h"

namespace odu {

// The terminal: a block of one line per port, redrawn by Redraw() (the
// fleet's own thread calls it a few times a second); other lines (a box
// with --verbose, a trace line, an interrupted run's state) are printed
// above the block.
class FleetScreen final : public RunView {
 public:
  // `columns` gives the terminal's width at each redraw (0: not known).
  FleetScreen(std::FILE* out, std::vector<std::string> ports, std::function<int()> columns, bool verbose, bool trace);

  void Finding(const ScanFinding& finding) override;
  void Changed(const std::string& port, const ProgressFigures& figures, Change change) override;
  void Box(const std::string& port, const RunBox& box) override;
  void Note(const std::string& port, const std::string& line) override;
  void Trace(const std::string& port, long long ms, const std::string& line) override;
  void Ended(const StationResult& result) override;
  // Draws the block again if anything changed since it was drawn.
  void Redraw();
  // The last drawing, leaving the cursor below the block.
  void Close();

 private:
  void Above(const std::string& line);
  void Draw();
  std::string Shown(const std::string& port) const;

  std::FILE* out_;
  std::vector<std::string> ports_;
  std::map<std::string, ProgressFigures> lines_;
  size_t port_width_ = 0;
  std::function<int()> columns_;
  bool verbose_;
  bool trace_;
  bool dirty_ = true;
  int drawn_ = 0;  // lines of the block on the screen
};

// No terminal: a line for each stage, each tenth of the image, each box and
// each result, starting with the port.
class FleetLines final : public RunView {
 public:
  FleetLines(std::FILE* out, std::FILE* err, bool verbose, bool trace)
      : out_(out), err_(err), verbose_(verbose), trace_(trace) {}

  void Finding(const ScanFinding& finding) override;
  void Changed(const std::string& port, const ProgressFigures& figures, Change change) override;
  void Box(const std::string& port, const RunBox& box) override;
  void Note(const std::string& port, const std::string& line) override;
  void Trace(const std::string& port, long long ms, const std::string& line) override;
  void Ended(const StationResult& result) override;

 private:
  std::FILE* out_;
  std::FILE* err_;
  bool verbose_;
  bool trace_;
  std::map<std::string, int> deciles_;
};

// Keeps the runs' events and hands them to `inner` on the thread that calls
// Drain (the fleet's own), so that output that cannot be written (a pager
// not reading, a terminal stopped with Ctrl-S) holds up no run.
class DeferredView final : public RunView {
 public:
  explicit DeferredView(RunView& inner) : inner_(inner) {}

  void Finding(const ScanFinding& finding) override;
  void Changed(const std::string& port, const ProgressFigures& figures, Change change) override;
  void Box(const std::string& port, const RunBox& box) override;
  void Note(const std::string& port, const std::string& line) override;
  void Trace(const std::string& port, long long ms, const std::string& line) override;
  void Ended(const StationResult& result) override;
  // Hands what was kept to the inner view, in the order it came.
  void Drain();

 private:
  void Keep(std::function<void(RunView&)> event);

  RunView& inner_;
  std::mutex mutex_;
  std::vector<std::function<void(RunView&)>> kept_;
};

// The table at the end: port, result, bytes, seconds; then one line of
// counts.
void PrintFleetSummary(std::FILE* out, const std::vector<StationResult>& results);

}  // namespace odu

// What a station's run tells whoever shows it (a terminal, a script reading
// JSON lines, a log), each event with the port it is about. The events come
// on the run's own thread.
#pragma once

#include <string>

#include "app/main_panel.h"
#include "app/panel_texts.h"
#include "app/run/progress_figures.h"

namespace odu {

// How one port's run ended.
struct StationResult {
  std::string port;
  int status = 0;       // the run's exit status (kExitDone, ...)
  bool found = false;   // a station answered on the port
  std::string result;   // "Done.", or what ended the run (a message, or what the scan found there)
  int bytes = 0;        // bytes of the image programmed
  int total_bytes = 0;  // bytes of the image to program (0 before the erase)
  double seconds = 0;   // from Start to the end
  // A simulated station's flash checked against the image after "Done.":
  // "Simulated flash matches the image." or that it differs; else empty.
  std::string flash_check;
};

// What moved a progress display.
enum class Change {
  kStage,  // the status line changed
  kBar,    // the bar moved
  kTick,   // nothing moved for a second: the time left and the wait count on
};

// A message box of the window, closed as soon as it is shown.
struct RunBox {
  Caption caption = Caption::kOther;
  std::string caption_text;
  std::string text;
  std::string Line() const { return caption_text + " " + text; }
};

class RunView {
 public:
  virtual ~RunView() = default;
  // What the scan found on a port it tried.
  virtual void Finding(const ScanFinding& finding) = 0;
  virtual void Changed(const std::string& port, const ProgressFigures& figures, Change change) = 0;
  virtual void Box(const std::string& port, const RunBox& box) = 0;
  // Any other line for the user (the interrupted run's state, why it failed).
  virtual void Note(const std::string& port, const std::string& line) = 0;
  // A frame written or received (--trace), `ms` after the run began: "TX 5A ..." or "RX 5A ...".
  virtual void Trace(const std::string& port, long long ms, const std::string& line) = 0;
  // A line only a log keeps (a box that the finding already tells).
  virtual void Aside(const std::string&, const std::string&) {}
  virtual void Ended(const StationResult& result) = 0;
};

}  // namespace odu

// What a station's run tells whoever shows it (a terminal, a script reading
// JSON lines), each event with the port it is about. The events come on the
// run's own thread; a view of several runs at once guards itself.
#pragma once

#include <string>

#include "app/progress_line.h"

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
};

class RunView {
 public:
  virtual ~RunView() = default;
  // What the scan found on a port it tried.
  virtual void Finding(const std::string& port, const std::string& finding) = 0;
  // The status line changed (stage true) or the bar moved.
  virtual void Changed(const std::string& port, const ProgressFigures& figures, bool stage) = 0;
  // A message box of the window: caption and text.
  virtual void Box(const std::string& port, const std::string& caption, const std::string& text) = 0;
  // Any other line for the user (the interrupted run's state, a trace line).
  virtual void Note(const std::string& port, const std::string& line) = 0;
  virtual void Ended(const StationResult& result) = 0;
};

}  // namespace odu

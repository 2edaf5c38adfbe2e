// What a progress display shows of a run at one moment.
#pragma once

#include <string>

#include "app/panel_texts.h"

namespace odu {

// What one progress line shows.
struct ProgressFigures {
  std::string port;       // shown first when not empty (several stations at once); may be long (rfc2217://host:port, /dev/serial/by-id/...)
  std::string stage;      // the run's status text, e.g. "Programming...", "Erase processor...", "Done.", or a failure message
  bool counting = false;  // bar, percentage and bytes are shown
  int done_bytes = 0, total_bytes = 0;
  double rate = 0;         // bytes per second, 0 when not known yet
  int seconds_left = -1;   // -1: not known
  int waiting_s = -1;      // >= 0: the tool has waited this long for the station's reply (a long erase, retries); shown e.g. "waiting 12 s"
  Stage stage_kind = Stage::kIdle;  // the run's stage, whatever `stage` shows
};


// The share of the image programmed, in whole percent from 0 to 100; an
// image with nothing to program is all done.
int PercentDone(int done_bytes, int total_bytes);

}  // namespace odu

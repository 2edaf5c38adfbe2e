// The text of one progress line on a terminal, fitted to the terminal's
// width: a pure function of the run's figures, redrawn in place by the
// command line (one line per station when several are upgraded at once).
#pragma once

#include <string>

#include "app/run/progress_figures.h"

namespace odu {

// The line's visible text for a terminal `columns` wide, with no "\r",
// escape sequence or newline:
//   PORT  [################........]   45%  12345/27392 B  1234 B/s   0:12 left  Programming...
// It is never longer than columns - 1 characters, so that no terminal wraps
// it (1 column or fewer give an empty line). Each byte is one column: any byte
// outside printable ASCII in the port or stage shows as '?' (a control
// character as a space). The percentage, the bytes and the time left keep
// their widths as the figures change, so the stage does not jitter. While
// the tool waits, the waiting shows where the time left would.
//
// As the width shrinks, fields give way in this order: the rate, then the
// bytes, then the bar narrows from 40 cells down to 10 and then goes, then
// the port is shortened to its end behind "..." (to 8 characters) and then
// goes, then the time left or waiting, then the percentage; last the stage
// is cut, ending in "...". At 200 columns everything is shown, except a port
// or stage far longer than usual.
//
// Trailing spaces in `port` are padding: the lines of several stations whose
// ports are padded to one width keep their fields one under the other as
// long as their stages are as long, however narrow the terminal.
std::string FormatProgressLine(const ProgressFigures& figures, int columns);

}  // namespace odu

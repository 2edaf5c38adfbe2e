#include "app/cli/progress_line.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <string_view>

namespace odu {

namespace {

constexpr std::size_t kBarMost = 40;
constexpr std::size_t kBarLeast = 10;
constexpr std::size_t kPortLeast = 8;  // "..." and the port's last five characters
constexpr std::string_view kGap = "  ";
constexpr std::string_view kCut = "...";

// One byte, one column: anything else could move the cursor, start an escape
// sequence, or take a number of columns the width cannot be counted in.
std::string Printable(std::string_view text) {
  std::string shown(text);
  for (char& c : shown) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) {
      c = ' ';
    } else if (byte > 0x7F) {
      c = '?';
    }
  }
  return shown;
}

// A field of a few figures; one longer than the buffer is cut, never overrun.
[[gnu::format(printf, 1, 2)]] std::string Format(const char* format, ...) {
  char text[64];
  std::va_list args;
  va_start(args, format);
  const int n = std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  return std::string(text, static_cast<std::size_t>(std::clamp(n, 0, static_cast<int>(sizeof text) - 1)));
}

// `done` of `total` (0 <= done <= total, total > 0) in `cells` cells.
std::string Bar(std::size_t cells, int done, int total) {
  const auto filled = static_cast<std::size_t>(static_cast<long long>(cells) * done / total);
  return "[" + std::string(filled, '#') + std::string(cells - filled, '.') + "]";
}

// The time as m:ss, the minutes padded to two digits so that the stage stays
// put when ten minutes become nine; past 99 minutes h:mm:ss.
std::string TimeLeft(int seconds) {
  if (seconds < 100 * 60) return Format("%2d:%02d left", seconds / 60, seconds % 60);
  return Format("%d:%02d:%02d left", seconds / 3600, seconds / 60 % 60, seconds % 60);
}

// The end of `text` behind "...", `width` characters in all.
std::string KeepEnd(const std::string& text, std::size_t width) {
  if (text.size() <= width) return text;
  return std::string(kCut) + text.substr(text.size() - (width - kCut.size()));
}

// The start of `text` followed by "...", `width` characters in all.
std::string KeepStart(const std::string& text, std::size_t width) {
  if (text.size() <= width) return text;
  if (width <= kCut.size()) return text.substr(0, width);
  return text.substr(0, width - kCut.size()) + std::string(kCut);
}

// The fields in the order shown; an empty one is left out with its gap.
struct Fields {
  std::string port, bar, percent, bytes, rate, time, stage;
  int done = 0, total = 0;  // the bar's, when it is shown

  std::size_t Width() const {
    std::size_t width = 0;
    for (const std::string* field : {&port, &bar, &percent, &bytes, &rate, &time, &stage}) {
      if (field->empty()) continue;
      if (width > 0) width += kGap.size();
      width += field->size();
    }
    return width;
  }
  // The room for one more field, past its gap, in a line `limit` wide.
  std::size_t RoomFor(std::size_t limit) const {
    const std::size_t others = Width();
    const std::size_t taken = others + (others > 0 ? kGap.size() : 0);
    return limit > taken ? limit - taken : 0;
  }
  std::string Text() const {
    std::string text;
    for (const std::string* field : {&port, &bar, &percent, &bytes, &rate, &time, &stage}) {
      if (field->empty()) continue;
      if (!text.empty()) text += kGap;
      text += *field;
    }
    return text;
  }
};

Fields AllFields(const ProgressFigures& figures) {
  Fields f;
  f.port = Printable(figures.port);
  f.stage = Printable(figures.stage);
  if (figures.counting && figures.total_bytes > 0) {
    f.total = figures.total_bytes;
    f.done = std::clamp(figures.done_bytes, 0, f.total);
    f.bar = Bar(kBarMost, f.done, f.total);
    f.percent = Format("%3d%%", PercentDone(f.done, f.total));
    // The count padded to the total's digits, which stay the same all run.
    const int digits = static_cast<int>(std::to_string(f.total).size());
    f.bytes = Format("%*d/%d B", digits, f.done, f.total);
    // NaN fails the test too; a rate past a gigabyte a second is no figure.
    if (figures.rate > 0 && figures.rate < 1e9) f.rate = Format("%4.0f B/s", std::round(figures.rate));
  }
  if (figures.waiting_s >= 0) {
    f.time = Format("waiting %d s", figures.waiting_s);
  } else if (figures.seconds_left >= 0) {
    f.time = TimeLeft(figures.seconds_left);
  }
  return f;
}

}  // namespace

std::string FormatProgressLine(const ProgressFigures& figures, int columns) {
  // The last column stays free: a terminal that wraps once the cursor passes
  // it would add a row at every redraw.
  const std::size_t limit = columns > 1 ? static_cast<std::size_t>(columns) - 1 : 0;
  Fields f = AllFields(figures);
  const auto fits = [&] { return f.Width() <= limit; };

  if (fits()) return f.Text();
  f.rate.clear();
  if (fits()) return f.Text();
  f.bytes.clear();
  if (fits()) return f.Text();
  if (!f.bar.empty()) {
    f.bar.clear();
    const std::size_t room = f.RoomFor(limit);
    const std::size_t brackets = 2;
    if (room >= kBarLeast + brackets) {
      // Narrower than kBarMost: the full bar did not fit.
      f.bar = Bar(room - brackets, f.done, f.total);
      return f.Text();
    }
    if (fits()) return f.Text();
  }
  if (!f.port.empty()) {
    std::string port;
    port.swap(f.port);
    const std::size_t room = f.RoomFor(limit);
    // Trailing spaces pad the ports of several stations to one width, so
    // that their bars line up: the padding goes first, and what is kept of
    // the name is padded again to the room.
    const std::string name = port.substr(0, port.find_last_not_of(' ') + 1);
    if (!name.empty() && room >= std::min(name.size(), kPortLeast)) {
      f.port = KeepEnd(name, room);
      f.port.resize(std::min(port.size(), room), ' ');
      return f.Text();
    }
    if (fits()) return f.Text();
  }
  f.time.clear();
  if (fits()) return f.Text();
  f.percent.clear();
  if (fits()) return f.Text();
  return KeepStart(f.stage, limit);
}

}  // namespace odu

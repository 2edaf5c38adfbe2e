#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "app/cli/progress_line.h"

namespace odu::testing {
namespace {

const char kById[] = "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0";

ProgressFigures Programming(std::string port = "", std::string stage = "Programming...", int done = 12345,
                            double rate = 1234, int left = 12) {
  return {.port = std::move(port), .stage = std::move(stage), .counting = true, .done_bytes = done,
          .total_bytes = 27392, .rate = rate, .seconds_left = left};
}

struct Row {
  const char* name;
  ProgressFigures figures;
  const char* at80;
  const char* at10;
};

const std::vector<Row>& Rows() {
  static const std::vector<Row> rows = {
      {"single run", Programming(), "[##################......................]   45%   0:12 left  Programming...",
       "Progra..."},
      {"several stations, long port", Programming(kById),
       "...b-FTDI_FT232R_USB_UART_A50285BI-if00-port0   45%   0:12 left  Programming...", "Progra..."},
      {"several stations, padded port", Programming("/dev/ttyUSB0" + std::string(20, ' ')),
       "/dev/ttyUSB0                       45%   0:12 left  Programming...", "Progra..."},
      {"waiting", {.port = "rfc2217://10.0.0.7:2001", .stage = "Erase processor...", .waiting_s = 12},
       "rfc2217://10.0.0.7:2001  waiting 12 s  Erase processor...", "Erase ..."},
      {"done", Programming("", "Done.", 27392, 1234, -1),
       "[########################################]  100%  27392/27392 B  Done.", "Done."},
      {"failure message", Programming("/dev/ttyUSB0", "The station stopped answering at block 417.", 12345, 0, -1),
       "/dev/ttyUSB0  [#####.......]   45%  The station stopped answering at block 417.", "The st..."},
      {"no rate yet", Programming("", "Programming...", 0, 0, -1),
       "[........................................]    0%      0/27392 B  Programming...", "Progra..."},
  };
  return rows;
}

// What a line shows of its figures.
struct Shown {
  int port = 0;  // 2: in full, 1: its end behind "...", 0: not at all
  int bar = 0;   // cells
  int filled = 0;
  bool percent = false, bytes = false, rate = false, time = false;
  int stage = 0;  // 2: in full, 1: cut, 0: not at all
};

bool Contains(const std::string& line, const std::string& part) { return line.find(part) != std::string::npos; }

Shown Read(const std::string& line, const ProgressFigures& f) {
  Shown s;
  if (!f.port.empty()) {
    const std::string name = f.port.substr(0, f.port.find_last_not_of(' ') + 1);  // without its padding
    const std::string first = line.substr(0, line.find("  "));
    if (line == f.port || line.starts_with(f.port + "  ")) {
      s.port = 2;
    } else if (first == name || (first.size() > 3 && first.starts_with("...") && name.ends_with(first.substr(3)))) {
      s.port = 1;
    }
  }
  const auto open = line.find('[');
  if (open != std::string::npos) {
    const std::string cells = line.substr(open + 1, line.find(']') - open - 1);
    s.bar = static_cast<int>(cells.size());
    s.filled = static_cast<int>(std::count(cells.begin(), cells.end(), '#'));
    EXPECT_EQ(cells.find_first_not_of("#."), std::string::npos) << line;
  }
  s.percent = Contains(line, "%");
  s.bytes = Contains(line, "/" + std::to_string(f.total_bytes) + " B");
  s.rate = Contains(line, " B/s");
  s.time = Contains(line, " left") || Contains(line, "waiting ");
  if (line.ends_with(f.stage)) {
    s.stage = 2;
  } else if (line.ends_with("...")) {
    s.stage = 1;
  }
  return s;
}

// The fields' giving way in their order as the width shrinks; each entry
// says whether that step has been taken.
std::vector<bool> StepsTaken(const Shown& s, const Shown& full) {
  std::vector<bool> steps;
  if (full.rate) steps.push_back(!s.rate);
  if (full.bytes) steps.push_back(!s.bytes);
  if (full.bar) {
    steps.push_back(s.bar < full.bar);
    steps.push_back(s.bar == 0);
  }
  if (full.port) {
    steps.push_back(s.port < 2);
    steps.push_back(s.port == 0);
  }
  if (full.time) steps.push_back(!s.time);
  if (full.percent) steps.push_back(!s.percent);
  steps.push_back(s.stage < 2);
  return steps;
}

TEST(ProgressLine, NeverReachesTheLastColumnAndShowsOnlyPrintableAscii) {
  std::vector<ProgressFigures> figures;
  for (const Row& row : Rows()) figures.push_back(row.figures);
  const std::string port = std::string(300, 'p') + "\xC3\xA9\xE2\x82\xAC\x1b[31m\r\n";
  const std::string stage = "Failed:\x1b[2J\tline one\nline two \xFF\xFE" + std::string(300, 's');
  const double inf = std::numeric_limits<double>::infinity();
  figures.push_back({port, stage, true, INT_MAX, INT_MAX, inf, INT_MAX, -1});
  figures.push_back({port, stage, true, -5, INT_MAX, std::nan(""), -1, INT_MAX});
  figures.push_back({port, stage, true, 99999, 100, 1e300, INT_MAX, INT_MAX});
  figures.push_back({port, stage, true, 5, 0, -1, -7, -7});

  std::vector<int> widths = {INT_MIN, -1, 0, 1, 2, 3, 4, 1000, INT_MAX};
  for (int columns = 5; columns <= 400; ++columns) widths.push_back(columns);
  for (const ProgressFigures& f : figures) {
    for (int columns : widths) {
      const std::string line = FormatProgressLine(f, columns);
      SCOPED_TRACE(::testing::Message() << columns << " columns: " << line);
      EXPECT_LE(static_cast<long long>(line.size()), std::max(columns - 1LL, 0LL));
      EXPECT_TRUE(std::all_of(line.begin(), line.end(), [](char c) { return c >= 0x20 && c < 0x7F; }));
      if (columns >= 10) {
        EXPECT_FALSE(line.empty());
      }
    }
  }
  // Out of range figures show as the nearest that make sense.
  EXPECT_EQ(FormatProgressLine(Programming("", "Programming...", -5, std::nan("")), 200),
            "[........................................]    0%      0/27392 B   0:12 left  Programming...");
  EXPECT_EQ(FormatProgressLine(Programming("", "Programming...", 99999, 1e300), 200),
            "[########################################]  100%  27392/27392 B   0:12 left  Programming...");
  ProgressFigures uncounted = Programming();
  uncounted.total_bytes = 0;  // counting before the image is counted
  EXPECT_EQ(FormatProgressLine(uncounted, 200), " 0:12 left  Programming...");
}

TEST(ProgressLine, WideTerminalsShowEverythingAndEightyColumnsThePercentTimeAndStage) {
  for (const Row& row : Rows()) {
    SCOPED_TRACE(row.name);
    const ProgressFigures& f = row.figures;
    for (int columns : {200, 1000}) {
      const std::string line = FormatProgressLine(f, columns);
      const Shown s = Read(line, f);
      EXPECT_EQ(s.port, f.port.empty() ? 0 : 2) << line;
      EXPECT_EQ(s.bar, f.counting ? 40 : 0) << line;
      EXPECT_EQ(s.percent, f.counting) << line;
      EXPECT_EQ(s.bytes, f.counting) << line;
      EXPECT_EQ(s.rate, f.counting && f.rate > 0) << line;
      EXPECT_EQ(s.time, f.seconds_left >= 0 || f.waiting_s >= 0) << line;
      EXPECT_EQ(s.stage, 2) << line;
    }
    EXPECT_EQ(FormatProgressLine(f, 80), row.at80);
    EXPECT_EQ(FormatProgressLine(f, 10), row.at10);
  }
  EXPECT_EQ(FormatProgressLine(Programming("/dev/ttyUSB0"), 200),
            "/dev/ttyUSB0  [##################......................]   45%  12345/27392 B  1234 B/s   0:12 left  "
            "Programming...");
  ProgressFigures waiting = Programming();
  waiting.waiting_s = 7;  // says more than a time left that no longer moves
  EXPECT_EQ(FormatProgressLine(waiting, 200), FormatProgressLine(Programming(), 200).replace(75, 10, "waiting 7 s"));
}

TEST(ProgressLine, FieldsGiveWayOneAfterAnotherInAFixedOrderAsTheWidthShrinks) {
  for (const Row& row : Rows()) {
    SCOPED_TRACE(row.name);
    const ProgressFigures& f = row.figures;
    const std::string everything = FormatProgressLine(f, 1000);
    const Shown full = Read(everything, f);
    std::size_t taken_before = 0;
    int bar_before = full.bar;
    std::string wider = everything;
    for (int columns = 1000; columns >= 10; --columns) {
      const std::string line = FormatProgressLine(f, columns);
      SCOPED_TRACE(::testing::Message() << columns << " columns: " << line);
      // Something gives way only when the line one column wider used every
      // column it could: it would not have fitted.
      if (line != wider) {
        EXPECT_EQ(wider.size(), static_cast<std::size_t>(columns)) << "given way needlessly; wider: " << wider;
      }
      wider = line;
      const Shown s = Read(line, f);
      const std::vector<bool> steps = StepsTaken(s, full);
      const auto taken = static_cast<std::size_t>(std::find(steps.begin(), steps.end(), false) - steps.begin());
      EXPECT_EQ(std::count(steps.begin(), steps.end(), true), static_cast<long>(taken)) << "a step out of order";
      EXPECT_GE(taken, taken_before) << "a field came back on a narrower terminal";
      // A field that goes frees at least three columns: enough for one more.
      EXPECT_LE(taken, taken_before + 1) << "more than one field gave way at once";
      EXPECT_LE(s.bar, bar_before) << "the bar grew on a narrower terminal";
      if (s.port == 1 && line.starts_with("...")) {
        EXPECT_GE(line.find("  "), 8u) << "a port cut to less than 8 characters says little";
      }
      if (s.bar) {
        EXPECT_GE(s.bar, 10);
        EXPECT_EQ(s.filled, s.bar * std::clamp(f.done_bytes, 0, f.total_bytes) / f.total_bytes);
      }
      taken_before = taken;
      bar_before = s.bar;
    }
  }
}

TEST(ProgressLine, TheStageStaysPutAsTheFiguresChangeAndPaddedPortsKeepTheStationsInLine) {
  for (const char* port : {"", kById}) {
    for (int columns : {200, 120, 80, 60}) {
      SCOPED_TRACE(::testing::Message() << columns << " columns, port '" << port << "'");
      ProgressFigures f = Programming(port);
      std::size_t stage_at = FormatProgressLine(f, columns).rfind(f.stage);
      ASSERT_NE(stage_at, std::string::npos);
      for (int done : {0, 9, 10, 2739, 27391, 27392}) {
        for (int left : {0, 9, 59, 600, 5999}) {
          f.done_bytes = done;
          f.seconds_left = left;
          f.rate = 1 + done % 9999;
          EXPECT_EQ(FormatProgressLine(f, columns).rfind(f.stage), stage_at) << done << " bytes, " << left << " s";
        }
      }
    }
  }
  std::string usb = "/dev/ttyUSB0";
  usb.resize(std::string(kById).size(), ' ');
  for (int columns = 10; columns <= 200; ++columns) {
    const std::string by_id = FormatProgressLine(Programming(kById), columns);
    EXPECT_EQ(FormatProgressLine(Programming(usb), columns).rfind("Progr"), by_id.rfind("Progr")) << by_id;
  }
}

}  // namespace
}  // namespace odu::testing

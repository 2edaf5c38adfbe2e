#include "app/cli/json_lines.h"

#include "app/cli/trace_text.h"

#include <algorithm>
#include <cstdint>

namespace odu {

namespace {

// The length of the UTF-8 sequence starting at `s[i]`, 0 when it is none.
size_t Utf8Length(std::string_view s, size_t i) {
  const auto byte = [&](size_t k) { return static_cast<uint8_t>(s[k]); };
  const uint8_t b = byte(i);
  size_t n = b < 0x80 ? 1 : (b & 0xE0) == 0xC0 ? 2 : (b & 0xF0) == 0xE0 ? 3 : (b & 0xF8) == 0xF0 ? 4 : 0;
  if (n == 0 || i + n > s.size()) return 0;
  uint32_t code = n == 1 ? b : b & (0x7F >> n);
  for (size_t k = 1; k < n; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
    code = code << 6 | (byte(i + k) & 0x3F);
  }
  // Overlong forms, surrogates and values past U+10FFFF are no UTF-8.
  static constexpr uint32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
  if (code < kLeast[n] || (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF) return 0;
  return n;
}

}  // namespace

std::string JsonString(std::string_view text) {
  std::string s = "\"";
  for (size_t i = 0; i < text.size();) {
    const char c = text[i];
    const size_t n = Utf8Length(text, i);
    if (n == 0) {
      s += "\\ufffd";
      ++i;
      continue;
    }
    if (n > 1) {
      s.append(text.substr(i, n));
    } else if (c == '"' || c == '\\') {
      s += '\\';
      s += c;
    } else if (static_cast<uint8_t>(c) < 0x20 || c == 0x7F) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(static_cast<uint8_t>(c)));
      s += escaped;
    } else {
      s += c;
    }
    i += n;
  }
  return s + "\"";
}

void JsonLines::Line(const std::string& event, const std::string& port, const std::string& fields) {
  std::string line = "{\"event\":" + JsonString(event) + ",\"port\":" + (port.empty() ? "null" : JsonString(port));
  line += fields;
  line += "}\n";
  std::fputs(line.c_str(), out_);
  std::fflush(out_);
}

void JsonLines::Finding(const ScanFinding& finding) {
  Line("finding", finding.port, ",\"finding\":" + JsonString(finding.text));
}

void JsonLines::Changed(const std::string& port, const ProgressFigures& f, Change change) {
  if (change == Change::kStage) {
    if (f.stage_kind == Stage::kIdle) return;  // the window clears its line before a failure's box
    Line("stage", port, ",\"stage\":" + JsonString(f.stage));
    return;
  }
  if (!f.counting || change == Change::kTick) return;
  // One line per whole percent: enough for any display, a few hundred lines.
  const int percent = PercentDone(f.done_bytes, f.total_bytes);
  const auto [last, first] = percent_.try_emplace(port, percent);
  if (!first && last->second == percent) return;
  last->second = percent;
  std::string fields = ",\"done_bytes\":" + std::to_string(f.done_bytes) +
                       ",\"total_bytes\":" + std::to_string(f.total_bytes) + ",\"percent\":" + std::to_string(percent);
  fields += ",\"seconds_left\":" + (f.seconds_left >= 0 ? std::to_string(f.seconds_left) : std::string("null"));
  Line("progress", port, fields);
}

void JsonLines::Box(const std::string& port, const RunBox& box) {
  Line("message", port, ",\"caption\":" + JsonString(box.caption_text) + ",\"text\":" + JsonString(box.text));
}

void JsonLines::Trace(const std::string& port, long long ms, const std::string& line) {
  if (trace_notes_) Note(port, TraceNote(ms, line));
}

void JsonLines::Note(const std::string& port, const std::string& line) {
  Line("note", port, ",\"text\":" + JsonString(line));
}

void JsonLines::Ended(const StationResult& r) {
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%.3f", r.seconds);
  Line("result", r.port,
       ",\"status\":" + std::to_string(r.status) + ",\"found\":" + (r.found ? "true" : "false") +
           ",\"result\":" + JsonString(r.result) + ",\"bytes\":" + std::to_string(r.bytes) +
           ",\"total_bytes\":" + std::to_string(r.total_bytes) + ",\"seconds\":" + seconds);
}

void JsonLines::End(int status, int stations, int found, int upgraded) {
  Line("end", "",
       ",\"status\":" + std::to_string(status) + ",\"ports\":" + std::to_string(stations) +
           ",\"found\":" + std::to_string(found) + ",\"upgraded\":" + std::to_string(upgraded));
}

void JsonLines::Error(int status, const std::string& message) {
  Line("error", "", ",\"status\":" + std::to_string(status) + ",\"text\":" + JsonString(message));
}

}  // namespace odu

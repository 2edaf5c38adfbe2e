// Fuzz target: the whole-file check of an image given with --image.
//
// Input: the file's text. Whatever the text, the check must end without a
// fault, and its answer must hold up when re-examined record by record:
// - a refusal has a reason, keeps no lines, and names a line that exists;
// - an acceptance keeps, uppercased, each data and end record line of the
//   text (without a byte-order mark at the start and blanks at the ends),
//   and passes over only address records of value 0 (types 02 and 04) and
//   start address records (types 03 and 05): each kept line a record on its
//   own, data records inside 64 KiB setting no address twice, and exactly one
//   end record, the last; checking the kept lines again (LF or CRLF ends)
//   accepts them unchanged.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/intel_hex.h"
#include "tests/support/fuzz_require.h"

namespace {

void Require(bool condition, const char* what) { odu::testing::RequireOf("image check", condition, what); }

// The text's lines without their LF or CRLF ends, empty ones included.
std::vector<std::string_view> SplitLines(std::string_view text) {
  std::vector<std::string_view> lines;
  size_t pos = 0;
  while (pos < text.size()) {
    const size_t newline = text.find('\n', pos);
    const size_t stop = newline == std::string_view::npos ? text.size() : newline;
    std::string_view line = text.substr(pos, stop - pos);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.push_back(line);
    pos = newline == std::string_view::npos ? text.size() : newline + 1;
  }
  return lines;
}

std::string Upper(std::string_view line) {
  std::string out(line);
  for (char& c : out) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return out;
}

void CheckRecordShape(std::string_view line) {
  const auto record = odu::ParseRecord(line);
  if (!record) return;
  Require(record->data.size() == record->count, "a record's data differ from its byte count");
  Require(line.size() == 11 + 2 * size_t{record->count}, "a record's length differs from its byte count");
  unsigned sum = record->count + (record->address >> 8) + (record->address & 0xFFu) + record->type + record->checksum;
  for (uint8_t b : record->data) sum += b;
  Require((sum & 0xFFu) == 0, "a parsed record's bytes do not sum to 0");
}

// A line without the blanks (spaces, tabs) at its end.
std::string_view TrimEnd(std::string_view line) {
  while (!line.empty() && (line.back() == ' ' || line.back() == '\t')) line.remove_suffix(1);
  return line;
}

void CheckAccepted(const odu::HexCheck& check, const std::vector<std::string_view>& source) {
  Require(check.reason.empty() && check.line == 0, "an accepted file carries a reason");
  std::vector<std::string_view> kept_source;
  for (size_t i = 0; i < source.size(); ++i) {
    std::string_view line = TrimEnd(source[i]);
    if (i == 0 && line.substr(0, 3) == "\xEF\xBB\xBF") line.remove_prefix(3);
    if (line.empty()) continue;
    const auto record = odu::ParseRecord(line);
    Require(record.has_value(), "an accepted line is no record");
    if (record->type == 0x02 || record->type == 0x04) {
      Require(record->count == 2 && record->address == 0 && record->data[0] == 0 && record->data[1] == 0,
              "an address record other than 0 is accepted");
      continue;
    }
    if (record->type == 0x03 || record->type == 0x05) {
      Require(record->count == 4, "a start address record not of 4 bytes is accepted");
      continue;
    }
    kept_source.push_back(line);
  }
  Require(check.lines.size() == kept_source.size(), "kept lines differ from the text's non-empty lines");
  Require(!check.lines.empty(), "an accepted file without records");

  std::vector<bool> set(0x10000, false);
  for (size_t i = 0; i < check.lines.size(); ++i) {
    const std::string& line = check.lines[i];
    Require(line == Upper(kept_source[i]), "a kept line is not the uppercased, trimmed text line");
    const auto record = odu::ParseRecord(line);
    Require(record.has_value(), "a kept line is no record");
    const bool last = i + 1 == check.lines.size();
    if (last) {
      Require(record->type == 0x01 && record->count == 0, "the last kept line is not an empty end record");
    } else {
      Require(record->type == 0x00, "a kept line before the end is not a data record");
      Require(record->address + size_t{record->count} <= 0x10000, "a data record runs past 64 KiB");
      for (size_t a = record->address; a < record->address + size_t{record->count}; ++a) {
        Require(!set[a], "two data records set the same address");
        set[a] = true;
      }
    }
  }

  for (const char* end : {"\n", "\r\n"}) {
    std::string again;
    for (const std::string& line : check.lines) again += line + end;
    const odu::HexCheck second = odu::CheckHexText(again);
    Require(second.ok && second.lines == check.lines, "the kept lines are refused when checked again");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::vector<std::string_view> source = SplitLines(text);

  const odu::HexCheck check = odu::CheckHexText(text);
  if (check.ok) {
    CheckAccepted(check, source);
  } else {
    Require(!check.reason.empty(), "a refusal without a reason");
    Require(check.lines.empty(), "a refusal keeps lines");
    Require(check.line <= source.size(), "a refusal names a line the text does not have");
    if (check.line > 0) {
      const std::string prefix = "line " + std::to_string(check.line) + ": ";
      Require(check.reason.compare(0, prefix.size(), prefix) == 0, "a line's refusal does not name the line");
      Require(!TrimEnd(source[check.line - 1]).empty(), "a refusal names an empty or blank line");
    }
  }

  // Each line alone through the record parser.
  for (size_t i = 0; i < source.size() && i < 64; ++i) CheckRecordShape(source[i]);
  return 0;
}
